#include "batch.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "common/console.h"
#include "common/exit_status.h"
#include "pdx/util/errors.h"
#include "progress_text.h"
#include "shown_name.h"
#include "standard_output.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

Batch::Batch(std::size_t files, const char *done_verb, bool progress)
    : status_(files, exit_success), done_verb_(done_verb), progress_(progress && files > 0),
      start_(Clock::now()) {}

void Batch::failure(std::size_t index, const std::string &file, const std::string &stage,
                    const std::string &error, int status) {
    report(file, stage, error);
    const std::lock_guard lock(mutex_);
    status_[index] = status;
}

void Batch::skipped() {
    const std::lock_guard lock(mutex_);
    ++skipped_;
}

void Batch::report(const std::string &file, const std::string &stage, const std::string &text) {
    error_text("pdx: " + quoted_name(file) + ": " + stage + ": " + text + "\n");
}

void Batch::error_text(const std::string &text) {
    const std::lock_guard lock(mutex_);
    clear_progress(); // the next tick draws it again below the text
    write_text(stderr, text);
}

void Batch::out_text(const std::string &text) {
    const std::lock_guard lock(mutex_);
    clear_progress();
    out_write(text);
}

void Batch::clear_progress() {
    if (progress_width_ > 0) {
        // Built by appending: GCC 12 at -O3 takes a literal put in front of
        // a temporary string for an overlapping copy (-Wrestrict).
        std::string blank(1, '\r');
        blank.append(progress_width_, ' ').push_back('\r');
        write_text(stderr, blank);
        progress_width_ = 0;
    }
}

void Batch::draw_progress() {
    if (!progress_) {
        return;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    std::string text(1, '\r');
    text += progress_text(done_, status_.size(), elapsed);
    // Blank out what a longer line before left behind.
    const std::size_t width = text.size() - 1;
    if (width < progress_width_) {
        text.append(progress_width_ - width, ' ');
    }
    write_text(stderr, text);
    progress_width_ = std::max(width, progress_width_);
}

void Batch::worker(const std::function<int(std::size_t)> &work) {
    std::unique_lock lock(mutex_);
    for (;;) {
        while (next_ < status_.size() && status_[next_] != exit_success) {
            ++next_; // failed before the run began; counted as done already
        }
        if (next_ == status_.size()) {
            return;
        }
        const std::size_t i = next_++;
        int status = exit_success;
        // Once the standard output has failed, the files left are passed
        // over: the run ends as soon as the ones begun are done.
        if (!out_failed()) {
            lock.unlock();
            status = work(i);
            lock.lock();
        }
        status_[i] = status;
        ++done_;
        failed_ += status != exit_success ? 1 : 0;
        if (done_ == status_.size()) {
            all_done_.notify_all(); // the progress line has its own clock
        }
    }
}

int Batch::run(unsigned jobs, const std::function<int(std::size_t)> &work) {
    {
        const std::lock_guard lock(mutex_);
        for (const int s : status_) {
            done_ += s != exit_success ? 1 : 0;
        }
        failed_ = done_;
    }
    const std::size_t to_do = status_.size() - done_;
    jobs = static_cast<unsigned>(std::min<std::size_t>({jobs, to_do, kMaxJobs}));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < jobs; ++t) {
        try {
            threads.emplace_back([this, &work] { worker(work); });
        } catch (const std::system_error &) {
            break; // as many as the system gives
        }
    }
    if (threads.empty()) {
        worker(work);
    }
    {
        std::unique_lock lock(mutex_);
        const auto finished = [this] { return done_ == status_.size(); };
        // Redrawn ten times a second, so the rate and the time left move on
        // while a large file takes its time.
        while (progress_ && !finished()) {
            draw_progress();
            all_done_.wait_for(lock, std::chrono::milliseconds(100), finished);
        }
        all_done_.wait(lock, finished);
        clear_progress();
    }
    for (std::thread &t : threads) {
        t.join();
    }
    int result = exit_success;
    for (const int s : status_) {
        result = std::max(result, s);
    }
    if (status_.size() > 1 && !out_failed()) {
        char line[160];
        const std::size_t done = status_.size() - failed_ - skipped_;
        if (skipped_ > 0) {
            std::snprintf(line, sizeof line, "pdx: %zu files, %zu %s, %zu skipped, %zu failed\n",
                          status_.size(), done, done_verb_, skipped_, failed_);
        } else {
            std::snprintf(line, sizeof line, "pdx: %zu files, %zu %s, %zu failed\n", status_.size(),
                          done, done_verb_, failed_);
        }
        write_text(stderr, line);
    }
    return result;
}

bool stderr_is_terminal() {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
    return isatty(2) == 1;
#endif
}

unsigned default_jobs() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

std::string error_name(int code) {
    const std::string_view name = pdx::u_error_name_view(code);
    return name.empty() ? "error " + std::to_string(code) : std::string(name);
}
