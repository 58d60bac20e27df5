#include "pdx/datafile/matrix_file.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "pdx/output/output_file.h"
#include "pdx/util/byte_order.h"
#include "pdx/util/errors.h"
#include "pdx/util/hooks.h"
#include "pdx/util/platform.h"
#include "pdx/util/stream_size.h"

namespace pdx {

// Samples are written as they lie in memory for a little-endian file and
// reversed for a big-endian one: right only on a little-endian host.
static_assert(std::endian::native == std::endian::little,
              "the writer assumes a little-endian host");

namespace {

// The largest dimension a file may give: a region's width and height are
// signed 16-bit numbers.
constexpr std::uint16_t kMaxDimension = 32767;

// The big-endian copy's placement: kCopyPhase bytes (the dimensions' size)
// past a multiple of kCopySlack.
constexpr std::uintptr_t kCopySlack = 64;
constexpr std::uintptr_t kCopyPhase = 4;

// Reads the dimensions and the samples from `file`, which the caller closes,
// into `matrix`, which holds no buffer.
[[nodiscard]] int read_stream(std::FILE *file, PhaseMatrix &matrix, bool bigEndian) {
    std::uint16_t w = 0;
    std::uint16_t h = 0;
    if (std::fread(&w, 2, 1, file) != 1 || std::fread(&h, 2, 1, file) != 1) {
        return ERR_PREMATURE_EOF;
    }
    if (bigEndian) {
        u_swap_bytes(&w, 2);
        u_swap_bytes(&h, 2);
    }
    if (w > kMaxDimension || h > kMaxDimension) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    set_region(matrix, Region{0, 0, static_cast<std::int16_t>(w), static_cast<std::int16_t>(h)});
    // A zero dimension is allocate's ERR_PARAM_OUT_OF_RANGE. Samples the
    // file cannot hold are found without asking for memory for them.
    std::uint64_t left = 0;
    if (w > 0 && h > 0 && u_stream_bytes_left(file, &left) && std::uint64_t{w} * h * 4 > left) {
        return ERR_CORRUPT_DATA_FILE;
    }
    if (const int rc = allocate(matrix); rc != 0) {
        return rc;
    }
    // The samples follow the dimensions directly. A stream that cannot seek
    // (a pipe) is already there after the four bytes just read.
    std::fseek(file, 4, SEEK_SET);
    const std::size_t samples = std::size_t{w} * h;
    if (std::fread(matrix.matrix, 4, samples, file) != samples) {
        return ERR_CORRUPT_DATA_FILE;
    }
    if (bigEndian) {
        u_swap_samples(matrix.matrix, samples, 4);
    }
    return 0;
}

} // namespace

int matrix_file_write(const char *path, const PhaseMatrix *matrix, bool bigEndian, UPublish publish,
                      std::string *left_behind) {
    if (left_behind != nullptr) {
        left_behind->clear();
    }
    if (matrix == nullptr) {
        return ERR_INVALID_PARAM;
    }
    // The dimensions go to the file as unsigned 16-bit numbers. The samples
    // they announce must all lie in the caller's buffer, or the write would
    // read past it; a record without a buffer holds none, whatever its size.
    const std::uint64_t count = std::uint64_t{static_cast<std::uint16_t>(matrix->width)} *
                                static_cast<std::uint16_t>(matrix->height);
    const std::uint64_t held = matrix->matrix != nullptr ? matrix->size : 0;
    if (count > held) {
        return ERR_INVALID_PARAM;
    }

    // count <= size: the buffer really holds count * 4 bytes, so that
    // product fits std::size_t.
    const auto samples = static_cast<std::size_t>(count);
    std::uint16_t w = static_cast<std::uint16_t>(matrix->width);
    std::uint16_t h = static_cast<std::uint16_t>(matrix->height);
    const void *source = matrix->matrix;
    void *copy = nullptr;
    if (bigEndian) {
        u_swap_bytes(&w, 2);
        u_swap_bytes(&h, 2);
    }
    if (bigEndian && samples > 0) {
        // The caller's samples stay in host order: the copy is reversed as
        // it is made, before anything is opened, so a lack of memory touches
        // no file.
        //
        // The copy starts kCopyPhase bytes past a 64-byte boundary: the
        // samples follow the 4 bytes of dimensions in the file, so each byte
        // then sits at the same offset within its cache line in memory and
        // in the file's pages, never a few bytes past it, which is where the
        // kernel's copy into the page cache slows to half speed (see
        // kLargeBlockLead).
        copy = u_malloc(samples * 4 + kCopySlack);
        if (copy == nullptr) {
            return ERR_NO_MEM;
        }
        const auto shift = (kCopyPhase - reinterpret_cast<std::uintptr_t>(copy)) % kCopySlack;
        u_swap_samples_copy(static_cast<char *>(copy) + shift, matrix->matrix, samples, 4);
        source = static_cast<char *>(copy) + shift;
    }

    // Nothing is published unless every byte reached the file.
    // The dimensions and the samples in one write.
    const std::uint16_t dimensions[2] = {w, h};
    const UOutputFile::Piece pieces[] = {{dimensions, sizeof dimensions}, {source, samples * 4}};
    const int rc = u_write_output(path, publish, left_behind,
                                  [&](UOutputFile &out) { return out.write(pieces, 2); });
    if (copy != nullptr) {
        u_free(copy);
    }
    return rc;
}

int matrix_file_read(const char *path, PhaseMatrix *matrix, bool bigEndian) {
    if (matrix == nullptr) {
        return ERR_INVALID_PARAM;
    }
    std::FILE *file = u_platform_open_read(path);
    if (file == nullptr) {
        release(*matrix);
        return ERR_CANT_OPEN_FILE;
    }
    const int rc = read_stream(file, *matrix, bigEndian);
    std::fclose(file);
    if (rc != 0) {
        release(*matrix);
    }
    return rc;
}

int matrix_file_read_shape(const char *path, bool bigEndian, int *width, int *height) {
    if (width == nullptr || height == nullptr) {
        return ERR_INVALID_PARAM;
    }
    std::FILE *file = u_platform_open_read(path);
    if (file == nullptr) {
        return ERR_CANT_OPEN_FILE;
    }
    unsigned char head[4];
    const bool whole = std::fread(head, sizeof head, 1, file) == 1;
    std::fclose(file);
    if (!whole) {
        return ERR_PREMATURE_EOF;
    }
    const auto dimension = [&](int i) {
        return bigEndian ? head[i] << 8 | head[i + 1] : head[i + 1] << 8 | head[i];
    };
    *width = dimension(0);
    *height = dimension(2);
    return *width > 32767 || *height > 32767 ? ERR_PARAM_OUT_OF_RANGE : 0;
}

} // namespace pdx
