#pragma once

#include "pdx/matrix/region_matrix.h"

namespace pdx {

// The data matrix file: width and height as unsigned 16-bit numbers, then
// width * height signed 32-bit samples row by row; every field in one byte
// order, little-endian unless big-endian is asked for. No magic number: the
// reader is told the byte order. Paths are path arguments (util/path.h).

// Writes `matrix` (never changed) to `path`. Returns 0, or ERR_INVALID_PARAM
// (no matrix, or a matrix whose buffer holds fewer than width * height
// samples; nothing opened), ERR_CANT_OPEN_FILE, ERR_CANT_WRITE_FILE (a short
// write or a failed close), ERR_NO_MEM (no memory for the big-endian copy).
// A failed write may leave a truncated file.
[[nodiscard]] int matrix_file_write(const char *path, const PhaseMatrix *matrix, bool bigEndian);

// Reads a data matrix file into `matrix`, which must hold no buffer. On any
// failure the matrix is returned released. Returns 0, or ERR_INVALID_PARAM
// (no matrix; nothing opened), ERR_CANT_OPEN_FILE, ERR_PREMATURE_EOF (fewer
// than 4 bytes), ERR_PARAM_OUT_OF_RANGE (a dimension above 32767 or of 0),
// ERR_NO_MEM, ERR_CORRUPT_DATA_FILE (fewer samples than the dimensions say).
[[nodiscard]] int matrix_file_read(const char *path, PhaseMatrix *matrix, bool bigEndian);

} // namespace pdx
