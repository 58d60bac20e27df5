#include "pdx/output/output_file.h"
#include "pdx/util/file.h"
#include "pdx/util/path.h"
#include "pdx/util/platform.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "support/temp_dir.h"

namespace {

using namespace pdx;
using test_support::TempDir;
using test_support::wide_path;
using test_support::wide_path_of;

// Creates the file that the path argument `path` names, holding `text`,
// through the library's output path. False when the name cannot be opened.
bool create_file(const std::string &path, const char *text = "") {
    UOutputFile out;
    if (out.open(path.c_str(), UPublish::replace) != 0) {
        return false;
    }
    std::fputs(text, out.stream());
    return out.commit() == 0;
}

class PathTest : public testing::Test {
  protected:
    void SetUp() override {
        test_support::write_file(dir.path() / "plain.dat", {1, 2, 3});
        // A data file with every permission bit set is still a regular file.
        test_support::write_file(dir.path() / "run.dat", {1});
        test_support::write_file(dir.path() / "p", {1});
        std::filesystem::permissions(dir.path() / "run.dat", std::filesystem::perms::all);
        std::filesystem::create_directory(dir.path() / "sub");
    }
    TempDir dir;
};

TEST_F(PathTest, FileExistsOnlyForRegularFiles) {
    const std::string file = dir.file("plain.dat");
    const std::string executable = dir.file("run.dat");
    const std::string sub = dir.file("sub");
    const std::string missing = dir.file("missing.dat");
    struct Case {
        const char *path;
        bool exists;
    };
    const Case cases[] = {
        {file.c_str(), true}, {executable.c_str(), true},
        {sub.c_str(), false}, {missing.c_str(), false},
        {"", false},          {nullptr, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(u_file_exists(c.path), c.exists) << (c.path ? c.path : "(null)");
    }
    // A one-letter name, relative to the working directory.
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const bool one_letter = u_file_exists("p");
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(one_letter);
}

TEST_F(PathTest, ReadAtTakesNoOldErrorForAnInterruption) {
    // EINTR left in errno by an earlier call says nothing of this read: it
    // still ends at the end of the file. Taken for an interruption, the same
    // bytes would be read again forever (the alarm ends the test then).
    std::FILE *f = u_platform_open_read(dir.file("plain.dat").c_str());
    ASSERT_NE(f, nullptr);
    unsigned char got[8] = {};
#ifndef _WIN32
    alarm(20);
#endif
    errno = EINTR;
    const std::size_t n = u_platform_read_at(f, got, sizeof got, 1);
#ifndef _WIN32
    alarm(0);
#endif
    std::fclose(f);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(got[0], 2);
    EXPECT_EQ(got[1], 3);
}

TEST_F(PathTest, WidePathsInBothMarkOrdersNameTheSameFile) {
    const std::filesystem::path name = dir.path() / std::filesystem::path(u8"t\u00e9st.dat");
    // Create the file through the wide form, then confirm independently that
    // the name on disk is the intended one.
    ASSERT_TRUE(create_file(wide_path_of(name), "x"));
    ASSERT_TRUE(std::filesystem::is_regular_file(name));

    EXPECT_TRUE(u_file_exists(wide_path_of(name, true).c_str()));
    EXPECT_TRUE(u_file_exists(wide_path_of(name, false).c_str()));
    EXPECT_FALSE(u_file_exists(wide_path_of(dir.path() / "sub").c_str()));
    EXPECT_FALSE(u_file_exists(wide_path_of(dir.path() / "missing.dat").c_str()));

    std::FILE *f = u_platform_open_read(wide_path_of(name, false).c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fgetc(f), 'x');
    std::fclose(f);
}

TEST_F(PathTest, WideFormRule) {
    const std::string empty_wide("\xFF\xFE\0\0", 4);
    EXPECT_TRUE(u_path_is_wide(empty_wide.c_str()));
    EXPECT_FALSE(u_file_exists(empty_wide.c_str()));
    EXPECT_EQ(u_platform_open_read(empty_wide.c_str()), nullptr);

    EXPECT_FALSE(u_path_is_wide(nullptr));
    EXPECT_FALSE(u_path_is_wide(""));
    EXPECT_FALSE(u_path_is_wide("\xFF"));
    EXPECT_FALSE(u_path_is_wide("\xFE\xFE"));
    EXPECT_FALSE(u_path_is_wide("plain.dat"));

    // Narrow text that happens to begin FF FE is taken as wide, so a file
    // whose narrow name is those bytes cannot be reached by that name.
    const std::string looks_wide = "\xFF\xFE"
                                   "ab";
    EXPECT_TRUE(u_path_is_wide(looks_wide.c_str()));

    // A name given as bytes keeps them, behind "./" where they would read
    // as a wide path.
    const std::pair<std::string, std::string> named[] = {
        {"plain.dat", "plain.dat"},
        {"\xFF\xFE"
         "ab",
         "./\xFF\xFE"
         "ab"},
        {"\xFE\xFF", "./\xFE\xFF"},
        {"\xFF", "\xFF"},
        {"", ""},
        {"/\xFF\xFE", "/\xFF\xFE"},
    };
    for (const auto &[name, path] : named) {
        EXPECT_EQ(u_path_from_bytes(name), path);
    }
    EXPECT_EQ(u_path_from_utf16(u"a"), std::string("\xFF\xFE"
                                                   "a\0\0\0",
                                                   6));
}

#ifndef _WIN32
TEST_F(PathTest, WidePathsConvertToUtf8UnlessASurrogateIsUnpaired) {
    const std::u16string base = dir.path().u16string();
    // A high surrogate alone or before a unit that is not a low one (the
    // last high, the first unit above them); a low one alone or after
    // another low one.
    for (std::u16string bad :
         {base + u"/\xD800x", base + u"/\xD800", base + u"/\xD800\xDBFF", base + u"/\xDBFF\xE000",
          base + u"/x\xDC00", base + u"/x\xDFFF", base + u"/\xDC00\xDC00"}) {
        const std::string path = wide_path(bad);
        EXPECT_FALSE(u_file_exists(path.c_str()));
        EXPECT_FALSE(create_file(path));
    }
    // Each side of every UTF-8 length boundary, the first and last pairs
    // of surrogates and a character of plane 1 reach the file system with
    // the UTF-8 bytes written out here.
    const std::pair<std::u16string, std::string> names[] = {
        {u"\x7F\x80", "\x7F\xC2\x80"},
        {u"\x7FF\x800", "\xDF\xBF\xE0\xA0\x80"},
        {u"\xD7FF\xE000", "\xED\x9F\xBF\xEE\x80\x80"},
        {u"\xFFFF\xD800\xDC00", "\xEF\xBF\xBF\xF0\x90\x80\x80"},
        {u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
        {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
    };
    for (const auto &[units, utf8] : names) {
        SCOPED_TRACE(utf8);
        ASSERT_TRUE(create_file(wide_path(base + u"/" + units)));
        EXPECT_TRUE(std::filesystem::exists(dir.path() / utf8));
    }
}
#endif

} // namespace
