// The PNG preview: contrast from percentiles, area averaging or
// enlargement, the colour map, the text chunks and the PNG stream (zlib
// deflate in IDAT chunks).

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <zlib.h>

#include "pdx/export/export_detail.h"
#include "pdx/export/viridis.h"
#include "pdx/util/errors.h"
#include "pdx/util/hooks.h"
#include "pdx/util/output_file.h"

namespace pdx::export_detail {

namespace {

constexpr std::size_t kBins = 65536;
// IDAT chunks carry at most this many bytes of the deflate stream.
constexpr std::size_t kIdatBytes = kChunkBytes;

// Signed samples as unsigned keys in the same order.
inline std::uint32_t key_of(std::int32_t v) {
    return static_cast<std::uint32_t>(v) ^ 0x80000000u;
}

// The histograms of the lower 16 bits of the valid samples' keys in the
// first two bins (of the upper 16 bits) that the first pass meets: most
// maps' samples lie within two such bins, whose lower histograms then need
// no second pass.
constexpr std::uint32_t kNoBin = kBins;
struct Lows {
    std::uint32_t bin[2] = {kNoBin, kNoBin};
    std::uint32_t *hist[2] = {nullptr, nullptr};

    // The lower histogram of bin b, if it was kept.
    std::uint32_t *of(std::uint32_t b) const {
        return b == bin[0] ? hist[0] : b == bin[1] ? hist[1] : nullptr;
    }
};

// The histogram of the upper 16 bits of the valid samples' keys, and the
// lower histograms of the first two bins met; returns how many samples are
// valid.
template <typename Valid>
std::uint64_t count_high(const std::int32_t *samples, std::size_t count, Valid valid,
                         std::uint32_t *high, Lows *lows) {
    // Neighbouring samples mostly share a bin: they are counted in a
    // register, and the bin's count in memory (a chain of stores to one
    // address, each waiting for the last) changes once per stretch.
    std::uint64_t n = 0;
    std::uint32_t bin = 0;
    std::uint32_t run = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t v = samples[i];
        if (valid(v)) {
            const std::uint32_t k = key_of(v);
            const std::uint32_t b = k >> 16;
            if (b != bin) {
                high[bin] += run;
                n += run;
                bin = b;
                run = 0;
            }
            ++run;
            const int slot = b == lows->bin[0] || lows->bin[0] == kNoBin   ? 0
                             : b == lows->bin[1] || lows->bin[1] == kNoBin ? 1
                                                                           : -1;
            if (slot >= 0) {
                lows->bin[slot] = b;
                ++lows->hist[slot][k & 0xFFFF];
            }
        }
    }
    high[bin] += run;
    return n + run;
}

// The histograms of the lower 16 bits of the valid samples' keys in the
// bins `bin_lo` and `bin_hi` (one histogram when they are the same).
template <typename Valid>
void count_low(const std::int32_t *samples, std::size_t count, Valid valid, std::uint32_t bin_lo,
               std::uint32_t *low_lo, std::uint32_t bin_hi, std::uint32_t *low_hi) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t v = samples[i];
        const std::uint32_t k = key_of(v);
        if (k >> 16 == bin_lo && valid(v)) {
            ++low_lo[k & 0xFFFF];
        } else if (k >> 16 == bin_hi && valid(v)) {
            ++low_hi[k & 0xFFFF];
        }
    }
}

// The bin of a histogram holding the element of rank `rank` (counting from
// 0), and the rank within that bin.
void find_rank(const std::uint32_t *hist, std::uint64_t rank, std::uint32_t *bin,
               std::uint64_t *within) {
    std::uint32_t i = 0;
    while (hist[i] <= rank) {
        rank -= hist[i];
        ++i;
    }
    *bin = i;
    *within = rank;
}

// A block from u_malloc, given back at the end of the scope.
struct Block {
    void *p = nullptr;
    explicit Block(std::size_t bytes) : p(u_malloc(bytes)) {}
    ~Block() { u_free(p); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
};

void put32be(std::uint8_t *p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// Writes one chunk: length, type, data, and the CRC of type and data.
// `data` is never null, even for no bytes: zlib takes a null buffer as a
// request for the CRC's initial value.
int write_chunk(std::FILE *out, const char *type, const std::uint8_t *data, std::size_t size) {
    std::uint8_t head[8];
    put32be(head, static_cast<std::uint32_t>(size));
    std::memcpy(head + 4, type, 4);
    const uLong crc = crc32(crc32(0L, head + 4, 4), data, static_cast<uInt>(size));
    std::uint8_t tail[4];
    put32be(tail, static_cast<std::uint32_t>(crc));
    int rc = put_bytes(out, head, 8);
    rc = rc != 0 ? rc : put_bytes(out, data, size);
    return rc != 0 ? rc : put_bytes(out, tail, 4);
}

// zlib's memory goes through the hooks as every other block: a program that
// replaced u_malloc and u_free alone gets it from its own u_malloc.
voidpf z_alloc(voidpf, uInt items, uInt size) {
    if (size != 0 && items > SIZE_MAX / size) {
        return nullptr;
    }
    return u_malloc_zeroed(std::size_t{items} * size);
}
void z_free(voidpf, voidpf block) {
    u_free(block);
}

// Turns averaged rows into coloured, filtered rows and deflates them into
// IDAT chunks.
struct Encoder {
    z_stream z{};
    bool z_ready = false;
    std::FILE *out = nullptr;
    Contrast contrast;
    std::uint32_t width = 0;
    std::uint32_t rows_left = 0;
    std::uint8_t *row = nullptr;  // filter byte and RGBA
    std::uint8_t *idat = nullptr; // kIdatBytes

    ~Encoder() {
        if (z_ready) {
            deflateEnd(&z);
        }
    }

    int init() {
        z.zalloc = z_alloc;
        z.zfree = z_free;
        z.opaque = nullptr;
        if (deflateInit(&z, 3) != Z_OK) {
            return ERR_NO_MEM;
        }
        z_ready = true;
        return 0;
    }

    // Deflates what is in z's input, writing each full output buffer as a
    // chunk; with Z_FINISH, to the end of the stream and its last chunk.
    int pump(int flush) {
        for (;;) {
            const int zr = deflate(&z, flush);
            if (zr == Z_STREAM_ERROR) {
                return ERR_CANT_WRITE_FILE;
            }
            const bool end = zr == Z_STREAM_END;
            if (z.avail_out == 0 || end) {
                const std::size_t filled = kIdatBytes - z.avail_out;
                if (const int rc = filled > 0 ? write_chunk(out, "IDAT", idat, filled) : 0;
                    rc != 0) {
                    return rc;
                }
                z.next_out = idat;
                z.avail_out = static_cast<uInt>(kIdatBytes);
            }
            // Room left in the output means all input was taken; only the
            // last row must also see the stream's end.
            if (end || (flush != Z_FINISH && z.avail_in == 0)) {
                return 0;
            }
        }
    }

    int add_row(const double *values) {
        std::uint8_t *p = row + 1;
        for (std::uint32_t x = 0; x < width; ++x, p += 4) {
            if (contrast.any && !std::isnan(values[x])) {
                std::memcpy(p, kViridis[colour_index(values[x], contrast.lo, contrast.hi)], 3);
                p[3] = 255;
            } else {
                std::memset(p, 0, 4); // transparent
            }
        }
        // Filter type 1 (Sub): each byte less the byte one pixel before,
        // last to first so that the bytes subtracted are still the pixels'.
        row[0] = 1;
        for (std::size_t i = std::size_t{width} * 4; i > 4; --i) {
            row[i] = static_cast<std::uint8_t>(row[i] - row[i - 4]);
        }
        z.next_in = row;
        z.avail_in = static_cast<uInt>(std::size_t{width} * 4 + 1);
        return pump(--rows_left == 0 ? Z_FINISH : Z_NO_FLUSH);
    }
};

int emit_row(void *context, const double *row) {
    return static_cast<Encoder *>(context)->add_row(row);
}

} // namespace

int contrast_range(const std::int32_t *samples, std::size_t count, const Validity &validity,
                   Contrast *out) {
    // The upper histogram, then two lower ones.
    Block block(3 * kBins * sizeof(std::uint32_t));
    if (block.p == nullptr) {
        return ERR_NO_MEM;
    }
    auto *high = static_cast<std::uint32_t *>(block.p);
    std::memset(high, 0, 3 * kBins * sizeof(std::uint32_t));
    Lows lows;
    lows.hist[0] = high + kBins;
    lows.hist[1] = high + 2 * kBins;
    const std::uint64_t n = validity.with_test(
        [&](auto valid) { return count_high(samples, count, valid, high, &lows); });
    *out = Contrast{};
    if (n == 0) {
        return 0;
    }
    const std::uint64_t rank_lo = (n - 1) * 5 / 1000;
    const std::uint64_t rank_hi = (n - 1) - rank_lo; // ceil(0.995 (n - 1))
    std::uint32_t bin_lo = 0;
    std::uint32_t bin_hi = 0;
    std::uint64_t within_lo = 0;
    std::uint64_t within_hi = 0;
    find_rank(high, rank_lo, &bin_lo, &within_lo);
    find_rank(high, rank_hi, &bin_hi, &within_hi);

    // The lower 16 bits within the two bins, from the first pass when it
    // kept both; otherwise from a second pass, in the same memory (one
    // histogram when they are the same bin).
    std::uint32_t *low_lo = lows.of(bin_lo);
    std::uint32_t *low_hi = lows.of(bin_hi);
    if (low_lo == nullptr || low_hi == nullptr) {
        low_lo = lows.hist[0];
        low_hi = bin_hi == bin_lo ? low_lo : lows.hist[1];
        std::memset(low_lo, 0, 2 * kBins * sizeof(std::uint32_t));
        validity.with_test(
            [&](auto valid) { count_low(samples, count, valid, bin_lo, low_lo, bin_hi, low_hi); });
    }
    std::uint32_t sub_lo = 0;
    std::uint32_t sub_hi = 0;
    find_rank(low_lo, within_lo, &sub_lo, &within_lo);
    find_rank(low_hi, within_hi, &sub_hi, &within_hi);
    out->any = true;
    out->lo = static_cast<std::int32_t>(((bin_lo << 16) | sub_lo) ^ 0x80000000u);
    out->hi = static_cast<std::int32_t>(((bin_hi << 16) | sub_hi) ^ 0x80000000u);
    return 0;
}

std::uint8_t colour_index(double v, std::int32_t lo, std::int32_t hi) {
    if (v <= lo || v >= hi) {
        return lo == hi && v == lo ? 128 : v <= lo ? 0 : 255;
    }
    const double t = (v - lo) * 255.0 / (static_cast<double>(hi) - lo);
    return static_cast<std::uint8_t>(std::lround(t));
}

Extent preview_extent(std::uint32_t w, std::uint32_t h, std::uint32_t size, bool enlarge) {
    const std::uint32_t longest = w > h ? w : h;
    if (size == 0 || longest == size || (longest < size && !enlarge)) {
        return {w, h};
    }
    // Each side times size / longest, rounded half up, at least 1.
    const auto scale = [&](std::uint32_t side) {
        const std::uint64_t s = (std::uint64_t{side} * size * 2 + longest) / (2 * longest);
        return static_cast<std::uint32_t>(s > 0 ? s : 1);
    };
    return {scale(w), scale(h)};
}

std::size_t area_average_bytes(Extent out) {
    return std::size_t{out.w} *
           (4 * sizeof(std::uint32_t) + 2 * sizeof(std::int64_t) + 3 * sizeof(double));
}

int area_average(const std::int32_t *samples, std::uint32_t w, std::uint32_t h, Extent out,
                 const Validity &validity, void *workspace, RowSink emit, void *context) {
    // Coordinates are in units of 1/ow of a source pixel across and 1/oh
    // down, so every boundary and overlap is an integer: source column x
    // spans [x ow, (x + 1) ow), output column ox spans [ox w, (ox + 1) w).
    // Per output column: its first and last source columns and their
    // weights (those between weigh ow).
    const std::uint32_t ow = out.w;
    const std::uint32_t oh = out.h;
    auto *first = static_cast<std::uint32_t *>(workspace);
    std::uint32_t *last = first + ow;
    std::uint32_t *w_first = last + ow;
    std::uint32_t *w_last = w_first + ow; // 0 when the span has one column
    auto *row_sum = reinterpret_cast<std::int64_t *>(w_last + ow);
    std::int64_t *row_weight = row_sum + ow;
    auto *sum = reinterpret_cast<double *>(row_weight + ow);
    double *weight = sum + ow;
    double *values = weight + ow;
    for (std::uint32_t ox = 0; ox < ow; ++ox) {
        const std::uint64_t start = std::uint64_t{ox} * w;
        const std::uint64_t end = start + w;
        const std::uint64_t x0 = start / ow;
        const std::uint64_t x1 = (end - 1) / ow; // the last, inclusive
        first[ox] = static_cast<std::uint32_t>(x0);
        last[ox] = static_cast<std::uint32_t>(x1);
        w_first[ox] = static_cast<std::uint32_t>(x0 == x1 ? w : (x0 + 1) * ow - start);
        w_last[ox] = static_cast<std::uint32_t>(x0 == x1 ? 0 : end - x1 * ow);
        sum[ox] = 0;
        weight[ox] = 0;
    }

    if (ow >= w && oh >= h) {
        // Each pixel is the sample nearest its centre (the map's own size:
        // each pixel its sample).
        for (std::uint32_t ox = 0; ox < ow; ++ox) {
            first[ox] = static_cast<std::uint32_t>((2 * std::uint64_t{ox} + 1) * w / (2 * ow));
        }
        return validity.with_test([&](auto valid) {
            for (std::uint32_t oy = 0; oy < oh; ++oy) {
                const std::uint64_t y = (2 * std::uint64_t{oy} + 1) * h / (2 * oh);
                const std::int32_t *src = samples + y * w;
                for (std::uint32_t ox = 0; ox < ow; ++ox) {
                    const std::int32_t v = src[first[ox]];
                    values[ox] = valid(v) ? v : std::nan("");
                }
                if (const int rc = emit(context, values); rc != 0) {
                    return rc;
                }
            }
            return 0;
        });
    }

    return validity.with_test([&](auto valid) {
        std::uint32_t oy = 0;
        for (std::uint32_t y = 0; y < h; ++y) {
            // The row's sums across, in integers: weights up to 32767 times
            // 32-bit samples, over at most 32767 columns, stay within 63 bits.
            const std::int32_t *src = samples + std::size_t{y} * w;
            for (std::uint32_t ox = 0; ox < ow; ++ox) {
                std::int64_t s = 0;
                std::int64_t c = 0;
                const auto add = [&](std::uint32_t x, std::int64_t wx) {
                    if (valid(src[x])) {
                        s += wx * src[x];
                        c += wx;
                    }
                };
                const std::uint32_t x0 = first[ox];
                add(x0, w_first[ox]);
                if (w_last[ox] != 0) {
                    const std::uint32_t x1 = last[ox];
                    for (std::uint32_t x = x0 + 1; x < x1; ++x) {
                        add(x, ow);
                    }
                    add(x1, w_last[ox]);
                }
                row_sum[ox] = s;
                row_weight[ox] = c;
            }
            // Down: the row spans [y oh, (y + 1) oh); it goes to every output
            // row it overlaps, and completes each that ends within it.
            const std::uint64_t y0 = std::uint64_t{y} * oh;
            const std::uint64_t y1 = y0 + oh;
            for (;;) {
                const std::uint64_t o0 = std::uint64_t{oy} * h;
                const std::uint64_t o1 = o0 + h;
                const double wy = static_cast<double>((o1 < y1 ? o1 : y1) - (o0 > y0 ? o0 : y0));
                for (std::uint32_t ox = 0; ox < ow; ++ox) {
                    sum[ox] += wy * static_cast<double>(row_sum[ox]);
                    weight[ox] += wy * static_cast<double>(row_weight[ox]);
                }
                if (o1 > y1) {
                    break;
                }
                for (std::uint32_t ox = 0; ox < ow; ++ox) {
                    values[ox] = weight[ox] > 0 ? sum[ox] / weight[ox] : std::nan("");
                    sum[ox] = 0;
                    weight[ox] = 0;
                }
                if (const int rc = emit(context, values); rc != 0) {
                    return rc;
                }
                // The last output row ends with the last source row.
                ++oy;
                if (o1 == y1) {
                    break;
                }
            }
        }
        return 0;
    });
}

namespace {

// Writes a text chunk: tEXt (Latin-1; ASCII here) or, for UTF-8, iTXt
// without compression, language or translated keyword.
int write_text(std::FILE *out, std::string_view keyword, std::string_view text, bool utf8) {
    static const std::uint8_t kSeparators[5] = {}; // NUL; iTXt: flag, method, two empty texts
    const std::size_t separators = utf8 ? 5 : 1;
    std::uint8_t head[8];
    put32be(head, static_cast<std::uint32_t>(keyword.size() + separators + text.size()));
    std::memcpy(head + 4, utf8 ? "iTXt" : "tEXt", 4);
    const auto bytes = [](std::string_view t) { return reinterpret_cast<const Bytef *>(t.data()); };
    uLong crc = crc32(0L, head + 4, 4);
    crc = crc32(crc, bytes(keyword), static_cast<uInt>(keyword.size()));
    crc = crc32(crc, kSeparators, static_cast<uInt>(separators));
    crc = crc32(crc, bytes(text), static_cast<uInt>(text.size()));
    std::uint8_t tail[4];
    put32be(tail, static_cast<std::uint32_t>(crc));
    int rc = put_bytes(out, head, 8);
    rc = rc != 0 ? rc : put_bytes(out, keyword.data(), keyword.size());
    rc = rc != 0 ? rc : put_bytes(out, kSeparators, separators);
    rc = rc != 0 ? rc : put_bytes(out, text.data(), text.size());
    return rc != 0 ? rc : put_bytes(out, tail, 4);
}

constexpr std::size_t kTextRoom = 512;

char *put_text_at(char *p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// A count as the colours show it: "-1200 count", or as a height to 6
// significant digits, "-189.6 nm".
char *put_value(char *p, std::int32_t v, const ExportOptions &o) {
    if (o.scale.z) {
        p = std::to_chars(p, p + 32, v * o.scale.z->value, std::chars_format::general, 6).ptr;
    } else {
        p = std::to_chars(p, p + 16, v).ptr;
    }
    *p++ = ' ';
    return put_text_at(p, o.scale.z ? unit_name(o.scale.z->unit) : "count");
}

std::size_t colour_range(const Contrast &c, const ExportOptions &o, char *out) {
    char *p = out;
    if (!c.any) {
        p = put_text_at(p, "none");
    } else {
        p = put_value(p, c.lo, o);
        p = put_text_at(p, " to ");
        p = put_value(p, c.hi, o);
    }
    return static_cast<std::size_t>(p - out);
}

std::size_t description(const Contrast &c, const ExportOptions &o, char *out) {
    char *p = put_text_at(out, "Phase map preview, row 0 at the top. ");
    if (!c.any) {
        p = put_text_at(p, "No sample is valid: every pixel is transparent.");
    } else {
        p = put_text_at(p, "Colours: viridis, from dark purple at ");
        p = put_value(p, c.lo, o);
        p = put_text_at(p, " to yellow at ");
        p = put_value(p, c.hi, o);
        p = put_text_at(p, " (the 0.5th and 99.5th percentiles of the valid samples). "
                           "Transparent: no valid sample.");
    }
    return static_cast<std::size_t>(p - out);
}

} // namespace

int write_png(const char *path, const PhaseMatrix &m, const ExportOptions &o, ExportNotes *notes) {
    const auto w = static_cast<std::uint32_t>(m.width);
    const auto h = static_cast<std::uint32_t>(m.height);
    const Extent ext = preview_extent(w, h, static_cast<std::uint32_t>(o.png_size), o.png_enlarge);

    Encoder enc;
    if (const int rc = contrast_range(m.matrix, std::size_t{w} * h, o.validity, &enc.contrast);
        rc != 0) {
        return rc;
    }
    notes->nothing_valid = !enc.contrast.any;
    notes->has_colour_range = enc.contrast.any;
    notes->colour_lo = enc.contrast.lo;
    notes->colour_hi = enc.contrast.hi;
    // The averaging's workspace first (aligned as u_malloc aligns), the
    // deflate output, a row, the title.
    const std::size_t workspace = area_average_bytes(ext);
    const std::size_t row = std::size_t{ext.w} * 4 + 1;
    Block block(workspace + kIdatBytes + row + o.title.size());
    if (block.p == nullptr) {
        return ERR_NO_MEM;
    }
    if (const int rc = enc.init(); rc != 0) {
        return rc;
    }
    enc.idat = static_cast<std::uint8_t *>(block.p) + workspace;
    enc.row = enc.idat + kIdatBytes;
    enc.width = ext.w;
    enc.rows_left = ext.h;
    enc.z.next_out = enc.idat;
    enc.z.avail_out = static_cast<uInt>(kIdatBytes);
    // The texts, before the file is opened; the title as the GSF's.
    char *title = reinterpret_cast<char *>(enc.row + row);
    const std::string_view title_text(title, sanitize_title(o.title, title));
    char range[kTextRoom];
    const std::string_view range_text(range, colour_range(enc.contrast, o, range));
    char about[kTextRoom];
    const std::string_view about_text(about, description(enc.contrast, o, about));
    char software[kTiffSoftwareBytes];
    const std::string_view software_text(software,
                                         ascii_text(software_of(o), sizeof software, software));

    return write_output(path, o, [&](std::FILE *out) {
        enc.out = out;
        // Signature; IHDR: width, height, 8 bits, colour type 6 (RGBA),
        // deflate, adaptive filtering, no interlace.
        static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        std::uint8_t ihdr[13] = {};
        put32be(ihdr, ext.w);
        put32be(ihdr + 4, ext.h);
        ihdr[8] = 8;
        ihdr[9] = 6;
        int rc = put_bytes(out, kSignature, 8);
        rc = rc != 0 ? rc : write_chunk(out, "IHDR", ihdr, 13);
        if (rc == 0 && !title_text.empty()) {
            rc = write_text(out, "Title", title_text, true);
        }
        rc = rc != 0 ? rc : write_text(out, "Description", about_text, false);
        rc = rc != 0 ? rc : write_text(out, "Colour map", "viridis", false);
        rc = rc != 0 ? rc : write_text(out, "Colour range", range_text, false);
        rc = rc != 0 ? rc : write_text(out, "Software", software_text, false);
        rc = rc != 0 ? rc : area_average(m.matrix, w, h, ext, o.validity, block.p, emit_row, &enc);
        return rc != 0 ? rc : write_chunk(out, "IEND", ihdr, 0); // no data
    });
}

} // namespace pdx::export_detail
