// The measurement module from the command line, for test_measure.py:
//
//   measure_driver stats MATRIX_FILE [--valid MIN:MAX] [--nodata V]... [--all]
//   measure_driver calibration FILE
//
// prints the statistics, or the calibration file as parsed, as one JSON
// object; a refused calibration file prints {"error": NAME, "member": ...,
// "message": ...}. Exit status 0, or 1 for a refused file or bad usage.

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pdx/datafile/matrix_file.h"
#include "pdx/measure/calibration.h"
#include "pdx/measure/stats.h"

namespace {

std::string number(double v) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string bound(const std::optional<std::int32_t> &b) {
    return b ? std::to_string(*b) : "null";
}

int stats(int argc, char **argv) {
    pdx::ValidRange range;
    std::vector<std::int32_t> nodata;
    bool all = false;
    bool chosen = false;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--all") == 0) {
            all = true;
        } else if (i + 1 < argc && std::strcmp(argv[i], "--valid") == 0) {
            if (pdx::parse_valid_range(argv[++i], &range) != 0) {
                return 1;
            }
            chosen = true;
        } else if (i + 1 < argc && std::strcmp(argv[i], "--nodata") == 0) {
            nodata.push_back(0);
            if (pdx::parse_nodata(argv[++i], &nodata.back()) != 0) {
                return 1;
            }
            chosen = true;
        } else {
            return 1;
        }
    }
    pdx::Validity rule = all ? pdx::Validity::all() : pdx::Validity::markers();
    pdx::PhaseMatrix m;
    pdx::PhaseStats s;
    if ((chosen && pdx::Validity::chosen(range, nodata, &rule) != 0) ||
        pdx::matrix_file_read(argv[2], &m, false) != 0 || pdx::phase_stats(m, rule, &s) != 0) {
        return 1;
    }
    std::string named;
    for (std::size_t i = 0; i < s.named_count; ++i) {
        named += (i ? ",[" : "[") + std::to_string(s.named[i].value) + "," +
                 std::to_string(s.named[i].count) + "]";
    }
    std::printf("{\"count\":%llu,\"valid\":%llu,\"min\":%d,\"max\":%d,\"mean\":%s,\"std\":%s,"
                "\"float32_exact\":%s,\"named\":[%s],\"other_values\":%llu,"
                "\"other_values_exact\":%s,\"other_samples\":%llu}\n",
                static_cast<unsigned long long>(s.count), static_cast<unsigned long long>(s.valid),
                static_cast<int>(s.min), static_cast<int>(s.max), number(s.mean).c_str(),
                number(s.std_dev).c_str(), s.float32_exact ? "true" : "false", named.c_str(),
                static_cast<unsigned long long>(s.other_values),
                s.other_values_exact ? "true" : "false",
                static_cast<unsigned long long>(s.other_samples));
    return 0;
}

int calibration(const char *path) {
    pdx::Calibration c;
    pdx::CalibrationProblem p;
    if (pdx::calibration_read(path, &c, &p) != 0) {
        std::printf("{\"error\":%d,\"member\":%s,\"line\":%zu,\"column\":%zu,\"message\":%s}\n",
                    static_cast<int>(p.error), quoted(p.member).c_str(), p.line, p.column,
                    quoted(pdx::calibration_message(p)).c_str());
        return 1;
    }
    std::vector<std::string> members;
    if (c.pixel_size) {
        members.push_back("\"pixel_size\":{\"x\":" + number(c.pixel_size->x) +
                          ",\"y\":" + number(c.pixel_size->y) + ",\"unit\":\"" +
                          pdx::unit_name(c.pixel_size->unit) + "\"}");
    }
    if (c.z_scale) {
        members.push_back("\"z_scale\":{\"value\":" + number(c.z_scale->value) + ",\"unit\":\"" +
                          pdx::unit_name(c.z_scale->unit) + "\"}");
    }
    if (!c.nodata.empty()) {
        std::string list;
        for (const std::int32_t v : c.nodata) {
            list += (list.empty() ? "" : ",") + std::to_string(v);
        }
        members.push_back("\"nodata\":[" + list + "]");
    }
    if (c.valid) {
        members.push_back("\"valid\":{\"min\":" + bound(c.valid->min) +
                          ",\"max\":" + bound(c.valid->max) + "}");
    }
    if (c.description) {
        members.push_back("\"description\":" + quoted(*c.description));
    }
    std::string out;
    for (const std::string &m : members) {
        out += (out.empty() ? "" : ",") + m;
    }
    std::printf("{%s}\n", out.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 3 && std::strcmp(argv[1], "stats") == 0) {
        return stats(argc, argv);
    }
    if (argc == 3 && std::strcmp(argv[1], "calibration") == 0) {
        return calibration(argv[2]);
    }
    std::fputs("usage: measure_driver stats FILE [options] | calibration FILE\n", stderr);
    return 1;
}
