#include "standard_output.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/console.h"
#include "common/exit_status.h"

namespace {

// The first failed write's error (an errno value); 0 while all is well.
std::atomic<int> failure{0};
bool reader_gone = false;

// Just after the failed call, while its errno and the system's own error
// are still at hand.
void fail(int error) {
    reader_gone = out_reader_gone(error);
    failure = error != 0 ? error : EIO;
}

} // namespace

bool out_write(const std::string &text) {
    if (failure != 0) {
        return false;
    }
    write_text(stdout, text);
    if (std::ferror(stdout) != 0 || std::fflush(stdout) != 0) {
        fail(errno);
        return false;
    }
    return true;
}

bool out_failed() {
    return failure != 0;
}

int out_close(int status) {
    // Every write so far was flushed and checked: what is left is the close
    // (a file system may report a failed write only then). EBADF: closed from
    // the start with nothing written on it (a write would have failed), no
    // failure of the run.
    if (failure == 0 && out_has_descriptor() && std::fclose(stdout) != 0 && errno != EBADF) {
        fail(errno);
    }
    const int error = failure;
    if (error == 0) {
        return status;
    }
    if (reader_gone) {
        return out_end_reader_gone();
    }
    write_text(stderr, std::string("pdx: standard output: ") + std::strerror(error) + "\n");
    return exit_stdout_failed;
}
