// Faults of the system that the cases ask for, loaded into the program with
// LD_PRELOAD (Linux): the failures a lab machine can meet but no test can
// bring about on demand. PDX_TEST_FAULT names them, separated by ";":
//
//   close-stdout      the final close of the standard output fails (EIO), as
//                     a network file system may report a write only then
//   list-stops N      a folder's listing fails (EIO) once N entries have been
//                     listed, as on a disk that fails partway
//   name-taken NAME   another program takes NAME just before this one's
//                     rename or link would publish its output under it
//   write-fails       every write to a file but the standard streams fails
//                     (EIO), as on a disk that fails
//   unlink-fails      a removal reports failure (EIO); it is done, so that
//                     the case's folder holds no file the program lost
//
// Built without sanitizers: it stands in front of their runtime too.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct Fault {
    std::string name;
    std::string argument;
};

std::vector<Fault> parse(const char *text) {
    std::vector<Fault> faults;
    std::string s = text != nullptr ? text : "";
    while (!s.empty()) {
        const std::size_t end = s.find(';');
        const std::string one = s.substr(0, end);
        const std::size_t space = one.find(' ');
        faults.push_back(
            {one.substr(0, space), space == std::string::npos ? "" : one.substr(space + 1)});
        s = end == std::string::npos ? "" : s.substr(end + 1);
    }
    return faults;
}

// The fault of this name that the case asks for, or null.
const Fault *fault(const char *name) {
    static const std::vector<Fault> faults = parse(std::getenv("PDX_TEST_FAULT"));
    for (const Fault &f : faults) {
        if (f.name == name) {
            return &f;
        }
    }
    return nullptr;
}

template <typename F> F *next(const char *symbol) {
    return reinterpret_cast<F *>(dlsym(RTLD_NEXT, symbol));
}

// Entries listed so far, but for "." and "..".
unsigned long listed = 0;

template <typename Entry> Entry *listing(Entry *(*real)(DIR *), DIR *dir) {
    const Fault *stops = fault("list-stops");
    if (stops != nullptr && listed >= std::strtoul(stops->argument.c_str(), nullptr, 10)) {
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
    const Fault *taken = fault("name-taken");
    const char *slash = std::strrchr(to, '/');
    if (taken == nullptr || taken->argument != (slash != nullptr ? slash + 1 : to)) {
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
    const bool failing = stream == stdout && fault("close-stdout") != nullptr;
    const int result = real(stream);
    if (failing) {
        errno = EIO;
        return EOF;
    }
    return result;
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *stream) {
    static auto *real = next<size_t(const void *, size_t, size_t, FILE *)>("fwrite");
    if (stream != stdout && stream != stderr && fault("write-fails") != nullptr) {
        errno = EIO;
        return 0;
    }
    return real(data, size, count, stream);
}

int unlink(const char *path) {
    static auto *real = next<int(const char *)>("unlink");
    const int result = real(path);
    if (result == 0 && fault("unlink-fails") != nullptr) {
        errno = EIO;
        return -1;
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
