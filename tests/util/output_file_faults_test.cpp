// The output path when the system refuses it: file systems without hard
// links or without an exclusive rename, failing renames, a directory that
// takes no new entries, temporaries' names all taken, a sticky directory
// and a user other than the superuser. This program's own definitions of
// the system calls below take the place of the C library's; each goes
// straight to the kernel unless the case at hand makes it fail.

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "pdx/output/output_file.h"
#include "pdx/output/signals.h"
#include "pdx/util/errors.h"
#include "support/temp_dir.h"

namespace {

// `call` fails with `error` on its next `times` calls (all, when -1), once
// `after` calls have passed. geteuid() cannot fail: for it, `error` is the
// user id it reports; "new" is operator new.
struct Fault {
    const char *call;
    int error;
    int times = -1;
    int after = 0;
};

std::vector<Fault> g_faults;
char g_temp[4096];           // the last name created exclusively
mode_t g_temp_mode;          // and the mode it was created with
int g_ignored_at_unlink = 0; // a signal that unlink() makes ignored from then on

bool fails(const char *call) {
    for (Fault &f : g_faults) {
        if (std::strcmp(f.call, call) == 0 && f.after > 0) {
            --f.after;
        } else if (std::strcmp(f.call, call) == 0 && f.times != 0) {
            f.times -= f.times > 0 ? 1 : 0;
            errno = f.error;
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" {
int link(const char *from, const char *to) noexcept {
    return fails("link") ? -1 : int(syscall(SYS_link, from, to));
}
int rename(const char *from, const char *to) noexcept {
    return fails("rename") ? -1 : int(syscall(SYS_rename, from, to));
}
int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags) noexcept {
    return fails("renameat2") ? -1 : int(syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
}
int access(const char *path, int mode) noexcept {
    return fails("access") ? -1 : int(syscall(SYS_access, path, mode));
}
// "lstat-other": the call succeeds but finds another file on the device.
int lstat(const char *path, struct stat *st) noexcept {
    if (fails("lstat")) {
        return -1;
    }
    const int rc = int(syscall(SYS_newfstatat, AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW));
    st->st_ino += rc == 0 && fails("lstat-other") ? 1 : 0;
    return rc;
}
ssize_t readlink(const char *path, char *text, std::size_t size) noexcept {
    return fails("readlink") ? -1 : ssize_t(syscall(SYS_readlink, path, text, size));
}
ssize_t getxattr(const char *path, const char *name, void *value, std::size_t size) noexcept {
    return fails("getxattr") ? -1 : ssize_t(syscall(SYS_getxattr, path, name, value, size));
}
int unlink(const char *path) noexcept {
    if (g_ignored_at_unlink != 0) {
        std::signal(g_ignored_at_unlink, SIG_IGN);
    }
    return fails("unlink") ? -1 : int(syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}
int fremovexattr(int fd, const char *name) noexcept {
    return fails("fremovexattr") ? -1 : int(syscall(SYS_fremovexattr, fd, name));
}
FILE *fdopen(int fd, const char *mode) noexcept {
    using Real = FILE *(*)(int, const char *);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fdopen"));
    return fails("fdopen") ? nullptr : real(fd, mode);
}
int fcntl(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    const long arg = va_arg(args, long);
    va_end(args);
    return fails("fcntl") ? -1 : int(syscall(SYS_fcntl, fd, command, arg));
}
uid_t geteuid() noexcept {
    return fails("geteuid") ? uid_t(errno) : uid_t(syscall(SYS_geteuid));
}
// Only exclusive creation (the temporaries) is made to fail.
int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if ((flags & O_EXCL) != 0) {
        std::snprintf(g_temp, sizeof g_temp, "%s", path);
        g_temp_mode = mode;
    }
    if ((flags & O_EXCL) != 0 && fails("open")) {
        if (errno == EEXIST) { // another's file holds the name
            syscall(SYS_close, syscall(SYS_openat, AT_FDCWD, path, flags, mode));
            errno = EEXIST;
        }
        return -1;
    }
    return int(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}
}

// What this operator new takes from malloc, this operator delete gives back
// to free; GCC, seeing both after inlining, takes them for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void *operator new(std::size_t size) {
    void *p = fails("new") ? nullptr : std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace pdx;
using Method = UOutputFile::Method;
namespace fs = std::filesystem;

// kOthersFile: owned by user 4242 (and the superuser's group); kOthersGroup:
// by group 4243 (and the superuser); kOthersDir: the directory by user 4244;
// kLink: the name is a link to the file; kKeepsOwner: the file keeps its
// owner and group.
enum Setup {
    kNone = 0,
    kExisting = 1,
    kTakenBeforeCommit = 2,
    kSticky = 4,
    kOthersFile = 8,
    kOthersDir = 16,
    kLink = 32,
    kKeepsOwner = 64,
    kOthersGroup = 128,
    kAttribute = 256, // the file has an extended attribute
};

struct Case {
    const char *name;
    int setup;
    UPublish publish;
    std::vector<Fault> faults;
    int open_rc;
    Method method;
    int commit_rc;
    const char *result; // what the name holds at the end; null: nothing
    bool left = false;  // the temporary stays, and is named to the caller
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

constexpr auto kReplace = UPublish::replace;
constexpr auto kIfAbsent = UPublish::if_absent;
constexpr Method kTemp = Method::temporary;
constexpr int kOpen = ERR_CANT_OPEN_FILE;
constexpr int kWrite = ERR_CANT_WRITE_FILE;
constexpr int kCreate = ERR_CANT_CREATE_FILE;

// clang-format off
const Case kCases[] = {
    // No hard links: an exclusive rename, or else a look and a rename.
    {"NoLinks", kNone, kIfAbsent, {{"link", EPERM}}, 0, kTemp, 0, "new"},
    {"NoLinksNorExclusiveRename", kNone, kIfAbsent, {{"link", EXDEV}, {"renameat2", EINVAL}}, 0, kTemp, 0, "new"},
    {"NoLinksNameTaken", kTakenBeforeCommit, kIfAbsent, {{"link", EMLINK}}, 0, kTemp, kCreate, "old"},
    {"NeitherNameTaken", kTakenBeforeCommit, kIfAbsent, {{"link", ENOSYS}, {"renameat2", ENOTSUP}}, 0, kTemp, kCreate, "old"},
    {"NoExclusiveRenameNameTaken", kTakenBeforeCommit, kIfAbsent, {{"renameat2", EINVAL}}, 0, kTemp, kCreate, "old"},
    {"LinkFails", kNone, kIfAbsent, {{"renameat2", ENOSYS}, {"link", EIO}}, 0, kTemp, kWrite, nullptr},
    {"ExclusiveRenameFails", kNone, kIfAbsent, {{"link", EPERM}, {"renameat2", EIO}}, 0, kTemp, kWrite, nullptr},
    {"LastRenameFails", kNone, kIfAbsent, {{"link", EPERM}, {"renameat2", ENOSYS}, {"rename", EIO}}, 0, kTemp, kWrite, nullptr},
    {"ReplacingRenameFails", kExisting, kReplace, {{"rename", EIO}}, 0, kTemp, kWrite, "old"},
    // Temporaries' names taken by others.
    {"AllButTheLastNameTaken", kExisting, kReplace, {{"open", EEXIST, 99}}, 0, kTemp, 0, "new"},
    {"EveryNameTaken", kExisting, kReplace, {{"open", EEXIST, 100}}, kOpen, Method::none, 0, "old"},
    {"NoSpaceForATemporary", kExisting, kReplace, {{"open", ENOSPC}}, kOpen, Method::none, 0, "old"},
    {"NoMemory", kExisting, kReplace, {{"new", ENOMEM}}, kOpen, Method::none, 0, "old"},
    {"NoMemoryForTheTemporary", kExisting, kReplace, {{"new", ENOMEM, -1, 1}}, kOpen, Method::none, 0, "old"},
    {"NoStream", kExisting, kReplace, {{"fdopen", ENOMEM}}, kOpen, Method::none, 0, "old"},
    // Rewritten in place, a file is cut short before the stream fails.
    {"NoStreamInPlace", kExisting, kReplace, {{"open", EACCES}, {"fdopen", ENOMEM}}, kOpen, Method::none, 0, ""},
    {"NoFlagsInPlace", kExisting, kReplace, {{"open", EACCES}, {"fcntl", EBADF, 1}}, kOpen, Method::none, 0, ""},
    {"FlagsNotSetInPlace", kExisting, kReplace, {{"open", EACCES}, {"fcntl", EBADF, 1, 1}}, kOpen, Method::none, 0, ""},
    // A link that cannot be read is refused. Other runs' renames between
    // the looks at the name and at the end of its links make it look again
    // (the eighth look here sees one file); a name whose links never lead to
    // its own file is refused, not rewritten.
    {"UnreadableLink", kExisting | kLink, kReplace, {{"readlink", EIO}}, kOpen, Method::none, 0, "old"},
    {"TracedNameVanishes", kExisting, kReplace, {{"lstat", ENOENT, 1, 1}}, 0, kTemp, 0, "new"},
    {"TracedNameIsAnotherFile", kExisting, kReplace, {{"lstat-other", 0, 13, 1}}, 0, kTemp, 0, "new"},
    {"TracedNameNeverSettles", kExisting, kReplace, {{"lstat-other", 0}}, kOpen, Method::none, 0, "old"},
    // The access control list inherited from the directory cannot be taken
    // away: nothing is written; a file system without such lists is fine.
    {"InheritedAclStays", kExisting, kReplace, {{"fremovexattr", EIO}}, kOpen, Method::none, 0, "old"},
    {"NoAclsOnTheFileSystem", kExisting, kReplace, {{"fremovexattr", EOPNOTSUPP}}, 0, kTemp, 0, "new"},
    {"AttributeGoneMeanwhile", kExisting | kAttribute, kReplace, {{"getxattr", ENODATA, 1, 1}}, 0, kTemp, 0, "new"},
    {"AttributeUnreadable", kExisting | kAttribute, kReplace, {{"getxattr", ENODATA, 1}}, 0, kTemp, 0, "new"},
    // A directory that keeps every name (append-only): the temporary stays
    // after a failure, and as a second name after a publishing link, which
    // takes the place of the rename the directory refuses.
    {"TemporaryStays", kExisting, kReplace, {{"rename", EIO}, {"unlink", EPERM}}, 0, kTemp, kWrite, "old", true},
    {"SecondNameStays", kNone, kIfAbsent, {{"renameat2", EPERM}, {"unlink", EPERM}}, 0, kTemp, 0, "new", true},
    // A directory that takes no new entries.
    {"ClosedDirectoryFileRewritten", kExisting, kReplace, {{"open", EACCES}}, 0, Method::in_place, 0, "new"},
    {"ClosedDirectoryNoFile", kNone, kReplace, {{"open", EPERM}}, kOpen, Method::none, 0, nullptr},
    {"FileNotWritable", kExisting, kReplace, {{"access", EACCES}}, kOpen, Method::none, 0, "old"},
    // An ordinary user: another's file in a sticky directory cannot be
    // replaced, only rewritten; in a plain directory it is replaced.
    {"StickyDirectoryOthersFile", kExisting | kSticky, kReplace, {{"geteuid", 4242}}, 0, Method::in_place, 0, "new"},
    {"PlainDirectoryOthersFile", kExisting, kReplace, {{"geteuid", 4242}}, 0, kTemp, 0, "new"},
    {"StickyDirectoryOwnFile", kExisting | kSticky | kOthersFile, kReplace, {{"geteuid", 4242}}, 0, kTemp, 0, "new"},
    // The superuser replaces anyone's file anywhere, and keeps its owner.
    {"OthersFileKeepsItsOwner", kExisting | kOthersFile | kKeepsOwner, kReplace, {}, 0, kTemp, 0, "new"},
    {"OthersGroupKept", kExisting | kOthersGroup | kKeepsOwner, kReplace, {}, 0, kTemp, 0, "new"},
    {"SuperuserInOthersStickyDirectory", kExisting | kSticky | kOthersFile | kOthersDir | kKeepsOwner, kReplace, {}, 0, kTemp, 0, "new"},
};
// clang-format on

class OutputFileFaults : public testing::TestWithParam<Case> {};

TEST_P(OutputFileFaults, Publish) {
    const Case &c = GetParam();
    test_support::TempDir dir;
    const fs::path out = dir.path() / "out";
    if ((c.setup & kExisting) != 0) {
        test_support::write_file(out, {'o', 'l', 'd'});
    }
    if ((c.setup & kLink) != 0) {
        fs::rename(out, dir.path() / "file");
        fs::create_symlink("file", out);
    }
    if ((c.setup & (kOthersFile | kOthersDir | kOthersGroup)) != 0) {
        if (syscall(SYS_geteuid) != 0) {
            GTEST_SKIP() << "only the superuser gives a file away";
        }
        ASSERT_EQ(::chown(out.c_str(), (c.setup & kOthersFile) != 0 ? 4242 : 0,
                          (c.setup & kOthersGroup) != 0 ? 4243 : getegid()),
                  0);
        ASSERT_EQ(::chown(dir.path().c_str(), (c.setup & kOthersDir) != 0 ? 4244 : 0, 0), 0);
    }
    if ((c.setup & kAttribute) != 0 && ::setxattr(out.c_str(), "user.a", "v", 1, 0) != 0) {
        GTEST_SKIP() << "no extended attributes here";
    }
    if ((c.setup & kSticky) != 0) {
        fs::permissions(dir.path(), fs::perms::sticky_bit, fs::perm_options::add);
    }
    struct stat owner {};
    ::stat(out.c_str(), &owner);
    const int descriptor = test_support::lowest_free_descriptor();
    UOutputFile f;
    g_faults = c.faults;
    const int open_rc = f.open(out.c_str(), c.publish);
    g_faults.clear();
    ASSERT_EQ(open_rc, c.open_rc);
    EXPECT_EQ(f.method(), c.method);
    // Temporaries are named as the user is told: ".out.<process id>.<n>.tmp".
    const std::string temp = fs::path(g_temp).filename().string();
    if (c.method == kTemp) {
        EXPECT_EQ(temp.rfind(".out." + std::to_string(getpid()) + ".", 0), 0u) << temp;
        EXPECT_EQ(temp.substr(temp.size() - 4), ".tmp");
    }
    if (c.method == kTemp && (c.setup & kExisting) != 0) {
        EXPECT_EQ(g_temp_mode & 077, 0u); // no one's to read but its owner's
    }
    if (open_rc == 0) {
        std::fputs("new", f.stream());
        if ((c.setup & kTakenBeforeCommit) != 0) {
            test_support::write_file(out, {'o', 'l', 'd'});
        }
        g_faults = c.faults;
        const int commit_rc = f.commit();
        g_faults.clear();
        EXPECT_EQ(commit_rc, c.commit_rc);
    }
    EXPECT_EQ(f.take_left_behind(), c.left ? std::string(g_temp) : std::string());
    if (c.result == nullptr) {
        EXPECT_FALSE(fs::exists(out));
    } else {
        const std::string held(c.result);
        EXPECT_EQ(test_support::read_file(out), test_support::Bytes(held.begin(), held.end()));
    }
    // No stream stays open, no temporary stays; a replaced file keeps its
    // owner.
    EXPECT_EQ(test_support::lowest_free_descriptor(), descriptor);
    // Names taken by others keep their files.
    long taken = 0;
    for (const Fault &fault : c.faults) {
        taken += std::strcmp(fault.call, "open") == 0 && fault.error == EEXIST ? fault.times : 0;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}),
              (c.result ? 1 : 0) + ((c.setup & kLink) != 0 ? 1 : 0) + taken + (c.left ? 1 : 0));
    struct stat st;
    if ((c.setup & kKeepsOwner) != 0) {
        ASSERT_EQ(::stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, owner.st_uid);
        EXPECT_EQ(st.st_gid, owner.st_gid);
    }
    if ((c.setup & kExisting) != 0 && ::stat(out.c_str(), &st) == 0) {
        EXPECT_EQ(st.st_mode, owner.st_mode);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputFileFaults, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &p) { return p.param.name; });

// An absolute link whose text is longer than a first guess at its length, a
// loop, and a commit with nothing open. A new file gets the mode that the
// umask leaves of 0666.
TEST(OutputFileLinks, LongLinkIsFollowedAndLoopRefused) {
    test_support::TempDir dir;
    EXPECT_EQ(UOutputFile().commit(), ERR_CANT_WRITE_FILE);
    std::string text = dir.path().string() + "/";
    while (text.size() < 600) {
        text += "./";
    }
    fs::create_symlink(text + "out", dir.path() / "long");
    fs::create_symlink("loop", dir.path() / "loop");
    UOutputFile f;
    ASSERT_EQ(f.open((dir.path() / "long").c_str(), UPublish::if_absent), 0);
    std::fputs("new", f.stream());
    EXPECT_EQ(f.commit(), 0);
    EXPECT_TRUE(fs::is_symlink(dir.path() / "long"));
    EXPECT_EQ(test_support::read_file(dir.path() / "out"), (test_support::Bytes{'n', 'e', 'w'}));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(unsigned(fs::status(dir.path() / "out").permissions()), 0666u & ~mask);
    EXPECT_EQ(f.open((dir.path() / "loop").c_str(), UPublish::replace), ERR_CANT_OPEN_FILE);
    // As many links as the system follows in one name are followed.
    for (int i = 0; i < 40; ++i) {
        fs::create_symlink(i == 39 ? "out" : "chain" + std::to_string(i + 1),
                           dir.path() / ("chain" + std::to_string(i)));
    }
    ASSERT_EQ(f.open((dir.path() / "chain0").c_str(), UPublish::replace), 0);
    EXPECT_EQ(f.method(), UOutputFile::Method::temporary);
    f.abandon();
    // Two links whose texts, joined, outgrow the system's limit on a name:
    // refused, the file left as it was.
    std::string here;
    while (here.size() < 3000) {
        here += "./";
    }
    fs::create_symlink(here + "far", dir.path() / "near");
    fs::create_symlink(here + "out", dir.path() / "far");
    EXPECT_EQ(f.open((dir.path() / "near").c_str(), UPublish::replace), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(test_support::read_file(dir.path() / "out"), (test_support::Bytes{'n', 'e', 'w'}));

    // A close that fails after a clean flush is a failed write too.
    ASSERT_EQ(f.open((dir.path() / "closed").c_str(), UPublish::replace), 0);
    ::close(fileno(f.stream()));
    EXPECT_EQ(f.commit(), ERR_CANT_WRITE_FILE);
    EXPECT_FALSE(fs::exists(dir.path() / "closed"));
}

// The names of this process's descriptors are written through a duplicate,
// at the descriptor's offset, whatever it leads to: the file stays the file
// it was (no rename), with either way of publishing. A descriptor open for
// reading only, and a failure to take it, are refused. (/dev/stdout, found
// through its link, is the command's test.)
TEST(OutputFileDescriptors, WrittenThroughTheOpenDescriptor) {
    test_support::TempDir dir;
    const fs::path log = dir.path() / "log";
    test_support::write_file(log, {'h', '\n'});
    // Two digits; descriptor 0 leads there too meanwhile.
    const int opened = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const int appending = ::fcntl(opened, F_DUPFD_CLOEXEC, 23);
    const int reading = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
    const int saved_stdin = ::dup(0);
    ASSERT_GE(reading, 0);
    ASSERT_EQ(::dup2(appending, 0), 0);
    const std::string a = std::to_string(appending);
    const int descriptor = test_support::lowest_free_descriptor();
    struct Row {
        std::string name;
        std::vector<Fault> faults;
        int rc;
    };
    const Row rows[] = {
        {"/dev/fd/" + a, {}, 0},
        {"/proc/self/fd/" + a, {}, 0},
        {"/dev/fd/0", {}, 0},
        {"/dev/fd/" + std::to_string(reading), {}, ERR_CANT_OPEN_FILE},
        {"/dev/fd/" + a, {{"fcntl", EBADF, 1}}, ERR_CANT_OPEN_FILE},
        {"/dev/fd/" + a, {{"fcntl", EMFILE, 1, 1}}, ERR_CANT_OPEN_FILE},
        {"/dev/fd/" + a, {{"fdopen", ENOMEM}}, ERR_CANT_OPEN_FILE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(u_output_names_descriptor(row.name.c_str()));
        UOutputFile f;
        g_faults = row.faults;
        const int rc = f.open(row.name.c_str(), UPublish::if_absent);
        g_faults.clear();
        ASSERT_EQ(rc, row.rc);
        if (rc == 0) {
            EXPECT_EQ(f.method(), Method::direct);
            std::fputs("x", f.stream());
            EXPECT_EQ(f.commit(), 0);
        }
    }
    EXPECT_EQ(test_support::lowest_free_descriptor(), descriptor);
    ::dup2(saved_stdin, 0);
    for (const int fd : {saved_stdin, opened, appending, reading}) {
        ::close(fd);
    }
    EXPECT_EQ(test_support::read_file(log), (test_support::Bytes{'h', '\n', 'x', 'x', 'x'}));
    // A descriptor that is not open, another process's, their directory, a
    // file.
    for (const std::string &name : {std::string("/dev/fd/999"), std::string("/proc/1/fd/1"),
                                    std::string("/dev/fd/"), log.string()}) {
        EXPECT_FALSE(u_output_names_descriptor(name.c_str())) << name;
    }
}

// Once an ending signal's handler has begun removing temporaries, an output
// opened on another thread creates none and touches no descriptor. The
// handler is made to return here (its unlink ignores the signal it raises
// again), in a child process, which that leaves in this state for good.
TEST(OutputFileEnding, NoTemporaryOnceRemovalHasBegun) {
    test_support::TempDir dir;
    const pid_t child = ::fork();
    if (child == 0) {
        const int saved_stdin = ::dup(0); // a descriptor 0 that could be written
        ::dup2(::open(dir.file("stdin").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600), 0);
        u_platform_remove_temporaries_on_signals();
        UOutputFile a, b;
        const int opened = a.open(dir.file("a").c_str(), UPublish::replace);
        g_ignored_at_unlink = SIGTERM;
        std::raise(SIGTERM);
        const int descriptor = test_support::lowest_free_descriptor();
        const bool ok = opened == 0 && b.open(dir.file("b").c_str(), UPublish::replace) == kOpen &&
                        test_support::lowest_free_descriptor() == descriptor &&
                        std::distance(fs::directory_iterator(dir.path()), {}) == 1;
        ::dup2(saved_stdin, 0);
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
