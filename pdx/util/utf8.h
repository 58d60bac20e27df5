#pragma once

// UTF-8 checking for the text the programs and the export writers emit
// (header-only).

#include <cstddef>
#include <string_view>

namespace pdx {

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0
// (for an empty `s` too): no overlong forms, surrogates, code points past
// U+10FFFF or cut-short sequences.
inline std::size_t u_utf8_length(std::string_view s) {
    if (s.empty()) {
        return 0;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(0);
    std::size_t n = 0;
    unsigned char lo = 0x80; // the second byte's range: excludes overlong
    unsigned char hi = 0xBF; // forms, surrogates and code points past 10FFFF
    if (b0 < 0x80) {
        return 1;
    }
    // Continuation bytes, the leads of overlong pairs, and leads past 10FFFF.
    if (b0 < 0xC2 || b0 > 0xF4) {
        return 0;
    }
    if (b0 < 0xE0) {
        n = 2;
    } else if (b0 < 0xF0) {
        n = 3;
        lo = b0 == 0xE0 ? 0xA0 : 0x80;
        hi = b0 == 0xED ? 0x9F : 0xBF;
    } else {
        n = 4;
        lo = b0 == 0xF0 ? 0x90 : 0x80;
        hi = b0 == 0xF4 ? 0x8F : 0xBF;
    }
    if (s.size() < n || byte(1) < lo || byte(1) > hi) {
        return 0;
    }
    for (std::size_t i = 2; i < n; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return n;
}

} // namespace pdx
