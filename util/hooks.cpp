#include "pdx/util/hooks.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "pdx/util/platform_memory.h"

namespace pdx {

namespace {

// Large blocks come on huge pages where the system offers them; free takes
// both kinds back.
void *runtime_malloc(std::size_t size) {
    if (void *block = u_platform_large_block(size)) {
        return block;
    }
    return std::malloc(size);
}
void *runtime_realloc(void *block, std::size_t size) {
    return std::realloc(block, size);
}
void *runtime_calloc(std::size_t count, std::size_t size) {
    return std::calloc(count, size);
}
void runtime_free(void *block) {
    std::free(block);
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

} // namespace pdx
