// The process-wide side of the output path on Windows: there are no write
// signals to ignore; the registry of live temporaries, and the console
// control handler that removes them when Ctrl-C (or a closed console, a
// logoff, a shutdown) ends the program.

#include "pdx/util/signals.h"

#include <atomic>

#include <windows.h>

namespace pdx {

namespace {

// As on POSIX: the names of the temporaries that exist now, and the threads
// between creating a temporary and tracking it, which the handler waits for
// once it has said that removal has begun (see signals_posix.cpp).
std::atomic<const wchar_t *> live_temps[kTrackedTemporaries];
std::atomic<int> creating{0};
std::atomic<bool> removal_begun{false};

// Runs on a thread of its own. Every event it is given ends the process once
// the handlers have returned: it removes the temporaries and lets the next
// handler (in the end the system's) go on as before.
BOOL WINAPI remove_temporaries_on_control(DWORD) {
    removal_begun.store(true);
    while (creating.load() != 0) {
        SwitchToThread();
    }
    u_platform_remove_temporaries();
    return FALSE;
}

} // namespace

void u_platform_ignore_write_signals() {}

void u_platform_remove_temporaries_on_signals() {
    SetConsoleCtrlHandler(remove_temporaries_on_control, TRUE);
}

void u_platform_remove_temporaries() {
    // A temporary is open to deletion while it is written (FILE_SHARE_DELETE):
    // its name goes when its last handle closes.
    for (auto &slot : live_temps) {
        if (const wchar_t *name = slot.load()) {
            DeleteFileW(name);
        }
    }
}

void u_platform_track_temporary(const wchar_t *name) {
    for (auto &slot : live_temps) {
        const wchar_t *empty = nullptr;
        if (slot.compare_exchange_strong(empty, name)) {
            return;
        }
    }
}

void u_platform_forget_temporary(const wchar_t *name) {
    for (auto &slot : live_temps) {
        const wchar_t *held = name;
        if (slot.compare_exchange_strong(held, nullptr)) {
            return;
        }
    }
}

UEndingSignalsHeld::UEndingSignalsHeld() {
    creating.fetch_add(1);
}

UEndingSignalsHeld::~UEndingSignalsHeld() {
    creating.fetch_sub(1);
}

bool UEndingSignalsHeld::ending() const {
    return removal_begun.load();
}

} // namespace pdx
