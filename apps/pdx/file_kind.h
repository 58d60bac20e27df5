#pragma once

// What a name leads to, links followed: only a regular file is an input;
// anything else is named as what it is in messages and reports.

#include <string>

#include "files.h"

enum class FileKind {
    missing,
    regular,
    directory,
    fifo,
    character_device,
    block_device,
    socket,
    other
};

FileKind file_kind(const FileName &name);

// The kind as pdx info --json gives it: "regular", "directory", "fifo",
// "character_device", "block_device", "socket", "other"; null when missing.
const char *kind_json(FileKind kind);

// Why a name that is not a regular file is no input: "does not exist", "is
// a folder with no data files in it" (the folders with some are replaced by
// them, walk.h), "is a FIFO, not a regular file", ...
std::string kind_problem(FileKind kind);
