// Fuzz target: the data matrix file reader, in both byte orders. A file read
// successfully must write back to the same bytes it was read from.

#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "pdx/datafile/matrix_file.h"
#include "pdx/util/errors.h"
#include "support/temp_dir.h"

using namespace pdx;
using namespace fuzz_support;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    install_budget();
    static const std::string in = scratch_path("in.mat");
    static const std::string out = scratch_path("out.mat");
    if (!write_scratch(in, data, size)) {
        return 0;
    }
    for (bool bigEndian : {false, true}) {
        PhaseMatrix m;
        const int code = matrix_file_read(in.c_str(), &m, bigEndian);
        if (size >= 4) {
            // A file that holds what its dimensions announce must read.
            const auto dimension = [&](std::size_t at) {
                return bigEndian ? be16_at(data + at) : le16_at(data + at);
            };
            const std::uint64_t w = dimension(0), h = dimension(2);
            const bool valid = w >= 1 && w <= 32767 && h >= 1 && h <= 32767 &&
                               (size - 4) / 4 >= w * h && 4 * w * h <= kBudget;
            check(!valid || code == 0, "a valid file was refused");
        }
        if (code != 0) {
            check(code == ERR_PREMATURE_EOF || code == ERR_PARAM_OUT_OF_RANGE ||
                      code == ERR_NO_MEM || code == ERR_CORRUPT_DATA_FILE,
                  "unexpected code");
            check(is_released(m), "matrix not released after a failure");
            continue;
        }
        check(m.x == 0 && m.y == 0 && m.width > 0 && m.height > 0, "geometry");
        const std::size_t n = std::size_t(m.width) * std::size_t(m.height);
        check(size >= 4 + 4 * n, "read more samples than the file holds");
        check(matrix_file_write(out.c_str(), &m, bigEndian) == 0, "write back");
        const test_support::Bytes back = test_support::read_file(out);
        check(back.size() == 4 + 4 * n && std::memcmp(back.data(), data, back.size()) == 0,
              "round trip changed the bytes");
        release(m);
    }
    check(live_bytes() == 0, "sample memory leaked");
    return 0;
}
