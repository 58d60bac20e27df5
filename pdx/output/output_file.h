#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace pdx {

// Output files that appear whole or not at all. The logic shared by every
// platform is in output_file.cpp; opening, writing directly and publishing
// are in output_file_posix.cpp and output_file_windows.cpp, one of which the
// build takes. The process-wide side (signals, and the registry of the
// temporaries that exist) is in signals.h.
//
// A regular file (new, or existing and to be replaced) is written to a
// temporary file created exclusively beside it, named
// ".<name>.<process id>.<n>.tmp", and only published under its name once
// every byte has been flushed and the file closed without error. Until then
// the name keeps whatever it held; a failure or abandon() removes the
// temporary. When the name is a symbolic link the file it leads to is
// replaced (or, for a dangling link, created) and the link stays; other hard
// links to a replaced file keep the old contents.
//
// Nobody reads the new contents who could not read the file they are
// published as. A new file's temporary is created as any new file would be
// (0666 less the umask, or the directory's default access control list). A
// replacement's temporary is created readable and writable by its owner
// alone and given the old file's owner and group; just before it is
// published it takes the old file's permission bits and, on Linux, its
// extended attributes, so that it carries the old file's access control list
// or none, never one inherited from the directory. Owner, group and
// attributes pass as far as the user's rights and the file system allow.
//
// Publishing is one rename over the name (UPublish::replace), or, with
// UPublish::if_absent, one rename that fails when anything already holds the
// name (Linux) or else a link to the name that fails likewise, so that of
// two writers racing to one new name exactly one wins and the other's bytes
// never reach the file.
//
// Written directly, as an ordinary open for writing would:
//  - a name that stands for a descriptor this process has open (POSIX:
//    /dev/fd/N and, on Linux, /proc/self/fd/N, or a symbolic link that leads
//    to one, as /dev/stdout and /dev/stderr do): written through a duplicate
//    of that descriptor, at its offset, whatever it leads to (a regular file
//    too), with either UPublish;
//  - an existing entry that is not a regular file: a device, a pipe or FIFO
//    (opened without waiting for a reader: a FIFO that nobody reads fails to
//    open), a socket, a directory (fails to open);
//  - with UPublish::replace, an existing writable file that cannot be
//    replaced: its directory takes no new entries, or is sticky (/tmp) and
//    the file belongs to someone else. It is truncated and rewritten in
//    place, and a failure leaves it short;
//  - on Windows, a symbolic link.
// A name whose links cannot be followed to the file it names (a loop, a link
// that cannot be read, a joined name longer than the system takes, a link
// that no longer names the file it reaches) is refused. No data is forced to
// the storage device (no fsync): the guarantee is against failed and
// concurrent runs, not against power loss.
//
// A directory may let a name be added but not removed (Linux's append-only
// attribute). There a temporary that cannot be removed stays behind, after a
// failure or, with UPublish::if_absent, as a second name of the published
// file; take_left_behind() names it.

enum class UPublish {
    replace,   // whatever holds the name is replaced
    if_absent, // published only if nothing holds the name
};

class UOutputFile {
  public:
    UOutputFile() = default;
    ~UOutputFile() { abandon(); }
    UOutputFile(const UOutputFile &) = delete;
    UOutputFile &operator=(const UOutputFile &) = delete;

    // Prepares `path` (a path argument, path.h) for writing. Returns 0,
    // ERR_CANT_OPEN_FILE, or ERR_CANT_CREATE_FILE when publishing if_absent
    // and a regular file already holds the name. An earlier file is
    // abandoned first.
    [[nodiscard]] int open(const char *path, UPublish publish);

    // The stream to write to (binary); null unless open() succeeded. Write
    // to it, but do not close it.
    std::FILE *stream() const { return stream_; }

    // Bytes to write, for write() below.
    struct Piece {
        const void *data;
        std::size_t size;
    };

    // Writes the `count` pieces in order after whatever the stream holds
    // (flushed first), past the stream's buffer and, where the system has
    // one (POSIX writev), in one call. Returns 0 or ERR_CANT_WRITE_FILE.
    [[nodiscard]] int write(const Piece *pieces, std::size_t count);

    // Flushes and closes the stream, then publishes the file. Returns 0,
    // ERR_CANT_WRITE_FILE (the bytes did not all reach the file, or it could
    // not be published), or ERR_CANT_CREATE_FILE (if_absent, and the name
    // was taken meanwhile). On failure nothing is published and the
    // temporary is gone.
    [[nodiscard]] int commit();

    // Closes the stream and removes the temporary without publishing. What
    // was written directly stays written. Safe at any time.
    void abandon();

    // The name (UTF-8) of a temporary that this file's abandon() or commit()
    // could not remove and that is still there, taken once; empty when none.
    // open() forgets it.
    [[nodiscard]] std::string take_left_behind() noexcept { return std::move(left_behind_); }

    enum class Method { none, temporary, direct, in_place };
    // How the file opened last is being written (none when nothing is open).
    Method method() const { return method_; }

  private:
#ifdef _WIN32
    using Name = std::wstring;
#else
    using Name = std::string;
#endif
    // Attempts at a free temporary name before giving up.
    static constexpr int kTempAttempts = 100;

    // Shared: the next candidate name for a temporary beside `base` in
    // `dir` (which ends in a separator, or is empty).
    [[nodiscard]] static Name temp_name(const Name &dir, const Name &base);

    // Per platform.
    [[nodiscard]] int open_native(const Name &name);
    [[nodiscard]] int open_direct(const Name &name, Method method);
    // Just before a temporary is closed: what it needs to be published (a
    // replacement's mode and attributes).
    void seal();
    [[nodiscard]] int publish();
    void remove_temp(); // removes temp_, or moves it to left_behind_, and clears it

    std::FILE *stream_ = nullptr;
    Method method_ = Method::none;
    UPublish publish_ = UPublish::replace;
    Name target_; // the name published, symbolic links resolved
    Name temp_;   // the temporary while it exists
    std::string left_behind_;
#ifndef _WIN32
    // For a replacement: the old file's permission bits and extended
    // attributes (names and values), given at seal().
    bool replaces_ = false;
    unsigned mode_ = 0;
    std::vector<std::pair<std::string, std::string>> attributes_;
#endif
};

// Writes one output whole: opens `path` for `publish`, hands the stream (or,
// to a `write` that takes one, the UOutputFile itself) to `write` (which
// returns 0 or an error code), commits when it returned 0 and abandons
// otherwise. The name of a temporary that could not be removed
// goes to *left_behind unless that is null. Returns 0 or the first error.
template <typename Write>
[[nodiscard]] int u_write_output(const char *path, UPublish publish, std::string *left_behind,
                                 Write &&write) {
    UOutputFile out;
    int rc = out.open(path, publish);
    if (rc == 0) {
        if constexpr (std::is_invocable_v<Write &, UOutputFile &>) {
            rc = write(out);
        } else {
            rc = write(out.stream());
        }
        rc = rc == 0 ? out.commit() : rc;
    }
    out.abandon(); // after a commit, nothing left to do
    if (left_behind != nullptr) {
        *left_behind = out.take_left_behind();
    }
    return rc;
}

// True when `path` (a path argument) stands for a descriptor this process
// has open, which UOutputFile writes through whatever it leads to (see
// above); always false on Windows.
[[nodiscard]] bool u_output_names_descriptor(const char *path);

} // namespace pdx
