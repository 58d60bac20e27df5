#pragma once

// Folders given as inputs: each stands for the data files in it (with -r,
// in its subfolders too), told by their magic number whatever their names,
// in natural order ("run2" before "run10", case ignored).

#include <string_view>
#include <vector>

#include "files.h"

// An input and the folder it was found in, relative to the folder given
// ("" for a file given by name, or found at the top of a folder): the
// subfolder its output mirrors under -o DIR.
struct Input {
    FileName file;
    NativeString subfolder;
};

// Replaces each folder among `names` by the data files in it. A folder that
// cannot be listed, wholly or in part, is reported on the standard error
// stream and makes `status` exit_read_failed; one with no data file stays,
// to be reported as such by the run. A file that cannot be opened to tell
// is kept, so that the run says why it does not read.
std::vector<Input> expand_folders(std::vector<FileName> names, bool recursive, int &status);

// Natural order of names: runs of digits compare as numbers, letters with
// case ignored, then the bytes break ties; "/" sorts before every other
// character, so that "a/x" comes before "a-b/x" and "a.dat".
bool natural_less(std::string_view a, std::string_view b);

// True when the file begins with a data file's magic number.
bool has_data_magic(const FileName &name);

// Whether `output` is there and not older than `input` (as cp -u and
// rsync -u judge it); false when either time cannot be had.
bool output_is_current(const FileName &input, const FileName &output);
