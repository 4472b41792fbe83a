// The write path through the plug-in, as a restore drives it: the restore prepared from
// web-01's record with its data disk only (the plug-in creates a new disk), the disk taken with
// CreateVmdk and written from start to end with WriteVmdk, one request in flight, then the
// restore abandoned so that its disk is removed. Each request size starts from an empty disk
// file, and so does its ceiling, so that both allocate the blocks they write.
#include <fcntl.h>
#include <linux/falloc.h>
#include <unistd.h>

#include <chrono>

#include "BenchSim.h"

namespace fcbench {

namespace {

constexpr uint64_t kSliceBytes = 64u << 20;

// An empty file of the size, with nothing of an earlier round still to be written back:
// the measurement that follows starts on a quiet file system. The blocks are punched out
// rather than truncated away, since a file truncated to nothing is flushed when next closed.
bool Emptied(const std::string& file, uint64_t bytes, std::string& err) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0644);
    const bool ok =
        fd >= 0 && ::ftruncate(fd, off_t(bytes)) == 0 &&
        ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, off_t(bytes)) == 0 &&
        ::syncfs(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!ok) err = "cannot empty " + file;
    return ok;
}

// The disk written from start to end at the request size through CreateVmdk / WriteVmdk, and
// the ceiling's file likewise, in turns of one slice each, who goes first changing with every
// slice: the machine is shared, and whatever slows it down then falls on both alike. Bytes
// per second of each.
bool WriteInTurns(IVMInfo& p, const RestoreCtx& r, const std::string& disk,
                  const std::string& ceilingFile, uint64_t bytes, uint32_t request, double& socket,
                  double& ceiling) {
    VmdkHandle h;
    if (p.CreateVmdk(r.strVMName, r.strNewVMGUID, disk, h, bytes) != 1) return false;
    CCeiling other(ceilingFile, true);
    std::vector<unsigned char> buf(request, 'w');
    const uint64_t slice = std::max<uint64_t>(kSliceBytes / request, 1) * request;
    double socketSecs = 0, ceilingSecs = 0;
    bool ok = true;
    for (uint64_t from = 0, turn = 0; ok && from < bytes; from += slice, ++turn) {
        const uint64_t to = std::min(bytes, from + slice);
        for (int side = 0; ok && side < 2; ++side) {
            if ((side ^ turn) & 1) {
                const double secs = other.Transfer(from, to, request);
                ok = secs > 0;
                ceilingSecs += secs;
                continue;
            }
            const auto t0 = std::chrono::steady_clock::now();
            for (uint64_t off = from; ok && off < to; off += request) {
                const uint32_t n = uint32_t(std::min<uint64_t>(request, to - off));
                ok = p.WriteVmdk(h, off / 512, n / 512, buf.data()) == 1;
            }
            socketSecs +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
    }
    ok = p.CloseVmdk(h) == 1 && ok && socketSecs > 0 && ceilingSecs > 0;
    socket = ok ? double(bytes) / socketSecs : 0;
    ceiling = ok ? double(bytes) / ceilingSecs : 0;
    return ok;
}

bool Prepared(fcagent::CPluginHost& host, const std::string& work, RestoreCtx& r,
              std::string& err) {
    VMInfoStructs::SVMInfo vm;
    if (!host.FindVM("web-01", vm, err)) return false;
    r = RestoreCtx();
    r.strVMName = "bench-write";
    r.strConfigDir = work;
    r.strDestHost = vm.strHostName;
    r.strSourceVMName = vm.strName;
    r.strSourceVMGUID = vm.strGUID;
    r.bBuildFromRecord = true;
    r.newVMInfo = vm;
    r.newVMInfo.vecDisks.clear();
    r.newVMInfo.vecSnapshots.clear();
    for (const VMInfoStructs::SDisk& d : vm.vecDisks)
        if (d.strName == kDataDisk) r.vecRestoreDisks.push_back(d);
    if (r.vecRestoreDisks.size() == 1 && host.Plugin().InitRestoreVM(r) == 1 &&
        r.vecRestoreDisks.size() == 1)
        return true;
    err = host.LastError("cannot prepare a restore of web-01's data disk");
    return false;
}

}  // namespace

bool MeasureWritePaths(CBenchSim& sim, fcagent::CPluginHost& host, const SPathsOptions& o,
                       CFigures& figures, std::string& err) {
    const uint64_t bytes = o.ullDiskBytes;
    RestoreCtx r;
    if (!Prepared(host, sim.Work(), r, err)) return false;
    const std::string disk = r.vecRestoreDisks[0].strName;
    const std::string file = sim.DiskFile(disk);
    const std::string ceiling = sim.Work() + "/ceiling-write.img";
    bool ok = true;
    for (size_t i = 0; ok && i < o.vecSizes.size(); ++i) {
        const uint32_t s = o.vecSizes[i];
        double socket = 0, rate = 0;
        ok = Emptied(file, bytes, err) && Emptied(ceiling, bytes, err);
        if (ok && !WriteInTurns(host.Plugin(), r, disk, ceiling, bytes, s, socket, rate)) {
            err = host.LastError("writing the restored disk " + disk + " failed");
            ok = false;
        }
        if (!ok) break;
        figures.Add("write.socket." + SizeName(s), socket / 1e6, "MB/s");
        figures.Add("write.ceiling." + SizeName(s), rate / 1e6, "MB/s");
        std::printf("write %s: socket %.0f MB/s, ceiling %.0f MB/s\n", SizeName(s).c_str(),
                    socket / 1e6, rate / 1e6);
    }
    ::unlink(ceiling.c_str());
    r.strCleanupVMGUID = r.strNewVMGUID;
    host.Plugin().CleanupRestoreVM(r);
    return ok;
}

}  // namespace fcbench
