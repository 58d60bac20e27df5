#pragma once

// The text of the progress line a run draws on a terminal: "3/10 files",
// then, once a file is done, the rate and the time left at that rate
// ("3/10 files, 12 files/s, 1 s left"). A duration reads "42 s", "3:07" or
// "1:02:03", rounded to the second.

#include <cstddef>
#include <string>

std::string progress_text(std::size_t done, std::size_t total, double elapsed_seconds);
