#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pdx/matrix/region_matrix.h"
#include "pdx/measure/scale.h"
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
    // Gwyddion Simple Field 1.0: a text header, 1 to 4 NUL bytes that bring
    // it to a multiple of 4 bytes, then 32-bit float little-endian samples
    // row by row, row 0 first (at the top). The header gives XRes, YRes,
    // XReal, YReal (the map's size), XOffset, YOffset (the camera origin),
    // XYUnits, ZUnits and, when the title is not empty, Title. With a pixel
    // size the lengths are in its unit, otherwise in pixels ("pixel"); with a
    // z scale the samples are heights in its unit, otherwise counts
    // ("count"). Invalid samples are NaN.
    gsf,
    // Baseline little-endian TIFF (classic, 32-bit offsets): one 32-bit
    // float sample per pixel (SampleFormat 3, MinIsBlack), uncompressed,
    // strips of several rows, row 0 first (at the top); heights or counts as
    // in GSF, invalid samples NaN. XResolution and YResolution give pixels
    // per unit (ResolutionUnit none) and an ImageJ description
    // (ImageDescription: "ImageJ=", unit, vunit, xorigin, yorigin, then the
    // source, the origin in the unit and the validity rule) the unit, so
    // that ImageJ/Fiji opens it calibrated; GDAL_NODATA is "nan"; Software
    // names the writer. ASCII throughout: other characters of the title
    // become '?'. A map whose file would pass 4 GiB is refused with
    // ERR_DATASET_DIM_TOO_LARGE (none of 32767 x 32767 or smaller is).
    tiff,
    // NumPy .npy version 1.0, shape (height, width), C order: '<i4', the
    // samples exactly as stored (validity and z scale do not apply); with
    // npy_float, '<f4' as the samples of GSF (heights or counts, invalid
    // samples NaN).
    npy,
    // A quick look: 8-bit RGBA through a 256-entry viridis colour map, the
    // contrast stretched from the 0.5th to the 99.5th percentile of the
    // valid samples, invalid samples transparent (alpha 0). A map whose
    // longest side exceeds png_size is reduced by area averaging (invalid
    // samples excluded; a pixel with no valid sample under it is
    // transparent) so that its longest side is png_size; with png_enlarge a
    // smaller one is enlarged to it (nearest neighbour). Text chunks give the
    // title (iTXt "Title", UTF-8), the range the colours span in counts or
    // in the z unit ("Colour range": "-1200 to 4500 count"), the colour map
    // ("Colour map": "viridis"), a sentence of all that ("Description") and
    // the software ("Software").
    png,
};

// The camera pixel of a map's first sample.
struct Origin {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// What an export met that its caller may want to warn about. Nothing here
// is an error: the file is written all the same.
struct ExportNotes {
    // No sample of the map is valid: the floats are all NaN, the preview
    // all transparent. (Not set by exact NPY files.)
    bool nothing_valid = false;
    // A valid sample has |v| > 2^24, which a 32-bit float does not always
    // hold exactly: the floats may differ from the counts in their last
    // digits. (Not set by exact NPY files, nor by PNG previews, which hold
    // colours.)
    bool float_inexact = false;
    // PNG only: the counts the colours span, the lowest and highest colour
    // (the preview's Colour range); not set when no sample is valid.
    bool has_colour_range = false;
    std::int32_t colour_lo = 0;
    std::int32_t colour_hi = 0;
};

struct ExportOptions {
    ExportFormat format = ExportFormat::gsf;
    // A valid range, for callers written before `validity`: a bound here
    // replaces `validity` by that range (no nodata values).
    ValidRange valid;
    // PNG only: the longest side of the image, in pixels; 0 keeps the map's
    // size. A map grows only with png_enlarge.
    int png_size = 1024;
    // The source's name, normally the input's file name, in UTF-8: the GSF
    // Title, the TIFF description's source, the PNG Title. Line breaks and
    // other control characters, and bytes that are not UTF-8, become '?'
    // (in TIFF, every byte past ASCII too); surrounding spaces are dropped;
    // an empty title gives no Title line or chunk.
    std::string_view title;
    // What may hold the output's name (see UOutputFile). By default an
    // existing file is kept and the export fails with ERR_CANT_CREATE_FILE.
    UPublish publish = UPublish::if_absent;
    // When not null: receives the name of a temporary that could not be
    // removed (UOutputFile::take_left_behind), or is cleared.
    std::string *left_behind = nullptr;
    // Which samples are measurements (validity.h): by default the marker
    // rule, so that markers are NaN, transparent and out of the contrast.
    Validity validity{};
    // NPY only: write float32 with NaN for invalid samples (and heights with
    // a z scale) instead of the exact int32 samples. A caller sets it when
    // its user asked for a validity rule or a scale.
    bool npy_float = false;
    // The pixel size and the height per count; without them, pixels and
    // counts.
    Scale scale{};
    // The camera pixel of the first sample; absent: the matrix's own x, y.
    std::optional<Origin> origin{};
    // TIFF and PNG: the Software tag or chunk; empty: "pdx_convert VERSION".
    std::string_view software{};
    // PNG only: enlarge a map whose longest side is below png_size (nearest
    // neighbour), for a caller asked for that size exactly.
    bool png_enlarge = false;
    // When not null: receives what the export met (see ExportNotes); left
    // as it is when the export fails.
    ExportNotes *notes = nullptr;
};

// Writes `matrix` (only read) to `path` (a path argument, util/path.h) in
// `options.format`. Returns 0, or:
//  - ERR_INVALID_PARAM: a negative width or height, a buffer holding fewer
//    than width * height samples, a valid range with min > max, a negative
//    png_size, a pixel size or z scale that is not positive and finite, or
//    an unknown format (nothing opened);
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
