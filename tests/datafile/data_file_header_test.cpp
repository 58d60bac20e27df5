// The header's layout, checked byte by byte against expectations written
// here from the file format's own tables (numeric fields as runs of equal
// width, pads by on-disk offset), independently of the library's tables.

#include "pdx/datafile/data_file.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/data_file_builder.h"
#include "support/temp_dir.h"

namespace {

using namespace pdx;
using test_support::Bytes;
using test_support::DataFileBuilder;

// 16- and 32-bit fields: `count` fields of `width` bytes from on-disk `start`.
// Every byte of the header outside these runs belongs to a byte run.
struct NumericRun {
    std::size_t start;
    std::size_t count;
    std::size_t width;
};

constexpr NumericRun kNumericRuns[] = {
    // Offsets 0 to 833.
    {0, 1, 4},
    {4, 1, 2},
    {6, 1, 4},
    {10, 1, 2},
    {42, 3, 2},
    {48, 6, 2},
    {60, 1, 4},
    {64, 4, 2},
    {72, 1, 4},
    {76, 1, 4},
    {162, 1, 2},
    {164, 6, 4},
    {188, 5, 2},
    {198, 1, 4},
    {202, 1, 2},
    {204, 1, 4},
    {210, 2, 4},
    {218, 1, 2},
    {220, 1, 4},
    {224, 1, 2},
    {226, 1, 4},
    {230, 8, 2},
    {298, 3, 2},
    {360, 1, 4},
    {364, 2, 2},
    {368, 1, 4},
    {372, 2, 2},
    {376, 2, 4},
    {384, 1, 2},
    {386, 3, 4},
    {406, 1, 2},
    {428, 1, 2},
    {430, 18, 4},
    {734, 1, 2},
    {816, 1, 2},
    // The extension of the 4096-byte header; 898 is layout_code.
    {838, 2, 2},
    {842, 7, 4},
    {898, 1, 2},
    {900, 2, 2},
    {934, 1, 4},
    {998, 10, 4},
    {1126, 23, 4},
    {1250, 3, 4},
    {1264, 1, 2},
    {1266, 14, 4},
    {1324, 1, 2},
    {1326, 14, 4},
    {1384, 1, 2},
    {1386, 14, 4},
    {1446, 2, 4}};

// A two-byte pad goes in front of the field at each of these offsets.
constexpr std::size_t kPadsBefore[] = {6, 60, 198, 204, 210, 220, 226, 360, 386};

constexpr std::size_t kLayoutCode = 898;

std::size_t record_offset(std::size_t disk) {
    std::size_t shift = 0;
    for (std::size_t p : kPadsBefore) {
        shift += p <= disk ? 2 : 0;
    }
    return disk + shift;
}

std::uint8_t pattern(std::size_t disk) {
    return static_cast<std::uint8_t>(disk * 151 + (disk >> 8) * 7 + 1);
}

// For each on-disk offset of the 4096-byte layout, the on-disk offset whose
// byte lands there after conversion: itself in a byte run, its mirror within
// a 16- or 32-bit field.
std::vector<std::size_t> converted_source() {
    std::vector<std::size_t> source(4096);
    for (std::size_t d = 0; d < source.size(); ++d) {
        source[d] = d;
    }
    for (const NumericRun &run : kNumericRuns) {
        for (std::size_t i = 0; i < run.count; ++i) {
            const std::size_t start = run.start + i * run.width;
            for (std::size_t k = 0; k < run.width; ++k) {
                source[start + k] = start + run.width - 1 - k;
            }
        }
    }
    return source;
}

// The record image that a header of `length` bytes, holding pattern() at
// every offset after the magic, becomes: converted fields, copied runs, zero
// pads and, after a short header, a zero extension. layout_code is left as
// stored.
Bytes expected_record(std::size_t length, std::uint32_t magic) {
    Bytes header = DataFileBuilder(length, magic).header();
    for (std::size_t d = 4; d < length; ++d) {
        header[d] = pattern(d);
    }
    const std::vector<std::size_t> source = converted_source();
    Bytes record(sizeof(DataFileHeader), 0);
    for (std::size_t d = 0; d < length; ++d) {
        const bool stored = d == kLayoutCode || d == kLayoutCode + 1;
        record[record_offset(d)] = header[stored ? d : source[d]];
    }
    return record;
}

Bytes pattern_file(std::size_t length, std::uint32_t magic) {
    DataFileBuilder b(length, magic);
    for (std::size_t d = 4; d < length; ++d) {
        b.header()[d] = pattern(d);
    }
    return b.build();
}

template <typename T> Bytes bytes_of(const T &value) {
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

struct HeaderKind {
    std::size_t length;
    std::uint32_t magic;
};

const HeaderKind kHeaderKinds[] = {
    {4096, test_support::kMagic4096},
    {834, test_support::kMagic834},
    {834, test_support::kMagic834Alt},
};

TEST(DataFileHeader, ExpandAndSwapPlaceEveryByteOfTheRecord) {
    for (const HeaderKind &kind : kHeaderKinds) {
        SCOPED_TRACE(testing::Message()
                     << "header " << kind.length << " magic " << std::hex << kind.magic);
        const Bytes file = pattern_file(kind.length, kind.magic);
        DataFileHeader record{};
        std::memcpy(&record, file.data(), kind.length);
        data_file_expand_header(&record, kind.magic);
        data_file_swap_header(&record);

        const Bytes expected = expected_record(kind.length, kind.magic);
        const Bytes actual = bytes_of(record);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(actual[i], expected[i]) << "record byte " << i;
        }
        EXPECT_EQ(record.magic, kind.magic);
    }
}

TEST(DataFileHeader, ReaderHandsOutPreambleAndBodyAsLaidOut) {
    test_support::TempDir dir;
    for (const HeaderKind &kind : kHeaderKinds) {
        SCOPED_TRACE(testing::Message()
                     << "header " << kind.length << " magic " << std::hex << kind.magic);
        const std::string path = dir.file("pattern.dat");
        // Bytes after the header that no block claims: none reach the record.
        Bytes file = pattern_file(kind.length, kind.magic);
        file.resize(file.size() + 4096, 0xAB);
        test_support::write_file(path, file);

        HeaderPreamble preamble;
        HeaderBody body;
        std::memset(&preamble, 0xEE, sizeof preamble);
        std::memset(&body, 0xEE, sizeof body);
        ASSERT_EQ(data_file_read(path.c_str(), &preamble, &body, nullptr, nullptr), 0);

        Bytes expected = expected_record(kind.length, kind.magic);
        const std::size_t preamble_at = record_offset(10);
        const std::size_t body_at = record_offset(76);
        // The record's layout_code is as stored; the body's is the length's.
        const std::size_t code_at = record_offset(kLayoutCode);
        const std::uint16_t code = kind.length == 4096 ? 3 : 0;
        std::memcpy(expected.data() + code_at, &code, sizeof code);

        EXPECT_EQ(bytes_of(preamble), Bytes(expected.begin() + preamble_at,
                                            expected.begin() + preamble_at + sizeof preamble));
        const Bytes actual = bytes_of(body);
        for (std::size_t i = 0; i < actual.size(); ++i) {
            ASSERT_EQ(actual[i], expected[body_at + i]) << "body byte " << i;
        }
        EXPECT_EQ(body.layout_code, code);
        if (kind.length == 834) {
            // The extension holds nothing from the file.
            for (std::size_t i = record_offset(834) - body_at; i < actual.size(); ++i) {
                ASSERT_EQ(actual[i], 0) << "body byte " << i;
            }
        }
    }
}

TEST(DataFileHeader, LayoutCodeIsThreeAfterALongHeaderWhateverTheFileHolds) {
    test_support::TempDir dir;
    const std::string path = dir.file("code.dat");
    for (std::uint32_t stored : {0x0000u, 0x0003u, 0x0300u, 0x1234u, 0xFFFFu}) {
        DataFileBuilder b(4096);
        b.set16(test_support::data_file_offset::layout_code, stored);
        test_support::write_file(path, b.build());
        HeaderBody body{};
        ASSERT_EQ(data_file_read(path.c_str(), nullptr, &body, nullptr, nullptr), 0);
        EXPECT_EQ(body.layout_code, 3) << stored;
    }
    // After a short header offset 898 lies in the blocks: layout_code is 0
    // whatever bytes sit there.
    DataFileBuilder b(834);
    b.phase(40, 1, std::vector<std::int32_t>(40, 0x03030303));
    test_support::write_file(path, b.build());
    HeaderBody body{};
    body.layout_code = 7;
    ASSERT_EQ(data_file_read(path.c_str(), nullptr, &body, nullptr, nullptr), 0);
    EXPECT_EQ(body.layout_code, 0);
}

TEST(DataFileHeader, FieldTableTilesPreambleAndBodyWithTheFieldsWidths) {
    // Width of the 16- or 32-bit field starting at each on-disk offset.
    std::vector<std::size_t> width(4096, 0);
    for (const NumericRun &run : kNumericRuns) {
        for (std::size_t i = 0; i < run.count; ++i) {
            width[run.start + i * run.width] = run.width;
        }
    }
    std::size_t next = 10;
    for (const HeaderField &f : header_fields()) {
        SCOPED_TRACE(testing::Message() << "field at " << f.offset);
        if (next == 48) {
            next = 76; // the block geometry is not handed out
        }
        ASSERT_EQ(f.offset, next);
        ASSERT_EQ(f.in_body, f.offset >= 76);
        const std::size_t start = f.in_body ? 76 : 10;
        EXPECT_EQ(f.record_offset, record_offset(f.offset) - record_offset(start));
        if (f.kind == HeaderFieldKind::bytes) {
            for (std::size_t d = f.offset; d < f.offset + f.length; ++d) {
                ASSERT_EQ(width[d], 0u) << "numeric field inside a byte run at " << d;
            }
            // The short header's end splits a run, as the record declares it.
            EXPECT_TRUE(f.offset >= 834 || f.offset + f.length <= 834);
        } else {
            EXPECT_EQ(f.length, f.kind == HeaderFieldKind::u16 ? 2u : 4u);
            EXPECT_EQ(width[f.offset], f.length);
        }
        next = f.offset + f.length;
    }
    EXPECT_EQ(next, 4096u);
}

} // namespace
