// The process-wide side of the output path on POSIX systems: write signals
// ignored, the registry of live temporaries, and the handler that removes
// them when a signal ends the program.

#include "pdx/util/signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>

#include <unistd.h>

namespace pdx {

namespace {

// The names of the temporaries that exist now, for a signal handler to
// remove: a slot points at an output file's own name from just after the
// file is created until just after the name is gone.
std::atomic<const char *> live_temps[kTrackedTemporaries];
static_assert(std::atomic<const char *>::is_always_lock_free);

// For programs that write from several threads: the threads between
// creating a temporary and tracking it (within UEndingSignalsHeld), and
// whether a signal's removal has begun. The handler sets `removal_begun`,
// then waits for `creating` to reach zero; a creator counts itself in, then
// looks at `removal_begun`. Both in one total order (seq_cst), so either the
// handler waits for the creator's temporary to be tracked, or the creator
// sees the flag and creates none.
std::atomic<int> creating{0};
std::atomic<bool> removal_begun{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// The signals that end a program from outside, whose handler may remove the
// temporaries (u_platform_remove_temporaries_on_signals).
constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Removes the temporaries, then lets the signal end the process as it
// would have (the handler was reset on entry; the signal is delivered again
// once the handler returns).
extern "C" {
static void pdx_remove_temporaries_and_end(int sig) {
    removal_begun.store(true);
    while (creating.load() != 0) {
        // Another thread is creating a temporary; it holds the ending
        // signals back, so it is not this one, and it is done in moments.
    }
    u_platform_remove_temporaries();
    ::raise(sig);
}
}

} // namespace

void u_platform_ignore_write_signals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void u_platform_remove_temporaries_on_signals() {
    for (const int sig : kEndingSignals) {
        struct sigaction now;
        if (::sigaction(sig, nullptr, &now) != 0 || now.sa_handler == SIG_IGN) {
            continue; // e.g. SIGINT of a background job, SIGHUP under nohup
        }
        struct sigaction act = {};
        act.sa_handler = pdx_remove_temporaries_and_end;
        sigemptyset(&act.sa_mask);
        act.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &act, nullptr);
    }
}

void u_platform_remove_temporaries() {
    for (auto &slot : live_temps) {
        if (const char *name = slot.load()) {
            ::unlink(name);
        }
    }
}

void u_platform_track_temporary(const char *name) {
    for (auto &slot : live_temps) {
        const char *empty = nullptr;
        if (slot.compare_exchange_strong(empty, name)) {
            return;
        }
    }
}

void u_platform_forget_temporary(const char *name) {
    for (auto &slot : live_temps) {
        const char *held = name;
        if (slot.compare_exchange_strong(held, nullptr)) {
            return;
        }
    }
}

UEndingSignalsHeld::UEndingSignalsHeld() {
    sigset_t ending;
    sigemptyset(&ending);
    for (const int sig : kEndingSignals) {
        sigaddset(&ending, sig);
    }
    pthread_sigmask(SIG_BLOCK, &ending, &before_);
    creating.fetch_add(1);
}

UEndingSignalsHeld::~UEndingSignalsHeld() {
    const int error = errno; // what the held section's last call said
    creating.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    errno = error;
}

bool UEndingSignalsHeld::ending() const {
    return removal_begun.load();
}

} // namespace pdx
