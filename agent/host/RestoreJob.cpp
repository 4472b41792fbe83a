// A restore as the agent runs it: the backed-up descriptors laid out in a folder, the restore
// prepared, every disk created and written from the repository (zero pieces are skipped: a new
// disk reads zero), then the VM made. A failure after the preparation undoes what was made.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>

#include "AgentHost.h"
#include "VmRecord.h"
#include "WzFile.h"

namespace fcagent {

using namespace VMInfoStructs;

namespace {

const uint64_t kSector = 512;

const SDiskRecord* DiskOf(const SBackupInfo& info, const std::string& strName) {
    for (const SDiskRecord& d : info.vecDisks)
        if (d.strName == strName) return &d;
    return nullptr;
}

// Writes one backed-up disk into the new disk the plug-in creates for the entry.
bool RestoreDisk_Step(CPluginHost& host, RestoreCtx& r, const SDisk& entry,
                      const SDiskRecord& source, CBackupReader& reader, uint32_t nRequestBytes,
                      IProgress& progress, uint64_t& ullWritten, std::string& strError) {
    IVMInfo& plugin = host.Plugin();
    VmdkHandle h;
    if (plugin.CreateVmdk(r.strVMName, r.strNewVMGUID, entry.strName, h, source.ullCapacity) != 1) {
        strError = host.LastError("cannot create the disk for " + source.strName);
        return false;
    }
    // The next piece is read from the repository (and checked, and found zero or not) while
    // the current one is written, so the two costs overlap instead of adding up.
    struct SPiece {
        std::vector<unsigned char> buffer;
        size_t nLength = 0;
        bool bOk = false, bZero = false;
        std::string strError;
    } pieces[2];
    auto readPiece = [&](uint64_t off, SPiece& piece) {
        piece.buffer.resize(nRequestBytes);
        piece.nLength =
            static_cast<size_t>(std::min<uint64_t>(piece.buffer.size(), source.ullCapacity - off));
        piece.bOk =
            reader.ReadAt(source.strName, off, piece.buffer.data(), piece.nLength, piece.strError);
        piece.bZero = piece.bOk && IsZeroBlock(piece.buffer.data(), piece.nLength);
    };
    bool ok = true;
    std::future<void> ahead;
    if (source.ullCapacity > 0)
        ahead = std::async(std::launch::async, readPiece, 0, std::ref(pieces[0]));
    for (uint64_t off = 0, i = 0; ok && off < source.ullCapacity; i ^= 1) {
        ahead.get();
        SPiece& piece = pieces[i];
        const uint64_t next = off + piece.nLength;
        if (piece.bOk && next < source.ullCapacity)
            ahead = std::async(std::launch::async, readPiece, next, std::ref(pieces[i ^ 1]));
        if (!piece.bOk) {
            strError = piece.strError;
            ok = false;
        } else if (!piece.bZero) {
            const UINT32 sectors = static_cast<UINT32>((piece.nLength + kSector - 1) / kSector);
            ok = plugin.WriteVmdk(h, off / kSector, sectors, piece.buffer.data()) == 1;
            if (!ok)
                strError = host.LastError("cannot write disk " + entry.strName + " at byte " +
                                          std::to_string(off));
            else
                ullWritten += piece.nLength;
        }
        if (ok) progress.Advance(piece.nLength);
        off = next;
    }
    if (ahead.valid()) ahead.wait();  // a read still under way uses the buffers
    if (plugin.CloseVmdk(h) != 1 && ok) {
        strError = host.LastError("cannot close disk " + entry.strName);
        ok = false;
    }
    return ok;
}

bool LayOutDescriptors_Step(const SKeptVm& kept, const std::string& strDir, std::string& strError) {
    if (FXPath::CreateDirectories(strDir).IsError()) {
        strError = "cannot create the folder " + strDir;
        return false;
    }
    for (const auto& f : kept.mapFiles) {
        if (!WriteWholeFile(strDir + "/" + f.first, f.second)) {
            strError = "cannot write " + strDir + "/" + f.first;
            return false;
        }
    }
    return true;
}

}  // namespace

bool FindBackup(const CRepository& repo, const std::string& strVm, const std::string& strId,
                SBackupInfo& out, std::string& strError) {
    std::vector<SBackupInfo> backups;
    if (!repo.ListBackups(backups, strError)) return false;
    for (auto it = backups.rbegin(); it != backups.rend(); ++it) {
        const bool bVm = strVm.empty() || it->vm.strName == strVm || it->vm.strGuid == strVm;
        if (bVm && (strId.empty() || it->strId == strId)) {
            out = *it;
            return true;
        }
    }
    if (!strId.empty())
        strError = "no complete backup " + strId + (strVm.empty() ? "" : " of " + strVm) + " in " +
                   repo.Path();
    else
        strError = "no complete backup of " + strVm + " in " + repo.Path();
    return false;
}

bool RunRestore(CPluginHost& host, const CRepository& repo, const SRestoreRequest& request,
                IProgress& progress, SRestoreResult& result, std::string& strError) {
    const auto started = std::chrono::steady_clock::now();
    if (!ValidRequestSize(request.nRequestBytes, strError)) return false;
    SBackupInfo info;
    if (!FindBackup(repo, request.strVm, request.strBackupId, info, strError)) return false;
    std::unique_ptr<CBackupReader> reader;
    if (!repo.OpenBackup(info.strId, reader, strError)) return false;
    SKeptVm kept;
    if (!KeptVmFromJson(info.vm.jInfo, kept, strError)) return false;
    std::vector<const SDiskRecord*> sources;
    for (const SDisk& d : kept.vecDisks) {
        const SDiskRecord* rec = DiskOf(info, d.strName);
        if (!rec) {
            strError = "backup " + info.strId + " lacks its disk " + d.strName;
            return false;
        }
        sources.push_back(rec);
    }

    RestoreCtx r;
    r.strVMName = request.strNewName.empty() ? kept.vm.strName : request.strNewName;
    r.strConfigDir = request.strWorkDir + "/descriptors-" + info.strId;
    r.strDestCluster = request.strCluster;
    r.strDestHost = request.strHost.empty() && request.strCluster.empty() ? kept.vm.strHostName
                                                                          : request.strHost;
    r.strSourceVMName = kept.vm.strName;
    r.strSourceVMGUID = kept.vm.strGUID;
    r.bOverwrite = request.bOverwrite;
    r.bPowerOn = request.bPowerOn;
    r.bBuildFromRecord = request.bFromRecord || kept.mapFiles.empty();
    if (r.bBuildFromRecord) {
        r.newVMInfo = kept.vm;
        r.newVMInfo.vecDisks.clear();
        r.newVMInfo.vecSnapshots.clear();
    }
    // The entries carry the backed-up disks' names until the preparation replaces them.
    r.vecRestoreDisks = kept.vecDisks;
    if (!LayOutDescriptors_Step(kept, r.strConfigDir, strError)) return false;
    progress.Begin("restore of " + kept.vm.strName + " as " + r.strVMName);
    uint64_t total = 0;
    for (const SDiskRecord* s : sources) total += s->ullCapacity;
    progress.AddTotal(total);

    IVMInfo& plugin = host.Plugin();
    if (plugin.InitRestoreVM(r) != 1) {
        strError = host.LastError("cannot prepare the restore of " + r.strVMName);
        if (host.LastErrorCode() == VMINFO_ERR_VM_EXISTS)
            strError = "a VM named " + r.strVMName +
                       " exists already: give --name NEW, or --overwrite to replace it";
        progress.End();
        return false;
    }
    bool ok = r.vecRestoreDisks.size() == sources.size();
    if (!ok) strError = "the plug-in prepared a different number of disks than were backed up";
    uint64_t written = 0;
    const auto writing = std::chrono::steady_clock::now();
    for (size_t i = 0; ok && i < sources.size(); ++i)
        ok = RestoreDisk_Step(host, r, r.vecRestoreDisks[i], *sources[i], *reader,
                              request.nRequestBytes, progress, written, strError);
    const double writeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - writing).count();
    if (ok && plugin.PreRestoreVM(r) != 1) {
        strError = host.LastError("cannot prepare the VM " + r.strVMName);
        ok = false;
    }
    if (ok && plugin.RestoreVM(r) != 1) {
        strError = host.LastError("cannot create the VM " + r.strVMName);
        ok = false;
    }
    progress.End();
    if (!ok) {
        r.strCleanupVMGUID = r.strNewVMGUID;
        plugin.CleanupRestoreVM(r);
        return false;
    }
    // The VM exists with all its data now: a failed last step is reported, the VM is kept.
    if (plugin.PostRestoreVM(r) != 1) {
        strError = host.LastError("the VM " + r.strVMName + " was restored but not finished");
        return false;
    }
    result = SRestoreResult();
    result.strBackupId = info.strId;
    result.strVm = r.strVMName;
    result.strGuid = r.strNewVMGUID;
    for (const SDisk& d : r.vecRestoreDisks) result.vecDisks.push_back(d.strName);
    result.ullBytesWritten = written;
    result.dWriteSeconds = writeSeconds;
    result.dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return true;
}

}  // namespace fcagent
