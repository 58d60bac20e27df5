#include "pdx/util/platform_memory.h"

#ifdef __linux__
#include <cstdlib>

#include <sys/mman.h>
#endif

namespace pdx {

void *u_platform_large_block(std::size_t size) {
#ifdef __linux__
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    if (size < u_large_block_bytes) {
        return nullptr;
    }
    void *block = nullptr;
    if (posix_memalign(&block, huge_page, size) != 0) {
        return nullptr;
    }
    // Only whole 2 MiB pages: a huge page over the tail would hold memory
    // the block never uses.
#ifdef MADV_HUGEPAGE
    madvise(block, size / huge_page * huge_page, MADV_HUGEPAGE);
#endif
    return block;
#else
    (void)size;
    return nullptr;
#endif
}

} // namespace pdx
