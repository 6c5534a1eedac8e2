// The event log: each submitted event becomes one JSON line in BMC_SDL_LOG_PATH.
#include <stdio.h>
#include <string.h>

#include <string>

#include "platform/bmc_platform.h"
#include "platform/platform_internal.h"

namespace {

constexpr uint8_t kTextType = 0x11;

void AppendJsonString(std::string& out, const char* text, size_t len) {
    out.push_back('"');
    for (size_t i = 0; i < len && text[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c >= 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
}

}  // namespace

extern "C" int SDS_SDLTLVSet(uint8_t length, uint8_t type, const void* value, uint32_t* offset,
                             uint8_t* area) {
    if (offset == nullptr || area == nullptr || *offset > SDS_SDL_AREA_SIZE ||
        SDS_SDL_AREA_SIZE - *offset < 2u + length) {
        return -1;
    }
    uint8_t* p = area + *offset;
    p[0] = type;
    p[1] = length;
    if (value != nullptr) {
        memcpy(p + 2, value, length);
    } else {
        memset(p + 2, 0, length);
    }
    *offset += 2u + length;
    return 0;
}

extern "C" int SDS_Internal_AddSdlFromBmc(const void* event, const char* file,
                                          const char* function) {
    if (event == nullptr) {
        return -1;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(event);
    uint32_t code = 0;
    memcpy(&code, bytes, sizeof code);
    char head[64];
    snprintf(head, sizeof head, "\"event\":\"0x%08x\",", code);
    std::string line = "{\"time\":\"" + bmc::NowText() + "\"," + head + "\"source\":";
    AppendJsonString(line, file != nullptr ? file : "", SIZE_MAX);
    line += ",\"function\":";
    AppendJsonString(line, function != nullptr ? function : "", SIZE_MAX);
    line += ",\"elements\":[";
    // Walk the elements until the zero bytes behind the last one.
    const uint8_t* area = bytes + SDS_SDL_AREA_OFFSET;
    bool first = true;
    for (uint32_t off = 0; off + 2 <= SDS_SDL_AREA_SIZE;) {
        uint8_t type = area[off];
        uint8_t len = area[off + 1];
        if (type == 0 && len == 0) {
            break;
        }
        if (off + 2u + len > SDS_SDL_AREA_SIZE) {
            return -1;  // malformed: an element runs past the area
        }
        char el[48];
        snprintf(el, sizeof el, "%s{\"type\":%u,\"length\":%u", first ? "" : ",", type, len);
        line += el;
        if (type == kTextType) {
            line += ",\"text\":";
            AppendJsonString(line, reinterpret_cast<const char*>(area + off + 2), len);
        }
        line += "}";
        first = false;
        off += 2u + len;
    }
    line += "]}\n";
    return bmc::AppendLine(BMC_SDL_LOG_PATH, line) ? 0 : -1;
}
