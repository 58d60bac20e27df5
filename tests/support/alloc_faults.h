#pragma once

// Allocation-failure injection: runs an operation once for each u_malloc call
// it makes, with that call refused, and checks that no block is left behind.
//
//     const std::size_t calls = test_support::refuse_each_call([&](AllocHooks &hooks) {
//         const int rc = operation();
//         if (hooks.refused_count() != 0) {
//             EXPECT_EQ(rc, ERR_NO_MEM);   // and the documented state
//             hooks.fail_call(0);          // the allocator recovers:
//             ASSERT_EQ(operation(), 0);   // the same call now succeeds
//         }
//         ... release what a success left ...
//     });
//     EXPECT_EQ(calls, 2u); // the operation makes two calls, each refused once
//
// Attempt n refuses the nth u_malloc call. The attempts stop with the first
// one in which no call was refused (the operation made fewer than n calls),
// and the number of calls of that unrefused run is returned.

#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include "support/alloc_hooks.h"

namespace test_support {

template <typename Attempt>
std::size_t refuse_each_call(Attempt &&attempt, std::size_t limit = 64) {
    for (std::size_t n = 1; n <= limit; ++n) {
        SCOPED_TRACE("u_malloc call " + std::to_string(n) + " refused");
        AllocHooks hooks;
        hooks.fail_call(n);
        attempt(hooks);
        EXPECT_EQ(hooks.live_blocks(), 0u) << "blocks left behind";
        if (hooks.refused_count() == 0) {
            return n - 1;
        }
    }
    ADD_FAILURE() << "still allocating after " << limit << " calls";
    return limit;
}

} // namespace test_support
