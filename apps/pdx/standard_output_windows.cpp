// The end of a run whose standard output lost its reader, on Windows: there
// is no SIGPIPE, so the run ends with exit_stdout_failed, quietly.

#include "standard_output.h"

#include <cerrno>
#include <cstdio>

#include <windows.h>

#include "common/console.h"
#include "common/exit_status.h"

bool out_reader_gone(int error) {
    // The C runtime reports a pipe whose reader has closed as EINVAL; the
    // system's own error tells.
    const DWORD system = GetLastError();
    return error == EPIPE || system == ERROR_NO_DATA || system == ERROR_BROKEN_PIPE;
}

int out_end_reader_gone() {
    return exit_stdout_failed;
}

bool out_has_descriptor() {
    // A process started without a standard output has none (-2), and the C
    // runtime may take closing it for a fault of the program.
    return _fileno(stdout) >= 0;
}
