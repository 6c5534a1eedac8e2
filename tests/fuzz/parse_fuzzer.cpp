// Fuzz target for the Redfish URI parser. The first byte picks the direction and file
// mode, the rest is the URI. Whatever the input, the parser must return one of its two
// results, keep every text terminated within its field and never accept credentials that
// do not fit.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "frontend/filehandle_ulanddl.h"

// The diagnostic log is replaced here: fuzzing must not fill a log file.
extern "C" int BMC_DiagLogOut(uint32_t, uint32_t, uint32_t, uint32_t, const char*, const char*,
                              ...) {
    return 0;
}

namespace {

template <size_t N>
void CheckTerminated(const char (&field)[N], const char* name) {
    if (memchr(field, '\0', N) == nullptr) {
        fprintf(stderr, "%s is not terminated\n", name);
        abort();
    }
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
    if (rc != 0 && rc != 0x81000001u) {
        fprintf(stderr, "unexpected result 0x%08x\n", rc);
        abort();
    }
    CheckTerminated(out.szIpAdress, "szIpAdress");
    CheckTerminated(out.szReadAddress, "szReadAddress");
    CheckTerminated(out.szStorageAddress, "szStorageAddress");
    CheckTerminated(out.szUserName, "szUserName");
    CheckTerminated(out.szPassword, "szPassword");
    if (rc == 0) {
        if (out.ucProtocolType > 8 || out.ucProtocolType == 6) {
            abort();
        }
        if (out.ucProtocolType != FILEHANDLE_PROTOCOL_LOCAL &&
            (out.szIpAdress[0] == '\0' || out.uiPort > 65535)) {
            abort();
        }
    }
    return 0;
}
