#pragma once

// Test helpers for files: a scratch directory removed at the end of the test,
// whole-file reads and writes, path arguments in the wide form, and the
// lowest free descriptor.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace test_support {

using Bytes = std::vector<std::uint8_t>;

class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        const auto base = std::filesystem::temp_directory_path();
        for (;;) {
            dir_ = base / ("pdx_test_" + std::to_string(rd()));
            if (std::filesystem::create_directory(dir_)) {
                break;
            }
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return dir_; }
    // A narrow path argument for `name` inside the directory.
    std::string file(std::string_view name) const { return (dir_ / name).string(); }

  private:
    std::filesystem::path dir_;
};

inline void write_file(const std::filesystem::path &p, const Bytes &bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline Bytes read_file(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A path argument in the wide form: the mark (FF FE when `ffFirst`, else
// FE FF), the UTF-16 code units of `text` in host order, and a zero unit.
inline std::string wide_path(std::u16string_view text, bool ffFirst = true) {
    std::string out;
    out.push_back(static_cast<char>(ffFirst ? 0xFF : 0xFE));
    out.push_back(static_cast<char>(ffFirst ? 0xFE : 0xFF));
    for (char16_t unit : text) {
        char bytes[2];
        std::memcpy(bytes, &unit, 2);
        out.append(bytes, 2);
    }
    out.append(2, '\0');
    return out;
}

// The number the next opened file would get. A stream that an operation
// leaves open keeps the number it took, so the number after the operation
// differs from the number before it.
inline int lowest_free_descriptor() {
#ifdef _WIN32
    const int fd = _dup(2);
    _close(fd);
#else
    const int fd = dup(2);
    close(fd);
#endif
    return fd;
}

inline std::string wide_path_of(const std::filesystem::path &p, bool ffFirst = true) {
    return wide_path(p.u16string(), ffFirst);
}

} // namespace test_support
