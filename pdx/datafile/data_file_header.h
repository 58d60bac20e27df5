#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "pdx/matrix/region_matrix.h"

namespace pdx {

// The header of a binary data file as a host-order record.
//
// On disk the header is 834 or 4096 bytes long, big-endian and packed: a
// 32-bit field may start at any even offset. In memory it is widened by a
// two-byte zero pad in front of each of the nine 32-bit fields at on-disk
// offsets 6, 60, 198, 204, 210, 220, 226, 360 and 386, so that every 32-bit
// field starts at a multiple of four and every 16-bit field at a multiple of
// two; from on-disk offset 386 on, every field lies 18 bytes further into
// the record than into the file. 16- and 32-bit fields hold host-order
// values, byte runs the bytes as stored.
//
// Fields without a meaning for this library are named after their on-disk
// offsets (f_162 is the 16- or 32-bit field at offset 162, bytes_80 the byte
// run at offset 80) and are carried untouched. A pad is named after the
// on-disk offset of the field it precedes. After an 834-byte header every
// field of the extension (on-disk offsets 834 to 4095) is zero.
//
// The magic number in the first four bytes (big-endian) fixes the header
// length.
//
// The records are plain, standard-layout and trivially copyable, with no
// padding that the compiler adds: every byte is a declared member.

// On-disk offsets 10 to 47, handed to callers as they are.
struct HeaderPreamble {
    std::uint16_t f_10;
    std::uint8_t bytes_12[30];
    std::uint16_t f_42;
    std::uint16_t f_44;
    std::uint16_t f_46;
};

static_assert(sizeof(HeaderPreamble) == 38);
static_assert(offsetof(HeaderPreamble, f_10) == 0);
static_assert(offsetof(HeaderPreamble, bytes_12) == 2);
static_assert(offsetof(HeaderPreamble, f_42) == 32);
static_assert(offsetof(HeaderPreamble, f_44) == 34);
static_assert(offsetof(HeaderPreamble, f_46) == 36);
static_assert(std::is_standard_layout_v<HeaderPreamble>);
static_assert(std::is_trivially_copyable_v<HeaderPreamble>);
static_assert(std::has_unique_object_representations_v<HeaderPreamble>);

// On-disk offsets 76 to 4095 (the member offsets below are 4 bytes larger in
// a DataFileHeader, which holds this record at offset 80). layout_code is
// filled by the reader: 3 after a 4096-byte header, 0 after an 834-byte one.
struct HeaderBody {
    std::uint32_t f_76;
    std::uint8_t bytes_80[82];
    std::uint16_t f_162;
    std::uint32_t f_164;
    std::uint32_t f_168;
    std::uint32_t f_172;
    std::uint32_t f_176;
    std::uint32_t f_180;
    std::uint32_t f_184;
    std::uint16_t f_188;
    std::uint16_t f_190;
    std::uint16_t f_192;
    std::uint16_t f_194;
    std::uint16_t f_196;
    std::uint8_t pad_198[2];
    std::uint32_t f_198;
    std::uint16_t f_202;
    std::uint8_t pad_204[2];
    std::uint32_t f_204;
    std::uint8_t bytes_208[2];
    std::uint8_t pad_210[2];
    std::uint32_t f_210;
    std::uint32_t f_214;
    std::uint16_t f_218;
    std::uint8_t pad_220[2];
    std::uint32_t f_220;
    std::uint16_t f_224;
    std::uint8_t pad_226[2];
    std::uint32_t f_226;
    std::uint16_t f_230;
    std::uint16_t f_232;
    std::uint16_t f_234;
    std::uint16_t f_236;
    std::uint16_t f_238;
    std::uint16_t f_240;
    std::uint16_t f_242;
    std::uint16_t f_244;
    std::uint8_t bytes_246[52];
    std::uint16_t f_298;
    std::uint16_t f_300;
    std::uint16_t f_302;
    std::uint8_t bytes_304[56];
    std::uint8_t pad_360[2];
    std::uint32_t f_360;
    std::uint16_t f_364;
    std::uint16_t f_366;
    std::uint32_t f_368;
    std::uint16_t f_372;
    std::uint16_t f_374;
    std::uint32_t f_376;
    std::uint32_t f_380;
    std::uint16_t f_384;
    std::uint8_t pad_386[2];
    std::uint32_t f_386;
    std::uint32_t f_390;
    std::uint32_t f_394;
    std::uint8_t bytes_398[8];
    std::uint16_t f_406;
    std::uint8_t bytes_408[20];
    std::uint16_t f_428;
    std::uint32_t f_430;
    std::uint32_t f_434;
    std::uint32_t f_438;
    std::uint32_t f_442;
    std::uint32_t f_446;
    std::uint32_t f_450;
    std::uint32_t f_454;
    std::uint32_t f_458;
    std::uint32_t f_462;
    std::uint32_t f_466;
    std::uint32_t f_470;
    std::uint32_t f_474;
    std::uint32_t f_478;
    std::uint32_t f_482;
    std::uint32_t f_486;
    std::uint32_t f_490;
    std::uint32_t f_494;
    std::uint32_t f_498;
    std::uint8_t bytes_502[232];
    std::uint16_t f_734;
    std::uint8_t bytes_736[80];
    std::uint16_t f_816;
    std::uint8_t bytes_818[16];
    // Extension of the 4096-byte header; zero after an 834-byte header.
    std::uint8_t bytes_834[4];
    std::uint16_t f_838;
    std::uint16_t f_840;
    std::uint32_t f_842;
    std::uint32_t f_846;
    std::uint32_t f_850;
    std::uint32_t f_854;
    std::uint32_t f_858;
    std::uint32_t f_862;
    std::uint32_t f_866;
    std::uint8_t bytes_870[28];
    std::uint16_t layout_code; // the stored value never reaches a caller
    std::uint16_t f_900;
    std::uint16_t f_902;
    std::uint8_t bytes_904[30];
    std::uint32_t f_934;
    std::uint8_t bytes_938[60];
    std::uint32_t f_998;
    std::uint32_t f_1002;
    std::uint32_t f_1006;
    std::uint32_t f_1010;
    std::uint32_t f_1014;
    std::uint32_t f_1018;
    std::uint32_t f_1022;
    std::uint32_t f_1026;
    std::uint32_t f_1030;
    std::uint32_t f_1034;
    std::uint8_t bytes_1038[88];
    std::uint32_t f_1126;
    std::uint32_t f_1130;
    std::uint32_t f_1134;
    std::uint32_t f_1138;
    std::uint32_t f_1142;
    std::uint32_t f_1146;
    std::uint32_t f_1150;
    std::uint32_t f_1154;
    std::uint32_t f_1158;
    std::uint32_t f_1162;
    std::uint32_t f_1166;
    std::uint32_t f_1170;
    std::uint32_t f_1174;
    std::uint32_t f_1178;
    std::uint32_t f_1182;
    std::uint32_t f_1186;
    std::uint32_t f_1190;
    std::uint32_t f_1194;
    std::uint32_t f_1198;
    std::uint32_t f_1202;
    std::uint32_t f_1206;
    std::uint32_t f_1210;
    std::uint32_t f_1214;
    std::uint8_t bytes_1218[32];
    std::uint32_t f_1250;
    std::uint32_t f_1254;
    std::uint32_t f_1258;
    std::uint8_t bytes_1262[2];
    std::uint16_t f_1264;
    std::uint32_t f_1266;
    std::uint32_t f_1270;
    std::uint32_t f_1274;
    std::uint32_t f_1278;
    std::uint32_t f_1282;
    std::uint32_t f_1286;
    std::uint32_t f_1290;
    std::uint32_t f_1294;
    std::uint32_t f_1298;
    std::uint32_t f_1302;
    std::uint32_t f_1306;
    std::uint32_t f_1310;
    std::uint32_t f_1314;
    std::uint32_t f_1318;
    std::uint8_t bytes_1322[2];
    std::uint16_t f_1324;
    std::uint32_t f_1326;
    std::uint32_t f_1330;
    std::uint32_t f_1334;
    std::uint32_t f_1338;
    std::uint32_t f_1342;
    std::uint32_t f_1346;
    std::uint32_t f_1350;
    std::uint32_t f_1354;
    std::uint32_t f_1358;
    std::uint32_t f_1362;
    std::uint32_t f_1366;
    std::uint32_t f_1370;
    std::uint32_t f_1374;
    std::uint32_t f_1378;
    std::uint8_t bytes_1382[2];
    std::uint16_t f_1384;
    std::uint32_t f_1386;
    std::uint32_t f_1390;
    std::uint32_t f_1394;
    std::uint32_t f_1398;
    std::uint32_t f_1402;
    std::uint32_t f_1406;
    std::uint32_t f_1410;
    std::uint32_t f_1414;
    std::uint32_t f_1418;
    std::uint32_t f_1422;
    std::uint32_t f_1426;
    std::uint32_t f_1430;
    std::uint32_t f_1434;
    std::uint32_t f_1438;
    std::uint8_t bytes_1442[4];
    std::uint32_t f_1446;
    std::uint32_t f_1450;
    std::uint8_t bytes_1454[2642];
    std::uint8_t pad_end[2]; // rounds the record up to a multiple of four bytes
};

static_assert(sizeof(HeaderBody) == 4036);
static_assert(offsetof(HeaderBody, f_76) == 0);
static_assert(offsetof(HeaderBody, bytes_80) == 4);
static_assert(offsetof(HeaderBody, pad_198) == 122);
static_assert(offsetof(HeaderBody, f_198) == 124);
static_assert(offsetof(HeaderBody, pad_204) == 130);
static_assert(offsetof(HeaderBody, f_204) == 132);
static_assert(offsetof(HeaderBody, bytes_208) == 136);
static_assert(offsetof(HeaderBody, pad_210) == 138);
static_assert(offsetof(HeaderBody, f_210) == 140);
static_assert(offsetof(HeaderBody, pad_220) == 150);
static_assert(offsetof(HeaderBody, f_220) == 152);
static_assert(offsetof(HeaderBody, pad_226) == 158);
static_assert(offsetof(HeaderBody, f_226) == 160);
static_assert(offsetof(HeaderBody, bytes_246) == 180);
static_assert(offsetof(HeaderBody, bytes_304) == 238);
static_assert(offsetof(HeaderBody, pad_360) == 294);
static_assert(offsetof(HeaderBody, f_360) == 296);
static_assert(offsetof(HeaderBody, pad_386) == 322);
static_assert(offsetof(HeaderBody, f_386) == 324);
static_assert(offsetof(HeaderBody, bytes_398) == 336);
static_assert(offsetof(HeaderBody, bytes_408) == 346);
static_assert(offsetof(HeaderBody, bytes_502) == 440);
static_assert(offsetof(HeaderBody, bytes_736) == 674);
static_assert(offsetof(HeaderBody, bytes_818) == 756);
static_assert(offsetof(HeaderBody, bytes_834) == 772);
static_assert(offsetof(HeaderBody, bytes_870) == 808);
static_assert(offsetof(HeaderBody, layout_code) == 836);
static_assert(offsetof(HeaderBody, bytes_904) == 842);
static_assert(offsetof(HeaderBody, bytes_938) == 876);
static_assert(offsetof(HeaderBody, bytes_1038) == 976);
static_assert(offsetof(HeaderBody, bytes_1218) == 1156);
static_assert(offsetof(HeaderBody, bytes_1262) == 1200);
static_assert(offsetof(HeaderBody, bytes_1322) == 1260);
static_assert(offsetof(HeaderBody, bytes_1382) == 1320);
static_assert(offsetof(HeaderBody, bytes_1442) == 1380);
static_assert(offsetof(HeaderBody, bytes_1454) == 1392);
static_assert(std::is_standard_layout_v<HeaderBody>);
static_assert(std::is_trivially_copyable_v<HeaderBody>);
static_assert(std::has_unique_object_representations_v<HeaderBody>);

// The whole header. The reader reads the packed image into the start of this
// record, widens it and converts it in place, so the record is at least 18
// bytes longer than the longest header.
struct DataFileHeader {
    std::uint32_t magic;
    std::uint16_t f_4;
    std::uint8_t pad_6[2];
    std::uint32_t f_6;
    HeaderPreamble preamble;
    Region intens_region;          // geometry of the intensity matrix
    std::int16_t intens_n_buckets; // intensity frames in the block
    std::uint16_t intens_tag;      // carried into the matrix's tag
    std::uint8_t pad_60[2];
    std::int32_t intens_nbytes; // byte length of the intensity block; <= 0: none
    Region phase_region;        // geometry of the phase matrix
    std::int32_t phase_nbytes;  // byte length of the phase block; <= 0: none
    HeaderBody body;
};

static_assert(sizeof(DataFileHeader) == 4116);
static_assert(offsetof(DataFileHeader, magic) == 0);
static_assert(offsetof(DataFileHeader, f_4) == 4);
static_assert(offsetof(DataFileHeader, pad_6) == 6);
static_assert(offsetof(DataFileHeader, f_6) == 8);
static_assert(offsetof(DataFileHeader, preamble) == 12);
static_assert(offsetof(DataFileHeader, intens_region) == 50);
static_assert(offsetof(DataFileHeader, intens_n_buckets) == 58);
static_assert(offsetof(DataFileHeader, intens_tag) == 60);
static_assert(offsetof(DataFileHeader, pad_60) == 62);
static_assert(offsetof(DataFileHeader, intens_nbytes) == 64);
static_assert(offsetof(DataFileHeader, phase_region) == 68);
static_assert(offsetof(DataFileHeader, phase_nbytes) == 76);
static_assert(offsetof(DataFileHeader, body) == 80);
static_assert(sizeof(Region) == 8 && offsetof(Region, x) == 0 && offsetof(Region, y) == 2 &&
              offsetof(Region, width) == 4 && offsetof(Region, height) == 6);
static_assert(std::is_standard_layout_v<DataFileHeader>);
static_assert(std::is_trivially_copyable_v<DataFileHeader>);
static_assert(std::has_unique_object_representations_v<DataFileHeader>);

// The three magic numbers and the header length each announces.
inline constexpr std::uint32_t kDataFileMagicShort = 0x881B036F;    // 834-byte header
inline constexpr std::uint32_t kDataFileMagicShortAlt = 0x881B0370; // 834-byte header
inline constexpr std::uint32_t kDataFileMagicLong = 0x881B0371;     // 4096-byte header

// The header length that `magic` announces: 834 or 4096, or 0 when `magic`
// is not one of the three.
constexpr std::size_t data_file_header_length(std::uint32_t magic) {
    switch (magic) {
    case kDataFileMagicShort:
    case kDataFileMagicShortAlt:
        return 834;
    case kDataFileMagicLong:
        return 4096;
    default:
        return 0;
    }
}

// Widens the packed header image at the start of `record` in place to the
// aligned layout; `magic` (one of the three) fixes the header length.
void data_file_expand_header(DataFileHeader *record, std::uint32_t magic);

// Converts every 16- and 32-bit field of `record` from big-endian to host
// order in place (layout_code and byte runs excepted).
void data_file_swap_header(DataFileHeader *record);

// The fields of the header that the reader hands to callers, for code that
// walks them generically (a dump, a language binding): every member of
// HeaderPreamble (on-disk offsets 10 to 47) and of HeaderBody (76 to 4095)
// in file order, pads left out. 16- and 32-bit fields hold host-order
// values; layout_code (898) is a 16-bit field holding what the reader sets.
enum class HeaderFieldKind : std::uint8_t {
    u16,  // std::uint16_t
    u32,  // std::uint32_t
    bytes // a byte run of `length` bytes, as stored
};

struct HeaderField {
    std::uint16_t offset; // on-disk offset
    std::uint16_t length; // in bytes
    HeaderFieldKind kind;
    bool in_body;                // a member of HeaderBody, else of HeaderPreamble
    std::uint16_t record_offset; // the member's offset within that record
};

// The table: 188 fields.
std::span<const HeaderField> header_fields();

} // namespace pdx
