// The sample formats: GSF and TIFF (32-bit floats, invalid samples NaN) and
// NPY (the 32-bit integers as stored, or floats as GSF's).

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

#include "pdx/export/export_detail.h"
#include "pdx/util/errors.h"
#include "pdx/util/hooks.h"
#include "pdx/util/output_file.h"
#include "pdx/util/utf8.h"

namespace pdx::export_detail {

// Samples and header fields are written as they lie in memory.
static_assert(std::endian::native == std::endian::little,
              "the export writers assume a little-endian host");

namespace {

void put16(char *p, std::uint16_t v) {
    std::memcpy(p, &v, 2);
}
void put32(char *p, std::uint32_t v) {
    std::memcpy(p, &v, 4);
}

// Appends the decimal digits of v at p; returns the end.
char *put_decimal(char *p, std::uint32_t v) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) {
        *p++ = digits[--n];
    }
    return p;
}

char *put_text(char *p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// The C1 control characters U+0080 to U+009F, encoded C2 80 to C2 9F.
bool is_c1_control(std::string_view seq) {
    return seq.size() == 2 && static_cast<unsigned char>(seq[0]) == 0xC2 &&
           static_cast<unsigned char>(seq[1]) <= 0x9F;
}

} // namespace

std::size_t ascii_text(std::string_view in, std::size_t max, char *out) {
    std::size_t n = 0;
    while (!in.empty() && n < max) {
        const std::size_t len = u_utf8_length(in);
        const unsigned char c = static_cast<unsigned char>(in[0]);
        // A character past ASCII goes as a whole, a stray byte alone.
        out[n++] = len == 1 && c >= 0x20 && c != 0x7F ? in[0] : '?';
        in.remove_prefix(len == 0 ? 1 : len);
    }
    std::size_t start = 0;
    while (start < n && out[start] == ' ') {
        ++start;
    }
    while (n > start && out[n - 1] == ' ') {
        --n;
    }
    std::memmove(out, out + start, n - start);
    return n - start;
}

int put_bytes(std::FILE *out, const void *p, std::size_t n) {
    return std::fwrite(p, 1, n, out) == n ? 0 : ERR_CANT_WRITE_FILE;
}

namespace {

// Converts a run of kN samples (n when kN is 0) to floats times z (counts
// as they are without kScaled), NaN where invalid; or-s into `*any` and
// `*wide` every bit when a sample is valid, and when a valid one has
// |v| > 2^24. With a constant length the compiler vectorises the loop: no
// branch, the NaN chosen by bit masks.
template <std::size_t kN, bool kScaled, typename Valid>
void convert_run(const std::int32_t *s, float *out, std::size_t n, Valid valid, double z,
                 std::uint32_t *any, std::uint32_t *wide) {
    constexpr std::uint32_t kNan = 0x7FC00000u; // the quiet NaN
    const std::size_t length = kN != 0 ? kN : n;
    std::uint32_t a = 0;
    std::uint32_t w = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const std::int32_t v = s[i];
        const std::uint32_t ok = 0u - static_cast<std::uint32_t>(valid(v));
        const float f = kScaled ? static_cast<float>(v * z) : static_cast<float>(v);
        out[i] = std::bit_cast<float>((std::bit_cast<std::uint32_t>(f) & ok) | (kNan & ~ok));
        a |= ok;
        w |= ok & (0u - static_cast<std::uint32_t>(static_cast<std::uint32_t>(v) + (1u << 24) >
                                                   (2u << 24)));
    }
    *any |= a;
    *wide |= w;
}

constexpr std::size_t kRun = 256;

} // namespace

int write_floats(std::FILE *out, const std::int32_t *samples, std::size_t count,
                 const Validity &validity, double z, float *buffer, ExportNotes *notes) {
    constexpr std::size_t kChunk = kChunkBytes / sizeof(float);
    static_assert(kChunk % kRun == 0, "chunks of whole runs");
    std::uint32_t any = 0;
    std::uint32_t wide = 0;
    // One loop per kind of validity test, with and without the z scale.
    const auto convert = [&](auto valid, auto scaled) {
        constexpr bool kScaled = decltype(scaled)::value;
        while (count > 0) {
            const std::size_t n = count < kChunk ? count : kChunk;
            std::size_t i = 0;
            for (; i + kRun <= n; i += kRun) {
                convert_run<kRun, kScaled>(samples + i, buffer + i, kRun, valid, z, &any, &wide);
            }
            convert_run<0, kScaled>(samples + i, buffer + i, n - i, valid, z, &any, &wide);
            if (const int rc = put_bytes(out, buffer, n * sizeof(float)); rc != 0) {
                return rc;
            }
            samples += n;
            count -= n;
        }
        return 0;
    };
    const int rc = validity.with_test([&](auto valid) {
        return z != 1.0 ? convert(valid, std::true_type{}) : convert(valid, std::false_type{});
    });
    notes->nothing_valid = any == 0;
    notes->float_inexact = wide != 0;
    return rc;
}

std::size_t sanitize_title(std::string_view in, char *out) {
    std::size_t n = 0;
    while (!in.empty()) {
        const std::size_t len = u_utf8_length(in);
        const unsigned char c = static_cast<unsigned char>(in[0]);
        if (len == 0 || c < 0x20 || c == 0x7F || is_c1_control(in.substr(0, len))) {
            out[n++] = '?';
            // A control character goes as a whole, a stray byte alone.
            in.remove_prefix(len == 0 ? 1 : len);
            continue;
        }
        std::memcpy(out + n, in.data(), len);
        n += len;
        in.remove_prefix(len);
    }
    std::size_t start = 0;
    while (start < n && out[start] == ' ') {
        ++start;
    }
    while (n > start && out[n - 1] == ' ') {
        --n;
    }
    std::memmove(out, out + start, n - start);
    return n - start;
}

std::string_view software_of(const ExportOptions &o) {
    return o.software.empty() ? std::string_view("pdx_convert " PDX_EXPORT_VERSION) : o.software;
}

char *put_number(char *out, double v) {
    // 15 significant digits: a product such as 14 * 0.55 shows as the
    // decimal it stands for (7.7), not as its binary neighbour.
    return std::to_chars(out, out + 32, v, std::chars_format::general, 15).ptr;
}

std::size_t gsf_header(std::uint32_t w, std::uint32_t h, const ExportOptions &o,
                       std::string_view title, char *out) {
    const Origin origin = o.origin.value_or(Origin{});
    const double px = o.scale.pixel ? o.scale.pixel->x : 1.0;
    const double py = o.scale.pixel ? o.scale.pixel->y : 1.0;
    char *p = put_text(out, "Gwyddion Simple Field 1.0\nXRes = ");
    p = put_decimal(p, w);
    p = put_text(p, "\nYRes = ");
    p = put_decimal(p, h);
    p = put_text(p, "\nXReal = ");
    p = put_number(p, w * px);
    p = put_text(p, "\nYReal = ");
    p = put_number(p, h * py);
    p = put_text(p, "\nXOffset = ");
    p = put_number(p, origin.x * px);
    p = put_text(p, "\nYOffset = ");
    p = put_number(p, origin.y * py);
    p = put_text(p, "\nXYUnits = ");
    p = put_text(p, o.scale.pixel ? unit_name(o.scale.pixel->unit) : "pixel");
    p = put_text(p, "\nZUnits = ");
    p = put_text(p, o.scale.z ? unit_name(o.scale.z->unit) : "count");
    *p++ = '\n';
    if (!title.empty()) {
        p = put_text(p, "Title = ");
        p = put_text(p, title);
        *p++ = '\n';
    }
    // At least one NUL ends the header; up to four bring it to a multiple
    // of 4.
    const std::size_t pad = 4 - static_cast<std::size_t>(p - out) % 4;
    std::memset(p, 0, pad);
    return static_cast<std::size_t>(p - out) + pad;
}

int tiff_layout(std::uint32_t w, std::uint32_t h, TiffLayout *layout, std::size_t text_bytes) {
    const std::uint64_t row_bytes = std::uint64_t{w} * 4;
    std::uint64_t rows = (kTiffStripBytes + row_bytes - 1) / row_bytes;
    rows = rows < h ? rows : h;
    const std::uint64_t strips = (h + rows - 1) / rows;
    const std::uint64_t resolution = kTiffIfdOffset + 2 + std::uint64_t{kTiffEntries} * 12 + 4;
    const std::uint64_t text = resolution + 16;
    const std::uint64_t tables = (text + text_bytes + 3) / 4 * 4;
    const std::uint64_t tables_end = strips > 1 ? tables + 8 * strips : tables;
    const std::uint64_t data = (tables_end + 15) / 16 * 16;
    const std::uint64_t size = data + row_bytes * h;
    // Offsets and counts are 32-bit: every byte of the file must lie below
    // 4 GiB.
    if (size > std::uint64_t{UINT32_MAX}) {
        return ERR_DATASET_DIM_TOO_LARGE;
    }
    layout->rows_per_strip = static_cast<std::uint32_t>(rows);
    layout->strips = static_cast<std::uint32_t>(strips);
    layout->resolution_offset = static_cast<std::uint32_t>(resolution);
    layout->text_offset = static_cast<std::uint32_t>(text);
    layout->offsets_offset = strips > 1 ? static_cast<std::uint32_t>(tables) : 0;
    layout->counts_offset = strips > 1 ? static_cast<std::uint32_t>(tables + 4 * strips) : 0;
    layout->data_offset = static_cast<std::uint32_t>(data);
    layout->file_size = size;
    return 0;
}

void rational(double v, std::uint32_t *numerator, std::uint32_t *denominator) {
    // The convergents p/q of v's continued fraction, until one is exact or
    // the next would not fit.
    std::uint64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    double x = v;
    for (int i = 0; i < 64; ++i) {
        const double a = std::floor(x);
        if (a > UINT32_MAX) {
            break;
        }
        const auto ai = static_cast<std::uint64_t>(a);
        const std::uint64_t p2 = ai * p1 + p0;
        const std::uint64_t q2 = ai * q1 + q0;
        if (p2 > UINT32_MAX || q2 > UINT32_MAX) {
            break;
        }
        p0 = p1;
        q0 = q1;
        p1 = p2;
        q1 = q2;
        const double rest = x - a;
        if (rest <= 0 || static_cast<double>(p1) / static_cast<double>(q1) == v) {
            break;
        }
        x = 1 / rest;
    }
    if (q1 == 0 || p1 == 0) {
        // Beyond what 32-bit terms hold: the nearest end.
        *numerator = q1 == 0 ? UINT32_MAX : 1;
        *denominator = q1 == 0 ? 1 : UINT32_MAX;
        return;
    }
    *numerator = static_cast<std::uint32_t>(p1);
    *denominator = static_cast<std::uint32_t>(q1);
}

std::size_t tiff_description(const ExportOptions &o, char *out) {
    const Origin origin = o.origin.value_or(Origin{});
    const double px = o.scale.pixel ? o.scale.pixel->x : 1.0;
    const double py = o.scale.pixel ? o.scale.pixel->y : 1.0;
    char *p = put_text(out, "ImageJ=1.11a\nimages=1\nunit=");
    p = put_text(p, o.scale.pixel ? unit_name(o.scale.pixel->unit) : "pixel");
    p = put_text(p, "\nvunit=");
    p = put_text(p, o.scale.z ? unit_name(o.scale.z->unit) : "count");
    p = put_text(p, "\nxorigin=");
    p = put_number(p, 0.0 - origin.x); // never "-0"
    p = put_text(p, "\nyorigin=");
    p = put_number(p, 0.0 - origin.y);
    p = put_text(p, "\nsource=");
    p += ascii_text(o.title, kTiffTitleBytes, p);
    p = put_text(p, "\nxoffset=");
    p = put_number(p, origin.x * px);
    p = put_text(p, "\nyoffset=");
    p = put_number(p, origin.y * py);
    *p++ = '\n';
    *p++ = '\0';
    return static_cast<std::size_t>(p - out);
}

int write_gsf(const char *path, const PhaseMatrix &m, const ExportOptions &o, ExportNotes *notes) {
    const auto w = static_cast<std::uint32_t>(m.width);
    const auto h = static_cast<std::uint32_t>(m.height);
    // The buffer holds the header first, then the converted samples.
    const std::size_t header_room = gsf_header_capacity(o.title) * 2;
    const std::size_t bytes = header_room > kChunkBytes ? header_room : kChunkBytes;
    char *buffer = static_cast<char *>(u_malloc(bytes));
    if (buffer == nullptr) {
        return ERR_NO_MEM;
    }
    char *title = buffer + gsf_header_capacity(o.title);
    const std::size_t title_length = sanitize_title(o.title, title);
    const std::size_t header = gsf_header(w, h, o, std::string_view(title, title_length), buffer);
    const int rc = write_output(path, o, [&](std::FILE *out) {
        const int put = put_bytes(out, buffer, header);
        return put != 0 ? put
                        : write_floats(out, m.matrix, std::size_t{w} * h, o.validity, z_factor(o),
                                       reinterpret_cast<float *>(buffer), notes);
    });
    u_free(buffer);
    return rc;
}

int write_tiff(const char *path, const PhaseMatrix &m, const ExportOptions &o, ExportNotes *notes) {
    const auto w = static_cast<std::uint32_t>(m.width);
    const auto h = static_cast<std::uint32_t>(m.height);
    // The ASCII fields' text first, in a buffer of its own, zeroed so that no
    // byte of the stack can reach the file.
    char text[tiff_description_capacity() + kTiffSoftwareBytes + 1] = {};
    const std::size_t description = tiff_description(o, text);
    const std::size_t software =
        ascii_text(software_of(o), kTiffSoftwareBytes, text + description) + 1;
    text[description + software - 1] = '\0';
    TiffLayout t;
    if (const int rc = tiff_layout(w, h, &t, description + software); rc != 0) {
        return rc;
    }
    // Everything before the samples (at most 8 bytes per row, the directory
    // and the text) fits the buffer, which then converts the samples.
    char *buffer = static_cast<char *>(u_malloc(kChunkBytes));
    if (buffer == nullptr) {
        return ERR_NO_MEM;
    }
    std::memset(buffer, 0, t.data_offset);
    const std::uint32_t strip_bytes = t.rows_per_strip * w * 4;
    const std::uint32_t last_bytes = (h - (t.strips - 1) * t.rows_per_strip) * w * 4;
    const bool one = t.strips == 1;

    put16(buffer, 0x4949); // "II": little-endian
    put16(buffer + 2, 42);
    put32(buffer + 4, kTiffIfdOffset);
    char *e = buffer + kTiffIfdOffset;
    put16(e, kTiffEntries);
    e += 2;
    enum : std::uint16_t { kAscii = 2, kShort = 3, kLong = 4, kRational = 5 };
    const auto entry = [&e](std::uint16_t tag, std::uint16_t type, std::uint32_t count,
                            std::uint32_t value) {
        put16(e, tag);
        put16(e + 2, type);
        put32(e + 4, count);
        // A SHORT value lies in the field's first two bytes, which
        // little-endian order gives as it is.
        put32(e + 8, value);
        e += 12;
    };
    // Text of up to 4 bytes lies in the field itself, longer text at `offset`.
    const auto ascii = [&](std::uint16_t tag, const char *value, std::size_t n,
                           std::uint32_t offset) {
        entry(tag, kAscii, static_cast<std::uint32_t>(n), offset);
        std::memcpy(n <= 4 ? e - 4 : buffer + offset, value, n);
    };
    std::memcpy(buffer + t.text_offset, text, description + software);
    // In ascending tag order, as the format requires.
    entry(256, kLong, 1, w);                      // ImageWidth
    entry(257, kLong, 1, h);                      // ImageLength
    entry(258, kShort, 1, 32);                    // BitsPerSample
    entry(259, kShort, 1, 1);                     // Compression: none
    entry(262, kShort, 1, 1);                     // PhotometricInterpretation: MinIsBlack
    ascii(270, text, description, t.text_offset); // ImageDescription
    entry(273, kLong, t.strips, one ? t.data_offset : t.offsets_offset); // StripOffsets
    entry(277, kShort, 1, 1);                                            // SamplesPerPixel
    entry(278, kLong, 1, t.rows_per_strip);                              // RowsPerStrip
    entry(279, kLong, t.strips, one ? last_bytes : t.counts_offset);     // StripByteCounts
    entry(282, kRational, 1, t.resolution_offset);                       // XResolution
    entry(283, kRational, 1, t.resolution_offset + 8);                   // YResolution
    entry(296, kShort, 1, 1);                                            // ResolutionUnit: none
    ascii(305, text + description, software,
          t.text_offset + static_cast<std::uint32_t>(description)); // Software
    entry(339, kShort, 1, 3);                                       // SampleFormat: IEEE float
    ascii(42113, "nan", 4, 0);                                      // GDAL_NODATA
    put32(e, 0);                                                    // no further directory
    // Pixels per unit of length across and down.
    const double px = o.scale.pixel ? o.scale.pixel->x : 1.0;
    const double py = o.scale.pixel ? o.scale.pixel->y : 1.0;
    for (std::uint32_t i = 0; i < 2; ++i) {
        std::uint32_t numerator = 0;
        std::uint32_t denominator = 0;
        rational(1 / (i == 0 ? px : py), &numerator, &denominator);
        put32(buffer + t.resolution_offset + 8 * i, numerator);
        put32(buffer + t.resolution_offset + 8 * i + 4, denominator);
    }
    if (!one) {
        for (std::uint32_t i = 0; i < t.strips; ++i) {
            put32(buffer + t.offsets_offset + 4 * i, t.data_offset + i * strip_bytes);
            put32(buffer + t.counts_offset + 4 * i, i + 1 < t.strips ? strip_bytes : last_bytes);
        }
    }
    const int rc = write_output(path, o, [&](std::FILE *out) {
        const int put = put_bytes(out, buffer, t.data_offset);
        return put != 0 ? put
                        : write_floats(out, m.matrix, std::size_t{w} * h, o.validity, z_factor(o),
                                       reinterpret_cast<float *>(buffer), notes);
    });
    u_free(buffer);
    return rc;
}

int write_npy(const char *path, const PhaseMatrix &m, const ExportOptions &o, ExportNotes *notes) {
    const auto w = static_cast<std::uint32_t>(m.width);
    const auto h = static_cast<std::uint32_t>(m.height);
    // Magic, version 1.0, the header's length, then the header: a Python
    // dict literal padded with spaces and ended by a newline so that the
    // samples start at a multiple of 64. For any shape of 16-bit sizes all
    // of it (at most 79 bytes before the padding) takes 128 bytes.
    constexpr std::size_t end = 128;
    char header[end];
    char *p = put_text(header, "\x93NUMPY\x01");
    *p++ = '\0';
    p += 2; // the length, below
    p = put_text(p, o.npy_float ? "{'descr': '<f4', 'fortran_order': False, 'shape': ("
                                : "{'descr': '<i4', 'fortran_order': False, 'shape': (");
    p = put_decimal(p, h);
    p = put_text(p, ", ");
    p = put_decimal(p, w);
    p = put_text(p, "), }");
    std::memset(p, ' ', end - 1 - static_cast<std::size_t>(p - header));
    header[end - 1] = '\n';
    put16(header + 8, static_cast<std::uint16_t>(end - 10));
    const std::size_t count = std::size_t{w} * h;
    if (o.npy_float) {
        float *buffer = static_cast<float *>(u_malloc(kChunkBytes));
        if (buffer == nullptr) {
            return ERR_NO_MEM;
        }
        const int rc = write_output(path, o, [&](std::FILE *out) {
            const int put = put_bytes(out, header, end);
            return put != 0
                       ? put
                       : write_floats(out, m.matrix, count, o.validity, z_factor(o), buffer, notes);
        });
        u_free(buffer);
        return rc;
    }
    // An empty map may have no buffer, and fwrite takes no null pointer,
    // even for no bytes.
    const void *samples = m.matrix != nullptr ? static_cast<const void *>(m.matrix) : header;
    return write_output(path, o, [&](std::FILE *out) {
        const int rc = put_bytes(out, header, end);
        return rc != 0 ? rc : put_bytes(out, samples, count * 4);
    });
}

} // namespace pdx::export_detail
