#pragma once

#include <cstdint>

namespace pdx {

// Region matrices: a rectangle cut from a camera frame and a sample buffer
// that the matrix owns. Samples are stored row by row, `width` to a row, the
// first row first; the sample at column c, row r has index r * width + c.
// Buffers come from u_malloc (or u_malloc_zeroed) and go back through u_free
// (util/hooks.h).
//
// A new matrix is empty (every field 0, no buffer). `size` is the buffer's
// capacity in samples, 0 when there is none; while there is a buffer it is at
// least the rectangle's sample count. A matrix gives its buffer back when it
// is destroyed. It moves but never copies (a copy would give one buffer two
// owners): moving hands the buffer and every field to the target and leaves
// the source empty, every field 0 as in a new matrix; moving into a matrix
// that holds a buffer gives that buffer back first.

// The rectangle a matrix covers, in frame coordinates.
struct Region {
    std::int16_t x = 0;      // column of the first sample
    std::int16_t y = 0;      // row of the first sample
    std::int16_t width = 0;  // samples per row
    std::int16_t height = 0; // rows
};

// One plane of signed 32-bit phase samples.
struct PhaseMatrix {
    std::uint32_t size = 0; // buffer capacity in samples
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::int16_t width = 0;
    std::int16_t height = 0;
    std::int32_t *matrix = nullptr; // owned; null when size is 0

    PhaseMatrix() = default;
    ~PhaseMatrix();
    PhaseMatrix(PhaseMatrix &&other) noexcept;
    PhaseMatrix &operator=(PhaseMatrix &&other) noexcept;
};

// `n_buckets` planes of 16-bit intensity samples over one rectangle, in one
// buffer, in the order the data file stores them.
struct IntensityMatrix {
    std::uint32_t size = 0; // buffer capacity in samples
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::int16_t width = 0;
    std::int16_t height = 0;
    std::int16_t n_buckets = 0;      // number of planes
    std::uint16_t tag = 0;           // carried from the data file, never interpreted
    std::uint16_t *matrix = nullptr; // owned; null when size is 0

    IntensityMatrix() = default;
    ~IntensityMatrix();
    IntensityMatrix(IntensityMatrix &&other) noexcept;
    IntensityMatrix &operator=(IntensityMatrix &&other) noexcept;
};

// Obtains a buffer (not cleared) for the rectangle (and n_buckets) already in
// the record. Call it on a matrix without a buffer: an earlier buffer is not
// given back. Counts are formed in 64 bits. Returns 0; ERR_PARAM_OUT_OF_RANGE
// for a count of zero, a negative width, height or n_buckets, or a count that
// does not fit `size` (the matrix unchanged, no memory asked for); ERR_NO_MEM
// when u_malloc gives nothing (the matrix empty; a PhaseMatrix keeps its
// rectangle, an IntensityMatrix gets width, height and n_buckets 0).
[[nodiscard]] int allocate(PhaseMatrix &m);
[[nodiscard]] int allocate(IntensityMatrix &m);

// As allocate, with every sample 0, for frames that will be filled only in
// part. The buffer comes from u_malloc_zeroed (util/hooks.h): with the
// default hooks the samples never written cost no memory.
[[nodiscard]] int allocate_zeroed(IntensityMatrix &m);

// Fits the buffer to rectangle `r` (and `n_buckets` planes). A count of zero
// frees the buffer, returns 0 and leaves the old rectangle in the record. A
// larger count always gets a new buffer, an equal one never does, and a
// smaller one keeps the present buffer only when `keepLarger` is true.
// Samples are never carried over. Returns 0; ERR_NO_MEM, or
// ERR_PARAM_OUT_OF_RANGE for a negative width, height or bucket count, a
// bucket count above 32767 or a count that does not fit `size` (no memory
// asked for). Either failure leaves the matrix empty (the old buffer given
// back) with the rectangle and n_buckets as before.
[[nodiscard]] int resize(PhaseMatrix &m, const Region &r, bool keepLarger);
[[nodiscard]] int resize(IntensityMatrix &m, const Region &r, int n_buckets, bool keepLarger);

// Stores rectangle `r` in the record: x, y, width and height. The buffer,
// size (and n_buckets) are left as they are.
void set_region(PhaseMatrix &m, const Region &r);
void set_region(IntensityMatrix &m, const Region &r);

// Gives the buffer back (if any) and sets size, width and height (and
// n_buckets) to 0; x, y and tag stay. Safe in any state, any number of times.
void release(PhaseMatrix &m);
void release(IntensityMatrix &m);

} // namespace pdx
