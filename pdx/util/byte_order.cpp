#include "pdx/util/byte_order.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "pdx/util/hooks.h"

namespace pdx {

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

// Block reversal. On GCC 12+ and Clang the bulk of the block goes through
// 16-byte vectors (the baseline x86-64 instruction set has no byte shuffle, so
// a per-sample bswap loop stays scalar at -O2 with GCC): 16-bit samples swap
// the two bytes of each lane with two shifts; 32-bit samples first exchange
// the 16-bit halves of each sample with a lane shuffle, then swap the bytes of
// each half. Two vectors per step, 32 bytes, keep the loop overhead low. The
// remainder, and every sample on other compilers, takes the scalar loop.
namespace {

#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 12)
#define U_SWAP_VECTOR 1

typedef std::uint16_t Lanes16 __attribute__((vector_size(16)));

inline Lanes16 load_lanes(const unsigned char *p) {
    Lanes16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store_lanes(unsigned char *p, Lanes16 v) {
    std::memcpy(p, &v, sizeof v);
}

inline Lanes16 swap_bytes_of_lanes(Lanes16 v) {
    return (v << 8) | (v >> 8);
}

inline Lanes16 swap_lane_pairs(Lanes16 v) {
    return __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6);
}

#endif

constexpr std::size_t kStep = 32; // bytes per vector step: two vectors

// Each step loads its bytes from `s` before it stores them to `d`, so `d`
// may be `s` itself (in place) or a block that does not overlap it.
void swap_samples_2(unsigned char *d, const unsigned char *s, std::size_t count) {
#ifdef U_SWAP_VECTOR
    const unsigned char *const vector_end = s + (count * 2) / kStep * kStep;
    for (; s != vector_end; s += kStep, d += kStep) {
        const Lanes16 a = load_lanes(s);
        const Lanes16 b = load_lanes(s + 16);
        store_lanes(d, swap_bytes_of_lanes(a));
        store_lanes(d + 16, swap_bytes_of_lanes(b));
    }
    count %= kStep / 2;
#endif
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t v;
        std::memcpy(&v, s + 2 * i, 2);
        v = static_cast<std::uint16_t>((v >> 8) | (v << 8));
        std::memcpy(d + 2 * i, &v, 2);
    }
}

void swap_samples_4(unsigned char *d, const unsigned char *s, std::size_t count) {
#ifdef U_SWAP_VECTOR
    const unsigned char *const vector_end = s + (count * 4) / kStep * kStep;
    for (; s != vector_end; s += kStep, d += kStep) {
        const Lanes16 a = load_lanes(s);
        const Lanes16 b = load_lanes(s + 16);
        store_lanes(d, swap_bytes_of_lanes(swap_lane_pairs(a)));
        store_lanes(d + 16, swap_bytes_of_lanes(swap_lane_pairs(b)));
    }
    count %= kStep / 4;
#endif
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t v;
        std::memcpy(&v, s + 4 * i, 4);
        v = (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
        std::memcpy(d + 4 * i, &v, 4);
    }
}

void swap_samples(unsigned char *d, const unsigned char *s, std::size_t count, int width) {
    if (width == 2) {
        swap_samples_2(d, s, count);
    } else if (width == 4) {
        swap_samples_4(d, s, count);
    } else {
        bad_width(width);
    }
}

} // namespace

void u_swap_samples(void *block, std::size_t count, int width) {
    auto *b = static_cast<unsigned char *>(block);
    swap_samples(b, b, count, width);
}

void u_swap_samples_copy(void *dest, const void *source, std::size_t count, int width) {
    swap_samples(static_cast<unsigned char *>(dest), static_cast<const unsigned char *>(source),
                 count, width);
}

} // namespace pdx
