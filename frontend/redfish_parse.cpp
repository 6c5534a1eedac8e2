// Redfish transfer URIs: scheme, credentials, host, port and remote path into a request.
//
// The URI and host patterns are POSIX extended expressions matched by glibc's regexec
// (leftmost-longest; GNU \w and \S). Every pattern is compiled and freed inside the call,
// so any number of threads may parse at once.
#include <arpa/inet.h>
#include <regex.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>

#include "common/curl_raii.h"
#include "common/fh_internal.h"
#include "common/protocols.h"
#include "common/redact.h"
#include "common/scp_path.h"
#include "common/text_checks.h"

using namespace fh;

namespace {

constexpr size_t kUserMax = sizeof(ComponentInfo::szUserName) - 1;      // 31
constexpr size_t kPasswordMax = sizeof(ComponentInfo::szPassword) - 1;  // 32

const char* const kCredentialPattern = "(\\w+)://([^:/]*):(\\S*)@([^/]+)/(.*)";
const char* const kPlainPattern = "(\\w+)://([^/]+)/(.*)";

// Host part patterns, tried in this order.
const char* const g_apcIpPatterns[] = {
    "\\[([a-z0-9:]*)\\]:([0-9]+)",  // bracketed IPv6 with a port
    "^\\[([a-z0-9:]*)\\]$",         // bracketed IPv6
    "^([0-9.]+):([0-9]+)$",         // IPv4 with a port
    "^([a-f0-9.:]+)$",              // bare IPv4 or IPv6
};

// The protocol row and scheme that a URI starts with, or false.
bool FindScheme(const char* cmd, const Protocol** protocol, const SchemeName** scheme) {
    size_t count = 0;
    const Protocol* rows = Protocols(&count);
    for (size_t i = 0; i < count; ++i) {
        for (const SchemeName& s : rows[i].uri.schemes) {
            if (s.prefix != nullptr && strncmp(cmd, s.prefix, strlen(s.prefix)) == 0) {
                *protocol = &rows[i];
                *scheme = &s;
                return true;
            }
        }
    }
    return false;
}

// The prefix picks the protocol; the URI's whole scheme must still be the prefix or its
// alias.
bool SchemeAllowed(const SchemeName& s, const std::string& name) {
    return name == s.prefix || (s.alias != nullptr && name == s.alias);
}

// A URI that the patterns accept but that libcurl (or the server) would read another
// way is refused as a URI that does not fit its pattern.
uint32_t RefuseAmbiguous(const char* why) {
    FH_LOG(BMC_LOG_ERROR, "URI refused: %s.", why);
    FH_LOG(BMC_LOG_ERROR, "regexec() failed: %d", REG_NOMATCH);
    return FILEHANDLE_FAILED;
}

// Hosts compare as text, IPv6 literals by their address: libcurl writes "[0:0::1]" as
// "[::1]".
bool SameHost(const std::string& a, const std::string& b) {
    if (a == b) {
        return true;
    }
    if (a.size() < 2 || b.size() < 2 || a.front() != '[' || b.front() != '[') {
        return false;
    }
    unsigned char x[16], y[16];
    return inet_pton(AF_INET6, a.substr(1, a.size() - 2).c_str(), x) == 1 &&
           inet_pton(AF_INET6, b.substr(1, b.size() - 2).c_str(), y) == 1 &&
           memcmp(x, y, sizeof x) == 0;
}

// What libcurl reads from the request URL must be what was validated: a scheme of the
// protocol, the validated host, no port other than the request's, and (where they are in
// the URL) the same user name and password.
bool CurlReadsTheSame(const Protocol& p, const SchemeName& s, const ComponentInfo& out,
                      const std::string& host) {
    CurlUrl url;
    std::string scheme, urlHost, port, user, password;
    if (!url.Set(out.szIpAdress) || !url.Part(CURLUPART_SCHEME, &scheme) ||
        !url.Part(CURLUPART_HOST, &urlHost) || !url.Part(CURLUPART_PORT, &port) ||
        !url.Part(CURLUPART_USER, &user) || !url.Part(CURLUPART_PASSWORD, &password)) {
        return false;
    }
    if (!SchemeAllowed(s, scheme) || !SameHost(urlHost, host)) {
        return false;
    }
    if (!port.empty() && port != std::to_string(out.uiPort)) {
        return false;
    }
    if (p.uri.credentialsInUrl) {
        return user == out.szUserName && password == out.szPassword;
    }
    return user.empty() && password.empty();
}

// A pattern compiled on its first use and kept for the life of the process: compiling
// was most of a parse's cost, and regexec may share a compiled pattern between threads. A
// failed compilation is not kept, so the next call tries again.
class Regex {
  public:
    explicit Regex(const char* pattern) : re_(Compiled(pattern, &err_)) {}
    int CompileError() const { return err_; }
    int Match(const char* text, size_t n, regmatch_t* m) const {
        return regexec(re_, text, n, m, 0);
    }

  private:
    static const regex_t* Compiled(const char* pattern, int* err) {
        struct Entry {
            const char* pattern;
            regex_t re;
        };
        static std::mutex mutex;
        static Entry cache[8];  // the URI and host patterns, each a literal of this file
        std::lock_guard<std::mutex> hold(mutex);
        for (Entry& e : cache) {
            if (e.pattern == pattern) {
                *err = 0;
                return &e.re;
            }
            if (e.pattern == nullptr) {
                *err = regcomp(&e.re, pattern, REG_EXTENDED);
                e.pattern = *err == 0 ? pattern : nullptr;
                return *err == 0 ? &e.re : nullptr;
            }
        }
        *err = REG_ESPACE;
        return nullptr;
    }

    int err_ = 0;
    const regex_t* re_;
};

std::string Group(const char* text, const regmatch_t& m) {
    if (m.rm_so < 0) {
        return std::string();
    }
    return std::string(text + m.rm_so, static_cast<size_t>(m.rm_eo - m.rm_so));
}

template <size_t N>
void CopyText(char (&dst)[N], const char* src) {
    BMC_Strlcpy(dst, src, N);
}

}  // namespace

extern "C" uint32_t FILEHANDLE_ParseRedfishStruct(const RedfishInfo* pstRedfishInfo,
                                                  ComponentInfo* pstComponentInfo) {
    if (pstRedfishInfo == nullptr) {
        FH_LOG_NULL("pstRedfishInfo");
        return FILEHANDLE_IN_NULL_POINTER;
    }
    if (pstComponentInfo == nullptr) {
        FH_LOG_NULL("pstComponentInfo");
        return FILEHANDLE_IN_NULL_POINTER;
    }
    const RedfishInfo& in = *pstRedfishInfo;
    ComponentInfo& out = *pstComponentInfo;
    // Terminated copies: the caller's texts are read only within their arrays.
    char local[sizeof in.szLocalPath + 1] = {0};
    char cmd[sizeof in.szRedfishCmd + 1] = {0};
    memcpy(local, in.szLocalPath, sizeof in.szLocalPath);
    memcpy(cmd, in.szRedfishCmd, sizeof in.szRedfishCmd);

    out.ucHandleType = in.ucHandleType;
    if (in.ucHandleType == FILEHANDLE_UPLOAD) {
        CopyText(out.szReadAddress, local);
        out.ucKeepSourceFlag = in.ucFileMode;
    } else if (in.ucHandleType == FILEHANDLE_DOWNLOAD) {
        CopyText(out.szStorageAddress, local);
    } else {
        FH_LOG(BMC_LOG_ERROR, "invalid ucHandleType: %d", in.ucHandleType);
        return FILEHANDLE_FAILED;
    }

    const Protocol* protocol = nullptr;
    const SchemeName* scheme = nullptr;
    if (!FindScheme(cmd, &protocol, &scheme)) {
        // No known scheme: a local copy or move, done by the Redfish entry.
        out.ucProtocolType = FILEHANDLE_PROTOCOL_LOCAL;
        BMC_Scnprintf(out.szReadAddress, sizeof out.szReadAddress, "%s", cmd);
        return FILEHANDLE_OK;
    }
    out.ucProtocolType = protocol->code;
    if (scheme->https) {
        out.ucHttpsFlag = 1;
        out.ucVerificationType = 0;
    }

    // Scheme, user name, password, host part and path.
    std::string schemeText, user, password, hostPart, path;
    {
        Regex uri(protocol->uri.credentials ? kCredentialPattern : kPlainPattern);
        if (uri.CompileError() != 0) {
            FH_LOG(BMC_LOG_ERROR, "regcomp() failed: %d", uri.CompileError());
            return FILEHANDLE_FAILED;
        }
        regmatch_t m[6];
        size_t slots = protocol->uri.credentials ? 6 : 4;
        int rc = uri.Match(cmd, slots, m);
        if (rc != 0) {
            FH_LOG(BMC_LOG_ERROR, "regexec() failed: %d", rc);
            return FILEHANDLE_FAILED;
        }
        // The patterns are not anchored: "sftp-file://..." would match from "file".
        if (m[0].rm_so != 0) {
            return RefuseAmbiguous("the scheme does not start the URI");
        }
        schemeText = Group(cmd, m[1]);
        if (protocol->uri.credentials) {
            user = Group(cmd, m[2]);
            password = Group(cmd, m[3]);
            hostPart = Group(cmd, m[4]);
            path = Group(cmd, m[5]);
        } else {
            hostPart = Group(cmd, m[2]);
            path = Group(cmd, m[3]);
        }
    }
    if (!SchemeAllowed(*scheme, schemeText)) {
        return RefuseAmbiguous("scheme not of the protocol");
    }
    // Credentials that do not fit their fields are refused, never cut.
    if (user.size() > kUserMax || password.size() > kPasswordMax) {
        FH_LOG(BMC_LOG_ERROR, "User name or password too long: %zu, %zu.", user.size(),
               password.size());
        return FILEHANDLE_FAILED;
    }
    if (HasControl(user) || HasControl(password)) {
        return RefuseAmbiguous("control character in the credentials");
    }
    if (protocol->uri.credentialsInUrl &&
        (user + password).find_first_of("@/?#\\") != std::string::npos) {
        return RefuseAmbiguous("credentials would change the URL");
    }

    if (protocol->uri.scpPath && !ScpPathIsSafe(("scp://h/" + path).c_str())) {
        FH_LOG(BMC_LOG_ERROR, "SCP path refused: control character or leading '-'.");
        return FILEHANDLE_FAILED;
    }

    // Address and port from the host part.
    std::string address, port;
    bool bracketed = false, whole = false;
    {
        bool matched = false;
        int rc = 0;
        for (int i = 0; i < 4 && !matched; ++i) {
            FH_LOG(BMC_LOG_INFO, "pattern-%d---{%s}.", i, g_apcIpPatterns[i]);
            Regex ip(g_apcIpPatterns[i]);
            if (ip.CompileError() != 0) {
                rc = ip.CompileError();
                FH_LOG(BMC_LOG_ERROR, "regcomp() failed: %d.", rc);
                continue;
            }
            regmatch_t m[3];
            rc = ip.Match(hostPart.c_str(), 3, m);
            if (rc != 0) {
                FH_LOG(BMC_LOG_ERROR, "regexec() failed: %d pattert: %d.", rc, i);
                continue;
            }
            matched = true;
            FH_LOG(BMC_LOG_ERROR, "regexec() success: %d pattert: %d,  ulIpNMatch: %d.", 0, i, 3);
            address = Group(hostPart.c_str(), m[1]);
            port = Group(hostPart.c_str(), m[2]);
            bracketed = i < 2;
            // The first pattern is not anchored: "x[::1]:22y" must not pass as [::1]:22.
            whole = m[0].rm_so == 0 && static_cast<size_t>(m[0].rm_eo) == hostPart.size();
        }
        if (!matched) {
            FH_LOG(BMC_LOG_ERROR, "Ip info parse failed: %d index: %d.", rc, 4);
            return FILEHANDLE_FAILED;
        }
    }
    if (!whole) {
        return RefuseAmbiguous("text around the bracketed address");
    }
    if (!port.empty()) {
        long value = strtol(port.c_str(), nullptr, 10);
        out.uiPort = static_cast<uint32_t>(value);
        if (value < 1 || value > 65535) {
            FH_LOG(BMC_LOG_ERROR, "Invalid Port=%d.", static_cast<int>(value));
            return FILEHANDLE_FAILED;
        }
    }
    FH_LOG(BMC_LOG_DEBUG, "szIpAdress=%s, Port=%d", address.c_str(), static_cast<int>(out.uiPort));

    // The check's verdict is the kind it stores: one that fails leaves 0, which is refused.
    uint8_t kind = 0;
    (void)LIB_CheckIpv4v6AndDomain(address.c_str(), &kind);
    if (kind != 1 && kind != 2) {
        FH_LOG(BMC_LOG_ERROR, "Check Is Valid IPV4v6Addr failed.");
        return FILEHANDLE_FAILED;
    }
    // Brackets hold an IPv6 address, never a name ("[localhost]").
    if (bracketed && kind != 2) {
        FH_LOG(BMC_LOG_ERROR, "Check Is Valid IPV4v6Addr failed.");
        return FILEHANDLE_FAILED;
    }
    std::string host = kind == 2 ? "[" + address + "]" : address;

    const char* s = schemeText.c_str();
    if (protocol->uri.credentials) {
        CopyText(out.szUserName, user.c_str());
        CopyText(out.szPassword, password.c_str());
    }
    switch (protocol->uri.form) {
        case UriForm::kUrl:
            if (protocol->uri.credentialsInUrl) {
                BMC_Scnprintf(out.szIpAdress, sizeof out.szIpAdress, "%s://%s:%s@%s/%s", s,
                              out.szUserName, out.szPassword, host.c_str(), path.c_str());
            } else {
                BMC_Scnprintf(out.szIpAdress, sizeof out.szIpAdress, "%s://%s/%s", s, host.c_str(),
                              path.c_str());
            }
            break;
        case UriForm::kShare:
            CopyText(out.szIpAdress, host.c_str());
            BMC_Scnprintf(out.szStorageAddress, sizeof out.szStorageAddress, "/%s", path.c_str());
            CopyText(out.szReadAddress, local);
            break;
        case UriForm::kHostAndPath:
            CopyText(out.szIpAdress, address.c_str());
            if (in.ucHandleType == FILEHANDLE_UPLOAD) {
                CopyText(out.szStorageAddress, path.c_str());
            } else {
                CopyText(out.szReadAddress, path.c_str());
            }
            break;
        case UriForm::kAsGiven:
            if (kind == 2) {
                BMC_Scnprintf(out.szIpAdress, sizeof out.szIpAdress, "%s://%s/%s", s, host.c_str(),
                              path.c_str());
            } else {
                CopyText(out.szIpAdress, cmd);
            }
            break;
    }
    if (protocol->uri.curlUrl && !CurlReadsTheSame(*protocol, *scheme, out, host)) {
        // Nothing that could move data stays in a refused request.
        memset(out.szIpAdress, 0, sizeof out.szIpAdress);
        memset(out.szUserName, 0, sizeof out.szUserName);
        memset(out.szPassword, 0, sizeof out.szPassword);
        return RefuseAmbiguous("libcurl would read another URL");
    }
    // The password is masked here: the diagnostic log is no place for credentials.
    FH_LOG(BMC_LOG_INFO,
           "szIpAdress=%s,szReadAddress=%s,Port=%d,szStorageAddress=%s,szUserName=%s,szPassword=%s",
           UrlForLog(out.szIpAdress).c_str(), out.szReadAddress, static_cast<int>(out.uiPort),
           out.szStorageAddress, out.szUserName, out.szPassword[0] != '\0' ? "******" : "");
    return FILEHANDLE_OK;
}
