#pragma once

// The process-wide side of the output path (output_file.h): what signals do
// to a program that writes output files, for a signal that ends the program
// to remove the temporaries that exist (their registry is the library's
// own, temporary_registry.h). One file per platform: signals_posix.cpp,
// signals_windows.cpp.
//
// The library itself never changes how signals are handled: a program opts
// in at start.

#include <cstddef>

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

} // namespace pdx
