// The disk paths through the plug-in, as the agent drives them: the demo VM web-01 with its two
// disks grown to the bench size (the first full of data on a datastore without LUNs, the second
// sparse on the SAN datastore), mounted, each disk opened and read from start to end; the
// write path between (PathsWrite.cpp).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "AgentHost.h"
#include "BenchSim.h"
#include "CnaServer.h"

namespace fcbench {

std::string SizeName(uint32_t n) {
    return n >= (1u << 20) ? std::to_string(n >> 20) + "MiB" : std::to_string(n >> 10) + "KiB";
}

namespace {

// Reads the whole disk at the request size through OpenVmdk / ReadVmdk; bytes per second.
double PluginRead(fcagent::CPluginHost& host, const MountCtx& ctx, const std::string& disk,
                  uint64_t bytes, uint32_t request, std::string& transport) {
    IVMInfo& p = host.Plugin();
    VmdkHandle h;
    {
        EvLogCapture log;  // only while opening: the log says which transport was chosen
        if (p.OpenVmdk(ctx.strVMName, ctx.strVMGUID, disk, h) != 1) return 0;
        transport = log.Contains("] [SAN]") ? "SAN" : "LAN";
    }
    std::vector<unsigned char> buf(request);
    const auto t0 = std::chrono::steady_clock::now();
    uint64_t done = 0;
    for (uint64_t off = 0; off < bytes; off += request) {
        const uint32_t n = uint32_t(std::min<uint64_t>(request, bytes - off));
        if (p.ReadVmdk(h, off / 512, n / 512, buf.data()) != 1) break;
        done += n;
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    p.CloseVmdk(h);
    return done == bytes && secs > 0 ? double(done) / secs : 0;
}

// The machines are shared and a pass of a few seconds catches whatever else they do: two
// figures compared with each other are measured in turns, who goes first changing with every
// turn, and each keeps its best pass. Passes of a fraction of a second (page-cache reads)
// catch it most, so turns go on until the passes took kMinSeconds in all. False when a pass
// fails.
constexpr int kTurns = 3;
constexpr int kMaxTurns = 10;
constexpr double kMinSeconds = 8;

double CpuNow(int who) {
    rusage u{};
    ::getrusage(who, &u);
    return CpuSeconds(u);
}

// A pass's rate, and the CPU time it took on the reading thread and on the process's other
// threads (the servers: the simulator's and the ceiling's run in this process).
struct SPass {
    double dRate = 0;
    double dClientCpu = 0;
    double dServerCpu = 0;
};

template <class Fn>
SPass Timed(Fn fn) {
    const double dThread0 = CpuNow(RUSAGE_THREAD), dProcess0 = CpuNow(RUSAGE_SELF);
    SPass pass;
    pass.dRate = fn();
    pass.dClientCpu = CpuNow(RUSAGE_THREAD) - dThread0;
    pass.dServerCpu = CpuNow(RUSAGE_SELF) - dProcess0 - pass.dClientCpu;
    return pass;
}

template <class FnA, class FnB>
bool InTurns(FnA a, FnB b, SPass& bestA, SPass& bestB) {
    bestA = bestB = SPass();
    const auto t0 = std::chrono::steady_clock::now();
    auto spent = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    for (int turn = 0; turn < kTurns || (turn < kMaxTurns && spent() < kMinSeconds); ++turn) {
        for (int side = 0; side < 2; ++side) {
            const bool bA = ((side ^ turn) & 1) == 0;
            const SPass pass = bA ? Timed(a) : Timed(b);
            if (pass.dRate == 0) return false;
            SPass& best = bA ? bestA : bestB;
            if (pass.dRate > best.dRate) best = pass;
        }
    }
    return true;
}

// CPU seconds per GB read, of the client and of the server, next to the pass's rate.
void AddCpu(CFigures& figures, const std::string& strName, const SPass& pass, uint64_t bytes) {
    const double gb = double(bytes) / 1e9;
    figures.Add(strName + ".client-cpu", pass.dClientCpu / gb, "s/GB");
    figures.Add(strName + ".server-cpu", pass.dServerCpu / gb, "s/GB");
}

bool Mounted(CBenchSim& sim, std::unique_ptr<fcagent::CPluginHost>& host, MountCtx& ctx,
             std::string& err) {
    if (!sim.Connect(host, err)) return false;
    ctx = MountCtx();
    ctx.strVMName = "web-01";
    ctx.strMountPath = sim.Work() + "/mount";
    VMInfoStructs::SVMInfo vm;
    if (!host->FindVM("web-01", vm, err)) return false;
    ctx.strVMGUID = vm.strGUID;
    if (host->Plugin().MountVM(ctx) != 1) {
        err = host->LastError("cannot mount web-01");
        return false;
    }
    return true;
}

}  // namespace

bool MeasurePaths(const SPathsOptions& o, CFigures& figures, std::string& err) {
    CBenchSim sim(o);
    if (!sim.Start(63, err)) return false;
    const uint64_t bytes = o.ullDiskBytes;
    std::unique_ptr<fcagent::CPluginHost> host;
    MountCtx ctx;
    std::string transport;
    // The socket protocol, beside the ceiling of the same request shape on the same file. The
    // disk file was just written: one plain pass first, so that no first pass pays for what the
    // kernel still does with its new pages.
    if (!Mounted(sim, host, ctx, err)) return false;
    PlainRead(sim.DiskFile(kDataDisk), bytes, 4u << 20);
    for (uint32_t s : o.vecSizes) {
        SPass socket, ceiling;
        if (!InTurns([&] { return PluginRead(*host, ctx, kDataDisk, bytes, s, transport); },
                     [&] { return CeilingRead(sim.DiskFile(kDataDisk), bytes, s); }, socket,
                     ceiling)) {
            err = host->LastError("reading " + std::string(kDataDisk) + " failed");
            return false;
        }
        figures.Add("read.socket." + SizeName(s), socket.dRate / 1e6, "MB/s");
        figures.Add("read.ceiling." + SizeName(s), ceiling.dRate / 1e6, "MB/s");
        AddCpu(figures, "read.socket." + SizeName(s), socket, bytes);
        AddCpu(figures, "read.ceiling." + SizeName(s), ceiling, bytes);
        std::printf("read %s: socket %.0f MB/s\n", SizeName(s).c_str(), socket.dRate / 1e6);
    }
    host->Plugin().UnmountVM(ctx);
    // The write path on the same protocol, into a disk a restore creates.
    if (!MeasureWritePaths(sim, *host, o, figures, err)) return false;
    host.reset();

    // Our SDK's LAN transport (management version 62) in turns with the socket protocol
    // (63), a mount of its own for each pass, so that the two share the machine's state.
    for (uint32_t s : {1u << 20, 4u << 20}) {
        auto pass = [&](int nVersion) {
            sim.SetVersion(nVersion);
            std::unique_ptr<fcagent::CPluginHost> passHost;
            MountCtx passCtx;
            if (!Mounted(sim, passHost, passCtx, err)) return 0.0;
            const double d = PluginRead(*passHost, passCtx, kDataDisk, bytes, s, transport);
            if (d == 0) err = passHost->LastError("reading " + std::string(kDataDisk) + " failed");
            passHost->Plugin().UnmountVM(passCtx);
            return d;
        };
        SPass lan, socket;
        if (!InTurns([&] { return pass(62); }, [&] { return pass(63); }, lan, socket)) return false;
        figures.Add("read.sdk-lan." + SizeName(s), lan.dRate / 1e6, "MB/s");
        figures.Add("read.socket-beside-lan." + SizeName(s), socket.dRate / 1e6, "MB/s");
        std::printf("read %s: SDK LAN %.0f MB/s, socket %.0f MB/s\n", SizeName(s).c_str(),
                    lan.dRate / 1e6, socket.dRate / 1e6);
    }

    // Our SDK's SAN transport (the second disk's datastore has LUNs).
    sim.SetVersion(62);
    if (!sim.ExposeLuns(err) || !Mounted(sim, host, ctx, err)) return false;
    // The sparse disk has not been read yet: a first read fills the page cache, holes too, so
    // one pass beforehand keeps that cost off whichever of SAN and pread would go first.
    PlainRead(sim.DiskFile(kSparseDisk), bytes, 4u << 20);
    for (uint32_t s : {1u << 20, 4u << 20}) {
        SPass san, pread;
        if (!InTurns([&] { return PluginRead(*host, ctx, kSparseDisk, bytes, s, transport); },
                     [&] { return PlainRead(sim.DiskFile(kSparseDisk), bytes, s); }, san, pread)) {
            err = host->LastError("reading through the SDK failed");
            return false;
        }
        if (transport != "SAN") {
            err = "the SAN disk was not read over SAN";
            return false;
        }
        figures.Add("read.san." + SizeName(s), san.dRate / 1e6, "MB/s");
        figures.Add("read.pread." + SizeName(s), pread.dRate / 1e6, "MB/s");
        std::printf("read %s: SAN %.0f MB/s, pread %.0f MB/s\n", SizeName(s).c_str(),
                    san.dRate / 1e6, pread.dRate / 1e6);
    }
    host->Plugin().UnmountVM(ctx);
    host.reset();
    return true;
}

}  // namespace fcbench
