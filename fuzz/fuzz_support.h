#pragma once

// Shared pieces of the fuzz targets: a byte budget on the allocation hook, so
// that a hostile size in a file yields ERR_NO_MEM instead of the fuzzer's
// out-of-memory kill, scratch files, and checks that a failed read left its
// matrices released.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "matrix/region_matrix.h"
#include "util/hooks.h"

namespace fuzz_support {

// Live bytes that u_malloc may hand out at once.
inline constexpr std::size_t kBudget = std::size_t{256} << 20;

inline std::size_t &live_bytes() {
    static std::size_t bytes = 0;
    return bytes;
}

// Each block carries its size in a 16-byte prefix so that u_free can return
// it to the budget.
inline void *budget_malloc(std::size_t size) {
    if (size > kBudget - live_bytes()) {
        return nullptr;
    }
    auto *block = static_cast<unsigned char *>(std::malloc(size + 16));
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &size, sizeof size);
    live_bytes() += size;
    return block + 16;
}

inline void budget_free(void *p) {
    if (p == nullptr) {
        return;
    }
    auto *block = static_cast<unsigned char *>(p) - 16;
    std::size_t size;
    std::memcpy(&size, block, sizeof size);
    live_bytes() -= size;
    std::free(block);
}

inline void install_budget() {
    u_malloc = budget_malloc;
    u_free = budget_free;
}

// A scratch folder of this process's own, removed when the process ends,
// for entry points that take a path.
class ScratchDir {
  public:
    ScratchDir() {
        const auto base = std::filesystem::temp_directory_path();
        for (unsigned n = static_cast<unsigned>(std::rand());; ++n) {
            dir_ = base / ("pdx_fuzz_" + std::to_string(n));
            if (std::filesystem::create_directory(dir_)) {
                break;
            }
        }
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string file(const char *name) const { return (dir_ / name).string(); }

  private:
    std::filesystem::path dir_;
};

inline std::string scratch_path(const char *name) {
    static const ScratchDir dir;
    return dir.file(name);
}

inline bool write_scratch(const std::string &path, const std::uint8_t *data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    out.close();
    return static_cast<bool>(out);
}

// Stops the run with a report when a condition that must hold does not.
inline void check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

inline bool released(const PhaseMatrix &m) {
    return m.matrix == nullptr && m.size == 0 && m.width == 0 && m.height == 0;
}

inline bool released(const IntensityMatrix &m) {
    return m.matrix == nullptr && m.size == 0 && m.width == 0 && m.height == 0 && m.n_buckets == 0;
}

} // namespace fuzz_support
