// Fuzz target for the Redfish URI parser. The first byte picks the direction and file
// mode, the rest is the URI. Whatever the input, the parser must return one of its two
// results, keep every text terminated within its field and never accept credentials that
// do not fit. An accepted libcurl URL must mean to libcurl what it meant to the parser:
// a scheme of the chosen protocol and the host the URI named.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "frontend/filehandle_ulanddl.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The schemes libcurl may read for each protocol code for which a libcurl URL is made.
const std::map<uint8_t, const char*> kCurlSchemes = {{FILEHANDLE_PROTOCOL_HTTP, " http https "},
                                                     {FILEHANDLE_PROTOCOL_SFTP, " sftp "},
                                                     {FILEHANDLE_PROTOCOL_SCP, " scp "},
                                                     {FILEHANDLE_PROTOCOL_FTP, " ftp ftps "}};

void CheckCurlReading(const ComponentInfo& out, const std::string& uri) {
    auto found = kCurlSchemes.find(out.ucProtocolType);
    if (found == kCurlSchemes.end()) {
        return;
    }
    std::string scheme, host;
    bool ok = CurlReads(out.szIpAdress, &scheme, &host) &&
              strstr(found->second, (" " + scheme + " ").c_str()) != nullptr &&
              uri.compare(0, scheme.size(), scheme) == 0;
    // The host libcurl reads stands in the URI right after its scheme's "://" or "@".
    if (ok && host[0] != '[') {
        ok = uri.find("://" + host) != std::string::npos ||
             uri.find("@" + host) != std::string::npos;
    }
    FUZZ_CHECK(ok, "libcurl reads another URL: %s", out.szIpAdress);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static RedfishInfo in;
    memset(&in, 0, sizeof in);
    in.ucHandleType = (data[0] & 1) ? FILEHANDLE_UPLOAD : FILEHANDLE_DOWNLOAD;
    if ((data[0] & 0x80) != 0) {
        in.ucHandleType = data[0] & 0x7f;  // any value, most of them invalid
    }
    in.ucFileMode = (data[0] >> 1) & 1;
    strcpy(in.szLocalPath, "/tmp/fuzz/local.bin");
    size_t n = size - 1 < sizeof in.szRedfishCmd ? size - 1 : sizeof in.szRedfishCmd;
    memcpy(in.szRedfishCmd, data + 1, n);  // may be unterminated: the parser must cope

    ComponentInfo out;
    memset(&out, 0, sizeof out);
    uint32_t rc = FILEHANDLE_ParseRedfishStruct(&in, &out);
    FUZZ_CHECK(rc == 0 || rc == FILEHANDLE_FAILED, "unexpected result 0x%08x", rc);
    CheckTerminated(out.szIpAdress, "szIpAdress");
    CheckTerminated(out.szReadAddress, "szReadAddress");
    CheckTerminated(out.szStorageAddress, "szStorageAddress");
    CheckTerminated(out.szUserName, "szUserName");
    CheckTerminated(out.szPassword, "szPassword");
    if (rc == 0) {
        FUZZ_CHECK(out.ucProtocolType <= 8 && out.ucProtocolType != 6, "protocol %u",
                   out.ucProtocolType);
        FUZZ_CHECK(out.ucProtocolType == FILEHANDLE_PROTOCOL_LOCAL ||
                       (out.szIpAdress[0] != '\0' && out.uiPort <= 65535),
                   "no host, or port %u", out.uiPort);
        CheckCurlReading(
            out, std::string(in.szRedfishCmd, strnlen(in.szRedfishCmd, sizeof in.szRedfishCmd)));
    }
    return 0;
}
