// Publishing a finished output, on every platform: the name keeps what it
// held until commit(), a name taken meanwhile is not overwritten without
// leave, and no temporary outlives the file object. Wide path arguments
// reach the same calls.

#include "pdx/util/output_file.h"

#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "pdx/util/errors.h"
#include "support/temp_dir.h"

using namespace pdx;

namespace {

namespace fs = std::filesystem;
using test_support::Bytes;

std::set<std::string> listing(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

bool put(UOutputFile &f, const char *text) {
    return std::fputs(text, f.stream()) >= 0;
}

TEST(OutputFile, PublishesOnlyWholeFilesAndOnlyWithLeave) {
    test_support::TempDir dir;
    const fs::path out = dir.path() / "out.mat";
    for (const std::string &path : {out.string(), test_support::wide_path_of(out)}) {
        SCOPED_TRACE(path == out.string() ? "narrow" : "wide");
        fs::remove(out);
        UOutputFile f;
        // Taken between open and commit: the other file stays.
        ASSERT_EQ(f.open(path.c_str(), UPublish::if_absent), 0);
        ASSERT_TRUE(put(f, "mine"));
        test_support::write_file(out, {'o', 'l', 'd'});
        EXPECT_EQ(f.commit(), ERR_CANT_CREATE_FILE);
        // Taken before open.
        EXPECT_EQ(f.open(path.c_str(), UPublish::if_absent), ERR_CANT_CREATE_FILE);
        // Abandoned, and replaced.
        ASSERT_EQ(f.open(path.c_str(), UPublish::replace), 0);
        ASSERT_TRUE(put(f, "half"));
        f.abandon();
        EXPECT_EQ(test_support::read_file(out), (Bytes{'o', 'l', 'd'}));
        EXPECT_EQ(listing(dir.path()), std::set<std::string>{"out.mat"});
        ASSERT_EQ(f.open(path.c_str(), UPublish::replace), 0);
        EXPECT_EQ(f.method(), UOutputFile::Method::temporary);
        ASSERT_TRUE(put(f, "new"));
        EXPECT_EQ(f.commit(), 0);
        EXPECT_EQ(test_support::read_file(out), (Bytes{'n', 'e', 'w'}));
        EXPECT_EQ(listing(dir.path()), std::set<std::string>{"out.mat"});
    }
}

} // namespace
