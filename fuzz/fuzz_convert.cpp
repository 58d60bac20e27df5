// Fuzz target: the converter's path, a data file read by path into a phase
// matrix, written as a data matrix file and read back unchanged.

#include <cstdint>
#include <cstring>

#include "datafile/data_file.h"
#include "datafile/matrix_file.h"
#include "fuzz_support.h"
#include "util/errors.h"

using namespace fuzz_support;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    install_budget();
    static const std::string in = scratch_path("in.dat");
    static const std::string out = scratch_path("out.mat");
    if (!write_scratch(in, data, size)) {
        return 0;
    }
    PhaseMatrix phase;
    const int code = data_file_read(in.c_str(), nullptr, nullptr, nullptr, &phase);
    check(code >= 0 && code <= U_ERROR_COUNT, "code outside the table");
    if (code != 0) {
        check(released(phase), "matrix not released after a failure");
        return 0;
    }
    const bool bigEndian = (size & 1) != 0;
    check(matrix_file_write(out.c_str(), &phase, bigEndian) == 0, "write");
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
