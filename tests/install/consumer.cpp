// Uses the installed library: writes a small matrix to a data matrix file,
// reads it back and names an error code. Exits 0 when all of it holds.

#include <cstdio>
#include <cstring>

#include "datafile/matrix_file.h"
#include "matrix/region_matrix.h"
#include "util/errors.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        return 2;
    }
    PhaseMatrix m;
    m.width = 2;
    m.height = 1;
    if (allocate(m) != 0) {
        return 1;
    }
    m.matrix[0] = 7;
    m.matrix[1] = -7;
    int rc = matrix_file_write(argv[1], &m, true);
    release(m);

    PhaseMatrix back;
    if (rc == 0) {
        rc = matrix_file_read(argv[1], &back, true);
    }
    const bool same = rc == 0 && back.width == 2 && back.height == 1 && back.matrix[0] == 7 &&
                      back.matrix[1] == -7;
    release(back);
    if (!same || std::strcmp(u_error_name(ERR_CANT_OPEN_FILE), "ERR_CANT_OPEN_FILE") != 0) {
        std::fprintf(stderr, "consumer: the installed library misbehaved (%d)\n", rc);
        return 1;
    }
    return 0;
}
