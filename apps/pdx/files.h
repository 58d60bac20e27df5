#pragma once

// File names as the pdx command handles them: each keeps the platform's own
// form (UTF-16 on Windows, bytes elsewhere) for the file calls, and a UTF-8
// text for messages. Outputs are named from their inputs here.

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
using NativeString = std::wstring;
#else
using NativeString = std::string;
#endif

struct FileName {
    NativeString native; // as the platform's file calls take it
    std::string text;    // as shown in messages and reports (UTF-8)

    // The path argument (pdx/util/path.h) that opens exactly this name: on
    // Windows the wide form; elsewhere the bytes, behind "./" when they would
    // otherwise begin with a byte-order mark and be taken for a wide path.
    std::string path() const;
};

FileName file_name(const NativeString &native);

// The command's arguments after the program name.
#ifdef _WIN32
std::vector<FileName> command_line(int argc, wchar_t **argv);
#else
std::vector<FileName> command_line(int argc, char **argv);
#endif

// On Windows, whose shells leave wildcards to the program: each name with
// `*` or `?` in its last component is replaced by the files it matches,
// in natural order (walk.h); a name that matches nothing stays as typed. A pattern is
// tested against each file's own (long) name, so "*.dat" does not pick up
// "x.data" through a short 8.3 name. Elsewhere the shell has expanded them.
void expand_wildcards(std::vector<FileName> &names);

// The output for `input` with the extension `ext` (".bin"): beside the input,
// or in `dir` when it is not empty: the input's name with its last extension
// replaced.
FileName output_name(const FileName &input, const FileName *dir, const char *ext);

// A key under which two names of one file compare equal, as far as the
// names tell (absolute, ".." resolved lexically; case folded on Windows).
NativeString name_key(const FileName &name);

bool is_directory(const FileName &name);

// The file's size in bytes; false when it cannot be had.
bool file_size(const FileName &name, unsigned long long &size);

// The last component of `name`, as text: a title for what is made from it.
std::string base_name(const FileName &name);
