// The default hooks: the message hook prints on the standard error stream
// and reports the flush, and the allocation hooks hand out memory that the
// free hook takes back.

#include "pdx/util/hooks.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

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

} // namespace
