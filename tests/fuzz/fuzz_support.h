// Shared by the fuzz targets: no log file fills while fuzzing, and every violation stops the
// run with its reason.
#pragma once

#include <curl/curl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

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

// The scheme and host libcurl reads from `url`; false when libcurl refuses it.
inline bool CurlReads(const char* url, std::string* scheme, std::string* host) {
    CURLU* u = curl_url();
    char *s = nullptr, *h = nullptr;
    bool ok = u != nullptr && curl_url_set(u, CURLUPART_URL, url, 0) == CURLUE_OK &&
              curl_url_get(u, CURLUPART_SCHEME, &s, 0) == CURLUE_OK &&
              curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK;
    if (ok) {
        *scheme = s;
        *host = h;
    }
    curl_free(s);
    curl_free(h);
    curl_url_cleanup(u);
    return ok;
}
