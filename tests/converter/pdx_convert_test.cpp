// The pdx_convert command run as a real process: exit status, the exact bytes
// on the standard error stream, an empty standard output, and the files left
// behind.

#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
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

const std::string kUsage = "\nUsage:  pdx_convert [options] input output\n"
                           "\tinput  = existing Vesk binary data file\n"
                           "\toutput = Vesk data matrix file to create\n"
                           "\tOptions:\n"
                           "\t\t-b\tto output big-endian data\n"
                           "\t\t\t(default little-endian)\n"
                           "\t\t-f\twrites output even if file already exists\n";

// The phase samples of the good input, 3 wide and 2 high.
const std::vector<std::int32_t> kPhase = {1, -2, 0x12345678, INT32_MIN, INT32_MAX, 0};

Bytes matrix_file_bytes(bool big_endian) {
    return test_support::matrix_file_image(3, 2, kPhase, big_endian);
}

const Bytes kOldOutput = {'o', 'l', 'd', '\n'};

// What a case leaves in the file named by `file`.
enum class Expect {
    absent,      // never created
    untouched,   // the file that was there before, unchanged
    little,      // the good input converted little-endian
    big,         // the good input converted big-endian
    dimensions0, // a matrix file of zero width and height: 00 00 00 00
};

struct Case {
    const char *name;
    std::vector<std::string> args; // {name} stands for the path of a fixture file
    int status;
    std::string err; // {name} as in args
    const char *file;
    Expect expect;
};

// Test names carry the case; this keeps ctest from printing its bytes too.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

std::string unable(const std::string &in, const std::string &out) {
    return "Unable to convert \"" + in + "\" to \"" + out + "\" because...\n";
}
std::string converting(const std::string &in, const std::string &out) {
    return "Converting \"" + in + "\" to \"" + out + "\"\n";
}
std::string success(const std::string &in, const std::string &out) {
    return converting(in, out) + "Conversion from \"" + in + "\" to \"" + out + "\" successful\n";
}
std::string read_failure(const std::string &in, const std::string &out, const char *error) {
    return converting(in, out) + unable(in, out) + "\tthere was an error reading the file \"" + in +
           "\"\n\t" + error + "\n";
}
std::string write_failure(const std::string &in, const std::string &out, const char *error) {
    return converting(in, out) + unable(in, out) + "\tthere was an error writing to the file \"" +
           out + "\"\n\t" + error + "\n";
}

std::vector<Case> cases() {
    const Expect absent = Expect::absent, untouched = Expect::untouched;
    const Expect little = Expect::little, big = Expect::big;
    // clang-format off
    std::vector<Case> c = {
        // The command line: usage text and status 1, nothing examined or created.
        {"NoArguments", {}, 1, kUsage, "new", absent},
        {"OneArgument", {"{good}"}, 1, kUsage, "new", absent},
        {"UnknownOptionBeforeTwoPaths", {"-x", "{missing}", "{new}"}, 1, kUsage, "new", absent},
        {"LoneDashIsUnknown", {"{good}", "-", "{new}"}, 1, kUsage, "new", absent},
        {"DoubleDashIsUnknown", {"--", "{good}", "{new}"}, 1, kUsage, "new", absent},
        {"ThreePaths", {"{good}", "{new}", "{old}"}, 1, kUsage, "old", untouched},
        {"OnlyOptions", {"-b", "-f"}, 1, kUsage, "new", absent},
        {"OptionsAndOnePath", {"-f", "{good}", "-b"}, 1, kUsage, "new", absent},

        // The input must be an existing regular file; the output is then not examined.
        {"MissingInput", {"{missing}", "{old}"},
         2, unable("{missing}", "{old}") + "\t\"{missing}\" does not exist\n", "old", untouched},
        {"DirectoryAsInput", {"{dir}", "{new}"},
         2, unable("{dir}", "{new}") + "\t\"{dir}\" does not exist\n", "new", absent},
        {"EmptyInputPath", {"", "{new}"},
         2, unable("", "{new}") + "\t\"\" does not exist\n", "new", absent},

        // An existing output needs -f; only the letter after '-' counts, so -bf is -b.
        {"ExistingOutputWithoutForce", {"{good}", "{old}"},
         3, unable("{good}", "{old}") + "\t\"{old}\" already exists\n", "old", untouched},
        {"CombinedLettersCountOnlyTheFirst", {"-bf", "{good}", "{old}"},
         3, unable("{good}", "{old}") + "\t\"{old}\" already exists\n", "old", untouched},
        {"ForceBigEndianOverwrites", {"-f", "-b", "{good}", "{old}"},
         0, success("{good}", "{old}"), "old", big},
        {"OptionsAfterAndBetweenPaths", {"{good}", "-b", "{old}", "-f"},
         0, success("{good}", "{old}"), "old", big},
        {"RepeatedOptions", {"-b", "{good}", "-b", "{new}", "-b"},
         0, success("{good}", "{new}"), "new", big},
        {"OutputNamesTheInputItself", {"-f", "{self}", "{self}"},
         0, success("{self}", "{self}"), "self", little},

        // Reading fails: status 4, the reader's error by name, no output written.
        {"NotADataFile", {"{text}", "{new}"},
         4, read_failure("{text}", "{new}", "ERR_NOT_A_DATA_FILE"), "new", absent},
        {"TruncatedPhaseBlock", {"{short}", "{new}"},
         4, read_failure("{short}", "{new}", "ERR_CORRUPT_DATA_FILE"), "new", absent},
        {"ReadFailureLeavesForcedOutputAlone", {"-f", "{text}", "{old}"},
         4, read_failure("{text}", "{old}", "ERR_NOT_A_DATA_FILE"), "old", untouched},

        // A directory of the output's name does not count as existing: the write fails.
        {"DirectoryAsOutput", {"{good}", "{dir}"},
         5, write_failure("{good}", "{dir}", "ERR_CANT_OPEN_FILE"), "dir", absent},

        // Success: exactly the progress line and the success line.
        {"Success", {"{good}", "{new}"}, 0, success("{good}", "{new}"), "new", little},
        {"NoPhaseBlock", {"{nophase}", "{new}"},
         0, success("{nophase}", "{new}"), "new", Expect::dimensions0},
    };
#ifdef __linux__
    // A device that takes no bytes: the open succeeds and the write fails.
    c.push_back({"FullDeviceAsOutput", {"{good}", "/dev/full"},
                 5, write_failure("{good}", "/dev/full", "ERR_CANT_WRITE_FILE"), "new", absent});
#endif
    // clang-format on
    return c;
}

void replace_all(std::string &s, const std::string &from, const std::string &to) {
    for (std::size_t at = s.find(from); at != std::string::npos;
         at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
}

std::set<std::string> listing(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class PdxConvert : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        DataFileBuilder good(4096);
        good.intensity(3, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}).phase(3, 2, kPhase);
        const Bytes good_bytes = good.build();
        const Bytes short_bytes(good_bytes.begin(), good_bytes.end() - 3); // mid-sample
        const std::string text = "width,height\n3,2\n";

        files_ = {{"good", "good.dat"}, {"self", "self.dat"},  {"short", "short.dat"},
                  {"text", "text.csv"}, {"nophase", "np.dat"}, {"old", "old.mat"},
                  {"new", "new.mat"},   {"missing", "no.dat"}, {"dir", "sub"}};
        write("good", good_bytes);
        write("self", good_bytes);
        write("short", short_bytes);
        write("text", Bytes(text.begin(), text.end()));
        write("nophase", DataFileBuilder(834).intensity(3, 2, 1, {1, 2, 3, 4, 5, 6}).build());
        write("old", kOldOutput);
        fs::create_directory(work_.path() / files_["dir"]);
    }

    void write(const std::string &key, const Bytes &bytes) {
        test_support::write_file(work_.path() / files_[key], bytes);
    }

    std::string expand(std::string s) {
        for (const auto &[key, name] : files_) {
            replace_all(s, "{" + key + "}", work_.file(name));
        }
        return s;
    }

    TempDir work_;    // the files the command sees
    TempDir capture_; // its standard output and error
    std::map<std::string, std::string> files_;
};

TEST_P(PdxConvert, Runs) {
    const Case &c = GetParam();
    std::vector<std::string> args;
    for (const std::string &a : c.args) {
        args.push_back(expand(a));
    }
    const std::set<std::string> before = listing(work_.path());

    const test_support::ProcessResult r =
        test_support::run_process(PDX_CONVERT_EXE, args, capture_.path());

    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, expand(c.err));
    EXPECT_EQ(r.out, "");

    const fs::path file = work_.path() / files_[c.file];
    std::set<std::string> after_expected = before;
    switch (c.expect) {
    case Expect::absent:
        EXPECT_FALSE(fs::is_regular_file(file));
        break;
    case Expect::untouched:
        EXPECT_EQ(test_support::read_file(file), kOldOutput);
        break;
    case Expect::little:
        EXPECT_EQ(test_support::read_file(file), matrix_file_bytes(false));
        break;
    case Expect::big:
        EXPECT_EQ(test_support::read_file(file), matrix_file_bytes(true));
        break;
    case Expect::dimensions0:
        EXPECT_EQ(test_support::read_file(file), Bytes(4, 0));
        break;
    }
    if (c.expect != Expect::absent) {
        after_expected.insert(files_[c.file]);
    }
    // Nothing else was created or removed.
    EXPECT_EQ(listing(work_.path()), after_expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PdxConvert, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case> &p) { return p.param.name; });

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

#ifndef _WIN32
// Arguments are the bytes of names, never UTF-16: a name that begins with
// the two bytes of a wide path's mark names exactly the bytes typed, for the
// input, the output and the tests of whether they exist, and the messages
// show it as typed. (Read as UTF-16, these names would be others.)
TEST(PdxConvertMarkedNames, NameTheBytesTyped) {
    const std::string in = "\xFF\xFE"
                           "ab.dat",
                      out = "\xFE\xFF"
                            "ab.bin";
    const std::string missing = "\xFF\xFE"
                                "no.dat";
    struct Row {
        std::vector<std::string> args;
        bool old_output; // `out` exists before the run
        int status;
        std::string err;
        Bytes out_after; // empty: no such file
    };
    const std::vector<Row> rows = {
        {{"-b", in, out}, false, 0, success(in, out), matrix_file_bytes(true)},
        {{in, out}, true, 3, unable(in, out) + "\t\"" + out + "\" already exists\n", kOldOutput},
        {{"-f", "-b", in, out}, true, 0, success(in, out), matrix_file_bytes(true)},
        {{missing, out},
         false,
         2,
         unable(missing, out) + "\t\"" + missing + "\" does not exist\n",
         {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args[0] + " " + std::to_string(row.status));
        TempDir work;
        TempDir capture;
        test_support::write_file(work.path() / in,
                                 DataFileBuilder(4096).phase(3, 2, kPhase).build());
        if (row.old_output) {
            test_support::write_file(work.path() / out, kOldOutput);
        }
        const test_support::ProcessResult r =
            test_support::run_process(PDX_CONVERT_EXE, row.args, capture.path(), work.path());
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, row.err);
        std::set<std::string> names = {in};
        if (!row.out_after.empty()) {
            EXPECT_EQ(test_support::read_file(work.path() / out), row.out_after);
            names.insert(out);
        }
        EXPECT_EQ(listing(work.path()), names);
    }
}
#endif

} // namespace
