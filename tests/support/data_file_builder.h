#pragma once

// A builder of binary data files for tests: a big-endian header of 834 or
// 4096 bytes whose fields are set by their on-disk offsets, then the optional
// intensity block (16-bit samples) and phase block (32-bit samples). It only
// writes bytes; it knows the few offsets that describe the blocks and nothing
// else of the header. Corrupt a field with set16/set32 (or put16/put32 on the
// built bytes) and truncate with resize() on the result.
//
//   DataFileBuilder b(4096);
//   b.phase(3, 2, {1, -2, 3, -4, 5, -6});
//   b.intensity(3, 2, 1, {10, 20, 30, 40, 50, 60});
//   b.set16(10, 0x1234);
//   test_support::Bytes bytes = b.build();

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "support/temp_dir.h" // Bytes

namespace test_support {

// The three magic numbers and the header lengths they announce.
inline constexpr std::uint32_t kMagic834 = 0x881B036F;
inline constexpr std::uint32_t kMagic834Alt = 0x881B0370;
inline constexpr std::uint32_t kMagic4096 = 0x881B0371;
inline constexpr std::size_t kShortHeader = 834;
inline constexpr std::size_t kLongHeader = 4096;

// On-disk offsets of the fields that describe the sample blocks.
namespace data_file_offset {
inline constexpr std::size_t magic = 0;
inline constexpr std::size_t intens_x = 48;
inline constexpr std::size_t intens_y = 50;
inline constexpr std::size_t intens_width = 52;
inline constexpr std::size_t intens_height = 54;
inline constexpr std::size_t intens_n_buckets = 56;
inline constexpr std::size_t intens_tag = 58;
inline constexpr std::size_t intens_nbytes = 60; // 32-bit
inline constexpr std::size_t phase_x = 64;
inline constexpr std::size_t phase_y = 66;
inline constexpr std::size_t phase_width = 68;
inline constexpr std::size_t phase_height = 70;
inline constexpr std::size_t phase_nbytes = 72; // 32-bit
inline constexpr std::size_t layout_code = 898; // 4096-byte header only
} // namespace data_file_offset

// Big-endian stores into any byte buffer; out of range throws.
inline void put16(Bytes &bytes, std::size_t offset, std::uint32_t value) {
    if (offset + 2 > bytes.size()) {
        throw std::out_of_range("put16 past the end");
    }
    bytes[offset] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

inline void put32(Bytes &bytes, std::size_t offset, std::uint32_t value) {
    if (offset + 4 > bytes.size()) {
        throw std::out_of_range("put32 past the end");
    }
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

inline void put_bytes(Bytes &bytes, std::size_t offset, const Bytes &run) {
    if (offset + run.size() > bytes.size()) {
        throw std::out_of_range("put_bytes past the end");
    }
    for (std::size_t i = 0; i < run.size(); ++i) {
        bytes[offset + i] = run[i];
    }
}

// Big-endian encodings of sample vectors, as the blocks store them.
inline Bytes be16_block(const std::vector<std::uint16_t> &samples) {
    Bytes out(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        put16(out, 2 * i, samples[i]);
    }
    return out;
}

inline Bytes be32_block(const std::vector<std::int32_t> &samples) {
    Bytes out(samples.size() * 4);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        put32(out, 4 * i, static_cast<std::uint32_t>(samples[i]));
    }
    return out;
}

class DataFileBuilder {
  public:
    // A zero-filled header of `header_length` bytes beginning with `magic`;
    // magic 0 picks the usual one for the length (0x881B0371 for 4096 bytes,
    // 0x881B036F otherwise).
    explicit DataFileBuilder(std::size_t header_length = kLongHeader, std::uint32_t magic = 0)
        : header_(header_length) {
        if (magic == 0) {
            magic = header_length == kLongHeader ? kMagic4096 : kMagic834;
        }
        if (header_length >= 4) {
            put32(header_, data_file_offset::magic, magic);
        }
    }

    // Header fields by on-disk offset: big-endian 16- and 32-bit values, and
    // byte runs stored as given.
    DataFileBuilder &set16(std::size_t offset, std::uint32_t value) {
        put16(header_, offset, value);
        return *this;
    }
    DataFileBuilder &set32(std::size_t offset, std::uint32_t value) {
        put32(header_, offset, value);
        return *this;
    }
    DataFileBuilder &set_bytes(std::size_t offset, const Bytes &run) {
        put_bytes(header_, offset, run);
        return *this;
    }

    // The intensity block: sets the region's size, the frame count and
    // intens_nbytes (2 bytes per sample) to match, and stores the samples.
    DataFileBuilder &intensity(int width, int height, int n_buckets,
                               const std::vector<std::uint16_t> &samples) {
        set16(data_file_offset::intens_width, static_cast<std::uint32_t>(width));
        set16(data_file_offset::intens_height, static_cast<std::uint32_t>(height));
        set16(data_file_offset::intens_n_buckets, static_cast<std::uint32_t>(n_buckets));
        intensity_block_ = be16_block(samples);
        set32(data_file_offset::intens_nbytes, static_cast<std::uint32_t>(intensity_block_.size()));
        return *this;
    }

    // The phase block: sets the region's size and phase_nbytes (4 bytes per
    // sample) to match, and stores the samples.
    DataFileBuilder &phase(int width, int height, const std::vector<std::int32_t> &samples) {
        set16(data_file_offset::phase_width, static_cast<std::uint32_t>(width));
        set16(data_file_offset::phase_height, static_cast<std::uint32_t>(height));
        phase_block_ = be32_block(samples);
        set32(data_file_offset::phase_nbytes, static_cast<std::uint32_t>(phase_block_.size()));
        return *this;
    }

    // Raw block contents, leaving every header field as it is (for blocks
    // whose length disagrees with the header).
    DataFileBuilder &intensity_bytes(Bytes block) {
        intensity_block_ = std::move(block);
        return *this;
    }
    DataFileBuilder &phase_bytes(Bytes block) {
        phase_block_ = std::move(block);
        return *this;
    }
    // Bytes written after the phase block.
    DataFileBuilder &trailer(Bytes tail) {
        trailer_ = std::move(tail);
        return *this;
    }

    const Bytes &header() const { return header_; }
    Bytes &header() { return header_; }

    // Header, intensity block, phase block, trailer.
    Bytes build() const {
        Bytes out = header_;
        out.insert(out.end(), intensity_block_.begin(), intensity_block_.end());
        out.insert(out.end(), phase_block_.begin(), phase_block_.end());
        out.insert(out.end(), trailer_.begin(), trailer_.end());
        return out;
    }

  private:
    Bytes header_;
    Bytes intensity_block_;
    Bytes phase_block_;
    Bytes trailer_;
};

} // namespace test_support
