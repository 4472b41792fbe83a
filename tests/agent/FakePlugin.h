// A plug-in object with one VM whose disks are strings in memory, with change tokens and faults
// to play: what the backup host drives, without a platform. What the host does not drive fails.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "StubVMInfo.h"

namespace fctest {

using namespace VMInfoStructs;

class CFakePlugin : public CStubVMInfo {
public:
    struct SFakeDisk {
        std::string strName;
        std::string strData;        // the disk at the snapshot; its size is the capacity
        std::string strToken;       // the token of this snapshot (empty: no change tracking)
        std::string strSinceToken;  // the token the changes are counted from
        std::vector<SDiskChangeExtent> vecChanged;  // changed since strSinceToken
        int nFailReads = 0;                         // the next reads that fail
        int nOpens = 0;
    };

    CFakePlugin() {
        vm.strName = "vm-1";
        vm.strGUID = "guid-1";
    }

    SVMInfo vm;
    std::vector<SFakeDisk> disks;
    std::string strCbt = "Used";
    std::map<std::string, std::string> restored;  // new disk name -> what was written
    int nMounts = 0, nUnmounts = 0, nCleanups = 0;
    int nFailWritesAt = -1;  // the write of this many bytes' offset fails (-1: none)
    std::string strCleanupGuid;
    std::vector<SJobFailure> vecMountFailures;  // handed out by every mount
    uint64_t ullBytesRead = 0;  // by every read; counted under the lock, read once the job is done

    // Moves every disk to a new snapshot: the old token becomes the one changes count from.
    void NextSnapshot(const std::string& suffix) {
        for (SFakeDisk& d : disks) {
            d.strSinceToken = d.strToken;
            if (!d.strToken.empty()) d.strToken = d.strName + "-" + suffix;
            d.vecChanged.clear();
        }
    }
    void Change(size_t disk, uint64_t offset, const std::string& data) {
        SFakeDisk& d = disks.at(disk);
        d.strData.replace(offset, data.size(), data);
        d.vecChanged.push_back({0, offset, data.size()});
    }

    int GetVMInfoForVM(const string& name, const string& guid, const string&, UINT64, int,
                       SVMInfo& out) override {
        if (name != vm.strName && guid != vm.strGUID) return 0;
        out = vm;
        return 1;
    }
    int MountVM(MountCtx& ctx) override {
        std::lock_guard<std::mutex> g(m_lock);
        ++nMounts;
        ctx.vmInfo = vm;
        ctx.vmInfo.vecDisks.clear();
        for (const SFakeDisk& d : disks) {
            SDisk disk;
            disk.strName = d.strName;
            disk.ullCapacity = d.strData.size();
            disk.strChangeToken = d.strToken;
            ctx.vmInfo.vecDisks.push_back(disk);
        }
        ctx.strCBTStatus = strCbt;
        ctx.vecMountFailures = vecMountFailures;
        ::mkdir(ctx.strMountPath.c_str(), 0755);
        std::ofstream(ctx.strMountPath + "/vm.ovf") << "<ovf " << vm.strName << "/>";
        return 1;
    }
    int UnmountVM(MountCtx&) override {
        ++nUnmounts;
        return 1;
    }
    int GetFullMountInfo(MountCtx& ctx, std::vector<SMountInfoFull>& out) override {
        SDisk f;
        f.strName = ctx.strMountPath + "/vm.ovf";
        f.strFileName = "vm.ovf";
        out.push_back({0, -1, {f}});
        for (const SDisk& d : ctx.vmInfo.vecDisks) out.push_back({1, -1, {d}});
        return 1;
    }
    int OpenVmdk(const string&, const string&, const string& name, VmdkHandle& h) override {
        std::lock_guard<std::mutex> g(m_lock);
        for (SFakeDisk& d : disks)
            if (d.strName == name) {
                ++d.nOpens;
                h.pDiskHandle = &d;
                return 1;
            }
        return 0;
    }
    int CloseVmdk(VmdkHandle& h) override {
        h = VmdkHandle();
        return 1;
    }
    int GetVmdkCapacity(VmdkHandle& h, UINT64& bytes) override {
        bytes = Disk(h).strData.size();
        return 1;
    }
    // No token: the allocated blocks (the non-zero 4 KiB blocks, merged into runs).
    int GetVmdkExtents(VmdkHandle& h, const string& token, UINT64, SDiskChangeInfo& out) override {
        const SFakeDisk& d = Disk(h);
        out = SDiskChangeInfo();
        out.ullLength = d.strData.size();
        if (!token.empty()) {
            if (token != d.strSinceToken) {
                SetLastVMError(VMINFO_ERR_DISK_SESSION, "the change token is unknown");
                return 0;
            }
            out.vecExtents = d.vecChanged;
            return 1;
        }
        const std::string zero(4096, '\0');
        for (uint64_t off = 0; off < d.strData.size(); off += 4096) {
            const size_t n = std::min<size_t>(4096, d.strData.size() - off);
            if (d.strData.compare(off, n, zero, 0, n) == 0) continue;
            if (!out.vecExtents.empty() &&
                out.vecExtents.back().ullOffset + out.vecExtents.back().ullLength == off)
                out.vecExtents.back().ullLength += n;
            else
                out.vecExtents.push_back({0, off, n});
        }
        return 1;
    }
    int ReadVmdk(VmdkHandle& h, UINT64 sector, UINT32 count, unsigned char* buffer) override {
        SFakeDisk& d = Disk(h);
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (d.nFailReads > 0) {
                --d.nFailReads;
                SetLastVMError(VMINFO_ERR_DISK_SESSION, "the connection dropped");
                return 0;
            }
            ullBytesRead += uint64_t(count) * 512;
        }
        if ((sector + count) * 512 > d.strData.size()) return 0;
        std::memcpy(buffer, d.strData.data() + sector * 512, size_t(count) * 512);
        return 1;
    }

    int InitRestoreVM(RestoreCtx& ctx) override {
        ctx.strNewVMGUID = "guid-new";
        for (SDisk& d : ctx.vecRestoreDisks) d.strName = "new-" + d.strName;
        return 1;
    }
    int CreateVmdk(const string&, const string&, const string& name, VmdkHandle& h,
                   UINT64 size) override {
        restored[name] = std::string(size, '\0');
        h.pDiskHandle = &restored[name];
        return 1;
    }
    int WriteVmdk(VmdkHandle& h, UINT64 sector, UINT32 count, unsigned char* buffer) override {
        std::string& d = *static_cast<std::string*>(h.pDiskHandle);
        if (int64_t(sector * 512) == nFailWritesAt || (sector + count) * 512 > d.size()) return 0;
        std::memcpy(&d[sector * 512], buffer, size_t(count) * 512);
        return 1;
    }
    int PreRestoreVM(RestoreCtx&) override { return 1; }
    int RestoreVM(RestoreCtx&) override { return 1; }
    int PostRestoreVM(RestoreCtx&) override { return 1; }
    int CleanupRestoreVM(RestoreCtx& ctx) override {
        ++nCleanups;
        strCleanupGuid = ctx.strCleanupVMGUID;
        return 1;
    }

private:
    static SFakeDisk& Disk(VmdkHandle& h) { return *static_cast<SFakeDisk*>(h.pDiskHandle); }
    std::mutex m_lock;
};

}  // namespace fctest
