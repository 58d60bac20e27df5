#pragma once

#include <cstdint>
#include <cstdio>

#include "pdx/datafile/data_file_header.h"
#include "pdx/matrix/region_matrix.h"

namespace pdx {

// The binary data file reader. Every output is optional (null: not produced,
// and the file data behind it is skipped rather than read). Requested
// matrices must be empty on entry; on any failure they are returned released,
// while the preamble and body keep whatever was copied into them first.

// Opens `path` (a path argument, pdx/util/path.h) for binary reading, reads it
// with data_file_read_stream and closes it whatever the outcome. Returns
// ERR_CANT_OPEN_FILE, touching no output, when the file cannot be opened.
[[nodiscard]] int data_file_read(const char *path, HeaderPreamble *preamble, HeaderBody *body,
                                 IntensityMatrix *intensity, PhaseMatrix *phase);

// Reads from `stream`, positioned at the first byte of the header, and leaves
// it open. Returns 0 or one of ERR_PREMATURE_EOF, ERR_NOT_A_DATA_FILE,
// ERR_DATASET_DIM_TOO_LARGE, ERR_PARAM_OUT_OF_RANGE, ERR_NO_MEM,
// ERR_CORRUPT_DATA_FILE.
[[nodiscard]] int data_file_read_stream(std::FILE *stream, HeaderPreamble *preamble,
                                        HeaderBody *body, IntensityMatrix *intensity,
                                        PhaseMatrix *phase);

// Reads the header alone from `stream`, positioned at its first byte, into
// `record` in host order (cleared first; a short header widened to the long
// layout) and its length, 834 or 4096, into *length; the stream is left
// after it. Returns 0, ERR_PREMATURE_EOF or ERR_NOT_A_DATA_FILE.
[[nodiscard]] int data_file_read_header(std::FILE *stream, DataFileHeader *record,
                                        std::size_t *length);

// What data_file_read_stream, asked for both blocks, refuses from the header
// alone before it reads a sample: ERR_DATASET_DIM_TOO_LARGE for a present
// block whose region cannot be a matrix's, then ERR_PARAM_OUT_OF_RANGE for a
// present block of no samples or more than a matrix holds. 0 otherwise.
[[nodiscard]] int data_file_check_header(const DataFileHeader &record);

} // namespace pdx
