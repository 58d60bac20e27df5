// The module pdx._core: the functions of each idea (core.h), pdx.Error, and
// pdx._testing, which tells the tests how many blocks the library's
// allocation hooks hold (u_live_blocks); the module leaves the hooks as they
// are.

#include "core.h"
#include "pdx/util/hooks.h"

namespace py = pybind11;
using namespace pdx;

#ifndef PDX_VERSION
#error "PDX_VERSION (the project's version, as a string literal) must be defined"
#endif

PYBIND11_MODULE(_core, m) {
    m.doc() = "The compiled core of the pdx package; use it through pdx.";
    m.attr("__version__") = PDX_VERSION;

    pdx_core::define_errors(m);
    pdx_core::define_data_files(m);
    pdx_core::define_campaigns(m);
    pdx_core::define_scan(m);
    pdx_core::define_matrix_files(m);

    py::module_ testing = m.def_submodule("_testing", "Hooks for the module's own tests.");
    testing.def(
        "live_blocks", [] { return u_live_blocks(); },
        "Blocks the library has obtained and not yet given back.");
}
