#include "pdx/matrix/region_matrix.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "pdx/util/errors.h"
#include "pdx/util/hooks.h"

namespace pdx {

namespace {

// A sample count checked against what a matrix can hold. Counts are formed
// in 64 bits from the signed 16-bit dimensions, so no product overflows.
enum class CountKind {
    zero,   // nothing to hold
    usable, // 1 to UINT32_MAX samples whose byte count fits std::size_t
    refused // a negative factor, or too many samples for `size` or memory
};

struct Count {
    CountKind kind;
    std::uint32_t samples; // valid when kind is usable
};

// Classifies factors[0] * factors[1] * ... for elements of `element_bytes`.
// A zero product is `zero` even when another factor is negative; otherwise a
// negative factor is refused, since width, height and n_buckets are never
// negative in a matrix.
template <std::size_t N>
Count count_of(const std::int64_t (&factors)[N], std::size_t element_bytes) {
    std::int64_t product = 1;
    bool negative = false;
    for (std::int64_t f : factors) {
        if (f == 0) {
            return {CountKind::zero, 0};
        }
        negative = negative || f < 0;
        // 16-bit dimensions and at most one int bucket count: the product
        // of the magnitudes stays below 2^62.
        product *= f < 0 ? -f : f;
    }
    constexpr std::uint64_t kMaxSamples = std::numeric_limits<std::uint32_t>::max();
    const std::uint64_t max_bytes = std::numeric_limits<std::size_t>::max();
    const auto samples = static_cast<std::uint64_t>(product);
    if (negative || samples > kMaxSamples || samples > max_bytes / element_bytes) {
        return {CountKind::refused, 0};
    }
    return {CountKind::usable, static_cast<std::uint32_t>(samples)};
}

// Shared by both matrix kinds: Matrix is PhaseMatrix or IntensityMatrix.
template <typename Matrix> void give_back(Matrix &m) {
    if (m.matrix != nullptr) {
        u_free(m.matrix);
        m.matrix = nullptr;
    }
    m.size = 0;
}

// Fits the buffer of `m` to `count` samples for a resize: a zero count frees
// it; an equal count, or a smaller one with `keepLarger`, keeps it; any other
// count replaces it. A refused count or a failed allocation leaves the matrix
// empty and returns the error. The caller stores the new rectangle only after
// a 0 for a non-zero count.
template <typename Matrix> [[nodiscard]] int fit_buffer(Matrix &m, Count count, bool keepLarger) {
    using Sample = std::remove_pointer_t<decltype(m.matrix)>;
    if (m.matrix == nullptr) {
        m.size = 0;
    }
    if (count.kind == CountKind::zero) {
        give_back(m);
        return 0;
    }
    if (count.kind == CountKind::refused) {
        // Like a failed allocation: no buffer that the old rectangle could
        // be mistaken to describe, and nothing for the new one.
        give_back(m);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    const std::uint32_t n = count.samples;
    if (n > m.size || (n < m.size && !keepLarger)) {
        give_back(m);
        void *block = u_malloc(static_cast<std::size_t>(n) * sizeof(Sample));
        if (block == nullptr) {
            return ERR_NO_MEM;
        }
        m.matrix = static_cast<Sample *>(block);
        m.size = n;
    }
    return 0;
}

// The steps both kinds of allocate share: refuse an unusable count with the
// matrix unchanged, otherwise drop any record of a buffer and obtain a new
// one of `count` samples from `obtain` (u_malloc or u_malloc_zeroed).
template <typename Matrix>
[[nodiscard]] int obtain_buffer(Matrix &m, Count count, void *(*obtain)(std::size_t)) {
    using Sample = std::remove_pointer_t<decltype(m.matrix)>;
    if (count.kind != CountKind::usable) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    m.size = 0;
    m.matrix = nullptr;
    void *block = obtain(static_cast<std::size_t>(count.samples) * sizeof(Sample));
    if (block == nullptr) {
        return ERR_NO_MEM;
    }
    m.matrix = static_cast<Sample *>(block);
    m.size = count.samples;
    return 0;
}

// The rectangle of either kind of matrix.
template <typename Matrix> void place(Matrix &m, const Region &r) {
    m.x = r.x;
    m.y = r.y;
    m.width = r.width;
    m.height = r.height;
}

// Hands every field of `from` to `to`, leaving `from` as a new matrix is.
void take(PhaseMatrix &to, PhaseMatrix &from) noexcept {
    to.size = std::exchange(from.size, 0);
    to.x = std::exchange(from.x, 0);
    to.y = std::exchange(from.y, 0);
    to.width = std::exchange(from.width, 0);
    to.height = std::exchange(from.height, 0);
    to.matrix = std::exchange(from.matrix, nullptr);
}

void take(IntensityMatrix &to, IntensityMatrix &from) noexcept {
    to.size = std::exchange(from.size, 0);
    to.x = std::exchange(from.x, 0);
    to.y = std::exchange(from.y, 0);
    to.width = std::exchange(from.width, 0);
    to.height = std::exchange(from.height, 0);
    to.n_buckets = std::exchange(from.n_buckets, 0);
    to.tag = std::exchange(from.tag, 0);
    to.matrix = std::exchange(from.matrix, nullptr);
}

} // namespace

PhaseMatrix::~PhaseMatrix() {
    give_back(*this);
}

PhaseMatrix::PhaseMatrix(PhaseMatrix &&other) noexcept {
    take(*this, other);
}

PhaseMatrix &PhaseMatrix::operator=(PhaseMatrix &&other) noexcept {
    if (this != &other) {
        give_back(*this);
        take(*this, other);
    }
    return *this;
}

IntensityMatrix::~IntensityMatrix() {
    give_back(*this);
}

IntensityMatrix::IntensityMatrix(IntensityMatrix &&other) noexcept {
    take(*this, other);
}

IntensityMatrix &IntensityMatrix::operator=(IntensityMatrix &&other) noexcept {
    if (this != &other) {
        give_back(*this);
        take(*this, other);
    }
    return *this;
}

int allocate(PhaseMatrix &m) {
    return obtain_buffer(m, count_of({m.width, m.height}, sizeof *m.matrix), u_malloc);
}

namespace {

int allocate_with(IntensityMatrix &m, void *(*obtain)(std::size_t)) {
    const int rc =
        obtain_buffer(m, count_of({m.n_buckets, m.width, m.height}, sizeof *m.matrix), obtain);
    if (rc == ERR_NO_MEM) {
        // An intensity matrix without memory shows no frames at all.
        m.n_buckets = 0;
        m.width = 0;
        m.height = 0;
    }
    return rc;
}

} // namespace

int allocate(IntensityMatrix &m) {
    return allocate_with(m, u_malloc);
}

int allocate_zeroed(IntensityMatrix &m) {
    return allocate_with(m, u_malloc_zeroed);
}

int resize(PhaseMatrix &m, const Region &r, bool keepLarger) {
    const Count count = count_of({r.width, r.height}, sizeof *m.matrix);
    const int rc = fit_buffer(m, count, keepLarger);
    if (rc != 0 || count.kind == CountKind::zero) {
        return rc; // the old rectangle stays
    }
    place(m, r);
    return 0;
}

int resize(IntensityMatrix &m, const Region &r, int n_buckets, bool keepLarger) {
    // A bucket count that n_buckets cannot hold is refused like a negative
    // one (a zero rectangle still wins: it frees the buffer).
    Count count =
        count_of({static_cast<std::int64_t>(n_buckets), r.width, r.height}, sizeof *m.matrix);
    if (count.kind == CountKind::usable && n_buckets > std::numeric_limits<std::int16_t>::max()) {
        count = {CountKind::refused, 0};
    }
    const int rc = fit_buffer(m, count, keepLarger);
    if (rc != 0 || count.kind == CountKind::zero) {
        return rc; // the old rectangle and bucket count stay
    }
    place(m, r);
    m.n_buckets = static_cast<std::int16_t>(n_buckets);
    return 0;
}

void set_region(PhaseMatrix &m, const Region &r) {
    place(m, r);
}

void set_region(IntensityMatrix &m, const Region &r) {
    place(m, r);
}

void release(PhaseMatrix &m) {
    give_back(m);
    m.width = 0;
    m.height = 0;
}

void release(IntensityMatrix &m) {
    give_back(m);
    m.width = 0;
    m.height = 0;
    m.n_buckets = 0;
}

} // namespace pdx
