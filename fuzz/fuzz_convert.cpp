// Fuzz target: the converter's path, a data file read by path into a phase
// matrix, written as a data matrix file and read back unchanged. A success
// must carry exactly the phase samples that the file's bytes give, and the
// output file must hold exactly those samples in the byte order asked for.

#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "pdx/datafile/data_file.h"
#include "pdx/datafile/matrix_file.h"
#include "pdx/util/errors.h"
#include "support/matrix_image.h"
#include "support/temp_dir.h"

using namespace pdx;
using namespace fuzz_support;

namespace {

// The data matrix file that `phase` should become.
test_support::Bytes expected_output(const PhaseMatrix &phase, bool bigEndian) {
    const std::size_t n = phase.matrix == nullptr ? 0 : std::size_t(phase.width) * phase.height;
    return test_support::matrix_file_image(static_cast<std::uint16_t>(phase.width),
                                           static_cast<std::uint16_t>(phase.height), phase.matrix,
                                           n, bigEndian);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    install_budget();
    static const std::string in = scratch_path("in.dat");
    static const std::string out = scratch_path("out.mat");
    if (!write_scratch(in, data, size)) {
        return 0;
    }
    PhaseMatrix phase;
    const int code = data_file_read(in.c_str(), nullptr, nullptr, nullptr, &phase);
    if (code != 0) {
        check(data_file_code(code) && code != ERR_CANT_OPEN_FILE, "unexpected code");
        check(is_released(phase), "matrix not released after a failure");
        check(live_bytes() == 0, "sample memory leaked");
        return 0;
    }

    // The phase block follows the whole intensity block, which is skipped.
    const DataFileLayout l = data_file_layout(data, size);
    check(l.valid, "a file without a magic number or a whole header was read");
    if (l.phase_nbytes > 0) {
        const std::size_t at = l.header + (l.intens_nbytes > 0 ? std::size_t(l.intens_nbytes) : 0);
        check(phase_matches(phase, l, data, size, at), "phase samples");
    } else {
        check(is_released(phase) && phase.x == 0 && phase.y == 0, "phase without a block");
    }

    const bool bigEndian = (size & 1) != 0;
    check(matrix_file_write(out.c_str(), &phase, bigEndian) == 0, "write");
    check(test_support::read_file(out) == expected_output(phase, bigEndian), "output bytes");
    if (phase.width > 0 && phase.height > 0) {
        PhaseMatrix back;
        check(matrix_file_read(out.c_str(), &back, bigEndian) == 0, "read back");
        const std::size_t n = std::size_t(phase.width) * std::size_t(phase.height);
        check(back.width == phase.width && back.height == phase.height &&
                  std::memcmp(back.matrix, phase.matrix, 4 * n) == 0,
              "round trip changed the samples");
        release(back);
    }
    release(phase);
    check(live_bytes() == 0, "sample memory leaked");
    return 0;
}
