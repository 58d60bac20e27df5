#include "pdx/datafile/data_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pdx/util/errors.h"
#include "pdx/util/hooks.h"
#include "support/alloc_hooks.h"
#include "support/data_file_builder.h"
#include "support/matrix_image.h"
#include "support/temp_dir.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

using namespace pdx;
using test_support::Bytes;
using test_support::DataFileBuilder;
using test_support::is_released;
using test_support::put16;
using test_support::put32;
namespace at = test_support::data_file_offset;

// Everything a read can produce, with helpers to compare it.
struct Outputs {
    HeaderPreamble preamble;
    HeaderBody body;
    IntensityMatrix intensity;
    PhaseMatrix phase;

    Outputs() {
        // Recognisable contents for "not touched"; matrices must be empty.
        std::memset(&preamble, 0xEE, sizeof preamble);
        std::memset(&body, 0xEE, sizeof body);
    }
    ~Outputs() {
        release(intensity);
        release(phase);
    }
    Outputs(const Outputs &) = delete;
    Outputs &operator=(const Outputs &) = delete;

    std::vector<std::uint16_t> intensity_samples() const {
        return std::vector<std::uint16_t>(intensity.matrix, intensity.matrix + intensity.size);
    }
    std::vector<std::int32_t> phase_samples() const {
        return std::vector<std::int32_t>(phase.matrix, phase.matrix + phase.size);
    }
};

bool same_bytes(const void *a, const void *b, std::size_t n) {
    return std::memcmp(a, b, n) == 0;
}

bool untouched(const HeaderPreamble &p) {
    HeaderPreamble sentinel;
    std::memset(&sentinel, 0xEE, sizeof sentinel);
    return same_bytes(&p, &sentinel, sizeof p);
}

bool untouched(const HeaderBody &b) {
    HeaderBody sentinel;
    std::memset(&sentinel, 0xEE, sizeof sentinel);
    return same_bytes(&b, &sentinel, sizeof b);
}

// Empty: as a new matrix, every field zero.
void expect_empty(const IntensityMatrix &m) {
    EXPECT_TRUE(is_released(m));
    EXPECT_EQ(m.x, 0);
    EXPECT_EQ(m.y, 0);
    EXPECT_EQ(m.tag, 0);
}

void expect_empty(const PhaseMatrix &m) {
    EXPECT_TRUE(is_released(m));
    EXPECT_EQ(m.x, 0);
    EXPECT_EQ(m.y, 0);
}

// The valid file the failure cases start from: a 4096-byte header with a
// preamble and a body, 2 frames of 3 x 2 intensity samples at (5, 6), and
// 3 x 2 phase samples at (7, 8).
const std::vector<std::uint16_t> kIntensity = {1,      2,      3,      0x8000, 0xFFFF, 0x1234,
                                               0x0102, 0xA0B0, 0x00FF, 7,      8,      9};
const std::vector<std::int32_t> kPhase = {1, -1, 0x12345678, INT32_MIN, INT32_MAX, -123456};
constexpr std::size_t kIntensityBytes = 24;
constexpr std::size_t kPhaseBytes = 24;

DataFileBuilder valid_builder(std::size_t header_length = 4096, std::uint32_t magic = 0) {
    DataFileBuilder b(header_length, magic);
    b.set16(10, 0x0A0B);
    b.set_bytes(12, Bytes{'p', 'r', 'e', 'a', 'm', 'b', 'l', 'e'});
    b.set16(46, 0x4647);
    b.set32(76, 0x76777879);
    b.set_bytes(80, Bytes{'b', 'o', 'd', 'y'});
    b.set16(816, 0x0816);
    b.set16(at::intens_x, 5).set16(at::intens_y, 6).set16(at::intens_tag, 0xBEEF);
    b.intensity(3, 2, 2, kIntensity);
    b.set16(at::phase_x, 7).set16(at::phase_y, 8);
    b.phase(3, 2, kPhase);
    return b;
}

class DataFileReadTest : public testing::Test {
  protected:
    // Writes `bytes` to a scratch file and reads it with the outputs chosen.
    int read(const Bytes &bytes, Outputs &out, bool preamble = true, bool body = true,
             bool intensity = true, bool phase = true) {
        test_support::write_file(path_, bytes);
        const int descriptor = test_support::lowest_free_descriptor();
        const int rc = data_file_read(
            path_.c_str(), preamble ? &out.preamble : nullptr, body ? &out.body : nullptr,
            intensity ? &out.intensity : nullptr, phase ? &out.phase : nullptr);
        EXPECT_EQ(test_support::lowest_free_descriptor(), descriptor) << "the file was left open";
        return rc;
    }

    // Reads `bytes` through data_file_read_stream and reports where the
    // stream stands afterwards.
    int read_stream(const Bytes &bytes, Outputs &out, long *position, bool intensity = true,
                    bool phase = true) {
        test_support::write_file(path_, bytes);
        std::FILE *f = std::fopen(path_.c_str(), "rb");
        EXPECT_NE(f, nullptr);
        if (f == nullptr) {
            return -1;
        }
        const int rc =
            data_file_read_stream(f, &out.preamble, &out.body, intensity ? &out.intensity : nullptr,
                                  phase ? &out.phase : nullptr);
        *position = std::ftell(f);
        std::fclose(f);
        return rc;
    }

    // Reads the header of the file written last, then its phase map into
    // `map` or its frames into `frames`, with room for `room` samples.
    int read_block(bool phase, std::vector<std::uint16_t> &frames, std::vector<std::int32_t> &map,
                   std::size_t room) {
        std::FILE *f = std::fopen(path_.c_str(), "rb");
        EXPECT_NE(f, nullptr);
        if (f == nullptr) {
            return -1;
        }
        DataFileHeader record;
        std::size_t length = 0;
        int rc = data_file_read_header(f, &record, &length);
        if (rc == 0) {
            rc = phase ? data_file_read_phase_samples(f, record, map.data(), room)
                       : data_file_read_intensity_samples(f, record, frames.data(), room);
        }
        std::fclose(f);
        return rc;
    }

    test_support::TempDir dir_;
    std::string path_ = dir_.file("data.dat");
};

TEST_F(DataFileReadTest, ValidFileFillsEveryOutput) {
    for (std::size_t length : {std::size_t{4096}, std::size_t{834}}) {
        SCOPED_TRACE(length);
        Outputs out;
        ASSERT_EQ(read(valid_builder(length).build(), out), 0);
        EXPECT_EQ(out.preamble.f_10, 0x0A0B);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(out.preamble.bytes_12), 8),
                  "preamble");
        EXPECT_EQ(out.preamble.bytes_12[8], 0);
        EXPECT_EQ(out.preamble.f_46, 0x4647);
        EXPECT_EQ(out.body.f_76, 0x76777879u);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(out.body.bytes_80), 4), "body");
        EXPECT_EQ(out.body.f_816, 0x0816);
        EXPECT_EQ(out.body.layout_code, length == 4096 ? 3 : 0);

        EXPECT_EQ(out.intensity.x, 5);
        EXPECT_EQ(out.intensity.y, 6);
        EXPECT_EQ(out.intensity.width, 3);
        EXPECT_EQ(out.intensity.height, 2);
        EXPECT_EQ(out.intensity.n_buckets, 2);
        EXPECT_EQ(out.intensity.tag, 0xBEEF);
        EXPECT_EQ(out.intensity_samples(), kIntensity);

        EXPECT_EQ(out.phase.x, 7);
        EXPECT_EQ(out.phase.y, 8);
        EXPECT_EQ(out.phase.width, 3);
        EXPECT_EQ(out.phase.height, 2);
        EXPECT_EQ(out.phase_samples(), kPhase);
    }
}

TEST_F(DataFileReadTest, BothShortMagicsReadAlike) {
    Outputs a;
    Outputs b;
    ASSERT_EQ(read(valid_builder(834, test_support::kMagic834).build(), a), 0);
    ASSERT_EQ(read(valid_builder(834, test_support::kMagic834Alt).build(), b), 0);
    EXPECT_TRUE(same_bytes(&a.preamble, &b.preamble, sizeof a.preamble));
    EXPECT_TRUE(same_bytes(&a.body, &b.body, sizeof a.body));
    EXPECT_EQ(a.intensity_samples(), b.intensity_samples());
    EXPECT_EQ(a.phase_samples(), b.phase_samples());
    EXPECT_EQ(b.phase_samples(), kPhase);
}

// One broken copy of the valid file per case, with the code it must give and
// what it leaves behind. Requested matrices always come back released.
struct FailureCase {
    const char *name;
    std::function<void(Bytes &)> damage;
    int code;
    bool preamble_filled; // else untouched
    bool body_filled;     // else untouched
    bool header_only;     // no byte past the header was read
    std::size_t mallocs;  // blocks asked for: none for one that cannot be filled
};

std::vector<FailureCase> failure_cases() {
    const std::size_t header = 4096;
    const std::size_t intensity_end = header + kIntensityBytes;
    auto truncate = [](std::size_t n) { return [n](Bytes &b) { b.resize(n); }; };
    auto set16 = [](std::size_t offset, std::uint32_t v) {
        return [=](Bytes &b) { put16(b, offset, v); };
    };
    auto set32 = [](std::size_t offset, std::uint32_t v) {
        return [=](Bytes &b) { put32(b, offset, v); };
    };
    return {
        {"empty file", truncate(0), ERR_PREMATURE_EOF, false, false, true, 0},
        {"one byte", truncate(1), ERR_PREMATURE_EOF, false, false, true, 0},
        {"three bytes", truncate(3), ERR_PREMATURE_EOF, false, false, true, 0},
        {"magic alone", truncate(4), ERR_PREMATURE_EOF, false, false, true, 0},
        {"header one byte short", truncate(header - 1), ERR_PREMATURE_EOF, false, false, true, 0},
        {"short magic, 833 bytes",
         [](Bytes &b) {
             put32(b, 0, test_support::kMagic834);
             b.resize(833);
         },
         ERR_PREMATURE_EOF, false, false, true, 0},
        {"unknown magic", set32(0, 0x881B0372), ERR_NOT_A_DATA_FILE, false, false, true, 0},
        {"magic little-endian", set32(0, 0x71031B88), ERR_NOT_A_DATA_FILE, false, false, true, 0},
        {"unknown magic, nothing after",
         [](Bytes &b) {
             put32(b, 0, 0);
             b.resize(4);
         },
         ERR_NOT_A_DATA_FILE, false, false, true, 0},
        {"intensity width -1", set16(at::intens_width, 0xFFFF), ERR_DATASET_DIM_TOO_LARGE, true,
         false, true, 0},
        {"intensity height -1", set16(at::intens_height, 0xFFFF), ERR_DATASET_DIM_TOO_LARGE, true,
         false, true, 0},
        {"phase width top bit, height 100",
         [](Bytes &b) {
             put16(b, at::phase_width, 0x8000);
             put16(b, at::phase_height, 100);
         },
         ERR_DATASET_DIM_TOO_LARGE, true, false, true, 0},
        {"phase height top bit", set16(at::phase_height, 0xFFFE), ERR_DATASET_DIM_TOO_LARGE, true,
         false, true, 0},
        {"intensity width 0", set16(at::intens_width, 0), ERR_PARAM_OUT_OF_RANGE, true, true, true,
         0},
        {"intensity buckets 0", set16(at::intens_n_buckets, 0), ERR_PARAM_OUT_OF_RANGE, true, true,
         true, 0},
        {"intensity buckets negative", set16(at::intens_n_buckets, 0xFFFE), ERR_PARAM_OUT_OF_RANGE,
         true, true, true, 0},
        {"phase width 0", set16(at::phase_width, 0), ERR_PARAM_OUT_OF_RANGE, true, true, false, 1},
        {"phase height 0", set16(at::phase_height, 0), ERR_PARAM_OUT_OF_RANGE, true, true, false,
         1},
        {"intensity block cut short", truncate(intensity_end - 1), ERR_CORRUPT_DATA_FILE, true,
         true, false, 0},
        {"file ends after header", truncate(header), ERR_CORRUPT_DATA_FILE, true, true, false, 0},
        {"phase block cut short", truncate(intensity_end + kPhaseBytes - 1), ERR_CORRUPT_DATA_FILE,
         true, true, false, 1},
        {"phase block absent", truncate(intensity_end), ERR_CORRUPT_DATA_FILE, true, true, false,
         1},
        // A region that allocate() refuses gives its code, whatever follows.
        {"intensity beyond 32-bit sample counts, nothing after header",
         [](Bytes &b) {
             put16(b, at::intens_width, 32767);
             put16(b, at::intens_height, 32767);
             put16(b, at::intens_n_buckets, 5);
             b.resize(4096);
         },
         ERR_PARAM_OUT_OF_RANGE, true, true, true, 0},
        {"one intensity frame cut short",
         [](Bytes &b) {
             put16(b, at::intens_n_buckets, 1);
             put32(b, at::intens_nbytes, 12);
             b.resize(4096 + 11);
         },
         ERR_CORRUPT_DATA_FILE, true, true, false, 0},
        {"intensity buckets 0, nothing after header",
         [](Bytes &b) {
             put16(b, at::intens_n_buckets, 0);
             b.resize(4096);
         },
         ERR_PARAM_OUT_OF_RANGE, true, true, true, 0},
        // More intensity samples than the frames hold: refused before any
        // sample is read, never written past the buffer.
        {"intensity block larger than its frames", set32(at::intens_nbytes, kIntensityBytes + 2),
         ERR_CORRUPT_DATA_FILE, true, true, true, 0},
    };
}

TEST_F(DataFileReadTest, EachBrokenFieldGivesItsCodeAndReleasesTheMatrices) {
    Outputs valid;
    const Bytes good = valid_builder().trailer(Bytes(64, 0x5A)).build();
    ASSERT_EQ(read(good, valid), 0);

    for (const FailureCase &c : failure_cases()) {
        SCOPED_TRACE(c.name);
        Bytes bytes = good;
        c.damage(bytes);
        test_support::AllocHooks hooks;
        Outputs out;
        long position = 0;
        EXPECT_EQ(read_stream(bytes, out, &position), c.code);
        EXPECT_TRUE(is_released(out.intensity));
        EXPECT_TRUE(is_released(out.phase));
        EXPECT_EQ(hooks.live_blocks(), 0u);
        EXPECT_EQ(hooks.malloc_count(), c.mallocs);
        if (c.preamble_filled) {
            EXPECT_TRUE(same_bytes(&out.preamble, &valid.preamble, sizeof out.preamble));
        } else {
            EXPECT_TRUE(untouched(out.preamble));
        }
        if (c.body_filled) {
            EXPECT_TRUE(same_bytes(&out.body, &valid.body, sizeof out.body));
        } else {
            EXPECT_TRUE(untouched(out.body));
        }
        if (c.header_only) {
            EXPECT_LE(position, 4096);
        }
        // The header read alone, then checked: the same refusal of a field
        // (the others are found in the blocks).
        if (c.body_filled && bytes.size() >= 4096) {
            const bool field =
                c.code == ERR_PARAM_OUT_OF_RANGE || c.code == ERR_DATASET_DIM_TOO_LARGE;
            std::FILE *f = std::tmpfile();
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(std::fwrite(bytes.data(), 1, 4096, f), 4096u);
            std::rewind(f);
            DataFileHeader record;
            std::size_t length = 0;
            EXPECT_EQ(data_file_read_header(f, &record, &length), 0);
            EXPECT_EQ(data_file_check_header(record), field ? c.code : 0);
            std::fclose(f);
        }

        // Through the path the outcome is the same, as are the blocks
        // asked for.
        test_support::AllocHooks path_hooks;
        Outputs by_path;
        EXPECT_EQ(read(bytes, by_path), c.code);
        EXPECT_TRUE(is_released(by_path.intensity));
        EXPECT_TRUE(is_released(by_path.phase));
        EXPECT_EQ(path_hooks.malloc_count(), c.mallocs);
    }
}

TEST_F(DataFileReadTest, NoMemoryForEitherMatrixReleasesBoth) {
    const Bytes good = valid_builder().build();
    for (std::size_t refused : {1u, 2u}) {
        SCOPED_TRACE(refused);
        test_support::AllocHooks hooks;
        hooks.fail_call(refused);
        Outputs out;
        EXPECT_EQ(read(good, out), ERR_NO_MEM);
        EXPECT_TRUE(is_released(out.intensity));
        EXPECT_TRUE(is_released(out.phase));
        EXPECT_EQ(hooks.live_blocks(), 0u);
    }
}

TEST_F(DataFileReadTest, UnopenablePathTouchesNoOutput) {
    const std::string missing = dir_.file("missing.dat");
    const std::string wide_missing = test_support::wide_path_of(dir_.path() / "missing.dat");
    for (const char *path :
         {missing.c_str(), "", wide_missing.c_str(), static_cast<const char *>(nullptr)}) {
        Outputs out;
        out.intensity.x = 11;
        out.intensity.tag = 12;
        out.phase.y = 13;
        EXPECT_EQ(data_file_read(path, &out.preamble, &out.body, &out.intensity, &out.phase),
                  ERR_CANT_OPEN_FILE);
        EXPECT_TRUE(untouched(out.preamble));
        EXPECT_TRUE(untouched(out.body));
        EXPECT_EQ(out.intensity.x, 11);
        EXPECT_EQ(out.intensity.tag, 12);
        EXPECT_EQ(out.phase.y, 13);
    }
}

TEST_F(DataFileReadTest, MarkedWidePathReadsTheFile) {
    const std::filesystem::path name = dir_.path() / std::filesystem::path(u8"ph\u00e4se.dat");
    test_support::write_file(name, valid_builder().build());
    for (bool ff_first : {true, false}) {
        Outputs out;
        EXPECT_EQ(data_file_read(test_support::wide_path_of(name, ff_first).c_str(), nullptr,
                                 nullptr, nullptr, &out.phase),
                  0);
        EXPECT_EQ(out.phase_samples(), kPhase);
    }
}

// Only the phase requested: the intensity block is skipped by exactly
// intens_nbytes bytes, odd lengths included, and its geometry (here
// impossible) is never looked at.
TEST_F(DataFileReadTest, UnrequestedIntensityBlockIsSkippedByItsLength) {
    for (std::size_t nbytes : {1u, 2u, 7u, 24u, 25u, 5001u}) {
        SCOPED_TRACE(nbytes);
        DataFileBuilder b = valid_builder();
        b.set16(at::intens_width, 0x8000)
            .set16(at::intens_height, 0)
            .set16(at::intens_n_buckets, 0xFFFF);
        b.set32(at::intens_nbytes, static_cast<std::uint32_t>(nbytes));
        b.intensity_bytes(Bytes(nbytes, 0xC3));
        Outputs out;
        long position = 0;
        ASSERT_EQ(read_stream(b.build(), out, &position, false, true), 0);
        EXPECT_EQ(out.phase_samples(), kPhase);
        EXPECT_EQ(position, static_cast<long>(4096 + nbytes + kPhaseBytes));
    }
}

// The intensity matrix takes intens_nbytes / 2 samples and the odd byte of
// an odd length is passed over: the phase block is read from the same place
// whether the intensity is read or skipped.
TEST_F(DataFileReadTest, OddIntensityLengthLeavesThePhaseInPlace) {
    DataFileBuilder b = valid_builder();
    b.intensity(3, 1, 1, {0x0102, 0x0304, 0x0506});
    b.set32(at::intens_nbytes, 7);
    b.intensity_bytes(Bytes{1, 2, 3, 4, 5, 6, 0x77});
    b.phase(2, 1, {0, 0});
    b.phase_bytes(Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    b.trailer(Bytes{0x99});
    for (bool intensity : {true, false}) {
        SCOPED_TRACE(intensity);
        Outputs out;
        long position = 0;
        ASSERT_EQ(read_stream(b.build(), out, &position, intensity), 0);
        EXPECT_EQ(out.phase_samples(), (std::vector<std::int32_t>{0x11223344, 0x55667788}));
        EXPECT_EQ(position, 4096 + 7 + 8);
        if (intensity) {
            EXPECT_EQ(out.intensity_samples(),
                      (std::vector<std::uint16_t>{0x0102, 0x0304, 0x0506}));
        }
    }
}

// The region, not phase_nbytes, sets how many phase samples are read: a
// longer block is read only as far as the region, and a block length that
// falls short of the region (down to one byte) still reads the region's
// samples when the file holds them.
TEST_F(DataFileReadTest, PhaseRegionSetsTheSamplesReadWhateverTheBlockLength) {
    struct Case {
        std::uint32_t phase_nbytes;
        std::size_t trailer;
    };
    for (const Case c : {Case{kPhaseBytes + 103, 103}, Case{1, 0}}) {
        SCOPED_TRACE(c.phase_nbytes);
        DataFileBuilder b = valid_builder();
        b.set32(at::phase_nbytes, c.phase_nbytes);
        b.trailer(Bytes(c.trailer, 0xAB));
        Outputs out;
        long position = 0;
        ASSERT_EQ(read_stream(b.build(), out, &position), 0);
        EXPECT_EQ(out.phase_samples(), kPhase);
        EXPECT_EQ(position, static_cast<long>(4096 + kIntensityBytes + kPhaseBytes));
    }
}

// A block length of zero or less means no block, whatever its geometry says.
TEST_F(DataFileReadTest, AbsentBlocksGiveEmptyMatrices) {
    for (std::uint32_t nbytes : {0u, 0xFFFFFFFFu, 0x80000000u}) {
        SCOPED_TRACE(nbytes);
        DataFileBuilder b(834);
        b.set16(at::intens_x, 9).set16(at::intens_width, 0x8000).set16(at::intens_height, 4);
        b.set16(at::intens_n_buckets, 3).set16(at::intens_tag, 0x5555);
        b.set32(at::intens_nbytes, nbytes);
        b.set16(at::phase_y, 9).set16(at::phase_width, 0).set16(at::phase_height, 0xFFFF);
        b.set32(at::phase_nbytes, nbytes);
        b.trailer(Bytes(100, 0x42));
        test_support::AllocHooks hooks;
        Outputs out;
        long position = 0;
        ASSERT_EQ(read_stream(b.build(), out, &position), 0);
        expect_empty(out.intensity);
        expect_empty(out.phase);
        EXPECT_EQ(hooks.malloc_count(), 0u);
        EXPECT_EQ(position, 834);
    }
}

// A block with fewer samples than its frames hold: the samples past those
// read are zero, not whatever the allocator left there.
TEST_F(DataFileReadTest, ShortIntensityBlockLeavesTheRestZero) {
    const u_malloc_fn previous = u_malloc;
    u_malloc = [](std::size_t bytes) -> void * {
        void *block = std::malloc(bytes);
        if (block != nullptr) {
            std::memset(block, 0xA5, bytes);
        }
        return block;
    };
    DataFileBuilder frames = valid_builder();
    frames.intensity(2, 2, 2, {1, 2, 3, 4, 5}); // room for 8 samples, 5 in the block
    DataFileBuilder one = valid_builder();      // room for 1 sample, half of one in the block
    one.intensity(1, 1, 1, {7}).set32(at::intens_nbytes, 1).intensity_bytes(Bytes{0x42});
    Outputs out;
    Outputs out_one;
    const int rc = read(frames.build(), out);
    const int rc_one = read(one.build(), out_one);
    u_malloc = previous;
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(rc_one, 0);
    EXPECT_EQ(out.intensity_samples(), (std::vector<std::uint16_t>{1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(out_one.intensity_samples(), std::vector<std::uint16_t>{0});
    EXPECT_EQ(out.phase_samples(), kPhase);
    EXPECT_EQ(out_one.phase_samples(), kPhase);
}

#ifdef __linux__
// A small file that announces large frames: the samples past its block read
// as zero, but their pages are never written, so the read costs about the
// file's size in memory rather than the frames' 2 GiB.
TEST_F(DataFileReadTest, ShortBlockOfHugeFramesLeavesTheirPagesUnwritten) {
    const Bytes bytes = DataFileBuilder(834).intensity(32767, 32767, 1, {0x1234}).build();
    ASSERT_EQ(bytes.size(), 836u);
    Outputs out;
    ASSERT_EQ(read(bytes, out, false, false, true, false), 0);
    ASSERT_EQ(out.intensity.size, 32767u * 32767u);
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(out.intensity.matrix);
    const std::uintptr_t first = start / page * page;
    const std::size_t length = start - first + std::size_t{out.intensity.size} * 2;
    std::vector<unsigned char> resident((length + page - 1) / page);
    ASSERT_EQ(mincore(reinterpret_cast<void *>(first), length, resident.data()), 0);
    EXPECT_LE(
        std::count_if(resident.begin(), resident.end(), [](unsigned char v) { return v & 1; }), 16);
    EXPECT_EQ(out.intensity.matrix[0], 0x1234);
    EXPECT_EQ(out.intensity.matrix[out.intensity.size - 1], 0);
}
#endif

// Reading from a pipe, which cannot seek, gives what reading the same bytes
// from a file gives: the header is not read twice and an unrequested block is
// read past instead of skipped by a seek.
struct PipeCase {
    const char *name;
    Bytes bytes;
    bool intensity; // requested
    bool phase;     // requested
    int code;
};

std::vector<PipeCase> pipe_cases() {
    std::vector<PipeCase> cases;
    cases.push_back({"long header, both blocks", valid_builder().build(), true, true, 0});
    cases.push_back({"long header, intensity skipped", valid_builder().build(), false, true, 0});
    // The skip starts with most of the stream's buffer still unread.
    cases.push_back(
        {"short header, intensity skipped", valid_builder(834).build(), false, true, 0});
    DataFileBuilder big = valid_builder();
    // Five full chunks of the skip, then a single byte.
    big.set32(at::intens_nbytes, 20481).intensity_bytes(Bytes(20481, 0x3C));
    cases.push_back({"long odd intensity skipped", big.build(), false, true, 0});
    Bytes cut = big.build();
    cut.resize(4096 + 9000);
    cases.push_back(
        {"file ends inside the skipped intensity", cut, false, true, ERR_CORRUPT_DATA_FILE});
    cases.push_back(
        {"file ends inside the skipped intensity, phase unwanted", cut, false, false, 0});
    cases.push_back({"phase skipped", valid_builder().build(), true, false, 0});
    cases.push_back(
        {"odd intensity length read",
         valid_builder().set32(at::intens_nbytes, 23).intensity_bytes(Bytes(23, 7)).build(), true,
         true, 0});
    cases.push_back({"intensity block larger than its frames",
                     valid_builder().set32(at::intens_nbytes, kIntensityBytes + 2).build(), true,
                     true, ERR_CORRUPT_DATA_FILE});
    return cases;
}

#ifdef _WIN32
bool make_pipe(int fds[2]) {
    return _pipe(fds, 1 << 16, _O_BINARY) == 0;
}
std::FILE *open_fd(int fd) {
    return _fdopen(fd, "rb");
}
int write_fd(int fd, const void *data, std::size_t n) {
    return _write(fd, data, static_cast<unsigned>(n));
}
void close_fd(int fd) {
    _close(fd);
}
#else
bool make_pipe(int fds[2]) {
    return pipe(fds) == 0;
}
std::FILE *open_fd(int fd) {
    return fdopen(fd, "rb");
}
int write_fd(int fd, const void *data, std::size_t n) {
    return static_cast<int>(write(fd, data, n));
}
void close_fd(int fd) {
    close(fd);
}
#endif

TEST_F(DataFileReadTest, PipeReadsLikeAFile) {
    for (const PipeCase &c : pipe_cases()) {
        SCOPED_TRACE(c.name);
        Outputs from_file;
        const int file_rc = read(c.bytes, from_file, true, true, c.intensity, c.phase);
        EXPECT_EQ(file_rc, c.code);

        // Every case fits in the pipe's buffer, so it is written whole and
        // closed before the read starts.
        ASSERT_LT(c.bytes.size(), 1u << 16);
        int fds[2];
        ASSERT_TRUE(make_pipe(fds));
        ASSERT_EQ(write_fd(fds[1], c.bytes.data(), c.bytes.size()),
                  static_cast<int>(c.bytes.size()));
        close_fd(fds[1]);
        std::FILE *stream = open_fd(fds[0]);
        ASSERT_NE(stream, nullptr);
        Outputs from_pipe;
        const int pipe_rc = data_file_read_stream(stream, &from_pipe.preamble, &from_pipe.body,
                                                  c.intensity ? &from_pipe.intensity : nullptr,
                                                  c.phase ? &from_pipe.phase : nullptr);
        std::fclose(stream);

        EXPECT_EQ(pipe_rc, c.code);
        EXPECT_TRUE(same_bytes(&from_pipe.preamble, &from_file.preamble, sizeof(HeaderPreamble)));
        EXPECT_TRUE(same_bytes(&from_pipe.body, &from_file.body, sizeof(HeaderBody)));
        EXPECT_EQ(from_pipe.intensity_samples(), from_file.intensity_samples());
        EXPECT_EQ(from_pipe.phase_samples(), from_file.phase_samples());
        if (c.code == 0 && c.phase) {
            EXPECT_EQ(from_pipe.phase_samples(), kPhase);
        }
    }
}

// A block read alone into the caller's memory gives what data_file_read asked
// for that block alone gives, code and samples, for the valid file, each
// broken copy of it, a short and an odd-length intensity block; the header
// read alone by name takes them all.
TEST_F(DataFileReadTest, BlockIntoCallersMemoryReadsAsTheReaderReadsItAlone) {
    const Bytes good = valid_builder().build();
    std::vector<std::pair<std::string, Bytes>> files = {{"valid", good}};
    for (const FailureCase &c : failure_cases()) {
        files.emplace_back(c.name, good);
        c.damage(files.back().second);
    }
    DataFileBuilder b = valid_builder();
    b.set32(at::intens_nbytes, 7).intensity_bytes(Bytes{1, 2, 3, 4, 5, 6, 0x77});
    files.emplace_back("odd intensity length", b.build());
    b.set32(at::intens_nbytes, 4).intensity_bytes(Bytes{1, 2, 3, 4});
    files.emplace_back("short intensity block", b.build());
    // A block of one byte is still a block, whose region is checked.
    b.set32(at::intens_nbytes, 1).intensity_bytes(Bytes{7}).set16(at::intens_width, 0xFFFF);
    files.emplace_back("one-byte intensity block, width -1", b.build());
    b = valid_builder();
    b.set32(at::phase_nbytes, 1).set16(at::phase_width, 0xFFFF);
    files.emplace_back("one-byte phase block, width -1", b.build());
    b = valid_builder();
    b.set32(at::intens_nbytes, 0).set16(at::intens_width, 100).intensity_bytes({});
    files.emplace_back("no intensity block, frames larger than the room", b.build());
    b = valid_builder();
    b.set32(at::phase_nbytes, 0).phase_bytes({});
    files.emplace_back("no phase block", b.build());
    b.set32(at::phase_nbytes, 1).phase(3, 2, kPhase).set32(at::phase_nbytes, 1);
    files.emplace_back("one-byte phase block", b.build());
    for (const auto &[name, bytes] : files) {
        for (const bool phase : {false, true}) {
            SCOPED_TRACE(name + (phase ? ": phase" : ": intensity"));
            Outputs alone;
            const int code = read(bytes, alone, false, false, !phase, phase);
            std::vector<std::uint16_t> frames(64);
            std::vector<std::int32_t> map(64);
            EXPECT_EQ(read_block(phase, frames, map, 64), code);
            // The header alone, by name: it reads where the whole file does,
            // and leaves no file open whatever it meets.
            const int descriptor = test_support::lowest_free_descriptor();
            DataFileSummary layout;
            const int summary = data_file_read_summary(path_.c_str(), &layout, !phase, phase);
            EXPECT_EQ(test_support::lowest_free_descriptor(), descriptor) << "left open";
            EXPECT_TRUE(code != 0 || summary == 0);
            if (code == 0) {
                frames.resize(alone.intensity.size);
                map.resize(alone.phase.size);
                EXPECT_EQ(frames, alone.intensity_samples());
                EXPECT_EQ(map, alone.phase_samples());
            }
        }
    }
}

// Room for fewer samples than the block's region holds is refused before a
// sample is written; past a short block the caller's memory keeps what it
// held.
TEST_F(DataFileReadTest, BlockIntoCallersMemoryStaysWithinIt) {
    struct Case {
        bool phase;
        std::size_t intensity_bytes; // of the 12 samples the frames hold
        std::size_t room;
        int code;
    };
    for (const Case c : {Case{false, 8, 11, ERR_PARAM_OUT_OF_RANGE}, Case{false, 8, 13, 0},
                         Case{false, 1, 11, ERR_PARAM_OUT_OF_RANGE},
                         Case{true, 8, 5, ERR_PARAM_OUT_OF_RANGE}, Case{true, 8, 6, 0}}) {
        SCOPED_TRACE(std::to_string(c.phase) + " " + std::to_string(c.intensity_bytes) + " " +
                     std::to_string(c.room));
        Bytes block{0, 1, 0, 2, 0, 3, 0, 4};
        block.resize(c.intensity_bytes);
        DataFileBuilder b = valid_builder();
        b.set32(at::intens_nbytes, static_cast<std::uint32_t>(c.intensity_bytes))
            .intensity_bytes(block);
        test_support::write_file(path_, b.build());
        std::vector<std::uint16_t> frames(c.room + 1, 0xEEEE);
        std::vector<std::int32_t> map(c.room + 1, -7);
        EXPECT_EQ(read_block(c.phase, frames, map, c.room), c.code);
        std::vector<std::uint16_t> want_frames(frames.size(), 0xEEEE);
        std::vector<std::int32_t> want_map(map.size(), -7);
        if (c.code == 0 && c.phase) {
            std::copy(kPhase.begin(), kPhase.end(), want_map.begin());
        } else if (c.code == 0) {
            std::iota(want_frames.begin(), want_frames.begin() + 4, std::uint16_t{1});
        }
        EXPECT_EQ(frames, want_frames);
        EXPECT_EQ(map, want_map);
    }
}

} // namespace
