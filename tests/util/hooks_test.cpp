// The default hooks: the message hook prints on the standard error stream
// and reports the flush, and the allocation hooks hand out memory that the
// free hook takes back.

#include "pdx/util/hooks.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "pdx/util/platform_memory.h"

using namespace pdx;

namespace {

// Writes one byte to the standard error descriptor, past the stream.
int write_past_stderr(char byte) {
#ifdef _WIN32
    return _write(2, &byte, 1);
#else
    return static_cast<int>(write(2, &byte, 1));
#endif
}

TEST(DefaultHooks, PrintFormatsOnStandardErrorAndFlushes) {
    // With the stream fully buffered, the message reaches the descriptor
    // before a marker written to the descriptor directly only if the hook
    // flushes.
    std::setvbuf(stderr, nullptr, _IOFBF, 4096);
    testing::internal::CaptureStderr();
    const int rc = u_print_stderr("u_swap_bytes: n=%d %s\n", 3, "x");
    EXPECT_EQ(write_past_stderr('|'), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "u_swap_bytes: n=3 x\n|");
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    EXPECT_EQ(rc, 0);
}

TEST(DefaultHooks, AllocationsWorkTogether) {
    // A block just freed full of bytes is likely handed out again: calloc
    // must clear it. u_live_blocks counts what the defaults hold.
    const long live = u_live_blocks();
    EXPECT_EQ(live, 0); // none before the first, nor left by the tests before
    void *dirty = u_malloc(300);
    ASSERT_NE(dirty, nullptr);
    EXPECT_EQ(u_live_blocks(), live + 1);
    std::memset(dirty, 0xA5, 300);
    u_free(dirty);
    auto *zeroed = static_cast<unsigned char *>(u_calloc(100, 3));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(std::count(zeroed, zeroed + 300, 0), 300);
#ifndef __SANITIZE_ADDRESS__ // which reports the overflow instead of returning null
    EXPECT_EQ(u_calloc(SIZE_MAX / 2 + 1, 2), nullptr); // 2^64 bytes, not 0
    // Sizes whose large block, with the bytes before it, wraps past the top.
    for (const std::size_t size : {SIZE_MAX, SIZE_MAX - 63, SIZE_MAX - (std::size_t{2} << 20)}) {
        EXPECT_EQ(u_malloc(size), nullptr) << size;
        EXPECT_EQ(u_malloc_zeroed(size), nullptr) << size;
        void *small = u_malloc(8);
        EXPECT_EQ(u_realloc(small, size), nullptr) << size;
        u_free(small);
    }
#endif

    auto *block = static_cast<char *>(u_malloc(6));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "abcde", 6);
    block = static_cast<char *>(u_realloc(block, 1 << 16));
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(block, "abcde");
    void *fresh = u_realloc(nullptr, 8);
    EXPECT_EQ(u_live_blocks(), live + 3);

    u_free(fresh);
    u_free(block);
    u_free(zeroed);
    u_free(nullptr);
    EXPECT_EQ(u_live_blocks(), live);
}

// Large blocks start kLargeBlockLead bytes past a 2 MiB boundary on
// Linux, every byte of them is usable, u_realloc keeps their contents and
// u_free takes them back; anything smaller, and every block on other
// systems, comes from malloc.
TEST(DefaultHooks, LargeBlocksSitOnHugePages) {
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    EXPECT_EQ(u_platform_large_block(kLargeBlockBytes - 1), nullptr);
    for (std::size_t size : {kLargeBlockBytes, kLargeBlockBytes + huge_page + 12345}) {
        void *direct = u_platform_large_block(size);
        auto *block = static_cast<unsigned char *>(u_malloc(size));
        ASSERT_NE(block, nullptr);
#ifdef __linux__
        ASSERT_NE(direct, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(direct) % huge_page, kLargeBlockLead);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % huge_page, kLargeBlockLead);
        EXPECT_EQ(u_platform_large_block_size(block), size);
#else
        EXPECT_EQ(direct, nullptr);
#endif
        std::memset(block, 0x5A, size);
        block[size - 1] = 0x7E;
        EXPECT_EQ(block[0] & block[size / 2], 0x5A);
        // Grown and shrunk: the contents move with the block.
        block = static_cast<unsigned char *>(u_realloc(block, size + 100));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block[size - 1], 0x7E);
        block = static_cast<unsigned char *>(u_realloc(block, 16));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block[15], 0x5A);
        u_free(block);
        u_free(direct);
    }
}

#ifdef __linux__
// While many large blocks are in use, new ones start on the boundary and
// still go back through u_free; freed slots are used again.
TEST(DefaultHooks, ManyLargeBlocks) {
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    std::vector<void *> blocks;
    for (int i = 0; i < 300; ++i) {
        blocks.push_back(u_malloc(kLargeBlockBytes));
        ASSERT_NE(blocks.back(), nullptr);
    }
    const auto offset = [](void *block) {
        return reinterpret_cast<std::uintptr_t>(block) % huge_page;
    };
    EXPECT_EQ(offset(blocks.front()), kLargeBlockLead);
    EXPECT_EQ(offset(blocks.back()), 0u);
    EXPECT_EQ(u_platform_large_block_size(blocks.back()), 0u);
    // Inside a block, at the offset of a lead, but not a block itself.
    EXPECT_EQ(u_platform_large_block_size(static_cast<char *>(blocks.back()) + kLargeBlockLead),
              0u);
    u_free(blocks.front());
    blocks.front() = u_malloc(kLargeBlockBytes);
    EXPECT_EQ(offset(blocks.front()), kLargeBlockLead);
    for (void *block : blocks) {
        u_free(block);
    }
}
#endif

// A zeroed block comes from u_calloc unless u_malloc alone was replaced:
// then from u_malloc, cleared, so that a program's own u_free never meets a
// block of the runtime's calloc.
int g_mallocs = 0;
int g_callocs = 0;
std::size_t g_calloc_bytes = 0;
void *dirty_malloc(std::size_t n) {
    ++g_mallocs;
    return std::memset(std::malloc(n), 0xA5, n);
}
void *counted_calloc(std::size_t count, std::size_t n) {
    ++g_callocs;
    g_calloc_bytes += count * n;
    return std::calloc(count, n);
}

TEST(ZeroedBlocks, ComeFromTheHooksThatWereReplacedTogether) {
    const u_malloc_fn m0 = u_malloc;
    const u_calloc_fn c0 = u_calloc;
    struct Row {
        u_malloc_fn malloc_hook;
        u_calloc_fn calloc_hook;
        int mallocs, callocs;
    };
    for (const Row row : {Row{m0, c0, 0, 0}, Row{dirty_malloc, c0, 1, 0},
                          Row{dirty_malloc, counted_calloc, 0, 1}, Row{m0, counted_calloc, 0, 1}}) {
        g_mallocs = g_callocs = 0;
        g_calloc_bytes = 0;
        u_malloc = row.malloc_hook;
        u_calloc = row.calloc_hook;
        auto *block = static_cast<unsigned char *>(u_malloc_zeroed(300));
        u_malloc = m0;
        u_calloc = c0;
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(std::count(block, block + 300, 0), 300);
        EXPECT_EQ(g_mallocs, row.mallocs);
        EXPECT_EQ(g_callocs, row.callocs);
        EXPECT_EQ(g_calloc_bytes, 300u * row.callocs);
        u_free(block);
    }
}

} // namespace
