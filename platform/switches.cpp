// Feature switches (the OEM flag and the capabilities): files a host, or a test, writes a
// decimal number into; a missing file means "not set".
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "common/raii.h"
#include "platform/bmc_platform.h"

namespace {

constexpr size_t kSwitchFileMax = 64;

// The decimal number 0..255 held by the file; false when it is missing or holds anything
// else.
bool ReadSwitch(const std::string& path, uint8_t* value) {
    fh::UniqueFile f(fopen(path.c_str(), "re"));
    if (!f) {
        return false;
    }
    char text[kSwitchFileMax + 1] = {0};
    size_t n = fread(text, 1, kSwitchFileMax, f.Get());
    if (n == kSwitchFileMax || ferror(f.Get()) != 0) {
        return false;  // longer than any number we accept, or unreadable
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (isspace(*p) != 0) {
        ++p;
    }
    if (isdigit(*p) == 0) {
        return false;
    }
    unsigned v = 0;
    for (; isdigit(*p) != 0; ++p) {
        v = v * 10u + static_cast<unsigned>(*p - '0');
        if (v > 255u) {
            return false;
        }
    }
    while (isspace(*p) != 0) {
        ++p;
    }
    if (*p != '\0') {
        return false;
    }
    *value = static_cast<uint8_t>(v);
    return true;
}

// A section or name that can only ever name a file directly inside BMC_CAPABILITY_DIR.
bool SafeSwitchPart(const char* part) {
    return part != nullptr && part[0] != '\0' && part[0] != '.' && strchr(part, '/') == nullptr;
}

}  // namespace

extern "C" int BMC_GetOemFlag(uint8_t* flag) {
    if (flag == nullptr) {
        return -1;
    }
    return ReadSwitch(BMC_OEM_FLAG_PATH, flag) ? 0 : -1;
}

extern "C" int CAP_GetCharCapabilityWithName(const char* section, const char* name,
                                             uint8_t* value) {
    if (value == nullptr || !SafeSwitchPart(section) || !SafeSwitchPart(name)) {
        return -1;
    }
    std::string path = std::string(BMC_CAPABILITY_DIR) + "/" + section + "." + name;
    return ReadSwitch(path, value) ? 0 : -1;
}
