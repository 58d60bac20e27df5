#include "pdx/datafile/matrix_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "pdx/util/byte_order.h"
#include "pdx/util/errors.h"
#include "pdx/util/hooks.h"
#include "pdx/util/platform.h"

namespace pdx {

namespace {

// The largest dimension a file may give: a region's width and height are
// signed 16-bit numbers.
constexpr std::uint16_t kMaxDimension = 32767;

} // namespace

int matrix_file_write(const char *path, const PhaseMatrix *matrix, bool bigEndian) {
    if (matrix == nullptr) {
        return ERR_INVALID_PARAM;
    }
    // The dimensions go to the file as unsigned 16-bit numbers. The samples
    // they announce must all lie in the caller's buffer, or the write would
    // read past it; a record without a buffer holds none, whatever its size.
    std::uint16_t w = static_cast<std::uint16_t>(matrix->width);
    std::uint16_t h = static_cast<std::uint16_t>(matrix->height);
    const std::uint64_t count = std::uint64_t{w} * h;
    const std::uint64_t held = matrix->matrix != nullptr ? matrix->size : 0;
    if (count > held) {
        return ERR_INVALID_PARAM;
    }

    std::FILE *file = u_platform_open(path, UOpenMode::write);
    if (file == nullptr) {
        return ERR_CANT_OPEN_FILE;
    }

    // count <= size: the buffer really holds count * 4 bytes, so that
    // product fits std::size_t.
    const auto samples = static_cast<std::size_t>(count);
    int result = 0;
    void *copy = nullptr;
    if (bigEndian) {
        u_swap_bytes(&w, 2);
        u_swap_bytes(&h, 2);
    }
    if (std::fwrite(&w, 2, 1, file) != 1 || std::fwrite(&h, 2, 1, file) != 1) {
        result = ERR_CANT_WRITE_FILE;
    }
    if (result == 0 && samples > 0) {
        const void *source = matrix->matrix;
        if (bigEndian) {
            // The caller's samples stay in host order: reverse a copy.
            copy = u_malloc(samples * 4);
            if (copy == nullptr) {
                result = ERR_NO_MEM;
            } else {
                std::memcpy(copy, matrix->matrix, samples * 4);
                u_swap_samples(copy, samples, 4);
                source = copy;
            }
        }
        if (result == 0 && std::fwrite(source, 4, samples, file) != samples) {
            result = ERR_CANT_WRITE_FILE;
        }
    }
    if (copy != nullptr) {
        u_free(copy);
    }
    // Buffered bytes reach the file only when it is closed: a failed close
    // is a failed write.
    if (std::fclose(file) != 0 && result == 0) {
        result = ERR_CANT_WRITE_FILE;
    }
    return result;
}

int matrix_file_read(const char *path, PhaseMatrix *matrix, bool bigEndian) {
    if (matrix == nullptr) {
        return ERR_INVALID_PARAM;
    }
    int result = 0;
    std::FILE *file = u_platform_open(path, UOpenMode::read);
    if (file == nullptr) {
        result = ERR_CANT_OPEN_FILE;
    }

    std::uint16_t w = 0;
    std::uint16_t h = 0;
    if (result == 0 && (std::fread(&w, 2, 1, file) != 1 || std::fread(&h, 2, 1, file) != 1)) {
        result = ERR_PREMATURE_EOF;
    }
    if (result == 0) {
        if (bigEndian) {
            u_swap_bytes(&w, 2);
            u_swap_bytes(&h, 2);
        }
        if (w > kMaxDimension || h > kMaxDimension) {
            result = ERR_PARAM_OUT_OF_RANGE;
        }
    }
    if (result == 0) {
        matrix->x = 0;
        matrix->y = 0;
        matrix->width = static_cast<std::int16_t>(w);
        matrix->height = static_cast<std::int16_t>(h);
        result = allocate(*matrix); // ERR_PARAM_OUT_OF_RANGE for a zero dimension
    }
    if (result == 0) {
        // The samples follow the dimensions directly. A stream that cannot
        // seek (a pipe) is already there after the four bytes just read.
        std::fseek(file, 4, SEEK_SET);
        const std::size_t samples = std::size_t{w} * h;
        if (std::fread(matrix->matrix, 4, samples, file) != samples) {
            result = ERR_CORRUPT_DATA_FILE;
        } else if (bigEndian) {
            u_swap_samples(matrix->matrix, samples, 4);
        }
    }

    if (result != 0) {
        release(*matrix);
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    return result;
}

} // namespace pdx
