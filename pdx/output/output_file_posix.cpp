// The output path on POSIX systems: how a name is opened (through a
// temporary beside the file that its links lead to, or directly), and how a
// finished temporary is published under the name.

#include "pdx/output/output_file.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#include <sys/xattr.h>
#endif

#include "pdx/output/temporary_registry.h"
#include "pdx/util/errors.h"
#include "pdx/util/platform.h"

namespace pdx {
namespace {

// The directory part of `name`, up to and including its last '/' (empty for
// a bare name).
std::string directory_of(const std::string &name) {
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

// The descriptor that `name` stands for when it is one of the names of this
// process's own descriptors and exists: /dev/fd/N and, on Linux,
// /proc/self/fd/N (/dev/stdout and /dev/stderr are links to such names).
// -1 for any other name.
int descriptor_named(const std::string &name) {
    static const char *const kDirectories[] = {
        "/dev/fd/",
#ifdef __linux__
        "/proc/self/fd/",
#endif
    };
    const char *const last = name.data() + name.size();
    for (const char *dir : kDirectories) {
        const std::size_t at = std::strlen(dir);
        // from_chars leaves `fd` as it was unless all of its digits fit.
        int fd = -1;
        struct stat st;
        if (name.compare(0, at, dir) == 0 &&
            std::from_chars(name.data() + at, last, fd).ptr == last && fd >= 0 &&
            ::lstat(name.c_str(), &st) == 0) {
            return fd;
        }
    }
    return -1;
}

// Follows `name` through symbolic links to the entry they end at, which may
// be missing (a dangling link, or no entry at all: `missing`), or to the
// first name on the way that stands for an open descriptor, whose number
// goes to `descriptor` (else -1). False when the links cannot be followed: a
// loop, a link that cannot be read, a joined name that the system refuses
// (too long, a directory that may not be searched).
bool follow_links(const std::string &name, std::string &end, int &descriptor, bool &missing) {
    end = name;
    missing = false;
    // As many links as the kernel follows in one name, then the entry at
    // their end.
    for (int links = 0; links <= 40; ++links) {
        descriptor = descriptor_named(end);
        if (descriptor >= 0) {
            return true;
        }
        struct stat st;
        if (::lstat(end.c_str(), &st) != 0) {
            missing = errno == ENOENT;
            return missing;
        }
        if (!S_ISLNK(st.st_mode)) {
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

// Renames `from` to `to` unless something holds `to`: 0, or the error
// (ENOSYS where the system has no such rename).
int rename_if_absent(const std::string &from, const std::string &to) {
#if defined(RENAME_NOREPLACE)
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0
                                                                                            : errno;
#elif defined(__linux__) && defined(SYS_renameat2)
    constexpr unsigned kNoReplace = 1; // the C library names no RENAME_NOREPLACE
    return ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kNoReplace) == 0
               ? 0
               : errno;
#else
    (void)from;
    (void)to;
    return ENOSYS;
#endif
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

// The extended attributes of the file `from`, access control lists
// included, as names and values: as many as can be read, like the owner and
// mode a best effort.
void read_extended_attributes(const std::string &from,
                              std::vector<std::pair<std::string, std::string>> &list) noexcept try {
    list.clear();
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
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char *attribute = names.c_str() + at;
        const ssize_t size = ::getxattr(from.c_str(), attribute, nullptr, 0);
        if (size < 0) {
            continue;
        }
        std::string value(static_cast<std::size_t>(size), '\0');
        const ssize_t read = ::getxattr(from.c_str(), attribute, value.data(), value.size());
        if (read >= 0) {
            value.resize(static_cast<std::size_t>(read));
            list.emplace_back(attribute, std::move(value));
        }
    }
#else
    (void)from;
#endif
} catch (const std::bad_alloc &) {
    // Without memory for the list the replacement goes without them.
    list.clear();
}

// Takes from the new file `fd` the access control list that a default list
// of its directory gave it: a replacement carries the old file's list or
// none. True when it has none left (or the file system keeps none).
bool drop_inherited_acl(int fd) {
#ifdef __linux__
    return ::fremovexattr(fd, "system.posix_acl_access") == 0 || errno == ENODATA ||
           errno == ENOTSUP || errno == EOPNOTSUPP;
#else
    (void)fd;
    return true;
#endif
}

// Creates the temporary `temp` exclusively with `mode` and, once it exists,
// moves its name into `held` and tracks it, with the ending signals held back
// meanwhile. Returns the descriptor, or -1 with errno set.
int create_temp(std::string &temp, std::string &held, mode_t mode) {
    const UEndingSignalsHeld hold;
    if (hold.ending()) {
        errno = EINTR; // the run is ending: a temporary now would stay
        return -1;
    }
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
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

// A stream for writing on `fd`, which it then owns; null (and `fd` closed)
// on failure.
std::FILE *stream_on(int fd) {
    std::FILE *stream = ::fdopen(fd, "wb");
    if (stream == nullptr) {
        ::close(fd);
    }
    return stream;
}

// The looks at a name before one that sees the same file at its end of the
// links and under the name itself: another run's rename may land between
// the two.
constexpr int kLooks = 8;

} // namespace

int UOutputFile::open_native(const Name &name) {
    replaces_ = false;
    attributes_.clear();
    if (name.back() == '/') {
        return open_direct(name, Method::direct);
    }
    struct stat st;
    bool exists = false;
    std::string target;
    for (int look = 0;; ++look) {
        int descriptor = -1;
        bool missing = false;
        if (look == kLooks || !follow_links(name, target, descriptor, missing)) {
            return ERR_CANT_OPEN_FILE;
        }
        if (descriptor >= 0) {
            // Where the descriptor leads was decided by whoever opened it
            // (a shell's redirection): write there, at its offset.
            const int flags = ::fcntl(descriptor, F_GETFL);
            const int fd = flags == -1 || (flags & O_ACCMODE) == O_RDONLY
                               ? -1
                               : ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
            if (fd < 0 || (stream_ = stream_on(fd)) == nullptr) {
                return ERR_CANT_OPEN_FILE;
            }
            method_ = Method::direct;
            return 0;
        }
        // Nothing at the end of the links: a new file, as the look below
        // would find again.
        if (missing) {
            break;
        }
        exists = ::stat(name.c_str(), &st) == 0;
        if (!exists && errno != ENOENT) {
            return open_direct(name, Method::direct);
        }
        if (exists && !S_ISREG(st.st_mode)) {
            return open_direct(name, Method::direct);
        }
        if (exists && publish_ == UPublish::if_absent) {
            return ERR_CANT_CREATE_FILE;
        }
        // The entry the links end at must be the file itself; when it is
        // not, the name changed between the looks, or leads to a file that
        // no entry names.
        struct stat at;
        if (!exists || (::lstat(target.c_str(), &at) == 0 && at.st_dev == st.st_dev &&
                        at.st_ino == st.st_ino)) {
            break;
        }
    }
    // A file the user may not write stays refused, as an open for writing
    // would refuse it.
    if (exists && ::access(target.c_str(), W_OK) != 0) {
        return ERR_CANT_OPEN_FILE;
    }

    const std::string dir = directory_of(target);
    if (exists && !renamable(dir, st)) {
        return open_direct(name, Method::in_place);
    }
    const std::string base = target.substr(dir.size());
    // A replacement's temporary is its owner's alone until seal(); a new
    // file's is created as any new file is.
    const mode_t mode = exists ? 0600 : 0666;
    int fd = -1;
    for (int attempt = 0; attempt < kTempAttempts && fd < 0; ++attempt) {
        std::string temp = temp_name(dir, base);
        fd = create_temp(temp, temp_, mode);
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
        if (!drop_inherited_acl(fd)) {
            ::close(fd);
            return ERR_CANT_OPEN_FILE;
        }
        // Owner now, the rest at seal(): a change of owner may clear
        // permission bits. Best effort; only a privileged user may give a
        // file away.
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
            (void)!::fchown(fd, st.st_uid, st.st_gid);
        }
        read_extended_attributes(target, attributes_);
        mode_ = st.st_mode & 0777;
        replaces_ = true;
    }
    if ((stream_ = stream_on(fd)) == nullptr) {
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
    if ((stream_ = stream_on(fd)) == nullptr) {
        return ERR_CANT_OPEN_FILE;
    }
    method_ = method;
    return 0;
}

int UOutputFile::write(const Piece *pieces, std::size_t count) {
    if (stream_ == nullptr || std::fflush(stream_) != 0) {
        return ERR_CANT_WRITE_FILE;
    }
    const int fd = ::fileno(stream_);
    constexpr std::size_t kMostPieces = 16;
    struct iovec parts[kMostPieces];
    while (count > 0) {
        const std::size_t n = count < kMostPieces ? count : kMostPieces;
        for (std::size_t i = 0; i < n; ++i) {
            parts[i].iov_base = const_cast<void *>(pieces[i].data);
            parts[i].iov_len = pieces[i].size;
        }
        // A call may write less than it was given (a pipe, or more than the
        // system moves at once): go on from where it stopped.
        struct iovec *next = parts;
        std::size_t left = n;
        while (left > 0) {
            if (next->iov_len == 0) {
                ++next;
                --left;
                continue;
            }
            const ssize_t wrote = ::writev(fd, next, static_cast<int>(left));
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                return ERR_CANT_WRITE_FILE;
            }
            auto done = static_cast<std::size_t>(wrote);
            while (left > 0 && done >= next->iov_len) {
                done -= next->iov_len;
                ++next;
                --left;
            }
            if (left > 0) {
                next->iov_base = static_cast<char *>(next->iov_base) + done;
                next->iov_len -= done;
            }
        }
        pieces += n;
        count -= n;
    }
    return 0;
}

void UOutputFile::seal() {
    if (!replaces_) {
        return;
    }
    const int fd = ::fileno(stream_);
#ifdef __linux__
    // An access control list sets the permission bits as well; the old
    // file's bits then restate them.
    for (const auto &[attribute, value] : attributes_) {
        (void)::fsetxattr(fd, attribute.c_str(), value.data(), value.size(), 0);
    }
#endif
    (void)!::fchmod(fd, mode_);
}

int UOutputFile::publish() {
    if (publish_ == UPublish::replace) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) {
            return ERR_CANT_WRITE_FILE;
        }
        forget_temp(temp_);
        return 0;
    }
    // One rename that fails when anything holds the name.
    const int refused = rename_if_absent(temp_, target_);
    if (refused == 0) {
        forget_temp(temp_);
        return 0;
    }
    if (refused == EEXIST) {
        return ERR_CANT_CREATE_FILE;
    }
    // Without it (an older kernel, a file system that lacks it), and in a
    // directory that lets a name be added but not removed (EPERM), a second
    // name for the temporary, which appears only if nothing holds it.
    if (refused != EINVAL && refused != ENOSYS && refused != ENOTSUP && refused != EOPNOTSUPP &&
        refused != EPERM) {
        return ERR_CANT_WRITE_FILE;
    }
    if (::link(temp_.c_str(), target_.c_str()) == 0) {
        return 0; // abandon() removes the temporary's own name
    }
    if (errno == EEXIST) {
        return ERR_CANT_CREATE_FILE;
    }
    if (!links_unsupported(errno)) {
        return ERR_CANT_WRITE_FILE;
    }
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
    const bool left = ::unlink(temp_.c_str()) != 0 && errno != ENOENT;
    u_platform_forget_temporary(temp_.c_str());
    if (left) {
        left_behind_ = std::move(temp_);
    }
    temp_.clear();
}

bool u_output_names_descriptor(const char *path) {
    try {
        std::string name;
        std::string end;
        int descriptor = -1;
        bool missing = false;
        return u_platform_native_name(path, name) && !name.empty() &&
               follow_links(name, end, descriptor, missing) && descriptor >= 0;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace pdx
