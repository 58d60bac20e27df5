// The output path on POSIX systems: how a name is opened (through a
// temporary beside the file that its links lead to, or directly), and how a
// finished temporary is published under the name.

#include "pdx/util/output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include "pdx/util/errors.h"
#include "pdx/util/signals.h"

namespace pdx {
namespace {

// The directory part of `name`, up to and including its last '/' (empty for
// a bare name).
std::string directory_of(const std::string &name) {
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

// Follows `name` through symbolic links to the entry they end at, which may
// be missing (a dangling link). False on a loop or a link that cannot be
// read.
bool follow_links(const std::string &name, std::string &end) {
    end = name;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (::lstat(end.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return true;
        }
        std::string text(256, '\0');
        for (;;) {
            const ssize_t n = ::readlink(end.c_str(), text.data(), text.size());
            if (n < 0) {
                return false;
            }
            if (static_cast<std::size_t>(n) < text.size()) {
                text.resize(static_cast<std::size_t>(n));
                break;
            }
            text.resize(text.size() * 2);
        }
        if (text.empty()) {
            return false;
        }
        end = text[0] == '/' ? text : directory_of(end) + text;
    }
    return false;
}

// True when a failed link(2) says the file system has no hard links, rather
// than that the name is taken or the call failed for good.
bool links_unsupported(int error) {
    return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS ||
           error == EMLINK || error == EXDEV;
}

// False when a file may be written but not replaced: in a directory with
// the sticky bit (such as /tmp) only the owner of the file or of the
// directory may rename over it.
bool renamable(const std::string &dir, const struct stat &file) {
    struct stat st;
    const uid_t me = ::geteuid();
    return me == 0 || file.st_uid == me || ::stat(dir.empty() ? "." : dir.c_str(), &st) != 0 ||
           (st.st_mode & S_ISVTX) == 0 || st.st_uid == me;
}

// Gives the new file `fd` the extended attributes of the file `from`, access
// control lists included, as far as the file system and the user's rights
// allow: best effort, like the owner and mode.
void copy_extended_attributes(const std::string &from, int fd) noexcept try {
#ifdef __linux__
    const ssize_t listed = ::listxattr(from.c_str(), nullptr, 0);
    if (listed <= 0) {
        return;
    }
    std::string names(static_cast<std::size_t>(listed), '\0');
    const ssize_t got = ::listxattr(from.c_str(), names.data(), names.size());
    if (got <= 0) {
        return; // the list changed meanwhile
    }
    names.resize(static_cast<std::size_t>(got));
    std::string value;
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char *attribute = names.c_str() + at;
        const ssize_t size = ::getxattr(from.c_str(), attribute, nullptr, 0);
        if (size < 0) {
            continue;
        }
        value.resize(static_cast<std::size_t>(size));
        const ssize_t read = ::getxattr(from.c_str(), attribute, value.data(), value.size());
        if (read >= 0) {
            (void)::fsetxattr(fd, attribute, value.data(), static_cast<std::size_t>(read), 0);
        }
    }
#else
    (void)from;
    (void)fd;
#endif
} catch (const std::bad_alloc &) {
    // Without memory for the list the replacement goes without them.
}

// Creates the temporary `temp` exclusively and, once it exists, moves its
// name into `held` and tracks it, with the ending signals held back
// meanwhile. Returns the descriptor, or -1 with errno set.
int create_temp(std::string &temp, std::string &held) {
    const UEndingSignalsHeld hold;
    if (hold.ending()) {
        errno = EINTR; // the run is ending: a temporary now would stay
        return -1;
    }
    // Mode 0666 before the umask, as for any new file.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) {
        held = std::move(temp);
        u_platform_track_temporary(held.c_str());
    }
    return fd;
}

// After the temporary has been renamed or removed: its name is no longer
// one to remove.
void forget_temp(std::string &temp) {
    u_platform_forget_temporary(temp.c_str());
    temp.clear();
}

} // namespace

int UOutputFile::open_native(const Name &name) {
    if (name.back() == '/') {
        return open_direct(name, Method::direct);
    }
    struct stat st;
    const bool exists = ::stat(name.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        return open_direct(name, Method::direct);
    }
    if (exists && !S_ISREG(st.st_mode)) {
        return open_direct(name, Method::direct);
    }
    if (exists && publish_ == UPublish::if_absent) {
        return ERR_CANT_CREATE_FILE;
    }

    std::string target;
    if (!follow_links(name, target)) {
        return open_direct(name, Method::direct);
    }
    if (exists) {
        // The entry the links end at must be the file itself; a file reached
        // only through a link that no longer names it is written in place.
        struct stat at;
        if (::lstat(target.c_str(), &at) != 0 || at.st_dev != st.st_dev || at.st_ino != st.st_ino) {
            return open_direct(name, Method::in_place);
        }
        // A file the user may not write stays refused, as an open for
        // writing would refuse it.
        if (::access(target.c_str(), W_OK) != 0) {
            return ERR_CANT_OPEN_FILE;
        }
    }

    const std::string dir = directory_of(target);
    if (exists && !renamable(dir, st)) {
        return open_direct(name, Method::in_place);
    }
    const std::string base = target.substr(dir.size());
    int fd = -1;
    for (int attempt = 0; attempt < kTempAttempts && fd < 0; ++attempt) {
        std::string temp = temp_name(dir, base);
        fd = create_temp(temp, temp_);
        if (fd < 0 && errno != EEXIST) {
            // A directory that takes no new entries while the file itself
            // may be written: rewrite the file in place.
            if (exists && (errno == EACCES || errno == EPERM)) {
                return open_direct(name, Method::in_place);
            }
            return ERR_CANT_OPEN_FILE;
        }
    }
    if (fd < 0) {
        return ERR_CANT_OPEN_FILE;
    }
    if (exists) {
        // Owner first: a change of owner may clear permission bits. Both are
        // best effort; only a privileged user may give a file away.
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
            (void)!::fchown(fd, st.st_uid, st.st_gid);
        }
        (void)!::fchmod(fd, st.st_mode & 0777);
        copy_extended_attributes(target, fd);
    }
    stream_ = ::fdopen(fd, "wb");
    if (stream_ == nullptr) {
        ::close(fd);
        return ERR_CANT_OPEN_FILE;
    }
    target_ = target;
    method_ = Method::temporary;
    return 0;
}

int UOutputFile::open_direct(const Name &name, Method method) {
    int fd;
    if (method == Method::in_place) {
        fd = ::open(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    } else {
        // Not waiting for a reader: a FIFO that nobody reads fails here
        // (ENXIO) instead of blocking for ever.
        fd = ::open(name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    }
    if (fd < 0) {
        return ERR_CANT_OPEN_FILE;
    }
    struct stat st;
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || flags == -1 ||
        (method == Method::direct && S_ISREG(st.st_mode)) || // a regular file meanwhile
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        ::close(fd);
        return ERR_CANT_OPEN_FILE;
    }
    stream_ = ::fdopen(fd, "wb");
    if (stream_ == nullptr) {
        ::close(fd);
        return ERR_CANT_OPEN_FILE;
    }
    method_ = method;
    return 0;
}

int UOutputFile::publish() {
    if (publish_ == UPublish::replace) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) {
            return ERR_CANT_WRITE_FILE;
        }
        forget_temp(temp_);
        return 0;
    }
    // A second name for the temporary appears only if nothing holds it.
    if (::link(temp_.c_str(), target_.c_str()) == 0) {
        return 0; // abandon() removes the temporary's own name
    }
    if (errno == EEXIST) {
        return ERR_CANT_CREATE_FILE;
    }
    if (!links_unsupported(errno)) {
        return ERR_CANT_WRITE_FILE;
    }
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) == 0) {
        forget_temp(temp_);
        return 0;
    }
    if (errno == EEXIST) {
        return ERR_CANT_CREATE_FILE;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) {
        return ERR_CANT_WRITE_FILE;
    }
#endif
    // A file system with neither: look, then rename. A run that slips in
    // between is replaced by a whole file, never mixed with one.
    struct stat st;
    if (::lstat(target_.c_str(), &st) == 0) {
        return ERR_CANT_CREATE_FILE;
    }
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        return ERR_CANT_WRITE_FILE;
    }
    forget_temp(temp_);
    return 0;
}

void UOutputFile::remove_temp() {
    ::unlink(temp_.c_str());
    forget_temp(temp_);
}

} // namespace pdx
