// The process-wide side of the output path on POSIX systems: write signals
// ignored, the registry of live temporaries, and the handler that removes
// them when a signal ends the program.

#include "pdx/output/signals.h"

#include <cerrno>
#include <csignal>
#include <cstddef>

#include <unistd.h>

#include "pdx/output/temporary_registry.h"

namespace pdx {

namespace {

// The temporaries that exist now, for a signal handler to remove.
constinit UTemporaryRegistry<char> registry;

// The signals that end a program from outside, whose handler may remove the
// temporaries (u_platform_remove_temporaries_on_signals).
constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Removes the temporaries, then lets the signal end the process as it
// would have (the handler was reset on entry; the signal is delivered again
// once the handler returns).
extern "C" {
static void pdx_remove_temporaries_and_end(int sig) {
    // A thread creating a temporary holds the ending signals back, so it is
    // not this one, and it is done in moments.
    registry.begin_removal([] {});
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
    registry.remove_all([](const char *name) { ::unlink(name); });
}

void u_platform_track_temporary(const char *name) {
    registry.track(name);
}

void u_platform_forget_temporary(const char *name) {
    registry.forget(name);
}

UEndingSignalsHeld::UEndingSignalsHeld() {
    sigset_t ending;
    sigemptyset(&ending);
    for (const int sig : kEndingSignals) {
        sigaddset(&ending, sig);
    }
    pthread_sigmask(SIG_BLOCK, &ending, &before_);
    registry.creating_begins();
}

UEndingSignalsHeld::~UEndingSignalsHeld() {
    const int error = errno; // what the held section's last call said
    registry.creating_ends();
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    errno = error;
}

bool UEndingSignalsHeld::ending() const {
    return registry.removal_begun();
}

} // namespace pdx
