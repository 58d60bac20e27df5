#include "pdx/util/path.h"

#include <cstdint>
#include <cstring>

#include "pdx/util/platform.h"

namespace pdx {

bool u_path_is_wide(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    std::uint16_t mark;
    std::memcpy(&mark, path, sizeof mark);
    return mark == 0xFEFF || mark == 0xFFFE;
}

bool u_file_exists(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    unsigned mode = 0;
    if (!u_platform_stat_mode(path, &mode)) {
        return false;
    }
    return (mode & 0xF000u) == 0x8000u;
}

} // namespace pdx
