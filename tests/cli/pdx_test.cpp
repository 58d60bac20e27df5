// The pdx command run as a real process over a folder of inputs: exit
// status, the exact standard error (never a terminal here, so no progress
// line), the files left behind. good.dat and other.dat convert; bad.dat is
// not a data file; short.dat is cut short; sub is a directory; fifo.dat
// (POSIX) a FIFO.

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "support/data_file_builder.h"
#include "support/matrix_image.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace test_support;

const std::vector<std::int32_t> kGood = {1, -2, 0x12345678, INT32_MIN, INT32_MAX, 0};
const std::vector<std::int32_t> kOther = {7, 8, 9, 10};
const Bytes kOld = {'o', 'l', 'd'};

// What a case leaves in a file: absent, the old bytes, or a conversion;
// `input`: good.dat's own bytes.
enum class Left { absent, old, good, good_big, other, some, input };

// A name made before the run: a symbolic link to `target` or, when `hard`,
// a second name of it.
struct Link {
    std::string name;
    std::string target;
    bool hard = false;
};

struct Case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string err;
    std::map<std::string, Left> files; // relative to the folder
    std::string out_prefix = "";
    std::vector<Link> links = {};
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

std::string usage(const std::string &command, const std::string &problem) {
    return command + ": " + problem + "\nTry '" + command + " --help'.\n";
}

// sub/good.bin, a chain of `links` symbolic links in sub that ends at
// other.bin there, which is missing, the last by a way longer than the first
// buffer a link's text is read into. The writer follows 40 links.
std::vector<Link> chain(int links) {
    std::vector<Link> made;
    for (int i = 1; i < links; ++i) {
        made.push_back(
            {i == 1 ? "sub/good.bin" : "sub/" + std::to_string(i - 1), std::to_string(i)});
    }
    std::string way;
    for (int i = 0; i < 150; ++i) {
        way += "./";
    }
    made.push_back({"sub/" + made.back().target, way + "other.bin"});
    return made;
}

// clang-format off
const Case kCases[] = {
    // Malformed command lines: status 1, nothing examined or written.
    {"NoCommand", {}, 1, "", {}, ""},
    {"UnknownCommand", {"frob", "good.dat"}, 1,
     usage("pdx", "unknown command \"frob\" (info, convert, export or report)"), {}},
    {"NoFiles", {"convert", "-f"}, 1, usage("pdx convert", "no files given"), {}},
    {"UnknownOption", {"convert", "-x", "good.dat"}, 1,
     usage("pdx convert", "unknown option \"-x\""), {{"good.bin", Left::absent}}},
    {"OptionOfAnotherCommand", {"info", "-b", "good.dat"}, 1,
     usage("pdx info", "unknown option \"-b\""), {}},
    {"MissingValue", {"convert", "good.dat", "-o"}, 1,
     usage("pdx convert", "option -o needs a value"), {}},
    {"ValueOnAFlag", {"info", "--json=yes", "good.dat"}, 1,
     usage("pdx info", "option --json takes no value"), {}},
    {"NoJobs", {"convert", "-j", "0", "good.dat"}, 1,
     usage("pdx convert", "-j takes a number of files from 1 to 256: \"0\""), {}},
    {"TooManyJobs", {"convert", "-j257", "good.dat"}, 1,
     usage("pdx convert", "-j takes a number of files from 1 to 256: \"257\""), {}},
    {"NoDirectory", {"convert", "-o", "nowhere", "good.dat"}, 1,
     usage("pdx convert", "-o \"nowhere\" is not a directory"), {}},
    {"NoFormat", {"export", "good.dat"}, 1,
     usage("pdx export", "--to FORMAT is required (gsf, tiff, npy or png)"), {}},
    {"UnknownFormat", {"export", "--to=jpg", "good.dat"}, 1,
     usage("pdx export", "unknown format \"jpg\" (gsf, tiff, npy or png)"), {}},
    {"BadRange", {"export", "--to", "png", "--valid", "5:1", "good.dat"}, 1,
     usage("pdx export", "--valid takes MIN:MAX, whole numbers with MIN <= MAX, either left out: \"5:1\""), {}},
    {"SizeBeyondPng", {"export", "--to", "gsf", "--size", "64", "good.dat"}, 1,
     usage("pdx export", "--size applies to png only"), {}},
    {"NodataNotANumber", {"info", "--nodata", "x", "good.dat"}, 1,
     usage("pdx info", "--nodata takes a whole number within the 32-bit range: \"x\""), {}},
    {"PixelSizeWithoutUnit", {"export", "--to", "tiff", "--pixel-size", "0.52", "good.dat"}, 1,
     usage("pdx export", "--pixel-size takes X or X,Y, each a positive length with its unit (m, mm, um or nm), such as 0.52um: \"0.52\""),
     {{"good.tif", Left::absent}}},
    {"ZScaleNotPositive", {"info", "--z-scale=0nm", "good.dat"}, 1,
     usage("pdx info", "--z-scale takes the height of one count, a positive length with its unit (m, mm, um or nm), such as 0.158nm: \"0nm\""), {}},
    {"AllWithNodata", {"export", "--to", "gsf", "--nodata", "7", "--all", "good.dat"}, 1,
     usage("pdx export", "--all keeps every sample: it is not taken with --valid or --nodata"),
     {{"good.gsf", Left::absent}}},
    {"ConvertRefusesRule", {"convert", "--valid", "0:", "good.dat"}, 1,
     usage("pdx convert", "--valid does not apply to convert, whose .bin files keep every sample exactly as stored; use 'pdx export'"),
     {{"good.bin", Left::absent}}},
    {"ConvertRefusesCalibration", {"convert", "good.dat", "--calibration"}, 1,
     usage("pdx convert", "--calibration does not apply to convert, whose .bin files keep every sample exactly as stored; use 'pdx export'"), {}},
    {"EnlargeBeyondPng", {"export", "--to", "tiff", "--enlarge", "good.dat"}, 1,
     usage("pdx export", "--enlarge applies to png with a --size above 0"), {}},
    {"CalibrationMissing", {"export", "--to", "png", "--calibration", "none.json", "good.dat"}, 1,
     "pdx export: calibration file \"none.json\": cannot be opened\n", {{"good.png", Left::absent}}},
    // Written all the same, with a warning: valid samples past 2^24 in
    // floats (0x12345678, and 2147483647 once --valid replaces the markers'
    // rule), or no valid sample at all.
    {"RangeOnNpyWarns", {"export", "--to", "npy", "--valid", "0:", "good.dat"}, 0,
     "pdx: \"good.dat\": warning: some valid samples are beyond 2^24, where 32-bit floats hold them only approximately\n",
     {{"good.npy", Left::some}}},
    {"NothingValidWarns", {"export", "-j1", "--to", "png", "--valid", "100:", "other.dat", "old.dat"}, 0,
     "pdx: \"other.dat\": warning: no sample is valid; the preview is all transparent\n"
     "pdx: \"old.dat\": warning: some valid samples are beyond 2^24, where 32-bit floats hold them only approximately\n"
     "pdx: 2 files, 2 exported, 0 failed\n",
     {{"other.png", Left::some}, {"old.png", Left::some}}},
    {"NothingValidInFloats", {"export", "--to", "gsf", "--valid", ":0", "other.dat"}, 0,
     "pdx: \"other.dat\": warning: no sample is valid; every value is NaN\n", {{"other.gsf", Left::some}}},
    {"Help", {"--help"}, 0, "", {}, "Usage: pdx COMMAND"},
    {"CommandHelp", {"export", "good.dat", "--help"}, 0, "", {{"good.gsf", Left::absent}},
     "Usage: pdx export --to FORMAT"},
    {"Version", {"--version"}, 0, "", {}, "pdx " PDX_VERSION "\n"},

    // Conversions: the bytes pdx_convert writes, beside the inputs or in -o.
    {"ConvertsEach", {"convert", "-j", "2", "good.dat", "other.dat"}, 0,
     "pdx: 2 files, 2 converted, 0 failed\n",
     {{"good.bin", Left::good}, {"other.bin", Left::other}}},
    {"BigEndianIntoDirectory", {"convert", "-bq", "-o", "sub", "good.dat"}, 0, "",
     {{"sub/good.bin", Left::good_big}, {"good.bin", Left::absent}}},
    {"ExistingOutputKept", {"convert", "-j1", "good.dat", "old.dat"}, 3,
     "pdx: \"old.dat\": output \"old.bin\": already exists\npdx: 2 files, 1 converted, 1 failed\n",
     {{"good.bin", Left::good}, {"old.bin", Left::old}}},
    {"ForceReplaces", {"convert", "-f", "old.dat"}, 0, "", {{"old.bin", Left::good}}},
    {"OneNameTwoInputs", {"convert", "-j1", "-f", "good.dat", "good.xyz"}, 3,
     "pdx: \"good.xyz\": output \"good.bin\": is also the output of \"good.dat\"\n"
     "pdx: 2 files, 1 converted, 1 failed\n",
     {{"good.bin", Left::good}}},
    {"OutputWouldReplaceAnInput", {"convert", "-f", "old.bin"}, 3,
     "pdx: \"old.bin\": output \"old.bin\": would replace the input \"old.bin\"\n",
     {{"old.bin", Left::old}}},
    {"DamagedAmongGood", {"convert", "-j1", "good.dat", "bad.dat", "short.dat", "other.dat"}, 4,
     "pdx: \"bad.dat\": read: ERR_NOT_A_DATA_FILE\npdx: \"short.dat\": read: ERR_CORRUPT_DATA_FILE\n"
     "pdx: 4 files, 2 converted, 2 failed\n",
     {{"good.bin", Left::good}, {"other.bin", Left::other}, {"bad.bin", Left::absent},
      {"short.bin", Left::absent}}},
    {"LargestStatusWins", {"convert", "-j1", "missing.dat", "old.dat"}, 3,
     "pdx: \"missing.dat\": input: does not exist\npdx: \"old.dat\": output \"old.bin\": already exists\n"
     "pdx: 2 files, 0 converted, 2 failed\n", {}},
    {"FailedWrite", {"convert", "dir.dat"}, 5,
     "pdx: \"dir.dat\": write \"dir.bin\": ERR_CANT_OPEN_FILE\n", {}},
    {"ExportsBesideInput", {"export", "--to", "npy", "good.dat", "-o", "sub"}, 0, "",
     {{"sub/good.npy", Left::some}}},
    {"ExportWithoutPhase", {"export", "--to", "png", "nophase.dat"}, 4,
     "pdx: \"nophase.dat\": export: no phase samples (ERR_NO_DATA)\n", {{"nophase.png", Left::absent}}},
    {"InfoStatus", {"info", "-j1", "good.dat", "short.dat", "missing.dat"}, 4,
     "pdx: \"short.dat\": read: ERR_CORRUPT_DATA_FILE\npdx: \"missing.dat\": input: does not exist\n"
     "pdx: 3 files, 1 read, 2 failed\n", {}, "good.dat: reads\n"},

    // Names compared by the files they lead to, whatever -f says.
    {"HardLinkedOutput", {"convert", "-f", "good.dat"}, 3,
     "pdx: \"good.dat\": output \"good.bin\": would replace the input \"good.dat\"\n",
     {{"good.dat", Left::input}}, "", {{"good.bin", "good.dat", true}}},
    // What is there, named as what it is.
    {"DirectoryInput", {"convert", "sub"}, 2, "pdx: \"sub\": input: is a folder with no data files in it\n", {}},
    {"DirectoryInfo", {"info", "sub"}, 2, "pdx: \"sub\": input: is a folder with no data files in it\n", {},
     "sub: is a folder with no data files in it\n"},
    {"DirectoryJson", {"info", "--json", "sub"}, 2, "pdx: \"sub\": input: is a folder with no data files in it\n", {},
     "{\"file\":\"sub\",\"status\":2,\"exists\":true,\"kind\":\"directory\",\"reads\":false,"},
#ifdef _WIN32
    {"CaseFolded", {"convert", "-j1", "-f", "good.dat", "GOOD.xyz"}, 3,
     "pdx: \"GOOD.xyz\": output \"GOOD.bin\": is also the output of \"good.dat\"\n"
     "pdx: 2 files, 1 converted, 1 failed\n", {{"good.bin", Left::good}}},
#else
    {"LinkedOutput", {"convert", "-f", "good.dat"}, 3,
     "pdx: \"good.dat\": output \"good.bin\": would replace the input \"good.dat\"\n",
     {{"good.dat", Left::input}}, "", {{"good.bin", "good.dat"}}},
    {"OutputThroughLinkedDirectory", {"convert", "-j1", "-f", "here/old.dat", "old.bin"}, 3,
     "pdx: \"here/old.dat\": output \"here/old.bin\": would replace the input \"old.bin\"\n"
     "pdx: \"old.bin\": output \"old.bin\": would replace the input \"old.bin\"\n"
     "pdx: 2 files, 0 converted, 2 failed\n", {{"old.bin", Left::old}}, "", {{"here", "."}}},
    {"LinkedOutputDirectory", {"convert", "-f", "-o", "here", "old.bin"}, 3,
     "pdx: \"old.bin\": output \"here/old.bin\": would replace the input \"old.bin\"\n",
     {{"old.bin", Left::old}}, "", {{"here", "."}}},
    {"TwoOutputsThroughLinkedDirectory", {"convert", "-j1", "-f", "good.dat", "here/good.xyz"}, 3,
     "pdx: \"here/good.xyz\": output \"here/good.bin\": is also the output of \"good.dat\"\n"
     "pdx: 2 files, 1 converted, 1 failed\n", {{"good.bin", Left::good}}, "", {{"here", "."}}},
    {"DanglingLinkOutput", {"convert", "-j1", "-f", "-o", "sub", "good.dat", "other.dat"}, 3,
     "pdx: \"other.dat\": output \"sub/other.bin\": is also the output of \"good.dat\"\n"
     "pdx: 2 files, 1 converted, 1 failed\n", {{"sub/other.bin", Left::good}}, "", chain(40)},
    {"TooManyLinks", {"convert", "-j1", "-f", "-o", "sub", "good.dat", "other.dat"}, 5,
     "pdx: \"good.dat\": write \"sub/good.bin\": ERR_CANT_OPEN_FILE\n"
     "pdx: 2 files, 1 converted, 1 failed\n", {{"sub/other.bin", Left::other}}, "", chain(41)},
    {"DevicesAndFifos", {"info", "-j1", "/dev/null", "fifo.dat"}, 2,
     "pdx: \"/dev/null\": input: is a character device, not a regular file\n"
     "pdx: \"fifo.dat\": input: is a FIFO, not a regular file\npdx: 2 files, 0 read, 2 failed\n", {},
     "/dev/null: is a character device, not a regular file\nfifo.dat: is a FIFO, not a regular file\n"},
    // Names that would forge a line or drive a terminal are quoted; others
    // are shown as they are.
    {"ControlsQuoted", {"info", "-j1", "a\nb", "\x1b[31m\x7F\a\r\x06\x0e", "\xC2\x9F\xC2\xA0", "\xFFit's", "\xC3\xA9 x"}, 2,
     "pdx: 'a'$'\\n''b': input: does not exist\npdx: $'\\033''[31m'$'\\177\\a\\r\\006\\016': input: does not exist\n"
     "pdx: $'\\302\\237''\xC2\xA0': input: does not exist\npdx: $'\\377''it'\\''s': input: does not exist\n"
     "pdx: \"\xC3\xA9 x\": input: does not exist\npdx: 5 files, 0 read, 5 failed\n", {},
     "'a'$'\\n''b': does not exist\n$'\\033''[31m'$'\\177\\a\\r\\006\\016': does not exist\n"
     "$'\\302\\237''\xC2\xA0': does not exist\n$'\\377''it'\\''s': does not exist\n\xC3\xA9 x: does not exist\n"},
    {"OptionQuoted", {"info", "-\t"}, 1, usage("pdx info", "unknown option '-'$'\\t'"), {}},
    // A name that begins with the bytes of a byte-order mark is a name, not
    // a wide path.
    {"MarkBytesAreAName", {"convert", "\xFF\xFEx.dat"}, 0, "", {{"\xFF\xFEx.bin", Left::good}}},
#endif
};
// clang-format on

class Pdx : public testing::TestWithParam<Case> {};

TEST_P(Pdx, Runs) {
    const Case &c = GetParam();
    TempDir work, capture;
    const auto put = [&](const std::string &name, const Bytes &bytes) {
        write_file(work.path() / name, bytes);
    };
    const Bytes good =
        DataFileBuilder(4096).intensity(3, 2, 1, {1, 2, 3, 4, 5, 6}).phase(3, 2, kGood).build();
    fs::create_directories(work.path() / "sub");
    fs::create_directories(work.path() / "dir.bin");
#ifndef _WIN32
    mkfifo((work.path() / "fifo.dat").c_str(), 0600);
#endif
    for (const char *name : {"good.dat", "good.xyz", "old.dat", "dir.dat", "\xFF\xFEx.dat"}) {
#ifdef _WIN32
        if (name[0] == '\xFF') {
            continue;
        }
#endif
        put(name, good);
    }
    put("other.dat", DataFileBuilder(834).phase(2, 2, kOther).build());
    put("bad.dat", {'n', 'o', 't', '\n'});
    put("short.dat", Bytes(good.begin(), good.end() - 1));
    put("nophase.dat", DataFileBuilder(834).build());
    put("old.bin", kOld);
    for (const Link &link : c.links) {
        const fs::path at = work.path() / link.name;
        link.hard ? fs::create_hard_link(work.path() / link.target, at)
                  : fs::create_symlink(link.target, at);
    }

    const ProcessResult r = run_process(PDX_EXE, c.args, capture.path(), work.path());
    EXPECT_EQ(r.status, c.status);
    if (c.args.empty()) {
        EXPECT_EQ(r.err.rfind("Usage: pdx COMMAND", 0), 0u) << r.err;
    } else {
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(r.out.rfind(c.out_prefix, 0), 0u) << r.out;

    const std::map<Left, Bytes> contents = {{Left::old, kOld},
                                            {Left::input, good},
                                            {Left::good, matrix_file_image(3, 2, kGood, false)},
                                            {Left::good_big, matrix_file_image(3, 2, kGood, true)},
                                            {Left::other, matrix_file_image(2, 2, kOther, false)}};
    for (const auto &[name, left] : c.files) {
        const fs::path p = work.path() / name;
        if (left == Left::absent) {
            EXPECT_FALSE(fs::exists(p)) << name;
        } else if (left == Left::some) {
            EXPECT_TRUE(fs::is_regular_file(p)) << name;
        } else {
            EXPECT_EQ(read_file(p), contents.at(left)) << name;
        }
    }
    for (const auto &entry : fs::recursive_directory_iterator(work.path())) {
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Pdx, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &p) { return p.param.name; });

// A standard output that fails: status 6 and one line, the files left
// passed over (no line for missing.dat, no summary). A reader that is gone
// ends the run quietly, as SIGPIPE does. A run that writes nothing there
// does not mind it closed.
struct OutCase {
    const char *name;
    std::vector<std::string> args;
    StdoutTo to;
    int status;
    std::string err;
};

#ifdef _WIN32
const int kReaderGone = 6;
#else
const int kReaderGone = 128 + SIGPIPE;
#endif

// clang-format off
const OutCase kOutCases[] = {
    {"InfoReaderGone", {"info", "-j1", "good.dat", "missing.dat"}, StdoutTo::closed_pipe, kReaderGone, ""},
    {"HelpReaderGone", {"--help"}, StdoutTo::closed_pipe, kReaderGone, ""},
    {"VersionClosed", {"--version"}, StdoutTo::closed, 6, "pdx: standard output: Bad file descriptor\n"},
    {"ConvertClosed", {"convert", "-q", "good.dat"}, StdoutTo::closed, 0, ""},
    {"InfoFull", {"info", "-j1", "good.dat", "missing.dat"}, StdoutTo::full_device, 6,
     "pdx: standard output: No space left on device\n"},
    {"JsonFull", {"info", "--json", "good.dat"}, StdoutTo::full_device, 6,
     "pdx: standard output: No space left on device\n"},
    {"CommandHelpFull", {"convert", "--help"}, StdoutTo::full_device, 6,
     "pdx: standard output: No space left on device\n"},
    {"VersionFull", {"--version"}, StdoutTo::full_device, 6,
     "pdx: standard output: No space left on device\n"},
};
// clang-format on

void PrintTo(const OutCase &c, std::ostream *os) {
    *os << c.name;
}

class PdxOut : public testing::TestWithParam<OutCase> {};

TEST_P(PdxOut, Ends) {
    const OutCase &c = GetParam();
#ifdef _WIN32
    if (c.to == StdoutTo::full_device && !fs::exists("Z:\\dev\\full")) {
        GTEST_SKIP() << "no full device (it is Linux's, through Wine)";
    }
#endif
    TempDir work, capture;
    write_file(work.path() / "good.dat", DataFileBuilder(834).phase(2, 2, kOther).build());
    const ProcessResult r = run_process(PDX_EXE, c.args, capture.path(), work.path(), c.to);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Cases, PdxOut, testing::ValuesIn(kOutCases),
                         [](const testing::TestParamInfo<OutCase> &p) { return p.param.name; });

#ifdef _WIN32

// cmd leaves wildcards to the program: "*.dat" picks the .dat files by their
// own names (not x.data through a short name), a pattern that matches
// nothing stays as typed, and a CJK name goes through whole.
TEST(PdxWindows, ExpandsWildcardsAndKeepsNames) {
    TempDir work, capture;
    const Bytes good = DataFileBuilder(834).phase(3, 2, kGood).build();
    const std::string cjk = "\xE6\x95\xB0\xE6\x8D\xAE"; // two CJK characters
    const auto path = [&](const std::string &utf8) {
        return work.path() / fs::path(std::u8string(utf8.begin(), utf8.end()));
    };
    for (const std::string &name :
         {std::string("a.dat"), std::string("b.dat"), std::string("x.data"), cjk + ".dat"}) {
        write_file(path(name), good);
    }
    ProcessResult r =
        run_process(PDX_EXE, {"convert", "-j1", "*.dat", "none*.dat"}, capture.path(), work.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "pdx: \"none*.dat\": input: does not exist\n"
                     "pdx: 4 files, 3 converted, 1 failed\n");
    for (const std::string &name : {std::string("a.bin"), std::string("b.bin"), cjk + ".bin"}) {
        EXPECT_EQ(read_file(path(name)), matrix_file_image(3, 2, kGood, false)) << name;
    }
    EXPECT_FALSE(fs::exists(path("x.bin")));
    r = run_process(PDX_EXE, {"export", "--to", "png", cjk + ".dat"}, capture.path(), work.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(path(cjk + ".png")));
}

#else

// Interrupted (SIGINT, as Ctrl-C sends) while several files are being
// written: no temporary stays, and every output holds nothing or a whole
// conversion. A shell's background job ignores SIGINT unless env sets it
// back.
TEST(PdxSignals, InterruptLeavesNoTemporary) {
    TempDir work, capture;
    std::vector<std::int32_t> samples(std::size_t(2048) * 2048);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int32_t>(i * 2654435761u);
    }
    for (const char *name : {"a", "b", "c", "d"}) {
        write_file(work.path() / (std::string(name) + ".dat"),
                   DataFileBuilder().phase(2048, 2048, samples).build());
    }
    write_file(work.path() / "expected", matrix_file_image(2048, 2048, samples, false));
    const char *script =
        "for i in 1 2 3; do rm -f *.bin; env --default-signal=INT \"$0\" convert -q -j 4 a.dat "
        "b.dat "
        "c.dat d.dat 2>/dev/null & "
        "c=$!; t() { for f in .*.tmp; do [ -e \"$f\" ] && return 0; done; return 1; }; "
        "until t || ! kill -0 $c 2>/dev/null; do :; done; kill -INT $c; wait $c; s=$?; "
        "case $s in 0|130) ;; *) echo status $s ;; esac; "
        "for f in *.bin; do [ ! -e \"$f\" ] || cmp -s \"$f\" expected || echo \"$f\" differs; "
        "done; "
        "ls -a | grep tmp; done; echo end";
    const ProcessResult r =
        run_process("/bin/sh", {"-c", script, PDX_EXE}, capture.path(), work.path());
    EXPECT_EQ(r.out, "end\n");
}

// A directory that takes names but gives none up: a successful export
// leaves its temporary as a second name, and the run says which.
TEST(PdxAppendOnly, NamesTheTemporaryLeft) {
    TempDir work, capture;
    write_file(work.path() / "a.dat", DataFileBuilder().phase(3, 2, {1, 2, 3, 4, 5, 6}).build());
    const char *script =
        "mkdir d; chattr +a d 2>/dev/null || { echo skip; exit; }; \"$0\" export -q --to npy "
        "-o d a.dat 2>e; echo $?; chattr -a d; for t in d/.*.tmp; do "
        "grep -c \"^pdx: \\\"a.dat\\\": output \\\"d/a.npy\\\": the temporary file \\\"$t\\\" "
        "could not be removed$\" e; cmp \"$t\" d/a.npy && echo same; done";
    const ProcessResult r =
        run_process("/bin/sh", {"-c", script, PDX_EXE}, capture.path(), work.path());
    if (r.out == "skip\n") {
        GTEST_SKIP() << "no append-only directories here";
    }
    EXPECT_EQ(r.out, "0\n1\nsame\n");
}

#endif

} // namespace
