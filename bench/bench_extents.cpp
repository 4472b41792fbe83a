// The extent hot loops: the management service's hexadecimal bitmap of a 2 TiB disk at 64 KiB
// per bit (8 Mi characters), sparse and dense, and the scan of a 512 MiB FusionStorage bitmap
// volume file. Throughput is reported per byte of input.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "FusionComputeDiskInfo.h"

namespace {

using VMInfoStructs::SDiskChangeInfo;

constexpr size_t kChars = (2ull << 40) / (64 << 10) / 4;  // bits of 64 KiB, four per digit

std::string Bitmap(bool dense) {
    std::mt19937 rng(1);
    std::string s(kChars, dense ? 'F' : '0');
    // Sparse: one changed digit in 4096; dense: one unchanged run of digits in 64.
    for (size_t i = 0; i < s.size(); i += dense ? 64 : 4096)
        s[i + rng() % 16] = "0123456789ABCDEF"[rng() % 16];
    return s;
}

void BM_ProcessCBTBitmap(benchmark::State& state) {
    const std::string bitmap = Bitmap(state.range(0) != 0);
    size_t extents = 0;
    for (auto _ : state) {
        SDiskChangeInfo info;
        CFusionComputeDiskInfo::ProcessCBTBitmap(bitmap, 128, 512, info);
        extents = info.vecExtents.size();
        benchmark::DoNotOptimize(info);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bitmap.size()));
    state.counters["extents"] = double(extents);
}
BENCHMARK(BM_ProcessCBTBitmap)->Arg(0)->Arg(1)->ArgName("dense")->Unit(benchmark::kMillisecond);

class CScanner : public CFusionComputeDiskInfo {
public:
    CScanner() : CFusionComputeDiskInfo(nullptr) { fusionStorageDataOffset = 0; }
};

void BM_FusionStorageBitmapVolume(benchmark::State& state) {
    char tmpl[] = "/tmp/fc-bench-bitmap-XXXXXX";
    const int fd = mkstemp(tmpl);
    const uint64_t size = 512ull << 20;
    // Sparse, as an incremental's bitmap usually is: a changed run every 1 MiB.
    if (fd < 0 || ftruncate(fd, off_t(size)) != 0) {
        state.SkipWithError("cannot create the bitmap file");
        return;
    }
    for (uint64_t off = 0; off < size; off += 1 << 20) pwrite(fd, "\1\1\1\1", 4, off_t(off + 4096));
    close(fd);
    CScanner scanner;
    for (auto _ : state) {
        SDiskChangeInfo info;
        benchmark::DoNotOptimize(scanner.ReadFusionStorageBitmapVolume(tmpl, 4096, 1, info));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
    unlink(tmpl);
}
BENCHMARK(BM_FusionStorageBitmapVolume)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
