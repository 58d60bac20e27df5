#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pdx/matrix/region_matrix.h"
#include "pdx/measure/validity.h"
#include "pdx/util/output_file.h"

namespace pdx {

// Exports of a phase map to files that other programs open: image viewers,
// ImageJ/Fiji, Gwyddion, numpy. The library target pdx_export (pdx::export)
// holds them; it adds zlib (for PNG) to the data library.
//
// Every export writes through UOutputFile (util/output_file.h): the file
// appears whole or not at all, and a failure leaves whatever held the name
// as it was. The functions keep no state between calls and may run on
// several threads at once, each on its own matrix or on one shared matrix
// (which is only read). Memory beyond the caller's matrix stays below a few
// MiB whatever the map's size: samples are converted through a bounded
// buffer, never copied whole.

enum class ExportFormat {
    // Gwyddion Simple Field 1.0: a text header ("Gwyddion Simple Field
    // 1.0", XRes, YRes and, when the title is not empty, Title; no units, as
    // the samples carry none), 1 to 4 NUL bytes that bring the header to a
    // multiple of 4 bytes, then 32-bit float little-endian samples row by
    // row. Invalid samples are NaN.
    gsf,
    // Baseline little-endian TIFF (classic, 32-bit offsets): one 32-bit
    // float sample per pixel (SampleFormat 3, MinIsBlack), uncompressed,
    // strips of several rows. Invalid samples are NaN. A map whose file
    // would pass 4 GiB is refused with ERR_DATASET_DIM_TOO_LARGE (none of
    // 32767 x 32767 or smaller is).
    tiff,
    // NumPy .npy version 1.0: '<i4', shape (height, width), C order, the
    // samples exactly as stored. The valid range does not apply.
    npy,
    // A quick look: 8-bit RGB through a 256-entry viridis colour map, the
    // contrast stretched from the 0.5th to the 99.5th percentile of the
    // valid samples, invalid samples mid-grey (128, 128, 128). A map whose
    // longest side exceeds png_size is reduced by area averaging (invalid
    // samples excluded; a pixel with no valid sample under it is grey) so
    // that its longest side is png_size.
    png,
};

struct ExportOptions {
    ExportFormat format = ExportFormat::gsf;
    ValidRange valid;
    // PNG only: the longest side of the image, in pixels; 0 keeps the map's
    // size. A map never grows.
    int png_size = 1024;
    // GSF only: the Title line, normally the input's file name, in UTF-8.
    // Line breaks and other control characters, and bytes that are not
    // UTF-8, become '?'; surrounding spaces are dropped; an empty title
    // gives no Title line.
    std::string_view title;
    // What may hold the output's name (see UOutputFile). By default an
    // existing file is kept and the export fails with ERR_CANT_CREATE_FILE.
    UPublish publish =
        UPublish::if_absent; // When not null: receives the name of a temporary that could not be
    // removed (UOutputFile::take_left_behind), or is cleared.
    std::string *left_behind = nullptr;
};

// Writes `matrix` (only read) to `path` (a path argument, util/path.h) in
// `options.format`. Returns 0, or:
//  - ERR_INVALID_PARAM: a negative width or height, a buffer holding fewer
//    than width * height samples, a valid range with min > max, a negative
//    png_size or an unknown format (nothing opened);
//  - ERR_NO_DATA: a map of no samples, for every format but npy, which
//    writes shape (0, 0) (nothing opened);
//  - ERR_DATASET_DIM_TOO_LARGE: TIFF, the file would pass 4 GiB (nothing
//    opened);
//  - ERR_NO_MEM: no memory for the working buffers (nothing opened);
//  - ERR_CANT_OPEN_FILE, ERR_CANT_CREATE_FILE (UPublish::if_absent and the
//    name is or becomes taken), ERR_CANT_WRITE_FILE (a short write, a failed
//    close, or a failed publication).
[[nodiscard]] int export_matrix(const char *path, const PhaseMatrix &matrix,
                                const ExportOptions &options);

// The format called `name` ("gsf", "tiff", "npy" or "png", exactly): 0, or
// ERR_INVALID_PARAM with `*format` unchanged.
[[nodiscard]] int export_format_from_name(std::string_view name, ExportFormat *format);

// The format's name as export_format_from_name takes it, and the extension
// its files get, dot included (".gsf", ".tif", ".npy", ".png").
const char *export_format_name(ExportFormat format);
const char *export_extension(ExportFormat format);

} // namespace pdx
