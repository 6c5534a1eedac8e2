// Copies a whole file between two open descriptors.
#pragma once

#include <errno.h>
#include <sys/sendfile.h>
#include <sys/types.h>

namespace fh {

// Moves `size` bytes from `in` (at its offset) to `out` in the kernel; false on any
// failure, a short source included.
inline bool CopyAll(int in, int out, off_t size) {
    while (size > 0) {
        ssize_t n = sendfile(out, in, nullptr, size > (1 << 30) ? (1 << 30) : size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        size -= n;
    }
    return true;
}

}  // namespace fh
