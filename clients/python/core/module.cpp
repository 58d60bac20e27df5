// The compiled core of the Python package `pdx` (pdx._core): the data file
// reader and the data matrix file over numpy arrays. Sample buffers pass to
// numpy without a copy: each array owns the matrix it was read into, through
// a capsule whose destructor gives the buffer back to the library's
// allocator. The interpreter lock is released while files are read and
// written.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pdx/datafile/data_file.h"
#include "pdx/datafile/matrix_file.h"
#include "pdx/util/errors.h"
#include "pdx/util/hooks.h"
#include "pdx/util/path.h"

namespace py = pybind11;

using namespace pdx;

namespace {

// ---- Allocation hooks -------------------------------------------------------

// The module's hooks count the blocks the library obtained and has not given
// back, for the tests (pdx._testing.live_blocks), and pass every call on to
// the hooks they replaced: the library's defaults put large sample buffers
// on huge pages, as numpy does for its own arrays, and take zeroed ones
// (intensity frames a file fills only in part) as fresh pages that cost
// nothing until written. u_calloc is replaced along with u_malloc, so that the
// library takes those from it instead of clearing blocks of u_malloc.
std::atomic<long> g_live_blocks{0};
u_malloc_fn g_next_malloc = nullptr;
u_calloc_fn g_next_calloc = nullptr;
u_free_fn g_next_free = nullptr;

void *counted(void *block) {
    if (block != nullptr) {
        g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    }
    return block;
}

void *counting_malloc(std::size_t size) {
    return counted(g_next_malloc(size));
}

void *counting_calloc(std::size_t count, std::size_t size) {
    return counted(g_next_calloc(count, size));
}

void counting_free(void *block) {
    if (block != nullptr) {
        g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    }
    g_next_free(block);
}

// ---- Errors -----------------------------------------------------------------

py::object g_error_type; // pdx.Error

// The path the caller gave, as messages show it: the repr of its text.
std::string shown(const py::handle &path) {
    return py::repr(py::module_::import("os").attr("fsdecode")(path)).cast<std::string>();
}

// Raises pdx.Error for library code `code` from `what` (e.g. "reading") on
// the path the caller gave.
[[noreturn]] void raise_error(int code, const char *what, const py::object &path) {
    const std::string_view known = code != 0 ? u_error_name_view(code) : std::string_view();
    const std::string name(known.empty() ? "ERR_UNKNOWN" : known);
    const std::string message = std::string(what) + " " + shown(path) + " failed: " + name;
    py::object error = g_error_type(message);
    error.attr("code") = code;
    error.attr("name") = name;
    PyErr_SetObject(g_error_type.ptr(), error.ptr());
    throw py::error_already_set();
}

// ---- Paths ------------------------------------------------------------------

// A path argument for the library, made from str, bytes or os.PathLike:
// the file system's bytes (os.fsencode) on POSIX, the UTF-16 name on
// Windows, by the library's rule for a name given in either form.
std::string path_argument(const py::object &path) {
    const py::object text = py::module_::import("os").attr("fspath")(path);
#ifdef _WIN32
    py::object unicode =
        py::isinstance<py::bytes>(text) ? py::module_::import("os").attr("fsdecode")(text) : text;
    Py_ssize_t units = 0;
    wchar_t *name = PyUnicode_AsWideCharString(unicode.ptr(), &units);
    if (name == nullptr) {
        throw py::error_already_set();
    }
    const std::u16string_view view(reinterpret_cast<const char16_t *>(name),
                                   static_cast<std::size_t>(units));
    const bool has_null = view.find(u'\0') != std::u16string_view::npos;
    std::string argument = u_path_from_utf16(view);
    PyMem_Free(name);
    if (has_null) {
        throw py::value_error("embedded null character in path");
    }
    return argument;
#else
    const std::string name = py::bytes(py::module_::import("os").attr("fsencode")(text));
    if (name.find('\0') != std::string::npos) {
        throw py::value_error("embedded null byte in path");
    }
    return u_path_from_bytes(name);
#endif
}

// ---- Arrays over library buffers -------------------------------------------

// Moves `matrix` to the heap and hands numpy an array over its buffer that
// keeps it alive; `shape` must not need more samples than the buffer holds.
template <typename Sample, typename Matrix>
py::array_t<Sample> adopt(Matrix &matrix, std::vector<py::ssize_t> shape) {
    py::ssize_t count = 1;
    for (const py::ssize_t n : shape) {
        count *= n;
    }
    if (count == 0 || matrix.matrix == nullptr) {
        return py::array_t<Sample>(std::vector<py::ssize_t>(shape.size(), 0));
    }
    // The capsule's destructor deletes the matrix, which gives its buffer
    // back through u_free.
    auto owner = std::make_unique<Matrix>(std::move(matrix));
    py::capsule keeper(owner.get(), [](void *p) { delete static_cast<Matrix *>(p); });
    Sample *samples = owner.release()->matrix;
    return py::array_t<Sample>(std::move(shape), samples, keeper);
}

// ---- The data file ----------------------------------------------------------

struct DataFile {
    py::object phase, phase_origin, intensity, intensity_origin, intensity_tag;
    py::object header_length, header;
};

py::dict header_mapping(const HeaderPreamble &preamble, const HeaderBody &body) {
    py::dict fields;
    for (const HeaderField &f : header_fields()) {
        const auto *base = f.in_body ? reinterpret_cast<const unsigned char *>(&body)
                                     : reinterpret_cast<const unsigned char *>(&preamble);
        const unsigned char *at = base + f.record_offset;
        py::object value;
        if (f.kind == HeaderFieldKind::bytes) {
            value = py::bytes(reinterpret_cast<const char *>(at), f.length);
        } else if (f.length == 2) {
            std::uint16_t v;
            std::memcpy(&v, at, 2);
            value = py::int_(v);
        } else {
            std::uint32_t v;
            std::memcpy(&v, at, 4);
            value = py::int_(v);
        }
        fields[py::int_(f.offset)] = value;
    }
    return fields;
}

DataFile read_data_file(const py::object &path, bool want_intensity, bool want_phase) {
    const std::string argument = path_argument(path);
    auto preamble = std::make_unique<HeaderPreamble>();
    auto body = std::make_unique<HeaderBody>();
    IntensityMatrix intensity;
    PhaseMatrix phase;
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = data_file_read(argument.c_str(), preamble.get(), body.get(),
                            want_intensity ? &intensity : nullptr, want_phase ? &phase : nullptr);
    }
    if (rc != 0) {
        raise_error(rc, "reading", path);
    }
    DataFile file;
    file.phase_origin = py::make_tuple(phase.x, phase.y);
    file.intensity_origin = py::make_tuple(intensity.x, intensity.y);
    file.intensity_tag = py::int_(intensity.tag);
    file.phase = adopt<std::int32_t>(phase, {phase.height, phase.width});
    file.intensity =
        adopt<std::uint16_t>(intensity, {intensity.n_buckets, intensity.height, intensity.width});
    file.header_length = py::int_(data_file_header_length(*body));
    file.header = header_mapping(*preamble, *body);
    return file;
}

// ---- The header alone -------------------------------------------------------

// What a data file holds, from its header: enough to lay out its arrays
// without reading them (the xarray backend opens files this way).
struct DataFileInfo {
    py::object phase_shape, phase_origin, intensity_shape, intensity_origin, intensity_tag;
    py::object header_length, header;
};

DataFileInfo read_data_file_info(const py::object &path) {
    const std::string argument = path_argument(path);
    auto record = std::make_unique<DataFileHeader>();
    DataFileSummary layout;
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = data_file_read_summary(argument.c_str(), &layout, true, true, record.get());
    }
    if (rc != 0) {
        raise_error(rc, "reading", path);
    }
    const Region &p = layout.phase;
    const Region &i = layout.intensity;
    DataFileInfo info;
    info.phase_shape = py::make_tuple(p.height, p.width);
    info.phase_origin = py::make_tuple(p.x, p.y);
    info.intensity_shape = py::make_tuple(layout.frames, i.height, i.width);
    info.intensity_origin = py::make_tuple(i.x, i.y);
    info.intensity_tag = py::int_(layout.tag);
    info.header_length = py::int_(layout.header_length);
    info.header = header_mapping(record->preamble, record->body);
    return info;
}

// Whether the file at `path` begins with a data file's magic number.
bool is_data_file(const py::object &path) {
    const std::string argument = path_argument(path);
    py::gil_scoped_release unlocked;
    return data_file_has_magic(argument.c_str());
}

// ---- Many files of one layout ----------------------------------------------

std::vector<std::string> path_arguments(const py::sequence &paths) {
    std::vector<std::string> arguments;
    arguments.reserve(py::len(paths));
    for (const py::handle path : paths) {
        arguments.push_back(path_argument(py::reinterpret_borrow<py::object>(path)));
    }
    return arguments;
}

// The columns of read_layouts' rows.
constexpr py::ssize_t kLayoutColumns = 11;

// The layout of each file of `paths`, from its header alone, as rows of
// (phase height, width, x, y, frames, intensity height, width, x, y, header
// length, intensity tag); the interpreter lock is released over the whole
// list. The first file that cannot be read raises, under its own name; of
// the blocks, only those asked for (`intensity`, `phase`) are checked, and
// the columns of the others hold what the header says, unchecked.
py::array_t<std::int64_t> read_layouts(const py::sequence &paths, bool intensity, bool phase) {
    const std::vector<std::string> arguments = path_arguments(paths);
    const auto count = static_cast<py::ssize_t>(arguments.size());
    py::array_t<std::int64_t> rows({count, kLayoutColumns});
    std::int64_t *row = rows.mutable_data();
    int rc = 0;
    py::ssize_t failed = 0;
    {
        py::gil_scoped_release unlocked;
        for (; failed < count; ++failed, row += kLayoutColumns) {
            DataFileSummary l;
            rc = data_file_read_summary(arguments[failed].c_str(), &l, intensity, phase);
            if (rc != 0) {
                break;
            }
            const std::int64_t values[kLayoutColumns] = {l.phase.height,
                                                         l.phase.width,
                                                         l.phase.x,
                                                         l.phase.y,
                                                         l.frames,
                                                         l.intensity.height,
                                                         l.intensity.width,
                                                         l.intensity.x,
                                                         l.intensity.y,
                                                         static_cast<std::int64_t>(l.header_length),
                                                         l.tag};
            std::copy(std::begin(values), std::end(values), row);
        }
    }
    if (rc != 0) {
        raise_error(rc, "reading", paths[failed]);
    }
    return rows;
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

// ---- The data matrix file ---------------------------------------------------

py::array_t<std::int32_t> read_matrix_file(const py::object &path, bool big_endian) {
    const std::string argument = path_argument(path);
    PhaseMatrix matrix;
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = matrix_file_read(argument.c_str(), &matrix, big_endian);
    }
    if (rc == ERR_PARAM_OUT_OF_RANGE) {
        // The library holds no matrix without samples: such a file reads as
        // an empty array of its shape.
        int width = 0;
        int height = 0;
        if (matrix_file_read_shape(argument.c_str(), big_endian, &width, &height) == 0 &&
            (width == 0 || height == 0)) {
            return py::array_t<std::int32_t>(std::vector<py::ssize_t>{height, width});
        }
    }
    if (rc != 0) {
        raise_error(rc, "reading", path);
    }
    return adopt<std::int32_t>(matrix, {matrix.height, matrix.width});
}

void write_matrix_file(const py::object &path, const py::object &samples, bool big_endian) {
    const py::module_ np = py::module_::import("numpy");
    py::array array = np.attr("asarray")(samples);
    const char kind = array.dtype().kind();
    if (kind != 'i' && kind != 'u') {
        throw py::type_error("the samples must be an integer array, not " +
                             py::str(array.dtype()).cast<std::string>());
    }
    if (array.ndim() != 2) {
        throw py::value_error("the samples must be a 2-D array, not " +
                              std::to_string(array.ndim()) + "-D");
    }
    if (array.shape(0) > 32767 || array.shape(1) > 32767) {
        throw std::overflow_error("at most 32767 rows and 32767 columns fit a data matrix file");
    }
    if (array.size() > 0 && array.itemsize() >= 4 &&
        !array.dtype().is(py::dtype::of<std::int32_t>())) {
        const py::object lo = array.attr("min")();
        const py::object hi = array.attr("max")();
        if (lo < py::int_(INT32_MIN) || hi > py::int_(INT32_MAX)) {
            throw std::overflow_error("a sample lies outside the signed 32-bit range");
        }
    }
    const std::string argument = path_argument(path);
    const auto block =
        py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!block) {
        throw py::error_already_set();
    }

    // The matrix borrows the array's buffer for the write; it must not give
    // it back to the library's allocator.
    PhaseMatrix matrix;
    matrix.height = static_cast<std::int16_t>(block.shape(0));
    matrix.width = static_cast<std::int16_t>(block.shape(1));
    matrix.size = static_cast<std::uint32_t>(block.size());
    matrix.matrix = const_cast<std::int32_t *>(block.data());
    int rc;
    std::string left_behind;
    {
        py::gil_scoped_release unlocked;
        rc = matrix_file_write(argument.c_str(), &matrix, big_endian, UPublish::replace,
                               &left_behind);
    }
    matrix.matrix = nullptr;
    matrix.size = 0;
    if (!left_behind.empty()) {
        // A directory that takes names but gives none up.
        const std::string text = "the temporary file \"" + left_behind + "\" could not be removed";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) {
            throw py::error_already_set();
        }
    }
    if (rc != 0) {
        raise_error(rc, "writing", path);
    }
}

} // namespace

#ifndef PDX_VERSION
#error "PDX_VERSION (the project's version, as a string literal) must be defined"
#endif

PYBIND11_MODULE(_core, m) {
    m.doc() = "The compiled core of the pdx package; use it through pdx.";
    m.attr("__version__") = PDX_VERSION;

    g_next_malloc = u_malloc;
    g_next_calloc = u_calloc;
    g_next_free = u_free;
    u_malloc = counting_malloc;
    u_calloc = counting_calloc;
    u_free = counting_free;

    g_error_type = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc("pdx.Error",
                                  "A file could not be read or written.\n\n"
                                  "A subclass of OSError. Attributes: code (the library's "
                                  "error number) and name (its name, e.g. "
                                  "'ERR_NOT_A_DATA_FILE'); the message names the path.",
                                  PyExc_OSError, nullptr));
    if (!g_error_type) {
        throw py::error_already_set();
    }
    m.attr("Error") = g_error_type;

    py::class_<DataFile>(m, "DataFile", R"doc(The contents of a binary data file.

phase             int32 array (height, width), C order; (0, 0) when the file
                  has no phase block or it was not requested
phase_origin      (x, y) of the phase region in the camera frame
intensity         uint16 array (n_buckets, height, width), frames in file
                  order; (0, 0, 0) when absent or not requested
intensity_origin  (x, y) of the intensity region
intensity_tag     the intensity block's tag, as stored
header_length     834 or 4096
header            dict: on-disk offset -> host-order value of every header
                  field handed to callers (offsets 10 to 47 and 76 on);
                  byte runs as bytes, layout_code (898) as the reader sets it)doc")
        .def_readonly("phase", &DataFile::phase)
        .def_readonly("phase_origin", &DataFile::phase_origin)
        .def_readonly("intensity", &DataFile::intensity)
        .def_readonly("intensity_origin", &DataFile::intensity_origin)
        .def_readonly("intensity_tag", &DataFile::intensity_tag)
        .def_readonly("header_length", &DataFile::header_length)
        .def_readonly("header", &DataFile::header)
        .def("__repr__", [](const DataFile &f) {
            return "<pdx.DataFile header_length=" + py::str(f.header_length).cast<std::string>() +
                   " phase=" + py::str(f.phase.attr("shape")).cast<std::string>() +
                   " intensity=" + py::str(f.intensity.attr("shape")).cast<std::string>() + ">";
        });

    m.def("read_data_file", &read_data_file, py::arg("path"), py::kw_only(),
          py::arg("intensity") = true, py::arg("phase") = true,
          R"doc(read_data_file(path, *, intensity=True, phase=True) -> DataFile

Reads a binary data file. path is a str, bytes or os.PathLike. A block that
is not requested is skipped, not read, and comes back empty.

Raises pdx.Error (e.g. ERR_CANT_OPEN_FILE, ERR_NOT_A_DATA_FILE,
ERR_PREMATURE_EOF, ERR_CORRUPT_DATA_FILE, ERR_DATASET_DIM_TOO_LARGE).)doc");

    py::class_<DataFileInfo>(m, "DataFileInfo", R"doc(What a data file holds, from its header alone.

phase_shape       (height, width) of the phase map; (0, 0) without one
phase_origin      (x, y) of the phase region in the camera frame
intensity_shape   (n_buckets, height, width); (0, 0, 0) without frames
intensity_origin  (x, y) of the intensity region
intensity_tag, header_length, header: as in DataFile)doc")
        .def_readonly("phase_shape", &DataFileInfo::phase_shape)
        .def_readonly("phase_origin", &DataFileInfo::phase_origin)
        .def_readonly("intensity_shape", &DataFileInfo::intensity_shape)
        .def_readonly("intensity_origin", &DataFileInfo::intensity_origin)
        .def_readonly("intensity_tag", &DataFileInfo::intensity_tag)
        .def_readonly("header_length", &DataFileInfo::header_length)
        .def_readonly("header", &DataFileInfo::header)
        .def("__repr__", [](const DataFileInfo &f) {
            return "<pdx.DataFileInfo header_length=" +
                   py::str(f.header_length).cast<std::string>() +
                   " phase=" + py::str(f.phase_shape).cast<std::string>() +
                   " intensity=" + py::str(f.intensity_shape).cast<std::string>() + ">";
        });

    m.def("read_data_file_info", &read_data_file_info, py::arg("path"),
          R"doc(read_data_file_info(path) -> DataFileInfo

Reads only the header of a binary data file: the shapes, origins and header
fields that read_data_file would give, without a sample. A header that
read_data_file would refuse before its first sample raises the same error.

Raises pdx.Error (e.g. ERR_CANT_OPEN_FILE, ERR_NOT_A_DATA_FILE,
ERR_PREMATURE_EOF, ERR_DATASET_DIM_TOO_LARGE, ERR_PARAM_OUT_OF_RANGE).)doc");

    m.def("_read_layouts", &read_layouts, py::arg("paths"), py::kw_only(),
          py::arg("intensity") = true, py::arg("phase") = true,
          "_read_layouts(paths, *, intensity=True, phase=True) -> int64 array (files, 11): the "
          "layout of each file from its header, the blocks asked for checked (used by the xarray "
          "engine).");
    m.def("_read_stack", &read_stack, py::arg("paths"), py::arg("phase"), py::arg("origin"),
          py::arg("out"),
          "_read_stack(paths, phase, origin, out): one block of each file into out[i], which "
          "comes zero-filled (used by the xarray engine).");

    m.def("is_data_file", &is_data_file, py::arg("path"),
          R"doc(is_data_file(path) -> bool

Whether the file begins with a binary data file's magic number. False, not
an error, for a file that cannot be opened or is shorter than four bytes.)doc");

    m.def("read_matrix_file", &read_matrix_file, py::arg("path"), py::kw_only(),
          py::arg("big_endian") = false,
          R"doc(read_matrix_file(path, *, big_endian=False) -> numpy.ndarray

Reads a data matrix file (pdx_convert's output; big_endian=True for one
written with -b) into an int32 array of shape (height, width). A file of zero
width or height (pdx_convert's output for a data file without phase samples)
gives an empty array of that shape; a dimension above 32767 raises
ERR_PARAM_OUT_OF_RANGE.

Raises pdx.Error (e.g. ERR_CANT_OPEN_FILE, ERR_PREMATURE_EOF,
ERR_PARAM_OUT_OF_RANGE, ERR_CORRUPT_DATA_FILE).)doc");

    m.def("write_matrix_file", &write_matrix_file, py::arg("path"), py::arg("array"), py::kw_only(),
          py::arg("big_endian") = false,
          R"doc(write_matrix_file(path, array, *, big_endian=False)

Writes a 2-D integer array as a data matrix file, the bytes pdx_convert
writes for that map (big_endian=True: as with -b).

Raises TypeError for a non-integer array, ValueError for one that is not
2-D, OverflowError for a value outside int32 or more than 32767 rows or
columns, and pdx.Error when the file cannot be written
(ERR_CANT_OPEN_FILE, ERR_CANT_WRITE_FILE, ERR_NO_MEM). A temporary file
that could not be removed (a directory that takes names but gives none up)
is named in a RuntimeWarning.)doc");

    py::module_ testing = m.def_submodule("_testing", "Hooks for the module's own tests.");
    testing.def(
        "live_blocks", [] { return g_live_blocks.load(); },
        "Blocks the library has obtained and not yet given back.");
}
