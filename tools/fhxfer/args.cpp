// Argument helpers: numbers, task identifiers, and passwords kept off the command line.
#include <errno.h>
#include <stdlib.h>

#include <fstream>
#include <string>

#include "fhxfer.h"

namespace fhxfer {

bool ParseNumber(const char* text, unsigned long max, unsigned long* out) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v > max || text[0] == '-') {
        return false;
    }
    *out = v;
    return true;
}

bool ParseId(const Args& a, const std::string& text, uint32_t* id) {
    unsigned long v = 0;
    if (!ParseNumber(text.c_str(), 0xffffffffUL, &v)) {
        Fail(a, kExitUsage, text + " is not a task identifier");
        return false;
    }
    *id = static_cast<uint32_t>(v);
    return true;
}

bool OutsidePassword(const Args& a, SecretText* password, bool* given) {
    *given = false;
    if (const char* file = a.Value("password-file")) {
        std::ifstream in(file);
        if (!in || !std::getline(in, password->text)) {
            Fail(a, kExitUsage, std::string("cannot read a password from ") + file);
            return false;
        }
        *given = true;
    } else if (const char* env = getenv("FHXFER_PASSWORD")) {
        password->text = env;
        *given = true;
    }
    return true;
}

bool UriArgument(const Args& a, size_t index, SecretText* uri) {
    uri->text = a.pos[index];
    SecretText password;
    bool given = false;
    if (!OutsidePassword(a, &password, &given)) {
        return false;
    }
    std::string& u = uri->text;
    size_t start = u.find("://");
    if (!given || start == std::string::npos) {
        return true;
    }
    start += 3;
    size_t at = u.find('@', start);
    if (at == std::string::npos || u.find('/', start) < at) {
        return true;  // no user part
    }
    if (u.find(':', start) < at) {
        Fail(a, kExitUsage,
             "the URI holds a password, and --password-file or FHXFER_PASSWORD another");
        return false;
    }
    u.insert(at, ":" + password.text);
    return true;
}

}  // namespace fhxfer
