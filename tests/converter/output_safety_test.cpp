// The command under the conditions that used to cost a user a file: limits
// on memory and file size, racing runs, pipes and FIFOs, links. Each case is
// a shell script run in a fresh directory with "$0" the command and "$1" the
// directory of inputs (a.dat and b.dat, whose conversions are a.mat and
// b.mat; big.dat; short.dat). The script reports statuses and file checks on
// its standard output; no temporary may be left in the directory.

#ifndef _WIN32

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/data_file_builder.h"
#include "support/matrix_image.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN
#endif
#endif

namespace {

namespace fs = std::filesystem;
using namespace test_support;

struct Case {
    const char *name;
    const char *script;
    const char *out; // the whole standard output
    const char *err; // expected within the standard error stream
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class OutputSafety : public testing::TestWithParam<Case> {
  protected:
    static void SetUpTestSuite() {
        inputs_ = new TempDir;
        for (int side : {1024, 1000, 2048}) {
            std::vector<std::int32_t> s(std::size_t(side) * side);
            for (std::size_t i = 0; i < s.size(); ++i) {
                s[i] = static_cast<std::int32_t>(i * 2654435761u);
            }
            const std::string name = side == 1024 ? "a" : side == 1000 ? "b" : "big";
            write_file(inputs_->path() / (name + ".dat"),
                       DataFileBuilder().phase(side, side, s).build());
            write_file(inputs_->path() / (name + ".mat"),
                       matrix_file_image(std::uint16_t(side), std::uint16_t(side), s, false));
        }
        // 900 bytes whose phase region asks for 4 GiB.
        write_file(inputs_->path() / "short.dat",
                   DataFileBuilder(834)
                       .set16(data_file_offset::phase_width, 32767)
                       .set16(data_file_offset::phase_height, 32767)
                       .set32(data_file_offset::phase_nbytes, 1u << 30)
                       .trailer(Bytes(66))
                       .build());
    }
    static void TearDownTestSuite() { delete inputs_; }
    static TempDir *inputs_;
};

TempDir *OutputSafety::inputs_ = nullptr;

// Twenty races to one new name: each prints the two statuses (in a fixed
// order) and whether the name then holds one of the two conversions whole.
#define RACE(opt)                                                                                  \
    "for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do rm -f o.mat; "                \
    "\"$0\" " opt " \"$1/a.dat\" o.mat 2>/dev/null & p=$!; "                                       \
    "\"$0\" " opt " \"$1/b.dat\" o.mat 2>/dev/null; s=$?; wait $p; "                               \
    "r=$?$s; [ $r = 30 ] && r=03; echo $r; "                                                       \
    "cmp -s o.mat \"$1/a.mat\" || cmp -s o.mat \"$1/b.mat\" || echo mixed; done"

#define TIMES20(s) s s s s s s s s s s s s s s s s s s s s

// clang-format off
const Case kCases[] = {
    // No memory for the big-endian copy of an input rewritten in place.
    {"MemoryLimitKeepsTheInput",
     "cp \"$1/big.dat\" x.dat; (ulimit -v 26000; exec \"$0\" -f -b x.dat x.dat); echo $?; "
     "cmp x.dat \"$1/big.dat\" && echo kept",
     "5\nkept\n", "Unable to convert \"x.dat\" to \"x.dat\" because...\n"
                  "\tthere was an error writing to the file \"x.dat\"\n\tERR_NO_MEM\n"},
    {"FileSizeLimitKeepsTheOutput",
     "echo old >o.mat; (ulimit -f 64; exec \"$0\" -f \"$1/a.dat\" o.mat); echo $?; cat o.mat",
     "5\nold\n", "writing to the file \"o.mat\"\n\tERR_CANT_WRITE_FILE\n"},
    {"RacingRunsWithoutForce", RACE(""), TIMES20("03\n"), ""},
    {"RacingRunsWithForce", RACE("-f"), TIMES20("00\n"), ""},
    // The name is taken while the run is held at its first message (its
    // standard error is a full pipe, so it sleeps): it loses at publishing.
    {"NameTakenDuringTheRun",
     "mkfifo p; exec 3<>p; head -c 65536 /dev/zero >&3; \"$0\" \"$1/a.dat\" o.mat 2>&3 & c=$!; "
     "n=0; until grep -qs ') S ' /proc/$c/stat || [ $n = 1000 ]; do sleep 0.01; n=$((n+1)); done; "
     "echo old >o.mat; exec 4<p 3>&-; tr -d '\\000' <&4 >err & wait $c; echo $?; wait; "
     "cat o.mat; grep -c Converting err; grep -c 'already exists' err",
     "3\nold\n1\n1\n", ""},
    // Nobody reads the FIFO: a prompt failure, not a wait (timeout: 124).
    {"FifoWithoutReader", "mkfifo f; timeout 10 \"$0\" \"$1/a.dat\" f; echo $?",
     "5\n", "writing to the file \"f\"\n\tERR_CANT_OPEN_FILE\n"},
    // A reader that opens the FIFO first and reads late: the writes wait.
    {"FifoWithSlowReader",
     "mkfifo f; exec 3<>f; \"$0\" \"$1/a.dat\" f 2>e & c=$!; sleep 0.5; exec 4<f 3>&-; "
     "cat <&4 >got; wait $c; echo $?; cmp got \"$1/a.mat\" && echo same",
     "0\nsame\n", ""},
    {"ShortFileUnderMemoryLimit",
     "(ulimit -v 26000; exec \"$0\" \"$1/short.dat\" o.mat); echo $?; test -e o.mat || echo none",
     "4\nnone\n", "short.dat\"\n\tERR_CORRUPT_DATA_FILE\n"},
    {"PipeReaderGone",
     "{ \"$0\" \"$1/a.dat\" /dev/stdout; echo $? >st; } | head -c 1 >/dev/null; cat st",
     "5\n", "writing to the file \"/dev/stdout\"\n\tERR_CANT_WRITE_FILE\n"},
    // Standard error is a pipe that nobody will read.
    {"MessageReaderGone",
     "mkfifo p; exec 4<>p 5>p 4<&-; \"$0\" \"$1/a.dat\" o.mat 2>&5; echo $?; cmp o.mat \"$1/a.mat\" && echo same",
     "0\nsame\n", ""},
    {"PipeReceivesTheBytes", "\"$0\" \"$1/a.dat\" /dev/stdout | cmp - \"$1/a.mat\" && echo same",
     "same\n", "to \"/dev/stdout\" successful\n"},
    // Ended by a signal while its temporary exists (or, rarely, once it has
    // published): the name holds nothing or the whole conversion.
    {"EndedBySignal",
     "for i in 1 2 3 4 5; do rm -f o.mat; \"$0\" \"$1/big.dat\" o.mat 2>/dev/null & c=$!; "
     "t() { for f in .o.mat.*.tmp; do [ -e \"$f\" ] && return 0; done; return 1; }; "
     "until t || ! kill -0 $c 2>/dev/null; do :; done; kill -TERM $c; wait $c; s=$?; "
     "case $s in 0|143) ;; *) echo status $s ;; esac; "
     "{ ! test -e o.mat || cmp -s o.mat \"$1/big.mat\"; } && echo ok; done",
     "ok\nok\nok\nok\nok\n", ""},
    // Under nohup a hangup stays ignored: the run, held at its first
    // message as above when the hangup comes, goes on to its end.
    {"HangupIgnoredAtStart",
     "mkfifo p; exec 3<>p; head -c 65536 /dev/zero >&3; "
     "nohup \"$0\" \"$1/a.dat\" o.mat >/dev/null 2>&3 & c=$!; "
     "n=0; until grep -qs ') S ' /proc/$c/stat || [ $n = 1000 ]; do sleep 0.01; n=$((n+1)); done; "
     "kill -HUP $c; exec 4<p 3>&-; cat <&4 >/dev/null & wait $c; echo $?; "
     "cmp o.mat \"$1/a.mat\" && echo same",
     "0\nsame\n", ""},
    {"DevNull", "\"$0\" \"$1/a.dat\" /dev/null; echo $?", "0\n", "successful\n"},
    // A name of an open descriptor writes where the shell's redirection
    // points, at its place in the file, with or without -f.
    {"DescriptorAppends",
     "echo header >log; \"$0\" -f \"$1/a.dat\" /dev/stdout >>log; echo $?; "
     "head -n 1 log; tail -c +8 log | cmp - \"$1/a.mat\" && echo same",
     "0\nheader\nsame\n", ""},
    {"DescriptorBetweenLines",
     "{ echo H; \"$0\" -f \"$1/a.dat\" /proc/self/fd/3 3>&1; echo F; } >g; "
     "head -c 2 g; tail -c 2 g; head -c -2 g | tail -c +3 | cmp - \"$1/a.mat\" && echo same",
     "H\nF\nsame\n", ""},
    {"DescriptorWithoutForce",
     "\"$0\" \"$1/a.dat\" /dev/stdout >new; echo $?; \"$0\" \"$1/b.dat\" /dev/fd/4 4>>new; echo $?; "
     "head -c 4194308 new | cmp - \"$1/a.mat\" && tail -c +4194309 new | cmp - \"$1/b.mat\" && echo same",
     "0\n0\nsame\n", "to \"/dev/fd/4\" successful\n"},
    // With standard input closed, the output may get descriptor 0.
    {"StandardInputClosed",
     "\"$0\" \"$1/a.dat\" o.mat <&-; echo $?; \"$0\" \"$1/a.dat\" /dev/null <&-; echo $?; "
     "\"$0\" \"$1/a.dat\" /dev/fd/3 3>d.mat <&-; echo $?; "
     "cmp o.mat \"$1/a.mat\" && cmp d.mat \"$1/a.mat\" && echo same",
     "0\n0\n0\nsame\n", ""},
    // Replacing keeps the permission bits; other hard links keep the old
    // contents; a symbolic link stays and its file is replaced, and a
    // dangling one gets its file created.
    // A directory that takes names but gives none up: a failed run keeps its
    // temporary, a successful one a second name; the lines name both.
    {"AppendOnlyDirectory",
     "mkdir d; chattr +a d 2>/dev/null || { echo skip; exit; }; echo old >d/o.mat; "
     "\"$0\" -f \"$1/a.dat\" d/o.mat 2>e; echo $?; \"$0\" \"$1/a.dat\" d/n.mat 2>>e; echo $?; "
     "chattr -a d; cat d/o.mat; cmp d/n.mat \"$1/a.mat\" && echo same; cat e >&2; "
     "for t in d/.*.tmp; do grep -c \"^\tthe temporary file \\\"$t\\\" could not be removed$\" e; rm \"$t\"; done",
     "5\n0\nold\nsame\n1\n1\n",
     "\tERR_CANT_WRITE_FILE\n\tthe temporary file \"d/.o.mat."},
    {"LinksAndPermissions",
     "echo old >o.mat; chmod 640 o.mat; ln o.mat hard; mkdir d; ln -s ../o.mat d/l; "
     "ln -s made.mat dangling; \"$0\" -f \"$1/a.dat\" d/l && \"$0\" \"$1/a.dat\" dangling && "
     "test -L d/l && test -L dangling && stat -c %a o.mat && cat hard && "
     "cmp o.mat \"$1/a.mat\" && cmp made.mat \"$1/a.mat\" && echo same",
     "640\nold\nsame\n", ""},
};
// clang-format on

TEST_P(OutputSafety, Runs) {
    const Case &c = GetParam();
#ifdef UNDER_ASAN
    if (std::string(c.script).find("ulimit -v") != std::string::npos) {
        GTEST_SKIP() << "the address sanitizer reserves more memory than the limit";
    }
#endif
    TempDir work;
    TempDir capture;
    const ProcessResult r =
        run_process("/bin/sh", {"-c", c.script, PDX_CONVERT_EXE, inputs_->file("")}, capture.path(),
                    work.path());
    if (r.out == "skip\n") {
        GTEST_SKIP() << "not possible here";
    }
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    for (const auto &entry : fs::recursive_directory_iterator(work.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputSafety, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &p) { return p.param.name; });

} // namespace

#endif
