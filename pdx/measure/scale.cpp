#include "pdx/measure/scale.h"

#include <charconv>
#include <cmath>

#include "pdx/util/errors.h"

namespace pdx {

namespace {

struct UnitName {
    LengthUnit unit;
    const char *name;
    const char *symbol;
    double metres;
};
constexpr UnitName kUnits[] = {
    {LengthUnit::m, "m", "m", 1},
    {LengthUnit::mm, "mm", "mm", 1e-3},
    {LengthUnit::um, "um", "\xC2\xB5m", 1e-6},
    {LengthUnit::nm, "nm", "nm", 1e-9},
};

const UnitName &unit_of(LengthUnit unit) {
    for (const UnitName &u : kUnits) {
        if (u.unit == unit) {
            return u;
        }
    }
    return kUnits[0];
}

std::size_t digits(std::string_view text, std::size_t at) {
    std::size_t n = 0;
    while (at + n < text.size() && text[at + n] >= '0' && text[at + n] <= '9') {
        ++n;
    }
    return n;
}

// The length of the decimal number at the start of `text` (digits, an
// optional fraction, an optional exponent with digits), 0 when none.
std::size_t number_length(std::string_view text) {
    std::size_t n = digits(text, 0);
    std::size_t figures = n;
    if (n < text.size() && text[n] == '.') {
        const std::size_t fraction = digits(text, n + 1);
        figures += fraction;
        n += 1 + fraction;
    }
    if (figures == 0) {
        return 0;
    }
    if (n < text.size() && (text[n] == 'e' || text[n] == 'E')) {
        std::size_t at = n + 1;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            ++at;
        }
        const std::size_t exponent = digits(text, at);
        if (exponent != 0) {
            n = at + exponent;
        }
    }
    return n;
}

} // namespace

const char *unit_name(LengthUnit unit) {
    return unit_of(unit).name;
}

const char *unit_symbol(LengthUnit unit) {
    return unit_of(unit).symbol;
}

double unit_metres(LengthUnit unit) {
    return unit_of(unit).metres;
}

double convert_length(double value, LengthUnit from, LengthUnit to) {
    // A unit converted to itself keeps the value exactly.
    return from == to ? value : value * (unit_metres(from) / unit_metres(to));
}

int parse_unit(std::string_view text, LengthUnit *unit) {
    for (const UnitName &u : kUnits) {
        if (text == u.name) {
            *unit = u.unit;
            return 0;
        }
    }
    // The micro sign, or the Greek mu that keyboards often give instead.
    if (text == "\xC2\xB5m" || text == "\xCE\xBCm") {
        *unit = LengthUnit::um;
        return 0;
    }
    return ERR_INVALID_PARAM;
}

int parse_length(std::string_view text, Length *length) {
    const std::size_t n = number_length(text);
    Length parsed;
    if (n == 0 || parse_unit(text.substr(n), &parsed.unit) != 0) {
        return ERR_INVALID_PARAM;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + n, parsed.value);
    if (ec != std::errc{} || end != text.data() + n || !(parsed.value > 0) ||
        !(parsed.value <= kLargestLength)) {
        return ERR_INVALID_PARAM;
    }
    *length = parsed;
    return 0;
}

int parse_pixel_size(std::string_view text, PixelSize *size) {
    const std::size_t comma = text.find(',');
    Length x;
    Length y;
    if (parse_length(text.substr(0, comma), &x) != 0 ||
        (comma != std::string_view::npos && parse_length(text.substr(comma + 1), &y) != 0)) {
        return ERR_INVALID_PARAM;
    }
    const double y_value =
        comma != std::string_view::npos ? convert_length(y.value, y.unit, x.unit) : x.value;
    if (!(y_value > 0) || !(y_value <= kLargestLength)) {
        return ERR_INVALID_PARAM;
    }
    *size = PixelSize{x.value, y_value, x.unit};
    return 0;
}

int parse_z_scale(std::string_view text, ZScale *scale) {
    Length z;
    if (parse_length(text, &z) != 0) {
        return ERR_INVALID_PARAM;
    }
    *scale = ZScale{z.value, z.unit};
    return 0;
}

} // namespace pdx
