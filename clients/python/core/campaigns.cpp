// Campaigns: many data files of one layout, as the xarray engine opens
// them: each file's layout from its header, then one block of each file
// into a row of one array.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core.h"
#include "pdx/datafile/data_file.h"
#include "pdx/util/errors.h"

namespace pdx_core {

using namespace pdx;

namespace {

// One file's layout, as read_layouts hands it to numpy: a record of named
// fields. An absent block has a region of zeros, no frames and no tag.
struct LayoutRecord {
    std::int64_t phase_height, phase_width, phase_x, phase_y;
    std::int64_t frames, intensity_height, intensity_width, intensity_x, intensity_y;
    std::int64_t header_length, intensity_tag;
    std::int64_t implied_size; // the header's and both blocks' bytes
};

// The layout of each file of `paths`, from its header alone, one record per
// file; the interpreter lock is released over the whole list. The first
// file that cannot be read raises, under its own name; of the blocks, only
// those asked for (`intensity`, `phase`) are checked, and the fields of the
// others hold what the header says, unchecked.
py::array_t<LayoutRecord> read_layouts(const py::sequence &paths, bool intensity, bool phase) {
    const std::vector<std::string> arguments = path_arguments(paths);
    const auto count = static_cast<py::ssize_t>(arguments.size());
    py::array_t<LayoutRecord> records(count);
    LayoutRecord *record = records.mutable_data();
    int rc = 0;
    py::ssize_t failed = 0;
    {
        py::gil_scoped_release unlocked;
        for (; failed < count; ++failed, ++record) {
            DataFileSummary l;
            rc = data_file_read_summary(arguments[failed].c_str(), &l, intensity, phase);
            if (rc != 0) {
                break;
            }
            *record = LayoutRecord{l.phase.height,
                                   l.phase.width,
                                   l.phase.x,
                                   l.phase.y,
                                   l.frames,
                                   l.intensity.height,
                                   l.intensity.width,
                                   l.intensity.x,
                                   l.intensity.y,
                                   static_cast<std::int64_t>(l.header_length),
                                   l.tag,
                                   static_cast<std::int64_t>(l.implied_size)};
        }
    }
    if (rc != 0) {
        raise_error(rc, "reading", paths[failed]);
    }
    return records;
}

std::string describe(bool phase, const BlockGeometry &g) {
    const auto n = [](int v) { return std::to_string(v); };
    return (phase ? "phase (" : "intensity (" + n(g.frames) + ", ") + n(g.region.height) + ", " +
           n(g.region.width) + ") at (" + n(g.region.x) + ", " + n(g.region.y) + ")";
}

// Reads the phase map (`phase` true) or the intensity frames of each file of
// `paths` into out[i]: out is a C-contiguous int32 array (files, height,
// width) or uint16 array (files, frames, height, width), zero-filled (the
// samples a file does not hold are left as they are). Every file must
// hold that block at `origin` (x, y) with out's shape past the first axis;
// one that does not has changed since its header was read and raises
// OSError, naming it and what it holds. The interpreter lock is released
// over the whole list.
void read_stack(const py::sequence &paths, bool phase, std::pair<int, int> origin, py::array out) {
    const std::vector<std::string> arguments = path_arguments(paths);
    const auto count = static_cast<py::ssize_t>(arguments.size());
    const bool dtype_fits = phase ? out.dtype().is(py::dtype::of<std::int32_t>())
                                  : out.dtype().is(py::dtype::of<std::uint16_t>());
    if (!dtype_fits || out.ndim() != (phase ? 3 : 4) || out.shape(0) != count ||
        !(out.flags() & py::array::c_style) || !out.writeable() ||
        !out.attr("flags").attr("aligned").cast<bool>()) {
        throw py::value_error(std::string("_read_stack needs a writeable, aligned, C-contiguous ") +
                              (phase ? "int32 array (files, height, width)"
                                     : "uint16 array (files, frames, height, width)") +
                              " with one row per path");
    }
    const py::ssize_t frames = phase ? 0 : out.shape(1);
    const py::ssize_t height = out.shape(phase ? 1 : 2);
    const py::ssize_t width = out.shape(phase ? 2 : 3);
    const auto fits = [](py::ssize_t v, py::ssize_t lo) { return v >= lo && v <= INT16_MAX; };
    if (!fits(origin.first, INT16_MIN) || !fits(origin.second, INT16_MIN) || !fits(frames, 0) ||
        !fits(height, 0) || !fits(width, 0)) {
        throw py::value_error("_read_stack: no data file holds a block of that shape or origin");
    }
    const BlockGeometry expected{
        Region{static_cast<std::int16_t>(origin.first), static_cast<std::int16_t>(origin.second),
               static_cast<std::int16_t>(width), static_cast<std::int16_t>(height)},
        static_cast<std::int16_t>(frames)};
    const std::size_t samples = static_cast<std::size_t>(height) * static_cast<std::size_t>(width) *
                                static_cast<std::size_t>(phase ? 1 : frames);
    const std::size_t bytes = samples * static_cast<std::size_t>(out.itemsize());
    auto *base = static_cast<unsigned char *>(out.mutable_data());

    int rc = 0;
    BlockGeometry found;
    py::ssize_t at = 0;
    {
        py::gil_scoped_release unlocked;
        for (; at < count; ++at) {
            unsigned char *row = base + static_cast<std::size_t>(at) * bytes;
            rc = data_file_read_block(arguments[at].c_str(), phase, expected, row, samples, &found);
            if (rc != 0 || !(found == expected)) {
                break;
            }
        }
    }
    if (rc != 0) {
        raise_error(rc, "reading", paths[at]);
    }
    if (at < count) {
        const std::string message = shown(paths[at]) +
                                    " changed since it was opened: " + describe(phase, found) +
                                    ", not " + describe(phase, expected);
        PyErr_SetString(PyExc_OSError, message.c_str());
        throw py::error_already_set();
    }
}

} // namespace

void define_campaigns(py::module_ &m) {
    PYBIND11_NUMPY_DTYPE(LayoutRecord, phase_height, phase_width, phase_x, phase_y, frames,
                         intensity_height, intensity_width, intensity_x, intensity_y, header_length,
                         intensity_tag, implied_size);
    m.def("_read_layouts", &read_layouts, py::arg("paths"), py::kw_only(),
          py::arg("intensity") = true, py::arg("phase") = true,
          "_read_layouts(paths, *, intensity=True, phase=True) -> record array (files,): the "
          "layout of each file from its header, the blocks asked for checked (used by the xarray "
          "engine).");
    m.def("_read_stack", &read_stack, py::arg("paths"), py::arg("phase"), py::arg("origin"),
          py::arg("out"),
          "_read_stack(paths, phase, origin, out): one block of each file into out[i], which "
          "comes zero-filled (used by the xarray engine).");
}

} // namespace pdx_core
