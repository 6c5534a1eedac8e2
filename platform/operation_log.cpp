// The operation log: one line per entry in BMC_OPERATE_LOG_PATH, kept as a text file
// another process can read.
#include <ctype.h>
#include <stddef.h>
#include <stdio.h>

#include <string>

#include "platform/bmc_platform.h"
#include "platform/platform_internal.h"

namespace {

constexpr size_t kOriginInterfaceMax = sizeof(OperateLogOrigin::szInterface);
constexpr size_t kOriginTextMax = sizeof(OperateLogOrigin::szSource);
constexpr size_t kMessageMax = 512;  // what a caller of the operation log may hand over

// Appends `text` (at most `max` bytes, up to its terminator) in double quotes, with '"',
// '\' and control bytes as \xNN so that the entry stays on one line.
void AppendQuoted(std::string& out, const char* text, size_t max) {
    out.push_back('"');
    for (size_t i = 0; text != nullptr && i < max && text[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\' || c < 0x20 || c == 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
}

}  // namespace

extern "C" int OPERATELOG_AddLogComm(uint32_t originId, uint8_t resultLetter, const char* message,
                                     const void* origin, const char* originText, uint32_t line,
                                     uint32_t module) {
    if (message == nullptr) {
        return -1;
    }
    std::string out = bmc::NowText();
    out += " origin=" + std::to_string(originId) + " interface=";
    // The origin is any caller's buffer: read it as bytes, never through a misaligned
    // record pointer.
    AppendQuoted(out,
                 origin != nullptr
                     ? static_cast<const char*>(origin) + offsetof(OperateLogOrigin, szInterface)
                     : nullptr,
                 kOriginInterfaceMax);
    out += " source=";
    AppendQuoted(out, originText, kOriginTextMax);
    out += " result=";
    if (isgraph(resultLetter) != 0 && resultLetter != '"' && resultLetter != '\\') {
        out.push_back(static_cast<char>(resultLetter));
    } else {
        char esc[8];
        snprintf(esc, sizeof esc, "\\x%02x", resultLetter);
        out += esc;
    }
    out += " line=" + std::to_string(line) + " module=" + std::to_string(module) + " message=";
    AppendQuoted(out, message, kMessageMax);
    out.push_back('\n');
    return bmc::AppendLine(BMC_OPERATE_LOG_PATH, out) ? 0 : -1;
}
