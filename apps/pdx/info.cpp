// pdx info: what each file holds, as text or as JSON Lines, in the order the
// files were given.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "common/console.h"
#include "common/exit_status.h"
#include "file_kind.h"
#include "pdx/datafile/data_file.h"
#include "pdx/datafile/data_file_header.h"
#include "pdx/measure/geometry.h"
#include "pdx/measure/scale.h"
#include "pdx/measure/stats.h"
#include "pdx/util/errors.h"
#include "pdx/util/utf8.h"
#include "shown_name.h"

namespace {

struct Info {
    FileKind kind = FileKind::missing; // only a regular file is read
    int error = 0;                     // of the phase read; 0: it reads
    std::optional<unsigned long long> file_size;
    // From the header, when it could be read.
    std::size_t header_length = 0; // 0: unknown
    pdx::DataFileHeader header{};
    std::optional<pdx::PhaseStats> stats; // of a map of one sample or more
};

Info inspect(const FileName &name, const Options &options) {
    Info info;
    const std::string path = name.path();
    info.kind = file_kind(name);
    if (info.kind != FileKind::regular) {
        return info;
    }
    unsigned long long size = 0;
    if (file_size(name, size)) {
        info.file_size = size;
    }
    // The header's own fields first, for the report whether or not the
    // file then reads.
    pdx::DataFileSummary layout;
    (void)pdx::data_file_read_summary(path.c_str(), &layout, true, true, &info.header);
    info.header_length = layout.header_length;
    // Then the read that convert and export do.
    pdx::PhaseMatrix phase;
    info.error = pdx::data_file_read(path.c_str(), nullptr, nullptr, nullptr, &phase);
    pdx::PhaseStats stats;
    if (info.error == 0 && options.stats &&
        pdx::phase_stats(phase, options.validity, &stats) == 0 && stats.count > 0) {
        info.stats = stats;
    }
    return info;
}

std::string number(double v) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    return ec == std::errc() ? std::string(text, end) : "0";
}

// A JSON string: quotes, backslashes and control characters escaped; bytes
// that are not UTF-8 (a POSIX name may hold any) become U+FFFD.
std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t n = pdx::u_utf8_length(std::string_view(s).substr(i));
                   n != 0) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out + "\"";
}

// A region as stored: a width or height above 32767 as its unsigned value,
// with the reason; with a pixel size, the map's size in its unit.
std::string region_json(const pdx::Region &r, const pdx::Scale &scale) {
    const pdx::StoredSize size = pdx::stored_size(r);
    std::string j = "{\"x\":" + std::to_string(r.x) + ",\"y\":" + std::to_string(r.y) +
                    ",\"width\":" + std::to_string(size.width) +
                    ",\"height\":" + std::to_string(size.height);
    if (size.damage != nullptr) {
        j += ",\"damage\":" + json_string(size.damage);
    } else if (scale.pixel) {
        const pdx::PixelSize &p = *scale.pixel;
        j += ",\"extent\":{\"width\":" + number(size.width * p.x) +
             ",\"height\":" + number(size.height * p.y) +
             ",\"unit\":" + json_string(pdx::unit_name(p.unit)) + "}";
    }
    return j;
}

std::uint64_t implied_size(const Info &info) {
    return pdx::data_file_summary(info.header, info.header_length).implied_size;
}

int status_of(const Info &info) {
    return info.kind != FileKind::regular ? exit_no_input
           : info.error != 0              ? exit_read_failed
                                          : exit_success;
}

std::string stats_json(const pdx::PhaseStats &s, const pdx::Scale &scale) {
    const bool any = s.valid > 0;
    const auto valid_number = [&](const std::string &text) { return any ? text : "null"; };
    std::string j = "{\"count\":" + std::to_string(s.count) +
                    ",\"valid\":" + std::to_string(s.valid) + ",\"valid_percent\":" +
                    number(100.0 * static_cast<double>(s.valid) / static_cast<double>(s.count)) +
                    ",\"min\":" + valid_number(std::to_string(s.min)) +
                    ",\"max\":" + valid_number(std::to_string(s.max)) +
                    ",\"mean\":" + valid_number(number(s.mean)) +
                    ",\"std\":" + valid_number(number(s.std_dev)) +
                    ",\"float32_exact\":" + (s.float32_exact ? "true" : "false");
    if (scale.z && any) {
        const double z = scale.z->value;
        j += ",\"heights\":{\"min\":" + number(s.min * z) + ",\"max\":" + number(s.max * z) +
             ",\"mean\":" + number(s.mean * z) + ",\"std\":" + number(s.std_dev * z) +
             ",\"unit\":" + json_string(pdx::unit_name(scale.z->unit)) + "}";
    }
    j += ",\"invalid\":[";
    for (std::size_t i = 0; i < s.named_count; ++i) {
        j += std::string(i == 0 ? "" : ",") + "{\"value\":" + std::to_string(s.named[i].value) +
             ",\"count\":" + std::to_string(s.named[i].count) + "}";
    }
    j += "],\"other_invalid\":{\"values\":" + std::to_string(s.other_values) +
         ",\"values_exact\":" + (s.other_values_exact ? "true" : "false") +
         ",\"samples\":" + std::to_string(s.other_samples) + "}}";
    return j;
}

std::string json_record(const FileName &name, const Info &info, const Options &options) {
    const pdx::DataFileHeader &h = info.header;
    const bool header = info.header_length != 0;
    std::string j =
        "{\"file\":" + json_string(name.text) + ",\"status\":" + std::to_string(status_of(info)) +
        ",\"exists\":" + (info.kind != FileKind::missing ? "true" : "false") +
        ",\"kind\":" + kind_json(info.kind) +
        ",\"reads\":" + (status_of(info) == exit_success ? "true" : "false") +
        ",\"error\":" + (info.error != 0 ? json_string(error_name(info.error)) : "null");
    j += ",\"file_size\":" + (info.file_size ? std::to_string(*info.file_size) : "null");
    j += ",\"header_length\":" + (header ? std::to_string(info.header_length) : "null");
    j += ",\"implied_size\":" + (header ? std::to_string(implied_size(info)) : "null");
    j += ",\"phase\":" + (header && h.phase_nbytes > 0
                              ? region_json(h.phase_region, options.scale) + "}"
                              : std::string("null"));
    j += ",\"intensity\":" + (header && h.intens_nbytes > 0
                                  ? region_json(h.intens_region, {}) +
                                        ",\"frames\":" + std::to_string(h.intens_n_buckets) +
                                        ",\"tag\":" + std::to_string(h.intens_tag) + "}"
                                  : std::string("null"));
    if (options.stats) {
        j += ",\"stats\":" + (info.stats ? stats_json(*info.stats, options.scale) : "null");
    }
    return j + "}\n";
}

std::string region_text(const pdx::Region &r, const pdx::Scale &scale) {
    const pdx::StoredSize size = pdx::stored_size(r);
    std::string t = std::to_string(size.width) + " x " + std::to_string(size.height) + " at (" +
                    std::to_string(r.x) + ", " + std::to_string(r.y) + ")";
    if (size.damage != nullptr) {
        t += ": ";
        t += size.damage;
    } else if (scale.pixel) {
        char extent[80];
        std::snprintf(extent, sizeof extent, ", %.6g x %.6g %s", size.width * scale.pixel->x,
                      size.height * scale.pixel->y, pdx::unit_symbol(scale.pixel->unit));
        t += extent;
    }
    return t;
}

// The --stats lines: the samples and how many are valid, the statistics of
// the valid ones (and their heights with a z scale), the invalid values met.
std::string stats_text(const pdx::PhaseStats &s, const pdx::Scale &scale) {
    char line[240];
    std::snprintf(line, sizeof line, "  samples    %llu, %llu valid (%.2f%%)\n",
                  static_cast<unsigned long long>(s.count),
                  static_cast<unsigned long long>(s.valid),
                  100.0 * static_cast<double>(s.valid) / static_cast<double>(s.count));
    std::string t = line;
    if (s.valid == 0) {
        t += "  valid      none\n";
    } else {
        std::snprintf(line, sizeof line,
                      "  valid      min %d, max %d, mean %.6g, standard deviation %.6g%s\n",
                      static_cast<int>(s.min), static_cast<int>(s.max), s.mean, s.std_dev,
                      s.float32_exact ? "" : ", some beyond 32-bit float precision");
        t += line;
        if (scale.z) {
            const double z = scale.z->value;
            const char *unit = pdx::unit_symbol(scale.z->unit);
            std::snprintf(line, sizeof line,
                          "  heights    %.6g to %.6g %s, mean %.6g %s, standard deviation "
                          "%.6g %s\n",
                          s.min * z, s.max * z, unit, s.mean * z, unit, s.std_dev * z, unit);
            t += line;
        }
    }
    if (s.named_count > 0) {
        t += "  invalid    ";
        for (std::size_t i = 0; i < s.named_count; ++i) {
            t += (i == 0 ? "" : ", ") + std::to_string(s.named[i].value) + " (" +
                 std::to_string(s.named[i].count) + ")";
        }
        if (s.other_values > 0) {
            t += std::string(" and ") + (s.other_values_exact ? "" : "at least ") +
                 std::to_string(s.other_values) + " other values (" +
                 std::to_string(s.other_samples) + ")";
        }
        t += "\n";
    }
    return t;
}

std::string text_record(const FileName &name, const Info &info, const Options &options) {
    if (info.kind != FileKind::regular) {
        return shown_name(name.text) + ": " + kind_problem(info.kind) + "\n";
    }
    const pdx::DataFileHeader &h = info.header;
    std::string t =
        shown_name(name.text) + ": " +
        (info.error == 0 ? std::string("reads") : "does not read: " + error_name(info.error)) +
        "\n";
    if (info.header_length != 0) {
        t += "  header     " + std::to_string(info.header_length) + " bytes\n";
    }
    if (info.file_size) {
        t += "  size       " + std::to_string(*info.file_size) + " bytes";
        if (info.header_length != 0) {
            t += implied_size(info) == *info.file_size
                     ? std::string(", as the header implies")
                     : ", the header implies " + std::to_string(implied_size(info));
        }
        t += "\n";
    }
    if (info.header_length != 0) {
        t += "  phase      " +
             (h.phase_nbytes > 0 ? region_text(h.phase_region, options.scale) : "none") + "\n";
        t += "  intensity  " +
             (h.intens_nbytes > 0
                  ? region_text(h.intens_region, {}) + ", " + std::to_string(h.intens_n_buckets) +
                        " frames, tag " + std::to_string(h.intens_tag)
                  : std::string("none")) +
             "\n";
    }
    if (info.stats) {
        t += stats_text(*info.stats, options.scale);
    }
    return t;
}

} // namespace

int run_info(const Options &options) {
    const std::vector<FileName> &files = options.files;
    Batch batch(files.size(), "read", !options.quiet && stderr_is_terminal());
    // Records are printed in the order the files were given, each as soon
    // as it and every one before it are done.
    std::vector<std::optional<std::string>> records(files.size());
    std::size_t printed = 0;
    std::mutex order;
    return batch.run(options.jobs, [&](std::size_t i) {
        const Info info = inspect(files[i], options);
        const int status = status_of(info);
        if (info.kind != FileKind::regular) {
            batch.failure(i, files[i].text, "input", kind_problem(info.kind), status);
        } else if (info.error != 0) {
            batch.failure(i, files[i].text, "read", error_name(info.error), status);
        }
        std::string record = options.json ? json_record(files[i], info, options)
                                          : text_record(files[i], info, options);
        const std::lock_guard lock(order);
        records[i] = std::move(record);
        while (printed < records.size() && records[printed]) {
            batch.out_text(*records[printed]);
            records[printed].reset();
            ++printed;
        }
        return status;
    });
}
