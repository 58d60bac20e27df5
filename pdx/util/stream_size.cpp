#include "pdx/util/stream_size.h"

#include "pdx/util/platform.h"

namespace pdx {

bool u_stream_bytes_left(std::FILE *stream, std::uint64_t *left) {
    const long here = std::ftell(stream);
    if (here < 0) {
        return false;
    }
    // A regular file's size is in its status: no seek to the end and back,
    // which costs two system calls and the stream's buffer.
    std::uint64_t size = 0;
    if (u_platform_regular_size(stream, &size)) {
        const auto at = static_cast<std::uint64_t>(here);
        *left = size > at ? size - at : 0;
        return true;
    }
    if (std::fseek(stream, 0, SEEK_END) != 0) {
        std::fseek(stream, here, SEEK_SET);
        return false;
    }
    const long end = std::ftell(stream);
    if (std::fseek(stream, here, SEEK_SET) != 0 || end < 0) {
        return false;
    }
    *left = end > here ? static_cast<std::uint64_t>(end - here) : 0;
    return true;
}

} // namespace pdx
