#include "pdx/util/output_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#endif

#include "pdx/util/errors.h"
#include "pdx/util/platform.h"

namespace pdx {

namespace {

#ifndef _WIN32
// The names of the temporaries that exist now, for a signal handler to
// remove: a slot points at an output file's own name from just after the
// file is created until just after the name is gone. Output files beyond
// the slots (many at once, in one process) are not tracked.
constexpr std::size_t kTempSlots = 16;
std::atomic<const char *> live_temps[kTempSlots];
static_assert(std::atomic<const char *>::is_always_lock_free);

void track_temp(const char *name) {
    for (auto &slot : live_temps) {
        const char *empty = nullptr;
        if (slot.compare_exchange_strong(empty, name)) {
            return;
        }
    }
}

// The signals that end a program from outside, whose handler may remove the
// temporaries (u_platform_remove_temporaries_on_signals).
constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Creates the temporary `temp` exclusively and, once it exists, moves its
// name into `held` and tracks it. The ending signals wait meanwhile, so
// that none finds the file created but not yet tracked. Returns the
// descriptor, or -1 with errno set.
int create_temp(std::string &temp, std::string &held) {
    sigset_t ending, before;
    sigemptyset(&ending);
    for (const int sig : kEndingSignals) {
        sigaddset(&ending, sig);
    }
    pthread_sigmask(SIG_BLOCK, &ending, &before);
    // Mode 0666 before the umask, as for any new file.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    const int error = errno;
    if (fd >= 0) {
        held = std::move(temp);
        track_temp(held.c_str());
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = error;
    return fd;
}

// After the temporary has been renamed or removed: its name is no longer
// one to remove.
void forget_temp(std::string &temp) {
    for (auto &slot : live_temps) {
        const char *held = temp.c_str();
        if (slot.compare_exchange_strong(held, nullptr)) {
            break;
        }
    }
    temp.clear();
}
#endif

// Tells apart the temporaries of one process.
std::atomic<unsigned> temp_counter{0};

// Attempts at a free temporary name before giving up.
constexpr int kTempAttempts = 100;

// At most this many units of the output's own name go into a temporary's
// name, which then stays well inside the usual 255-unit limit.
constexpr std::size_t kTempBaseUnits = 120;

template <typename Name> Name number_text(unsigned long n) {
    const std::string digits = std::to_string(n);
    return Name(digits.begin(), digits.end());
}

} // namespace

int UOutputFile::open(const char *path, UPublish publish) {
    abandon();
    publish_ = publish;
    try {
        Name name;
        if (!u_platform_native_name(path, name) || name.empty()) {
            return ERR_CANT_OPEN_FILE;
        }
        const int rc = open_native(name);
        if (rc != 0) {
            abandon();
        }
        return rc;
    } catch (const std::bad_alloc &) {
        abandon();
        return ERR_CANT_OPEN_FILE;
    }
}

int UOutputFile::commit() {
    if (stream_ == nullptr) {
        abandon();
        return ERR_CANT_WRITE_FILE;
    }
    // Buffered bytes reach the file only when flushed: a failed flush or
    // close is a failed write.
    int result = 0;
    if (std::fflush(stream_) != 0 || std::ferror(stream_)) {
        result = ERR_CANT_WRITE_FILE;
    }
    if (std::fclose(stream_) != 0 && result == 0) {
        result = ERR_CANT_WRITE_FILE;
    }
    stream_ = nullptr;
    if (result == 0 && method_ == Method::temporary) {
        result = publish();
    }
    abandon();
    return result;
}

void UOutputFile::abandon() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!temp_.empty()) {
#ifdef _WIN32
        _wunlink(temp_.c_str());
        temp_.clear();
#else
        ::unlink(temp_.c_str());
        forget_temp(temp_);
#endif
    }
    method_ = Method::none;
}

#ifdef _WIN32

namespace {

// The directory part of `name`, up to and including its last separator
// (empty for a bare name).
std::wstring directory_of(const std::wstring &name) {
    const std::size_t slash = name.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : name.substr(0, slash + 1);
}

} // namespace

int UOutputFile::open_native(const Name &name) {
    const std::wstring dir = directory_of(name);
    const std::wstring base = name.substr(dir.size());
    // Device namespaces, drive-relative names and alternate data streams
    // have no plain directory to put a temporary in.
    if (base.empty() || base.find(L':') != std::wstring::npos || name.rfind(L"\\\\.\\", 0) == 0 ||
        name.rfind(L"\\\\?\\", 0) == 0) {
        return open_direct(name, Method::direct);
    }

    // The entry itself, not what a link leads to. Reserved device names
    // (NUL, CON, ...) open too: only a disk file goes through a temporary.
    bool exists = false;
    HANDLE h = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            return open_direct(name, Method::direct);
        }
    } else {
        BY_HANDLE_FILE_INFORMATION info;
        const bool disk = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info);
        CloseHandle(h);
        if (!disk || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return open_direct(name, Method::direct);
        }
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return open_direct(name, Method::in_place);
        }
        // A read-only file is refused, as an open for writing would be.
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
            return ERR_CANT_OPEN_FILE;
        }
        exists = true;
    }
    if (exists && publish_ == UPublish::if_absent) {
        return ERR_CANT_CREATE_FILE;
    }

    const std::wstring prefix = dir + L"." + base.substr(0, kTempBaseUnits) + L"." +
                                number_text<std::wstring>(static_cast<unsigned long>(_getpid())) +
                                L".";
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        const std::wstring temp = prefix + number_text<std::wstring>(temp_counter++) + L".tmp";
        int fd = -1;
        const errno_t rc =
            _wsopen_s(&fd, temp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                      _SH_DENYNO, _S_IREAD | _S_IWRITE);
        if (rc == 0) {
            temp_ = temp;
            stream_ = _fdopen(fd, "wb");
            if (stream_ == nullptr) {
                _close(fd);
                return ERR_CANT_OPEN_FILE;
            }
            target_ = name;
            method_ = Method::temporary;
            return 0;
        }
        if (rc != EEXIST) {
            if (exists && rc == EACCES) {
                return open_direct(name, Method::in_place);
            }
            return ERR_CANT_OPEN_FILE;
        }
    }
    return ERR_CANT_OPEN_FILE;
}

int UOutputFile::open_direct(const Name &name, Method method) {
    stream_ = _wfopen(name.c_str(), L"wb");
    if (stream_ == nullptr) {
        return ERR_CANT_OPEN_FILE;
    }
    method_ = method;
    return 0;
}

int UOutputFile::publish() {
    const DWORD flags = publish_ == UPublish::replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (MoveFileExW(temp_.c_str(), target_.c_str(), flags)) {
        temp_.clear();
        return 0;
    }
    const DWORD error = GetLastError();
    if (publish_ == UPublish::if_absent &&
        (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
        return ERR_CANT_CREATE_FILE;
    }
    return ERR_CANT_WRITE_FILE;
}

void u_platform_ignore_write_signals() {}
void u_platform_remove_temporaries_on_signals() {}
void u_platform_remove_temporaries() {}

#else

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
    const std::string prefix = dir + "." + target.substr(dir.size(), kTempBaseUnits) + "." +
                               number_text<std::string>(static_cast<unsigned long>(::getpid())) +
                               ".";
    int fd = -1;
    for (int attempt = 0; attempt < kTempAttempts && fd < 0; ++attempt) {
        std::string temp = prefix + number_text<std::string>(temp_counter++) + ".tmp";
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

void u_platform_ignore_write_signals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void u_platform_remove_temporaries() {
    for (auto &slot : live_temps) {
        if (const char *name = slot.load()) {
            ::unlink(name);
        }
    }
}

namespace {

// Removes the temporaries, then lets the signal end the process as it
// would have (the handler was reset on entry; the signal is delivered again
// once the handler returns).
extern "C" void remove_temporaries_and_end(int sig) {
    u_platform_remove_temporaries();
    ::raise(sig);
}

} // namespace

void u_platform_remove_temporaries_on_signals() {
    for (const int sig : kEndingSignals) {
        struct sigaction now;
        if (::sigaction(sig, nullptr, &now) != 0 || now.sa_handler == SIG_IGN) {
            continue; // e.g. SIGINT of a background job, SIGHUP under nohup
        }
        struct sigaction act = {};
        act.sa_handler = remove_temporaries_and_end;
        sigemptyset(&act.sa_mask);
        act.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &act, nullptr);
    }
}

#endif

} // namespace pdx
