#include "support/alloc_hooks.h"

#include <vector>

#include <gtest/gtest.h>

#include "pdx/util/hooks.h"

namespace {

using namespace pdx;
using test_support::AllocHooks;

// The helper other suites build on: nested objects both see a call, refusals
// happen where asked, and the previous hooks come back.
TEST(AllocHooks, NestsRefusesAsAskedAndRestores) {
    const u_malloc_fn runtime_malloc = u_malloc;
    const u_free_fn runtime_free = u_free;
    {
        AllocHooks outer;
        outer.set_budget(100);
        void *a = nullptr;
        {
            AllocHooks inner;
            inner.fail_call(2);
            a = u_malloc(60);
            EXPECT_EQ(u_malloc(1), nullptr);  // inner's 2nd call
            EXPECT_EQ(u_malloc(41), nullptr); // past outer's budget (60 + 41)
            void *b = u_malloc(40);
            EXPECT_NE(b, nullptr);
            u_free(b);
            u_free(nullptr);
            EXPECT_EQ(inner.malloc_count(), 4u);
            EXPECT_EQ(inner.refused_count(), 1u);
            EXPECT_EQ(inner.frees(), (std::vector<void *>{b, nullptr}));
            EXPECT_TRUE(inner.is_live(a));
            EXPECT_FALSE(inner.is_live(b));
        }
        EXPECT_EQ(outer.malloc_count(), 3u); // the refused call never got there
        EXPECT_EQ(outer.refused_count(), 1u);
        EXPECT_EQ(outer.live_bytes(), 60u);
        outer.fail_all();
        EXPECT_EQ(u_malloc(1), nullptr);
        u_free(a); // freed after the inner object is gone
        EXPECT_EQ(outer.live_blocks(), 0u);
    }
    EXPECT_EQ(u_malloc, runtime_malloc);
    EXPECT_EQ(u_free, runtime_free);
}

} // namespace
