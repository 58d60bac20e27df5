// Damaged files and failing streams: a data file cut short anywhere never
// reads successfully, a stream that reports an error mid-file fails with the
// code of the part being read, and a device that takes no bytes fails every
// write. Every failure returns the matrices released and leaks nothing.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pdx/datafile/data_file.h"
#include "pdx/datafile/matrix_file.h"
#include "pdx/output/output_file.h"
#include "pdx/util/errors.h"
#include "support/alloc_hooks.h"
#include "support/data_file_builder.h"
#include "support/matrix_image.h"
#include "support/temp_dir.h"

#if defined(__GLIBC__)
#include <sys/types.h>
#define PDX_TEST_COOKIE_STREAMS 1
#endif

namespace {

using namespace pdx;
namespace fs = std::filesystem;
using test_support::AllocHooks;
using test_support::Bytes;
using test_support::DataFileBuilder;
using test_support::is_released;

// A data file with both blocks; the phase block ends the file.
Bytes data_file(std::size_t header) {
    std::vector<std::uint16_t> intensity(2 * 5 * 3);
    std::vector<std::int32_t> phase(4 * 3);
    for (std::size_t i = 0; i < intensity.size(); ++i) {
        intensity[i] = static_cast<std::uint16_t>(0x0101 * i);
    }
    for (std::size_t i = 0; i < phase.size(); ++i) {
        phase[i] = static_cast<std::int32_t>(0x01010101 * i);
    }
    return DataFileBuilder(header).intensity(5, 3, 2, intensity).phase(4, 3, phase).build();
}

class IoFaultTest : public testing::Test {
  protected:
    test_support::TempDir dir_;
};

// The file is written once and cut shorter one byte at a time. Whatever the
// outputs requested, a cut inside the header is ERR_PREMATURE_EOF and a cut
// inside either block ERR_CORRUPT_DATA_FILE (an unrequested intensity block
// is skipped past the end, and the phase read then finds nothing).
TEST_F(IoFaultTest, DataFileCutAtEveryOffsetNeverReads) {
    for (std::size_t header : {std::size_t{834}, std::size_t{4096}}) {
        SCOPED_TRACE(header);
        const std::string path = dir_.file("cut.dat");
        const Bytes whole = data_file(header);
        test_support::write_file(path, whole);
        {
            PhaseMatrix phase;
            ASSERT_EQ(data_file_read(path.c_str(), nullptr, nullptr, nullptr, &phase), 0);
            release(phase);
        }
        AllocHooks hooks;
        for (std::size_t length = whole.size(); length-- > 0;) {
            fs::resize_file(path, length);
            const int want = length < header ? ERR_PREMATURE_EOF : ERR_CORRUPT_DATA_FILE;
            for (bool all : {false, true}) {
                HeaderPreamble preamble;
                HeaderBody body;
                IntensityMatrix intensity;
                PhaseMatrix phase;
                const int rc =
                    data_file_read(path.c_str(), all ? &preamble : nullptr, all ? &body : nullptr,
                                   all ? &intensity : nullptr, &phase);
                if (rc != want || !is_released(intensity) || !is_released(phase)) {
                    ADD_FAILURE() << "cut to " << length << " bytes, "
                                  << (all ? "all outputs" : "phase alone") << ": code " << rc;
                    release(intensity);
                    release(phase);
                }
            }
            ASSERT_EQ(hooks.live_blocks(), 0u) << "cut to " << length << " bytes";
        }
    }
}

TEST_F(IoFaultTest, MatrixFileCutAtEveryOffsetNeverReads) {
    const std::string path = dir_.file("cut.mat");
    for (bool bigEndian : {false, true}) {
        PhaseMatrix m;
        m.width = 3;
        m.height = 2;
        ASSERT_EQ(allocate(m), 0);
        std::memset(m.matrix, 0x5A, m.size * 4);
        ASSERT_EQ(matrix_file_write(path.c_str(), &m, bigEndian), 0);
        release(m);

        AllocHooks hooks;
        for (std::size_t length = 4 + 6 * 4; length-- > 0;) {
            SCOPED_TRACE(length);
            fs::resize_file(path, length);
            PhaseMatrix back;
            EXPECT_EQ(matrix_file_read(path.c_str(), &back, bigEndian),
                      length < 4 ? ERR_PREMATURE_EOF : ERR_CORRUPT_DATA_FILE);
            EXPECT_TRUE(is_released(back));
            release(back);
        }
        EXPECT_EQ(hooks.live_blocks(), 0u);
    }
}

// A directory opens as a stream on Linux and every read of it fails (EISDIR);
// elsewhere the open fails.
TEST_F(IoFaultTest, DirectoryReadsFail) {
    const std::string path = dir_.path().string();
    HeaderPreamble preamble;
    HeaderBody body;
    IntensityMatrix intensity;
    PhaseMatrix phase;
    PhaseMatrix m;
    AllocHooks hooks;
    const int data_rc = data_file_read(path.c_str(), &preamble, &body, &intensity, &phase);
    const int matrix_rc = matrix_file_read(path.c_str(), &m, false);
#ifdef __linux__
    EXPECT_EQ(data_rc, ERR_PREMATURE_EOF);
    EXPECT_EQ(matrix_rc, ERR_PREMATURE_EOF);
#else
    EXPECT_EQ(data_rc, ERR_CANT_OPEN_FILE);
    EXPECT_EQ(matrix_rc, ERR_CANT_OPEN_FILE);
#endif
    EXPECT_TRUE(is_released(intensity));
    EXPECT_TRUE(is_released(phase));
    EXPECT_TRUE(is_released(m));
    EXPECT_EQ(hooks.malloc_count(), 0u);
}

#ifdef PDX_TEST_COOKIE_STREAMS
// A stream over a byte vector whose reads fail once `fail_at` bytes have
// been delivered: every read from then on, or only the first (a transient
// error, after which the data goes on where it stopped). With a seek
// function the stream can seek, or, with `seek_moves` false, only tell its
// position.
struct FailingSource {
    const Bytes *bytes;
    std::size_t at = 0;
    std::size_t fail_at = SIZE_MAX;
    bool transient = false;
    bool seek_moves = true;
    bool failed = false;
};

ssize_t failing_read(void *cookie, char *buffer, std::size_t size) {
    auto *s = static_cast<FailingSource *>(cookie);
    if (s->at >= s->fail_at && !(s->transient && s->failed)) {
        s->failed = true;
        errno = EIO;
        return -1;
    }
    const std::size_t left = s->bytes->size() - std::min(s->at, s->bytes->size());
    std::size_t n = std::min(size, left);
    if (s->at < s->fail_at) {
        n = std::min(n, s->fail_at - s->at);
    }
    std::memcpy(buffer, s->bytes->data() + s->at, n);
    s->at += n;
    return static_cast<ssize_t>(n);
}

int failing_seek(void *cookie, off64_t *offset, int whence) {
    auto *s = static_cast<FailingSource *>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(s->at)
                                              : static_cast<off64_t>(s->bytes->size());
    if (base + *offset < 0 || (!s->seek_moves && base + *offset != static_cast<off64_t>(s->at))) {
        errno = ESPIPE;
        return -1;
    }
    s->at = static_cast<std::size_t>(base + *offset);
    *offset = base + *offset;
    return 0;
}

std::FILE *open_source(FailingSource &source, bool seekable) {
    cookie_io_functions_t io{};
    io.read = failing_read;
    if (seekable) {
        io.seek = failing_seek;
    }
    std::FILE *stream = fopencookie(&source, "rb", io);
    if (stream != nullptr) {
        // No buffering: the error strikes at exactly `fail_at`.
        std::setvbuf(stream, nullptr, _IONBF, 0);
    }
    return stream;
}

// The stream fails at each offset in turn: inside the header the read ends
// with ERR_PREMATURE_EOF, inside a block with ERR_CORRUPT_DATA_FILE, on a
// stream that can seek (the unrequested intensity block skipped) and one
// that cannot (the block read and dropped).
TEST_F(IoFaultTest, StreamErrorsFailWithThePartBeingRead) {
    for (std::size_t header : {std::size_t{834}, std::size_t{4096}}) {
        const Bytes bytes = data_file(header);
        const std::size_t intensity_end = header + 2 * 5 * 3 * 2;
        const std::size_t offsets[] = {0,
                                       1,
                                       4,
                                       60,
                                       header - 1,
                                       header,
                                       header + 1,
                                       intensity_end - 1,
                                       intensity_end,
                                       intensity_end + 5,
                                       bytes.size() - 1};
        for (std::size_t fail_at : offsets) {
            for (bool seekable : {false, true}) {
                for (bool all : {false, true}) {
                    SCOPED_TRACE(testing::Message()
                                 << "header " << header << ", error at " << fail_at
                                 << (seekable ? ", seekable" : ", not seekable")
                                 << (all ? ", all outputs" : ", phase alone"));
                    FailingSource source{&bytes};
                    source.fail_at = fail_at;
                    std::FILE *stream = open_source(source, seekable);
                    ASSERT_NE(stream, nullptr);
                    AllocHooks hooks;
                    HeaderPreamble preamble;
                    HeaderBody body;
                    IntensityMatrix intensity;
                    PhaseMatrix phase;
                    const int rc = data_file_read_stream(stream, all ? &preamble : nullptr,
                                                         all ? &body : nullptr,
                                                         all ? &intensity : nullptr, &phase);
                    std::fclose(stream);
                    // A skipped intensity block is never read, so with a seek
                    // an error inside it is first met in the phase block.
                    EXPECT_EQ(rc, fail_at < header ? ERR_PREMATURE_EOF : ERR_CORRUPT_DATA_FILE);
                    EXPECT_TRUE(is_released(intensity));
                    EXPECT_TRUE(is_released(phase));
                    EXPECT_EQ(hooks.live_blocks(), 0u);
                }
            }
        }
    }
}

// A transient error while an unrequested block is read past (a stream that
// cannot seek) loses the bytes of the failed read: the phase samples read
// afterwards would come from the wrong place, so the read fails instead of
// handing them out.
TEST_F(IoFaultTest, TransientErrorWhileSkippingIsNotIgnored) {
    const Bytes bytes = data_file(834);
    for (std::size_t fail_at : {std::size_t{834}, std::size_t{840}, std::size_t{893}}) {
        SCOPED_TRACE(fail_at);
        FailingSource source{&bytes};
        source.fail_at = fail_at;
        source.transient = true;
        std::FILE *stream = open_source(source, false);
        ASSERT_NE(stream, nullptr);
        PhaseMatrix phase;
        EXPECT_EQ(data_file_read_stream(stream, nullptr, nullptr, nullptr, &phase),
                  ERR_CORRUPT_DATA_FILE);
        std::fclose(stream);
        EXPECT_TRUE(is_released(phase));
    }
}

// A stream that can tell its position but not move it is read past like a
// pipe, and gives the same samples as a file.
TEST_F(IoFaultTest, StreamThatCannotMoveIsReadPast) {
    const Bytes bytes = data_file(4096);
    std::vector<std::int32_t> from_file;
    {
        const std::string path = dir_.file("whole.dat");
        test_support::write_file(path, bytes);
        PhaseMatrix phase;
        ASSERT_EQ(data_file_read(path.c_str(), nullptr, nullptr, nullptr, &phase), 0);
        from_file.assign(phase.matrix, phase.matrix + phase.size);
        release(phase);
    }
    FailingSource source{&bytes};
    source.seek_moves = false;
    std::FILE *stream = open_source(source, true);
    ASSERT_NE(stream, nullptr);
    PhaseMatrix phase;
    ASSERT_EQ(data_file_read_stream(stream, nullptr, nullptr, nullptr, &phase), 0);
    std::fclose(stream);
    EXPECT_EQ(std::vector<std::int32_t>(phase.matrix, phase.matrix + phase.size), from_file);
    release(phase);
}
#endif

#ifdef __linux__
// /dev/full takes no bytes: whether the loss shows in a write call (a large
// block) or only when the stream is flushed at the close (a few bytes), the
// write fails with ERR_CANT_WRITE_FILE, in either byte order, and the
// caller's matrix is unchanged.
TEST_F(IoFaultTest, FullDeviceFailsEveryWrite) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    const struct { int width, height; } sizes[] = {{0, 0}, {1, 1}, {1024, 1024}};
    for (const auto &s : sizes) {
        PhaseMatrix m;
        m.width = static_cast<std::int16_t>(s.width);
        m.height = static_cast<std::int16_t>(s.height);
        if (s.width > 0) {
            ASSERT_EQ(allocate(m), 0);
            for (std::uint32_t i = 0; i < m.size; ++i) {
                m.matrix[i] = static_cast<std::int32_t>(i * 2654435761u);
            }
        }
        const std::vector<std::int32_t> before(m.matrix, m.matrix + m.size);
        for (bool bigEndian : {false, true}) {
            SCOPED_TRACE(testing::Message() << s.width << "x" << s.height
                                            << (bigEndian ? " big-endian" : " little-endian"));
            AllocHooks hooks;
            EXPECT_EQ(matrix_file_write("/dev/full", &m, bigEndian), ERR_CANT_WRITE_FILE);
            EXPECT_EQ(std::vector<std::int32_t>(m.matrix, m.matrix + m.size), before);
            EXPECT_EQ(hooks.live_blocks(), 0u);
        }
        release(m);
    }
    // Pieces written past the stream: the bytes it holds are flushed first,
    // and that failure is the write's.
    UOutputFile out;
    ASSERT_EQ(out.open("/dev/full", UPublish::replace), 0);
    std::fputs("held", out.stream());
    const UOutputFile::Piece piece{"more", 4};
    EXPECT_EQ(out.write(&piece, 1), ERR_CANT_WRITE_FILE);
}

// No memory for the big-endian copy, and the dimensions already written
// cannot be flushed either: the first failure is the one reported.
TEST_F(IoFaultTest, FirstFailureWinsOnAFullDevice) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    PhaseMatrix m;
    m.width = 2;
    m.height = 2;
    ASSERT_EQ(allocate(m), 0);
    std::memset(m.matrix, 0, m.size * 4);
    {
        AllocHooks hooks;
        hooks.fail_all();
        EXPECT_EQ(matrix_file_write("/dev/full", &m, true), ERR_NO_MEM);
    }
    release(m);
}
#endif

// A record whose magic is none of the three is not widened: there is no
// header length to widen it by.
TEST(DataFileHeaderGuard, UnknownMagicLeavesTheRecordAlone) {
    DataFileHeader record;
    auto *image = reinterpret_cast<unsigned char *>(&record);
    std::memset(image, 0x5C, sizeof record);
    data_file_expand_header(&record, 0x881B0372);
    const std::vector<unsigned char> after(image, image + sizeof record);
    EXPECT_EQ(after, std::vector<unsigned char>(sizeof record, 0x5C));
}

} // namespace
