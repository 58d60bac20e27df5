#pragma once

// The command's own view of the platform: its arguments and its messages.
// The library takes paths and never prints; this is where a command-line
// argument becomes a path argument and a name to show, and where a message
// meets the terminal.

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
using NativeString = std::wstring;
#else
using NativeString = std::string;
#endif

// A file name the command was given or made: the platform's own form
// (UTF-16 on Windows, bytes elsewhere) for the file calls, and a UTF-8 text
// for messages.
struct FileName {
    NativeString native; // as the platform's file calls take it
    // As typed, for messages and for telling options from paths: the bytes
    // given (POSIX) or the UTF-8 form of the UTF-16 name (Windows).
    std::string text;

    // The path argument (pdx/util/path.h) that opens exactly this name:
    // pdx::u_path_from_utf16 or pdx::u_path_from_bytes of the native form.
    std::string path() const;
};

FileName file_name(const NativeString &native);

// The command's arguments after the program name, as main or wmain has them.
std::vector<FileName> command_arguments(int argc, NativeString::value_type **argv);

#ifdef _WIN32
// UTF-16 to UTF-8; an unpaired surrogate shows as U+FFFD.
std::string utf8(const wchar_t *w);
#endif

// Writes `text` (UTF-8) on `stream` (stdout or stderr): on a Windows console
// as UTF-16, so that names appear as typed; elsewhere the bytes as they are.
void write_text(std::FILE *stream, const std::string &text);

// printf-style message on the standard error stream, whose names are UTF-8.
// On a Windows console the text is written as UTF-16 so that a name appears
// as typed; in a file or a pipe, and elsewhere, the bytes are written as
// they are.
[[gnu::format(printf, 1, 2)]] void message(const char *format, ...);
