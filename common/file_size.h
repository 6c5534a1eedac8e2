// The size of an open stream, within the 32-bit sizes the controller uses.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

namespace fh {

constexpr long kSizeUnknown = -1;   // the stream cannot seek or tell
constexpr long kSizeTooLarge = -2;  // 2^31 bytes or more

// Seeks to the end to learn the size, then back to the start.
inline long StreamSize32(FILE* f) {
    if (fseeko(f, 0, SEEK_END) != 0) {
        return kSizeUnknown;
    }
    off_t end = ftello(f);
    if (end < 0) {
        return kSizeUnknown;
    }
    if (end > static_cast<off_t>(INT32_MAX)) {
        return kSizeTooLarge;
    }
    return fseeko(f, 0, SEEK_SET) == 0 ? static_cast<long>(end) : kSizeUnknown;
}

}  // namespace fh
