#include "image_uri.h"

#include <ctype.h>
#include <string.h>

#include <algorithm>

#include "common/text_checks.h"

namespace fhrf {

namespace {

// Field widths of the library's request record, less the terminating NUL.
constexpr size_t kUserMax = 31;          // szUserName
constexpr size_t kPasswordMax = 32;      // szPassword
constexpr size_t kHttpUserMax = 31;      // szHttpUserName
constexpr size_t kHttpPasswordMax = 29;  // szHttpPassword
constexpr size_t kCommandMax = 1023;     // szRedfishCmd
constexpr size_t kFileNameMax = 200;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return text;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(toupper(c)); });
    return text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// RFC 3986 percent-decoding; false for a broken escape.
bool PercentDecode(const std::string& in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            *out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) {
            return false;
        }
        int hi = HexValue(in[i + 1]);
        int lo = HexValue(in[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        *out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

bool HasControlOrSpace(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](unsigned char c) { return c == ' ' || fh::IsControl(c); });
}

bool HasAnyOf(const std::string& text, const char* set) {
    return text.find_first_of(set) != std::string::npos;
}

// A URI scheme: a letter, then letters, digits, '+', '-' or '.'.
bool IsScheme(const std::string& text) {
    if (text.empty() || !isalpha(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return isalnum(c) || c == '+' || c == '-' || c == '.';
    });
}

// The local file takes the remote file's name, so it must be a plain name.
bool IsPlainFileName(const std::string& name) {
    if (name.empty() || name.size() > kFileNameMax || name == "." || name == "..") {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return isalnum(c) || c == '.' || c == '_' || c == '-' || c == '+';
    });
}

}  // namespace

const std::vector<std::string>& TransferProtocols() {
    static const std::vector<std::string> kNames = {"HTTP", "HTTPS", "FTP", "SFTP",
                                                    "SCP",  "TFTP",  "NFS", "CIFS"};
    return kNames;
}

void Wipe(std::string* text) {
    if (!text->empty()) {
        // A volatile pointer keeps the compiler from dropping the stores.
        volatile char* p = &(*text)[0];
        for (size_t i = 0; i < text->size(); ++i) {
            p[i] = '\0';
        }
    }
    text->clear();
}

ImageSource::~ImageSource() {
    Wipe(&imageUri);
    if (username)
        Wipe(&*username);
    if (password)
        Wipe(&*password);
}

TransferPlan::~TransferPlan() {
    Wipe(&command);
    Wipe(&httpUser);
    Wipe(&httpPassword);
}

bool PlanTransfer(const ImageSource& source, const std::string& action, TransferPlan* plan,
                  PlanProblem* problem) {
    auto fail = [problem](std::string key, std::vector<std::string> args) {
        problem->key = std::move(key);
        problem->args = std::move(args);
        return false;
    };
    const std::vector<std::string>& protocols = TransferProtocols();
    if (source.transferProtocol && std::find(protocols.begin(), protocols.end(),
                                             *source.transferProtocol) == protocols.end()) {
        return fail("Base.ActionParameterValueNotInList",
                    {*source.transferProtocol, "TransferProtocol", action});
    }
    const std::string& uri = source.imageUri;
    // Shown in messages instead of the URI, which may hold credentials.
    const std::string hidden = "<ImageURI>";
    if (uri.empty() || HasControlOrSpace(uri)) {
        return fail("Base.ActionParameterValueFormatError", {hidden, "ImageURI", action});
    }

    // Scheme: the URI's own, else TransferProtocol's (a URI's scheme wins over it).
    std::string scheme;
    std::string rest;
    size_t sep = uri.find("://");
    if (sep != std::string::npos && IsScheme(uri.substr(0, sep))) {
        scheme = Lower(uri.substr(0, sep));
        rest = uri.substr(sep + 3);
    } else {
        if (!source.transferProtocol) {
            return fail("Base.ActionParameterMissing", {action, "TransferProtocol"});
        }
        scheme = Lower(*source.transferProtocol);
        rest = uri.compare(0, 2, "//") == 0 ? uri.substr(2) : uri;
    }
    std::string protocol = Upper(scheme);
    if (std::find(protocols.begin(), protocols.end(), protocol) == protocols.end()) {
        return fail("Base.ActionParameterValueNotInList", {scheme + "://", "ImageURI", action});
    }

    // Authority and path. User information in a URI is percent-encoded (RFC 3986), so the
    // authority ends at the first '/'.
    size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        return fail("Base.ActionParameterValueFormatError", {hidden, "ImageURI", action});
    }
    std::string authority = rest.substr(0, slash);
    std::string path = rest.substr(slash + 1);
    std::string uriUser;
    std::string uriPassword;
    size_t at = authority.rfind('@');
    std::string hostPort = at == std::string::npos ? authority : authority.substr(at + 1);
    if (at != std::string::npos) {
        std::string info = authority.substr(0, at);
        size_t colon = info.find(':');
        bool ok =
            PercentDecode(info.substr(0, colon), &uriUser) &&
            (colon == std::string::npos || PercentDecode(info.substr(colon + 1), &uriPassword));
        Wipe(&info);
        if (!ok) {
            Wipe(&uriUser);
            Wipe(&uriPassword);
            return fail("Base.ActionParameterValueFormatError", {hidden, "ImageURI", action});
        }
    }
    Wipe(&authority);
    plan->shownUri = scheme + "://" + hostPort + "/" + path;
    if (hostPort.empty()) {
        return fail("Base.ActionParameterValueFormatError", {plan->shownUri, "ImageURI", action});
    }
    bool http = protocol == "HTTP" || protocol == "HTTPS";
    // The library reads the user information of an SFTP, SCP, FTP or CIFS URI up to its last
    // '@': one in the path would move the host it connects to.
    if (!http && protocol != "NFS" && protocol != "TFTP" && path.find('@') != std::string::npos) {
        return fail("Base.ActionParameterValueFormatError", {plan->shownUri, "ImageURI", action});
    }
    size_t query = path.find_first_of("?#");
    if (query != std::string::npos && !http) {
        return fail("Base.ActionParameterValueFormatError", {plan->shownUri, "ImageURI", action});
    }
    std::string filePath = path.substr(0, query);
    size_t lastSlash = filePath.rfind('/');
    plan->fileName = lastSlash == std::string::npos ? filePath : filePath.substr(lastSlash + 1);
    if (!IsPlainFileName(plan->fileName)) {
        return fail("Base.ActionParameterValueFormatError", {plan->shownUri, "ImageURI", action});
    }

    // Credentials: Username and Password win over the URI's.
    std::string user = source.username ? *source.username : uriUser;
    std::string password = source.password ? *source.password : uriPassword;
    if (source.username && !source.password) {
        password.clear();
    }
    Wipe(&uriUser);
    Wipe(&uriPassword);
    bool credentials = !user.empty() || !password.empty();
    auto badCredential = [&](const char* parameter) {
        Wipe(&user);
        Wipe(&password);
        // The value itself is never echoed.
        return fail("Base.ActionParameterValueFormatError", {"<hidden>", parameter, action});
    };

    plan->protocol = protocol;
    if (http) {
        if (credentials) {
            if (user.empty() || user.size() > kHttpUserMax || HasControlOrSpace(user) ||
                HasAnyOf(user, ":")) {
                return badCredential("Username");
            }
            if (password.size() > kHttpPasswordMax || HasControlOrSpace(password)) {
                return badCredential("Password");
            }
            plan->httpUser = user;
            plan->httpPassword = password;
        }
        plan->command = scheme + "://" + hostPort + "/" + path;
    } else if (protocol == "NFS" || protocol == "TFTP") {
        if (credentials) {
            std::string parameter = !user.empty() ? "Username" : "Password";
            Wipe(&user);
            Wipe(&password);
            return fail("Base.ActionParameterNotSupported", {parameter, action});
        }
        plan->command = scheme + "://" + hostPort + "/" + path;
    } else {
        // SFTP, SCP, FTP, CIFS: the library's grammar needs "user:password@" in the URI and
        // takes both as they stand. '/', '@', '#' and '?' would change where libcurl's URL
        // ends its user information; ',' and '"' would split or quote a mount option.
        if (!credentials && protocol == "FTP") {
            user = "anonymous";
        }
        const char* userBad = protocol == "CIFS" ? ":/@#?,\"" : ":/@#?";
        const char* passwordBad = protocol == "CIFS" ? "/@#?,\"" : "/@#?";
        if (user.size() > kUserMax || HasControlOrSpace(user) || HasAnyOf(user, userBad)) {
            return badCredential("Username");
        }
        if (password.size() > kPasswordMax || HasControlOrSpace(password) ||
            HasAnyOf(password, passwordBad)) {
            return badCredential("Password");
        }
        plan->command = scheme + "://" + user + ":" + password + "@" + hostPort + "/" + path;
    }
    Wipe(&user);
    Wipe(&password);
    if (plan->command.size() > kCommandMax) {
        Wipe(&plan->command);
        return fail("Base.ActionParameterValueFormatError", {plan->shownUri, "ImageURI", action});
    }
    return true;
}

}  // namespace fhrf
