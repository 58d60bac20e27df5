// Fuzz target: the binary data file reader on a stream. The first input byte
// chooses which of the four outputs are requested; the rest is the file.

#include <cstdint>
#include <cstdio>

#include "datafile/data_file.h"
#include "fuzz_support.h"
#include "util/errors.h"

using namespace fuzz_support;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    install_budget();
    if (size == 0) {
        return 0;
    }
    const unsigned choice = data[0];
    ++data;
    --size;

    // A scratch file rather than an in-memory stream: it behaves the same on
    // every platform and seeks like the files the tool meets.
    static const std::string path = scratch_path("stream.dat");
    std::FILE *stream = std::fopen(path.c_str(), "w+b");
    if (stream == nullptr) {
        return 0;
    }
    if (size > 0 && std::fwrite(data, 1, size, stream) != size) {
        std::fclose(stream);
        return 0;
    }
    std::rewind(stream);

    HeaderPreamble preamble{};
    HeaderBody body{};
    IntensityMatrix intensity;
    PhaseMatrix phase;
    const int code = data_file_read_stream(
        stream, (choice & 1) ? &preamble : nullptr, (choice & 2) ? &body : nullptr,
        (choice & 4) ? &intensity : nullptr, (choice & 8) ? &phase : nullptr);
    std::fclose(stream);

    check(code >= 0 && code <= U_ERROR_COUNT, "code outside the table");
    if (code != 0) {
        check(released(intensity) && released(phase), "matrix not released after a failure");
    } else {
        // A filled matrix holds at least its rectangle's samples; touching
        // the last one lets the sanitizers see a short buffer.
        const std::uint64_t n = std::uint64_t(phase.width) * std::uint64_t(phase.height);
        check(phase.matrix == nullptr || (n > 0 && phase.size >= n), "phase size");
        if (phase.matrix != nullptr) {
            volatile std::int32_t last = phase.matrix[n - 1];
            (void)last;
        }
        if (intensity.matrix != nullptr) {
            volatile std::uint16_t last = intensity.matrix[intensity.size - 1];
            (void)last;
        }
    }
    release(intensity);
    release(phase);
    check(live_bytes() == 0, "sample memory leaked");
    return 0;
}
