#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pdx/measure/scale.h"
#include "pdx/measure/validity.h"

namespace pdx {

// A calibration file: a lab's numbers for one instrument, written once and
// named on every run. JSON (described by docs/pdx-calibration.schema.json),
// every member optional:
//
//   {
//     "pixel_size": {"x": 0.52, "y": 0.52, "unit": "um"},
//     "z_scale": {"value": 0.158, "unit": "nm"},
//     "nodata": [2147483647],
//     "valid": {"min": null, "max": 1000000},
//     "description": "Lab 3 interferometer, 10x objective"
//   }
//
// - pixel_size: x and unit required, y defaults to x; positive numbers of at
//   most kLargestLength; units as parse_unit takes them.
// - z_scale: the height per count; value and unit required.
// - nodata: 1 to Validity::kMaxNodata integers within the 32-bit range.
// - valid: min and max, each an integer within the 32-bit range or null
//   (open), min <= max.
// - description: any text.
// - "$schema": a string, for editors that look for it; otherwise ignored.
// Any other member, a member given twice, or a value of another type is
// refused, so that a typo never passes silently. A UTF-8 byte order mark
// at the start is allowed.
//
// Command-line options override the file's members one by one: a program
// reads the file into a Calibration, then replaces the members its options
// give.
struct Calibration {
    std::optional<PixelSize> pixel_size;
    std::optional<ZScale> z_scale;
    std::vector<std::int32_t> nodata; // empty: none given
    std::optional<ValidRange> valid;
    std::optional<std::string> description;

    Scale scale() const { return Scale{pixel_size, z_scale}; }
    // The validity rule the members give: the marker rule when neither
    // `valid` nor `nodata` is given, otherwise that range and those values.
    // Returns 0, or ERR_INVALID_PARAM (min > max, more than
    // Validity::kMaxNodata values) with `*rule` unchanged.
    [[nodiscard]] int validity(Validity *rule) const;
};

// Files longer than this are refused unread.
inline constexpr std::size_t kCalibrationMaxBytes = 65536;

enum class CalibrationError {
    none,
    cant_open,        // the file cannot be opened
    cant_read,        // reading it failed
    too_large,        // longer than kCalibrationMaxBytes
    not_json,         // not well-formed JSON, or not UTF-8 (at line, column)
    not_an_object,    // the whole file is not one JSON object
    unknown_member,   // a member not described above
    duplicate_member, // a member given twice in one object
    wrong_type,       // a value of another JSON type than the member takes
    missing_member,   // pixel_size without x or unit, z_scale without value or unit
    bad_unit,         // a unit parse_unit does not take
    bad_length,       // a length not positive, or above kLargestLength
    bad_integer,      // not an integer within the 32-bit range
    bad_count,        // nodata empty, or longer than Validity::kMaxNodata
    min_above_max,    // valid.min above valid.max
};

// What was wrong, and where.
struct CalibrationProblem {
    CalibrationError error = CalibrationError::none;
    // The member concerned, as a path: "pixel_size.unit", "nodata[2]",
    // "valid"; empty for the file as a whole.
    std::string member;
    // Where its value (or the fault) starts, counting from 1 (characters
    // within the line); 0 for faults of the file as a whole.
    std::size_t line = 0;
    std::size_t column = 0;
    // wrong_type: what the member takes ("a number", "a string", "an
    // object", "a list", "a whole number", "a whole number or null").
    const char *expected = nullptr;
};

// A sentence naming the fault: "not a length unit (m, mm, um, µm or nm)".
const char *calibration_error_text(CalibrationError error);

// The whole message, for a program to put after the file's name:
// "pixel_size.unit (line 3, column 14): not a length unit (m, mm, um, µm or
// nm)", or for a fault of the whole file just the sentence.
std::string calibration_message(const CalibrationProblem &problem);

// Parses a calibration file's text. Returns 0 with `*calibration` filled, or
// ERR_INVALID_PARAM with `*problem` saying why (`*calibration` unchanged).
[[nodiscard]] int calibration_parse(std::string_view text, Calibration *calibration,
                                    CalibrationProblem *problem);

// Reads and parses the calibration file at `path` (a path argument, see
// util/path.h). Returns 0; ERR_CANT_OPEN_FILE or ERR_CANT_READ_FILE (also
// for a file past kCalibrationMaxBytes), or ERR_INVALID_PARAM, with
// `*problem` saying why.
[[nodiscard]] int calibration_read(const char *path, Calibration *calibration,
                                   CalibrationProblem *problem);

} // namespace pdx
