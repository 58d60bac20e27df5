#pragma once

// Runs one piece of work per file on a pool of threads and keeps the
// standard error stream in order meanwhile: each failure as one line when it
// happens, a progress line on a terminal (done / total, files per second,
// time left; redrawn at most ten times a second), a summary at the end.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/console.h"
#include "pdx/output/signals.h"

// The most files worked on at once: every one may hold an output file open,
// and each open output file's temporary must find a slot in the registry
// that a signal ending the run empties (pdx/output/signals.h).
inline constexpr unsigned kMaxJobs = 256;
static_assert(kMaxJobs <= pdx::kTrackedTemporaries);

class Batch {
  public:
    // `files`: how many files the run was given; `done_verb` names a success
    // in the summary ("converted"). `progress`: draw the progress line (the
    // caller has checked that the standard error stream is a terminal).
    Batch(std::size_t files, const char *done_verb, bool progress);

    // Reports the failure of `file` (shown as shown_name.h says) at `stage`
    // with `error`, as one line, and records `status` for it. Any thread.
    void failure(std::size_t index, const std::string &file, const std::string &stage,
                 const std::string &error, int status);

    // Counts a file passed over because its output is there already (-u,
    // -n): a success, shown apart in the summary. Any thread.
    void skipped();

    // Writes the line that failure() writes, recording nothing. Any thread.
    void report(const std::string &file, const std::string &stage, const std::string &text);

    // Runs work(i) for every file whose status is still 0, on at most `jobs`
    // threads; work returns the file's status (having reported a failure).
    // Once the standard output has failed no more work begins, and there is
    // no summary; otherwise the summary follows when the run had more than
    // one file. Returns the largest of the files' statuses.
    int run(unsigned jobs, const std::function<int(std::size_t)> &work);

    // Writes `text` on the standard error stream, the progress line kept
    // intact around it. Any thread.
    void error_text(const std::string &text);
    // Writes `text` on the standard output and flushes it, likewise
    // (standard_output.h).
    void out_text(const std::string &text);

  private:
    void draw_progress(); // with mutex_ held
    void clear_progress();
    void worker(const std::function<int(std::size_t)> &work);

    std::mutex mutex_;
    std::condition_variable all_done_;
    std::vector<int> status_;
    std::size_t next_ = 0;
    std::size_t done_ = 0;
    std::size_t failed_ = 0;
    std::size_t skipped_ = 0;
    const char *done_verb_;
    bool progress_;
    std::size_t progress_width_ = 0; // of the line on screen; 0: none shown
    std::chrono::steady_clock::time_point start_;
};

// True when the standard error stream is a terminal (a console on Windows).
bool stderr_is_terminal();

// The number of threads to use by default: the number of cores.
unsigned default_jobs();

// The name of a library error code for a failure's report, safe from any
// job: the constant's name, or "error <code>" for a code with none.
std::string error_name(int code);
