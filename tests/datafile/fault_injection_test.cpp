// Allocation failures in the file operations: each u_malloc call refused in
// turn gives ERR_NO_MEM, returns the matrices released (a writer leaves its
// caller's matrix unchanged), leaks nothing, and the same call succeeds
// once memory is available again.

#include <bitset>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pdx/datafile/data_file.h"
#include "pdx/datafile/matrix_file.h"
#include "pdx/util/errors.h"
#include "support/alloc_faults.h"
#include "support/data_file_builder.h"
#include "support/matrix_image.h"
#include "support/temp_dir.h"

namespace {

using namespace pdx;
using test_support::AllocHooks;
using test_support::Bytes;
using test_support::DataFileBuilder;
using test_support::is_released;
using test_support::read_file;
using test_support::refuse_each_call;

const std::vector<std::uint16_t> kIntensity = {1, 2, 3, 0x8000, 0xFFFF, 0x1234,
                                               7, 8, 9, 10,     11,     12};
const std::vector<std::int32_t> kPhase = {1, -1, 0x12345678, INT32_MIN, INT32_MAX, -123456};

Bytes data_file() {
    DataFileBuilder b(4096);
    b.set16(10, 0x0A0B).set32(76, 0x76777879);
    b.intensity(3, 2, 2, kIntensity).phase(3, 2, kPhase);
    return b.build();
}

// The data matrix file of kPhase, 3 wide and 2 high.
Bytes matrix_file_bytes(bool bigEndian) {
    return test_support::matrix_file_image(3, 2, kPhase, bigEndian);
}

std::vector<std::int32_t> samples(const PhaseMatrix &m) {
    return m.matrix ? std::vector<std::int32_t>(m.matrix, m.matrix + m.size)
                    : std::vector<std::int32_t>{};
}
std::vector<std::uint16_t> samples(const IntensityMatrix &m) {
    return m.matrix ? std::vector<std::uint16_t>(m.matrix, m.matrix + m.size)
                    : std::vector<std::uint16_t>{};
}

class FileFaultInjection : public testing::Test {
  protected:
    test_support::TempDir dir_;
};

// Every combination of requested outputs (bit 0 preamble, 1 body, 2
// intensity, 3 phase): one refusal per requested matrix. The header work is
// done before any memory is asked for, so the records are filled even when
// the read fails; the matrices come back released and take the retry as
// they are.
TEST_F(FileFaultInjection, DataFileReadForEveryChoiceOfOutputs) {
    const std::string path = dir_.file("in.dat");
    test_support::write_file(path, data_file());
    HeaderPreamble want_preamble{};
    HeaderBody want_body{};
    ASSERT_EQ(data_file_read(path.c_str(), &want_preamble, &want_body, nullptr, nullptr), 0);

    for (unsigned choice = 0; choice < 16; ++choice) {
        SCOPED_TRACE("outputs " + std::bitset<4>(choice).to_string());
        const bool want_intensity = (choice & 4) != 0;
        const bool want_phase = (choice & 8) != 0;
        const std::size_t calls = refuse_each_call([&](AllocHooks &hooks) {
            HeaderPreamble preamble{};
            HeaderBody body{};
            IntensityMatrix intensity;
            PhaseMatrix phase;
            const auto read = [&] {
                return data_file_read(path.c_str(), (choice & 1) ? &preamble : nullptr,
                                      (choice & 2) ? &body : nullptr,
                                      want_intensity ? &intensity : nullptr,
                                      want_phase ? &phase : nullptr);
            };
            const int rc = read();
            if (hooks.refused_count() != 0) {
                EXPECT_EQ(rc, ERR_NO_MEM);
                EXPECT_TRUE(is_released(intensity));
                EXPECT_TRUE(is_released(phase));
                if (choice & 1) {
                    EXPECT_EQ(std::memcmp(&preamble, &want_preamble, sizeof preamble), 0);
                }
                if (choice & 2) {
                    EXPECT_EQ(std::memcmp(&body, &want_body, sizeof body), 0);
                }
                hooks.fail_call(0);
                ASSERT_EQ(read(), 0);
            } else {
                ASSERT_EQ(rc, 0);
            }
            EXPECT_EQ(samples(intensity),
                      want_intensity ? kIntensity : std::vector<std::uint16_t>{});
            EXPECT_EQ(samples(phase), want_phase ? kPhase : std::vector<std::int32_t>{});
            release(intensity);
            release(phase);
        });
        EXPECT_EQ(calls, std::size_t{want_intensity} + std::size_t{want_phase});
    }
}

TEST_F(FileFaultInjection, MatrixFileRead) {
    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        const std::string path = dir_.file("in.mat");
        test_support::write_file(path, matrix_file_bytes(bigEndian));
        const std::size_t calls = refuse_each_call([&](AllocHooks &hooks) {
            PhaseMatrix m;
            const int rc = matrix_file_read(path.c_str(), &m, bigEndian);
            if (hooks.refused_count() != 0) {
                EXPECT_EQ(rc, ERR_NO_MEM);
                EXPECT_TRUE(is_released(m));
                hooks.fail_call(0);
                ASSERT_EQ(matrix_file_read(path.c_str(), &m, bigEndian), 0);
            } else {
                ASSERT_EQ(rc, 0);
            }
            EXPECT_EQ(samples(m), kPhase);
            release(m);
        });
        EXPECT_EQ(calls, 1u);
    }
}

// Only a big-endian write asks for memory (its reversed copy). A refusal
// leaves the file that was there (the little-endian one) and the caller's
// matrix as they were.
TEST_F(FileFaultInjection, MatrixFileWrite) {
    PhaseMatrix m;
    m.x = 4;
    m.y = 5;
    m.width = 3;
    m.height = 2;
    ASSERT_EQ(allocate(m), 0);
    std::memcpy(m.matrix, kPhase.data(), kPhase.size() * 4);
    const std::int32_t *const buffer = m.matrix;
    const std::string path = dir_.file("out.mat");

    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        const std::size_t calls = refuse_each_call([&](AllocHooks &hooks) {
            const int rc = matrix_file_write(path.c_str(), &m, bigEndian);
            EXPECT_EQ(m.matrix, buffer);
            EXPECT_EQ(samples(m), kPhase);
            EXPECT_EQ(m.x, 4);
            EXPECT_EQ(m.y, 5);
            if (hooks.refused_count() != 0) {
                EXPECT_EQ(rc, ERR_NO_MEM);
                EXPECT_EQ(read_file(path), matrix_file_bytes(false));
                hooks.fail_call(0);
                ASSERT_EQ(matrix_file_write(path.c_str(), &m, bigEndian), 0);
            } else {
                ASSERT_EQ(rc, 0);
            }
            EXPECT_EQ(read_file(path), matrix_file_bytes(bigEndian));
        });
        EXPECT_EQ(calls, bigEndian ? 1u : 0u);
    }
    release(m);
}

// The command's path: the phase alone read from a data file, then written
// as a data matrix file. A refused read or write creates no output; the
// matrix is released whatever happened.
TEST_F(FileFaultInjection, ReadThenWriteAsTheCommandDoes) {
    const std::string in = dir_.file("in.dat");
    test_support::write_file(in, data_file());
    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        const std::string out = dir_.file(bigEndian ? "out_be.mat" : "out_le.mat");
        const std::size_t calls = refuse_each_call([&](AllocHooks &hooks) {
            std::filesystem::remove(out);
            PhaseMatrix phase;
            const auto convert = [&] {
                const int rc = data_file_read(in.c_str(), nullptr, nullptr, nullptr, &phase);
                return rc != 0 ? rc : matrix_file_write(out.c_str(), &phase, bigEndian);
            };
            const int rc = convert();
            if (hooks.refused_count() != 0) {
                EXPECT_EQ(rc, ERR_NO_MEM);
                if (phase.matrix == nullptr) { // the read failed
                    EXPECT_TRUE(is_released(phase));
                    EXPECT_FALSE(std::filesystem::exists(out));
                } else { // the write failed
                    EXPECT_EQ(samples(phase), kPhase);
                    EXPECT_FALSE(std::filesystem::exists(out));
                }
                release(phase);
                hooks.fail_call(0);
                ASSERT_EQ(convert(), 0);
            } else {
                ASSERT_EQ(rc, 0);
            }
            EXPECT_EQ(read_file(out), matrix_file_bytes(bigEndian));
            release(phase);
        });
        EXPECT_EQ(calls, bigEndian ? 2u : 1u);
    }
}

} // namespace
