// The floor for the converter: the least work that turns the phase block of a
// binary data file into a data matrix file the way the converter's design
// does it. It reads the first fields of the header, seeks past the header and
// the intensity block, reads the phase block in one call into a fresh
// buffer, reverses its bytes in place, and writes the two dimensions and the
// block in one call each; with -b it first reverses the dimensions and a copy
// of the block, as the converter's writer does.
//
//   pdx_baseline [-b] input output
//
// It shares no code with the converter: its byte reversal is its own, done
// with the fastest portable loop known (16-byte vectors on GCC and Clang),
// so that the converter is compared with the cheapest reversal, not a slow
// one. It checks only what it needs not to misbehave.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::uint32_t be32(const unsigned char *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

std::uint16_t be16(const unsigned char *p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 12)
typedef std::uint16_t Lanes __attribute__((vector_size(16)));

void reverse16(unsigned char *p) {
    Lanes v;
    std::memcpy(&v, p, 16);
    v = __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6);
    v = (v << 8) | (v >> 8);
    std::memcpy(p, &v, 16);
}
#endif

// Reverses the bytes of each of `count` 32-bit samples in place.
void reverse_samples(void *block, std::size_t count) {
    auto *b = static_cast<unsigned char *>(block);
    std::size_t i = 0;
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 12)
    for (; i + 8 <= count; i += 8) {
        reverse16(b + 4 * i);
        reverse16(b + 4 * i + 16);
    }
#endif
    for (; i < count; ++i) {
        std::uint32_t v;
        std::memcpy(&v, b + 4 * i, 4);
        v = __builtin_bswap32(v);
        std::memcpy(b + 4 * i, &v, 4);
    }
}

int fail(const char *what, const char *path) {
    std::fprintf(stderr, "pdx_baseline: %s %s\n", what, path);
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    bool big = false;
    const char *input = nullptr;
    const char *output = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-b") == 0) {
            big = true;
        } else if (input == nullptr) {
            input = argv[i];
        } else if (output == nullptr) {
            output = argv[i];
        } else {
            input = nullptr;
            break;
        }
    }
    if (input == nullptr || output == nullptr) {
        std::fprintf(stderr, "usage: pdx_baseline [-b] input output\n");
        return 2;
    }

    std::FILE *in = std::fopen(input, "rb");
    if (in == nullptr) {
        return fail("cannot open", input);
    }
    // Magic number to phase block length: the only fields needed.
    unsigned char head[76];
    if (std::fread(head, sizeof head, 1, in) != 1) {
        return fail("short header in", input);
    }
    const std::uint32_t magic = be32(head);
    long header_length = 0;
    if (magic == 0x881B0371) {
        header_length = 4096;
    } else if (magic == 0x881B036F || magic == 0x881B0370) {
        header_length = 834;
    } else {
        return fail("not a data file:", input);
    }
    const auto intens_nbytes = static_cast<std::int32_t>(be32(head + 60));
    const auto phase_nbytes = static_cast<std::int32_t>(be32(head + 72));
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    if (phase_nbytes > 0) {
        width = be16(head + 68);
        height = be16(head + 70);
    }
    const std::size_t count = std::size_t{width} * height;

    void *samples = nullptr;
    if (count > 0) {
        const long skip = header_length + (intens_nbytes > 0 ? long{intens_nbytes} : 0);
        if (std::fseek(in, skip, SEEK_SET) != 0) {
            return fail("cannot seek in", input);
        }
        samples = std::malloc(count * 4);
        if (samples == nullptr) {
            return fail("no memory for", input);
        }
        if (std::fread(samples, 4, count, in) != count) {
            return fail("short phase block in", input);
        }
        reverse_samples(samples, count);
    }
    std::fclose(in);

    std::FILE *out = std::fopen(output, "wb");
    if (out == nullptr) {
        return fail("cannot create", output);
    }
    std::uint16_t dims[2] = {width, height};
    if (big) {
        dims[0] = static_cast<std::uint16_t>(width >> 8 | width << 8);
        dims[1] = static_cast<std::uint16_t>(height >> 8 | height << 8);
    }
    if (std::fwrite(dims, 2, 2, out) != 2) {
        return fail("cannot write", output);
    }
    if (count > 0) {
        const void *source = samples;
        void *copy = nullptr;
        if (big) {
            copy = std::malloc(count * 4);
            if (copy == nullptr) {
                return fail("no memory for", output);
            }
            std::memcpy(copy, samples, count * 4);
            reverse_samples(copy, count);
            source = copy;
        }
        if (std::fwrite(source, 4, count, out) != count) {
            return fail("cannot write", output);
        }
        std::free(copy);
    }
    if (std::fclose(out) != 0) {
        return fail("cannot write", output);
    }
    std::free(samples);
    return 0;
}
