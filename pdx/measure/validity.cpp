#include "pdx/measure/validity.h"

#include <algorithm>
#include <charconv>

#include "pdx/util/errors.h"

namespace pdx {

namespace {

// An optional sign and decimal digits that fit 32 bits.
bool parse_int32(std::string_view text, std::int32_t *value) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || text.front() == '-') {
            return false;
        }
    }
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc{} && ptr == end && !text.empty();
}

// One bound of a valid range: empty (absent) or a 32-bit integer.
bool parse_bound(std::string_view text, std::optional<std::int32_t> *bound) {
    if (text.empty()) {
        bound->reset();
        return true;
    }
    std::int32_t value = 0;
    if (!parse_int32(text, &value)) {
        return false;
    }
    *bound = value;
    return true;
}

} // namespace

int parse_valid_range(std::string_view text, ValidRange *range) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return ERR_INVALID_PARAM;
    }
    ValidRange parsed;
    if (!parse_bound(text.substr(0, colon), &parsed.min) ||
        !parse_bound(text.substr(colon + 1), &parsed.max) ||
        (parsed.min && parsed.max && *parsed.min > *parsed.max)) {
        return ERR_INVALID_PARAM;
    }
    *range = parsed;
    return 0;
}

int parse_nodata(std::string_view text, std::int32_t *value) {
    std::int32_t parsed = 0;
    if (!parse_int32(text, &parsed)) {
        return ERR_INVALID_PARAM;
    }
    *value = parsed;
    return 0;
}

int Validity::chosen(const ValidRange &range, std::span<const std::int32_t> nodata, Validity *out) {
    const std::int32_t lo = range.min.value_or(INT32_MIN);
    const std::int32_t hi = range.max.value_or(INT32_MAX);
    if (lo > hi || nodata.size() > kMaxNodata) {
        return ERR_INVALID_PARAM;
    }
    Validity v;
    v.rule_ = Rule::chosen;
    v.lo_ = lo;
    v.span_ = static_cast<std::uint32_t>(hi) - static_cast<std::uint32_t>(lo);
    v.count_ = static_cast<std::uint32_t>(nodata.size());
    for (std::size_t i = 0; i < nodata.size(); ++i) {
        const std::int32_t value = nodata[i];
        v.nodata_[i] = value;
        if (value >= lo && value <= hi &&
            std::find(v.tested_, v.tested_ + v.tested_count_, value) ==
                v.tested_ + v.tested_count_) {
            v.tested_[v.tested_count_++] = value;
        }
    }
    *out = v;
    return 0;
}

} // namespace pdx
