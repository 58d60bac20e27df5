#include "pdx/util/byte_order.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace pdx;
using Bytes = std::vector<std::uint8_t>;

struct SwapCase {
    int width;
    Bytes before;
    Bytes after;
};

const SwapCase kSwapCases[] = {
    {2, {0x12, 0x34}, {0x34, 0x12}},
    {4, {0x11, 0x22, 0x33, 0x44}, {0x44, 0x33, 0x22, 0x11}},
    {8, {1, 2, 3, 4, 5, 6, 7, 8}, {8, 7, 6, 5, 4, 3, 2, 1}},
};

TEST(SwapBytes, ReversesEachWidthAtAnyAddressAndTwiceRestores) {
    for (const SwapCase &c : kSwapCases) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            SCOPED_TRACE(testing::Message() << "width " << c.width << " offset " << offset);
            Bytes buffer(24, 0xEE);
            std::memcpy(buffer.data() + offset, c.before.data(), c.before.size());
            u_swap_bytes(buffer.data() + offset, c.width);
            EXPECT_EQ(Bytes(buffer.begin() + offset, buffer.begin() + offset + c.width), c.after);
            // Neighbouring bytes are never touched.
            for (std::size_t i = 0; i < buffer.size(); ++i) {
                if (i < offset || i >= offset + c.width) {
                    EXPECT_EQ(buffer[i], 0xEE) << i;
                }
            }
            u_swap_bytes(buffer.data() + offset, c.width);
            EXPECT_EQ(Bytes(buffer.begin() + offset, buffer.begin() + offset + c.width), c.before);
        }
    }
}

TEST(SwapBytes, BigEndianMagicBecomesItsValue) {
    const std::uint8_t file[4] = {0x88, 0x1B, 0x03, 0x6F};
    std::uint32_t value;
    std::memcpy(&value, file, 4);
    u_swap_bytes(&value, 4);
    EXPECT_EQ(value, 0x881B036Fu);
}

TEST(SwapSamples, InPlaceAndCopyMatchSwapBytesOnEverySampleAtAnyAlignment) {
    for (int width : {2, 4}) {
        for (std::size_t count : {0u, 1u, 3u, 17u, 64u, 1001u}) {
            for (std::size_t offset = 0; offset < 4; ++offset) {
                SCOPED_TRACE(testing::Message()
                             << "width " << width << " count " << count << " offset " << offset);
                Bytes block(offset + count * width + 4);
                for (std::size_t i = 0; i < block.size(); ++i) {
                    block[i] = static_cast<std::uint8_t>(i * 37 + 11);
                }
                Bytes expected = block;
                for (std::size_t i = 0; i < count; ++i) {
                    u_swap_bytes(expected.data() + offset + i * width, width);
                }
                // The copying form leaves its source alone and writes only
                // the samples.
                Bytes copy(block.size(), 0xEE);
                u_swap_samples_copy(copy.data() + offset, block.data() + offset, count, width);
                u_swap_samples(block.data() + offset, count, width);
                EXPECT_EQ(block, expected);
                for (std::size_t i = 0; i < copy.size(); ++i) {
                    const bool sample = i >= offset && i < offset + count * width;
                    EXPECT_EQ(copy[i], sample ? expected[i] : 0xEE) << i;
                }
            }
        }
    }
}

using SwapBytesDeathTest = testing::Test;

TEST(SwapBytesDeathTest, UnsupportedWidthPrintsAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int width : {3, 0, 1, 16, -2}) {
        std::uint8_t value[4] = {1, 2, 3, 4};
        std::string message = "^u_swap_bytes: n=" + std::to_string(width) + "\n";
#ifndef _WIN32
        // The Windows runtime's abort adds a line of its own.
        message += "$";
#endif
        EXPECT_DEATH(u_swap_bytes(value, width), message);
    }
}

} // namespace
