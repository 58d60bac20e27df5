// The process-wide side of the output path on Windows: there are no write
// signals to ignore; the registry of live temporaries, and the console
// control handler that removes them when Ctrl-C (or a closed console, a
// logoff, a shutdown) ends the program.

#include "pdx/output/signals.h"

#include <windows.h>

#include "pdx/output/temporary_registry.h"

namespace pdx {

namespace {

// The temporaries that exist now, for the console control handler to
// remove.
constinit UTemporaryRegistry<wchar_t> registry;

// Runs on a thread of its own. Every event it is given ends the process once
// the handlers have returned: it removes the temporaries and lets the next
// handler (in the end the system's) go on as before.
BOOL WINAPI remove_temporaries_on_control(DWORD) {
    registry.begin_removal([] { SwitchToThread(); });
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
    registry.remove_all([](const wchar_t *name) { DeleteFileW(name); });
}

void u_platform_track_temporary(const wchar_t *name) {
    registry.track(name);
}

void u_platform_forget_temporary(const wchar_t *name) {
    registry.forget(name);
}

UEndingSignalsHeld::UEndingSignalsHeld() {
    registry.creating_begins();
}

UEndingSignalsHeld::~UEndingSignalsHeld() {
    registry.creating_ends();
}

bool UEndingSignalsHeld::ending() const {
    return registry.removal_begun();
}

} // namespace pdx
