#pragma once

#include <cstddef>

namespace pdx {

// Memory for the default allocation hook (hooks.h). A large sample buffer is
// touched for the first time by the read that fills it, and every 4 KiB page
// of it faults once; on 2 MiB pages the same buffer takes 512 times fewer
// faults.

// Blocks of at least this many bytes are large.
inline constexpr std::size_t u_large_block_bytes = std::size_t{4} << 20;

// On Linux, a block of `size` bytes (at least u_large_block_bytes) that
// starts on a 2 MiB boundary and whose whole 2 MiB pages are offered for
// transparent huge pages. It goes back through free, like any block of the
// C runtime. Null for a smaller size, on other systems, or when the block
// cannot be had: the caller then takes the ordinary path. A refused hint
// leaves an ordinary, equally usable block.
void *u_platform_large_block(std::size_t size);

} // namespace pdx
