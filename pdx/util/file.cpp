#include "pdx/util/file.h"

#include "pdx/util/platform.h"

namespace pdx {

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
