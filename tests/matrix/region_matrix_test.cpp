#include "pdx/matrix/region_matrix.h"

#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pdx/util/errors.h"
#include "support/alloc_hooks.h"

namespace {

using namespace pdx;
using test_support::AllocHooks;

// Every field of a record, compared at once.
struct PhaseFields {
    std::uint32_t size;
    int x, y, width, height;
    const void *matrix;
    bool operator==(const PhaseFields &) const = default;
};
struct IntensityFields {
    std::uint32_t size;
    int x, y, width, height, n_buckets, tag;
    const void *matrix;
    bool operator==(const IntensityFields &) const = default;
};
PhaseFields fields(const PhaseMatrix &m) {
    return {m.size, m.x, m.y, m.width, m.height, m.matrix};
}
IntensityFields fields(const IntensityMatrix &m) {
    return {m.size, m.x, m.y, m.width, m.height, m.n_buckets, m.tag, m.matrix};
}
std::ostream &operator<<(std::ostream &os, const PhaseFields &f) {
    return os << "size " << f.size << " at " << f.x << "," << f.y << " " << f.width << "x"
              << f.height << " buffer " << f.matrix;
}
std::ostream &operator<<(std::ostream &os, const IntensityFields &f) {
    return os << "size " << f.size << " at " << f.x << "," << f.y << " " << f.width << "x"
              << f.height << " buckets " << f.n_buckets << " tag " << f.tag << " buffer "
              << f.matrix;
}

// Writes a rectangle into a record.
void shape(PhaseMatrix &m, int x, int y, int w, int h) {
    m.x = static_cast<std::int16_t>(x);
    m.y = static_cast<std::int16_t>(y);
    m.width = static_cast<std::int16_t>(w);
    m.height = static_cast<std::int16_t>(h);
}
void shape(IntensityMatrix &m, int buckets, int w, int h) {
    m.x = 3;
    m.y = 4;
    m.width = static_cast<std::int16_t>(w);
    m.height = static_cast<std::int16_t>(h);
    m.n_buckets = static_cast<std::int16_t>(buckets);
    m.tag = 0xBEEF;
}

// ---- allocate ----

TEST(Allocate, ObtainsExactlyTheSamplesOfTheRectangle) {
    AllocHooks hooks;
    PhaseMatrix p;
    shape(p, 5, 6, 2, 3);
    ASSERT_EQ(allocate(p), 0);
    IntensityMatrix i;
    shape(i, 4, 2, 3);
    ASSERT_EQ(allocate(i), 0);
    ASSERT_EQ(hooks.malloc_count(), 2u);
    EXPECT_EQ(fields(p), (PhaseFields{6, 5, 6, 2, 3, hooks.mallocs()[0].block}));
    EXPECT_EQ(hooks.mallocs()[0].bytes, 24u);
    EXPECT_EQ(fields(i), (IntensityFields{24, 3, 4, 2, 3, 4, 0xBEEF, hooks.mallocs()[1].block}));
    EXPECT_EQ(hooks.mallocs()[1].bytes, 48u);
    release(p);
    release(i);
    EXPECT_EQ(hooks.live_blocks(), 0u);
}

// A count of zero, a negative factor, or too many samples for `size`: 333,
// the record untouched and no memory asked for.
TEST(Allocate, RefusedCountsLeaveTheRecordAndCallNoHook) {
    struct Case {
        bool phase; // else an IntensityMatrix with `buckets`
        int buckets, w, h;
    };
    const Case cases[] = {
        {true, 0, 0, 5},
        {true, 0, 5, 0},
        {true, 0, 0, 0},
        {true, 0, -1, 5},
        {true, 0, 7, -3},
        {true, 0, -2, -3}, // a positive product
        {false, 0, 2, 3},
        {false, 1, 0, 3},
        {false, 2, -2, 3},
        {false, -2, 3, 4},
        {false, 5, 32767, 32767}, // beyond 32 bits
        {false, 32767, 32767, 32767},
        {false, -32768, 32767, 32767},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.phase << ": " << c.buckets << " x " << c.w << " x " << c.h);
        AllocHooks hooks;
        if (c.phase) {
            PhaseMatrix m;
            shape(m, 1, 2, c.w, c.h);
            const PhaseFields before = fields(m);
            EXPECT_EQ(allocate(m), ERR_PARAM_OUT_OF_RANGE);
            EXPECT_EQ(fields(m), before);
        } else {
            IntensityMatrix m;
            shape(m, c.buckets, c.w, c.h);
            const IntensityFields before = fields(m);
            EXPECT_EQ(allocate(m), ERR_PARAM_OUT_OF_RANGE);
            EXPECT_EQ(fields(m), before);
        }
        EXPECT_EQ(hooks.malloc_count(), 0u);
        EXPECT_EQ(hooks.free_count(), 0u);
    }
}

// The largest counts are formed without overflow and asked for in full; the
// refusing allocator then gives 320 with the documented state.
TEST(Allocate, NoMemoryLeavesTheMatrixEmpty) {
    AllocHooks hooks;
    hooks.fail_all();

    PhaseMatrix p;

    shape(p, 7, 8, 32767, 32767);
    EXPECT_EQ(allocate(p), ERR_NO_MEM);
    EXPECT_EQ(fields(p), (PhaseFields{0, 7, 8, 32767, 32767, nullptr}));

    // 3 * 32767 * 32767 samples overflow a signed 32-bit product but fit
    // `size`.
    IntensityMatrix i;
    shape(i, 3, 32767, 32767);
    EXPECT_EQ(allocate(i), ERR_NO_MEM);
    EXPECT_EQ(fields(i), (IntensityFields{0, 3, 4, 0, 0, 0, 0xBEEF, nullptr}));

    ASSERT_EQ(hooks.malloc_count(), 2u);
    EXPECT_EQ(hooks.mallocs()[0].bytes, std::size_t{32767} * 32767 * 4);
    EXPECT_EQ(hooks.mallocs()[1].bytes, std::size_t{3} * 32767 * 32767 * 2);

    release(p);
    release(i);
    EXPECT_EQ(hooks.free_count(), 0u);
}

// ---- release ----

TEST(Release, FreesOnceAndKeepsTheOriginAndTag) {
    AllocHooks hooks;
    PhaseMatrix fresh;
    release(fresh);
    EXPECT_EQ(fields(fresh), (PhaseFields{0, 0, 0, 0, 0, nullptr}));
    IntensityMatrix fresh_i;
    release(fresh_i);
    EXPECT_EQ(fields(fresh_i), (IntensityFields{0, 0, 0, 0, 0, 0, 0, nullptr}));
    EXPECT_EQ(hooks.free_count(), 0u);

    PhaseMatrix p;

    shape(p, -5, 9, 4, 4);
    IntensityMatrix i;
    shape(i, 2, 4, 4);
    ASSERT_EQ(allocate(p), 0);
    ASSERT_EQ(allocate(i), 0);
    for (int round = 0; round < 2; ++round) {
        release(p);
        release(i);
    }
    EXPECT_EQ(fields(p), (PhaseFields{0, -5, 9, 0, 0, nullptr}));
    EXPECT_EQ(fields(i), (IntensityFields{0, 3, 4, 0, 0, 0, 0xBEEF, nullptr}));
    ASSERT_EQ(hooks.free_count(), 2u);
    EXPECT_EQ(hooks.frees()[0], hooks.mallocs()[0].block);
    EXPECT_EQ(hooks.frees()[1], hooks.mallocs()[1].block);
}

// ---- ownership ----

// A matrix with a buffer, handed back by value.
template <typename Matrix> Matrix made(int w) {
    Matrix m;
    if constexpr (std::is_same_v<Matrix, PhaseMatrix>) {
        shape(m, 5, 6, w, 2);
    } else {
        shape(m, 3, w, 2);
    }
    EXPECT_EQ(allocate(m), 0);
    return m;
}

// Destruction gives the buffer back; a move hands every field over and leaves
// the source as a new matrix; moving into a filled matrix frees its buffer
// first; moving a matrix into itself changes nothing.
template <typename Matrix> void expect_owns_and_moves() {
    AllocHooks hooks;
    {
        Matrix a = made<Matrix>(4);
        const auto before = fields(a);
        Matrix b(std::move(a));
        Matrix c = made<Matrix>(3);
        void *const replaced = c.matrix;
        c = std::move(b);
        Matrix &same = c;
        c = std::move(same);
        EXPECT_EQ(fields(a), fields(Matrix{}));
        EXPECT_EQ(fields(b), fields(Matrix{}));
        EXPECT_EQ(fields(c), before);
        EXPECT_EQ(hooks.frees(), std::vector<void *>{replaced});
        std::vector<Matrix> kept;
        kept.push_back(std::move(c));
        kept.push_back(made<Matrix>(1)); // the vector grows: kept[0] moves
        EXPECT_EQ(fields(kept[0]), before);
    }
    EXPECT_EQ(hooks.free_count(), 3u);
    EXPECT_EQ(hooks.live_blocks(), 0u);
}

TEST(Ownership, DestructionFreesAndMovesHandTheBufferOver) {
    expect_owns_and_moves<PhaseMatrix>();
    expect_owns_and_moves<IntensityMatrix>();
}

// ---- resize ----

struct ResizeCase {
    const char *name;
    int from_w, from_h; // 0: start from a new matrix
    int to_w, to_h;
    bool keepLarger;
    bool new_buffer;
    std::uint32_t size_after;
};

const ResizeCase kResizeCases[] = {
    {"smaller, keep", 100, 100, 50, 50, true, false, 10000},
    {"smaller, no keep", 100, 100, 50, 50, false, true, 2500},
    {"equal count, other shape", 100, 100, 50, 200, false, false, 10000},
    {"equal count, keep", 100, 100, 200, 50, true, false, 10000},
    {"larger, keep", 100, 100, 101, 100, true, true, 10100},
    {"larger, no keep", 100, 100, 100, 101, false, true, 10100},
    {"from new", 0, 0, 3, 2, true, true, 6},
};

TEST(Resize, KeepsTheBufferOnlyWhenItIsLargeEnoughAndAllowed) {
    for (const ResizeCase &c : kResizeCases) {
        SCOPED_TRACE(c.name);
        AllocHooks hooks;
        PhaseMatrix m;
        shape(m, 1, 1, c.from_w, c.from_h);
        if (c.from_w != 0) {
            ASSERT_EQ(allocate(m), 0);
        }
        void *const old = m.matrix;
        const Region r{-2, 7, static_cast<std::int16_t>(c.to_w), static_cast<std::int16_t>(c.to_h)};
        ASSERT_EQ(resize(m, r, c.keepLarger), 0);
        EXPECT_EQ(m.size, c.size_after);
        EXPECT_EQ(fields(m).x, -2);
        EXPECT_EQ(fields(m).y, 7);
        EXPECT_EQ(m.width, c.to_w);
        EXPECT_EQ(m.height, c.to_h);
        const std::size_t before = c.from_w != 0 ? 1 : 0;
        if (c.new_buffer) {
            ASSERT_EQ(hooks.malloc_count(), before + 1);
            EXPECT_EQ(hooks.mallocs().back().bytes, std::size_t{c.size_after} * 4);
            EXPECT_EQ(static_cast<void *>(m.matrix), hooks.mallocs().back().block);
            EXPECT_EQ(hooks.free_count(), before);
            if (before) {
                EXPECT_EQ(hooks.frees()[0], old);
            }
        } else {
            EXPECT_EQ(hooks.malloc_count(), before);
            EXPECT_EQ(hooks.free_count(), 0u);
            EXPECT_EQ(m.matrix, old);
        }
        release(m);
        EXPECT_EQ(hooks.live_blocks(), 0u);
    }
}

TEST(Resize, IntensityCountsBucketsAndStoresThem) {
    AllocHooks hooks;
    IntensityMatrix m;
    shape(m, 4, 10, 10);
    ASSERT_EQ(allocate(m), 0);
    std::uint16_t *const first = m.matrix;

    ASSERT_EQ(resize(m, Region{0, 0, 20, 10}, 2, false), 0); // 400 samples again
    EXPECT_EQ(fields(m), (IntensityFields{400, 0, 0, 20, 10, 2, 0xBEEF, first}));
    ASSERT_EQ(resize(m, Region{1, 1, 10, 10}, 1, true), 0); // 100, kept
    EXPECT_EQ(fields(m), (IntensityFields{400, 1, 1, 10, 10, 1, 0xBEEF, first}));
    ASSERT_EQ(resize(m, Region{1, 1, 10, 10}, 5, true), 0); // 500, new
    EXPECT_EQ(m.size, 500u);
    EXPECT_EQ(m.n_buckets, 5);
    EXPECT_EQ(hooks.malloc_count(), 2u);
    EXPECT_EQ(hooks.mallocs()[1].bytes, 1000u);
    ASSERT_EQ(hooks.free_count(), 1u);
    EXPECT_EQ(hooks.frees()[0], first);
    ASSERT_EQ(resize(m, Region{0, 0, 1, 1}, 32767, false), 0); // the most buckets there can be
    EXPECT_EQ(m.n_buckets, 32767);
    release(m);
}

// A zero area frees the buffer and succeeds; the old rectangle (and bucket
// count) stay in the record, even when another factor is out of range.
TEST(Resize, ZeroCountFreesAndKeepsTheOldRectangle) {
    AllocHooks hooks;
    PhaseMatrix p;
    shape(p, 2, 3, 4, 5);
    ASSERT_EQ(allocate(p), 0);
    ASSERT_EQ(resize(p, Region{9, 9, 0, 8}, true), 0);
    EXPECT_EQ(fields(p), (PhaseFields{0, 2, 3, 4, 5, nullptr}));

    IntensityMatrix i;

    shape(i, 2, 4, 5);
    ASSERT_EQ(allocate(i), 0);
    ASSERT_EQ(resize(i, Region{9, 9, 6, 0}, -3, true), 0);
    EXPECT_EQ(fields(i), (IntensityFields{0, 3, 4, 4, 5, 2, 0xBEEF, nullptr}));
    ASSERT_EQ(resize(i, Region{9, 9, 6, 6}, 0, true), 0);
    EXPECT_EQ(fields(i), (IntensityFields{0, 3, 4, 4, 5, 2, 0xBEEF, nullptr}));

    EXPECT_EQ(hooks.malloc_count(), 2u);
    EXPECT_EQ(hooks.free_count(), 2u);
    EXPECT_EQ(hooks.live_blocks(), 0u);
}

// A record without a buffer but with a stale `size` must not be taken to
// hold that many samples.
TEST(Resize, StaleSizeWithoutBufferCountsAsEmpty) {
    AllocHooks hooks;
    PhaseMatrix m;
    m.size = 1000;
    ASSERT_EQ(resize(m, Region{0, 0, 1, 1}, true), 0);
    ASSERT_EQ(hooks.malloc_count(), 1u);
    EXPECT_EQ(m.size, 1u);
    EXPECT_NE(m.matrix, nullptr);
    release(m);
}

// Both failures leave the matrix empty with its previous rectangle and
// bucket count; a refused count asks for no memory.
TEST(Resize, FailuresLeaveTheMatrixEmptyWithTheOldRectangle) {
    struct Case {
        const char *name;
        int buckets, w, h; // an IntensityMatrix gets all three, a PhaseMatrix w and h
        bool fail_malloc;
        int code;
        bool phase_too; // the same rectangle fails for a PhaseMatrix
    };
    const Case cases[] = {
        {"no memory", 3, 20, 20, true, ERR_NO_MEM, true},
        {"negative width", 1, -20, 2, false, ERR_PARAM_OUT_OF_RANGE, true},
        {"both sides negative", 1, -20, -2, false, ERR_PARAM_OUT_OF_RANGE, true},
        {"negative buckets", -1, 20, 2, false, ERR_PARAM_OUT_OF_RANGE, false},
        {"buckets beyond 16 bits", 40000, 2, 2, false, ERR_PARAM_OUT_OF_RANGE, false},
        {"count beyond 32 bits", 5, 32767, 32767, false, ERR_PARAM_OUT_OF_RANGE, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Region r{9, 9, static_cast<std::int16_t>(c.w), static_cast<std::int16_t>(c.h)};
        const std::size_t mallocs = c.fail_malloc ? 1 : 0; // the refused one

        AllocHooks hooks;
        IntensityMatrix i;
        shape(i, 2, 4, 5);
        ASSERT_EQ(allocate(i), 0);
        hooks.fail_all(c.fail_malloc);
        EXPECT_EQ(resize(i, r, c.buckets, true), c.code);
        EXPECT_EQ(fields(i), (IntensityFields{0, 3, 4, 4, 5, 2, 0xBEEF, nullptr}));
        EXPECT_EQ(hooks.malloc_count(), 1 + mallocs);
        EXPECT_EQ(hooks.free_count(), 1u);

        if (c.phase_too) {
            hooks.fail_all(false);
            PhaseMatrix p;
            shape(p, 2, 3, 4, 5);
            ASSERT_EQ(allocate(p), 0);
            hooks.fail_all(c.fail_malloc);
            EXPECT_EQ(resize(p, r, false), c.code);
            EXPECT_EQ(fields(p), (PhaseFields{0, 2, 3, 4, 5, nullptr}));
            release(p);
        }
        EXPECT_EQ(hooks.live_blocks(), 0u);
        release(i);
    }
}

} // namespace
