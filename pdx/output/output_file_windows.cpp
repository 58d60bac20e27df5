// The output path on Windows: how a name is opened (through a temporary
// beside it, or directly), and how a finished temporary is published under
// the name.

#include "pdx/output/output_file.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "pdx/output/temporary_registry.h"
#include "pdx/util/errors.h"

namespace pdx {
namespace {

// The directory part of `name`, up to and including its last separator
// (empty for a bare name).
std::wstring directory_of(const std::wstring &name) {
    const std::size_t slash = name.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : name.substr(0, slash + 1);
}

// Creates the temporary `temp` exclusively, open to deletion by name while
// it is written (so that a Ctrl-C handler can remove it), and once it exists
// moves its name into `held` and tracks it. Returns its stream, or null with
// the system's error in `error`; `held` is set whenever the file was made.
std::FILE *create_temp(std::wstring &temp, std::wstring &held, DWORD &error) {
    HANDLE h = INVALID_HANDLE_VALUE;
    {
        const UEndingSignalsHeld hold;
        if (hold.ending()) {
            error = ERROR_OPERATION_ABORTED; // a temporary now would stay
            return nullptr;
        }
        h = CreateFileW(temp.c_str(), GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            return nullptr;
        }
        held = std::move(temp);
        u_platform_track_temporary(held.c_str());
    }
    error = ERROR_NOT_ENOUGH_MEMORY;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE *stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
        _close(fd);
    }
    return stream;
}

// After the temporary has been renamed or removed: its name is no longer
// one to remove.
void forget_temp(std::wstring &temp) {
    u_platform_forget_temporary(temp.c_str());
    temp.clear();
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

    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        std::wstring temp = temp_name(dir, base);
        DWORD error = 0;
        stream_ = create_temp(temp, temp_, error);
        if (stream_ != nullptr) {
            target_ = name;
            method_ = Method::temporary;
            return 0;
        }
        if (!temp_.empty()) {
            return ERR_CANT_OPEN_FILE; // made, but without a stream: open() removes it
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            if (exists && error == ERROR_ACCESS_DENIED) {
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

int UOutputFile::write(const Piece *pieces, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (stream_ == nullptr ||
            std::fwrite(pieces[i].data, 1, pieces[i].size, stream_) != pieces[i].size) {
            return ERR_CANT_WRITE_FILE;
        }
    }
    return 0;
}

void UOutputFile::seal() {}

int UOutputFile::publish() {
    const DWORD flags = publish_ == UPublish::replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (MoveFileExW(temp_.c_str(), target_.c_str(), flags)) {
        forget_temp(temp_);
        return 0;
    }
    const DWORD error = GetLastError();
    if (publish_ == UPublish::if_absent &&
        (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
        return ERR_CANT_CREATE_FILE;
    }
    return ERR_CANT_WRITE_FILE;
}

void UOutputFile::remove_temp() {
    if (_wunlink(temp_.c_str()) != 0 && errno != ENOENT) {
        // UTF-8 for the caller; a name that cannot be had goes unnamed.
        const int n =
            WideCharToMultiByte(CP_UTF8, 0, temp_.c_str(), -1, nullptr, 0, nullptr, nullptr);
        try {
            if (n > 1) {
                std::string text(static_cast<std::size_t>(n), '\0');
                WideCharToMultiByte(CP_UTF8, 0, temp_.c_str(), -1, text.data(), n, nullptr,
                                    nullptr);
                text.pop_back(); // the converted terminator
                left_behind_ = std::move(text);
            }
        } catch (const std::bad_alloc &) {
        }
    }
    forget_temp(temp_);
}

bool u_output_names_descriptor(const char *) {
    return false;
}

} // namespace pdx
