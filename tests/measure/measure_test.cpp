// The measurement module: validity rules and their fast tests, lengths and
// units, the statistics' table of invalid values, stored region sizes, and
// where the calibration reader places its faults. test_measure.py checks
// the statistics against numpy and the calibration files against the schema.

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "pdx/measure/calibration.h"
#include "pdx/measure/geometry.h"
#include "pdx/measure/scale.h"
#include "pdx/measure/stats.h"
#include "pdx/util/errors.h"
#include "support/temp_dir.h"

namespace {

using namespace pdx;

Validity chosen(std::optional<std::int32_t> lo, std::optional<std::int32_t> hi,
                std::vector<std::int32_t> nodata = {}) {
    Validity v;
    EXPECT_EQ(Validity::chosen({lo, hi}, nodata, &v), 0);
    return v;
}

TEST(Validity, RulesAndTheirFastTests) {
    constexpr std::int32_t m = kMarkerMagnitude;
    const Validity markers, all = Validity::all(), range = chosen(-5, 5),
                            holes = chosen({}, {}, {7, INT32_MIN}), both = chosen(0, {}, {3}),
                            edge = chosen(0, 10, {10, 20, 10});
    // clang-format off
    const struct { const Validity &rule; std::int32_t v; bool want; } cases[] = {
        {markers, 0, true}, {markers, m - 1, true}, {markers, m, false}, {markers, -(m - 1), true},
        {markers, -m, false}, {markers, INT32_MAX, false}, {markers, INT32_MIN, false},
        {all, INT32_MAX, true}, {all, INT32_MIN, true}, {range, -5, true}, {range, 5, true},
        {range, 6, false}, {range, -6, false}, {range, INT32_MIN, false}, {holes, 7, false},
        {holes, INT32_MIN, false}, {holes, INT32_MAX, true}, {holes, 8, true}, {both, 3, false},
        {both, -1, false}, {both, INT32_MAX, true}, {edge, 10, false}, {edge, 9, true},
        {edge, 20, false}, {edge, 0, true},
    };
    // clang-format on
    for (const auto &c : cases) {
        EXPECT_EQ(c.rule.is_valid(c.v), c.want) << c.v;
        EXPECT_EQ(c.rule.with_test([&](auto valid) { return valid(c.v); }), c.want) << c.v;
    }
    EXPECT_EQ(markers.rule(), Validity::Rule::markers);
    EXPECT_EQ(all.rule(), Validity::Rule::all);
    EXPECT_EQ(range.rule(), Validity::Rule::chosen);
    EXPECT_EQ(range.min() * 1000 + range.max(), -5 * 1000 + 5);
    EXPECT_EQ(markers.max(), m - 1);
    Validity v = all;
    const std::vector<std::int32_t> many(Validity::kMaxNodata + 1, 1);
    EXPECT_EQ(Validity::chosen({5, 4}, {}, &v), ERR_INVALID_PARAM);
    EXPECT_EQ(Validity::chosen({}, many, &v), ERR_INVALID_PARAM);
    EXPECT_EQ(Validity::chosen({}, std::span(many).first(Validity::kMaxNodata), &v), 0);
    EXPECT_EQ(v.nodata().size(), Validity::kMaxNodata);
    std::int32_t n = 9;
    EXPECT_EQ(parse_nodata("+2147483647", &n), 0);
    EXPECT_EQ(n, INT32_MAX);
    for (const char *bad : {"", "+", "2147483648", "1.0", "0x10", " 1", "+-1"}) {
        EXPECT_EQ(parse_nodata(bad, &n), ERR_INVALID_PARAM) << bad;
    }
    EXPECT_EQ(n, INT32_MAX);
}

TEST(Scale, LengthsPixelSizesAndUnits) {
    using U = LengthUnit;
    // clang-format off
    const struct { const char *text; double x, y; U unit; } good[] = {
        {"0.52um", 0.52, 0.52, U::um}, {"5.2e-1um", 0.52, 0.52, U::um}, {"1mm", 1, 1, U::mm},
        {"3m", 3, 3, U::m}, {".5nm", 0.5, 0.5, U::nm}, {"2\xC2\xB5m", 2, 2, U::um},
        {"2\xCE\xBCm", 2, 2, U::um}, {"0.52um,0.55um", 0.52, 0.55, U::um},
        {"2um,0.003mm", 2, 3, U::um}, {"1e12m", 1e12, 1e12, U::m}, {"7E+2nm,1um", 700, 1000, U::nm},
        {"19.5mm", 19.5, 19.5, U::mm}, {"2e3nm", 2000, 2000, U::nm},
    };
    // clang-format on
    for (const auto &c : good) {
        PixelSize p;
        ASSERT_EQ(parse_pixel_size(c.text, &p), 0) << c.text;
        EXPECT_DOUBLE_EQ(p.x, c.x) << c.text;
        EXPECT_DOUBLE_EQ(p.y, c.y) << c.text;
        EXPECT_EQ(p.unit, c.unit) << c.text;
    }
    for (const char *bad : {"0.52", "um", "0.52 um", "-1um", "0um", "1.1e12m", "1e999m", "infm",
                            "nanm", "1umm", "1UM", "+1um", "1e+um", "2e", "0.5um,", ",0.5um",
                            "1um,2um,3um", "1m,1e-320nm", "1um,2e6m"}) {
        PixelSize p{9, 9, U::nm};
        ZScale z{9, U::m};
        EXPECT_EQ(parse_pixel_size(bad, &p), ERR_INVALID_PARAM) << bad;
        EXPECT_EQ(p.x + p.y, 18) << bad;
        if (std::string(bad).find(',') == std::string::npos) {
            EXPECT_EQ(parse_z_scale(bad, &z), ERR_INVALID_PARAM) << bad;
            EXPECT_EQ(z.value, 9) << bad;
        }
    }
    // A number that ends the text given is read within it.
    for (const char *longer : {"12um", "1.5um"}) {
        PixelSize p;
        EXPECT_EQ(parse_pixel_size(std::string_view(longer, 1), &p), ERR_INVALID_PARAM) << longer;
    }
    U unit = U::m;
    EXPECT_EQ(parse_unit("pm", &unit), ERR_INVALID_PARAM);
    ZScale z;
    ASSERT_EQ(parse_z_scale("0.158nm", &z), 0);
    EXPECT_EQ(z.value * (z.unit == U::nm), 0.158);
    EXPECT_DOUBLE_EQ(convert_length(1.5, U::mm, U::um), 1500);
    EXPECT_DOUBLE_EQ(convert_length(2, U::nm, U::m), 2e-9);
    // What pdx info shows (UTF-8) and what file metadata takes (ASCII).
    const char *symbols[] = {"m", "mm", "\xC2\xB5m", "nm"}, *names[] = {"m", "mm", "um", "nm"};
    for (const U u : {U::m, U::mm, U::um, U::nm}) {
        EXPECT_STREQ(unit_symbol(u), symbols[int(u)]);
        EXPECT_STREQ(unit_name(u), names[int(u)]);
    }
}

// Beyond the table's room the named values are still the most frequent,
// counted exactly, however late they come.
TEST(Stats, InvalidValuesBeyondTheTable) {
    std::vector<std::int32_t> v;
    for (std::int32_t i = 0; i < 3000; ++i) {
        v.push_back(2000000000 + i); // 3000 distinct invalid values once each
        v.push_back(i % 2 ? 10 : -10);
    }
    v.insert(v.end(), 400, INT32_MAX); // late and frequent
    v.insert(v.end(), 300, -1100000000);
    v.insert(v.end(), 2, 1100000000); // ties: the smaller value first
    v.insert(v.end(), 2, 1100000001);
    // In rows of two: the second look meets the named values at the start of rows.
    const PhaseStats s = phase_stats(v.data(), 2, v.size() / 2, Validity());
    EXPECT_EQ(s.count, v.size());
    EXPECT_EQ(s.valid, 3000u);
    EXPECT_EQ(s.mean, 0);
    EXPECT_EQ(s.std_dev, 10);
    ASSERT_EQ(s.named_count, PhaseStats::kNamed);
    const InvalidValue want[] = {
        {INT32_MAX, 400}, {-1100000000, 300}, {1100000000, 2}, {1100000001, 2}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.named[i].value, want[i].value) << i;
        EXPECT_EQ(s.named[i].count, want[i].count) << i;
    }
    EXPECT_FALSE(s.other_values_exact);
    EXPECT_EQ(s.other_values, PhaseStats::kInvalidTable + 1 - PhaseStats::kNamed);
    EXPECT_EQ(s.other_samples, 3000u - 4);
    // Within the table's room, every count is exact without a second look.
    const std::int32_t small[] = {5, INT32_MIN, INT32_MIN, 1 << 30, 6, 1 << 30, INT32_MIN};
    const PhaseStats t = phase_stats(small, 7, 1, Validity());
    EXPECT_TRUE(t.other_values_exact);
    EXPECT_EQ(t.named_count * 100 + t.named[0].count * 10 + t.named[1].count, 232u);
    EXPECT_EQ(t.named[0].value, INT32_MIN);
    // Past the table's room: a stretch arriving at a full table is kept
    // (INT32_MAX), and the values that fill it again after room was made
    // are kept too (the last 255 of the 256 from INT32_MIN + 2000).
    std::vector<std::int32_t> over;
    const auto distinct = [&](std::int32_t from, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            over.push_back(from + static_cast<std::int32_t>(i));
        }
    };
    distinct(INT32_MIN, PhaseStats::kInvalidTable);
    const PhaseStats full = phase_stats(over.data(), over.size(), 1, Validity());
    EXPECT_TRUE(full.other_values_exact); // as many as the table holds
    EXPECT_EQ(full.other_values, PhaseStats::kInvalidTable - PhaseStats::kNamed);
    over.insert(over.end(), 5, INT32_MAX);
    distinct(INT32_MIN + 1000, PhaseStats::kInvalidTable - 1);
    distinct(INT32_MIN + 2000, PhaseStats::kInvalidTable);
    const PhaseStats u = phase_stats(over.data(), over.size(), 1, Validity());
    EXPECT_FALSE(u.other_values_exact);
    ASSERT_EQ(u.named_count, PhaseStats::kNamed);
    EXPECT_EQ(u.named[0].value, INT32_MAX);
    EXPECT_EQ(u.named[0].count, 5u);
    EXPECT_EQ(u.named[1].value, INT32_MIN + 2001);
    // Beyond the table's room the most frequent values survive its
    // cancelling and are counted exactly: 400 values at random, the k-th k
    // times; and 500 four times after 0 once and 1 to 255 three times each.
    std::mt19937 random(1);
    std::vector<std::int32_t> values, graded, zero{0};
    for (std::size_t k = 1; k <= 400; ++k) {
        values.push_back(static_cast<std::int32_t>(random()));
        graded.insert(graded.end(), k, values.back());
    }
    for (std::int32_t k = 1; k < 256; ++k) {
        zero.insert(zero.end(), 3, k);
    }
    zero.insert(zero.end(), 4, 500);
    const PhaseStats g = phase_stats(graded.data(), graded.size(), 1, chosen(0, 0));
    const PhaseStats z = phase_stats(zero.data(), zero.size(), 1, chosen(1000, {}));
    ASSERT_EQ(g.named_count + z.named_count, 2 * PhaseStats::kNamed);
    for (std::size_t i = 0; i < PhaseStats::kNamed; ++i) {
        EXPECT_EQ(g.named[i].value, values[399 - i]) << i;
        EXPECT_EQ(g.named[i].count, 400 - i) << i;
        EXPECT_EQ(z.named[i].value, i == 0 ? 500 : std::int32_t(i)) << i;
        EXPECT_EQ(z.named[i].count, i == 0 ? 4u : 3u) << i;
    }
}

// Every integer up to 2^24 in magnitude is a float; the claim holds up to
// that edge and no further. The matrix form takes a map of no samples and
// refuses a buffer that is short or absent.
TEST(Stats, Float32EdgeAndMatrixBounds) {
    constexpr std::int32_t f = 1 << 24;
    const std::int32_t edge[][2] = {{-f, f}, {-f - 1, 0}, {0, f + 1}};
    for (const auto &v : edge) {
        EXPECT_EQ(phase_stats(v, 2, 1, Validity()).float32_exact, v[0] == -f) << v[0] << v[1];
    }
    // A map of one sample: valid, it is the mean and both extremes with no
    // spread; invalid, it is counted once, whatever follows it in memory.
    const std::int32_t one[] = {-7, INT32_MAX, INT32_MAX};
    const PhaseStats o = phase_stats(one, 1, 1, Validity());
    EXPECT_TRUE(o.valid == 1 && o.min == -7 && o.max == -7);
    EXPECT_EQ(o.mean, -7);
    EXPECT_EQ(o.std_dev, 0);
    EXPECT_EQ(phase_stats(one + 1, 1, 1, Validity()).named[0].count, 1u);
    // clang-format off
    const struct { std::int16_t w, h, held; int rc; } sizes[] = {
        {0, 3, 0, 0}, {3, 0, 0, 0}, {2, 2, 4, 0}, {2, 2, 3, ERR_INVALID_PARAM},
        {1, 1, 0, ERR_INVALID_PARAM}, {-1, 0, 8, ERR_INVALID_PARAM}, {0, -1, 8, ERR_INVALID_PARAM},
    };
    // clang-format on
    for (const auto &c : sizes) {
        PhaseMatrix m;
        m.width = c.held;
        m.height = 1;
        ASSERT_TRUE(c.held == 0 || allocate(m) == 0);
        std::fill(m.matrix, m.matrix + m.size, 7);
        m.width = c.w;
        m.height = c.h;
        PhaseStats s;
        s.count = 99;
        EXPECT_EQ(phase_stats(m, Validity(), &s), c.rc) << c.w << "x" << c.h;
        EXPECT_EQ(s.count, c.rc == 0 ? std::uint64_t(c.w) * c.h : 99u) << c.w << "x" << c.h;
    }
}

TEST(Geometry, StoredSizesOfDamagedRegions) {
    // clang-format off
    const struct { std::int16_t w, h; std::uint32_t sw, sh; const char *damage; } cases[] = {
        {64, 48, 64, 48, nullptr}, {32767, 0, 32767, 0, nullptr}, {0, 48, 0, 48, nullptr},
        {-1, 0, 65535, 0, "width above 32767"},
        {-25536, 384, 40000, 384, "width above 32767"}, {5, -1, 5, 65535, "height above 32767"},
        {-32768, -32768, 32768, 32768, "width and height above 32767"},
    };
    // clang-format on
    for (const auto &c : cases) {
        const StoredSize s = stored_size(Region{1, 2, c.w, c.h});
        EXPECT_EQ(s.width * 100000 + s.height, c.sw * 100000 + c.sh) << c.w;
        EXPECT_STREQ(s.damage, c.damage) << c.w;
    }
}

// Each fault names its member and where it starts.
TEST(Calibration, FaultsNameTheMemberAndPlace) {
    using E = CalibrationError;
    // clang-format off
    const struct { const char *text; E error; const char *member; std::size_t line, column; } cases[] = {
        {"", E::not_json, "", 1, 1},
        {"[]", E::not_an_object, "", 1, 1},
        {"{\"pixel_size\": {\"x\": 1, \"unit\": \"um\", \"colour\": 1}}", E::unknown_member, "pixel_size.colour", 1, 39},
        {"{\n  \"z_scale\": {\"value\": 0.1}\n}", E::missing_member, "z_scale.unit", 2, 14},
        {"{\"pixel_size\": {\"unit\": \"um\"}}", E::missing_member, "pixel_size.x", 1, 16},
        {"{\"nodata\": [1, 2.5]}", E::bad_integer, "nodata[1]", 1, 16},
        {"{\"nodata\": [1, true]}", E::wrong_type, "nodata[1]", 1, 16},
        {"{\"valid\": {\"min\": 3, \"max\": 2}}", E::min_above_max, "valid", 1, 11},
        {"{\"valid\": {}, \"valid\": {}}", E::duplicate_member, "valid", 1, 15},
        {"\xEF\xBB\xBF{\"description\": \"\xC3\xA9t\xC3\xA9\", \"x\": 1}", E::unknown_member, "x", 1, 24},
        {"{\"description\": \"a\\ud800\"}", E::not_json, "", 1, 19},
        {"{\"description\": \"\xC3\"}", E::not_json, "", 1, 18},
        {"{\"z_scale\": {\"value\": 1, \"unit\": \"pm\"}}", E::bad_unit, "z_scale.unit", 1, 34},
        {"{\"z_scale\": {\"value\": 0, \"unit\": \"nm\"}}", E::bad_length, "z_scale.value", 1, 23},
        {"{} {}", E::not_json, "", 1, 4},
        {"{\"pixel_size\": {\"x\": 1}}", E::missing_member, "pixel_size.unit", 1, 16},
        {"{\"z_scale\": {\"unit\": \"nm\"}}", E::missing_member, "z_scale.value", 1, 13},
        {"x", E::not_json, "", 1, 1},
        // Escapes: cut short, not hexadecimal, unknown, a lone or unmatched surrogate.
        {"{\"description\": \"\\u00e", E::not_json, "", 1, 20},
        {"{\"description\": \"\\u00e9", E::not_json, "", 1, 24},
        {"{\"description\": \"\\u00g0\"}", E::not_json, "", 1, 22},
        {"{\"description\": \"\\x\"}", E::not_json, "", 1, 19},
        {"{\"description\": \"\\udc00\"}", E::not_json, "", 1, 18},
        {"{\"description\": \"\\udfff\"}", E::not_json, "", 1, 18},
        {"{\"description\": \"\\ud800\\ue000\"}", E::not_json, "", 1, 24},
        {"{\"description\": \"\\ud800\\udbff\"}", E::not_json, "", 1, 24},
        {"{\"description\": \"\x1f\"}", E::not_json, "", 1, 18},
    };
    // clang-format on
    for (const auto &c : cases) {
        Calibration cal;
        cal.description = "kept";
        CalibrationProblem p;
        EXPECT_EQ(calibration_parse(c.text, &cal, &p), ERR_INVALID_PARAM) << c.text;
        EXPECT_EQ(p.error, c.error) << c.text;
        EXPECT_EQ(p.member, c.member) << c.text;
        EXPECT_EQ(p.line * 1000 + p.column, c.line * 1000 + c.column) << c.text;
        EXPECT_EQ(cal.description, "kept") << c.text;
    }
    CalibrationProblem p{E::wrong_type, "nodata[1]", 1, 16, "a whole number"};
    EXPECT_EQ(calibration_message(p), "nodata[1] (line 1, column 16): not a whole number");
    p = {E::too_large, "", 0, 0, nullptr};
    EXPECT_EQ(calibration_message(p), "is longer than 65536 bytes");

    test_support::TempDir dir;
    const std::string big = dir.file("big.json"), good = dir.file("good.json");
    test_support::write_file(big, test_support::Bytes(kCalibrationMaxBytes + 1, ' '));
    std::string text = "{\"nodata\": [7], \"valid\": {\"max\": 9}}";
    text.resize(kCalibrationMaxBytes, ' '); // as long as a file may be
    test_support::write_file(good, test_support::Bytes(text.begin(), text.end()));
    Calibration cal;
    const int descriptor = test_support::lowest_free_descriptor();
    EXPECT_EQ(calibration_read(dir.file("none.json").c_str(), &cal, &p), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(p.error, E::cant_open);
    EXPECT_EQ(calibration_read(big.c_str(), &cal, &p), ERR_CANT_READ_FILE);
    EXPECT_EQ(p.error, E::too_large);
    ASSERT_EQ(calibration_read(good.c_str(), &cal, &p), 0);
#ifndef _WIN32
    // A directory opens but does not read.
    EXPECT_EQ(calibration_read(dir.path().string().c_str(), &cal, &p), ERR_CANT_READ_FILE);
    EXPECT_EQ(calibration_message(p), "cannot be read");
#endif
    EXPECT_EQ(test_support::lowest_free_descriptor(), descriptor) << "a file was left open";
    Validity rule;
    ASSERT_EQ(cal.validity(&rule), 0);
    EXPECT_TRUE(!rule.is_valid(7) && rule.is_valid(INT32_MIN) && !rule.is_valid(10));
    ASSERT_EQ(Calibration{}.validity(&rule), 0);
    EXPECT_EQ(rule.rule(), Validity::Rule::markers);
}

// The message a program shows for each kind of fault.
TEST(Calibration, Messages) {
    // clang-format off
    const struct { const char *text, *message; } cases[] = {
        {"", "line 1, column 1: not JSON (or not UTF-8) from here"},
        {"[]", "line 1, column 1: not a JSON object"},
        {"{\"pixel_size\": 1}", "pixel_size (line 1, column 16): not an object"},
        {"{\"z_scale\": []}", "z_scale (line 1, column 13): not an object"},
        {"{\"valid\": 1}", "valid (line 1, column 11): not an object"},
        {"{\"pixel_size\": {\"x\": \"1\"}}", "pixel_size.x (line 1, column 22): not a number"},
        {"{\"z_scale\": {\"unit\": 5}}", "z_scale.unit (line 1, column 22): not a string"},
        {"{\"description\": 5}", "description (line 1, column 17): not a string"},
        {"{\"valid\": {\"min\": true}}", "valid.min (line 1, column 19): not a whole number or null"},
        {"{\"nodata\": {}}", "nodata (line 1, column 12): not a list"},
        {"{\"nodata\": [\"1\"]}", "nodata[0] (line 1, column 13): not a whole number"},
        {"{\"nodata\": [1.5]}", "nodata[0] (line 1, column 13): not a whole number within the 32-bit range"},
        {"{\"nodata\": []}", "nodata (line 1, column 12): not a list of 1 to 16 values"},
        {"{\"valid\": {\"min\": 1, \"max\": 0}}", "valid (line 1, column 11): min is above max"},
        {"{\"nodata\": [1], \"nodata\": [1]}", "nodata (line 1, column 17): given twice"},
        {"{\"z_scale\": {\"unit\": \"nm\"}}", "z_scale.value (line 1, column 13): missing"},
        {"{\"z_scale\": {\"value\": -1, \"unit\": \"nm\"}}", "z_scale.value (line 1, column 23): not a positive number of at most 1e12"},
        {"{\"pixel_size\": {\"x\": 1, \"unit\": \"um\", \"z\": 1}}", "pixel_size.z (line 1, column 39): not a member of a calibration file (pixel_size, z_scale, nodata, valid, description; pixel_size takes x, y and unit, z_scale value and unit, valid min and max)"},
    };
    // clang-format on
    for (const auto &c : cases) {
        Calibration cal;
        CalibrationProblem p;
        EXPECT_EQ(calibration_parse(c.text, &cal, &p), ERR_INVALID_PARAM) << c.text;
        EXPECT_EQ(calibration_message(p), c.message) << c.text;
    }
    using E = CalibrationError;
    EXPECT_EQ(calibration_message(CalibrationProblem{}), "no fault");
    EXPECT_EQ(calibration_message({E::wrong_type, "", 0, 0, nullptr}),
              "a value of another type than the member takes");
    // What the member takes is named for a wrong type only.
    EXPECT_EQ(calibration_message({E::bad_unit, "", 0, 0, "a string"}),
              "not a length unit (m, mm, um, \xC2\xB5m or nm)");
    EXPECT_STREQ(calibration_error_text(static_cast<E>(99)), "unknown fault");
}

// The reader stays within its text: a view that a longer buffer goes on
// past reads as the same bytes alone do.
TEST(Calibration, ReadsOnlyItsText) {
    // clang-format off
    const struct { const char *buffer; std::size_t size; } cases[] = {
        {"{}", 0}, {"{} ", 2}, {"{\"valid\": {}}", 12}, {"{\"description\": \"ab\"}", 19},
        {"{\"description\": \"a\\n\"}", 19}, {"{\"description\": \"\\u00e9\"}", 22},
        {"{\"nodata\": [12]}", 13}, {"{\"nodata\": [-0]}", 13}, {"{\"nodata\": [1.5]}", 13},
        {"{\"nodata\": [1e5]}", 13}, {"{\"nodata\": [1e+5]}", 14},
    };
    // clang-format on
    for (const auto &c : cases) {
        const std::string_view view(c.buffer, c.size);
        const std::string alone(view);
        Calibration a, b;
        CalibrationProblem pa, pb;
        EXPECT_EQ(calibration_parse(view, &a, &pa), calibration_parse(alone, &b, &pb)) << alone;
        EXPECT_EQ(pa.line * 1000 + pa.column, pb.line * 1000 + pb.column) << alone;
    }
}

} // namespace
