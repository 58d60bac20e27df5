#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pdx {

// The physical scale of a phase map: the size of a camera pixel across (x)
// and down (y), and the height one phase count stands for. Without a scale
// the outputs say pixels and counts.
//
// Coordinates: the sample at row r, column c of a map whose region starts
// at camera pixel (x0, y0) lies at camera pixel (x0 + c, y0 + r), that is at
// x = (x0 + c) * pixel.x. Image files put row 0 (the first row in the data
// file) at the top and give the origin as (x0 * pixel.x, y0 * pixel.y);
// plots whose y axis points up use y = -(y0 + r) * pixel.y, so that row 0
// is at the top there too.

enum class LengthUnit : std::uint8_t { m, mm, um, nm };

// The unit's name in ASCII, as file metadata that must be ASCII takes it
// (GSF, TIFF, ImageJ): "m", "mm", "um", "nm".
const char *unit_name(LengthUnit unit);
// Its symbol where UTF-8 is fine: "m", "mm", "µm" (U+00B5), "nm".
const char *unit_symbol(LengthUnit unit);
// How many metres one unit is: 1, 1e-3, 1e-6, 1e-9.
double unit_metres(LengthUnit unit);
// `value`, given in `from`, in `to`.
double convert_length(double value, LengthUnit from, LengthUnit to);

// Parses a unit: "m", "mm", "um", "nm", or "µm" with the micro sign (U+00B5)
// or the Greek mu (U+03BC). Returns 0, or ERR_INVALID_PARAM with `*unit`
// unchanged.
[[nodiscard]] int parse_unit(std::string_view text, LengthUnit *unit);

// Lengths and heights are positive and at most this, in their unit.
inline constexpr double kLargestLength = 1e12;

struct Length {
    double value = 0;
    LengthUnit unit = LengthUnit::m;
};

// Parses a length: a decimal number (digits, an optional fraction, an
// optional exponent: "0.52", "5.2e-1"), positive and at most
// kLargestLength, then at once its unit ("0.52um", "1.5mm"). A number
// without a unit is refused. Returns 0, or ERR_INVALID_PARAM with `*length`
// unchanged.
[[nodiscard]] int parse_length(std::string_view text, Length *length);

// The size of a camera pixel, both sides in one unit.
struct PixelSize {
    double x = 0;
    double y = 0;
    LengthUnit unit = LengthUnit::um;
};

// Parses "X" (square pixels) or "X,Y", each a length ("0.52um",
// "0.52um,0.55um"). A Y in another unit than X's is converted to X's.
// Returns 0, or ERR_INVALID_PARAM with `*size` unchanged.
[[nodiscard]] int parse_pixel_size(std::string_view text, PixelSize *size);

// The height one phase count stands for.
struct ZScale {
    double value = 0;
    LengthUnit unit = LengthUnit::nm;
};

// Parses a length as the height per count ("0.158nm"). Returns 0, or
// ERR_INVALID_PARAM with `*scale` unchanged.
[[nodiscard]] int parse_z_scale(std::string_view text, ZScale *scale);

// A phase map's scale; either part may be absent.
struct Scale {
    std::optional<PixelSize> pixel;
    std::optional<ZScale> z;
};

} // namespace pdx
