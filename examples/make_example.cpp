// Writes the bundled example data file, examples/sample_64x48.dat, and
// checks files against what it would write:
//
//   make_example OUTPUT               writes the data file
//   make_example --check FILE         FILE holds exactly those bytes
//   make_example --check-matrix FILE  FILE is their phase map as a
//                                     little-endian data matrix file
//
// A 4096-byte header, an intensity block of two 64 x 48 frames of fringes
// shifted by a quarter wave, and a smooth 64 x 48 phase map (a tilted bowl).
// Integer arithmetic only, so every platform writes the same bytes.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "support/data_file_builder.h"
#include "support/matrix_image.h"
#include "support/temp_dir.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr std::int64_t kWave = 4096; // phase units per wave

// The phase at column x, row y: a bowl centred a little off the middle plus
// a tilt, about four waves from the centre to the corners.
std::int32_t phase_at(int x, int y) {
    const std::int64_t dx = x - 30;
    const std::int64_t dy = y - 22;
    return static_cast<std::int32_t>(12 * (dx * dx + dy * dy) + 40 * x - 25 * y - 6000);
}

// 1000 * sin of the angle `t` given in phase units (kWave per turn), by
// Bhaskara's rational approximation on each half wave.
std::int64_t sine_milli(std::int64_t t) {
    const std::int64_t half = kWave / 2;
    t %= kWave;
    if (t < 0) {
        t += kWave;
    }
    const std::int64_t sign = t < half ? 1 : -1;
    const std::int64_t u = t % half;
    const std::int64_t p = u * (half - u);
    return sign * 16000 * p / (5 * half * half - 4 * p);
}

test_support::Bytes example_bytes(const std::vector<std::int32_t> &phase) {
    std::vector<std::uint16_t> intensity;
    for (int frame = 0; frame < 2; ++frame) {
        for (const std::int32_t p : phase) {
            // Fringes: 2000 +- 1500 counts, the second frame a quarter wave on.
            const std::int64_t s = sine_milli(p + frame * (kWave / 4));
            intensity.push_back(static_cast<std::uint16_t>(2000 + 3 * s / 2));
        }
    }
    test_support::DataFileBuilder builder(test_support::kLongHeader);
    builder.intensity(kWidth, kHeight, 2, intensity).phase(kWidth, kHeight, phase);
    // The frame origin of both blocks; the data matrix file does not keep it.
    builder.set16(test_support::data_file_offset::intens_x, 96)
        .set16(test_support::data_file_offset::intens_y, 120)
        .set16(test_support::data_file_offset::phase_x, 96)
        .set16(test_support::data_file_offset::phase_y, 120);
    return builder.build();
}

// The little-endian data matrix file of the phase map.
test_support::Bytes matrix_bytes(const std::vector<std::int32_t> &phase) {
    return test_support::matrix_file_image(kWidth, kHeight, phase, false);
}

} // namespace

int main(int argc, char **argv) {
    const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    const bool check_matrix = argc == 3 && std::strcmp(argv[1], "--check-matrix") == 0;
    if (argc != 2 && !check && !check_matrix) {
        std::fputs("usage: make_example OUTPUT | --check FILE | --check-matrix FILE\n", stderr);
        return 2;
    }

    std::vector<std::int32_t> phase;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            phase.push_back(phase_at(x, y));
        }
    }
    const test_support::Bytes bytes = check_matrix ? matrix_bytes(phase) : example_bytes(phase);

    const std::filesystem::path file(argv[argc - 1]);
    if (check || check_matrix) {
        if (test_support::read_file(file) != bytes) {
            std::fprintf(stderr, "make_example: %s differs from the expected %zu bytes\n", argv[2],
                         bytes.size());
            return 1;
        }
        return 0;
    }
    test_support::write_file(file, bytes);
    if (test_support::read_file(file) != bytes) {
        std::fprintf(stderr, "make_example: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
