// Quoting for the few shell command lines the library runs.
#pragma once

#include <string>

namespace fh {

// `text` as one literal shell word: single-quoted, with each embedded single quote
// written as '\''. Nothing inside is expanded or split by the shell.
inline std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    out.push_back('\'');
    return out;
}

}  // namespace fh
