// The default hooks: the message hook prints on the standard error stream
// and reports the flush, and the allocation hooks hand out memory that the
// free hook takes back.

#include "pdx/util/hooks.h"

#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "pdx/util/platform_memory.h"

using namespace pdx;

namespace {

TEST(DefaultHooks, PrintFormatsOnStandardErrorAndFlushes) {
    testing::internal::CaptureStderr();
    const int rc = u_print_stderr("u_swap_bytes: n=%d %s\n", 3, "x");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "u_swap_bytes: n=3 x\n");
    EXPECT_EQ(rc, 0);
}

TEST(DefaultHooks, AllocationsWorkTogether) {
    auto *zeroed = static_cast<unsigned char *>(u_calloc(100, 3));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(zeroed[0] | zeroed[150] | zeroed[299], 0);

    auto *block = static_cast<char *>(u_malloc(6));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "abcde", 6);
    block = static_cast<char *>(u_realloc(block, 1 << 16));
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(block, "abcde");

    u_free(block);
    u_free(zeroed);
    u_free(nullptr);
}

// Large blocks start on a 2 MiB boundary on Linux, every byte of them is
// usable, and u_free takes them back; anything smaller, and every block on
// other systems, comes from malloc.
TEST(DefaultHooks, LargeBlocksAreAlignedForHugePages) {
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    EXPECT_EQ(u_platform_large_block(u_large_block_bytes - 1), nullptr);
    for (std::size_t size : {u_large_block_bytes, u_large_block_bytes + huge_page + 12345}) {
        void *direct = u_platform_large_block(size);
        auto *block = static_cast<unsigned char *>(u_malloc(size));
        ASSERT_NE(block, nullptr);
#ifdef __linux__
        ASSERT_NE(direct, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(direct) % huge_page, 0u);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % huge_page, 0u);
#else
        EXPECT_EQ(direct, nullptr);
#endif
        std::memset(block, 0x5A, size);
        EXPECT_EQ(block[0] & block[size / 2] & block[size - 1], 0x5A);
        u_free(block);
        u_free(direct);
    }
}

} // namespace
