// The pdx command run as a real process where a case file of tests/cases
// cannot say it: signals, a directory that keeps every name, and on Windows
// its own process start and pipes (wildcards, names in UTF-16, a reader
// gone).

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
using namespace test_support;

const std::vector<std::int32_t> kGood = {1, -2, 0x12345678, INT32_MIN, INT32_MAX, 0};

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

// A pipe whose reader is gone, made as a Windows shell makes one, ends the
// run quietly with status 6. (The cases' pipe reaches a program under Wine
// as the host's own, which it reports otherwise.)
TEST(PdxWindows, ReaderGoneEndsQuietly) {
    TempDir work, capture;
    write_file(work.path() / "good.dat", DataFileBuilder(834).phase(2, 2, {7, 8, 9, 10}).build());
    const std::vector<std::vector<std::string>> runs = {{"info", "-j1", "good.dat", "missing.dat"},
                                                        {"--help"}};
    for (const std::vector<std::string> &args : runs) {
        SCOPED_TRACE(args[0]);
        const ProcessResult r =
            run_process(PDX_EXE, args, capture.path(), work.path(), StdoutTo::closed_pipe);
        EXPECT_EQ(r.status, 6);
        EXPECT_EQ(r.err, "");
    }
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
