// Uses the installed library as a user's program would: the project asks for
// C++14 and has an X11-style Region in scope. Writes a small matrix to a data
// matrix file, reads it back and names an error code; exits 0 when all holds.

typedef struct _XRegion *Region;

#include <cstdio>
#include <cstring>
#include <vector>

// Every public header, as installed.
#include <pdx/datafile/convert_file.h>
#include <pdx/datafile/data_file.h>
#include <pdx/datafile/data_file_header.h>
#include <pdx/datafile/matrix_file.h>
#include <pdx/matrix/region_matrix.h>
#include <pdx/measure/calibration.h>
#include <pdx/measure/geometry.h>
#include <pdx/measure/scale.h>
#include <pdx/measure/stats.h>
#include <pdx/measure/validity.h>
#include <pdx/util/byte_order.h>
#include <pdx/util/error_list.h>
#include <pdx/util/errors.h>
#include <pdx/util/file.h>
#include <pdx/util/hooks.h>
#include <pdx/util/output_file.h>
#include <pdx/util/path.h>
#include <pdx/util/signals.h>
#include <pdx/util/standard_streams.h>
#include <pdx/util/utf8.h>

static pdx::PhaseMatrix two_samples() {
    pdx::PhaseMatrix m;
    m.width = 2;
    m.height = 1;
    if (pdx::allocate(m) == 0) {
        m.matrix[0] = 7;
        m.matrix[1] = -7;
    }
    return m;
}

int main(int argc, char **argv) {
    std::vector<pdx::PhaseMatrix> kept;
    kept.push_back(two_samples());
    if (argc != 2 || kept[0].matrix == nullptr) {
        return 2;
    }
    int rc = pdx::matrix_file_write(argv[1], &kept[0], true);
    pdx::PhaseMatrix back;
    if (rc == 0) {
        rc = pdx::matrix_file_read(argv[1], &back, true);
    }
    const bool same = rc == 0 && back.width == 2 && back.height == 1 && back.matrix[0] == 7 &&
                      back.matrix[1] == -7 &&
                      pdx::phase_stats(back.matrix, 2, 1, pdx::Validity()).valid == 2;
    pdx::IntensityMatrix intensity;
    const bool missing =
        pdx::data_file_read("", nullptr, nullptr, &intensity, nullptr) == pdx::ERR_CANT_OPEN_FILE;
    if (!same || !missing ||
        std::strcmp(pdx::u_error_name(pdx::ERR_CANT_OPEN_FILE), "ERR_CANT_OPEN_FILE")) {
        std::fprintf(stderr, "consumer: the installed library misbehaved (%d)\n", rc);
        return 1;
    }
    return 0;
}
