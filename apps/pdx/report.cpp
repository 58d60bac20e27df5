// pdx report: one HTML page to screen a campaign, with each file's preview,
// geometry, valid share, statistics and colour range, the files that do not
// read listed first. The page needs nothing but a browser, offline: the
// style and the sorting script are in it, and the previews are PNG files in
// a folder beside it (NAME_files/ for NAME.html), loaded as they scroll
// into view.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "common/console.h"
#include "common/exit_status.h"
#include "file_identity.h"
#include "file_kind.h"
#include "pdx/datafile/data_file.h"
#include "pdx/export/export.h"
#include "pdx/measure/scale.h"
#include "pdx/measure/stats.h"
#include "pdx/output/output_file.h"
#include "pdx/util/errors.h"
#include "pdx/util/file.h"
#include "pdx/util/utf8.h"
#include "shown_name.h"

#ifndef PDX_VERSION
#define PDX_VERSION "unknown"
#endif

namespace {

namespace fs = std::filesystem;

struct Row {
    std::string problem; // why the file is left out; "" when it reads
    int width = 0, height = 0, x = 0, y = 0;
    std::optional<pdx::PhaseStats> stats; // of a map of one sample or more
    bool has_range = false;
    std::int32_t lo = 0, hi = 0;
    bool preview = false;
};

// Text as HTML shows it: markup escaped, and bytes that are not UTF-8 (a
// POSIX name may hold any) as U+FFFD.
std::string html(const std::string &s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const char *esc = c == '&'   ? "&amp;"
                          : c == '<' ? "&lt;"
                          : c == '>' ? "&gt;"
                          : c == '"' ? "&quot;"
                                     : nullptr;
        if (esc != nullptr) {
            out += esc;
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
            ++i;
            continue;
        }
        if (const std::size_t n = pdx::u_utf8_length(std::string_view(s).substr(i)); n != 0) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

// A path's component in a URL: every byte but the unreserved ones escaped.
std::string url_part(const std::string &s) {
    std::string out;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += ch;
        } else {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02X", c);
            out += esc;
        }
    }
    return out;
}

std::string fixed(double v, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

// A value to 6 significant digits, as the table shows it.
std::string shown(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

// A cell with its sort key: `key` empty sorts last.
std::string cell(const std::string &text, const std::string &key, const char *cls = "num") {
    return std::string("<td class=\"") + cls + "\" data-v=\"" + key + "\">" + text + "</td>";
}

std::string preview_name(std::size_t index) {
    char name[32];
    std::snprintf(name, sizeof name, "%05zu.png", index + 1);
    return name;
}

const char kStyle[] = R"(<style>
body{font:14px/1.4 system-ui,sans-serif;margin:1em 2em;color:#222;background:#fff}
h1{font-size:1.4em;margin:.2em 0}
p.about{color:#555;margin:.2em 0 1em}
#failures{border:2px solid #b00020;background:#fdecee;padding:.4em 1em;margin:0 0 1em}
#failures h2{font-size:1.1em;color:#b00020;margin:.3em 0}
#failures li{font-family:monospace}
table{border-collapse:collapse}
th,td{border-bottom:1px solid #ddd;padding:3px 8px;vertical-align:middle}
th{position:sticky;top:0;background:#f4f4f4;cursor:pointer;user-select:none;text-align:left}
th[aria-sort=ascending]::after{content:" \25B2"}
th[aria-sort=descending]::after{content:" \25BC"}
td.num{text-align:right;font-variant-numeric:tabular-nums}
td.name{font-family:monospace;white-space:nowrap}
td.thumb{width:SIZEpx;text-align:center;padding:2px 8px}
td.thumb img{max-width:SIZEpx;max-height:SIZEpx;background:repeating-conic-gradient(#ccc 0 25%,#fff 0 50%) 0 0/12px 12px;image-rendering:pixelated}
</style>
)";

// Sorts the table by the column clicked, again for the other way round:
// numbers by value, names in natural order (run2 before run10, case
// ignored); empty keys last either way.
const char kScript[] = R"(<script>
(function () {
  var table = document.getElementById("maps");
  var heads = table.tHead.rows[0].cells;
  var names = new Intl.Collator(undefined, {numeric: true, sensitivity: "base"});
  function sortBy(col, down) {
    var body = table.tBodies[0];
    var rows = Array.prototype.slice.call(body.rows);
    var numeric = heads[col].dataset.type === "num";
    rows.sort(function (a, b) {
      var x = a.cells[col].dataset.v, y = b.cells[col].dataset.v;
      if (x === "" || y === "") return (x === "") - (y === "");
      var c = numeric ? Number(x) - Number(y) : names.compare(x, y);
      return down ? -c : c;
    });
    rows.forEach(function (r) { body.appendChild(r); });
    for (var i = 0; i < heads.length; i++) heads[i].removeAttribute("aria-sort");
    heads[col].setAttribute("aria-sort", down ? "descending" : "ascending");
  }
  Array.prototype.forEach.call(heads, function (th, col) {
    if (!th.dataset.type) return;
    th.addEventListener("click", function () {
      sortBy(col, th.getAttribute("aria-sort") === "ascending");
    });
  });
})();
</script>
)";

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (std::size_t at = s.find(from); at != std::string::npos;
         at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

std::string page(const Options &options, const std::vector<Row> &rows,
                 const std::string &folder_url) {
    const std::vector<FileName> &files = options.files;
    const pdx::Scale &scale = options.scale;
    const double z = scale.z ? scale.z->value : 1.0;
    const std::string unit = scale.z ? pdx::unit_name(scale.z->unit) : "count";
    std::size_t failed = 0;
    for (const Row &r : rows) {
        failed += r.problem.empty() ? 0 : 1;
    }
    std::string h = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                    "<meta name=\"generator\" content=\"pdx " PDX_VERSION "\">\n"
                    "<title>pdx report: " +
                    std::to_string(files.size()) + " files</title>\n";
    h += replace_all(kStyle, "SIZE", std::to_string(options.exporting.png_size));
    h += "</head>\n<body>\n<h1>" + std::to_string(files.size()) + " files, " +
         std::to_string(failed) +
         " not readable</h1>\n<p class=\"about\">Statistics over the "
         "valid samples, in " +
         html(unit) +
         (scale.z ? " (" + shown(scale.z->value) + " " + html(unit) + " a count)" : std::string()) +
         "; previews coloured from the 0.5th to the 99.5th percentile of the valid samples, "
         "invalid samples transparent. Click a heading to sort.</p>\n";
    if (failed > 0) {
        h += "<section id=\"failures\">\n<h2>Not readable (" + std::to_string(failed) +
             ")</h2>\n<ul>\n";
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (!rows[i].problem.empty()) {
                h += "<li><span class=\"file\">" + html(files[i].text) +
                     "</span>: <span class=\"error\">" + html(rows[i].problem) + "</span></li>\n";
            }
        }
        h += "</ul>\n</section>\n";
    }
    h += "<table id=\"maps\">\n<thead><tr><th>Preview</th><th data-type=\"text\">File</th>"
         "<th data-type=\"num\">Width</th><th data-type=\"num\">Height</th>"
         "<th data-type=\"num\">X</th><th data-type=\"num\">Y</th>"
         "<th data-type=\"num\">Valid %</th>";
    for (const char *heading :
         {"Minimum", "Maximum", "Mean", "Std. dev.", "Colours from", "Colours to"}) {
        h += std::string("<th data-type=\"num\">") + heading + " (" + html(unit) + ")</th>";
    }
    h += "</tr></thead>\n<tbody>\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row &r = rows[i];
        if (!r.problem.empty()) {
            continue;
        }
        const std::string name = html(files[i].text);
        h += "<tr><td class=\"thumb\">";
        if (r.preview) {
            h += "<img loading=\"lazy\" decoding=\"async\" alt=\"\" src=\"" + folder_url + "/" +
                 preview_name(i) + "\">";
        }
        h += "</td>" + cell(name, name, "name");
        for (const int v : {r.width, r.height, r.x, r.y}) {
            h += cell(std::to_string(v), std::to_string(v));
        }
        if (r.stats && r.stats->valid > 0) {
            const pdx::PhaseStats &s = *r.stats;
            const double percent =
                100.0 * static_cast<double>(s.valid) / static_cast<double>(s.count);
            h += cell(fixed(percent, 1), shown(percent));
            for (const double v : {s.min * z, s.max * z, s.mean * z, s.std_dev * z}) {
                h += cell(shown(v), shown(v));
            }
        } else {
            h += cell("0.0", "0");
            for (int k = 0; k < 4; ++k) {
                h += cell("", "");
            }
        }
        if (r.has_range) {
            h += cell(shown(r.lo * z), shown(r.lo * z)) + cell(shown(r.hi * z), shown(r.hi * z));
        } else {
            h += cell("", "") + cell("", "");
        }
        h += "</tr>\n";
    }
    h += "</tbody>\n</table>\n";
    h += kScript;
    h += "</body>\n</html>\n";
    return h;
}

} // namespace

int run_report(const Options &options) {
    const std::vector<FileName> &inputs = options.files;
    const FileName page_name = options.report ? *options.report
                                              : file_name(NativeString(
#ifdef _WIN32
                                                    L"report.html"
#else
                                                    "report.html"
#endif
                                                    ));
    // The previews' folder beside the page: report_files for report.html.
    fs::path folder(page_name.native);
    folder.replace_extension();
    folder += fs::path("_files");
    const FileName folder_name = file_name(folder.native());
    const std::string folder_url = url_part(base_name(folder_name));

    const auto page_problem = [&](const std::string &problem) {
        write_text(stderr, "pdx: " + quoted_name(page_name.text) + ": page: " + problem + "\n");
    };
    const std::string page_path = page_name.path();
    if (!options.force && pdx::u_file_exists(page_path.c_str())) {
        page_problem("already exists");
        return exit_output_exists;
    }
    // Neither the page nor a preview may be one of the inputs, with -f or
    // without (file_identity.h).
    std::map<FileIdentity, std::size_t> input_files;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        input_files.emplace(file_identity(inputs[i]), i);
    }
    if (const auto in = input_files.find(file_identity(page_name)); in != input_files.end()) {
        page_problem("would replace the input " + quoted_name(inputs[in->second].text));
        return exit_output_exists;
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !is_directory(folder_name)) {
        write_text(stderr, "pdx: " + quoted_name(folder_name.text) + ": previews folder: " +
                               (ec ? "cannot be made: " + ec.message() : "is not a folder") + "\n");
        return exit_write_failed;
    }

    std::vector<Row> rows(inputs.size());
    Batch batch(inputs.size(), "reported", !options.quiet && stderr_is_terminal());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (const FileKind kind = file_kind(inputs[i]); kind != FileKind::regular) {
            rows[i].problem = kind_problem(kind);
            batch.failure(i, inputs[i].text, "input", rows[i].problem, exit_no_input);
        } else if (const auto in = input_files.find(
                       file_identity(file_name((folder / preview_name(i)).native())));
                   in != input_files.end()) {
            rows[i].problem =
                "its preview would replace the input " + quoted_name(inputs[in->second].text);
            batch.failure(i, inputs[i].text, "preview", rows[i].problem, exit_output_exists);
        }
    }
    int status = batch.run(options.jobs, [&](std::size_t i) {
        const FileName &input = inputs[i];
        Row &row = rows[i];
        pdx::PhaseMatrix phase;
        int rc = pdx::data_file_read(input.path().c_str(), nullptr, nullptr, nullptr, &phase);
        if (rc != 0) {
            row.problem = error_name(rc);
            batch.failure(i, input.text, "read", row.problem, exit_read_failed);
            return static_cast<int>(exit_read_failed);
        }
        row.width = phase.width;
        row.height = phase.height;
        row.x = phase.x;
        row.y = phase.y;
        pdx::PhaseStats stats;
        if (pdx::phase_stats(phase, options.validity, &stats) == 0 && stats.count > 0) {
            row.stats = stats;
        }
        if (phase.width <= 0 || phase.height <= 0) {
            return static_cast<int>(exit_success); // no phase map: no preview
        }
        pdx::ExportOptions how = options.exporting;
        const std::string title = base_name(input);
        how.format = pdx::ExportFormat::png;
        how.title = title;
        how.publish = pdx::UPublish::replace; // the page's own folder
        how.validity = options.validity;
        how.scale = options.scale;
        how.origin = pdx::Origin{phase.x, phase.y};
        how.software = "pdx " PDX_VERSION;
        pdx::ExportNotes notes;
        how.notes = &notes;
        std::string left_behind;
        how.left_behind = &left_behind;
        const FileName preview = file_name((folder / preview_name(i)).native());
        rc = pdx::export_matrix(preview.path().c_str(), phase, how);
        if (!left_behind.empty()) {
            batch.report(input.text, "preview " + quoted_name(preview.text),
                         "the temporary file " + quoted_name(left_behind) +
                             " could not be removed");
        }
        if (rc != 0) {
            batch.failure(i, input.text, "write " + quoted_name(preview.text), error_name(rc),
                          exit_write_failed);
            return static_cast<int>(exit_write_failed);
        }
        row.preview = true;
        row.has_range = notes.has_colour_range;
        row.lo = notes.colour_lo;
        row.hi = notes.colour_hi;
        return static_cast<int>(exit_success);
    });
    if (status == exit_stdout_failed) {
        return status;
    }
    const std::string text = page(options, rows, folder_url);
    std::string left_behind;
    const int rc = pdx::u_write_output(
        page_path.c_str(), options.force ? pdx::UPublish::replace : pdx::UPublish::if_absent,
        &left_behind, [&](std::FILE *out) {
            return std::fwrite(text.data(), 1, text.size(), out) == text.size()
                       ? 0
                       : static_cast<int>(pdx::ERR_CANT_WRITE_FILE);
        });
    if (!left_behind.empty()) {
        write_text(stderr, "pdx: " + quoted_name(page_name.text) + ": the temporary file " +
                               quoted_name(left_behind) + " could not be removed\n");
    }
    if (rc == pdx::ERR_CANT_CREATE_FILE) {
        page_problem("already exists");
        return std::max<int>(status, exit_output_exists);
    }
    if (rc != 0) {
        page_problem("write: " + error_name(rc));
        return std::max<int>(status, exit_write_failed);
    }
    return status;
}
