#include "file_kind.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

FileKind file_kind(const FileName &name) {
    std::error_code ec;
    switch (fs::status(fs::path(name.native), ec).type()) {
    case fs::file_type::regular:
        return FileKind::regular;
    case fs::file_type::directory:
        return FileKind::directory;
    case fs::file_type::fifo:
        return FileKind::fifo;
    case fs::file_type::character:
        return FileKind::character_device;
    case fs::file_type::block:
        return FileKind::block_device;
    case fs::file_type::socket:
        return FileKind::socket;
    case fs::file_type::none:
    case fs::file_type::not_found:
        return FileKind::missing;
    default:
        return FileKind::other;
    }
}

const char *kind_json(FileKind kind) {
    switch (kind) {
    case FileKind::missing:
        return "null";
    case FileKind::regular:
        return "\"regular\"";
    case FileKind::directory:
        return "\"directory\"";
    case FileKind::fifo:
        return "\"fifo\"";
    case FileKind::character_device:
        return "\"character_device\"";
    case FileKind::block_device:
        return "\"block_device\"";
    case FileKind::socket:
        return "\"socket\"";
    default:
        return "\"other\"";
    }
}

std::string kind_problem(FileKind kind) {
    switch (kind) {
    case FileKind::missing:
        return "does not exist";
    case FileKind::directory:
        return "is a folder with no data files in it";
    case FileKind::fifo:
        return "is a FIFO, not a regular file";
    case FileKind::character_device:
        return "is a character device, not a regular file";
    case FileKind::block_device:
        return "is a block device, not a regular file";
    case FileKind::socket:
        return "is a socket, not a regular file";
    default:
        return "is not a regular file";
    }
}
