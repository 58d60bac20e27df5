// The command on damaged input and a full output device: a data file cut
// short anywhere ends with status 4 and creates no output; an output that
// takes no bytes ends with status 5 and the writer's error by name.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/data_file_builder.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using test_support::Bytes;
using test_support::DataFileBuilder;
using test_support::TempDir;

std::string failure(const std::string &in, const std::string &out, const char *what,
                    const std::string &file, const char *error) {
    return "Converting \"" + in + "\" to \"" + out + "\"\nUnable to convert \"" + in + "\" to \"" +
           out + "\" because...\n\tthere was an error " + what + " \"" + file + "\"\n\t" + error +
           "\n";
}

// A small data file: an 834-byte header, a 2-sample intensity block that
// the command skips (834 to 837), and 3 x 2 phase samples (838 to 861).
Bytes small_data_file() {
    return DataFileBuilder(834)
        .intensity(2, 1, 1, {7, 8})
        .phase(3, 2, {1, -2, 3, -4, 5, -6})
        .build();
}

// The lengths tried: those next to each boundary (the magic, the header, the
// end of the intensity block, the end of the file) and a stride through the
// rest. Each costs a process start, which is slow under an emulator, so the
// Windows build keeps to the boundaries.
std::vector<std::size_t> cut_lengths(std::size_t whole) {
#ifdef _WIN32
    const std::size_t reach = 1, stride = 0;
#else
    const std::size_t reach = 2, stride = 53;
#endif
    const std::size_t boundaries[] = {0, 4, 834, 838, whole};
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n < whole; ++n) {
        bool take = stride != 0 && n % stride == 0;
        for (std::size_t b : boundaries) {
            take = take || (n + reach >= b && n <= b + reach);
        }
        if (take) {
            lengths.push_back(n);
        }
    }
    return lengths;
}

TEST(PdxConvertIoFaults, CutInputNeverConverts) {
    TempDir work;
    TempDir capture;
    const Bytes whole = small_data_file();
    const std::string in = work.file("cut.dat");
    const std::string out = work.file("out.mat");

    test_support::write_file(in, whole);
    ASSERT_EQ(test_support::run_process(PDX_CONVERT_EXE, {in, out}, capture.path()).status, 0);
    fs::remove(out);

    for (std::size_t length : cut_lengths(whole.size())) {
        SCOPED_TRACE(length);
        test_support::write_file(in, Bytes(whole.begin(), whole.begin() + length));
        const test_support::ProcessResult r =
            test_support::run_process(PDX_CONVERT_EXE, {in, out}, capture.path());
        EXPECT_EQ(r.status, 4);
        const char *error = length < 834 ? "ERR_PREMATURE_EOF" : "ERR_CORRUPT_DATA_FILE";
        EXPECT_EQ(r.err, failure(in, out, "reading the file", in, error));
        EXPECT_FALSE(fs::exists(out));
        if (HasFailure()) {
            break; // one length is enough to show
        }
    }
}

#ifdef __linux__
// Whether the device's refusal shows in a write call (a large block) or only
// at the close (a few bytes), in either byte order.
TEST(PdxConvertIoFaults, FullDeviceAsOutputFailsWhateverTheSize) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    TempDir work;
    TempDir capture;
    std::vector<std::int32_t> big(1024 * 1024);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::int32_t>(i);
    }
    const struct {
        const char *name;
        Bytes bytes;
    } inputs[] = {
        {"nophase.dat", DataFileBuilder(834).build()},
        {"small.dat", small_data_file()},
        {"large.dat", DataFileBuilder(4096).phase(1024, 1024, big).build()},
    };
    for (const auto &input : inputs) {
        const std::string in = work.file(input.name);
        test_support::write_file(in, input.bytes);
        for (bool bigEndian : {false, true}) {
            SCOPED_TRACE(testing::Message() << input.name << (bigEndian ? " -b" : ""));
            std::vector<std::string> args = {in, "/dev/full"};
            if (bigEndian) {
                args.insert(args.begin(), "-b");
            }
            const test_support::ProcessResult r =
                test_support::run_process(PDX_CONVERT_EXE, args, capture.path());
            EXPECT_EQ(r.status, 5);
            EXPECT_EQ(r.err, failure(in, "/dev/full", "writing to the file", "/dev/full",
                                     "ERR_CANT_WRITE_FILE"));
        }
    }
}
#endif

} // namespace
