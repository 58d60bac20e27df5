// The command under the conditions that used to cost a user a file: limits
// on memory and file size, racing runs, pipes and FIFOs, links. Each case is
// a shell script run in a fresh directory with "$0" the command and "$1" the
// directory of inputs; afterwards the named files must hold what the case
// says and no temporary may be left in the directory.

#ifndef _WIN32

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "converter/subprocess.h"
#include "support/data_file_builder.h"
#include "support/matrix_image.h"
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
using test_support::Bytes;

enum class Holds { absent, old, a_little, input };

struct Case {
    const char *name;
    const char *script;
    int status;
    const char *out; // a regular expression for the whole standard output
    std::string err; // expected within the standard error stream
    std::vector<std::pair<const char *, Holds>> files;
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

std::vector<std::int32_t> samples(std::size_t n) {
    std::vector<std::int32_t> s(n);
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<std::int32_t>(i * 2654435761u);
    }
    return s;
}

std::string failed(const char *in, const char *out, const char *what, const char *file,
                   const char *error) {
    return std::string("Unable to convert \"") + in + "\" to \"" + out + "\" because...\n\t" +
           what + " \"" + file + "\"\n\t" + error + "\n";
}

class OutputSafety : public testing::TestWithParam<Case> {
  protected:
    static void SetUpTestSuite() {
        inputs_ = new test_support::TempDir;
        const auto make = [](const char *name, int w, int h) {
            test_support::write_file(
                inputs_->path() / name,
                test_support::DataFileBuilder().phase(w, h, samples(std::size_t(w) * h)).build());
        };
        make("a.dat", 1024, 1024);
        make("b.dat", 1000, 1000);
        make("big.dat", 2048, 2048);
        // A 900-byte file whose phase region asks for 4 GiB.
        test_support::write_file(inputs_->path() / "short.dat",
                                 test_support::DataFileBuilder(834)
                                     .set16(test_support::data_file_offset::phase_width, 32767)
                                     .set16(test_support::data_file_offset::phase_height, 32767)
                                     .set32(test_support::data_file_offset::phase_nbytes, 1u << 30)
                                     .trailer(Bytes(66))
                                     .build());
        const auto image = [](const char *name, int w, int h) {
            test_support::write_file(
                inputs_->path() / name,
                test_support::matrix_file_image(std::uint16_t(w), std::uint16_t(h),
                                                samples(std::size_t(w) * h), false));
        };
        image("a.mat", 1024, 1024);
        image("b.mat", 1000, 1000);
    }
    static void TearDownTestSuite() { delete inputs_; }
    static test_support::TempDir *inputs_;
};

test_support::TempDir *OutputSafety::inputs_ = nullptr;

// One race: the two runs' statuses, then whether the name holds one whole
// conversion.
#define RACE(opt)                                                                                  \
    "for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do rm -f o.mat; "                \
    "\"$0\" " opt " \"$1/a.dat\" o.mat 2>/dev/null & p=$!; "                                       \
    "\"$0\" " opt " \"$1/b.dat\" o.mat 2>/dev/null; s=$?; wait $p; r=$?; "                         \
    "if cmp -s o.mat \"$1/a.mat\" || cmp -s o.mat \"$1/b.mat\"; then w=whole; else w=mixed; fi; "  \
    "echo $r$s $w; done"

const Case kCases[] = {
    // No memory for the big-endian copy of an input rewritten in place.
    {"MemoryLimitKeepsTheInput",
     "cp \"$1/big.dat\" x.dat; ulimit -v 26000; exec \"$0\" -f -b x.dat x.dat",
     5,
     "",
     failed("x.dat", "x.dat", "there was an error writing to the file", "x.dat", "ERR_NO_MEM"),
     {{"x.dat", Holds::input}}},
    {"FileSizeLimitKeepsTheOutput",
     "echo old >o.mat; ulimit -f 64; exec \"$0\" -f \"$1/a.dat\" o.mat",
     5,
     "",
     "there was an error writing to the file \"o.mat\"\n\tERR_CANT_WRITE_FILE\n",
     {{"o.mat", Holds::old}}},
    {"RacingRunsWithoutForce", RACE(""), 0, "((03|30) whole\n){20}", "", {}},
    {"RacingRunsWithForce", RACE("-f"), 0, "(00 whole\n){20}", "", {}},
    // Nobody reads the FIFO: a prompt failure, not a wait (timeout: 124).
    {"FifoWithoutReader",
     "mkfifo f; exec timeout 10 \"$0\" \"$1/a.dat\" f",
     5,
     "",
     "writing to the file \"f\"\n\tERR_CANT_OPEN_FILE\n",
     {}},
    {"ShortFileUnderMemoryLimit",
     "ulimit -v 26000; exec \"$0\" \"$1/short.dat\" o.mat",
     4,
     "",
     "reading the file \"$1/short.dat\"\n\tERR_CORRUPT_DATA_FILE\n",
     {{"o.mat", Holds::absent}}},
    {"PipeReaderGone",
     "{ \"$0\" \"$1/a.dat\" /dev/stdout; echo $? >st; } | head -c 1 >/dev/null; cat st",
     0,
     "5\n",
     "writing to the file \"/dev/stdout\"\n\tERR_CANT_WRITE_FILE\n",
     {}},
    {"MessageReaderGone",
     "mkfifo p; exec 4<>p 5>p 4<&-; \"$0\" \"$1/a.dat\" o.mat 2>&5; echo $?",
     0,
     "0\n",
     "",
     {{"o.mat", Holds::a_little}}},
    {"PipeReceivesTheBytes",
     "\"$0\" \"$1/a.dat\" /dev/stdout | cat >o.mat",
     0,
     "",
     "Conversion from \"$1/a.dat\" to \"/dev/stdout\" successful\n",
     {{"o.mat", Holds::a_little}}},
    {"DevNull", "exec \"$0\" \"$1/a.dat\" /dev/null", 0, "", "successful\n", {}},
    // Replacing keeps the permission bits; other hard links keep the old
    // contents; a symbolic link stays and its file is replaced, and a
    // dangling one gets its file created.
    {"LinksAndPermissions",
     "echo old >o.mat; chmod 640 o.mat; ln o.mat hard; mkdir d; ln -s ../o.mat d/l; "
     "ln -s made.mat dangling; "
     "\"$0\" -f \"$1/a.dat\" d/l 2>/dev/null && \"$0\" \"$1/a.dat\" dangling 2>/dev/null && "
     "test -L d/l && test -L dangling && stat -c %a o.mat",
     0,
     "640\n",
     "",
     {{"o.mat", Holds::a_little}, {"hard", Holds::old}, {"made.mat", Holds::a_little}}},
};

TEST_P(OutputSafety, Runs) {
    const Case &c = GetParam();
#ifdef UNDER_ASAN
    if (std::string(c.script).find("ulimit -v") != std::string::npos) {
        GTEST_SKIP() << "the address sanitizer reserves more memory than the limit";
    }
#endif
    test_support::TempDir work;
    test_support::TempDir capture;
    const std::string in = inputs_->path().string();
    const test_support::ProcessResult r = test_support::run_process(
        "/bin/sh", {"-c", c.script, PDX_CONVERT_EXE, in}, capture.path(), work.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << r.out;
    const std::string err = std::regex_replace(c.err, std::regex("\\$1"), in);
    EXPECT_NE(r.err.find(err), std::string::npos) << r.err;

    const Bytes old = {'o', 'l', 'd', '\n'};
    for (const auto &[name, holds] : c.files) {
        SCOPED_TRACE(name);
        const fs::path p = work.path() / name;
        switch (holds) {
        case Holds::absent:
            EXPECT_FALSE(fs::exists(p));
            break;
        case Holds::old:
            EXPECT_EQ(test_support::read_file(p), old);
            break;
        case Holds::a_little:
            EXPECT_EQ(test_support::read_file(p),
                      test_support::read_file(inputs_->path() / "a.mat"));
            break;
        case Holds::input:
            EXPECT_EQ(test_support::read_file(p),
                      test_support::read_file(inputs_->path() / "big.dat"));
            break;
        }
    }
    for (const auto &entry : fs::recursive_directory_iterator(work.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos)
            << "left behind: " << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputSafety, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &p) { return p.param.name; });

} // namespace

#endif
