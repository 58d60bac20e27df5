#pragma once

#include <cstddef>

namespace pdx {

// Reverses the byte order of one value of `width` bytes (2, 4 or 8) in
// place. The value may lie at any address. Any other width is a programming
// error: the message "u_swap_bytes: n=<width>" goes out through u_print and
// the process aborts, leaving the bytes untouched.
void u_swap_bytes(void *value, int width);

// Reverses the byte order of each of `count` consecutive values of `width`
// bytes (2 or 4) in place: the same result as u_swap_bytes on every value,
// written so that the compiler can vectorise it. The block may lie at any
// address. Any other width aborts as u_swap_bytes does.
void u_swap_samples(void *block, std::size_t count, int width);

// Writes to `dest` the `count` values of `width` bytes at `source` with
// their byte order reversed, in one pass: the same bytes as a copy followed
// by u_swap_samples on it. The two blocks must not overlap; `source` is left
// as it was. Any other width aborts as u_swap_bytes does.
void u_swap_samples_copy(void *dest, const void *source, std::size_t count, int width);

} // namespace pdx
