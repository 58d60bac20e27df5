#pragma once

// The compiled core of the Python package `pdx` (pdx._core), over the data
// library's public face, one file per idea: errors and paths
// (errors_paths.cpp), data files (data_files.cpp), campaigns of data files
// of one layout (campaigns.cpp), a campaign's statistics (scan.cpp), data
// matrix files (matrix_files.cpp), and the module that gathers them
// (module.cpp). Sample buffers pass to numpy
// without a copy: each array owns the matrix it was read into, through a
// capsule whose destructor gives the buffer back to the library's
// allocator. The interpreter lock is released while files are read and
// written.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pdx_core {

namespace py = pybind11;

// ---- Errors and paths (errors_paths.cpp) ------------------------------------

// Makes pdx.Error, a subclass of OSError, and adds it to `m`.
void define_errors(py::module_ &m);

// The path the caller gave, as messages show it: the repr of its text.
std::string shown(const py::handle &path);

// Raises pdx.Error for library code `code` from `what` (e.g. "reading") on
// the path the caller gave.
[[noreturn]] void raise_error(int code, const char *what, const py::object &path);

// A path argument for the library (pdx/util/path.h), made from str, bytes or
// os.PathLike; a name with a zero in it raises ValueError.
std::string path_argument(const py::object &path);
std::vector<std::string> path_arguments(const py::sequence &paths);

// ---- Arrays over library buffers ---------------------------------------------

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

// ---- The module's functions, by idea ----------------------------------------

void define_data_files(py::module_ &m);
void define_campaigns(py::module_ &m);
void define_scan(py::module_ &m);
void define_matrix_files(py::module_ &m);

} // namespace pdx_core
