#include "pdx/util/platform.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif
#include <sys/stat.h>
#include <sys/types.h>

#include "pdx/util/path.h"

namespace pdx {

namespace {

// The UTF-16 code units that follow the mark of a wide path, up to (not
// including) the terminating zero unit. They may lie at any address.
std::u16string wide_units(const char *path) {
    std::u16string units;
    for (const char *p = path + 2;; p += 2) {
        char16_t unit;
        std::memcpy(&unit, p, sizeof unit);
        if (unit == 0) {
            return units;
        }
        units.push_back(unit);
    }
}

#ifndef _WIN32
// UTF-16 to UTF-8; false on an unpaired surrogate.
bool to_utf8(const std::u16string &in, std::string &out) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        std::uint32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) {
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

// The narrow name to hand to fopen/stat: the path itself, or the UTF-8 form
// of a wide path. False when a wide path cannot be converted.
bool native_name(const char *path, std::string &name) {
    if (!u_path_is_wide(path)) {
        name = path;
        return true;
    }
    return to_utf8(wide_units(path), name);
}
#endif

} // namespace

std::FILE *u_platform_open_read(const char *path) {
    try {
#ifdef _WIN32
        if (u_path_is_wide(path)) {
            std::u16string units = wide_units(path);
            std::wstring name(units.begin(), units.end());
            return _wfopen(name.c_str(), L"rb");
        }
        return std::fopen(path, "rb");
#else
        std::string name;
        if (!native_name(path, name)) {
            return nullptr;
        }
        return std::fopen(name.c_str(), "rb");
#endif
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

bool u_platform_stat_mode(const char *path, unsigned *mode) {
    try {
#ifdef _WIN32
        struct _stat64i32 st;
        int rc;
        if (u_path_is_wide(path)) {
            std::u16string units = wide_units(path);
            std::wstring name(units.begin(), units.end());
            rc = _wstat64i32(name.c_str(), &st);
        } else {
            rc = _stat64i32(path, &st);
        }
#else
        std::string name;
        if (!native_name(path, name)) {
            return false;
        }
        struct stat st;
        int rc = ::stat(name.c_str(), &st);
#endif
        if (rc != 0) {
            return false;
        }
        *mode = static_cast<unsigned>(st.st_mode);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool u_platform_regular_size(std::FILE *stream, std::uint64_t *size) {
#ifdef _WIN32
    struct _stat64 st;
    if (_fstat64(_fileno(stream), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        return false;
    }
#else
    struct stat st;
    if (::fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
#endif
    if (st.st_size < 0) {
        return false;
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::size_t u_platform_read_at(std::FILE *stream, void *into, std::size_t size,
                               std::uint64_t offset) {
#ifdef _WIN32
    if (_fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) != 0) {
        return 0;
    }
    return std::fread(into, 1, size, stream);
#else
    // Linux moves at most about 2 GiB in one call.
    constexpr std::size_t kLargestRead = std::size_t{1} << 30;
    const int fd = fileno(stream);
    auto *bytes = static_cast<unsigned char *>(into);
    std::size_t done = 0;
    while (done < size) {
        const std::size_t ask = size - done < kLargestRead ? size - done : kLargestRead;
        const ssize_t got = ::pread(fd, bytes + done, ask, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
#endif
}

unsigned long u_platform_process_id() {
#ifdef _WIN32
    return static_cast<unsigned long>(_getpid());
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

void u_platform_binary_stderr() {
#ifdef _WIN32
    _setmode(_fileno(stderr), _O_BINARY);
#endif
}

#ifdef _WIN32
bool u_platform_native_name(const char *path, std::wstring &name) {
    if (path == nullptr) {
        return false;
    }
    try {
        if (u_path_is_wide(path)) {
            const std::u16string units = wide_units(path);
            name.assign(units.begin(), units.end());
            return true;
        }
        name.clear();
        const int length = static_cast<int>(std::strlen(path));
        if (length == 0) {
            return true;
        }
        const UINT page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
        const int n = MultiByteToWideChar(page, 0, path, length, nullptr, 0);
        if (n <= 0) {
            return false;
        }
        name.resize(static_cast<std::size_t>(n));
        return MultiByteToWideChar(page, 0, path, length, name.data(), n) == n;
    } catch (const std::bad_alloc &) {
        return false;
    }
}
#else
bool u_platform_native_name(const char *path, std::string &name) {
    if (path == nullptr) {
        return false;
    }
    try {
        name.clear();
        return native_name(path, name);
    } catch (const std::bad_alloc &) {
        return false;
    }
}
#endif

} // namespace pdx
