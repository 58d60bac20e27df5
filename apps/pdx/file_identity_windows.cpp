// File identities on Windows: the volume serial number and file index after
// following links; for a name that does not exist, its directory's and the
// final name, case folded as the file system compares names.

#include "file_identity.h"

#include <filesystem>

#include <windows.h>

namespace {

// The volume serial number and file index of what `name` opens (a
// directory too), links followed.
bool identify(const std::wstring &name, FileIdentity &id) {
    HANDLE h = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool got = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (got) {
        id.device = info.dwVolumeSerialNumber;
        id.file = std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    }
    return got;
}

// `name` in upper case, as NTFS and FAT compare names: "A.DAT" and "a.dat"
// are one file.
std::wstring folded(const std::wstring &name) {
    if (name.empty()) {
        return name;
    }
    const int n = static_cast<int>(name.size());
    std::wstring out(name.size(), L'\0');
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(), n, out.data(), n,
                      nullptr, nullptr, 0) != n) {
        return name;
    }
    return out;
}

} // namespace

FileIdentity file_identity(const FileName &name) {
    FileIdentity id;
    if (identify(name.native, id)) {
        id.kind = FileIdentity::Kind::file;
        return id;
    }
    const std::filesystem::path path(name.native);
    const std::wstring leaf = path.filename().native();
    std::wstring dir = path.parent_path().native();
    if (dir.empty() || (path.has_root_name() && dir == path.root_name().native())) {
        dir += L'.'; // "a.bin" and "C:a.bin": the (drive's) current directory
    }
    // A final name of "", "." or ".." cannot be missing from a directory
    // that is there (Windows resolves them before it looks).
    if (identify(dir, id)) {
        id.kind = FileIdentity::Kind::entry;
        id.name = folded(leaf);
        return id;
    }
    id = FileIdentity{};
    id.name = name_key(name);
    return id;
}
