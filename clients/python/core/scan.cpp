// Statistics of a campaign: each file's header, then its phase map, then the
// statistics of its valid samples, as `pdx info --stats` takes them, over
// several threads with the interpreter lock released. pdx.scan makes the
// table from the columns this returns.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <pybind11/stl.h>

#include "core.h"
#include "pdx/datafile/data_file.h"
#include "pdx/measure/stats.h"
#include "pdx/measure/validity.h"
#include "pdx/util/errors.h"

namespace pdx_core {

using namespace pdx;

namespace {

// What one file gave: `error` is 0 or the code of the step that failed; the
// header's fields hold when `header`, the statistics when `stats` (the map
// has samples and read).
struct FileScan {
    int error = 0;
    bool header = false;
    bool stats = false;
    DataFileSummary layout;
    PhaseStats phase;
};

void scan_one(const char *path, const Validity &validity, FileScan *out) {
    out->error = data_file_read_summary(path, &out->layout, false, true);
    if (out->error != 0) {
        return;
    }
    out->header = true;
    PhaseMatrix map; // released at the end of the file: one map per thread
    out->error = data_file_read(path, nullptr, nullptr, nullptr, &map);
    if (out->error == 0 && phase_stats(map, validity, &out->phase) == 0 && out->phase.count > 0) {
        out->stats = true;
    }
}

// Scans `paths` on up to `threads` threads (this one among them), each
// taking the next file not yet taken.
void scan_files(const std::vector<std::string> &paths, const Validity &validity,
                std::size_t threads, std::vector<FileScan> &out) {
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < paths.size();) {
            scan_one(paths[i].c_str(), validity, &out[i]);
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t wanted = std::min(threads, paths.size());
    for (std::size_t t = 1; t < wanted; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::exception &) {
            break; // no more threads to be had: those started share the files
        }
    }
    work();
    for (std::thread &t : helpers) {
        t.join();
    }
}

// The rule pdx.measure.Validity describes: "markers", "all", or "chosen"
// with the range's integer bounds (None: open) and the nodata values.
Validity validity_of(const std::string &rule, std::optional<std::int32_t> lo,
                     std::optional<std::int32_t> hi, const std::vector<std::int32_t> &nodata) {
    if (rule == "markers") {
        return Validity::markers();
    }
    if (rule == "all") {
        return Validity::all();
    }
    Validity v;
    if (rule != "chosen" || Validity::chosen(ValidRange{lo, hi}, nodata, &v) != 0) {
        throw py::value_error("_scan: rule is 'markers', 'all' or 'chosen' with lo <= hi and at "
                              "most " +
                              std::to_string(Validity::kMaxNodata) + " nodata values");
    }
    return v;
}

// The columns of the table, one entry per file of `paths`: error (the
// error's name or None), header and stats (bool: whether the header's and
// the statistics' columns hold), the header's integers, the statistics'
// integers and their mean and std.
py::dict scan(const py::sequence &paths, const std::string &rule, std::optional<std::int32_t> lo,
              std::optional<std::int32_t> hi, const std::vector<std::int32_t> &nodata,
              int threads) {
    const Validity validity = validity_of(rule, lo, hi, nodata);
    const std::vector<std::string> arguments = path_arguments(paths);
    std::vector<FileScan> found(arguments.size());
    {
        py::gil_scoped_release unlocked;
        scan_files(arguments, validity, static_cast<std::size_t>(std::max(threads, 1)), found);
    }
    const auto n = static_cast<py::ssize_t>(found.size());
    const auto integers = [n] { return py::array_t<std::int64_t>(n); };
    py::array_t<bool> header(n), stats(n);
    py::array_t<std::int64_t> header_length = integers(), width = integers(), height = integers(),
                              x = integers(), y = integers(), frames = integers(),
                              count = integers(), valid = integers(), min = integers(),
                              max = integers();
    py::array_t<double> mean(n), std_dev(n);
    py::list error(n);
    for (py::ssize_t i = 0; i < n; ++i) {
        const FileScan &f = found[static_cast<std::size_t>(i)];
        const std::string_view name = f.error != 0 ? u_error_name_view(f.error) : "";
        error[i] = f.error == 0 ? py::object(py::none())
                                : py::object(py::str(name.empty() ? "ERR_UNKNOWN" : name));
        header.mutable_at(i) = f.header;
        stats.mutable_at(i) = f.stats;
        header_length.mutable_at(i) = static_cast<std::int64_t>(f.layout.header_length);
        width.mutable_at(i) = f.layout.phase.width;
        height.mutable_at(i) = f.layout.phase.height;
        x.mutable_at(i) = f.layout.phase.x;
        y.mutable_at(i) = f.layout.phase.y;
        frames.mutable_at(i) = f.layout.frames;
        count.mutable_at(i) = static_cast<std::int64_t>(f.phase.count);
        valid.mutable_at(i) = static_cast<std::int64_t>(f.phase.valid);
        min.mutable_at(i) = f.phase.min;
        max.mutable_at(i) = f.phase.max;
        mean.mutable_at(i) = f.phase.mean;
        std_dev.mutable_at(i) = f.phase.std_dev;
    }
    py::dict columns;
    columns["error"] = error;
    columns["header"] = header;
    columns["stats"] = stats;
    columns["header_length"] = header_length;
    columns["width"] = width;
    columns["height"] = height;
    columns["x"] = x;
    columns["y"] = y;
    columns["frames"] = frames;
    columns["count"] = count;
    columns["valid"] = valid;
    columns["min"] = min;
    columns["max"] = max;
    columns["mean"] = mean;
    columns["std"] = std_dev;
    return columns;
}

} // namespace

void define_scan(py::module_ &m) {
    m.def("_scan", &scan, py::arg("paths"), py::kw_only(), py::arg("rule"), py::arg("lo"),
          py::arg("hi"), py::arg("nodata"), py::arg("threads"),
          "_scan(paths, *, rule, lo, hi, nodata, threads) -> dict of columns: each file's "
          "header and phase statistics, on `threads` threads (used by pdx.scan).");
}

} // namespace pdx_core
