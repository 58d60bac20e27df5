#pragma once

#include <string>

#include "pdx/matrix/region_matrix.h"
#include "pdx/output/output_file.h"

namespace pdx {

// The data matrix file: width and height as unsigned 16-bit numbers, then
// width * height signed 32-bit samples row by row; every field in one byte
// order, little-endian unless big-endian is asked for. No magic number: the
// reader is told the byte order. Paths are path arguments (util/path.h).

// Writes `matrix` (never changed) to `path`. A regular file appears whole
// or not at all: on failure whatever held the name before is left as it was
// (see util/output_file.h for how, and for the outputs written directly,
// such as devices and pipes). `publish` says what may hold the name: with
// UPublish::replace (the default) an existing file is replaced; with
// UPublish::if_absent the file is published only if nothing holds the name
// when it is complete. Returns 0, or ERR_INVALID_PARAM (no matrix, or a
// matrix whose buffer holds fewer than width * height samples; nothing
// opened), ERR_NO_MEM (no memory for the big-endian copy; nothing opened),
// ERR_CANT_OPEN_FILE, ERR_CANT_WRITE_FILE (a short write, a failed flush or
// close, or a failed publication), ERR_CANT_CREATE_FILE (if_absent, and the
// name was taken). `left_behind`, when not null, receives the name of a
// temporary that could not be removed (UOutputFile::take_left_behind), or
// is emptied.
[[nodiscard]] int matrix_file_write(const char *path, const PhaseMatrix *matrix, bool bigEndian,
                                    UPublish publish = UPublish::replace,
                                    std::string *left_behind = nullptr);

// Reads a data matrix file into `matrix`, which must hold no buffer. On any
// failure the matrix is returned released. Returns 0, or ERR_INVALID_PARAM
// (no matrix; nothing opened), ERR_CANT_OPEN_FILE, ERR_PREMATURE_EOF (fewer
// than 4 bytes), ERR_PARAM_OUT_OF_RANGE (a dimension above 32767 or of 0),
// ERR_NO_MEM, ERR_CORRUPT_DATA_FILE (fewer samples than the dimensions say;
// when the file's length is known, found before any memory is asked for).
[[nodiscard]] int matrix_file_read(const char *path, PhaseMatrix *matrix, bool bigEndian);

// Reads the dimensions at the start of a data matrix file, not its samples:
// what a caller needs to give a file of no samples (a width or height of 0,
// which matrix_file_read refuses, as no matrix holds it) its shape. Returns
// 0, ERR_INVALID_PARAM (a null output; nothing opened), ERR_CANT_OPEN_FILE,
// ERR_PREMATURE_EOF (fewer than 4 bytes) or ERR_PARAM_OUT_OF_RANGE (a
// dimension above 32767; both are still stored).
[[nodiscard]] int matrix_file_read_shape(const char *path, bool bigEndian, int *width, int *height);

} // namespace pdx
