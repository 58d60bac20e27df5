// The export writers' exact bytes and arithmetic (GSF headers and titles,
// the TIFF layout, NPY headers, the preview's percentiles, colours, sizes
// and area averages), refused arguments, failed writes and refused memory.
// test_export.py reads the files with independent readers.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pdx/export/export.h"
#include "pdx/export/export_detail.h"
#include "pdx/util/errors.h"
#include "support/alloc_faults.h"
#include "support/temp_dir.h"

namespace {

using namespace pdx;
using namespace pdx::export_detail;
using test_support::Bytes;
using test_support::read_file;

PhaseMatrix matrix(int w, int h, const std::vector<std::int32_t> &v) {
    PhaseMatrix m;
    set_region(m, Region{0, 0, static_cast<std::int16_t>(w), static_cast<std::int16_t>(h)});
    if (!v.empty()) {
        EXPECT_EQ(allocate(m), 0);
        std::copy(v.begin(), v.end(), m.matrix);
    }
    return m;
}

// A chosen validity rule.
Validity rule(std::int32_t lo, std::int32_t hi, std::vector<std::int32_t> nodata = {}) {
    Validity v;
    EXPECT_EQ(Validity::chosen({lo, hi}, nodata, &v), 0);
    return v;
}

constexpr ExportFormat kEveryFormat[] = {ExportFormat::gsf, ExportFormat::tiff, ExportFormat::npy,
                                         ExportFormat::png};

class Export : public testing::Test {
  protected:
    std::string run(const PhaseMatrix &m, ExportOptions o) {
        const std::string path = dir_.file("out");
        o.publish = UPublish::replace;
        EXPECT_EQ(export_matrix(path.c_str(), m, o), 0);
        const Bytes b = read_file(path);
        return std::string(b.begin(), b.end());
    }
    test_support::TempDir dir_;
};

TEST_F(Export, GsfHeaderPaddingAndTitles) {
    // clang-format off
    const struct { const char *title, *line; int pad; } cases[] = {
        {"", "", 1}, {"a", "a", 3}, {"ab", "ab", 2}, {"abc", "abc", 1}, {" abcd ", "abcd", 4},
        {"a\nb\r", "a?b?", 4}, {"\xff\xc0z", "??z", 1}, {"\xc2\x85\xe0\x80\x80", "????", 4},
        {"\xed\xa0\x80\x7f", "????", 4}, {"\x1f\xf0\x8f\xbf\xbf\xf4\x90\x80\x80", "?????????", 3},
        {"\xc1\xbf\xf5\x80\x80\x80", "??????", 2}, {"a\xc2\xa0" "b", "a\xc2\xa0" "b", 4}, {"\xc2\x9f", "?", 3},
        {"\xdf\xbf\xe0\xa0\x80\xef\xbc\x81\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xef\xbf\xbd", "\xdf\xbf\xe0\xa0\x80\xef\xbc\x81\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xef\xbf\xbd", 1},
        {"   ", "", 1},
    };
    // clang-format on
    test_support::AllocHooks hooks; // spaces past the title, as a reused buffer may hold
    hooks.scribble(' ');
    ExportOptions o;
    o.valid.min = 0;
    for (const auto &c : cases) {
        o.title = c.title;
        std::string want = "Gwyddion Simple Field 1.0\nXRes = 2\nYRes = 1\nXReal = 2\nYReal = 1\n"
                           "XOffset = 0\nYOffset = 0\nXYUnits = pixel\nZUnits = count\n";
        want += *c.line ? std::string("Title = ") + c.line + "\n" : "";
        want.append(c.pad, '\0');
        // -5 is below the range: NaN; then 7.0f.
        want += std::string("\x00\x00\xc0\x7f\x00\x00\xe0\x40", 8);
        EXPECT_EQ(run(matrix(2, 1, {-5, 7}), o), want) << c.title;
    }
    // A title longer than the conversion buffer.
    const std::string long_title(std::size_t{3} << 20, 'a');
    o.title = long_title;
    EXPECT_NE(run(matrix(2, 1, {-5, 7}), o).find("\nTitle = " + long_title + "\n"),
              std::string::npos);
}

TEST_F(Export, NpyHeaderAndExactSamples) {
    for (const auto &[w, h] : {std::pair{0, 0}, {3, 1}, {2, 3}}) {
        std::vector<std::int32_t> v(static_cast<std::size_t>(w) * h, INT32_MIN);
        if (!v.empty()) {
            v.back() = INT32_MAX;
        }
        ExportOptions o;
        o.format = ExportFormat::npy;
        o.valid.min = 0; // does not apply
        std::string want = "{'descr': '<i4', 'fortran_order': False, 'shape': (" +
                           std::to_string(h) + ", " + std::to_string(w) + "), }";
        want.resize(117, ' ');
        want = std::string("\x93NUMPY\x01\x00\x76\x00", 10) + want + "\n" +
               std::string(reinterpret_cast<const char *>(v.data()), v.size() * 4);
        EXPECT_EQ(run(matrix(w, h, v), o), want);
    }
}

TEST(TiffLayout, ResolutionsAsRationals) {
    // Pixels per unit: exact where 32-bit terms hold them, else the nearest
    // such fraction, and the ends of the range past it.
    const struct {
        double v;
        std::uint32_t num, den;
    } cases[] = {
        {0.5, 1, 2},
        {1.0 / 3, 1, 3},
        {1e6, 1000000, 1},
        {4294967295.0, 4294967295u, 1},
        {1e12, 4294967295u, 1},
        {1e-12, 1, 4294967295u},
        {3.14159265358979, 144029661, 45846065}, // the first equal to v as a double
        {1.0 / 0.55, 20, 11},
        {2147483647.5, 4294967295u, 2}, // terms of exactly 32 bits
        {2 / 4294967295.0, 2, 4294967295u},
        {4294967295.5, 4294967295u, 1}, // the next term passes 32 bits in one term alone
        {1 / 4294967295.5, 1, 4294967295u},
    };
    for (const auto &c : cases) {
        std::uint32_t num = 0, den = 0;
        pdx::export_detail::rational(c.v, &num, &den);
        EXPECT_EQ(num, c.num) << c.v;
        EXPECT_EQ(den, c.den) << c.v;
    }
    // Numbers in texts: 15 significant digits, so that a product shows as
    // the decimal it stands for.
    const struct {
        double v;
        const char *text;
    } numbers[] = {{14 * 0.55, "7.7"}, {0.123456789012345, "0.123456789012345"}, {-96.0, "-96"}};
    for (const auto &n : numbers) {
        char out[32];
        EXPECT_EQ(std::string(out, pdx::export_detail::put_number(out, n.v)), n.text);
    }
    // A title made ASCII: spaces at its ends dropped, controls and what is
    // past ASCII a '?' each, the rest kept.
    // clang-format off
    const struct { const char *in; std::size_t max; const char *out; } titles[] = {
        {"  a\xc3\xa9 b  ", 15, "a? b"}, {"abcdef", 3, "abc"}, {"\x1f \x7e\x7f", 15, "? ~?"},
        {"a\xff" "b", 15, "a?b"}, {"   ", 15, ""}};
    // clang-format on
    for (const auto &t : titles) {
        char out[16];
        std::memset(out, ' ', sizeof out); // what a reused buffer may hold past the text
        EXPECT_EQ(std::string(out, pdx::export_detail::ascii_text(t.in, t.max, out)), t.out);
    }
}

TEST(TiffLayout, LargestMapFitsAndLargerIsRefused) {
    // clang-format off
    const struct { std::uint32_t w, h, text, rows, strips, offsets, data; } cases[] = {
        {3, 2, 0, 2, 1, 0, 224}, {300, 300, 0, 219, 2, 224, 240}, {1, 32767, 0, 32767, 1, 0, 224},
        {32767, 32767, 0, 3, 10923, 224, 87616}, {300, 300, 5, 219, 2, 228, 256},
        {32767, 32767, 4096 + 600, 3, 10923, 4920, 92304},
    };
    // clang-format on
    for (const auto &c : cases) {
        TiffLayout t;
        ASSERT_EQ(tiff_layout(c.w, c.h, &t, c.text), 0);
        EXPECT_EQ(t.rows_per_strip, c.rows);
        EXPECT_EQ(t.strips, c.strips);
        EXPECT_EQ(t.offsets_offset, c.offsets);
        EXPECT_EQ(t.counts_offset, c.offsets ? c.offsets + 4 * c.strips : 0);
        EXPECT_EQ(t.data_offset, c.data);
        EXPECT_EQ(t.file_size, c.data + 4ull * c.w * c.h);
    }
    TiffLayout t;
    EXPECT_EQ(tiff_layout(32768, 32768, &t), ERR_DATASET_DIM_TOO_LARGE);
}

TEST(Preview, ContrastIsTheSortedValidSamplesAtTheirRanks) {
    test_support::AllocHooks hooks; // histograms in memory that is not zero
    hooks.scribble(0xA5);
    std::mt19937 rng(7);
    const Validity all = Validity::all();
    // clang-format off
    const struct { std::size_t n; bool wide; Validity b; } cases[] = {
        {1, true, all}, {2, true, all}, {1000, true, all}, {1001, false, all},
        {50, true, rule(5, 5, {5})}, {5000, true, rule(INT32_MIN + 1, INT32_MAX - 1)},
        {777, false, rule(0x12340100, 0x12340FFF)}, {3000, true, rule(INT32_MIN, 0)},
        {4000, true, Validity::markers()}, {2000, false, rule(0x12340100, INT32_MAX, {0x12340200})},
    };
    // clang-format on
    for (const auto &c : cases) {
        std::vector<std::int32_t> v(c.n), valid;
        for (auto &x : v) {
            x = static_cast<std::int32_t>(c.wide ? rng() : 0x12340000 + rng() % 5000);
        }
        v[0] = INT32_MIN;
        std::copy_if(v.begin(), v.end(), std::back_inserter(valid),
                     [&](std::int32_t x) { return c.b.is_valid(x); });
        std::sort(valid.begin(), valid.end());
        Contrast got;
        ASSERT_EQ(contrast_range(v.data(), v.size(), c.b, &got), 0);
        ASSERT_EQ(got.any, !valid.empty()) << c.n;
        const std::size_t k = valid.size() - 1;
        if (got.any) {
            EXPECT_EQ(got.lo, valid[k * 5 / 1000]) << c.n;
            EXPECT_EQ(got.hi, valid[(k * 995 + 999) / 1000]) << c.n;
        }
    }
    // The highest bin met first, then a low one: each keeps its own counts;
    // a third bin, the lowest, has none of the first's; the highest met third
    // is counted again with the first sample.
    // clang-format off
    const struct { std::vector<std::int32_t> v; std::int32_t lo, hi; } bins[] = {
        {{INT32_MAX, INT32_MAX - 1, 3, 4, 5, 6}, 3, INT32_MAX},
        {{(100 << 16) | 2, 200 << 16, (1 << 16) | 7, (1 << 16) | 9}, (1 << 16) | 7, 200 << 16},
        {{(1 << 16) | 5, 100 << 16, (200 << 16) | 3, (1 << 16) | 9}, (1 << 16) | 5, (200 << 16) | 3},
    };
    // clang-format on
    for (const auto &b : bins) {
        Contrast got;
        ASSERT_EQ(contrast_range(b.v.data(), b.v.size(), all, &got), 0);
        EXPECT_TRUE(got.any && got.lo == b.lo && got.hi == b.hi) << got.lo << " " << got.hi;
    }
}

TEST(Preview, ColourIndexAndExtent) {
    // clang-format off
    const struct { double v; std::int32_t lo, hi; int want; } colours[] = {
        {-1, 0, 255, 0}, {0, 0, 255, 0}, {127.4, 0, 255, 127}, {127.5, 0, 255, 128},
        {254.6, 0, 255, 255}, {300, 0, 255, 255}, {7, 7, 7, 128}, {6.9, 7, 7, 0}, {7.1, 7, 7, 255},
        {0, INT32_MIN, INT32_MAX, 128},
    };
    const struct { std::uint32_t w, h, size, ow, oh; } extents[] = {
        {4096, 4096, 1024, 1024, 1024}, {64, 48, 1024, 64, 48}, {64, 48, 0, 64, 48},
        {64, 48, 64, 64, 48}, {3000, 1001, 1024, 1024, 342}, {10, 1000, 100, 1, 100},
        {1, 1000, 100, 1, 100}, {1000, 15, 100, 100, 2},
    };
    // clang-format on
    for (const auto &c : colours) {
        EXPECT_EQ(colour_index(c.v, c.lo, c.hi), c.want) << c.v;
    }
    for (const auto &e : extents) {
        const Extent got = preview_extent(e.w, e.h, e.size);
        EXPECT_EQ(got.w * 100000 + got.h, e.ow * 100000 + e.oh) << e.w << "x" << e.h;
    }
}

// Area averages against each output pixel's overlap with every source pixel.
TEST(Preview, AreaAverageWeighsOverlaps) {
    // Each also with samples near the 32-bit ends: 8 x 1000 into 8 x 950
    // spans one column a pixel while rows are averaged.
    const Extent cases[][2] = {{{3, 1}, {2, 1}}, {{4, 1}, {3, 1}},     {{5, 4}, {2, 3}},
                               {{7, 3}, {3, 1}}, {{4, 4}, {2, 2}},     {{1, 5}, {1, 2}},
                               {{6, 5}, {6, 5}}, {{8, 1000}, {8, 950}}};
    struct Rows {
        std::uint32_t w;
        std::vector<double> values;
    };
    const RowSink sink = [](void *ctx, const double *row) {
        auto &r = *static_cast<Rows *>(ctx);
        r.values.insert(r.values.end(), row, row + r.w);
        return 0;
    };
    const auto overlap = [](double a0, double a1, double b0) {
        return std::max(0.0, std::min(a1, b0 + 1) - std::max(a0, b0));
    };
    for (const auto &[in, out] : cases) {
        for (const bool ends : {false, true}) {
            const std::int32_t invalid = ends ? INT32_MIN : -99;
            std::vector<std::int32_t> v(std::size_t{in.w} * in.h);
            for (std::size_t i = 0; i < v.size(); ++i) {
                const auto k = static_cast<std::int32_t>(i * 7 % 23) - 11;
                v[i] = i % 4 == 3 ? invalid : ends ? k * 195225786 : k;
            }
            Rows rows{out.w, {}};
            std::vector<double> work(area_average_bytes(out) / sizeof(double));
            const Validity valid = ends ? rule(INT32_MIN + 1, INT32_MAX) : rule(-50, 50);
            ASSERT_EQ(area_average(v.data(), in.w, in.h, out, valid, work.data(), sink, &rows), 0);
            ASSERT_EQ(rows.values.size(), std::size_t{out.w} * out.h);
            const double sx = double(in.w) / out.w, sy = double(in.h) / out.h;
            for (std::uint32_t o = 0; o < out.w * out.h; ++o) {
                const std::uint32_t ox = o % out.w, oy = o / out.w;
                double s = 0, wsum = 0;
                // Only the input rows near the pixel's.
                const std::uint32_t y0 = static_cast<std::uint32_t>(oy * sy);
                for (std::uint32_t y = y0; y < std::min(in.h, y0 + 3 + std::uint32_t(sy)); ++y) {
                    for (std::uint32_t x = 0; x < in.w; ++x) {
                        const std::size_t i = std::size_t{y} * in.w + x;
                        const double a =
                            overlap(ox * sx, (ox + 1) * sx, x) * overlap(oy * sy, (oy + 1) * sy, y);
                        s += v[i] != invalid ? a * v[i] : 0;
                        wsum += v[i] != invalid ? a : 0;
                    }
                }
                const double g = rows.values[o];
                const double tolerance = ends ? 1e-9 * 2147483648.0 : 1e-9;
                EXPECT_TRUE(wsum == 0 ? std::isnan(g) : std::abs(g - s / wsum) < tolerance)
                    << in.w << "x" << in.h << " pixel " << o << ": " << g;
            }
        }
    }
}

TEST_F(Export, RefusedArgumentsAndFailedWrites) {
    const std::string taken = dir_.file("taken"), missing = dir_.file("no/x");
    test_support::write_file(taken, {1, 2});
    const PhaseMatrix ok = matrix(2, 2, {1, 2, 3, 4}), empty = matrix(0, 0, {});
    // A negative side is refused even where its 16 bits read unsigned fit
    // the buffer; so is a side with no buffer at all.
    const std::vector<std::int32_t> plenty(32767 * 5);
    PhaseMatrix negative = matrix(32767, 5, plenty), negative_height = matrix(32767, 5, plenty);
    negative.width = -1;
    negative.height = 2;
    negative_height.width = 2;
    negative_height.height = -1;
    PhaseMatrix short_buffer = matrix(2, 2, {1, 2, 3, 4}), no_buffer = matrix(1, 1, {});
    short_buffer.size = 3;
    ExportOptions reversed, bad_size;
    reversed.valid = {5, 4};
    bad_size.png_size = -1;
    // Lengths a caller set by hand: each side and the height per count must
    // be positive and at most kLargestLength (which itself is taken).
    std::vector<ExportOptions> bad_scales;
    for (const double v : {0.0, -1.0, double(NAN), double(INFINITY), kLargestLength * 1.000001}) {
        for (int field = 0; field < 3; ++field) {
            ExportOptions o;
            o.scale.pixel = PixelSize{kLargestLength, kLargestLength, LengthUnit::um};
            o.scale.z = ZScale{kLargestLength, LengthUnit::nm};
            (field == 0 ? o.scale.pixel->x : field == 1 ? o.scale.pixel->y : o.scale.z->value) = v;
            bad_scales.push_back(o);
        }
    }
    for (const auto f : kEveryFormat) {
        // clang-format off
        const struct { const PhaseMatrix &m; ExportOptions o; const char *path; int want; } cases[] = {
            // A file in a missing directory: only a refusal before opening gives another code.
            {negative, {}, missing.c_str(), ERR_INVALID_PARAM},
            {negative_height, {}, missing.c_str(), ERR_INVALID_PARAM},
            {no_buffer, {}, missing.c_str(), ERR_INVALID_PARAM},
            {short_buffer, {}, missing.c_str(), ERR_INVALID_PARAM},
            {ok, reversed, missing.c_str(), ERR_INVALID_PARAM},
            {ok, bad_size, missing.c_str(), ERR_INVALID_PARAM},
            {empty, {}, missing.c_str(), f == ExportFormat::npy ? ERR_CANT_OPEN_FILE : ERR_NO_DATA},
            {ok, {}, taken.c_str(), ERR_CANT_CREATE_FILE},
            {ok, {}, "", ERR_CANT_OPEN_FILE},
#ifdef __linux__
            {ok, {f, {}, 1024, {}, UPublish::replace}, "/dev/full", ERR_CANT_WRITE_FILE},
#endif
        };
        // clang-format on
        for (auto c : cases) {
            c.o.format = f;
            EXPECT_EQ(export_matrix(c.path, c.m, c.o), c.want) << export_format_name(f) << c.path;
        }
        for (ExportOptions o : bad_scales) {
            o.format = f;
            EXPECT_EQ(export_matrix(missing.c_str(), ok, o), ERR_INVALID_PARAM)
                << o.scale.pixel->x << " " << o.scale.pixel->y << " " << o.scale.z->value;
            o.scale.z.reset();
            o.scale.pixel.reset();
            EXPECT_EQ(export_matrix(missing.c_str(), ok, o), ERR_CANT_OPEN_FILE);
        }
        ExportOptions largest;
        largest.format = f;
        largest.scale.pixel = PixelSize{kLargestLength, kLargestLength, LengthUnit::um};
        largest.scale.z = ZScale{kLargestLength, LengthUnit::nm};
        EXPECT_EQ(export_matrix(missing.c_str(), ok, largest), ERR_CANT_OPEN_FILE);
        EXPECT_EQ(read_file(taken), (Bytes{1, 2}));
    }
}

// Each allocation refused in turn fails cleanly; with memory, a 1024 x 1024
// map exports in at most 8 MiB besides its samples.
TEST_F(Export, RefusedMemoryAndBudget) {
    std::vector<std::int32_t> v(1024 * 1024);
    std::iota(v.begin(), v.end(), -500000);
    const PhaseMatrix m = matrix(1024, 1024, v);
    for (const auto f : kEveryFormat) {
        SCOPED_TRACE(export_format_name(f));
        const std::string path = dir_.file("out");
        ExportOptions o{f, {}, 100, {}, UPublish::replace};
        o.npy_float = true; // NPY's floats need a buffer; its exact samples none
        const std::size_t calls = test_support::refuse_each_call([&](auto &hooks) {
            const int rc = export_matrix(path.c_str(), m, o);
            EXPECT_EQ(rc, hooks.refused_count() != 0 ? ERR_NO_MEM : 0);
        });
        EXPECT_GT(calls, 0u);
        o.png_size = 0;
        test_support::AllocHooks hooks;
        hooks.set_budget(std::size_t{8} << 20);
        EXPECT_EQ(export_matrix(path.c_str(), m, o), 0);
    }
}

TEST_F(Export, SameBytesWhateverItsMemoryHeld) {
    // Every byte written is set by the writer: memory handed out full of
    // zeros or of ones gives the same file; every block comes from the
    // hooks a program replaced.
    std::vector<std::int32_t> v(300 * 7);
    std::iota(v.begin(), v.end(), -1000);
    const PhaseMatrix m = matrix(300, 7, v);
    for (const auto f : kEveryFormat) {
        ExportOptions o;
        o.format = f;
        o.title = "run 7";
        std::string files[2];
        for (int i = 0; i < 2; ++i) {
            test_support::AllocHooks hooks;
            hooks.scribble(i == 0 ? 0x00 : 0xFF);
            files[i] = run(m, o);
            // Every block given back came through the hooks (zlib's too).
            EXPECT_EQ(hooks.free_count(), hooks.malloc_count()) << export_format_name(f);
        }
        EXPECT_EQ(files[0], files[1]) << export_format_name(f);
    }
}

TEST(ExportNames, FormatsAndValidRanges) {
    for (const char *name : {"gsf", "tiff", "npy", "png"}) {
        ExportFormat f = ExportFormat::gsf;
        ASSERT_EQ(export_format_from_name(name, &f), 0);
        EXPECT_STREQ(export_format_name(f), name);
        EXPECT_EQ(export_extension(f), "." + std::string(name).substr(0, 3));
    }
    ExportFormat f = ExportFormat::png;
    EXPECT_EQ(export_format_from_name("GSF", &f), ERR_INVALID_PARAM);
    EXPECT_EQ(f, ExportFormat::png);
    using Bound = std::optional<std::int32_t>;
    const int bad = ERR_INVALID_PARAM;
    // clang-format off
    const struct { const char *text; int rc; Bound min, max; } ranges[] = {
        {":", 0, {}, {}}, {"-500:", 0, -500, {}}, {":+1200", 0, {}, 1200}, {"3:3", 0, 3, 3},
        {"-2147483648:2147483647", 0, INT32_MIN, INT32_MAX}, {"4:3", bad, 7, 8}, {"5", bad, 7, 8},
        {"1:2:3", bad, 7, 8}, {"+-1:", bad, 7, 8}, {"1.5:", bad, 7, 8}, {" 1:", bad, 7, 8},
        {":2147483648", bad, 7, 8}, {"-:", bad, 7, 8}, {"+:", bad, 7, 8},
    };
    // clang-format on
    for (const auto &r : ranges) {
        ValidRange got{7, 8};
        EXPECT_EQ(parse_valid_range(r.text, &got), r.rc) << r.text;
        EXPECT_TRUE(got.min == r.min && got.max == r.max) << r.text;
    }
}

} // namespace
