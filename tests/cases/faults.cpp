// Faults of the system that the cases ask for, loaded into the program with
// LD_PRELOAD (Linux): the failures a lab machine can meet but no test can
// bring about on demand. PDX_TEST_FAULT names one:
//
//   close-stdout      the final close of the standard output fails (EIO), as
//                     a network file system may report a write only then
//   list-stops N      a folder's listing fails (EIO) once N entries have been
//                     listed, as on a disk that fails partway
//   name-taken NAME   another program takes NAME just before this one's
//                     rename or link would publish its output under it
//
// Built without sanitizers: it stands in front of their runtime too.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct Fault {
    std::string name;
    std::string argument;
};

const Fault &fault() {
    static const Fault f = [] {
        Fault parsed;
        if (const char *text = std::getenv("PDX_TEST_FAULT")) {
            const std::string s = text;
            const std::size_t space = s.find(' ');
            parsed.name = s.substr(0, space);
            parsed.argument = space == std::string::npos ? "" : s.substr(space + 1);
        }
        return parsed;
    }();
    return f;
}

template <typename F> F *next(const char *symbol) {
    return reinterpret_cast<F *>(dlsym(RTLD_NEXT, symbol));
}

// Entries listed so far, but for "." and "..".
unsigned long listed = 0;

template <typename Entry> Entry *listing(Entry *(*real)(DIR *), DIR *dir) {
    if (fault().name == "list-stops" &&
        listed >= std::strtoul(fault().argument.c_str(), nullptr, 10)) {
        errno = EIO;
        return nullptr;
    }
    Entry *e = real(dir);
    if (e != nullptr && std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        ++listed;
    }
    return e;
}

void take_if_named(const char *to) {
    if (fault().name != "name-taken") {
        return;
    }
    const char *slash = std::strrchr(to, '/');
    if (fault().argument != (slash != nullptr ? slash + 1 : to)) {
        return;
    }
    const int fd = ::open(to, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
        const ssize_t ignored = ::write(fd, "taken\n", 6);
        (void)ignored;
        ::close(fd);
    }
}

} // namespace

extern "C" {

int fclose(FILE *stream) {
    static auto *real = next<int(FILE *)>("fclose");
    const bool failing = stream == stdout && fault().name == "close-stdout";
    const int result = real(stream);
    if (failing) {
        errno = EIO;
        return EOF;
    }
    return result;
}

dirent *readdir(DIR *dir) {
    static auto *real = next<dirent *(DIR *)>("readdir");
    return listing(real, dir);
}

dirent64 *readdir64(DIR *dir) {
    static auto *real = next<dirent64 *(DIR *)>("readdir64");
    return listing(real, dir);
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags) {
    static auto *real = next<int(int, const char *, int, const char *, unsigned)>("renameat2");
    take_if_named(to);
    return real(from_dir, from, to_dir, to, flags);
}

int link(const char *from, const char *to) {
    static auto *real = next<int(const char *, const char *)>("link");
    take_if_named(to);
    return real(from, to);
}

} // extern "C"
