// Small reads through the CNA socket client against the simulator's CNA server on loopback.
// A backup reads a disk as a stream of such requests, so their round trip bounds its speed.
// The second case turns Nagle's algorithm back on for the client's socket, as an anchor for
// what the header-then-body writes would cost without TCP_NODELAY.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CnaServer.h"
#include "FusionComputeSocket.h"
#include "SimState.h"

namespace {

struct SPeer {
    std::string strRoot;
    std::unique_ptr<fcsim::CSimState> pState;
    std::unique_ptr<fcsim::CCnaServer> pServer;
    CFusionComputeSocket client;
    uint32_t nHandle = 0;

    SPeer() {
        char tmpl[] = "/tmp/fc-bench-cna-XXXXXX";
        strRoot = mkdtemp(tmpl);
        pState = std::make_unique<fcsim::CSimState>(strRoot);
        std::string disk = pState->DiskPath("bench-disk");
        std::filesystem::create_directories(std::filesystem::path(disk).parent_path());
        {
            std::FILE* f = std::fopen(disk.c_str(), "w");
            std::fclose(f);
        }
        std::filesystem::resize_file(disk, 64ull << 20);
        fcsim::SLease lease;
        lease.strAccessID = "bench-access";
        lease.strToken = "bench-token";
        lease.strDiskID = "bench-disk";
        lease.strPath = disk;
        lease.tExpires = fcsim::CSimState::Now() + 3600;
        pState->PutLease(lease);
        pServer = std::make_unique<fcsim::CCnaServer>(*pState);
        pServer->Start("127.0.0.1", 0);
        client.Connect("127.0.0.1", pServer->Port());
        client.OpenRemoteDiskFile(disk, "bench-token", true, nHandle);
    }
    ~SPeer() {
        client.Disconnect();
        pServer->Stop();
        std::filesystem::remove_all(strRoot);
    }
};

void RunReads(benchmark::State& state, bool nagle) {
    SPeer peer;
    if (peer.nHandle == 0) {
        state.SkipWithError("could not open the disk on the CNA server");
        return;
    }
    if (nagle) {
        int zero = 0;
        setsockopt(peer.client.NativeHandle(), IPPROTO_TCP, TCP_NODELAY, &zero, sizeof(zero));
    }
    const int reads = static_cast<int>(state.range(0));
    std::vector<uint8_t> buffer(4096);
    uint64_t offset = 0;
    for (auto _ : state) {
        for (int i = 0; i < reads; ++i) {
            if (!peer.client.ReadFromRemoteDiskFile(peer.nHandle, offset, 4096, buffer.data())) {
                state.SkipWithError("read failed");
                return;
            }
            offset = (offset + 4096) % (64ull << 20);
        }
    }
    state.SetItemsProcessed(state.iterations() * reads);
    state.SetBytesProcessed(state.iterations() * reads * 4096);
}

void BM_CnaSmallReads(benchmark::State& state) {
    RunReads(state, false);
}
void BM_CnaSmallReadsNagleOn(benchmark::State& state) {
    RunReads(state, true);
}

BENCHMARK(BM_CnaSmallReads)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CnaSmallReadsNagleOn)
    ->Arg(10)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
