#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace pdx {

// Which phase samples are measurements.
//
// Instruments mark the samples they could not measure (dropouts, the edge of
// the aperture) with a value no phase count comes near, commonly the largest
// 32-bit value. By default a sample v is invalid when |v| >= 2^30, that is
// v <= -1073741824 or v >= 1073741824: the marker rule. A caller may choose
// instead a range MIN..MAX (either bound open) and/or nodata values: a
// sample is then valid when it lies within the range (if one is given) and
// equals none of the nodata values (if any are given), and the marker rule
// no longer applies. Or every sample is valid.
//
// Invalid samples are NaN in the float exports, transparent in previews and
// left out of statistics; the data matrix files and exact .npy files keep
// every sample as stored.

// Samples of at least this magnitude are markers under the default rule.
inline constexpr std::int32_t kMarkerMagnitude = 1 << 30;

// Samples v with min <= v <= max are valid; an absent bound does not limit.
// With neither bound every sample is valid.
struct ValidRange {
    std::optional<std::int32_t> min;
    std::optional<std::int32_t> max;
};

// Parses "MIN:MAX", where each bound is an optional decimal integer with an
// optional sign and either may be empty ("-500:", ":1200", ":"). Returns 0,
// or ERR_INVALID_PARAM (no colon, another character, a bound outside the
// 32-bit range, or MIN > MAX) with `*range` unchanged.
[[nodiscard]] int parse_valid_range(std::string_view text, ValidRange *range);

// Parses one nodata value: a decimal integer with an optional sign within
// the 32-bit range ("2147483647", "-2147483648", "+7"). Returns 0, or
// ERR_INVALID_PARAM with `*value` unchanged.
[[nodiscard]] int parse_nodata(std::string_view text, std::int32_t *value);

// A validity rule: a range of valid values (the marker rule is the range
// -1073741823..1073741823, "all" the whole 32-bit range) and up to
// kMaxNodata values that are invalid wherever they fall. A small value type:
// copy it freely, share it between threads.
class Validity {
  public:
    static constexpr std::size_t kMaxNodata = 16;

    enum class Rule {
        markers, // the default: |v| >= 2^30 is invalid
        all,     // every sample is valid
        chosen,  // a range and/or nodata values
    };

    // The marker rule.
    constexpr Validity() = default;
    static constexpr Validity markers() { return Validity(); }
    static constexpr Validity all() {
        Validity v;
        v.lo_ = INT32_MIN;
        v.span_ = UINT32_MAX;
        v.rule_ = Rule::all;
        return v;
    }
    // Valid within `range` and equal to none of `nodata` (duplicates allowed).
    // Returns 0, or ERR_INVALID_PARAM (min > max, or more than kMaxNodata
    // values) with `*out` unchanged.
    [[nodiscard]] static int chosen(const ValidRange &range, std::span<const std::int32_t> nodata,
                                    Validity *out);

    Rule rule() const { return rule_; }
    // The range's inclusive bounds (for the marker rule -(2^30 - 1) and
    // 2^30 - 1; for "all" and an open bound, the 32-bit limits).
    std::int32_t min() const { return lo_; }
    std::int32_t max() const {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(lo_) + span_);
    }
    std::span<const std::int32_t> nodata() const { return {nodata_, count_}; }

    bool is_valid(std::int32_t v) const {
        if (static_cast<std::uint32_t>(v) - static_cast<std::uint32_t>(lo_) > span_) {
            return false;
        }
        for (std::size_t i = 0; i < tested_count_; ++i) {
            if (v == tested_[i]) {
                return false;
            }
        }
        return true;
    }

    // The tests a loop over many samples takes, cheapest first: each is a
    // function object `bool (std::int32_t)` and, with kAll, a promise that it
    // is always true. with_test(f) calls f with the cheapest test that
    // decides this rule, so that the loop is compiled once per kind of
    // test and never looks at nodata values it does not have (nor at those
    // outside the range, which the range already refuses):
    //
    //   validity.with_test([&](auto valid) {
    //       for (std::size_t i = 0; i < n; ++i) { if (valid(s[i])) ... }
    //   });
    //
    // The range tests take no branch, so that loops over blocks of a
    // constant size may be vectorised.
    struct AllValid {
        static constexpr bool kAll = true;
        bool operator()(std::int32_t) const { return true; }
    };
    struct InRange {
        static constexpr bool kAll = false;
        std::uint32_t lo;
        std::uint32_t span;
        bool operator()(std::int32_t v) const { return static_cast<std::uint32_t>(v) - lo <= span; }
    };
    struct InRangeNotOne {
        static constexpr bool kAll = false;
        std::uint32_t lo;
        std::uint32_t span;
        std::int32_t nodata;
        bool operator()(std::int32_t v) const {
            return (static_cast<std::uint32_t>(v) - lo <= span) & (v != nodata);
        }
    };
    struct InRangeNotNodata {
        static constexpr bool kAll = false;
        const Validity *rule;
        bool operator()(std::int32_t v) const { return rule->is_valid(v); }
    };
    template <typename F> decltype(auto) with_test(F &&f) const {
        const auto lo = static_cast<std::uint32_t>(lo_);
        if (tested_count_ > 1) {
            return f(InRangeNotNodata{this});
        }
        if (tested_count_ == 1) {
            return f(InRangeNotOne{lo, span_, tested_[0]});
        }
        if (span_ == UINT32_MAX) {
            return f(AllValid{});
        }
        return f(InRange{lo, span_});
    }

  private:
    std::int32_t lo_ = -(kMarkerMagnitude - 1);
    std::uint32_t span_ = 2 * static_cast<std::uint32_t>(kMarkerMagnitude - 1);
    Rule rule_ = Rule::markers;
    std::uint32_t count_ = 0;
    std::int32_t nodata_[kMaxNodata] = {}; // as given
    // The distinct nodata values within the range, which the tests look at.
    std::uint32_t tested_count_ = 0;
    std::int32_t tested_[kMaxNodata] = {};
};

} // namespace pdx
