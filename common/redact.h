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

// Every URL's password inside a free text (a log line, an event, a task name) replaced by
// "***". A URL's user information runs from its "://" to the last '@' before the next
// blank or quote, so a password holding '/' or '@' is masked whole (a path holding ':' and
// '@' may be masked too: too much is safe, too little is not).
inline std::string MaskUrlsInText(const std::string& text) {
    std::string out = text;
    for (size_t p = out.find("://"); p != std::string::npos; p = out.find("://", p + 3)) {
        size_t end = out.find_first_of(" \t\r\n\"'", p + 3);
        std::string url = out.substr(p, end == std::string::npos ? end : end - p);
        out.replace(p, url.size(), UrlForLog(url.c_str()));
    }
    return out;
}

}  // namespace fh
