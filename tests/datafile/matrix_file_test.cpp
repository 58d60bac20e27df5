#include "pdx/datafile/matrix_file.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pdx/util/errors.h"
#include "support/alloc_hooks.h"
#include "support/matrix_image.h"
#include "support/temp_dir.h"

namespace {

using namespace pdx;
using test_support::AllocHooks;
using test_support::Bytes;
using test_support::is_released;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

using Samples = std::vector<std::int32_t>;

// The 2 x 3 example, with samples whose bytes all differ in each order.
const Samples kSamples = {1, -2, 0x01020304, INT32_MIN, INT32_MAX, 0x7F};
const Bytes kLittle = {0x02, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xFF,
                       0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00, 0x80,
                       0xFF, 0xFF, 0xFF, 0x7F, 0x7F, 0x00, 0x00, 0x00};
const Bytes kBig = {0x00, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF,
                    0xFF, 0xFE, 0x01, 0x02, 0x03, 0x04, 0x80, 0x00, 0x00, 0x00,
                    0x7F, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x7F};

const Bytes &example(bool bigEndian) {
    return bigEndian ? kBig : kLittle;
}

Samples samples_of(const PhaseMatrix &m) {
    return m.matrix ? Samples(m.matrix, m.matrix + m.width * m.height) : Samples{};
}

class MatrixFileTest : public testing::Test {
  protected:
    void SetUp() override {
        example_.width = 2;
        example_.height = 3;
        ASSERT_EQ(allocate(example_), 0);
        std::memcpy(example_.matrix, kSamples.data(), kSamples.size() * 4);
    }
    void TearDown() override { release(example_); }

    TempDir dir;
    PhaseMatrix example_;
};

// ---- matrix_file_write ----

TEST_F(MatrixFileTest, WritesTheExampleBytesAndLeavesTheMatrixAlone) {
    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        const std::string path = dir.file(bigEndian ? "be.dat" : "le.dat");
        AllocHooks hooks;
        ASSERT_EQ(matrix_file_write(path.c_str(), &example_, bigEndian), 0);
        EXPECT_EQ(read_file(path), example(bigEndian));
        // A big-endian write reverses a copy of its own, given back at once;
        // 64 bytes more let it start where the file's pages line up with it.
        ASSERT_EQ(hooks.malloc_count(), bigEndian ? 1u : 0u);
        if (bigEndian) {
            EXPECT_EQ(hooks.mallocs()[0].bytes, 24u + 64);
            EXPECT_EQ(hooks.frees(), std::vector<void *>{hooks.mallocs()[0].block});
        }
        EXPECT_EQ(samples_of(example_), kSamples);
        EXPECT_EQ(example_.size, 6u);
    }
}

// A rectangle without samples is written as its two dimensions alone (taken
// as unsigned 16-bit), and does not read back.
TEST_F(MatrixFileTest, ZeroAreaWritesOnlyTheDimensions) {
    struct Case {
        int w, h;
        bool bigEndian;
        Bytes bytes;
    };
    const Case cases[] = {
        {0, 3, false, {0x00, 0x00, 0x03, 0x00}},
        {2, 0, true, {0x00, 0x02, 0x00, 0x00}},
        {0, 0, true, {0x00, 0x00, 0x00, 0x00}},
        {-1, 0, false, {0xFF, 0xFF, 0x00, 0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
        const std::string path = dir.file("zero.dat");
        PhaseMatrix m;
        m.width = static_cast<std::int16_t>(c.w);
        m.height = static_cast<std::int16_t>(c.h);
        AllocHooks hooks;
        ASSERT_EQ(matrix_file_write(path.c_str(), &m, c.bigEndian), 0);
        EXPECT_EQ(read_file(path), c.bytes);
        EXPECT_EQ(hooks.malloc_count(), 0u);

        PhaseMatrix back;
        EXPECT_EQ(matrix_file_read(path.c_str(), &back, c.bigEndian), ERR_PARAM_OUT_OF_RANGE);
        EXPECT_TRUE(is_released(back));
        // The shape such a file has, for a caller that gives it one.
        int w = -2, h = -2;
        EXPECT_EQ(matrix_file_read_shape(path.c_str(), c.bigEndian, &w, &h),
                  c.w < 0 ? ERR_PARAM_OUT_OF_RANGE : 0);
        EXPECT_EQ(w, static_cast<std::uint16_t>(c.w));
        EXPECT_EQ(h, c.h);
    }
    int w = 0, h = 0;
    write_file(dir.file("short.dat"), Bytes{0x00, 0x00, 0x03});
    EXPECT_EQ(matrix_file_read_shape(dir.file("short.dat").c_str(), false, &w, &h),
              ERR_PREMATURE_EOF);
}

// The shape alone, of dimensions that take both bytes, at and just past the
// largest a matrix may have, in each byte order; the samples that follow
// are not read, and no file is left open. Nowhere to put it, or no file.
TEST_F(MatrixFileTest, ShapeInEachByteOrderUpToTheLargest) {
    struct Case {
        Bytes head;
        bool bigEndian;
        int w, h, code;
    };
    const Case cases[] = {
        {{0x7F, 0xFF, 0x01, 0x02}, true, 32767, 0x0102, 0},
        {{0x02, 0x01, 0xFF, 0x7F}, false, 0x0102, 32767, 0},
        {{0x7F, 0xFF, 0x80, 0x00}, true, 32767, 32768, ERR_PARAM_OUT_OF_RANGE},
        {{0x00, 0x80, 0x01, 0x00}, false, 32768, 1, ERR_PARAM_OUT_OF_RANGE},
    };
    const std::string path = dir.file("shape.bin");
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
        Bytes bytes = c.head;
        bytes.resize(16, 0x55);
        write_file(path, bytes);
        const int descriptor = test_support::lowest_free_descriptor();
        int w = 0, h = 0;
        EXPECT_EQ(matrix_file_read_shape(path.c_str(), c.bigEndian, &w, &h), c.code);
        EXPECT_EQ(test_support::lowest_free_descriptor(), descriptor) << "left open";
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
    }
    int n = 0;
    EXPECT_EQ(matrix_file_read_shape(path.c_str(), false, &n, nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(matrix_file_read_shape(path.c_str(), false, nullptr, &n), ERR_INVALID_PARAM);
    EXPECT_EQ(matrix_file_read_shape(dir.file("missing.bin").c_str(), false, &n, &n),
              ERR_CANT_OPEN_FILE);
}

// No matrix, or one whose buffer holds fewer samples than its dimensions
// announce: refused before the file is created or truncated.
TEST_F(MatrixFileTest, WriteRefusesAMatrixThatDoesNotHoldItsSamples) {
    PhaseMatrix five; // a real buffer of 5 samples under a 2 x 3 rectangle
    five.width = 5;
    five.height = 1;
    ASSERT_EQ(allocate(five), 0);
    five.width = 2;
    five.height = 3;

    PhaseMatrix no_buffer; // not even one sample
    no_buffer.width = 1;
    no_buffer.height = 1;
    PhaseMatrix stale_size; // a size without a buffer counts for nothing
    stale_size.width = 2;
    stale_size.height = 3;
    stale_size.size = 6;
    PhaseMatrix negative_width; // width -1 is 65535 samples to a row
    negative_width.width = -1;
    negative_width.height = 1;
    ASSERT_EQ(allocate(negative_width), ERR_PARAM_OUT_OF_RANGE);
    negative_width.matrix = example_.matrix;
    negative_width.size = example_.size;

    const std::pair<const char *, const PhaseMatrix *> cases[] = {
        {"no matrix", nullptr},
        {"no buffer", &no_buffer},
        {"stale size", &stale_size},
        {"buffer too small", &five},
        {"negative width", &negative_width},
    };
    const std::string fresh = dir.file("fresh.dat");
    const std::string existing = dir.file("existing.dat");
    write_file(existing, {1, 2, 3});
    for (const auto &[name, matrix] : cases) {
        for (bool bigEndian : {false, true}) {
            SCOPED_TRACE(name);
            EXPECT_EQ(matrix_file_write(fresh.c_str(), matrix, bigEndian), ERR_INVALID_PARAM);
            EXPECT_EQ(matrix_file_write(existing.c_str(), matrix, bigEndian), ERR_INVALID_PARAM);
            EXPECT_FALSE(std::filesystem::exists(fresh));
            EXPECT_EQ(read_file(existing), (Bytes{1, 2, 3}));
        }
    }
    negative_width.matrix = nullptr; // not its buffer
    release(five);
}

TEST_F(MatrixFileTest, WriteFailures) {
    EXPECT_EQ(matrix_file_write(dir.file("missing/out.dat").c_str(), &example_, false),
              ERR_CANT_OPEN_FILE);
    EXPECT_EQ(matrix_file_write("", &example_, false), ERR_CANT_OPEN_FILE);

    // No memory for the big-endian copy: no file is created.
    const std::string path = dir.file("nomem.dat");
    {
        AllocHooks hooks;
        hooks.fail_all();
        EXPECT_EQ(matrix_file_write(path.c_str(), &example_, true), ERR_NO_MEM);
        EXPECT_EQ(hooks.free_count(), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(samples_of(example_), kSamples);
}

// The 28 bytes fit the stream's buffer, so only the close can report that
// the device is full.
TEST_F(MatrixFileTest, FailedCloseIsAFailedWrite) {
#ifdef _WIN32
    GTEST_SKIP() << "no /dev/full";
#else
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    EXPECT_EQ(matrix_file_write("/dev/full", &example_, false), ERR_CANT_WRITE_FILE);
    EXPECT_EQ(matrix_file_write("/dev/full", &example_, true), ERR_CANT_WRITE_FILE);
#endif
}

// ---- matrix_file_read ----

// Matrix to file to matrix, and file to matrix to file, in either order.
TEST_F(MatrixFileTest, RoundTripsInEachByteOrder) {
    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        const std::string first = dir.file("first.dat");
        const std::string second = dir.file("second.dat");
        ASSERT_EQ(matrix_file_write(first.c_str(), &example_, bigEndian), 0);

        PhaseMatrix m;
        m.x = 40;
        m.y = 50;
        ASSERT_EQ(matrix_file_read(first.c_str(), &m, bigEndian), 0);
        EXPECT_EQ(m.x, 0);
        EXPECT_EQ(m.y, 0);
        EXPECT_EQ(m.width, 2);
        EXPECT_EQ(m.height, 3);
        EXPECT_EQ(m.size, 6u);
        EXPECT_EQ(samples_of(m), kSamples);

        write_file(first, example(bigEndian));
        release(m);
        ASSERT_EQ(matrix_file_read(first.c_str(), &m, bigEndian), 0);
        ASSERT_EQ(matrix_file_write(second.c_str(), &m, bigEndian), 0);
        EXPECT_EQ(read_file(second), example(bigEndian));
        release(m);
    }
}

// Files of the wrong length or with out-of-range dimensions, in the byte
// order the reader is told. Dimensions above 32767, and samples the file
// is too short to hold, are refused before any sample memory is asked for.
TEST_F(MatrixFileTest, ReadRejectsBadFiles) {
    auto with_dims = [](std::uint16_t w, std::uint16_t h, bool bigEndian, std::size_t samples) {
        Bytes b = bigEndian ? Bytes{std::uint8_t(w >> 8), std::uint8_t(w), std::uint8_t(h >> 8),
                                    std::uint8_t(h)}
                            : Bytes{std::uint8_t(w), std::uint8_t(w >> 8), std::uint8_t(h),
                                    std::uint8_t(h >> 8)};
        b.resize(b.size() + samples * 4, 0x5A);
        return b;
    };
    Bytes truncated = kLittle;
    truncated.pop_back();
    struct Case {
        const char *name;
        Bytes bytes;
        bool bigEndian;
        int code;
        std::size_t asked; // bytes of sample memory asked for; 0: none
    };
    const Case cases[] = {
        {"empty", {}, false, ERR_PREMATURE_EOF, 0},
        {"1 byte", {0x02}, true, ERR_PREMATURE_EOF, 0},
        {"2 bytes", {0x02, 0x00}, false, ERR_PREMATURE_EOF, 0},
        {"3 bytes", {0x02, 0x00, 0x03}, true, ERR_PREMATURE_EOF, 0},
        {"width 32768", with_dims(32768, 1, false, 32768), false, ERR_PARAM_OUT_OF_RANGE, 0},
        {"height 32768", with_dims(1, 32768, true, 32768), true, ERR_PARAM_OUT_OF_RANGE, 0},
        {"both 65535", with_dims(65535, 65535, false, 8), false, ERR_PARAM_OUT_OF_RANGE, 0},
        {"width 32767, no samples", with_dims(32767, 1, true, 0), true, ERR_CORRUPT_DATA_FILE, 0},
        {"height 32767, no samples", with_dims(1, 32767, false, 0), false, ERR_CORRUPT_DATA_FILE,
         0},
        {"one byte short", truncated, false, ERR_CORRUPT_DATA_FILE, 0},
        // Big-endian 2 x 3 seen little-endian: 512 x 768 with 6 samples.
        {"wrong byte order", kBig, false, ERR_CORRUPT_DATA_FILE, 0},
    };
    const std::string path = dir.file("bad.dat");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(path, c.bytes);
        PhaseMatrix m;
        AllocHooks hooks;
        const int descriptor = test_support::lowest_free_descriptor();
        EXPECT_EQ(matrix_file_read(path.c_str(), &m, c.bigEndian), c.code);
        EXPECT_EQ(test_support::lowest_free_descriptor(), descriptor) << "the file was left open";
        EXPECT_TRUE(is_released(m));
        ASSERT_EQ(hooks.malloc_count(), c.asked ? 1u : 0u);
        if (c.asked) {
            EXPECT_EQ(hooks.mallocs()[0].bytes, c.asked);
        }
        EXPECT_EQ(hooks.live_blocks(), 0u);
    }
}

TEST_F(MatrixFileTest, ReadIgnoresTrailingBytes) {
    for (bool bigEndian : {false, true}) {
        Bytes bytes = example(bigEndian);
        bytes.insert(bytes.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x01});
        const std::string path = dir.file("long.dat");
        write_file(path, bytes);
        PhaseMatrix m;
        ASSERT_EQ(matrix_file_read(path.c_str(), &m, bigEndian), 0);
        EXPECT_EQ(m.size, 6u);
        EXPECT_EQ(samples_of(m), kSamples);
        release(m);
    }
}

TEST_F(MatrixFileTest, ReadFailuresReturnTheMatrixReleased) {
    const std::string good = dir.file("good.dat");
    write_file(good, kLittle);
    const std::string missing = dir.file("missing.dat");

    // No matrix: 242 even for a path that cannot be opened, so nothing is.
    EXPECT_EQ(matrix_file_read(good.c_str(), nullptr, false), ERR_INVALID_PARAM);
    EXPECT_EQ(matrix_file_read(missing.c_str(), nullptr, false), ERR_INVALID_PARAM);

    for (const std::string &path : {missing, std::string()}) {
        PhaseMatrix m;
        m.width = 7; // dimensions without a buffer: still released
        m.height = 9;
        EXPECT_EQ(matrix_file_read(path.c_str(), &m, false), ERR_CANT_OPEN_FILE);
        EXPECT_TRUE(is_released(m));
    }

    AllocHooks hooks;
    hooks.fail_all();
    PhaseMatrix m;
    EXPECT_EQ(matrix_file_read(good.c_str(), &m, false), ERR_NO_MEM);
    EXPECT_TRUE(is_released(m));
}

// A single sample is reversed like any other; a pipe, whose length cannot be
// known beforehand, fails at the read when it is short.
TEST_F(MatrixFileTest, SingleSampleAndShortPipe) {
    PhaseMatrix one;
    set_region(one, Region{0, 0, 1, 1});
    ASSERT_EQ(allocate(one), 0);
    one.matrix[0] = 0x01020304;
    ASSERT_EQ(matrix_file_write(dir.file("one.dat").c_str(), &one, true), 0);
    EXPECT_EQ(read_file(dir.file("one.dat")), (Bytes{0, 1, 0, 1, 1, 2, 3, 4}));
    release(one);
#ifndef _WIN32
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], kLittle.data(), kLittle.size() - 1), ssize_t(kLittle.size() - 1));
    close(fds[1]);
    PhaseMatrix m;
    const std::string path = "/dev/fd/" + std::to_string(fds[0]);
    EXPECT_EQ(matrix_file_read(path.c_str(), &m, false), ERR_CORRUPT_DATA_FILE);
    EXPECT_TRUE(is_released(m));
    close(fds[0]);
#endif
}

// ---- paths ----

TEST_F(MatrixFileTest, MarkedWidePathsReachNonAsciiNames) {
    const std::filesystem::path name =
        dir.path() / std::filesystem::path(u8"m\u00e4trix_\u03c6.dat");
    ASSERT_EQ(matrix_file_write(test_support::wide_path_of(name, true).c_str(), &example_, false),
              0);
    ASSERT_TRUE(std::filesystem::is_regular_file(name));
    EXPECT_EQ(read_file(name), kLittle);

    PhaseMatrix m;
    ASSERT_EQ(matrix_file_read(test_support::wide_path_of(name, false).c_str(), &m, false), 0);
    EXPECT_EQ(samples_of(m), kSamples);
    release(m);

    const std::filesystem::path other = dir.path() / std::filesystem::path(u8"\u00f8ther.dat");
    EXPECT_EQ(matrix_file_read(test_support::wide_path_of(other).c_str(), &m, false),
              ERR_CANT_OPEN_FILE);
}

} // namespace
