#pragma once

// The export writers' inner steps, shared by their sources and open to the
// unit's tests. Not installed.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <utility>

#include "pdx/export/export.h"

namespace pdx::export_detail {

// Samples are converted and written through one buffer of this size.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

// The height of one count in the z unit, 1 without a z scale.
inline double z_factor(const ExportOptions &o) {
    return o.scale.z ? o.scale.z->value : 1.0;
}

// The software's name for the Software tag and chunk.
std::string_view software_of(const ExportOptions &o);

// A number to 15 significant digits, without trailing zeros ("0.52",
// "7.7", "1e-05"), at `out` (room for 32 bytes); returns the end.
char *put_number(char *out, double v);

// Writes an export's output whole through `write` (see u_write_output),
// naming a temporary left behind to the caller who asked for it.
template <typename Write>
[[nodiscard]] int write_output(const char *path, const ExportOptions &o, Write &&write) {
    return u_write_output(path, o.publish, o.left_behind, std::forward<Write>(write));
}

// Writes n bytes: 0 or ERR_CANT_WRITE_FILE.
[[nodiscard]] int put_bytes(std::FILE *out, const void *p, std::size_t n);

// Writes `count` samples as 32-bit little-endian floats, each times `z`
// (1: the counts as they are), NaN where `validity` finds it invalid,
// through `buffer` (kChunkBytes). Notes whether any sample is valid and
// whether a valid one passes 2^24 in `*notes` (or-ed in). Returns 0 or
// ERR_CANT_WRITE_FILE.
[[nodiscard]] int write_floats(std::FILE *out, const std::int32_t *samples, std::size_t count,
                               const Validity &validity, double z, float *buffer,
                               ExportNotes *notes);

// Text for a field that must be ASCII: as sanitize_title, but every
// character past ASCII becomes one '?' too; at most `max` bytes are kept
// (before the spaces at the ends are dropped). Returns how many are written.
std::size_t ascii_text(std::string_view in, std::size_t max, char *out);

// A GSF title made safe: control characters and bytes that do not form
// UTF-8 become '?', and spaces at either end are dropped. Writes at most
// in.size() bytes to `out` and returns how many.
std::size_t sanitize_title(std::string_view in, char *out);

// The GSF header, padding included, for a map of w x h under options `o`
// (its scale and origin, which must be set) and an already sanitised
// title, written to `out` (which holds at least gsf_header_capacity(title)
// bytes). Returns its length, a multiple of 4.
std::size_t gsf_header(std::uint32_t w, std::uint32_t h, const ExportOptions &o,
                       std::string_view title, char *out);
constexpr std::size_t gsf_header_capacity(std::string_view title) {
    return title.size() + 384;
}

// Where everything lies in a TIFF file of w x h float samples. The image
// file directory follows the 8-byte header; after it come the two
// resolutions, the text of the ASCII fields (text_bytes), then, 4-byte
// aligned, (for more than one strip) the strip offset and byte count
// tables, then the samples, 16-byte aligned, in strips of rows_per_strip
// rows.
struct TiffLayout {
    std::uint32_t rows_per_strip = 0;
    std::uint32_t strips = 0;
    std::uint32_t resolution_offset = 0; // XResolution; YResolution 8 bytes on
    std::uint32_t text_offset = 0;       // the ASCII fields' text
    std::uint32_t offsets_offset = 0;    // the tables; 0 for one strip
    std::uint32_t counts_offset = 0;
    std::uint32_t data_offset = 0;
    std::uint64_t file_size = 0;
};
// Strips hold at least this many bytes (or the whole image): few enough
// strips that the largest map's tables leave its file under 4 GiB.
constexpr std::uint32_t kTiffStripBytes = 256 * 1024;
constexpr std::uint32_t kTiffIfdOffset = 8;
constexpr std::uint16_t kTiffEntries = 16;
// The longest title and software name a TIFF carries (longer ones are cut
// at a character): with them the largest map's file stays under 4 GiB.
constexpr std::size_t kTiffTitleBytes = 4096;
constexpr std::size_t kTiffSoftwareBytes = 256;

// Lays out a w x h map (both at least 1) with text_bytes of ASCII fields.
// Returns 0, or ERR_DATASET_DIM_TOO_LARGE when an offset or the file's size
// would not fit 32 bits.
[[nodiscard]] int tiff_layout(std::uint32_t w, std::uint32_t h, TiffLayout *layout,
                              std::size_t text_bytes = 0);

// The TIFF's ImageDescription, NUL included, for a map under options `o`
// (scale and origin set), at `out` (room for tiff_description_capacity());
// returns its length. ImageJ's form: "ImageJ=1.11a", images, unit (the
// pixel size's, or "pixel"), vunit (the z unit, or "count"), xorigin and
// yorigin (ImageJ's origin: minus the camera origin, in pixels), then
// source (the title, ASCII), xoffset and yoffset (the camera origin in the
// unit), each "key=value" on a line of its own.
std::size_t tiff_description(const ExportOptions &o, char *out);
constexpr std::size_t tiff_description_capacity() {
    return kTiffTitleBytes + 512;
}

// The rational nearest to v > 0 whose terms fit 32 bits (continued
// fractions), as numerator and denominator.
void rational(double v, std::uint32_t *numerator, std::uint32_t *denominator);

// The contrast range of a preview: the 0.5th and 99.5th percentiles of the
// valid samples, taken as the sorted valid samples' elements at ranks
// floor(0.005 (n - 1)) and ceil(0.995 (n - 1)) (numpy's "lower" and
// "higher" methods). `any` is false when no sample is valid.
struct Contrast {
    bool any = false;
    std::int32_t lo = 0;
    std::int32_t hi = 0;
};
// Two passes over the samples, no copy: a histogram of the upper 16 bits of
// an order-preserving key finds the bins holding both ranks, a second of
// the lower 16 bits within those bins the samples. Returns 0 or ERR_NO_MEM.
[[nodiscard]] int contrast_range(const std::int32_t *samples, std::size_t count,
                                 const Validity &validity, Contrast *out);

// The colour table index of value v under contrast lo..hi: 0 at or below
// lo, 255 at or above hi, linear and rounded between; when lo == hi, 128
// for v == lo.
std::uint8_t colour_index(double v, std::int32_t lo, std::int32_t hi);

// The preview's size: the map's when `size` is 0 or its longest side is
// `size`, or is below it and `enlarge` is false; otherwise scaled so that
// the longest side is `size` and the other is rounded to the nearest pixel,
// at least 1.
struct Extent {
    std::uint32_t w = 0;
    std::uint32_t h = 0;
};
Extent preview_extent(std::uint32_t w, std::uint32_t h, std::uint32_t size, bool enlarge = false);

// Area averaging of a w x h map to ow x oh (neither larger) or, when both
// are at least as large, nearest-neighbour enlargement. Averaging: output pixel
// (ox, oy) covers the source rectangle [ox w/ow, (ox+1) w/ow) x
// [oy h/oh, (oy+1) h/oh), and its value is the mean of the valid samples
// under it, each weighted by the area it has there; NaN when it covers no
// valid sample. Enlargement: output pixel (ox, oy) takes the sample at
// column floor((ox + 1/2) w / ow), row floor((oy + 1/2) h / oh), NaN when
// it is invalid. Rows are produced one at a time, first to last, and handed
// to `emit`, which returns 0 to go on or an error code to stop with.
// `workspace` holds area_average_bytes(out) bytes, aligned for doubles.
using RowSink = int (*)(void *context, const double *row);
std::size_t area_average_bytes(Extent out);
[[nodiscard]] int area_average(const std::int32_t *samples, std::uint32_t w, std::uint32_t h,
                               Extent out, const Validity &validity, void *workspace, RowSink emit,
                               void *context);

// The format writers, on a checked matrix of at least one sample (npy: any)
// and options whose validity, origin and scale are settled (export_matrix
// does that). Each notes what it met in `*notes`.
[[nodiscard]] int write_gsf(const char *path, const PhaseMatrix &m, const ExportOptions &o,
                            ExportNotes *notes);
[[nodiscard]] int write_tiff(const char *path, const PhaseMatrix &m, const ExportOptions &o,
                             ExportNotes *notes);
[[nodiscard]] int write_npy(const char *path, const PhaseMatrix &m, const ExportOptions &o,
                            ExportNotes *notes);
[[nodiscard]] int write_png(const char *path, const PhaseMatrix &m, const ExportOptions &o,
                            ExportNotes *notes);

} // namespace pdx::export_detail
