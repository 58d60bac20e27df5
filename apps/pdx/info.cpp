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
#include "pdx/util/errors.h"
#include "pdx/util/utf8.h"
#include "shown_name.h"

namespace {

struct Stats {
    std::uint64_t count = 0;
    std::int32_t min = 0;
    std::int32_t max = 0;
    double mean = 0;
    double std_dev = 0;      // population standard deviation
    bool float_exact = true; // every |v| <= 2^24
};

struct Info {
    FileKind kind = FileKind::missing; // only a regular file is read
    int error = 0;                     // of the phase read; 0: it reads
    std::optional<unsigned long long> file_size;
    // From the header, when it could be read.
    std::size_t header_length = 0; // 0: unknown
    pdx::DataFileHeader header{};
    std::optional<Stats> stats;
};

// Over the phase samples: the extremes and an exact 64-bit sum in one pass
// (|sum| < 2^31 * 2^30 fits), then the squared deviations from the mean in
// long double, row by row, so that no partial sum holds more than one row
// and one total.
Stats phase_stats(const pdx::PhaseMatrix &m) {
    Stats s;
    const std::size_t width = static_cast<std::size_t>(m.width);
    const std::size_t height = static_cast<std::size_t>(m.height);
    s.count = std::uint64_t(width) * height;
    if (s.count == 0) {
        return s;
    }
    std::int64_t sum = 0;
    std::int32_t lo = m.matrix[0], hi = m.matrix[0];
    for (std::size_t i = 0; i < s.count; ++i) {
        const std::int32_t v = m.matrix[i];
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        sum += v;
    }
    s.min = lo;
    s.max = hi;
    s.float_exact = lo >= -(1 << 24) && hi <= (1 << 24);
    const long double mean = static_cast<long double>(sum) / static_cast<long double>(s.count);
    long double squares = 0;
    for (std::size_t r = 0; r < height; ++r) {
        const std::int32_t *row = m.matrix + r * width;
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

Info inspect(const FileName &name, bool want_stats) {
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
    if (info.error == 0 && want_stats) {
        info.stats = phase_stats(phase);
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

std::string region_json(const pdx::Region &r) {
    return "{\"x\":" + std::to_string(r.x) + ",\"y\":" + std::to_string(r.y) +
           ",\"width\":" + std::to_string(r.width) + ",\"height\":" + std::to_string(r.height);
}

std::uint64_t implied_size(const Info &info) {
    return pdx::data_file_summary(info.header, info.header_length).implied_size;
}

int status_of(const Info &info) {
    return info.kind != FileKind::regular ? exit_no_input
           : info.error != 0              ? exit_read_failed
                                          : exit_success;
}

std::string json_record(const FileName &name, const Info &info, bool want_stats) {
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
    j += ",\"phase\":" +
         (header && h.phase_nbytes > 0 ? region_json(h.phase_region) + "}" : std::string("null"));
    j += ",\"intensity\":" +
         (header && h.intens_nbytes > 0
              ? region_json(h.intens_region) + ",\"frames\":" + std::to_string(h.intens_n_buckets) +
                    ",\"tag\":" + std::to_string(h.intens_tag) + "}"
              : std::string("null"));
    if (want_stats) {
        j += ",\"stats\":";
        if (info.stats && info.stats->count > 0) {
            const Stats &s = *info.stats;
            j += "{\"count\":" + std::to_string(s.count) + ",\"min\":" + std::to_string(s.min) +
                 ",\"max\":" + std::to_string(s.max) + ",\"mean\":" + number(s.mean) +
                 ",\"std\":" + number(s.std_dev) +
                 ",\"float32_exact\":" + (s.float_exact ? "true" : "false") + "}";
        } else {
            j += "null";
        }
    }
    return j + "}\n";
}

std::string region_text(const pdx::Region &r) {
    return std::to_string(r.width) + " x " + std::to_string(r.height) + " at (" +
           std::to_string(r.x) + ", " + std::to_string(r.y) + ")";
}

std::string text_record(const FileName &name, const Info &info, bool want_stats) {
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
        t += "  phase      " + (h.phase_nbytes > 0 ? region_text(h.phase_region) : "none") + "\n";
        t += "  intensity  " +
             (h.intens_nbytes > 0
                  ? region_text(h.intens_region) + ", " + std::to_string(h.intens_n_buckets) +
                        " frames, tag " + std::to_string(h.intens_tag)
                  : std::string("none")) +
             "\n";
    }
    if (want_stats && info.stats && info.stats->count > 0) {
        const Stats &s = *info.stats;
        char line[200];
        std::snprintf(line, sizeof line,
                      "  samples    %llu, min %d, max %d, mean %.6g, standard deviation %.6g%s\n",
                      static_cast<unsigned long long>(s.count), static_cast<int>(s.min),
                      static_cast<int>(s.max), s.mean, s.std_dev,
                      s.float_exact ? "" : ", some beyond 32-bit float precision");
        t += line;
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
        const Info info = inspect(files[i], options.stats);
        const int status = status_of(info);
        if (info.kind != FileKind::regular) {
            batch.failure(i, files[i].text, "input", kind_problem(info.kind), status);
        } else if (info.error != 0) {
            batch.failure(i, files[i].text, "read", error_name(info.error), status);
        }
        std::string record = options.json ? json_record(files[i], info, options.stats)
                                          : text_record(files[i], info, options.stats);
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
