// Fuzz target for what fhredfishd makes of a SimpleUpdate body: ImageURI, TransferProtocol,
// Username and Password (the input's fields, split at NUL bytes; the first byte says which
// of the last three are present). A request that the service plans must mean the same to
// the library: its transfer URI, where the library's parser accepts it, reads as the planned
// protocol, host and credentials, and the URI shown in messages and logs
// never holds the password. (The library may still refuse a plan, a host it does not take
// for one: the service then reports the library's refusal.)
#include <arpa/inet.h>
#include <ctype.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "frontend/filehandle_ulanddl.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/fhredfishd/image_uri.h"

namespace {

// A host as both sides write it, to compare: no brackets, lower case, an IPv6 address in
// its shortest form.
std::string Plain(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    for (char& c : host) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    unsigned char a[16];
    char text[INET6_ADDRSTRLEN];
    if (inet_pton(AF_INET6, host.c_str(), a) == 1 &&
        inet_ntop(AF_INET6, a, text, sizeof text) != nullptr) {
        host = text;
    }
    return host;
}

// The host of the shown URI (scheme://host[:port]/path), as the service planned it.
std::string PlannedHost(const std::string& shown) {
    size_t from = shown.find("://") + 3;
    std::string hostPort = shown.substr(from, shown.find('/', from) - from);
    size_t colons = static_cast<size_t>(std::count(hostPort.begin(), hostPort.end(), ':'));
    size_t end = hostPort[0] == '[' ? hostPort.find(']') + 1
                 : colons == 1      ? hostPort.find(':')
                                    : std::string::npos;  // bare IPv6: no port
    return Plain(hostPort.substr(0, end));
}

// The host the library will use: its URL's for libcurl protocols, else the field itself.
std::string LibraryHost(const ComponentInfo& out) {
    if (strstr(out.szIpAdress, "://") == nullptr) {
        return Plain(out.szIpAdress);
    }
    std::string scheme, host;
    return CurlReads(out.szIpAdress, &scheme, &host) ? Plain(host) : std::string();
}

uint8_t ProtocolCode(const std::string& protocol) {
    static const std::map<std::string, uint8_t> codes = {
        {"HTTP", FILEHANDLE_PROTOCOL_HTTP}, {"HTTPS", FILEHANDLE_PROTOCOL_HTTP},
        {"SFTP", FILEHANDLE_PROTOCOL_SFTP}, {"SCP", FILEHANDLE_PROTOCOL_SCP},
        {"FTP", FILEHANDLE_PROTOCOL_FTP},   {"TFTP", FILEHANDLE_PROTOCOL_TFTP},
        {"NFS", FILEHANDLE_PROTOCOL_NFS},   {"CIFS", FILEHANDLE_PROTOCOL_CIFS}};
    auto found = codes.find(protocol);
    FUZZ_CHECK(found != codes.end(), "planned an unknown protocol %s", protocol.c_str());
    return found->second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::vector<std::string> fields(1);
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == '\0' && fields.size() < 4) {
            fields.emplace_back();
        } else {
            fields.back() += static_cast<char>(data[i]);
        }
    }
    fields.resize(4);
    fhrf::ImageSource source;
    source.imageUri = fields[0];
    if (data[0] & 1) {
        source.transferProtocol = fields[1];
    }
    if (data[0] & 2) {
        source.username = fields[2];
    }
    if (data[0] & 4) {
        source.password = fields[3];
    }
    fhrf::TransferPlan plan;
    fhrf::PlanProblem problem;
    if (!fhrf::PlanTransfer(source, "SimpleUpdate", &plan, &problem)) {
        FUZZ_CHECK(!problem.key.empty(), "a refusal without its message");
        return 0;
    }
    // The shown URI must not depend on the password: planned again with another password
    // of the same length, it reads the same. (A search for the password's text in it would
    // also find texts that every URI holds, such as "://".)
    if (source.password) {
        fhrf::ImageSource other = source;
        for (char& c : *other.password) {
            c = c == 'p' ? 'q' : 'p';
        }
        fhrf::TransferPlan again;
        if (fhrf::PlanTransfer(other, "SimpleUpdate", &again, &problem)) {
            FUZZ_CHECK(again.shownUri == plan.shownUri, "the shown URI depends on the password");
        }
    }
    RedfishInfo in{};
    in.ucHandleType = FILEHANDLE_DOWNLOAD;
    snprintf(in.szLocalPath, sizeof in.szLocalPath, "/tmp/fuzz/%s", plan.fileName.c_str());
    FUZZ_CHECK(plan.command.size() < sizeof in.szRedfishCmd, "command too long");
    memcpy(in.szRedfishCmd, plan.command.data(), plan.command.size());
    ComponentInfo out{};
    uint32_t rc = FILEHANDLE_ParseRedfishStruct(&in, &out);
    FUZZ_CHECK(rc == 0 || rc == FILEHANDLE_FAILED, "parser result 0x%x", rc);
    if (rc != 0) {
        return 0;
    }
    uint8_t code = ProtocolCode(plan.protocol);
    FUZZ_CHECK(out.ucProtocolType == code, "planned %s, the library reads protocol %u",
               plan.protocol.c_str(), out.ucProtocolType);
    FUZZ_CHECK(PlannedHost(plan.shownUri) == LibraryHost(out),
               "planned host of %s, the library goes to %s", plan.shownUri.c_str(), out.szIpAdress);
    bool uriCredentials = code == FILEHANDLE_PROTOCOL_SFTP || code == FILEHANDLE_PROTOCOL_SCP ||
                          code == FILEHANDLE_PROTOCOL_FTP || code == FILEHANDLE_PROTOCOL_CIFS;
    if (uriCredentials && source.username && source.password) {
        bool anonymous =
            code == FILEHANDLE_PROTOCOL_FTP && source.username->empty() && source.password->empty();
        FUZZ_CHECK((anonymous ? "anonymous" : *source.username) == out.szUserName &&
                       *source.password == out.szPassword,
                   "the library reads other credentials from %s", plan.command.c_str());
    }
    if (!uriCredentials) {
        FUZZ_CHECK(out.szUserName[0] == '\0' && out.szPassword[0] == '\0',
                   "credentials in a %s URI", plan.protocol.c_str());
    }
    return 0;
}
