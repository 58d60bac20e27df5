#include "shown_name.h"

#include <cstdio>
#include <string_view>

#include "pdx/util/utf8.h"

namespace {

// The length of the character at the start of `s` when it may be shown as
// it is; 0 for a control character or a byte that is not UTF-8.
std::size_t plain_length(std::string_view s) {
    const auto c = static_cast<unsigned char>(s[0]);
    if (c < 0x20 || c == 0x7F) {
        return 0;
    }
    const std::size_t n = pdx::u_utf8_length(s);
    // U+0080..U+009F, the C1 controls, are C2 80..C2 9F.
    const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(s[1]) < 0xA0;
    return c1 ? 0 : n;
}

bool plain(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = plain_length(s.substr(i));
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

std::string shell_quoted(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        if (plain_length(s.substr(i)) != 0) {
            // A run that may be shown: in single quotes, a quote as '\''.
            out += '\'';
            for (std::size_t n; i < s.size() && (n = plain_length(s.substr(i))) != 0; i += n) {
                if (s[i] == '\'') {
                    out += "'\\''";
                } else {
                    out.append(s, i, n);
                }
            }
            out += '\'';
        } else {
            // A run that may not: each byte escaped in $'...'.
            out += "$'";
            for (; i < s.size() && plain_length(s.substr(i)) == 0; ++i) {
                static const char kLetters[] = "abtnvfr"; // \a (7) to \r (13)
                const auto c = static_cast<unsigned char>(s[i]);
                char esc[8];
                if (c >= 7 && c <= 13) {
                    std::snprintf(esc, sizeof esc, "\\%c", kLetters[c - 7]);
                } else {
                    std::snprintf(esc, sizeof esc, "\\%03o", static_cast<unsigned>(c));
                }
                out += esc;
            }
            out += '\'';
        }
    }
    return out;
}

} // namespace

std::string shown_name(const std::string &text) {
    return plain(text) ? text : shell_quoted(text);
}

std::string quoted_name(const std::string &text) {
    return plain(text) ? "\"" + text + "\"" : shell_quoted(text);
}
