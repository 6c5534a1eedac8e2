// Character checks on request texts, shared by the parser, the workers and the tools.
#pragma once

#include <string_view>

namespace fh {

// A C0 control character or DEL: never part of a host, a credential or a path.
constexpr bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

inline bool HasControl(std::string_view text) {
    for (unsigned char c : text) {
        if (IsControl(c)) {
            return true;
        }
    }
    return false;
}

}  // namespace fh
