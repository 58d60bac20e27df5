// The end of a run whose standard output lost its reader, on POSIX systems:
// the program ignores SIGPIPE so that a vanished reader of an output file is
// a failed write; for the standard output it is the end, as SIGPIPE makes it.

#include "standard_output.h"

#include <cerrno>
#include <csignal>

#include <pthread.h>

#include "common/console.h"
#include "common/exit_status.h"

bool out_reader_gone(int error) {
    return error == EPIPE;
}

int out_end_reader_gone() {
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    std::raise(SIGPIPE);
    return exit_stdout_failed; // not reached
}

bool out_has_descriptor() {
    return true; // descriptor 1, open or not: a closed one fails with EBADF
}
