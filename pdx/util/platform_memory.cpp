#include "pdx/util/platform_memory.h"

#ifdef __linux__
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include <sys/mman.h>
#endif

namespace pdx {

#ifdef __linux__

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The blocks handed out past their boundary, which free cannot take back
// as they are. A program holds few large blocks at once; past this many,
// new ones start on the boundary and go back through free.
struct LeadBlock {
    void *block;
    std::size_t size;
};
constexpr std::size_t kLeadBlocks = 256;
constinit std::mutex lead_blocks_mutex;
constinit LeadBlock lead_blocks[kLeadBlocks] = {};

bool may_have_lead(const void *block) {
    return block != nullptr &&
           reinterpret_cast<std::uintptr_t>(block) % kHugePage == kLargeBlockLead;
}

// The slot that holds `block` (or, for null, a free slot); null when none.
LeadBlock *find_lead_block(const void *block) {
    for (LeadBlock &entry : lead_blocks) {
        if (entry.block == block) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

void *u_platform_large_block(std::size_t size) {
    if (size < kLargeBlockBytes || size > SIZE_MAX - kHugePage) {
        return nullptr;
    }
    void *region = nullptr;
    if (posix_memalign(&region, kHugePage, size + kLargeBlockLead) != 0) {
        return nullptr;
    }
    // Only whole 2 MiB pages: a huge page over the tail would hold memory
    // the block never uses.
#ifdef MADV_HUGEPAGE
    madvise(region, (size + kLargeBlockLead) / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
    void *block = static_cast<char *>(region) + kLargeBlockLead;
    const std::lock_guard lock(lead_blocks_mutex);
    if (LeadBlock *slot = find_lead_block(nullptr)) {
        *slot = {block, size};
        return block;
    }
    return region;
}

std::size_t u_platform_large_block_size(const void *block) {
    if (!may_have_lead(block)) {
        return 0;
    }
    const std::lock_guard lock(lead_blocks_mutex);
    const LeadBlock *slot = find_lead_block(block);
    return slot == nullptr ? 0 : slot->size;
}

bool u_platform_free_large_block(void *block) {
    if (!may_have_lead(block)) {
        return false;
    }
    {
        const std::lock_guard lock(lead_blocks_mutex);
        LeadBlock *slot = find_lead_block(block);
        if (slot == nullptr) {
            return false;
        }
        *slot = {};
    }
    std::free(static_cast<char *>(block) - kLargeBlockLead);
    return true;
}

#else

void *u_platform_large_block(std::size_t) {
    return nullptr;
}

std::size_t u_platform_large_block_size(const void *) {
    return 0;
}

bool u_platform_free_large_block(void *) {
    return false;
}

#endif

} // namespace pdx
