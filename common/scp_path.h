// Whether an SCP URL's remote path is safe to hand to the server.
#pragma once

#include <ctype.h>

#include <string>

#include "common/text_checks.h"

namespace fh {

// libcurl's SCP sends the remote path inside the scp protocol and as the argument of the
// server's `scp` command (quoted by libssh2). A line break or other control character
// breaks the protocol line and silently corrupts the transfer, and a path that starts
// with '-' is read by scp as an option. Both are refused. `url` is scheme://host/path;
// the path is checked after percent-decoding, as libcurl will send it.
inline bool ScpPathIsSafe(const char* url) {
    std::string u(url);
    size_t scheme = u.find("://");
    size_t slash = u.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (slash == std::string::npos) {
        return true;  // no path: libcurl refuses the URL itself
    }
    std::string path;
    for (size_t i = slash + 1; i < u.size(); ++i) {
        char c = u[i];
        if (c == '%' && i + 2 < u.size() && isxdigit(static_cast<unsigned char>(u[i + 1])) &&
            isxdigit(static_cast<unsigned char>(u[i + 2]))) {
            c = static_cast<char>(std::stoi(u.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
        if (IsControl(static_cast<unsigned char>(c))) {
            return false;
        }
        path.push_back(c);
    }
    // "/~/name" is relative to the login directory: the name is what scp sees first.
    if (path.compare(0, 2, "~/") == 0) {
        path.erase(0, 2);
    }
    return path.empty() || path[0] != '-';
}

}  // namespace fh
