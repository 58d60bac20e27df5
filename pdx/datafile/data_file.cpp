#include "pdx/datafile/data_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "pdx/util/byte_order.h"
#include "pdx/util/errors.h"
#include "pdx/util/platform.h"
#include "pdx/util/stream_size.h"

namespace pdx {

namespace {

constexpr std::size_t kMagicLength = 4;

// A region whose width or height has the top bit set cannot be a block's
// geometry.
bool region_fits(const Region &r) {
    return r.width >= 0 && r.height >= 0;
}

// Unlike release, sets every field to 0 (origin and tag included) and gives
// no buffer back: for a matrix that holds none.
void zero_without_freeing(IntensityMatrix &m) {
    m.size = 0;
    m.x = m.y = m.width = m.height = 0;
    m.n_buckets = 0;
    m.tag = 0;
    m.matrix = nullptr;
}

void zero_without_freeing(PhaseMatrix &m) {
    m.size = 0;
    m.x = m.y = m.width = m.height = 0;
    m.matrix = nullptr;
}

// Moves the stream `count` bytes forward. A stream that cannot seek (a pipe)
// is read and the bytes dropped instead, so it ends up where a seek would
// have put it. ftell tells the two apart: it fails on such a stream without
// disturbing it, whereas a failed fseek may throw away input that the stream
// had already buffered. Running out of data is not a failure here: whatever
// is read next finds the end of the stream, as it would after a seek past
// the end of a file.
void skip(std::FILE *stream, std::int32_t count) {
    if (std::ftell(stream) >= 0 && std::fseek(stream, count, SEEK_CUR) == 0) {
        return;
    }
    std::clearerr(stream);
    unsigned char scratch[4096];
    std::size_t left = static_cast<std::size_t>(count);
    while (left > 0) {
        const std::size_t chunk = left < sizeof scratch ? left : sizeof scratch;
        const std::size_t got = std::fread(scratch, 1, chunk, stream);
        left -= got;
        if (got < chunk) {
            return;
        }
    }
}

// The bytes a block's read asks of the stream, for a block that allocate()
// would take: if the stream holds fewer, the read ends in
// ERR_CORRUPT_DATA_FILE however much memory there is, so that is known
// before memory is asked for. Zero where allocate() refuses the count, whose
// ERR_PARAM_OUT_OF_RANGE comes first.
std::uint64_t phase_need(const Region &r) {
    // Width and height are not negative here (region_fits).
    return std::uint64_t(r.width) * std::uint64_t(r.height) * 4;
}

// The samples `n_buckets` frames over `r` hold, as allocate() counts them;
// zero where it refuses the count. The width and height are not negative
// (region_fits).
std::uint64_t intensity_samples(const Region &r, std::int16_t n_buckets) {
    if (n_buckets <= 0) {
        return 0;
    }
    const std::uint64_t count = std::uint64_t(r.width) * std::uint64_t(r.height) * n_buckets;
    if (count == 0 || count > UINT32_MAX || count > SIZE_MAX / 2) {
        return 0;
    }
    return count;
}

std::uint64_t intensity_need(const DataFileHeader &record) {
    const std::uint64_t count = intensity_samples(record.intens_region, record.intens_n_buckets);
    if (count == 0) {
        return 0;
    }
    const std::uint64_t n = static_cast<std::uint64_t>(record.intens_nbytes) / 2;
    // More samples than the frames hold is corrupt whatever the stream.
    return n > count ? UINT64_MAX : n * 2;
}

// False when the stream can seek and holds fewer than `need` bytes from its
// position on; a stream that cannot seek is given the benefit of the doubt.
bool fits_stream(std::FILE *stream, std::uint64_t need) {
    std::uint64_t left = 0;
    return need == 0 || !u_stream_bytes_left(stream, &left) || need <= left;
}

// Reads the intensity block of `record` from `stream`, positioned at it, into
// `samples`, which hold the `count` samples of its frames; the samples past
// a shorter block are not written. The stream is left after the block.
int read_intensity_block(std::FILE *stream, const DataFileHeader &record, std::uint16_t *samples,
                         std::size_t count) {
    const std::size_t n = static_cast<std::size_t>(record.intens_nbytes) / 2;
    // A block with more samples than the frames hold cannot be stored.
    if (n > count) {
        return ERR_CORRUPT_DATA_FILE;
    }
    if (std::fread(samples, 2, n, stream) < n) {
        return ERR_CORRUPT_DATA_FILE;
    }
    u_swap_samples(samples, n, 2);
    // The odd byte of an odd length is no sample: the phase block starts
    // after it, where skipping the block would leave the stream.
    if (record.intens_nbytes % 2 != 0) {
        skip(stream, 1);
    }
    return 0;
}

// Reads `count` phase samples from `stream`, positioned at them.
int read_phase_block(std::FILE *stream, std::int32_t *samples, std::size_t count) {
    if (std::fread(samples, 4, count, stream) < count || std::ferror(stream)) {
        return ERR_CORRUPT_DATA_FILE;
    }
    u_swap_samples(samples, count, 4);
    return 0;
}

// Where a whole read takes its bytes from: a stream read in order (a pipe
// too), or a regular file read at offsets.
class StreamSource {
  public:
    explicit StreamSource(std::FILE *stream) : stream_(stream) {}
    int header(DataFileHeader &record, std::size_t &length) {
        return data_file_read_header(stream_, &record, &length);
    }
    bool fits(std::uint64_t need) { return fits_stream(stream_, need); }
    void skip(std::int32_t count) { pdx::skip(stream_, count); }
    int intensity(const DataFileHeader &record, std::uint16_t *samples, std::size_t count) {
        return read_intensity_block(stream_, record, samples, count);
    }
    int phase(std::int32_t *samples, std::size_t count) {
        return read_phase_block(stream_, samples, count);
    }

  private:
    std::FILE *stream_;
};

// A regular file of known size, read past its stream's buffer: the header
// in one read of as many bytes as the longer header has, each block in one
// read straight into its samples, no seek. The same bytes and the same
// answers as a StreamSource over the file.
class FileSource {
  public:
    FileSource(std::FILE *stream, std::uint64_t size) : stream_(stream), size_(size) {}
    int header(DataFileHeader &record, std::size_t &length) {
        auto *image = reinterpret_cast<unsigned char *>(&record);
        length = 0;
        const std::size_t got = u_platform_read_at(stream_, image, kLongest, 0);
        std::uint32_t magic = 0;
        std::memcpy(&magic, image, sizeof magic);
        u_swap_bytes(&magic, 4);
        const std::size_t n = got < kMagicLength ? 0 : data_file_header_length(magic);
        // What follows a shorter header is no part of it.
        const std::size_t kept = n != 0 && got >= n ? n : 0;
        std::memset(image + kept, 0, sizeof record - kept);
        if (got < kMagicLength || (n != 0 && got < n)) {
            return ERR_PREMATURE_EOF;
        }
        if (n == 0) {
            return ERR_NOT_A_DATA_FILE;
        }
        data_file_expand_header(&record, magic);
        data_file_swap_header(&record);
        at_ = n;
        length = n;
        return 0;
    }
    bool fits(std::uint64_t need) const {
        return need == 0 || need <= (size_ > at_ ? size_ - at_ : 0);
    }
    void skip(std::int32_t count) { at_ += static_cast<std::uint64_t>(count); }
    int intensity(const DataFileHeader &record, std::uint16_t *samples, std::size_t count) {
        const std::size_t n = static_cast<std::size_t>(record.intens_nbytes) / 2;
        if (n > count || !take(samples, n * 2)) {
            return ERR_CORRUPT_DATA_FILE;
        }
        u_swap_samples(samples, n, 2);
        at_ += static_cast<std::uint64_t>(record.intens_nbytes % 2);
        return 0;
    }
    int phase(std::int32_t *samples, std::size_t count) {
        if (!take(samples, count * 4)) {
            return ERR_CORRUPT_DATA_FILE;
        }
        u_swap_samples(samples, count, 4);
        return 0;
    }

  private:
    static constexpr std::size_t kLongest = 4096;
    static_assert(data_file_header_length(kDataFileMagicLong) == kLongest &&
                  sizeof(DataFileHeader) >= kLongest);

    bool take(void *into, std::size_t bytes) {
        const std::size_t got = u_platform_read_at(stream_, into, bytes, at_);
        at_ += got;
        return got == bytes;
    }

    std::FILE *stream_;
    std::uint64_t size_;
    std::uint64_t at_ = 0;
};

// The whole read of data_file_read_stream, from `source`.
template <typename Source>
int read_from(Source &source, HeaderPreamble *preamble, HeaderBody *body,
              IntensityMatrix *intensity, PhaseMatrix *phase);

} // namespace

int data_file_read_header(std::FILE *stream, DataFileHeader *record, std::size_t *length) {
    auto *image = reinterpret_cast<unsigned char *>(record);
    std::memset(image, 0, sizeof *record);
    *length = 0;
    if (std::fread(image, kMagicLength, 1, stream) != 1) {
        return ERR_PREMATURE_EOF;
    }
    std::uint32_t magic;
    std::memcpy(&magic, image, sizeof magic);
    u_swap_bytes(&magic, 4);
    const std::size_t n = data_file_header_length(magic);
    if (n == 0) {
        return ERR_NOT_A_DATA_FILE;
    }
    // The rest of the header follows the four bytes already in the image; no
    // seek back, so a stream that cannot seek reads the same bytes.
    if (std::fread(image + kMagicLength, n - kMagicLength, 1, stream) != 1) {
        return ERR_PREMATURE_EOF;
    }
    data_file_expand_header(record, magic);
    data_file_swap_header(record);
    *length = n;
    return 0;
}

int data_file_check_header(const DataFileHeader &record) {
    return data_file_check_blocks(record, true, true);
}

int data_file_check_blocks(const DataFileHeader &record, bool intensity, bool phase) {
    const bool has_intensity = intensity && record.intens_nbytes > 0;
    const bool has_phase = phase && record.phase_nbytes > 0;
    if ((has_intensity && !region_fits(record.intens_region)) ||
        (has_phase && !region_fits(record.phase_region))) {
        return ERR_DATASET_DIM_TOO_LARGE;
    }
    if (has_intensity && intensity_samples(record.intens_region, record.intens_n_buckets) == 0) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    if (has_phase && (record.phase_region.width == 0 || record.phase_region.height == 0)) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    return 0;
}

int data_file_read_stream(std::FILE *stream, HeaderPreamble *preamble, HeaderBody *body,
                          IntensityMatrix *intensity, PhaseMatrix *phase) {
    StreamSource source(stream);
    return read_from(source, preamble, body, intensity, phase);
}

namespace {

template <typename Source>
int read_from(Source &source, HeaderPreamble *preamble, HeaderBody *body,
              IntensityMatrix *intensity, PhaseMatrix *phase) {
    const auto fail = [&](int code) {
        if (intensity != nullptr) {
            release(*intensity);
        }
        if (phase != nullptr) {
            release(*phase);
        }
        return code;
    };

    DataFileHeader record;
    std::size_t length = 0;
    if (const int rc = source.header(record, length); rc != 0) {
        return fail(rc);
    }

    // Everything taken from the header is done before the first sample is
    // read, so a bad region leaves the blocks untouched.
    if (preamble != nullptr) {
        *preamble = record.preamble;
    }
    const bool has_intensity = record.intens_nbytes > 0;
    const bool has_phase = record.phase_nbytes > 0;
    if (intensity != nullptr) {
        zero_without_freeing(*intensity);
        if (has_intensity) {
            if (!region_fits(record.intens_region)) {
                return fail(ERR_DATASET_DIM_TOO_LARGE);
            }
            set_region(*intensity, record.intens_region);
            intensity->n_buckets = record.intens_n_buckets;
            intensity->tag = record.intens_tag;
        }
    }
    if (phase != nullptr) {
        zero_without_freeing(*phase);
        if (has_phase) {
            if (!region_fits(record.phase_region)) {
                return fail(ERR_DATASET_DIM_TOO_LARGE);
            }
            set_region(*phase, record.phase_region);
        }
    }
    if (body != nullptr) {
        *body = record.body;
        if (length == 4096) {
            body->layout_code = 3;
        }
    }

    if (has_intensity) {
        if (intensity != nullptr) {
            if (!source.fits(intensity_need(record))) {
                return fail(ERR_CORRUPT_DATA_FILE);
            }
            const std::size_t n = static_cast<std::size_t>(record.intens_nbytes) / 2;
            // Samples past a shorter block read as zero. Their memory comes
            // zero from the allocator instead of being cleared here, so a
            // small file that announces large frames costs about its own
            // size, not the frames'.
            const int rc = n < intensity_samples(record.intens_region, record.intens_n_buckets)
                               ? allocate_zeroed(*intensity)
                               : allocate(*intensity);
            if (rc != 0) {
                return fail(rc);
            }
            if (const int read = source.intensity(record, intensity->matrix, intensity->size);
                read != 0) {
                return fail(read);
            }
        } else {
            source.skip(record.intens_nbytes);
        }
    }

    if (has_phase) {
        if (phase != nullptr) {
            if (!source.fits(phase_need(record.phase_region))) {
                return fail(ERR_CORRUPT_DATA_FILE);
            }
            if (const int rc = allocate(*phase); rc != 0) {
                return fail(rc);
            }
            const std::size_t n =
                static_cast<std::size_t>(phase->width) * static_cast<std::size_t>(phase->height);
            // The region, not phase_nbytes, sets how many samples are read:
            // files whose block length disagrees with their region have
            // always converted this way.
            if (const int read = source.phase(phase->matrix, n); read != 0) {
                return fail(read);
            }
        } else {
            source.skip(record.phase_nbytes);
        }
    }
    return 0;
}

} // namespace

int data_file_read_intensity_samples(std::FILE *stream, const DataFileHeader &record,
                                     std::uint16_t *samples, std::size_t capacity) {
    if (const int rc = data_file_check_blocks(record, true, false); rc != 0) {
        return rc;
    }
    if (record.intens_nbytes <= 0) {
        return 0;
    }
    // Not zero, nor above SIZE_MAX / 2, after the check.
    const std::uint64_t count = intensity_samples(record.intens_region, record.intens_n_buckets);
    if (count > capacity) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    if (!fits_stream(stream, intensity_need(record))) {
        return ERR_CORRUPT_DATA_FILE;
    }
    return read_intensity_block(stream, record, samples, static_cast<std::size_t>(count));
}

int data_file_read_phase_samples(std::FILE *stream, const DataFileHeader &record,
                                 std::int32_t *samples, std::size_t capacity) {
    if (const int rc = data_file_check_blocks(record, false, true); rc != 0) {
        return rc;
    }
    if (record.phase_nbytes <= 0) {
        return 0;
    }
    const std::uint64_t need = phase_need(record.phase_region);
    if (need / 4 > capacity) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    if (record.intens_nbytes > 0) {
        skip(stream, record.intens_nbytes);
    }
    if (!fits_stream(stream, need)) {
        return ERR_CORRUPT_DATA_FILE;
    }
    return read_phase_block(stream, samples, static_cast<std::size_t>(need / 4));
}

int data_file_read(const char *path, HeaderPreamble *preamble, HeaderBody *body,
                   IntensityMatrix *intensity, PhaseMatrix *phase) {
    if (path == nullptr) {
        return ERR_CANT_OPEN_FILE;
    }
    std::FILE *stream = u_platform_open_read(path);
    if (stream == nullptr) {
        return ERR_CANT_OPEN_FILE;
    }
    // A regular file is read at offsets, anything else (a pipe, a device) in
    // order through the stream.
    std::uint64_t size = 0;
    int rc;
    if (u_platform_regular_size(stream, &size)) {
        FileSource source(stream, size);
        rc = read_from(source, preamble, body, intensity, phase);
    } else {
        StreamSource source(stream);
        rc = read_from(source, preamble, body, intensity, phase);
    }
    std::fclose(stream);
    return rc;
}

DataFileSummary data_file_summary(const DataFileHeader &record, std::size_t length) {
    DataFileSummary layout;
    layout.header_length = length;
    if (record.phase_nbytes > 0) {
        layout.phase = record.phase_region;
        layout.phase_bytes = static_cast<std::uint32_t>(record.phase_nbytes);
    }
    if (record.intens_nbytes > 0) {
        layout.intensity = record.intens_region;
        layout.frames = record.intens_n_buckets;
        layout.tag = record.intens_tag;
        layout.intensity_bytes = static_cast<std::uint32_t>(record.intens_nbytes);
    }
    layout.implied_size = std::uint64_t{length} + layout.phase_bytes + layout.intensity_bytes;
    return layout;
}

std::size_t data_file_header_length(const HeaderBody &body) {
    return body.layout_code == 3 ? 4096 : 834;
}

namespace {

// Opens `path` and reads its header into `record`, leaving the stream after
// it: null, with *rc set, when either fails.
std::FILE *open_header(const char *path, DataFileHeader &record, std::size_t &length, int &rc) {
    std::FILE *stream = path != nullptr ? u_platform_open_read(path) : nullptr;
    if (stream == nullptr) {
        rc = ERR_CANT_OPEN_FILE;
        return nullptr;
    }
    rc = data_file_read_header(stream, &record, &length);
    if (rc != 0) {
        std::fclose(stream);
        return nullptr;
    }
    record.body.layout_code = length == 4096 ? 3 : 0;
    return stream;
}

} // namespace

int data_file_read_summary(const char *path, DataFileSummary *layout, bool intensity, bool phase,
                           DataFileHeader *record) {
    DataFileHeader own;
    DataFileHeader &header = record != nullptr ? *record : own;
    std::size_t length = 0;
    int rc = 0;
    std::FILE *stream = open_header(path, header, length, rc);
    if (stream == nullptr) {
        return rc;
    }
    std::fclose(stream);
    if (layout != nullptr) {
        *layout = data_file_summary(header, length);
    }
    return data_file_check_blocks(header, intensity, phase);
}

bool operator==(const BlockGeometry &a, const BlockGeometry &b) {
    return a.region.x == b.region.x && a.region.y == b.region.y &&
           a.region.width == b.region.width && a.region.height == b.region.height &&
           a.frames == b.frames;
}

int data_file_read_block(const char *path, bool phase, const BlockGeometry &expected, void *samples,
                         std::size_t capacity, BlockGeometry *found) {
    DataFileHeader record;
    std::size_t length = 0;
    int rc = 0;
    std::FILE *stream = open_header(path, record, length, rc);
    if (stream == nullptr) {
        return rc;
    }
    rc = data_file_check_blocks(record, !phase, phase);
    if (rc == 0) {
        const DataFileSummary l = data_file_summary(record, length);
        const BlockGeometry held =
            phase ? BlockGeometry{l.phase, 0} : BlockGeometry{l.intensity, l.frames};
        if (found != nullptr) {
            *found = held;
        }
        if (held == expected) {
            rc = phase ? data_file_read_phase_samples(
                             stream, record, static_cast<std::int32_t *>(samples), capacity)
                       : data_file_read_intensity_samples(
                             stream, record, static_cast<std::uint16_t *>(samples), capacity);
        }
    }
    std::fclose(stream);
    return rc;
}

bool data_file_has_magic(const char *path) {
    std::FILE *stream = path != nullptr ? u_platform_open_read(path) : nullptr;
    if (stream == nullptr) {
        return false;
    }
    unsigned char bytes[kMagicLength];
    const bool whole = std::fread(bytes, kMagicLength, 1, stream) == 1;
    std::fclose(stream);
    if (!whole) {
        return false;
    }
    std::uint32_t magic;
    std::memcpy(&magic, bytes, sizeof magic);
    u_swap_bytes(&magic, 4);
    return data_file_header_length(magic) != 0;
}

} // namespace pdx
