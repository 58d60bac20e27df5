#include "pdx/datafile/data_file_header.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "pdx/util/byte_order.h"

namespace pdx {

// The file is big-endian and every field is converted by reversing its
// bytes, which gives host order only on a little-endian host.
static_assert(std::endian::native == std::endian::little,
              "the reader assumes a little-endian host");

namespace {

// On-disk offset of a field and its length or pad length in bytes.
struct Span {
    std::size_t offset;
    std::size_t length;
};

// Widening: a pad of `length` zero bytes goes in front of the 32-bit field at
// on-disk `offset`, in this order.
constexpr Span kWidening[] = {{6, 2},   {60, 2},  {198, 2}, {204, 2}, {210, 2},
                              {220, 2}, {226, 2}, {360, 2}, {386, 2}};

// Every 16- and 32-bit field of the 4096-byte header (on-disk offset, width),
// in file order. layout_code (898) is left out: its stored bytes are never
// used. Byte runs are not converted.
// clang-format off
constexpr Span kConverted[] = {
    // Offsets 0 to 833, common to both header lengths.
    {0, 4}, {4, 2}, {6, 4}, {10, 2}, {42, 2}, {44, 2}, {46, 2}, {48, 2},
    {50, 2}, {52, 2}, {54, 2}, {56, 2}, {58, 2}, {60, 4}, {64, 2}, {66, 2},
    {68, 2}, {70, 2}, {72, 4}, {76, 4}, {162, 2}, {164, 4}, {168, 4}, {172, 4},
    {176, 4}, {180, 4}, {184, 4}, {188, 2}, {190, 2}, {192, 2}, {194, 2}, {196, 2},
    {198, 4}, {202, 2}, {204, 4}, {210, 4}, {214, 4}, {218, 2}, {220, 4}, {224, 2},
    {226, 4}, {230, 2}, {232, 2}, {234, 2}, {236, 2}, {238, 2}, {240, 2}, {242, 2},
    {244, 2}, {298, 2}, {300, 2}, {302, 2}, {360, 4}, {364, 2}, {366, 2}, {368, 4},
    {372, 2}, {374, 2}, {376, 4}, {380, 4}, {384, 2}, {386, 4}, {390, 4}, {394, 4},
    {406, 2}, {428, 2}, {430, 4}, {434, 4}, {438, 4}, {442, 4}, {446, 4}, {450, 4},
    {454, 4}, {458, 4}, {462, 4}, {466, 4}, {470, 4}, {474, 4}, {478, 4}, {482, 4},
    {486, 4}, {490, 4}, {494, 4}, {498, 4}, {734, 2}, {816, 2},
    // The extension of the 4096-byte header.
    {838, 2}, {840, 2}, {842, 4}, {846, 4}, {850, 4}, {854, 4}, {858, 4}, {862, 4},
    {866, 4}, {900, 2}, {902, 2}, {934, 4}, {998, 4}, {1002, 4}, {1006, 4}, {1010, 4},
    {1014, 4}, {1018, 4}, {1022, 4}, {1026, 4}, {1030, 4}, {1034, 4}, {1126, 4}, {1130, 4},
    {1134, 4}, {1138, 4}, {1142, 4}, {1146, 4}, {1150, 4}, {1154, 4}, {1158, 4}, {1162, 4},
    {1166, 4}, {1170, 4}, {1174, 4}, {1178, 4}, {1182, 4}, {1186, 4}, {1190, 4}, {1194, 4},
    {1198, 4}, {1202, 4}, {1206, 4}, {1210, 4}, {1214, 4}, {1250, 4}, {1254, 4}, {1258, 4},
    {1264, 2}, {1266, 4}, {1270, 4}, {1274, 4}, {1278, 4}, {1282, 4}, {1286, 4}, {1290, 4},
    {1294, 4}, {1298, 4}, {1302, 4}, {1306, 4}, {1310, 4}, {1314, 4}, {1318, 4}, {1324, 2},
    {1326, 4}, {1330, 4}, {1334, 4}, {1338, 4}, {1342, 4}, {1346, 4}, {1350, 4}, {1354, 4},
    {1358, 4}, {1362, 4}, {1366, 4}, {1370, 4}, {1374, 4}, {1378, 4}, {1384, 2}, {1386, 4},
    {1390, 4}, {1394, 4}, {1398, 4}, {1402, 4}, {1406, 4}, {1410, 4}, {1414, 4}, {1418, 4},
    {1422, 4}, {1426, 4}, {1430, 4}, {1434, 4}, {1438, 4}, {1446, 4}, {1450, 4},
};
// clang-format on

// Where on-disk `offset` lies in the widened record.
consteval std::size_t record_offset(std::size_t offset) {
    std::size_t shift = 0;
    for (const Span &pad : kWidening) {
        if (pad.offset <= offset) {
            shift += pad.length;
        }
    }
    return offset + shift;
}

// The conversion list in record offsets, worked out once at compile time.
constexpr auto kSwapList = []() consteval {
    std::array<Span, std::size(kConverted)> list{};
    for (std::size_t i = 0; i < list.size(); ++i) {
        list[i] = {record_offset(kConverted[i].offset), kConverted[i].length};
    }
    return list;
}
();

constexpr std::size_t kPadTotal = record_offset(4096) - 4096;

consteval bool swap_list_is_sound() {
    std::size_t end = 0;
    for (const Span &f : kSwapList) {
        if ((f.length != 2 && f.length != 4) || f.offset < end || f.offset % f.length != 0) {
            return false;
        }
        end = f.offset + f.length;
    }
    return end <= sizeof(DataFileHeader);
}

consteval bool converts(std::size_t offset, std::size_t length) {
    for (const Span &f : kSwapList) {
        if (f.offset == offset) {
            return f.length == length;
        }
    }
    return false;
}

static_assert(std::size(kConverted) == 181);
// Ascending, non-overlapping, aligned to their widths, inside the record.
static_assert(swap_list_is_sound());
static_assert(kPadTotal == 18 && sizeof(DataFileHeader) >= 4096 + kPadTotal);
// The widening table and the record's declared layout agree.
static_assert(record_offset(60) == offsetof(DataFileHeader, intens_nbytes));
static_assert(record_offset(76) == offsetof(DataFileHeader, body));
static_assert(record_offset(898) ==
              offsetof(DataFileHeader, body) + offsetof(HeaderBody, layout_code));
static_assert(record_offset(1454) ==
              offsetof(DataFileHeader, body) + offsetof(HeaderBody, bytes_1454));
// The fields the reader interprets are converted with their widths;
// layout_code is not.
static_assert(converts(offsetof(DataFileHeader, magic), 4));
static_assert(converts(offsetof(DataFileHeader, intens_region) + offsetof(Region, x), 2));
static_assert(converts(offsetof(DataFileHeader, intens_region) + offsetof(Region, height), 2));
static_assert(converts(offsetof(DataFileHeader, intens_n_buckets), 2));
static_assert(converts(offsetof(DataFileHeader, intens_tag), 2));
static_assert(converts(offsetof(DataFileHeader, intens_nbytes), 4));
static_assert(converts(offsetof(DataFileHeader, phase_region) + offsetof(Region, x), 2));
static_assert(converts(offsetof(DataFileHeader, phase_region) + offsetof(Region, height), 2));
static_assert(converts(offsetof(DataFileHeader, phase_nbytes), 4));
static_assert(!converts(offsetof(DataFileHeader, body) + offsetof(HeaderBody, layout_code), 2));

// The fields handed to callers: the converted fields within the preamble
// and the body, layout_code, and byte runs filling the gaps between them. A
// gap that crosses on-disk offset 834 is two runs, as the record declares it.
struct FieldRange {
    std::size_t begin;
    std::size_t end;
    bool in_body;
};
constexpr FieldRange kCallerRanges[] = {{10, 48, false}, {76, 4096, true}};
constexpr std::size_t kLayoutCodeOffset = 898;

// Calls `emit(offset, length, kind)` for every field handed to callers, in
// file order.
template <typename Emit> consteval void for_each_caller_field(Emit emit) {
    for (const FieldRange &range : kCallerRanges) {
        std::size_t at = range.begin;
        std::size_t next = 0; // index into kConverted
        while (at < range.end) {
            while (next < std::size(kConverted) && kConverted[next].offset < at) {
                ++next;
            }
            if (next < std::size(kConverted) && kConverted[next].offset == at) {
                const std::size_t length = kConverted[next].length;
                emit(range, at, length, length == 2 ? HeaderFieldKind::u16 : HeaderFieldKind::u32);
                at += length;
            } else if (at == kLayoutCodeOffset) {
                emit(range, at, std::size_t{2}, HeaderFieldKind::u16);
                at += 2;
            } else {
                std::size_t end =
                    next < std::size(kConverted) ? kConverted[next].offset : range.end;
                end = end < range.end ? end : range.end;
                end = at < kLayoutCodeOffset && end > kLayoutCodeOffset ? kLayoutCodeOffset : end;
                end = at < 834 && end > 834 ? 834 : end;
                emit(range, at, end - at, HeaderFieldKind::bytes);
                at = end;
            }
        }
    }
}

consteval std::size_t caller_field_count() {
    std::size_t count = 0;
    for_each_caller_field([&](const FieldRange &, std::size_t, std::size_t,
                              HeaderFieldKind) consteval { ++count; });
    return count;
}

constexpr auto kCallerFields = []() consteval {
    std::array<HeaderField, caller_field_count()> list{};
    std::size_t i = 0;
    for_each_caller_field([&](const FieldRange &range, std::size_t offset, std::size_t length,
                              HeaderFieldKind kind) consteval {
        list[i++] = {
            static_cast<std::uint16_t>(offset), static_cast<std::uint16_t>(length), kind,
            range.in_body,
            static_cast<std::uint16_t>(record_offset(offset) - record_offset(range.begin))};
    });
    return list;
}
();

consteval std::size_t caller_bytes(bool in_body) {
    std::size_t total = 0;
    for (const HeaderField &f : kCallerFields) {
        total += f.in_body == in_body ? f.length : 0;
    }
    return total;
}

consteval const HeaderField *caller_field(std::size_t offset) {
    for (const HeaderField &f : kCallerFields) {
        if (f.offset == offset) {
            return &f;
        }
    }
    return nullptr;
}

static_assert(kCallerFields.size() == 188);
// Every byte of both records but the pads, and the record's own layout.
static_assert(caller_bytes(false) == sizeof(HeaderPreamble));
static_assert(caller_bytes(true) == 4096 - 76); // HeaderBody less its 8 pads
static_assert(caller_field(12)->record_offset == offsetof(HeaderPreamble, bytes_12));
static_assert(caller_field(46)->record_offset == offsetof(HeaderPreamble, f_46));
static_assert(caller_field(198)->record_offset == offsetof(HeaderBody, f_198));
static_assert(caller_field(208)->record_offset == offsetof(HeaderBody, bytes_208));
static_assert(caller_field(818)->length == 16 && caller_field(834)->length == 4);
static_assert(caller_field(834)->record_offset == offsetof(HeaderBody, bytes_834));
static_assert(caller_field(898)->record_offset == offsetof(HeaderBody, layout_code));
static_assert(caller_field(1454)->record_offset == offsetof(HeaderBody, bytes_1454) &&
              caller_field(1454)->length == 2642);

} // namespace

std::span<const HeaderField> header_fields() {
    return kCallerFields;
}

void data_file_expand_header(DataFileHeader *record, std::uint32_t magic) {
    const std::size_t length = data_file_header_length(magic);
    if (length == 0) {
        return;
    }
    auto *image = reinterpret_cast<unsigned char *>(record);
    std::size_t inserted = 0;
    for (const Span &pad : kWidening) {
        const std::size_t at = pad.offset + inserted;
        std::memmove(image + at + pad.length, image + at, length + inserted - at);
        std::memset(image + at, 0, pad.length);
        inserted += pad.length;
    }
}

void data_file_swap_header(DataFileHeader *record) {
    auto *image = reinterpret_cast<unsigned char *>(record);
    for (const Span &f : kSwapList) {
        u_swap_bytes(image + f.offset, static_cast<int>(f.length));
    }
}

} // namespace pdx
