// The progress line a run draws on a terminal, whose clock a test cannot
// set: its text from done, total and elapsed time.

#include "progress_text.h"

#include <gtest/gtest.h>

TEST(ProgressText, CountsRateAndTimeLeft) {
    const struct {
        std::size_t done, total;
        double elapsed;
        const char *text;
    } rows[] = {
        {0, 7, 3.0, "0/7 files"},
        {2, 7, 0.0, "2/7 files"},
        {2, 7, 1.0, "2/7 files, 2 files/s, 3 s left"}, // 2.5 s rounds up
        {1, 60, 1.0, "1/60 files, 1 files/s, 59 s left"},
        {1, 61, 1.0, "1/61 files, 1 files/s, 1:00 left"},
        {1, 3600, 1.0, "1/3600 files, 1 files/s, 59:59 left"},
        {1, 3601, 1.0, "1/3601 files, 1 files/s, 1:00:00 left"},
        {1, 3662, 1.0, "1/3662 files, 1 files/s, 1:01:01 left"},
        {1, 7200, 1.0, "1/7200 files, 1 files/s, 1:59:59 left"},
        {1, 361000, 1.0, "1/361000 files, 1 files/s, 100:16:39 left"},
        {3000, 3000, 1.5, "3000/3000 files, 2000 files/s, 0 s left"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(progress_text(r.done, r.total, r.elapsed), r.text) << r.done << "/" << r.total;
    }
}
