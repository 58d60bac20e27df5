#include "pdx/util/hooks.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pdx/util/platform_memory.h"

namespace pdx {

namespace {

// The blocks the default hooks have handed out and not taken back.
std::atomic<long> g_live_blocks{0};

void *counted(void *block) {
    if (block != nullptr) {
        g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    }
    return block;
}

// Large blocks come on huge pages where the system offers them. Those that
// start past their page boundary go back through the platform layer, the
// rest through free.
void *uncounted_malloc(std::size_t size) {
    if (void *block = u_platform_large_block(size)) {
        return block;
    }
    return std::malloc(size);
}
void uncounted_free(void *block) {
    if (!u_platform_free_large_block(block)) {
        std::free(block);
    }
}
void *runtime_malloc(std::size_t size) {
    return counted(uncounted_malloc(size));
}
void runtime_free(void *block) {
    if (block != nullptr) {
        g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    }
    uncounted_free(block);
}
// A block moved keeps its place in the count; a new one (from null) is
// counted.
void *runtime_realloc(void *block, std::size_t size) {
    const std::size_t old_size = u_platform_large_block_size(block);
    if (old_size == 0) {
        void *moved = std::realloc(block, size);
        return block == nullptr ? counted(moved) : moved;
    }
    // As realloc: on failure the old block stays as it was.
    void *moved = uncounted_malloc(size);
    if (moved != nullptr) {
        std::memcpy(moved, block, std::min(old_size, size));
        uncounted_free(block);
    }
    return moved;
}
void *runtime_calloc(std::size_t count, std::size_t size) {
    return counted(std::calloc(count, size));
}

} // namespace

int u_print_stderr(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    return std::fflush(stderr);
}

constinit u_print_fn u_print = u_print_stderr;
constinit u_malloc_fn u_malloc = runtime_malloc;
constinit u_realloc_fn u_realloc = runtime_realloc;
constinit u_calloc_fn u_calloc = runtime_calloc;
constinit u_free_fn u_free = runtime_free;

long u_live_blocks() {
    return g_live_blocks.load(std::memory_order_relaxed);
}

void *u_malloc_zeroed(std::size_t size) {
    if (u_malloc != runtime_malloc && u_calloc == runtime_calloc) {
        void *block = u_malloc(size);
        if (block != nullptr) {
            std::memset(block, 0, size);
        }
        return block;
    }
    // The C runtime's calloc takes large blocks straight from the system,
    // whose fresh pages are zero until written.
    return u_calloc(1, size);
}

} // namespace pdx
