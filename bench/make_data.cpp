// Writes a binary data file for the benchmarks: a 4096-byte big-endian
// header, an intensity block of `buckets` frames of 16-bit samples and a
// phase block of 32-bit samples, both over one width x height region.
//
//   pdx_make_data output width height [buckets]
//
// Every sample differs from its neighbours, so a byte-order mistake shows
// when outputs are compared. The file is written in 1 MiB pieces; nothing
// the size of a block is held in memory.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kMagic4096 = 0x881B0371;
constexpr std::size_t kHeaderLength = 4096;
constexpr std::size_t kPiece = std::size_t{1} << 20;

void put16(unsigned char *p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

void put32(unsigned char *p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

long parse(const char *text, long lo, long hi, const char *what) {
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi) {
        std::fprintf(stderr, "pdx_make_data: %s must be %ld to %ld\n", what, lo, hi);
        std::exit(2);
    }
    return v;
}

// Writes `count` samples of `width` bytes, sample i holding value(i)
// big-endian.
template <typename Value>
bool write_block(std::FILE *out, std::uint64_t count, int width, Value value) {
    std::vector<unsigned char> piece(kPiece);
    const std::uint64_t per_piece = kPiece / static_cast<unsigned>(width);
    for (std::uint64_t first = 0; first < count; first += per_piece) {
        const std::uint64_t n = count - first < per_piece ? count - first : per_piece;
        for (std::uint64_t i = 0; i < n; ++i) {
            unsigned char *p = piece.data() + i * static_cast<unsigned>(width);
            if (width == 2) {
                put16(p, static_cast<std::uint16_t>(value(first + i)));
            } else {
                put32(p, static_cast<std::uint32_t>(value(first + i)));
            }
        }
        const std::size_t bytes = static_cast<std::size_t>(n) * static_cast<unsigned>(width);
        if (std::fwrite(piece.data(), 1, bytes, out) != bytes) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: pdx_make_data output width height [buckets]\n");
        return 2;
    }
    const auto width = static_cast<std::uint16_t>(parse(argv[2], 1, 32767, "width"));
    const auto height = static_cast<std::uint16_t>(parse(argv[3], 1, 32767, "height"));
    const auto buckets =
        static_cast<std::uint16_t>(argc == 5 ? parse(argv[4], 0, 32767, "buckets") : 1);
    const std::uint64_t area = std::uint64_t{width} * height;
    const std::uint64_t intens_bytes = area * buckets * 2;
    const std::uint64_t phase_bytes = area * 4;
    if (intens_bytes > 0x7FFFFFFF || phase_bytes > 0x7FFFFFFF) {
        std::fprintf(stderr, "pdx_make_data: a block's byte length must fit 31 bits\n");
        return 2;
    }

    unsigned char header[kHeaderLength] = {};
    put32(header, kMagic4096);
    // Intensity region, frame count and block length.
    put16(header + 52, width);
    put16(header + 54, height);
    put16(header + 56, buckets);
    put32(header + 60, static_cast<std::uint32_t>(intens_bytes));
    // Phase region and block length.
    put16(header + 68, width);
    put16(header + 70, height);
    put32(header + 72, static_cast<std::uint32_t>(phase_bytes));

    std::FILE *out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    bool ok = std::fwrite(header, sizeof header, 1, out) == 1;
    ok = ok && write_block(out, area * buckets, 2, [](std::uint64_t i) { return i * 40503u; });
    ok = ok && write_block(out, area, 4, [](std::uint64_t i) { return i * 2654435761u + 12345u; });
    if (std::fclose(out) != 0 || !ok) {
        std::fprintf(stderr, "pdx_make_data: writing %s failed\n", argv[1]);
        return 1;
    }
    return 0;
}
