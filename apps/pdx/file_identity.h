#pragma once

// Which file a name leads to, whatever it is spelled as: two names of one
// file (through symbolic links, hard links, a linked directory, "." or "..")
// have equal identities. One file per platform: file_identity_posix.cpp,
// file_identity_windows.cpp.
//
// The identity is taken when asked and may be stale by the time a file is
// written: it guards a run against its own names, not against another
// process changing the directories meanwhile.

#include <compare>
#include <cstdint>

#include "files.h"

struct FileIdentity {
    enum class Kind {
        file,    // an existing file: device and inode (volume serial and file index)
        entry,   // a name that does not exist yet: its directory, and `name` in it
        spelled, // neither could be had: `name` is the name's key (name_key)
    };
    Kind kind = Kind::spelled;
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    NativeString name; // case folded on Windows

    auto operator<=>(const FileIdentity &) const = default;
};

// The identity of the file `name` leads to. A name that does not exist yet
// is identified as the writer will create it: at the end of its symbolic
// links (a dangling link creates the file it names), in the directory that
// holds that end.
FileIdentity file_identity(const FileName &name);
