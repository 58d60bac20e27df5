#pragma once

#include <cstdint>
#include <cstdio>

namespace pdx {

// Stores in `left` the bytes between the position of `stream` and its end
// and returns true, when the stream can seek; the position is kept. Returns
// false, the stream undisturbed, for one that cannot (a pipe: ftell fails
// without touching its buffered input), whose length is unknown.
bool u_stream_bytes_left(std::FILE *stream, std::uint64_t *left);

} // namespace pdx
