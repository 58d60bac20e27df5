// Allocation failures in every matrix operation that obtains memory: each
// u_malloc call refused in turn gives ERR_NO_MEM with the matrix empty and
// its rectangle as documented, leaks nothing, and leaves a matrix on which
// the same call succeeds once memory is available again.

#include "pdx/matrix/region_matrix.h"

#include <cstdint>
#include <type_traits>

#include <gtest/gtest.h>

#include "pdx/util/errors.h"
#include "support/alloc_faults.h"

namespace {

using namespace pdx;
using test_support::AllocHooks;
using test_support::refuse_each_call;

Region rect(int x, int y, int w, int h) {
    return {static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
            static_cast<std::int16_t>(w), static_cast<std::int16_t>(h)};
}

void expect_rect(const PhaseMatrix &m, const Region &r) {
    EXPECT_EQ(m.x, r.x);
    EXPECT_EQ(m.y, r.y);
    EXPECT_EQ(m.width, r.width);
    EXPECT_EQ(m.height, r.height);
}

void expect_rect(const IntensityMatrix &m, const Region &r, int n_buckets) {
    EXPECT_EQ(m.x, r.x);
    EXPECT_EQ(m.y, r.y);
    EXPECT_EQ(m.width, r.width);
    EXPECT_EQ(m.height, r.height);
    EXPECT_EQ(m.n_buckets, n_buckets);
}

// Writes every sample, so that a buffer shorter than `size` shows up under
// the sanitizers.
template <typename Matrix> void fill(Matrix &m) {
    for (std::uint32_t i = 0; i < m.size; ++i) {
        m.matrix[i] = static_cast<std::remove_pointer_t<decltype(m.matrix)>>(i);
    }
}

// A matrix shaped to `start`, filled first when `filled`, resized to `target`.
struct PhaseResizeCase {
    const char *name;
    Region start;
    bool filled;
    Region target;
    bool keepLarger;
};

TEST(MatrixFaultInjection, PhaseMatrixAllocate) {
    const Region r = rect(7, 8, 300, 200);
    const std::size_t calls = refuse_each_call([&](AllocHooks &hooks) {
        PhaseMatrix m;
        set_region(m, r);
        const int rc = allocate(m);
        if (hooks.refused_count() != 0) {
            EXPECT_EQ(rc, ERR_NO_MEM);
            EXPECT_EQ(m.matrix, nullptr);
            EXPECT_EQ(m.size, 0u);
            expect_rect(m, r);
            hooks.fail_call(0);
            ASSERT_EQ(allocate(m), 0);
        } else {
            ASSERT_EQ(rc, 0);
        }
        EXPECT_EQ(m.size, 60000u);
        expect_rect(m, r);
        fill(m);
        release(m);
    });
    EXPECT_EQ(calls, 1u);
}

// A failed allocate of an IntensityMatrix zeroes its dimensions, so the
// caller writes them again before the retry.
TEST(MatrixFaultInjection, IntensityMatrixAllocate) {
    const auto shape = [](IntensityMatrix &m) {
        set_region(m, rect(3, 4, 30, 20));
        m.n_buckets = 5;
        m.tag = 0xBEEF;
    };
    const std::size_t calls = refuse_each_call([&](AllocHooks &hooks) {
        IntensityMatrix m;
        shape(m);
        const int rc = allocate(m);
        if (hooks.refused_count() != 0) {
            EXPECT_EQ(rc, ERR_NO_MEM);
            EXPECT_EQ(m.matrix, nullptr);
            EXPECT_EQ(m.size, 0u);
            expect_rect(m, rect(3, 4, 0, 0), 0);
            EXPECT_EQ(m.tag, 0xBEEF);
            hooks.fail_call(0);
            EXPECT_EQ(allocate(m), ERR_PARAM_OUT_OF_RANGE);
            shape(m);
            ASSERT_EQ(allocate(m), 0);
        } else {
            ASSERT_EQ(rc, 0);
        }
        EXPECT_EQ(m.size, 3000u);
        fill(m);
        release(m);
    });
    EXPECT_EQ(calls, 1u);
}

// Every resize that needs a new buffer: from empty, growing, and shrinking
// without keepLarger. The failure gives the old buffer back and keeps the
// old rectangle; the same resize then succeeds.
TEST(MatrixFaultInjection, Resize) {
    const PhaseResizeCase cases[] = {
        {"from empty", rect(0, 0, 0, 0), false, rect(1, 2, 40, 30), true},
        {"growing", rect(5, 6, 10, 10), true, rect(1, 2, 40, 30), true},
        {"shrinking without keepLarger", rect(5, 6, 50, 50), true, rect(1, 2, 40, 30), false},
    };
    for (const PhaseResizeCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t phase_calls = refuse_each_call([&](AllocHooks &hooks) {
            PhaseMatrix m;
            set_region(m, c.start);
            // The refused call may be the one that fills the matrix first.
            if (c.filled && allocate(m) != 0) {
                EXPECT_EQ(hooks.refused_count(), 1u);
                return;
            }
            const int rc = resize(m, c.target, c.keepLarger);
            if (hooks.refused_count() != 0) {
                EXPECT_EQ(rc, ERR_NO_MEM);
                EXPECT_EQ(m.matrix, nullptr);
                EXPECT_EQ(m.size, 0u);
                expect_rect(m, c.start);
                hooks.fail_call(0);
                ASSERT_EQ(resize(m, c.target, c.keepLarger), 0);
            } else {
                ASSERT_EQ(rc, 0);
            }
            EXPECT_EQ(m.size, 1200u);
            expect_rect(m, c.target);
            fill(m);
            release(m);
        });
        EXPECT_EQ(phase_calls, c.filled ? 2u : 1u);

        const std::size_t intensity_calls = refuse_each_call([&](AllocHooks &hooks) {
            IntensityMatrix m;
            set_region(m, c.start);
            m.n_buckets = c.filled ? 2 : 0;
            if (c.filled && allocate(m) != 0) {
                EXPECT_EQ(hooks.refused_count(), 1u);
                return;
            }
            const int rc = resize(m, c.target, 3, c.keepLarger);
            if (hooks.refused_count() != 0) {
                EXPECT_EQ(rc, ERR_NO_MEM);
                EXPECT_EQ(m.matrix, nullptr);
                EXPECT_EQ(m.size, 0u);
                expect_rect(m, c.start, c.filled ? 2 : 0);
                hooks.fail_call(0);
                ASSERT_EQ(resize(m, c.target, 3, c.keepLarger), 0);
            } else {
                ASSERT_EQ(rc, 0);
            }
            EXPECT_EQ(m.size, 3600u);
            expect_rect(m, c.target, 3);
            fill(m);
            release(m);
        });
        EXPECT_EQ(intensity_calls, c.filled ? 2u : 1u);
    }
}

} // namespace
