// Micro-benchmarks of the conversion's parts: the byte reversal of sample
// blocks against a memcpy of the same bytes, the data file reader and the
// data matrix file writer in both byte orders. Files live in a scratch
// directory under the system's temporary directory, removed at the end.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "pdx/datafile/data_file.h"
#include "pdx/datafile/matrix_file.h"
#include "pdx/matrix/region_matrix.h"
#include "pdx/util/byte_order.h"
#include "support/temp_dir.h"

namespace {

using namespace pdx;
namespace fs = std::filesystem;

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;

const test_support::TempDir &scratch() {
    static const test_support::TempDir dir;
    return dir;
}

std::vector<unsigned char> pattern(std::size_t bytes) {
    std::vector<unsigned char> v(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        v[i] = static_cast<unsigned char>(i * 131 + 7);
    }
    return v;
}

// --- byte reversal against memcpy -------------------------------------------

void BM_SwapSamples(benchmark::State &state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const int width = static_cast<int>(state.range(1));
    std::vector<unsigned char> block = pattern(bytes);
    for (auto _ : state) {
        u_swap_samples(block.data(), bytes / static_cast<std::size_t>(width), width);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The same bytes copied to another block: what moving the data costs at all.
void BM_Memcpy(benchmark::State &state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> from = pattern(bytes);
    std::vector<unsigned char> to(bytes, 0);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// For reference: the one-sample-at-a-time loop that u_swap_samples replaces
// (scalar with GCC at -O2 on the baseline instruction set).
void BM_SwapPerSampleLoop(benchmark::State &state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> block = pattern(bytes);
    for (auto _ : state) {
        unsigned char *b = block.data();
        for (std::size_t i = 0; i < bytes / 4; ++i) {
            std::uint32_t v;
            std::memcpy(&v, b + 4 * i, 4);
            v = __builtin_bswap32(v);
            std::memcpy(b + 4 * i, &v, 4);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void swap_args(benchmark::internal::Benchmark *b) {
    for (std::int64_t bytes : {64 * kKiB, 1 * kMiB, 4 * kMiB, 64 * kMiB}) {
        for (std::int64_t width : {2, 4}) {
            b->Args({bytes, width});
        }
    }
    b->ArgNames({"bytes", "width"});
}

void block_sizes(benchmark::internal::Benchmark *b) {
    for (std::int64_t bytes : {64 * kKiB, 1 * kMiB, 4 * kMiB, 64 * kMiB}) {
        b->Arg(bytes);
    }
    b->ArgName("bytes");
}

BENCHMARK(BM_SwapSamples)->Apply(swap_args);
BENCHMARK(BM_Memcpy)->Apply(block_sizes);
BENCHMARK(BM_SwapPerSampleLoop)->Apply(block_sizes);

// --- file reader and writer ----------------------------------------------------

// A square phase region of `bytes` / 4 samples (bytes a power of 4 times 4).
std::int16_t side_for(std::int64_t bytes) {
    std::int64_t side = 1;
    while (side * side * 4 < bytes) {
        side *= 2;
    }
    return static_cast<std::int16_t>(side);
}

void put_be(unsigned char *p, std::uint32_t v, int width) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<unsigned char>(v);
        v >>= 8;
    }
}

// A data file with a 4096-byte header and a phase block of side x side
// samples (no intensity block), written once per size.
std::string data_file(std::int16_t side) {
    const std::string path = scratch().file("in_" + std::to_string(side) + ".dat");
    if (fs::exists(path)) {
        return path;
    }
    const std::size_t count = static_cast<std::size_t>(side) * static_cast<std::size_t>(side);
    std::vector<unsigned char> bytes(4096 + count * 4);
    put_be(bytes.data(), 0x881B0371, 4);
    put_be(bytes.data() + 68, static_cast<std::uint32_t>(side), 2);
    put_be(bytes.data() + 70, static_cast<std::uint32_t>(side), 2);
    put_be(bytes.data() + 72, static_cast<std::uint32_t>(count * 4), 4);
    for (std::size_t i = 0; i < count * 4; ++i) {
        bytes[4096 + i] = static_cast<unsigned char>(i * 131 + 7);
    }
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
        std::fclose(f) != 0) {
        return {};
    }
    return path;
}

void BM_DataFileRead(benchmark::State &state) {
    const std::string path = data_file(side_for(state.range(0)));
    if (path.empty()) {
        state.SkipWithError("cannot write the input file");
        return;
    }
    for (auto _ : state) {
        PhaseMatrix phase;
        const int rc = data_file_read(path.c_str(), nullptr, nullptr, nullptr, &phase);
        if (rc != 0) {
            state.SkipWithError("data_file_read failed");
            break;
        }
        benchmark::DoNotOptimize(phase.matrix);
        release(phase);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Writes a fresh file each time: the previous one is removed outside the
// timed region, so truncating it is not counted.
void BM_MatrixFileWrite(benchmark::State &state) {
    const std::int16_t side = side_for(state.range(0));
    const bool big = state.range(1) != 0;
    PhaseMatrix m;
    m.width = side;
    m.height = side;
    if (allocate(m) != 0) {
        state.SkipWithError("allocate failed");
        return;
    }
    const std::vector<unsigned char> fill = pattern(static_cast<std::size_t>(state.range(0)));
    std::memcpy(m.matrix, fill.data(), fill.size());
    const std::string path = scratch().file("out.mat");
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(path.c_str());
        state.ResumeTiming();
        if (matrix_file_write(path.c_str(), &m, big) != 0) {
            state.SkipWithError("matrix_file_write failed");
            break;
        }
    }
    std::remove(path.c_str());
    release(m);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_DataFileRead)
    ->Arg(1 * kMiB)
    ->Arg(64 * kMiB)
    ->ArgName("bytes")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MatrixFileWrite)
    ->ArgsProduct({{1 * kMiB, 64 * kMiB}, {0, 1}})
    ->ArgNames({"bytes", "big"})
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
