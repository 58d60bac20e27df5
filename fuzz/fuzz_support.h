#pragma once

// Shared pieces of the fuzz targets: a byte budget on the allocation hook, so
// that a hostile size in a file yields ERR_NO_MEM instead of the fuzzer's
// out-of-memory kill, scratch files, checks that a failed read left its
// matrices released, and an independent reading of a data file's block
// layout against which a successful read is compared.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "pdx/matrix/region_matrix.h"
#include "pdx/util/errors.h"
#include "pdx/util/hooks.h"
#include "support/data_file_builder.h"
#include "support/matrix_image.h"
#include "support/temp_dir.h"

namespace fuzz_support {

// Live bytes that u_malloc may hand out at once. Far more than the samples
// of any input the fuzzer makes (its inputs are a few KiB; see -max_len), so
// every input that can succeed gets its memory, while a hostile size fails
// cheaply: under ASan each large block costs a pass over its shadow memory,
// which at hundreds of MiB would dominate the run time.
inline constexpr std::size_t kBudget = std::size_t{4} << 20;

inline std::size_t &live_bytes() {
    static std::size_t bytes = 0;
    return bytes;
}

// Each block carries its size in a 16-byte prefix so that u_free can return
// it to the budget.
inline void *budget_malloc(std::size_t size) {
    if (size > kBudget - live_bytes()) {
        return nullptr;
    }
    auto *block = static_cast<unsigned char *>(std::malloc(size + 16));
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &size, sizeof size);
    live_bytes() += size;
    return block + 16;
}

inline void budget_free(void *p) {
    if (p == nullptr) {
        return;
    }
    auto *block = static_cast<unsigned char *>(p) - 16;
    std::size_t size;
    std::memcpy(&size, block, sizeof size);
    live_bytes() -= size;
    std::free(block);
}

inline void install_budget() {
    pdx::u_malloc = budget_malloc;
    pdx::u_free = budget_free;
}

// A scratch folder of this process's own, removed when the process ends,
// for entry points that take a path.
inline std::string scratch_path(const char *name) {
    static const test_support::TempDir dir;
    return dir.file(name);
}

inline bool write_scratch(const std::string &path, const std::uint8_t *data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    out.close();
    return static_cast<bool>(out);
}

// Stops the run with a report when a condition that must hold does not.
inline void check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

// The codes a data file read may fail with.
inline bool data_file_code(int code) {
    switch (code) {
    case pdx::ERR_CANT_OPEN_FILE:
    case pdx::ERR_CORRUPT_DATA_FILE:
    case pdx::ERR_DATASET_DIM_TOO_LARGE:
    case pdx::ERR_NO_MEM:
    case pdx::ERR_NOT_A_DATA_FILE:
    case pdx::ERR_PARAM_OUT_OF_RANGE:
    case pdx::ERR_PREMATURE_EOF:
        return true;
    default:
        return false;
    }
}

// Loads from the raw input; the caller checks the bounds.
inline std::uint32_t be16_at(const std::uint8_t *p) {
    return std::uint32_t{p[0]} << 8 | p[1];
}
inline std::uint32_t le16_at(const std::uint8_t *p) {
    return std::uint32_t{p[1]} << 8 | p[0];
}
inline std::uint32_t be32_at(const std::uint8_t *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// What the packed on-disk header of a data file says about its blocks, read
// straight from the bytes without the library's header code.
struct DataFileLayout {
    bool valid = false;     // a magic number and the whole header
    std::size_t header = 0; // 834 or 4096
    std::int32_t intens_nbytes = 0;
    std::int32_t phase_nbytes = 0;
    std::int16_t intens_width = 0, intens_height = 0, intens_n_buckets = 0;
    std::int16_t phase_x = 0, phase_y = 0, phase_width = 0, phase_height = 0;
};

inline DataFileLayout data_file_layout(const std::uint8_t *data, std::size_t size) {
    DataFileLayout l;
    if (size < 4) {
        return l;
    }
    const std::uint32_t magic = be32_at(data);
    namespace ts = test_support;
    namespace off = test_support::data_file_offset;
    l.header = magic == ts::kMagic834 || magic == ts::kMagic834Alt ? ts::kShortHeader
               : magic == ts::kMagic4096                           ? ts::kLongHeader
                                                                   : 0;
    if (l.header == 0 || size < l.header) {
        return l;
    }
    l.valid = true;
    const auto s16 = [&](std::size_t at) { return static_cast<std::int16_t>(be16_at(data + at)); };
    l.intens_width = s16(off::intens_width);
    l.intens_height = s16(off::intens_height);
    l.intens_n_buckets = s16(off::intens_n_buckets);
    l.intens_nbytes = static_cast<std::int32_t>(be32_at(data + off::intens_nbytes));
    l.phase_x = s16(off::phase_x);
    l.phase_y = s16(off::phase_y);
    l.phase_width = s16(off::phase_width);
    l.phase_height = s16(off::phase_height);
    l.phase_nbytes = static_cast<std::int32_t>(be32_at(data + off::phase_nbytes));
    return l;
}

// True when `phase` holds exactly the phase samples that the file's bytes
// give from `offset` on, with the file's rectangle.
inline bool phase_matches(const pdx::PhaseMatrix &phase, const DataFileLayout &l,
                          const std::uint8_t *data, std::size_t size, std::size_t offset) {
    if (phase.x != l.phase_x || phase.y != l.phase_y || phase.width != l.phase_width ||
        phase.height != l.phase_height || phase.width <= 0 || phase.height <= 0 ||
        phase.matrix == nullptr) {
        return false;
    }
    const std::size_t n = std::size_t(phase.width) * std::size_t(phase.height);
    if (phase.size < n || offset > size || (size - offset) / 4 < n) {
        return false; // more samples than the file holds
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<std::uint32_t>(phase.matrix[i]) != be32_at(data + offset + 4 * i)) {
            return false;
        }
    }
    return true;
}

using test_support::is_released;

} // namespace fuzz_support
