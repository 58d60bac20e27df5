#include "pdx/measure/stats.h"

#include <algorithm>
#include <cmath>

#include "pdx/util/errors.h"

namespace pdx {

namespace {

// The invalid values of a map and their counts, in an open-addressing table
// of twice as many slots as it keeps values. While it has room every count
// is exact. When a value arrives for which there is none, the table keeps
// what the Misra-Gries summary keeps: the new value's samples and as many
// of each kept value's cancel out, and values left with no count make room.
// Every value holding more than 1/(kKept + 1) of the samples added survives
// that; a second pass then counts the survivors exactly (recount).
class InvalidTable {
  public:
    static constexpr std::size_t kKept = PhaseStats::kInvalidTable;

    // Adds k samples of value v.
    void add(std::int32_t v, std::uint64_t k) {
        for (;;) {
            std::size_t s = slot_of(v);
            while (count_[s] != 0) {
                if (value_[s] == v) {
                    count_[s] += k;
                    return;
                }
                s = (s + 1) & kMask;
            }
            if (used_ < kKept) {
                value_[s] = v;
                count_[s] = k;
                ++used_;
                return;
            }
            overflowed_ = true;
            // Cancel as many as the new value and the least kept value
            // both have; what is left of the new value tries again.
            std::uint64_t least = k;
            for (std::size_t t = 0; t < kSlots; ++t) {
                if (count_[t] != 0 && count_[t] < least) {
                    least = count_[t];
                }
            }
            cancel(least);
            k -= least;
            if (k == 0) {
                return;
            }
        }
    }

    bool overflowed() const { return overflowed_; }

    // Second pass, after an overflow: k more samples of v, if it is kept.
    void recount(std::int32_t v, std::uint64_t k) {
        std::size_t s = slot_of(v);
        while (count_[s] != 0) {
            if (value_[s] == v) {
                exact_[s] += k;
                return;
            }
            s = (s + 1) & kMask;
        }
    }

    // The kept values with their exact counts, the most frequent first
    // (equal counts: the smaller value first), into `out` (kKept entries);
    // returns how many.
    std::size_t ranked(InvalidValue *out) const {
        std::size_t n = 0;
        for (std::size_t s = 0; s < kSlots; ++s) {
            if (count_[s] != 0) {
                out[n++] = {value_[s], overflowed_ ? exact_[s] : count_[s]};
            }
        }
        std::sort(out, out + n, [](const InvalidValue &a, const InvalidValue &b) {
            return a.count != b.count ? a.count > b.count : a.value < b.value;
        });
        return n;
    }

  private:
    static constexpr std::size_t kSlots = 2 * kKept;
    static constexpr std::size_t kMask = kSlots - 1;
    static_assert((kSlots & kMask) == 0, "a power of two");

    static std::size_t slot_of(std::int32_t v) {
        // Fibonacci hashing: the top bits of the product.
        return (static_cast<std::uint32_t>(v) * 0x9E3779B1u) >> 23;
    }

    // Takes d from every kept count, and the values left with none out.
    void cancel(std::uint64_t d) {
        InvalidValue kept[kKept];
        std::size_t n = 0;
        for (std::size_t s = 0; s < kSlots; ++s) {
            if (count_[s] > d) {
                kept[n++] = {value_[s], count_[s] - d};
            }
            count_[s] = 0;
        }
        used_ = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t s = slot_of(kept[i].value);
            while (count_[s] != 0) {
                s = (s + 1) & kMask;
            }
            value_[s] = kept[i].value;
            count_[s] = kept[i].count;
            ++used_;
        }
    }

    std::int32_t value_[kSlots] = {};
    std::uint64_t count_[kSlots] = {}; // 0: an empty slot
    std::uint64_t exact_[kSlots] = {};
    std::size_t used_ = 0;
    bool overflowed_ = false;
};
static_assert(PhaseStats::kInvalidTable * 2 == 512, "slot_of takes the top 9 bits");

// The length of the stretch of samples equal to at[0] among the n at `at`:
// holes and the outside of an aperture are long stretches of one marker,
// which the table then takes at once.
std::size_t stretch(const std::int32_t *at, std::size_t n) {
    std::size_t k = 1;
    while (k < n && at[k] == at[0]) {
        ++k;
    }
    return k;
}

} // namespace

PhaseStats phase_stats(const std::int32_t *samples, std::size_t width, std::size_t height,
                       const Validity &validity) {
    PhaseStats s;
    s.count = std::uint64_t{width} * height;
    if (s.count == 0) {
        return s;
    }
    InvalidTable table;
    // The extremes and an exact sum (|sum| < 2^31 * 2^32 fits 64 bits), and
    // the invalid values.
    std::int64_t sum = 0;
    std::uint64_t n = 0;
    std::int32_t lo = INT32_MAX;
    std::int32_t hi = INT32_MIN;
    validity.with_test([&](auto valid) {
        for (std::size_t i = 0; i < s.count; ++i) {
            const std::int32_t v = samples[i];
            if (valid(v)) {
                sum += v;
                ++n;
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            } else {
                const std::size_t k = stretch(samples + i, s.count - i);
                table.add(v, k);
                i += k - 1;
            }
        }
    });
    s.valid = n;
    if (n != 0) {
        s.min = lo;
        s.max = hi;
        s.float32_exact = lo >= -(1 << 24) && hi <= (1 << 24);
    }
    // The squared deviations, and the exact counts of the invalid values
    // kept after an overflow.
    const long double mean = n != 0 ? static_cast<long double>(sum) / n : 0;
    long double squares = 0;
    const bool recount = table.overflowed();
    if (n != 0 || recount) {
        validity.with_test([&](auto valid) {
            for (std::size_t r = 0; r < height; ++r) {
                const std::int32_t *row = samples + r * width;
                long double acc = 0;
                for (std::size_t c = 0; c < width; ++c) {
                    const std::int32_t v = row[c];
                    if (valid(v)) {
                        const long double d = static_cast<long double>(v) - mean;
                        acc += d * d;
                    }
                }
                squares += acc;
                for (std::size_t c = 0; recount && c < width; ++c) {
                    if (!valid(row[c])) {
                        const std::size_t k = stretch(row + c, width - c);
                        table.recount(row[c], k);
                        c += k - 1;
                    }
                }
            }
        });
    }
    if (n != 0) {
        s.mean = static_cast<double>(mean);
        s.std_dev = static_cast<double>(std::sqrt(squares / n));
    }
    InvalidValue ranked[InvalidTable::kKept];
    const std::size_t kept = table.ranked(ranked);
    s.named_count = std::min(kept, PhaseStats::kNamed);
    std::uint64_t named_samples = 0;
    for (std::size_t i = 0; i < s.named_count; ++i) {
        s.named[i] = ranked[i];
        named_samples += ranked[i].count;
    }
    s.other_samples = s.count - n - named_samples;
    // After an overflow more than kKept distinct values were met.
    s.other_values_exact = !recount;
    s.other_values = (recount ? InvalidTable::kKept + 1 : kept) - s.named_count;
    return s;
}

int phase_stats(const PhaseMatrix &m, const Validity &validity, PhaseStats *stats) {
    if (m.width < 0 || m.height < 0) {
        return ERR_INVALID_PARAM;
    }
    const std::uint64_t count = std::uint64_t(m.width) * std::uint64_t(m.height);
    const std::uint64_t held = m.matrix != nullptr ? m.size : 0;
    if (count > held) {
        return ERR_INVALID_PARAM;
    }
    *stats = phase_stats(m.matrix, static_cast<std::size_t>(m.width),
                         static_cast<std::size_t>(m.height), validity);
    return 0;
}

} // namespace pdx
