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

std::string u_path_from_bytes(std::string_view name) {
    std::string path(name);
    if (u_path_is_wide(path.c_str())) {
        path.insert(0, "./");
    }
    return path;
}

std::string u_path_from_utf16(std::u16string_view name) {
    static_assert(sizeof(char16_t) == 2);
    std::string path = "\xFF\xFE";
    path.append(reinterpret_cast<const char *>(name.data()), name.size() * sizeof(char16_t));
    path.append(2, '\0');
    return path;
}

} // namespace pdx
