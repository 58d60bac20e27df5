#pragma once

// The pdx command's standard output, every write of it checked, the last
// flush and the close included: a report cut short by a full disk or a
// failing device ends the run with exit_stdout_failed and one line that
// says why, never with a success. A reader that goes away (the other end
// of a pipe closed) ends the run quietly instead.

#include <string>

#include "common/exit_status.h"

// Writes `text` and flushes it. Once a write has failed nothing more is
// written and every call returns false. Callers take turns (one thread at
// a time).
bool out_write(const std::string &text);

// True once a write has failed: the run takes no more files. Any thread.
bool out_failed();

// At the end of the run, its status so far: flushes and closes the standard
// output. Returns `status` when everything written got through. Otherwise,
// when the reader went away, ends the process as SIGPIPE does (where there
// are no signals, returns exit_stdout_failed), writing nothing; else writes
// "pdx: standard output: REASON" on the standard error stream and returns
// exit_stdout_failed.
int out_close(int status);

// Per platform (standard_output_posix.cpp, standard_output_windows.cpp):
// whether the write that has just failed with `error` (an errno value)
// found the reader gone; the end of a run whose reader is; whether the
// standard output stream has a descriptor to close.
bool out_reader_gone(int error);
int out_end_reader_gone();
bool out_has_descriptor();
