#pragma once

// The process-wide side of the output path (output_file.h): what signals do
// to a program that writes output files, and the registry of the temporaries
// that exist, for a signal that ends the program to remove. One file per
// platform: signals_posix.cpp, signals_windows.cpp.
//
// The library itself never changes how signals are handled: a program opts
// in at start.

#include <cstddef>

#ifndef _WIN32
#include <signal.h>
#endif

namespace pdx {

// How many output files' temporaries are tracked at once: a program that
// has more output files open at a time (one per thread, say) leaves the
// others untracked, so it keeps to this many.
inline constexpr std::size_t kTrackedTemporaries = 256;

// Makes writes that fail because of a full file-size limit or a pipe with no
// reader fail with an error instead of ending the process (POSIX: SIGXFSZ
// and SIGPIPE ignored; elsewhere nothing). For programs, at start.
void u_platform_ignore_write_signals();

// Makes the signals that end a program from outside remove the temporaries
// of its open output files before it ends of them as before (POSIX: SIGHUP,
// SIGINT, SIGQUIT and SIGTERM, one that is ignored staying ignored; Windows:
// the console's Ctrl-C, Ctrl-Break and close, logoff and shutdown events).
// An interrupted run then leaves its directory as it found it.
// For programs, at start, beside u_platform_ignore_write_signals().
void u_platform_remove_temporaries_on_signals();

// Removes every temporary that an open output file of this process holds,
// leaving the names they were to be published under as they are; a later
// commit() of such a file fails. Async-signal-safe on POSIX, for a handler
// of a signal that ends the process. On Windows a temporary still open is
// gone from its directory once its last handle closes, at the latest when
// the process ends.
void u_platform_remove_temporaries();

// The registry, for the output path. A temporary is tracked from just after
// it is created until just after its name is gone; the name's storage must
// stay put meanwhile. Output files beyond kTrackedTemporaries at once are
// not tracked.
#ifdef _WIN32
void u_platform_track_temporary(const wchar_t *name);
void u_platform_forget_temporary(const wchar_t *name);
#else
void u_platform_track_temporary(const char *name);
void u_platform_forget_temporary(const char *name);
#endif

// Holds back the ending signals on this thread while it lives, so that none
// finds a temporary created but not yet tracked. A signal handled on another
// thread meanwhile (on Windows the console's control handler always runs on
// a thread of its own) waits for it to end before it removes the
// temporaries; ending() tells whether one already has begun, and then no
// temporary may be created, as it would outlive the removal.
class UEndingSignalsHeld {
  public:
    UEndingSignalsHeld();
    ~UEndingSignalsHeld();
    bool ending() const;
    UEndingSignalsHeld(const UEndingSignalsHeld &) = delete;
    UEndingSignalsHeld &operator=(const UEndingSignalsHeld &) = delete;

#ifndef _WIN32
  private:
    sigset_t before_;
#endif
};

} // namespace pdx
