#pragma once

#include <cstddef>
#include <cstdint>

#include "pdx/matrix/region_matrix.h"
#include "pdx/measure/validity.h"

namespace pdx {

// Statistics of a phase map over its valid samples, and the invalid values
// it holds.

// An invalid value and how many samples hold it.
struct InvalidValue {
    std::int32_t value = 0;
    std::uint64_t count = 0;
};

struct PhaseStats {
    // The invalid values named, at most this many.
    static constexpr std::size_t kNamed = 8;

    std::uint64_t count = 0; // samples
    std::uint64_t valid = 0; // valid samples

    // Over the valid samples; all 0 (float32_exact true) when none is valid.
    std::int32_t min = 0;
    std::int32_t max = 0;
    double mean = 0;
    double std_dev = 0;        // population standard deviation
    bool float32_exact = true; // every valid v has |v| <= 2^24

    // The distinct invalid values met, the most frequent first (equal
    // counts: the smaller value first), each with its exact count.
    InvalidValue named[kNamed];
    std::size_t named_count = 0;
    // The invalid values not named: how many distinct values and how many
    // samples. `other_values` is exact while the map holds at most
    // kInvalidTable distinct invalid values; beyond that it is a lower
    // bound and `other_values_exact` is false. (The named values are then
    // still exact and the most frequent ones, unless the eighth most
    // frequent value has no more than 1/kInvalidTable of the invalid samples.)
    std::uint64_t other_values = 0;
    bool other_values_exact = true;
    std::uint64_t other_samples = 0;

    static constexpr std::size_t kInvalidTable = 256;
};

// The statistics of the `width` x `height` samples at `samples` (row by row)
// under `validity`, in two passes: the extremes, an exact 64-bit sum and the
// invalid values in the first, then the squared deviations from the mean in
// long double, row by row (no partial sum holds more than one row and one
// total). No memory is allocated: the invalid values are counted in a table
// of kInvalidTable entries on the stack. Any number of threads may run it at
// once. width * height must not pass 2^32 (a phase map holds at most
// 32767^2 samples).
PhaseStats phase_stats(const std::int32_t *samples, std::size_t width, std::size_t height,
                       const Validity &validity);

// The same over a phase matrix. Returns 0, or ERR_INVALID_PARAM (a negative
// width or height, or a buffer holding fewer than width * height samples)
// with `*stats` unchanged.
[[nodiscard]] int phase_stats(const PhaseMatrix &m, const Validity &validity, PhaseStats *stats);

} // namespace pdx
