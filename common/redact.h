// Texts for log lines with the credentials masked.
#pragma once

#include <string>

namespace fh {

// The URL with any password in its user information replaced by "***".
inline std::string UrlForLog(const char* url) {
    std::string u(url);
    size_t scheme = u.find("://");
    size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t at = u.rfind('@');
    if (at == std::string::npos || at < start) {
        return u;
    }
    size_t colon = u.find(':', start);
    if (colon != std::string::npos && colon < at) {
        u.replace(colon + 1, at - colon - 1, "***");
    }
    return u;
}

}  // namespace fh
