// A backup as the agent runs it: mount (snapshot), the mount information (descriptor files and
// disk entries), then each disk opened, its extents asked for and read into the repository,
// and the mount undone whatever happened.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "AgentHost.h"
#include "VmRecord.h"
#include "WritePipe.h"
#include "WzFile.h"

namespace fcagent {

using namespace VMInfoStructs;

namespace {

const uint64_t kSector = 512;

struct SDiskJob {
    SDisk entry;                 // as the mount information showed it
    const SDiskRecord* pParent;  // the parent backup's disk of the same name, if any
    std::string strNewToken;     // the token the next backup asks from
    SDiskResult result;
};

// Everything the disk threads share; the first failure stops the rest.
struct SShared {
    CPluginHost& host;
    const SBackupRequest& request;
    MountCtx& ctx;
    CBackupWriter& writer;
    IProgress& progress;
    std::vector<SDiskJob>& jobs;
    bool bIncremental;  // a parent backup was found
    std::mutex lock;
    std::string strError;
    size_t nNext = 0;
    std::atomic<bool> bFailed{false};  // read before every piece: no lock on the read path

    bool Failed() const { return bFailed.load(std::memory_order_relaxed); }
    void Fail(const std::string& what) {
        std::lock_guard<std::mutex> g(lock);
        if (!bFailed) strError = what.empty() ? "the backup failed" : what;
        bFailed = true;
    }
    SDiskJob* Take() {
        std::lock_guard<std::mutex> g(lock);
        if (bFailed || nNext >= jobs.size()) return nullptr;
        return &jobs[nNext++];
    }
};

// Why a disk of an incremental must be read whole; empty when its changes can be asked for.
std::string FallbackReason(const SDiskJob& job, const MountCtx& ctx, uint64_t ullCapacity) {
    if (!job.pParent) return "the disk is not in the previous backup";
    if (job.pParent->strChangeToken.empty()) return "the previous backup has no change token";
    if (ctx.strCBTStatus == "Failed") return "changed-block tracking failed on the platform";
    if (job.strNewToken.empty()) {
        return ctx.strCBTStatus == "Partially Used"
                   ? "changed-block tracking is only partly in use and not on this disk"
                   : "the disk has no change token";
    }
    if (job.pParent->ullCapacity != ullCapacity)
        return "the capacity changed from " + std::to_string(job.pParent->ullCapacity) + " to " +
               std::to_string(ullCapacity) + " bytes";
    return "";
}

// The extents to read, sector aligned, inside the disk, in order and not overlapping.
std::vector<SDiskChangeExtent> Aligned(const SDiskChangeInfo& info, uint64_t ullCapacity) {
    std::vector<SDiskChangeExtent> out;
    std::vector<SDiskChangeExtent> in = info.vecExtents;
    std::sort(in.begin(), in.end(), [](const SDiskChangeExtent& a, const SDiskChangeExtent& b) {
        return a.ullOffset < b.ullOffset;
    });
    for (const SDiskChangeExtent& e : in) {
        if (e.ullLength == 0 || e.ullOffset >= ullCapacity) continue;
        const uint64_t begin = e.ullOffset / kSector * kSector;
        uint64_t end =
            e.ullLength > ullCapacity - e.ullOffset ? ullCapacity : e.ullOffset + e.ullLength;
        end = std::min(ullCapacity, (end + kSector - 1) / kSector * kSector);
        if (!out.empty() && begin <= out.back().ullOffset + out.back().ullLength) {
            const uint64_t last = out.back().ullOffset + out.back().ullLength;
            if (end > last) out.back().ullLength = end - out.back().ullOffset;
            continue;
        }
        SDiskChangeExtent a;
        a.ullOffset = begin;
        a.ullLength = end - begin;
        out.push_back(a);
    }
    return out;
}

std::vector<SDiskChangeExtent> Whole(uint64_t ullCapacity) {
    SDiskChangeExtent e;
    e.ullLength = ullCapacity;
    return {e};
}

// One open disk of the platform; closed when it goes.
class COpenDisk {
public:
    COpenDisk(IVMInfo& plugin, const MountCtx& ctx, const std::string& strName)
        : m_plugin(plugin), m_ctx(ctx), m_strName(strName) {}
    ~COpenDisk() { Close(); }
    bool Open() {
        Close();
        m_bOpen = m_plugin.OpenVmdk(m_ctx.strVMName, m_ctx.strVMGUID, m_strName, m_h) == 1;
        return m_bOpen;
    }
    void Close() {
        if (m_bOpen) m_plugin.CloseVmdk(m_h);
        m_bOpen = false;
    }
    VmdkHandle& Handle() { return m_h; }

private:
    IVMInfo& m_plugin;
    const MountCtx& m_ctx;
    std::string m_strName;
    VmdkHandle m_h;
    bool m_bOpen = false;
};

// Reads one disk's extents into its writer. A failed read is tried once more on a fresh open
// of the disk: a dropped connection to the platform must not cost the whole backup.
bool BackupDisk_Step(SShared& s, SDiskJob& job) {
    IVMInfo& plugin = s.host.Plugin();
    SDiskResult& r = job.result;
    r.strName = job.entry.strName;
    const auto started = std::chrono::steady_clock::now();
    COpenDisk disk(plugin, s.ctx, job.entry.strName);
    if (!disk.Open()) {
        s.Fail(s.host.LastError("cannot open disk " + r.strName));
        return false;
    }
    UINT64 capacity = 0;
    if (plugin.GetVmdkCapacity(disk.Handle(), capacity) != 1 || capacity % kSector != 0) {
        s.Fail(s.host.LastError("cannot read the capacity of disk " + r.strName));
        return false;
    }
    r.ullCapacity = capacity;
    r.strTransport = s.ctx.strTransportMode;

    std::string reason = s.bIncremental ? FallbackReason(job, s.ctx, capacity) : "";
    SDiskChangeInfo info;
    bool bIncremental = s.bIncremental && reason.empty();
    if (bIncremental &&
        plugin.GetVmdkExtents(disk.Handle(), job.pParent->strChangeToken, 0, info) != 1) {
        reason = s.host.LastError("the previous backup's change token was refused");
        bIncremental = false;
        info = SDiskChangeInfo();
    }
    std::vector<SDiskChangeExtent> extents;
    if (bIncremental) {
        extents = Aligned(info, capacity);
    } else if (plugin.GetVmdkExtents(disk.Handle(), "", 0, info) == 1) {
        extents = Aligned(info, capacity);  // the allocated blocks
    } else {
        extents = Whole(capacity);  // no allocation map: every byte
    }
    r.strCbt = bIncremental ? "incremental" : "full";
    if (s.bIncremental) r.strFallbackReason = reason;

    std::unique_ptr<CDiskWriter> out;
    std::string err;
    if (!s.writer.OpenDisk(r.strName, capacity, job.strNewToken,
                           bIncremental ? EDiskBase::Parent : EDiskBase::Zero, out, err)) {
        s.Fail(err);
        return false;
    }
    uint64_t total = 0;
    for (const SDiskChangeExtent& e : extents) total += e.ullLength;
    s.progress.AddTotal(total);

    CWritePipe pipe(*out, s.request.nRequestBytes);
    for (const SDiskChangeExtent& e : extents) {
        for (uint64_t off = e.ullOffset; off < e.ullOffset + e.ullLength;) {
            unsigned char* buffer = pipe.Acquire();
            if (!buffer || s.Failed()) break;
            const uint64_t n =
                std::min<uint64_t>(s.request.nRequestBytes, e.ullOffset + e.ullLength - off);
            const UINT32 sectors = static_cast<UINT32>(n / kSector);
            if (plugin.ReadVmdk(disk.Handle(), off / kSector, sectors, buffer) != 1 &&
                (!disk.Open() ||
                 plugin.ReadVmdk(disk.Handle(), off / kSector, sectors, buffer) != 1)) {
                pipe.Release(buffer);
                s.Fail(s.host.LastError("cannot read disk " + r.strName + " at byte " +
                                        std::to_string(off)));
                break;
            }
            pipe.Submit(buffer, off, n);
            off += n;
            r.ullBytesRead += n;
            s.progress.Advance(n);
        }
    }
    if (!pipe.Finish(err)) s.Fail(err);
    if (s.Failed()) return false;
    if (!out->Close(err)) {
        s.Fail(err);
        return false;
    }
    r.dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return true;
}

void DiskThread(SShared& s) {
    while (SDiskJob* job = s.Take()) BackupDisk_Step(s, *job);
}

// The VM's newest complete backup, when it can be the parent of an incremental.
const SBackupInfo* ParentOf(const std::vector<SBackupInfo>& backups, const std::string& guid) {
    for (auto it = backups.rbegin(); it != backups.rend(); ++it) {
        if (it->vm.strGuid != guid) continue;
        for (const SDiskRecord& d : it->vecDisks)
            if (!d.strChangeToken.empty()) return &*it;
        return nullptr;  // the newest has no tokens: nothing to ask changes from
    }
    return nullptr;
}

// Undoes the mount when the backup ends, however it ends.
class CMounted {
public:
    CMounted(IVMInfo& plugin, MountCtx& ctx) : m_plugin(plugin), m_ctx(ctx) {}
    ~CMounted() {
        if (m_bMounted) m_plugin.UnmountVM(m_ctx);
    }
    bool Mount() { return m_bMounted = m_plugin.MountVM(m_ctx) == 1; }

private:
    IVMInfo& m_plugin;
    MountCtx& m_ctx;
    bool m_bMounted = false;
};

// The descriptor files and disk entries of the mount, into what the backup keeps.
bool CollectMountInfo_Step(CPluginHost& host, MountCtx& ctx, SKeptVm& kept, std::string& strError) {
    std::vector<SMountInfoFull> info;
    if (host.Plugin().GetFullMountInfo(ctx, info) != 1) {
        strError = host.LastError("cannot list the mounted VM's files");
        return false;
    }
    for (const SMountInfoFull& entry : info) {
        if (entry.vecDisks.empty()) continue;
        const SDisk& disk = entry.vecDisks.front();
        if (entry.nType != 0) {
            kept.vecDisks.push_back(disk);
            continue;
        }
        std::string text;
        if (!ReadWholeFile(disk.strName, text)) {
            strError = "cannot read the VM's descriptor " + disk.strName;
            return false;
        }
        kept.mapFiles[disk.strFileName] = text;
    }
    return true;
}

}  // namespace

bool ValidRequestSize(uint32_t nBytes, std::string& strError) {
    if (nBytes != 0 && nBytes % kSector == 0) return true;
    strError = "the request size must be a positive multiple of 512 bytes";
    return false;
}

bool RunBackup(CPluginHost& host, const CRepository& repo, const SBackupRequest& request,
               IProgress& progress, SBackupResult& result, std::string& strError) {
    const auto started = std::chrono::steady_clock::now();
    if (!ValidRequestSize(request.nRequestBytes, strError)) return false;
    SVMInfo vm;
    if (!host.FindVM(request.strVm, vm, strError)) return false;
    // The GUID names the mount folder: a service's answer must not lead it out of the work folder.
    if (vm.strGUID.empty() || vm.strGUID.find('/') != std::string::npos ||
        vm.strGUID.find("..") != std::string::npos) {
        strError = "the platform gave " + vm.strName + " an unusable GUID [" + vm.strGUID + "]";
        return false;
    }
    std::vector<SBackupInfo> backups;
    if (!repo.ListBackups(backups, strError)) return false;
    const SBackupInfo* parent = request.bFull ? nullptr : ParentOf(backups, vm.strGUID);

    MountCtx ctx;
    ctx.strVMName = vm.strName;
    ctx.strVMGUID = vm.strGUID;
    ctx.strMountPath = request.strWorkDir + "/mount-" + vm.strGUID;
    ctx.bUseCBT = true;
    ctx.nMinFreeSpacePercent = request.nMinFreePercent;
    for (const std::string& p : request.vecExcludeDisks)
        ctx.vecDiskFilters.push_back({DISK_FILTER_PATTERN, p});
    for (const std::string& d : request.vecExcludeDatastores)
        ctx.vecDiskFilters.push_back({DISK_FILTER_DATASTORE, d});
    CMounted mounted(host.Plugin(), ctx);
    progress.Begin("backup of " + vm.strName);
    if (!mounted.Mount()) {
        strError = host.LastError("cannot take the backup snapshot of " + vm.strName);
        return false;
    }
    // A disk the mount could not take would be missing from a backup that looks whole.
    std::vector<std::string> skipped;
    for (const SJobFailure& f : ctx.vecMountFailures) {
        if (!f.bIgnorable) {
            strError =
                "disk " + f.strItem + " of " + vm.strName + " cannot be backed up: " + f.strReason;
            return false;
        }
        skipped.push_back(f.strItem + ": " + f.strReason);
    }
    SKeptVm kept;
    kept.vm = ctx.vmInfo;
    kept.strCbtStatus = ctx.strCBTStatus;
    kept.strTransport = ctx.strTransportMode;
    if (!CollectMountInfo_Step(host, ctx, kept, strError)) return false;

    SBackupOptions options;
    if (parent) options.strParentId = parent->strId;
    std::unique_ptr<CBackupWriter> writer;
    if (!repo.StartBackup({vm.strName, vm.strGUID, KeptVmToJson(kept)}, options, writer, strError))
        return false;

    std::vector<SDiskJob> jobs;
    for (const SDisk& entry : kept.vecDisks) {
        SDiskJob job{entry, nullptr, "", {}};
        if (parent)
            for (const SDiskRecord& d : parent->vecDisks)
                if (d.strName == entry.strName) job.pParent = &d;
        for (const SDisk& d : ctx.vmInfo.vecDisks)
            if (d.strName == entry.strName) job.strNewToken = d.strChangeToken;
        jobs.push_back(job);
    }
    SShared shared{host, request, ctx, *writer, progress, jobs, parent != nullptr, {}, {}, 0};
    const unsigned threads =
        std::max(1u, std::min<unsigned>(request.nJobs, static_cast<unsigned>(jobs.size())));
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i) pool.emplace_back(DiskThread, std::ref(shared));
    DiskThread(shared);
    for (std::thread& t : pool) t.join();
    progress.End();
    if (shared.Failed()) {
        strError = shared.strError;
        return false;
    }
    if (!writer->Commit(strError)) return false;

    result = SBackupResult();
    result.strBackupId = writer->Id();
    result.strVm = vm.strName;
    result.strVmGuid = vm.strGUID;
    result.bIncremental = parent != nullptr;
    result.strParentId = options.strParentId;
    result.strCbtStatus = ctx.strCBTStatus;
    result.vecSkipped = skipped;
    for (SDiskJob& job : jobs) {
        result.ullBytesRead += job.result.ullBytesRead;
        result.ullBytesSkipped += job.result.ullCapacity - job.result.ullBytesRead;
        result.vecDisks.push_back(job.result);
    }
    result.dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return true;
}

}  // namespace fcagent
