// Publishing a finished output, on every platform and for both path forms:
// the name keeps what it held until commit(), a name taken meanwhile is not
// overwritten without leave, and no temporary outlives its file.

#include "pdx/output/output_file.h"
#include "pdx/output/signals.h"

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifdef __linux__
#include <sys/xattr.h>
#endif
#ifndef _WIN32
#include <chrono>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include "pdx/util/errors.h"
#include "support/temp_dir.h"

using namespace pdx;

namespace {

TEST(OutputFile, PublishesOnlyWholeFilesAndOnlyWithLeave) {
    test_support::TempDir dir;
    const int descriptor = test_support::lowest_free_descriptor();
    const std::filesystem::path out = dir.path() / "out.mat";
    const auto only_out = [&] {
        return std::distance(std::filesystem::directory_iterator(dir.path()), {}) == 1;
    };
    for (const std::string &path : {out.string(), test_support::wide_path_of(out)}) {
        std::filesystem::remove(out);
        UOutputFile f;
        ASSERT_EQ(f.open(path.c_str(), UPublish::if_absent), 0);
        std::fputs("mine", f.stream());
        test_support::write_file(out, {'o', 'l', 'd'}); // taken meanwhile
        EXPECT_EQ(f.commit(), ERR_CANT_CREATE_FILE);
        EXPECT_EQ(f.open(path.c_str(), UPublish::if_absent), ERR_CANT_CREATE_FILE);

        ASSERT_EQ(f.open(path.c_str(), UPublish::replace), 0);
        std::fputs("half", f.stream());
        f.abandon();
        EXPECT_EQ(test_support::read_file(out), (test_support::Bytes{'o', 'l', 'd'}));
        EXPECT_TRUE(only_out());

        ASSERT_EQ(f.open(path.c_str(), UPublish::replace), 0);
        EXPECT_EQ(f.method(), UOutputFile::Method::temporary);
        std::fputs("new", f.stream());
        // Pieces written past the stream go after what it holds, in order:
        // one alone, an empty one alone, then more than one call takes, an
        // empty one among them.
        const UOutputFile::Piece dash{"-", 1}, none{"", 0};
        EXPECT_EQ(f.write(&dash, 1), 0);
        EXPECT_EQ(f.write(&none, 1), 0);
        const std::string more = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::vector<UOutputFile::Piece> pieces;
        for (std::size_t i = 0; i < more.size(); ++i) {
            pieces.push_back({&more[i], 1});
            if (i == 20) {
                pieces.push_back({"", 0});
            }
        }
        EXPECT_EQ(f.write(pieces.data(), pieces.size()), 0);
        EXPECT_EQ(f.commit(), 0);
        const std::string whole = "new-" + more;
        EXPECT_EQ(test_support::read_file(out), test_support::Bytes(whole.begin(), whole.end()));
        EXPECT_TRUE(only_out());
    }
#ifdef __linux__
    // The replacement keeps the old file's extended attributes, an empty one
    // too, and its access control list even where the directory's default
    // list has given the new file one of its own (where the file system has
    // them).
    // clang-format off
    const auto acl = [](char u) { // version 2, then {tag, perm, id} per entry
        const char a = '\xff';
        return std::string{2, 0, 0, 0,
                           1, 0, 6, 0, a, a, a, a,   // the owner
                           2, 0, 6, 0, u, 0, 0, 0,   // user u
                           4, 0, 4, 0, a, a, a, a,   // the group
                           16, 0, 6, 0, a, a, a, a,  // the mask
                           32, 0, 4, 0, a, a, a, a}; // others
    };
    // clang-format on
    const std::string mine = acl(100), inherited = acl(123);
    // A file without a list of its own stays without one, and its mode.
    const std::filesystem::path plain = dir.path() / "plain";
    test_support::write_file(plain, {'o', 'l', 'd'});
    std::filesystem::permissions(plain, std::filesystem::perms(0741));
    if (::setxattr(out.c_str(), "user.kept", "kept", 4, 0) == 0 &&
        ::setxattr(out.c_str(), "user.empty", "", 0, 0) == 0 &&
        ::setxattr(out.c_str(), "system.posix_acl_access", mine.data(), mine.size(), 0) == 0 &&
        ::setxattr(dir.path().c_str(), "system.posix_acl_default", inherited.data(),
                   inherited.size(), 0) == 0) {
        UOutputFile f;
        ASSERT_EQ(f.open(out.string().c_str(), UPublish::replace), 0);
        std::fputs("new", f.stream());
        // An attribute the system gives a new file gives way to the old's.
        for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string()[0] == '.') {
                ::setxattr(entry.path().c_str(), "user.kept", "born", 4, 0);
            }
        }
        EXPECT_EQ(f.commit(), 0);
        char value[64] = {};
        EXPECT_EQ(::getxattr(out.c_str(), "user.kept", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
        EXPECT_EQ(::getxattr(out.c_str(), "user.empty", value, sizeof value), 0);
        EXPECT_EQ(::getxattr(out.c_str(), "system.posix_acl_access", value, sizeof value),
                  ssize_t(mine.size()));
        EXPECT_EQ(std::string(value, mine.size()), mine);

        ASSERT_EQ(f.open(plain.string().c_str(), UPublish::replace), 0);
        std::fputs("new", f.stream());
        EXPECT_EQ(f.commit(), 0);
        EXPECT_EQ(::getxattr(plain.c_str(), "system.posix_acl_access", value, sizeof value), -1);
        EXPECT_EQ(std::filesystem::status(plain).permissions(), std::filesystem::perms(0741));
    }
    std::filesystem::remove(plain);
#endif
    // What a handler of an ending signal does: every temporary goes (on
    // Windows once it is closed), the names keep what they held. (Under the
    // address sanitizer, the second removal also catches a slot left
    // pointing at a name that is gone.)
    const test_support::Bytes held = test_support::read_file(out);
    UOutputFile a, b;
    ASSERT_EQ(a.open(out.string().c_str(), UPublish::replace), 0);
    ASSERT_EQ(b.open(test_support::wide_path_of(dir.path() / "other").c_str(), UPublish::if_absent),
              0);
    u_platform_remove_temporaries();
#ifndef _WIN32
    EXPECT_TRUE(only_out());
#endif
    EXPECT_EQ(a.commit(), ERR_CANT_WRITE_FILE);
    b.abandon();
    EXPECT_TRUE(only_out());
    u_platform_remove_temporaries();
    EXPECT_EQ(test_support::read_file(out), held);
    EXPECT_EQ(test_support::lowest_free_descriptor(), descriptor);
}

// An output gives its slot in the registry back once its temporary is gone:
// after more outputs than the registry holds, one at a time beside one
// that stays open, the last is still removed with the rest. (Each has its
// own name's storage: a slot left behind cannot point at a later name.)
TEST(OutputFile, TemporariesGoneAreForgotten) {
    test_support::TempDir dir;
    std::vector<UOutputFile> outputs(kTrackedTemporaries + 2);
    ASSERT_EQ(outputs[0].open(dir.file("kept").c_str(), UPublish::replace), 0);
    for (std::size_t i = 1; i + 1 < outputs.size(); ++i) {
        ASSERT_EQ(outputs[i].open(dir.file("out").c_str(), UPublish::replace), 0);
        if (i % 2 == 0) {
            ASSERT_EQ(outputs[i].commit(), 0);
        } else {
            outputs[i].abandon();
        }
    }
    ASSERT_EQ(outputs.back().open(dir.file("last").c_str(), UPublish::replace), 0);
    u_platform_remove_temporaries();
    EXPECT_EQ(outputs.back().commit(), ERR_CANT_WRITE_FILE);
    EXPECT_EQ(outputs[0].commit(), ERR_CANT_WRITE_FILE);
}

#ifndef _WIN32
// Pieces written to a FIFO whose reader is slow, while a handler that does
// not restart system calls (as an interpreter's may) keeps interrupting:
// every byte arrives in order, whatever each call wrote before it stopped.
TEST(OutputFile, PiecesReachASlowFifoThroughInterruptions) {
    test_support::TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string bytes(1 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((i * 2654435761u) >> 24);
    }
    // The reader is there before the output opens (it does not wait for one).
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    UOutputFile f;
    ASSERT_EQ(f.open(fifo.c_str(), UPublish::replace), 0);
    ASSERT_EQ(::fcntl(fd, F_SETFL, 0), 0);
    std::string got;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno != EINTR) {
                break;
            }
            got.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::close(fd);
    });
    struct sigaction interrupt {
    }, before{};
    interrupt.sa_handler = [](int) {};
    ::sigaction(SIGALRM, &interrupt, &before);
    const itimerval every{{0, 500}, {0, 500}}, off{};
    ::setitimer(ITIMER_REAL, &every, nullptr);
    const UOutputFile::Piece pieces[] = {{bytes.data(), 1000},
                                         {bytes.data() + 1000, bytes.size() - 1000}};
    const int wrote = f.write(pieces, 2);
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &before, nullptr);
    const int committed = f.commit();
    reader.join();
    EXPECT_EQ(wrote, 0);
    EXPECT_EQ(committed, 0);
    EXPECT_TRUE(got == bytes) << got.size() << " bytes arrived";
}
#endif

} // namespace
