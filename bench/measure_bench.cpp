// Benchmarks of the measurement module and the exports that use it:
//
//   pdx_measure_bench loops [SIDE] [ROUNDS]
//       in-process medians over a SIDE x SIDE map (4096) like a campaign's:
//       the statistics against the loop pdx info --stats ran before
//       validity (copied below), and the float conversion of the exports
//       against the range-tested loop it replaced (also copied);
//   pdx_measure_bench export FORMAT INPUT OUTPUT [--pixel-size S] [--z-scale S]
//       reads a data file and exports its phase map with that scale and the
//       default validity, as pdx export does, for bench/measure_bench.py to
//       time as a process.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "pdx/datafile/data_file.h"
#include "pdx/export/export.h"
#include "pdx/export/export_detail.h"
#include "pdx/measure/stats.h"

namespace {

using Clock = std::chrono::steady_clock;

// --- the loops as they were --------------------------------------------------

struct TodayStats {
    std::uint64_t count = 0;
    std::int32_t min = 0, max = 0;
    double mean = 0, std_dev = 0;
};

// pdx info's phase_stats before validity: every sample, exact sum, long
// double squares row by row.
TodayStats today_stats(const std::int32_t *m, std::size_t width, std::size_t height) {
    TodayStats s;
    s.count = std::uint64_t(width) * height;
    std::int64_t sum = 0;
    std::int32_t lo = m[0], hi = m[0];
    for (std::size_t i = 0; i < s.count; ++i) {
        const std::int32_t v = m[i];
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        sum += v;
    }
    s.min = lo;
    s.max = hi;
    const long double mean = static_cast<long double>(sum) / static_cast<long double>(s.count);
    long double squares = 0;
    for (std::size_t r = 0; r < height; ++r) {
        const std::int32_t *row = m + r * width;
        long double acc = 0;
        for (std::size_t c = 0; c < width; ++c) {
            const long double d = static_cast<long double>(row[c]) - mean;
            acc += d * d;
        }
        squares += acc;
    }
    s.mean = static_cast<double>(mean);
    s.std_dev = static_cast<double>(std::sqrt(squares / static_cast<long double>(s.count)));
    return s;
}

// The exports' float conversion before validity: a range test per sample.
int today_floats(std::FILE *out, const std::int32_t *samples, std::size_t count, std::int32_t lo,
                 std::int32_t hi, float *buffer) {
    constexpr std::size_t kChunk = pdx::export_detail::kChunkBytes / sizeof(float);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    while (count > 0) {
        const std::size_t n = count < kChunk ? count : kChunk;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int32_t v = samples[i];
            buffer[i] = v >= lo && v <= hi ? static_cast<float>(v) : nan;
        }
        if (std::fwrite(buffer, sizeof(float), n, out) != n) {
            return 1;
        }
        samples += n;
        count -= n;
    }
    return 0;
}

// A campaign's map: tilt, dome, noise, a disc-shaped aperture and a few
// holes marked by the largest value.
std::vector<std::int32_t> campaign_map(int side) {
    std::vector<std::int32_t> m(static_cast<std::size_t>(side) * side);
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0, 15);
    const double c = side / 2.0;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const double r2 = ((x - c) * (x - c) + (y - c) * (y - c)) / (c * c);
            const bool hole = std::hypot(x - side * 0.3, y - side * 0.6) < side * 0.04 ||
                              std::hypot(x - side * 0.7, y - side * 0.4) < side * 0.02;
            m[static_cast<std::size_t>(y) * side + x] =
                r2 > 1 || hole
                    ? INT32_MAX
                    : static_cast<std::int32_t>(std::lround(
                          1000 + 800.0 * x / side - 500.0 * y / side - 2000 * r2 + noise(rng)));
        }
    }
    return m;
}

struct Row {
    const char *label;
    std::function<void()> run;
    std::vector<double> ms;
};

// Runs every row once per round, the rows in turn, so that a change of load
// meets them all alike; returns the medians.
std::vector<double> medians(std::vector<Row> &rows, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        for (Row &r : rows) {
            const auto start = Clock::now();
            r.run();
            r.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    std::vector<double> out;
    for (Row &r : rows) {
        std::sort(r.ms.begin(), r.ms.end());
        out.push_back(r.ms[r.ms.size() / 2]);
    }
    return out;
}

volatile double g_sink; // keeps the results alive

int loops(int side, int rounds) {
    const std::vector<std::int32_t> m = campaign_map(side);
    const auto w = static_cast<std::size_t>(side);
    pdx::Validity chosen;
    const std::int32_t nodata[] = {INT32_MAX};
    if (pdx::Validity::chosen({-100000, 100000}, nodata, &chosen) != 0) {
        return 1;
    }
    std::FILE *null = std::fopen("/dev/null", "wb");
    std::vector<float> buffer(pdx::export_detail::kChunkBytes / sizeof(float));
    if (null == nullptr) {
        return 1;
    }
    pdx::ExportNotes notes;
    std::vector<Row> rows;
    const auto add = [&](const char *label, std::function<void()> f) {
        rows.push_back({label, std::move(f), {}});
    };
    add("statistics: today's loop (every sample)",
        [&] { g_sink = today_stats(m.data(), w, w).std_dev; });
    add("statistics: phase_stats, marker rule",
        [&] { g_sink = pdx::phase_stats(m.data(), w, w, pdx::Validity()).std_dev; });
    add("statistics: phase_stats, range and one nodata value",
        [&] { g_sink = pdx::phase_stats(m.data(), w, w, chosen).std_dev; });
    add("floats: today's loop (range test)",
        [&] { g_sink = today_floats(null, m.data(), m.size(), -1000000, 1000000, buffer.data()); });
    add("floats: write_floats, marker rule", [&] {
        g_sink = pdx::export_detail::write_floats(null, m.data(), m.size(), pdx::Validity(), 1.0,
                                                  buffer.data(), &notes);
    });
    add("floats: write_floats, marker rule and z scale", [&] {
        g_sink = pdx::export_detail::write_floats(null, m.data(), m.size(), pdx::Validity(), 0.158,
                                                  buffer.data(), &notes);
    });
    add("floats: write_floats, range and one nodata value", [&] {
        g_sink = pdx::export_detail::write_floats(null, m.data(), m.size(), chosen, 1.0,
                                                  buffer.data(), &notes);
    });
    const std::vector<double> ms = medians(rows, rounds);
    std::fclose(null);
    std::printf("| Loop, %dx%d map, %d rounds | Median (ms) | / today's |\n|---|---|---|\n", side,
                side, rounds);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const double base = ms[i < 3 ? 0 : 3];
        std::printf("| %s | %.2f | %.2f |\n", rows[i].label, ms[i], ms[i] / base);
    }
    return 0;
}

int export_file(int argc, char **argv) {
    pdx::ExportOptions o;
    o.publish = pdx::UPublish::replace;
    if (argc < 5 || pdx::export_format_from_name(argv[2], &o.format) != 0) {
        return 2;
    }
    for (int i = 5; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--pixel-size") == 0) {
            o.scale.pixel.emplace();
            if (pdx::parse_pixel_size(argv[i + 1], &*o.scale.pixel) != 0) {
                return 2;
            }
        } else if (std::strcmp(argv[i], "--z-scale") == 0) {
            o.scale.z.emplace();
            if (pdx::parse_z_scale(argv[i + 1], &*o.scale.z) != 0) {
                return 2;
            }
        } else {
            return 2;
        }
    }
    pdx::PhaseMatrix m;
    int rc = pdx::data_file_read(argv[3], nullptr, nullptr, nullptr, &m);
    return rc != 0 ? 1 : pdx::export_matrix(argv[4], m, o) != 0 ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "loops") == 0) {
        return loops(argc > 2 ? std::atoi(argv[2]) : 4096, argc > 3 ? std::atoi(argv[3]) : 15);
    }
    if (argc >= 2 && std::strcmp(argv[1], "export") == 0) {
        return export_file(argc, argv);
    }
    std::fputs("usage: pdx_measure_bench loops [SIDE] [ROUNDS] | export FORMAT IN OUT [options]\n",
               stderr);
    return 2;
}
