// Network check: what kind of address a text is.
#include <arpa/inet.h>
#include <ctype.h>
#include <string.h>

#include "platform/bmc_platform.h"

namespace {

// A host name of RFC 1123 labels: 1..63 letters, digits or hyphens, not starting or ending
// with a hyphen, 253 characters at most. A name of digits and dots only is no host name:
// it would be read as a (malformed) IPv4 address.
bool ValidHostName(const char* s) {
    size_t len = strlen(s);
    if (len == 0 || len > 253) {
        return false;
    }
    bool allDigits = true;
    size_t label = 0;
    for (size_t i = 0; i <= len; ++i) {
        char c = s[i];
        if (c == '.' || c == '\0') {
            if (label == 0 || label > 63 || s[i - 1] == '-') {
                return false;
            }
            label = 0;
            continue;
        }
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-') {
            return false;
        }
        if (label == 0 && c == '-') {
            return false;
        }
        allDigits = allDigits && isdigit(static_cast<unsigned char>(c));
        ++label;
    }
    return !allDigits;
}

}  // namespace

extern "C" int LIB_CheckIpv4v6AndDomain(const char* address, uint8_t* kind) {
    if (address == nullptr || kind == nullptr) {
        return -1;
    }
    unsigned char buf[sizeof(struct in6_addr)];
    if (inet_pton(AF_INET, address, buf) == 1) {
        *kind = 1;
    } else if (inet_pton(AF_INET6, address, buf) == 1) {
        *kind = 2;
    } else {
        *kind = ValidHostName(address) ? 1 : 0;
    }
    return 0;
}
