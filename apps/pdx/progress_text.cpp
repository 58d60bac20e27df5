#include "progress_text.h"

#include <cstdio>

namespace {

std::string duration_text(double seconds) {
    const auto s = static_cast<unsigned long long>(seconds + 0.5);
    char text[48];
    if (s < 60) {
        std::snprintf(text, sizeof text, "%llu s", s);
    } else if (s < 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu", s / 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
    }
    return text;
}

} // namespace

std::string progress_text(std::size_t done, std::size_t total, double elapsed_seconds) {
    // At most 47 characters of counts, 29 digits of rate (a file done in a
    // nanosecond of a 64-bit count) and 27 of time: the line always fits.
    char line[160];
    int n = std::snprintf(line, sizeof line, "%zu/%zu files", done, total);
    if (done > 0 && elapsed_seconds > 0) {
        const double rate = static_cast<double>(done) / elapsed_seconds;
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n),
                           ", %.0f files/s, %s left", rate,
                           duration_text(static_cast<double>(total - done) / rate).c_str());
    }
    return line;
}
