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

// As data_file_check_header, for a read that asks for the intensity frames
// only when `intensity` is true and for the phase map only when `phase` is:
// the header of a block left out is not looked at, as the reader skips that
// block unchecked. data_file_check_header is the call with both true.
[[nodiscard]] int data_file_check_blocks(const DataFileHeader &record, bool intensity, bool phase);

// These two read one block of a data file into the caller's memory, for a
// caller that has read the header from `stream` with data_file_read_header
// and left the stream where it stopped (one block per header read). Each
// returns what data_file_read_stream asked for that block alone returns,
// with the same samples in host order: data_file_check_blocks' refusal, then
// ERR_CORRUPT_DATA_FILE for a block the stream does not hold whole (a
// seekable stream is measured first, so nothing is read). `samples` has room
// for `capacity` samples; fewer than the block's region (and frames) hold is
// ERR_PARAM_OUT_OF_RANGE, nothing read. A file without the block reads no
// sample and returns 0.
//
// Intensity samples are written only as far as the block goes: frames it
// fills in part keep, past its end, what the caller's memory held. Memory
// that comes zeroed (a fresh calloc) thus reads as data_file_read's matrix
// and costs nothing for the samples the file does not hold.
[[nodiscard]] int data_file_read_intensity_samples(std::FILE *stream, const DataFileHeader &record,
                                                   std::uint16_t *samples, std::size_t capacity);

// The phase map: the intensity block before it is skipped, unchecked.
[[nodiscard]] int data_file_read_phase_samples(std::FILE *stream, const DataFileHeader &record,
                                               std::int32_t *samples, std::size_t capacity);

// What a data file holds, as its header tells: the blocks it announces
// (an absent block has a region of zeros, no frames and no tag) and the
// file's size the header implies.
struct DataFileSummary {
    std::size_t header_length = 0; // 834 or 4096
    Region phase{};                // the phase map's region
    Region intensity{};            // the intensity frames' region
    std::int16_t frames = 0;       // intensity frames
    std::uint16_t tag = 0;         // the intensity block's tag
    std::uint32_t phase_bytes = 0; // the blocks' lengths, as stored
    std::uint32_t intensity_bytes = 0;
    std::uint64_t implied_size = 0; // header and both blocks
};

// The layout of `record`, a header of `length` bytes read by
// data_file_read_header.
DataFileSummary data_file_summary(const DataFileHeader &record, std::size_t length);

// The header length that a body filled by data_file_read (or
// data_file_read_summary) tells through its layout_code: 4096 or 834.
std::size_t data_file_header_length(const HeaderBody &body);

// Reads the header alone of the file at `path` (a path argument). Once the
// header reads, *layout (when not null) receives its layout and *record (when
// not null) the header in host order, its body's layout_code set as
// data_file_read sets it; then the header is checked as
// data_file_check_blocks checks it for the blocks asked for. Returns 0,
// ERR_CANT_OPEN_FILE, data_file_read_header's failures (nothing filled) or
// the check's refusal (everything filled).
[[nodiscard]] int data_file_read_summary(const char *path, DataFileSummary *layout,
                                         bool intensity = true, bool phase = true,
                                         DataFileHeader *record = nullptr);

// A block's place and shape: its region and, for the intensity frames,
// their count (0 for the phase map).
struct BlockGeometry {
    Region region{};
    std::int16_t frames = 0;
};
bool operator==(const BlockGeometry &a, const BlockGeometry &b);

// Reads the phase map (`phase` true; int32 samples) or the intensity frames
// (uint16 samples) of the file at `path` into `samples`, room for `capacity`
// samples, when the file's block has the geometry `expected`. Once the
// header reads and passes the block's check, *found receives the geometry
// it gives (zeros for an absent block); a file whose geometry is not
// `expected` returns 0 with nothing read, for the caller to compare. Returns
// 0, ERR_CANT_OPEN_FILE, or what data_file_read_header and
// data_file_read_phase_samples (data_file_read_intensity_samples) return.
[[nodiscard]] int data_file_read_block(const char *path, bool phase, const BlockGeometry &expected,
                                       void *samples, std::size_t capacity, BlockGeometry *found);

// Whether the file at `path` begins with one of the three magic numbers:
// false, not an error, for one that cannot be opened or has fewer than four
// bytes.
bool data_file_has_magic(const char *path);

} // namespace pdx
