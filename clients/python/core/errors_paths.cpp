// Errors and paths: pdx.Error, raised for the library's error codes, and the
// path arguments made from what a caller passes for a path.

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core.h"
#include "pdx/util/errors.h"
#include "pdx/util/path.h"

namespace pdx_core {

using namespace pdx;

namespace {

py::object g_error_type; // pdx.Error

} // namespace

void define_errors(py::module_ &m) {
    g_error_type = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc("pdx.Error",
                                  "A file could not be read or written.\n\n"
                                  "A subclass of OSError. Attributes: code (the library's "
                                  "error number), name (its name, e.g. "
                                  "'ERR_NOT_A_DATA_FILE'), filename (the path as given) "
                                  "and errno (ENOMEM, ENOENT for a missing input, else "
                                  "None); the message names the path.",
                                  PyExc_OSError, nullptr));
    if (!g_error_type) {
        throw py::error_already_set();
    }
    // The message alone, as before: OSError's own str() would show the errno
    // and file name in its own form once they are set.
    g_error_type.attr("__str__") =
        py::module_::import("builtins").attr("BaseException").attr("__str__");
    m.attr("Error") = g_error_type;
}

std::string shown(const py::handle &path) {
    return py::repr(py::module_::import("os").attr("fsdecode")(path)).cast<std::string>();
}

[[noreturn]] void raise_error(int code, const char *what, const py::object &path) {
    const std::string_view known = code != 0 ? u_error_name_view(code) : std::string_view();
    const std::string name(known.empty() ? "ERR_UNKNOWN" : known);
    const std::string message = std::string(what) + " " + shown(path) + " failed: " + name;
    py::object error = g_error_type(message);
    error.attr("code") = code;
    error.attr("name") = name;
    // As OSError's own: the name as given and, where the failure has one, its
    // errno (no memory; an input that does not exist).
    const py::module_ os = py::module_::import("os");
    const py::module_ errno_names = py::module_::import("errno");
    error.attr("filename") = path;
    if (code == ERR_NO_MEM) {
        error.attr("errno") = errno_names.attr("ENOMEM");
    } else if (code == ERR_CANT_OPEN_FILE && std::strcmp(what, "reading") == 0 &&
               !os.attr("path").attr("lexists")(path).cast<bool>()) {
        error.attr("errno") = errno_names.attr("ENOENT");
    }
    PyErr_SetObject(g_error_type.ptr(), error.ptr());
    throw py::error_already_set();
}

// The file system's bytes (os.fsencode) on POSIX, the UTF-16 name on
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

std::vector<std::string> path_arguments(const py::sequence &paths) {
    std::vector<std::string> arguments;
    arguments.reserve(py::len(paths));
    for (const py::handle path : paths) {
        arguments.push_back(path_argument(py::reinterpret_borrow<py::object>(path)));
    }
    return arguments;
}

} // namespace pdx_core
