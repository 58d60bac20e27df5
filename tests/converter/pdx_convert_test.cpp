// The pdx_convert command run as a real process with names that go through
// the platform's own process start: names beyond ASCII and beyond 260
// characters, which on Windows reach the program as UTF-16. Every other
// command line is a case file of tests/cases/pdx_convert.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/data_file_builder.h"
#include "support/matrix_image.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using test_support::Bytes;
using test_support::DataFileBuilder;
using test_support::TempDir;

// The phase samples of the good input, 3 wide and 2 high.
const std::vector<std::int32_t> kPhase = {1, -2, 0x12345678, INT32_MIN, INT32_MAX, 0};

Bytes matrix_file_bytes(bool big_endian) {
    return test_support::matrix_file_image(3, 2, kPhase, big_endian);
}

const Bytes kOldOutput = {'o', 'l', 'd', '\n'};

std::string converting(const std::string &in, const std::string &out) {
    return "Converting \"" + in + "\" to \"" + out + "\"\n";
}
std::string success(const std::string &in, const std::string &out) {
    return converting(in, out) + "Conversion from \"" + in + "\" to \"" + out + "\" successful\n";
}

// Names beyond ASCII reach the file as typed, whatever the Windows code page,
// and the messages carry them as UTF-8. The names are relative to the
// child's working directory, so each argument begins with the name itself:
// "\u00ff\u00fe" is FF FE in the Windows-1252 code page, not a wide path.
TEST(PdxConvertNames, AnyNameConverts) {
    const char *const names[] = {"Pr\u00fcfling", "\u039c\u03ad\u03c4\u03c1\u03b7\u03c3\u03b7",
                                 "\u6e2c\u5b9a", "probe \U0001F600", "\u00ff\u00fe name"};
    for (const char *name : names) {
        SCOPED_TRACE(name);
        TempDir work;
        TempDir capture;
        const std::string in = std::string(name) + ".dat";
        const std::string out = std::string(name) + ".bin";
        const auto on_disk = [&](const std::string &n) {
            return work.path() / fs::path(std::u8string(n.begin(), n.end()));
        };
        test_support::write_file(on_disk(in), DataFileBuilder(4096).phase(3, 2, kPhase).build());
        test_support::write_file(on_disk(out), kOldOutput);

        const test_support::ProcessResult r = test_support::run_process(
            PDX_CONVERT_EXE, {"-b", "-f", in, out}, capture.path(), work.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, success(in, out));
        EXPECT_EQ(test_support::read_file(on_disk(out)), matrix_file_bytes(true));
    }
}

// Names beyond the 260 characters Windows once allowed, with the output's
// temporary beside it.
TEST(PdxConvertNames, LongNamesConvert) {
    TempDir work;
    TempDir capture;
    const fs::path dir =
        work.path() / std::string(100, 'a') / std::string(100, 'b') / std::string(100, 'c');
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        GTEST_SKIP() << "this system refuses long names: " << ec.message();
    }
    const std::string in = (dir / "input.dat").string();
    const std::string out = (dir / "output.bin").string();
    test_support::write_file(in, DataFileBuilder(4096).phase(3, 2, kPhase).build());
    test_support::write_file(out, kOldOutput);

    const test_support::ProcessResult r =
        test_support::run_process(PDX_CONVERT_EXE, {"-f", in, out}, capture.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, success(in, out));
    EXPECT_EQ(test_support::read_file(out), matrix_file_bytes(false));
}

} // namespace
