// The module pdx._core: the functions of each idea (core.h), pdx.Error, and
// pdx._testing, which counts the library's live blocks for the tests.

#include <atomic>
#include <cstddef>

#include "core.h"
#include "pdx/util/hooks.h"

namespace py = pybind11;
using namespace pdx;

namespace {

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

    pdx_core::define_errors(m);
    pdx_core::define_data_files(m);
    pdx_core::define_campaigns(m);
    pdx_core::define_matrix_files(m);

    py::module_ testing = m.def_submodule("_testing", "Hooks for the module's own tests.");
    testing.def(
        "live_blocks", [] { return g_live_blocks.load(); },
        "Blocks the library has obtained and not yet given back.");
}
