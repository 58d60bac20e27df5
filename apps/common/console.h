#pragma once

// The command's own view of the platform: its arguments and its messages.
// The library takes paths and never prints; this is where a command-line
// argument becomes a path argument and a name to show, and where a message
// meets the terminal.

#include <cstdio>
#include <string>
#include <vector>

// Exit statuses, by the stage that failed: pdx_convert ends with one; pdx
// gives one to each file and ends with the largest, or with
// exit_stdout_failed when its own standard output could not be written.
enum ExitStatus : int {
    exit_success = 0,
    exit_command_line = 1,
    exit_no_input = 2,
    exit_output_exists = 3,
    exit_read_failed = 4,
    exit_write_failed = 5,
    exit_stdout_failed = 6, // pdx only
};

// One command-line argument, after the program name.
struct Argument {
    // The argument as typed, for messages and for telling options from
    // paths: the bytes given (POSIX) or the UTF-8 form of the UTF-16
    // argument (Windows).
    std::string text;
    // The same argument as a path argument for the library (see path.h).
    // On Windows every argument is a wide path, followed by a zero unit, so
    // the file functions see the name as typed whatever the code page;
    // elsewhere every argument is a narrow path that names exactly the
    // bytes typed.
    std::string path;
};

// The path argument (pdx/util/path.h) that opens exactly the file `name`,
// given in the platform's own form: on Windows the wide path; elsewhere the
// bytes, behind "./" when they would otherwise be taken for a wide path.
#ifdef _WIN32
std::string path_argument(const wchar_t *name);
#else
std::string path_argument(const char *name);
#endif

#ifdef _WIN32
std::vector<Argument> command_arguments(int argc, wchar_t **argv);
// UTF-16 to UTF-8; an unpaired surrogate shows as U+FFFD.
std::string utf8(const wchar_t *w);
#else
std::vector<Argument> command_arguments(int argc, char **argv);
#endif

// Writes `text` (UTF-8) on `stream` (stdout or stderr): on a Windows console
// as UTF-16, so that names appear as typed; elsewhere the bytes as they are.
void write_text(std::FILE *stream, const std::string &text);

// printf-style message on the standard error stream, whose names are UTF-8.
// On a Windows console the text is written as UTF-16 so that a name appears
// as typed; in a file or a pipe, and elsewhere, the bytes are written as
// they are.
[[gnu::format(printf, 1, 2)]] void message(const char *format, ...);
