// Shared by the fuzz targets: no log file fills while fuzzing, and every violation stops the
// run with its reason.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" int BMC_DiagLogOut(uint32_t, uint32_t, uint32_t, uint32_t, const char*, const char*,
                              ...) {
    return 0;
}

#define FUZZ_CHECK(cond, ...)                  \
    do {                                       \
        if (!(cond)) {                         \
            fprintf(stderr, __VA_ARGS__);      \
            fprintf(stderr, " (%s)\n", #cond); \
            abort();                           \
        }                                      \
    } while (0)

template <size_t N>
void CheckTerminated(const char (&field)[N], const char* name) {
    FUZZ_CHECK(memchr(field, '\0', N) != nullptr, "%s is not terminated", name);
}
