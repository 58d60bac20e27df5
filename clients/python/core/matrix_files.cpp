// Data matrix files: read into an int32 array, written from an integer
// array.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core.h"
#include "pdx/datafile/matrix_file.h"
#include "pdx/util/errors.h"

namespace pdx_core {

using namespace pdx;

namespace {

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

void define_matrix_files(py::module_ &m) {
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
}

} // namespace pdx_core
