#pragma once

#include <cstddef>

namespace pdx {

// Memory for the default allocation hooks (hooks.h). A large sample buffer is
// touched for the first time by the read that fills it, and every 4 KiB page
// of it faults once; on 2 MiB pages the same buffer takes 512 times fewer
// faults.

// Blocks of at least this many bytes are large.
inline constexpr std::size_t kLargeBlockBytes = std::size_t{4} << 20;

// Where a large block starts past its 2 MiB boundary. The kernel copies
// between a buffer and a file's pages at half speed when each destination
// byte sits a few bytes (1 to about 32) past its source byte's offset within
// a 4 KiB page. A matrix file's samples start 4 bytes into the file, so a
// block written from a 2 MiB boundary would be exactly that case; 64 bytes
// in, it is not, and a block read from a multiple of 4 KiB in a file is not
// either.
inline constexpr std::size_t kLargeBlockLead = 64;

// On Linux, a block of `size` bytes (at least kLargeBlockBytes) whose
// whole 2 MiB pages are offered for transparent huge pages. It starts
// kLargeBlockLead bytes past a 2 MiB boundary, or on the boundary itself
// while many such blocks are in use. Null for a smaller size, on other
// systems, or when the block cannot be had: the caller then takes the
// ordinary path. A refused hint leaves an ordinary, equally usable block.
[[nodiscard]] void *u_platform_large_block(std::size_t size);

// The size of a block that u_platform_large_block returned past its
// boundary, and 0 for any other pointer (null included).
[[nodiscard]] std::size_t u_platform_large_block_size(const void *block);

// Gives back a block that u_platform_large_block returned past its boundary
// and answers true. Any other pointer is left alone (false): the blocks on a
// boundary go back through free, like any block of the C runtime.
bool u_platform_free_large_block(void *block);

} // namespace pdx
