// The library's own time to read a data file's phase map, the floor for the
// Python module's figure in bench/python_read.py:
//
//   pdx_read_time FILE [RUNS]
//
// Reads FILE's phase block RUNS times (default 15) with data_file_read, the
// intensity block skipped, and prints the median wall time in seconds.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pdx/datafile/data_file.h"
#include "pdx/util/errors.h"

int main(int argc, char **argv) {
    using namespace pdx;
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: pdx_read_time FILE [RUNS]\n");
        return 2;
    }
    const int runs = argc == 3 ? std::atoi(argv[2]) : 15;
    if (runs < 1) {
        std::fprintf(stderr, "pdx_read_time: RUNS must be at least 1\n");
        return 2;
    }
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        HeaderPreamble preamble;
        HeaderBody body;
        PhaseMatrix phase;
        const auto start = std::chrono::steady_clock::now();
        const int rc = data_file_read(argv[1], &preamble, &body, nullptr, &phase);
        const auto stop = std::chrono::steady_clock::now();
        if (rc != 0) {
            std::fprintf(stderr, "pdx_read_time: %s\n", u_error_name(rc));
            return 1;
        }
        seconds.push_back(std::chrono::duration<double>(stop - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%.6f\n", seconds[seconds.size() / 2]);
    return 0;
}
