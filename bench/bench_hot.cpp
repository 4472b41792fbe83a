// The per-byte costs of the repository (SHA-256 of a chunk, zstd at the repository's level)
// and of reading FusionStorage tool output. Throughput is reported per byte of input.
#include <benchmark/benchmark.h>
#include <zstd.h>

#include <map>
#include <random>
#include <string>

#include "ChunkStore.h"
#include "FusionStorageParser.h"

namespace {

std::string Data(size_t n) {
    std::mt19937_64 rng(7);
    std::string s(n, '\0');
    // Half random, half text-like: what a VM disk's allocated blocks roughly hold.
    for (size_t i = 0; i < n; ++i) s[i] = i % 4096 < 2048 ? char(rng()) : char('a' + i % 23);
    return s;
}

void BM_ChunkChecksum(benchmark::State& state) {
    const std::string chunk = Data(4u << 20);
    for (auto _ : state) benchmark::DoNotOptimize(Sha256Hex(chunk.data(), chunk.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(chunk.size()));
}
BENCHMARK(BM_ChunkChecksum)->Unit(benchmark::kMillisecond);

void BM_ChunkCompress(benchmark::State& state) {
    const std::string chunk = Data(4u << 20);
    std::string out(ZSTD_compressBound(chunk.size()), '\0');
    for (auto _ : state)
        benchmark::DoNotOptimize(ZSTD_compress(&out[0], out.size(), chunk.data(), chunk.size(), 3));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(chunk.size()));
}
BENCHMARK(BM_ChunkCompress)->Unit(benchmark::kMillisecond);

void BM_ToolOutputParser(benchmark::State& state) {
    std::string output;
    for (int i = 0; i < 2000; ++i)
        output += "result=0\nvolName=vol-" + std::to_string(i) + "\nsize=4096\nwwn=6888603" +
                  std::to_string(i) + "\nstatus=ready\n";
    for (auto _ : state) {
        std::map<std::string, std::string> values;
        FusionStorage::ParseToolOutput(output, values);
        benchmark::DoNotOptimize(values);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(output.size()));
}
BENCHMARK(BM_ToolOutputParser)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
