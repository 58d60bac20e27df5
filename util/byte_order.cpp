#include "util/byte_order.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "util/hooks.h"

namespace {

[[noreturn]] void bad_width(int width) {
    u_print("u_swap_bytes: n=%d\n", width);
    std::abort();
}

} // namespace

void u_swap_bytes(void *value, int width) {
    auto *b = static_cast<unsigned char *>(value);
    switch (width) {
    case 2:
        std::swap(b[0], b[1]);
        return;
    case 4:
        std::swap(b[0], b[3]);
        std::swap(b[1], b[2]);
        return;
    case 8:
        std::swap(b[0], b[7]);
        std::swap(b[1], b[6]);
        std::swap(b[2], b[5]);
        std::swap(b[3], b[4]);
        return;
    default:
        bad_width(width);
    }
}

void u_swap_samples(void *block, std::size_t count, int width) {
    auto *b = static_cast<unsigned char *>(block);
    if (width == 2) {
        for (std::size_t i = 0; i < count; ++i) {
            std::uint16_t v;
            std::memcpy(&v, b + 2 * i, 2);
            v = static_cast<std::uint16_t>((v >> 8) | (v << 8));
            std::memcpy(b + 2 * i, &v, 2);
        }
    } else if (width == 4) {
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t v;
            std::memcpy(&v, b + 4 * i, 4);
            v = (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
            std::memcpy(b + 4 * i, &v, 4);
        }
    } else {
        bad_width(width);
    }
}
