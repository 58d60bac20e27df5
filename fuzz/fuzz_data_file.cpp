// Fuzz target: the binary data file reader on a stream. The first input byte
// chooses which of the four outputs are requested (bits 0 to 3) and, where
// the C library can make one, whether the stream cannot seek (bit 4); the
// rest is the file. A successful read must hold exactly the samples that the
// file's bytes give.

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fuzz_support.h"
#include "pdx/datafile/data_file.h"
#include "pdx/util/errors.h"

#if defined(__GLIBC__)
#include <sys/types.h>
#define PDX_FUZZ_PIPE_STREAM 1
#endif

using namespace pdx;
using namespace fuzz_support;

namespace {

#ifdef PDX_FUZZ_PIPE_STREAM
// A read-only stream over the input that cannot seek or tell, as a pipe.
struct PipeSource {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at;
};

ssize_t pipe_read(void *cookie, char *buffer, std::size_t size) {
    auto *source = static_cast<PipeSource *>(cookie);
    const std::size_t n = size < source->size - source->at ? size : source->size - source->at;
    std::memcpy(buffer, source->data + source->at, n);
    source->at += n;
    return static_cast<ssize_t>(n);
}

std::FILE *open_pipe(PipeSource &source) {
    cookie_io_functions_t io{};
    io.read = pipe_read;
    return fopencookie(&source, "rb", io);
}
#endif

// A scratch file rather than an in-memory stream: it behaves the same on
// every platform and seeks like the files the tool meets.
std::FILE *open_file(const std::uint8_t *data, std::size_t size) {
    static const std::string path = scratch_path("stream.dat");
    std::FILE *stream = std::fopen(path.c_str(), "w+b");
    if (stream == nullptr) {
        return nullptr;
    }
    if (size > 0 && std::fwrite(data, 1, size, stream) != size) {
        std::fclose(stream);
        return nullptr;
    }
    std::rewind(stream);
    return stream;
}

// After a successful read: each requested output agrees with the file.
void check_success(const std::uint8_t *data, std::size_t size, unsigned choice,
                   const HeaderPreamble &preamble, const HeaderBody &body,
                   const IntensityMatrix &intensity, const PhaseMatrix &phase) {
    const DataFileLayout l = data_file_layout(data, size);
    check(l.valid, "a file without a magic number or a whole header was read");
    if (choice & 1) {
        check(preamble.f_10 == be16_at(data + 10), "preamble");
    }
    if (choice & 2) {
        check(body.layout_code == (l.header == test_support::kLongHeader ? 3 : 0), "layout_code");
    }
    // Where the phase block starts: after the whole intensity block, read or
    // skipped (an odd last byte is skipped either way).
    std::size_t phase_at = l.header;
    if (l.intens_nbytes > 0) {
        if (choice & 4) {
            const std::size_t n = std::size_t(l.intens_nbytes) / 2;
            const std::uint64_t frames = std::uint64_t(std::uint16_t(l.intens_n_buckets)) *
                                         std::uint16_t(l.intens_width) *
                                         std::uint16_t(l.intens_height);
            check(intensity.matrix != nullptr && intensity.size == frames && n <= frames &&
                      intensity.width == l.intens_width && intensity.height == l.intens_height &&
                      intensity.n_buckets == l.intens_n_buckets,
                  "intensity geometry");
            check(size - l.header >= 2 * n, "read more intensity samples than the file holds");
            for (std::size_t i = 0; i < intensity.size; ++i) {
                const std::uint32_t want = i < n ? be16_at(data + l.header + 2 * i) : 0;
                check(intensity.matrix[i] == want, "intensity samples");
            }
        }
        phase_at += std::size_t(l.intens_nbytes);
    } else if (choice & 4) {
        check(is_released(intensity), "intensity without a block");
    }
    if (choice & 8) {
        if (l.phase_nbytes > 0) {
            check(phase_matches(phase, l, data, size, phase_at), "phase samples");
        } else {
            check(is_released(phase) && phase.x == 0 && phase.y == 0, "phase without a block");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    install_budget();
    if (size == 0) {
        return 0;
    }
    const unsigned choice = data[0];
    ++data;
    --size;

#ifdef PDX_FUZZ_PIPE_STREAM
    PipeSource source{data, size, 0};
    std::FILE *stream = (choice & 0x10) ? open_pipe(source) : open_file(data, size);
#else
    std::FILE *stream = open_file(data, size);
#endif
    if (stream == nullptr) {
        return 0;
    }

    HeaderPreamble preamble{};
    HeaderBody body{};
    IntensityMatrix intensity;
    PhaseMatrix phase;
    const int code = data_file_read_stream(
        stream, (choice & 1) ? &preamble : nullptr, (choice & 2) ? &body : nullptr,
        (choice & 4) ? &intensity : nullptr, (choice & 8) ? &phase : nullptr);
    std::fclose(stream);

    if (code != 0) {
        check(data_file_code(code) && code != ERR_CANT_OPEN_FILE, "unexpected code");
        check(is_released(intensity) && is_released(phase), "matrix not released after a failure");
    } else {
        check_success(data, size, choice, preamble, body, intensity, phase);
    }
    release(intensity);
    release(phase);
    check(live_bytes() == 0, "sample memory leaked");
    return 0;
}
