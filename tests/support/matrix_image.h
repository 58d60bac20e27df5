#pragma once

// Test-side helpers for data matrix files and region matrices: the bytes a
// matrix file must hold, written independently of the library, and the
// released state that every failed read must leave.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pdx/matrix/region_matrix.h"
#include "support/temp_dir.h"

namespace test_support {

// A data matrix file: width and height as 16-bit numbers, then `count`
// samples as 32-bit numbers, every field in the chosen byte order.
inline Bytes matrix_file_image(std::uint16_t width, std::uint16_t height,
                               const std::int32_t *samples, std::size_t count, bool bigEndian) {
    Bytes out;
    const auto put = [&](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            const int shift = bigEndian ? 8 * (bytes - 1 - i) : 8 * i;
            out.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    };
    put(width, 2);
    put(height, 2);
    for (std::size_t i = 0; i < count; ++i) {
        put(static_cast<std::uint32_t>(samples[i]), 4);
    }
    return out;
}

inline Bytes matrix_file_image(std::uint16_t width, std::uint16_t height,
                               const std::vector<std::int32_t> &samples, bool bigEndian) {
    return matrix_file_image(width, height, samples.data(), samples.size(), bigEndian);
}

// The state a released matrix is in: no buffer, size, width and height 0
// (and no frames).
inline bool is_released(const pdx::PhaseMatrix &m) {
    return m.matrix == nullptr && m.size == 0 && m.width == 0 && m.height == 0;
}

inline bool is_released(const pdx::IntensityMatrix &m) {
    return m.matrix == nullptr && m.size == 0 && m.width == 0 && m.height == 0 && m.n_buckets == 0;
}

} // namespace test_support
