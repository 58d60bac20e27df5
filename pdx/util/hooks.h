#pragma once

#include <cstddef>

namespace pdx {

// Process-wide hooks through which the library obtains memory and prints its
// few diagnostics. They hold their defaults before any code runs (constant
// initialisation), so they are safe to use from static constructors. A
// program or test may replace them before it starts other threads; a block
// obtained through u_malloc, u_realloc or u_calloc goes back through u_free.

using u_print_fn = int (*)(const char *format, ...);
using u_malloc_fn = void *(*)(std::size_t size);
using u_realloc_fn = void *(*)(void *block, std::size_t size);
using u_calloc_fn = void *(*)(std::size_t count, std::size_t size);
using u_free_fn = void (*)(void *block);

// Writes a printf-style message on the standard error stream and flushes it;
// returns the result of the flush (0 on success).
int u_print_stderr(const char *format, ...);

extern u_print_fn u_print;     // starts as u_print_stderr
extern u_malloc_fn u_malloc;   // starts as the C runtime's malloc (see platform_memory.h)
extern u_realloc_fn u_realloc; // starts as realloc (the same for large blocks)
extern u_calloc_fn u_calloc;   // starts as calloc
extern u_free_fn u_free;       // starts as free (the same for large blocks)

// The blocks the default u_malloc, u_calloc and u_realloc (from null) have
// handed out and the default u_free has not taken back, for a program's or
// a test's check that nothing is kept: blocks of hooks that replace them are
// not counted.
long u_live_blocks();

// A block of `size` bytes, every byte zero, that goes back through u_free;
// null when there is no memory. For a buffer its caller may fill only in
// part: memory that comes zero from the system is not written here, so the
// block costs only the pages the caller writes.
//
// It comes from u_calloc, unless u_malloc has been replaced and u_calloc has
// not: then from u_malloc, cleared here in full. A program that replaces
// u_malloc and u_free alone thus still sees every block the library takes,
// and its u_free is never handed a block of the C runtime's calloc; one that
// also replaces u_calloc gets such blocks from it, without the clearing.
[[nodiscard]] void *u_malloc_zeroed(std::size_t size);

} // namespace pdx
