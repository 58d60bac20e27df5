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

// The inclusive bounds of a valid range, absent bounds filled in.
struct Bounds {
    std::int32_t lo = INT32_MIN;
    std::int32_t hi = INT32_MAX;
};
inline Bounds bounds_of(const ValidRange &r) {
    return {r.min.value_or(INT32_MIN), r.max.value_or(INT32_MAX)};
}
inline bool is_valid(std::int32_t v, Bounds b) {
    return v >= b.lo && v <= b.hi;
}

// Writes an export's output whole through `write` (see u_write_output),
// naming a temporary left behind to the caller who asked for it.
template <typename Write>
[[nodiscard]] int write_output(const char *path, const ExportOptions &o, Write &&write) {
    return u_write_output(path, o.publish, o.left_behind, std::forward<Write>(write));
}

// Writes n bytes: 0 or ERR_CANT_WRITE_FILE.
[[nodiscard]] int put_bytes(std::FILE *out, const void *p, std::size_t n);

// Writes `count` samples as 32-bit little-endian floats, NaN outside `b`,
// through `buffer` (kChunkBytes). Returns 0 or ERR_CANT_WRITE_FILE.
[[nodiscard]] int write_floats(std::FILE *out, const std::int32_t *samples, std::size_t count,
                               Bounds b, float *buffer);

// A GSF title made safe: control characters and bytes that do not form
// UTF-8 become '?', and spaces at either end are dropped. Writes at most
// in.size() bytes to `out` and returns how many.
std::size_t sanitize_title(std::string_view in, char *out);

// The GSF header, padding included, for a map of w x h and an already
// sanitised title, written to `out` (which holds at least
// gsf_header_capacity(title) bytes). Returns its length, a multiple of 4.
std::size_t gsf_header(std::uint32_t w, std::uint32_t h, std::string_view title, char *out);
constexpr std::size_t gsf_header_capacity(std::string_view title) {
    return title.size() + 96;
}

// Where everything lies in a TIFF file of w x h float samples. The image
// file directory follows the 8-byte header; after it come the two
// resolutions, then (for more than one strip) the strip offset and byte
// count tables, then the samples, 16-byte aligned, in strips of
// rows_per_strip rows.
struct TiffLayout {
    std::uint32_t rows_per_strip = 0;
    std::uint32_t strips = 0;
    std::uint32_t resolution_offset = 0; // XResolution; YResolution 8 bytes on
    std::uint32_t offsets_offset = 0;    // the tables; 0 for one strip
    std::uint32_t counts_offset = 0;
    std::uint32_t data_offset = 0;
    std::uint64_t file_size = 0;
};
// Strips hold at least this many bytes (or the whole image): few enough
// strips that the largest map's tables leave its file under 4 GiB.
constexpr std::uint32_t kTiffStripBytes = 256 * 1024;
constexpr std::uint32_t kTiffIfdOffset = 8;
constexpr std::uint16_t kTiffEntries = 13;

// Lays out a w x h map (both at least 1). Returns 0, or
// ERR_DATASET_DIM_TOO_LARGE when an offset or the file's size would not fit
// 32 bits.
[[nodiscard]] int tiff_layout(std::uint32_t w, std::uint32_t h, TiffLayout *layout);

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
[[nodiscard]] int contrast_range(const std::int32_t *samples, std::size_t count, Bounds b,
                                 Contrast *out);

// The colour table index of value v under contrast lo..hi: 0 at or below
// lo, 255 at or above hi, linear and rounded between; when lo == hi, 128
// for v == lo.
std::uint8_t colour_index(double v, std::int32_t lo, std::int32_t hi);

// The preview's size: the map's when `size` is 0 or its longest side is at
// most `size`, otherwise scaled so that the longest side is `size` and the
// other is rounded to the nearest pixel, at least 1.
struct Extent {
    std::uint32_t w = 0;
    std::uint32_t h = 0;
};
Extent preview_extent(std::uint32_t w, std::uint32_t h, std::uint32_t size);

// Area averaging of a w x h map to ow x oh (neither larger): output pixel
// (ox, oy) covers the source rectangle [ox w/ow, (ox+1) w/ow) x
// [oy h/oh, (oy+1) h/oh), and its value is the mean of the valid samples
// under it, each weighted by the area it has there; NaN when it covers no
// valid sample. Rows are produced one at a time, first to last, and handed
// to `emit`, which returns 0 to go on or an error code to stop with.
// `workspace` holds area_average_bytes(out) bytes, aligned for doubles.
using RowSink = int (*)(void *context, const double *row);
std::size_t area_average_bytes(Extent out);
[[nodiscard]] int area_average(const std::int32_t *samples, std::uint32_t w, std::uint32_t h,
                               Extent out, Bounds b, void *workspace, RowSink emit, void *context);

// The format writers, on a checked matrix of at least one sample (npy: any).
[[nodiscard]] int write_gsf(const char *path, const PhaseMatrix &m, const ExportOptions &o);
[[nodiscard]] int write_tiff(const char *path, const PhaseMatrix &m, const ExportOptions &o);
[[nodiscard]] int write_npy(const char *path, const PhaseMatrix &m, const ExportOptions &o);
[[nodiscard]] int write_png(const char *path, const PhaseMatrix &m, const ExportOptions &o);

} // namespace pdx::export_detail
