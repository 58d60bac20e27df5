// File identities on POSIX systems: the device and inode after following
// links; for a name that does not exist, its directory's and the final name.

#include "file_identity.h"

#include <cerrno>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The entry at the end of `name`'s symbolic links, as the output path
// follows them (pdx/output/output_file_posix.cpp): a relative link is taken
// from the directory of the link. False when the links cannot be followed.
bool link_end(const std::string &name, std::string &end) {
    end = name;
    for (int links = 0; links <= 40; ++links) {
        struct stat st;
        if (::lstat(end.c_str(), &st) != 0) {
            return errno == ENOENT;
        }
        if (!S_ISLNK(st.st_mode)) {
            return true;
        }
        std::string text(256, '\0');
        for (;;) {
            const ssize_t n = ::readlink(end.c_str(), text.data(), text.size());
            if (n <= 0) {
                return false; // unreadable, or empty
            }
            if (static_cast<std::size_t>(n) < text.size()) {
                text.resize(static_cast<std::size_t>(n));
                break;
            }
            text.resize(text.size() * 2);
        }
        const std::size_t slash = end.rfind('/');
        end = text[0] == '/' || slash == std::string::npos ? text : end.substr(0, slash + 1) + text;
    }
    return false;
}

} // namespace

FileIdentity file_identity(const FileName &name) {
    FileIdentity id;
    struct stat st;
    if (::stat(name.native.c_str(), &st) == 0) {
        id.kind = FileIdentity::Kind::file;
        id.device = static_cast<std::uint64_t>(st.st_dev);
        id.file = static_cast<std::uint64_t>(st.st_ino);
        return id;
    }
    // A final name of "", "." or ".." cannot be missing from a directory
    // that is there.
    std::string end;
    if (link_end(name.native, end)) {
        const std::size_t slash = end.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : end.substr(0, slash + 1);
        std::string leaf = slash == std::string::npos ? end : end.substr(slash + 1);
        if (::stat(dir.c_str(), &st) == 0) {
            id.kind = FileIdentity::Kind::entry;
            id.device = static_cast<std::uint64_t>(st.st_dev);
            id.file = static_cast<std::uint64_t>(st.st_ino);
            id.name = std::move(leaf);
            return id;
        }
    }
    id.name = name_key(name);
    return id;
}
