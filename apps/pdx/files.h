#pragma once

// File names as the pdx command handles them (FileName, common/console.h):
// wildcards expanded, outputs named from their inputs, names compared.

#include <cstdio>
#include <string>
#include <vector>

#include "common/console.h"

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
