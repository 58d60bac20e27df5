#include "pdx/util/path.h"

#include <cstdint>
#include <cstring>

namespace pdx {

bool u_path_is_wide(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    std::uint16_t mark;
    std::memcpy(&mark, path, sizeof mark);
    return mark == 0xFEFF || mark == 0xFFFE;
}

} // namespace pdx
