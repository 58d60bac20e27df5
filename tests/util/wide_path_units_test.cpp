// Wide paths with code units just above the surrogate range (U+E000 to
// U+FFFF): ordinary characters, not halves of a pair, that reach the file
// system by their own name; after a high surrogate such a unit leaves it
// unpaired.

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "pdx/output/output_file.h"
#include "pdx/util/file.h"
#include "pdx/util/path.h"
#include "support/temp_dir.h"

namespace {

using namespace pdx;
using test_support::wide_path;

TEST(WidePathUnits, UnitsAboveTheSurrogatesAreCharacters) {
    test_support::TempDir dir;
    // U+E000 (private use) and U+FF21 (fullwidth A).
    const std::u16string name = dir.path().u16string() + u"/\xE000\xFF21.dat";
    UOutputFile out;
    ASSERT_EQ(out.open(wide_path(name).c_str(), UPublish::replace), 0);
    ASSERT_EQ(out.commit(), 0);
    EXPECT_TRUE(
        std::filesystem::is_regular_file(dir.path() / std::filesystem::path(u8"\ue000\uff21.dat")));
    EXPECT_TRUE(u_file_exists(wide_path(name).c_str()));
}

#ifndef _WIN32
TEST(WidePathUnits, HighSurrogateBeforeAUnitAboveThemIsUnpaired) {
    test_support::TempDir dir;
    const std::string path = wide_path(dir.path().u16string() + u"/\xD83D\xFF21");
    UOutputFile out;
    EXPECT_NE(out.open(path.c_str(), UPublish::replace), 0);
    EXPECT_FALSE(u_file_exists(path.c_str()));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}
#endif

} // namespace
