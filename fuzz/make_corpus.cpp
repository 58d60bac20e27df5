// Writes the seed corpus of the fuzz targets from the test suite's data file
// builder: valid data files of each header length and magic, with and
// without blocks, and data matrix files in both byte orders.
//
//   make_corpus FOLDER   writes FOLDER/data_file, FOLDER/matrix_file and
//                        FOLDER/convert
//
// The committed corpus under fuzz/corpus was made this way, then grown by
// fuzzing; inputs that once found a fault are kept there as regressions.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/data_file_builder.h"
#include "support/matrix_image.h"
#include "support/temp_dir.h"

namespace {

using test_support::Bytes;
using test_support::DataFileBuilder;

std::vector<std::int32_t> phase_ramp(int n) {
    std::vector<std::int32_t> v;
    for (int i = 0; i < n; ++i) {
        v.push_back(i * 1000 - 7);
    }
    return v;
}

std::vector<std::uint16_t> intensity_ramp(int n) {
    std::vector<std::uint16_t> v;
    for (int i = 0; i < n; ++i) {
        v.push_back(static_cast<std::uint16_t>(i * 257));
    }
    return v;
}

struct Seed {
    std::string name;
    Bytes bytes;
};

std::vector<Seed> data_file_seeds() {
    std::vector<Seed> seeds;
    const struct {
        const char *name;
        std::size_t length;
        std::uint32_t magic;
    } headers[] = {
        {"h834a", test_support::kShortHeader, test_support::kMagic834},
        {"h834b", test_support::kShortHeader, test_support::kMagic834Alt},
        {"h4096", test_support::kLongHeader, test_support::kMagic4096},
    };
    for (const auto &h : headers) {
        const std::string base = h.name;
        seeds.push_back({base + "_empty", DataFileBuilder(h.length, h.magic).build()});
        seeds.push_back({base + "_phase",
                         DataFileBuilder(h.length, h.magic).phase(3, 2, phase_ramp(6)).build()});
        seeds.push_back({base + "_both", DataFileBuilder(h.length, h.magic)
                                             .intensity(3, 2, 2, intensity_ramp(12))
                                             .phase(3, 2, phase_ramp(6))
                                             .build()});
        seeds.push_back(
            {base + "_intensity",
             DataFileBuilder(h.length, h.magic).intensity(2, 2, 1, intensity_ramp(4)).build()});
    }
    return seeds;
}

std::vector<Seed> matrix_file_seeds() {
    auto matrix = [](int w, int h, bool big) {
        return test_support::matrix_file_image(
            static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), phase_ramp(w * h), big);
    };
    return {
        {"le_2x3", matrix(2, 3, false)},
        {"be_2x3", matrix(2, 3, true)},
        {"le_1x1", matrix(1, 1, false)},
        {"zero", matrix(0, 0, false)},
    };
}

void write_all(const std::filesystem::path &dir, const std::vector<Seed> &seeds) {
    std::filesystem::create_directories(dir);
    for (const Seed &s : seeds) {
        test_support::write_file(dir / s.name, s.bytes);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus FOLDER\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    std::vector<Seed> stream_seeds;
    // The stream target's first byte chooses the outputs and the stream:
    // one seed each for all four outputs, the phase alone, and the phase
    // alone from a stream that cannot seek.
    const struct {
        std::uint8_t choice;
        const char *suffix;
    } choices[] = {{0x0F, "_all"}, {0x08, "_phase_only"}, {0x18, "_phase_pipe"}};
    for (const Seed &s : data_file_seeds()) {
        for (const auto &c : choices) {
            Bytes b{c.choice};
            b.insert(b.end(), s.bytes.begin(), s.bytes.end());
            stream_seeds.push_back({s.name + c.suffix, b});
        }
    }
    write_all(root / "data_file", stream_seeds);
    write_all(root / "convert", data_file_seeds());
    write_all(root / "matrix_file", matrix_file_seeds());
    return 0;
}
