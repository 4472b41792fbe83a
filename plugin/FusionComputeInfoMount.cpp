// Mount for backup: the VM looked up, stale snapshots removed, space checked, both descriptors
// saved into the mount folder, the backup snapshot taken and every disk to back up registered
// with the disk access service; and the unmount that gives all of it back.
#include "FusionComputeDiskInfo.h"
#include "FusionComputeInfo.h"
#include "FusionComputeInfoUtils.h"
#include "NxPlatformInfo.h"
#include "WzFile.h"

using namespace VMInfoStructs;

namespace {
const char* const kTagMount = "virtual int CFusionComputeInfo::MountVM(MountCtx&)";
const char* const kTagMountSteps = "int CFusionComputeInfo::_MountVM(MountCtx&)";
const char* const kTagSave =
    "bool CFusionComputeInfo::SaveVMConfigFile(MountCtx&, const string&, const string&)";
const char* const kTagUnmount = "virtual int CFusionComputeInfo::UnmountVM(MountCtx&)";

// A GUID is used as a file name in the mount folder; one that names another folder (or the
// folder itself, or its parent) would put the descriptor somewhere else.
bool IsPlainFileName(const string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == string::npos;
}
}  // namespace

int CFusionComputeInfo::MountVM(MountCtx& ctx) {
    SetLastVMError(VMINFO_ERR_NONE);
    if (!bridge->CheckConnection()) {
        const string text = bridge->GetLastError();
        SetLastVMError(VMINFO_ERR_CONNECT, text);
        log.Debug(kTagMount, "Connection lost [%s]", text.c_str());
        return 0;
    }
    if (!InitDiskInfo()) return 0;
    const int result = _MountVM(ctx);
    if (result == 0) {
        // Virtual: a derived plug-in's own unmount undoes its own additions too.
        UnmountVM(ctx);
        return 0;
    }
    return result;
}

int CFusionComputeInfo::_MountVM(MountCtx& ctx) {
    log.Debug(kTagMountSteps, "Mounting VM:[%s] with GUID:[%s]", ctx.strVMName.c_str(),
              ctx.strVMGUID.c_str());
    if (_PrepareMountPathDirectory(ctx.strMountPath, true) == 0) {
        SetLastVMError(VMINFO_ERR_MOUNT_PATH);
        return 0;
    }
    if (!bridge->GetVMInfo(ctx.strVMName, "", ctx.strVMGUID, ctx.vmInfo, 56)) {
        const string text = bridge->GetLastError();
        log.Error(kTagMountSteps, "Failed to get VM Info for VM [%s/%s], error details [%s]",
                  ctx.strVMName.c_str(), ctx.strVMGUID.c_str(), text.c_str());
        SetLastVMError(VMINFO_ERR_GET_VM_INFO, text);
        return 0;
    }
    if (ctx.vmInfo.bIsTemplate) {
        log.Error(kTagMountSteps, "VM [%s] is a template", ctx.strVMName.c_str());
        SetLastVMError(VMINFO_ERR_TEMPLATE);
        return 0;
    }
    if (ctx.strVMName != ctx.vmInfo.strName) ctx.strVMName = ctx.vmInfo.strName;
    if (!CleanupExpiredSnapshots(ctx.vmInfo)) return 0;
    if (!CheckDatastoreFreespace(ctx)) {
        log.Debug(kTagMountSteps, "Not enough space available to create the snapshot");
        SetLastVMError(VMINFO_ERR_DS_FREE_SPACE);
        return 0;
    }
    if (_MountVM_ConfigFiles(ctx) == 0) return 0;
    if (!CreateVMSnapshotForBackup(ctx)) return 0;

    log.Debug(kTagMountSteps, "Connecting to VM [%s] snapshot [%s] for disk access",
              ctx.strVMName.c_str(), ctx.strSnapshotID.c_str());
    if (!diskInfo->Connect(ctx.vmInfo, ctx.strSnapshotID)) {
        SetLastVMError(VMINFO_ERR_DISK_SESSION);
        return 0;
    }

    SMountCounts counts;
    for (SDisk& disk : ctx.vmInfo.vecDisks) {
        ++counts.nTotal;
        if (IsDiskFiltered(ctx, disk)) {
            ++counts.nFiltered;
            ++ctx.nSkippedDisks;
            continue;
        }
        if (disk.bIsIndependent) {
            uint64_t ignore = 0;
            if (NXPlatformInfo::getNumber(NXPI_SECTION_VIRTUAL_SERVER, "IgnoreUnsupportedDisks",
                                          ignore) == 0)
                ignore = 0;
            log.Debug(kTagMountSteps, "Skipping independent disk [%s]", disk.strName.c_str());
            AddMountFailure(ctx, disk.strDisplayName, "independent disks are not supported",
                            ignore != 0);
            ++counts.nIndependent;
            ++ctx.nSkippedDisks;
            continue;
        }
        if (!_MountVM_Disk(ctx, disk, counts)) return 0;
    }
    return _MountVM_Summary(ctx, counts);
}

bool CFusionComputeInfo::_MountVM_Disk(MountCtx& ctx, SDisk& disk, SMountCounts& counts) {
    SDatastoreInfo datastore;
    if (!bridge->GetDataStoreInfo(disk.strDatastore, "", datastore, ~0ull))
        log.Error(kTagMountSteps, "Failed to get datastore info for [%s]",
                  disk.strDatastore.c_str());
    if (ctx.bUseCBT) {
        if (IsFusionStorageDatastore(datastore)) {
            // Changes of these disks come from the storage's own bitmaps, not a token.
            ++counts.nWithoutToken;
        } else {
            if (!bridge->GetDiskChangeToken(disk.strName, ctx.strSnapshotID, disk.strChangeToken))
                disk.strChangeToken.clear();
            if (disk.strChangeToken.empty()) ++counts.nWithoutToken;
        }
    }
    log.Debug(kTagMountSteps, "Opening disk [%s]", disk.strName.c_str());
    if (diskInfo->OpenDisk(ctx.vmInfo, disk, "", datastore, true, false)) {
        ++counts.nOpened;
        return true;
    }
    switch (diskInfo->GetLastError()) {
        case VMINFO_ERR_RETRYABLE:
            // The service cannot give access now; the whole mount is tried again later.
            SetLastVMError(VMINFO_ERR_RETRYABLE);
            return false;
        case VMINFO_ERR_FUSIONSTORAGE:
            AddMountFailure(ctx, disk.strDisplayName, "Unsupported datastore", false);
            log.Error(kTagMountSteps, "Failed to open disk [%s], FusionStorage is not supported",
                      disk.strName.c_str());
            ++counts.nFusionStorage;
            break;
        default:
            AddMountFailure(ctx, disk.strDisplayName, "Failed to open disk", false);
            log.Error(kTagMountSteps, "Failed to open disk [%s]", disk.strName.c_str());
            break;
    }
    ++ctx.nSkippedDisks;
    return true;
}

int CFusionComputeInfo::_MountVM_Summary(MountCtx& ctx, const SMountCounts& counts) {
    const char* name = ctx.strVMName.c_str();
    const int total = counts.nTotal;
    if (counts.nOpened == 0) {
        if (total == 0) {
            log.Error(kTagMountSteps, "No disks were found on VM %s", name);
            SetLastVMError(VMINFO_ERR_NO_DISKS);
        } else if (counts.nFiltered == total) {
            log.Error(kTagMountSteps, "All disks on VM %s were filtered", name);
            SetLastVMError(VMINFO_ERR_ALL_DISKS_FILTERED);
        } else if (counts.nIndependent == total) {
            log.Error(kTagMountSteps, "All disks on VM %s are independent", name);
            SetLastVMError(VMINFO_ERR_ALL_DISKS_INDEPENDENT);
        } else if (counts.nFusionStorage == total) {
            log.Error(kTagMountSteps, "All disks on VM %s are FusionStorage", name);
            SetLastVMError(VMINFO_ERR_FUSIONSTORAGE);
        } else {
            log.Error(kTagMountSteps, "Unable to open any disks on VM [%s]", name);
            SetLastVMError(VMINFO_ERR_OPEN_DISK);
        }
        return 0;
    }
    log.Debug(kTagMountSteps, "Opened %d of %d disks on VM [%s]", counts.nOpened, total, name);
    diskInfo->GetTransportMode(ctx.vmInfo, ctx.strTransportMode);
    if (ctx.bUseCBT) {
        // The total counts filtered and independent disks too: a backup that tracks none of
        // them, or only some, is not fully tracked.
        if (counts.nWithoutToken == 0)
            ctx.strCBTStatus = "Used";
        else if (counts.nWithoutToken == total)
            ctx.strCBTStatus = "Failed";
        else
            ctx.strCBTStatus = "Partially Used";
    }
    return 1;
}

int CFusionComputeInfo::_MountVM_ConfigFiles(MountCtx& ctx) {
    string ovf;
    if (!bridge->GetOVFDescriptorForVM(ctx.vmInfo, ovf)) {
        SetLastVMError(VMINFO_ERR_OVF_GET, bridge->GetLastError());
        return 0;
    }
    if (!SaveVMConfigFile(ctx, ovf, "ovf")) {
        SetLastVMError(VMINFO_ERR_OVF_SAVE);
        return 0;
    }
    string json;
    if (!bridge->GetJSONDescriptorForVM(ctx.vmInfo, json)) {
        SetLastVMError(VMINFO_ERR_JSON_DESCRIPTOR, bridge->GetLastError());
        return 0;
    }
    if (!SaveVMConfigFile(ctx, json, "json")) {
        SetLastVMError(VMINFO_ERR_JSON_DESCRIPTOR);
        return 0;
    }
    return 1;
}

bool CFusionComputeInfo::SaveVMConfigFile(MountCtx& ctx, const string& text,
                                          const string& extension) {
    const string path = ctx.strMountPath + "/" + ctx.strVMGUID + "." + extension;
    if (!IsPlainFileName(ctx.strVMGUID)) {
        log.Error(kTagSave, "Refusing to write vm config [%s]: the VM GUID is not a file name",
                  path.c_str());
        return false;
    }
    if (!WriteWholeFile(path, text)) {
        log.Error(kTagSave, "Failed to write vm config [%s]", path.c_str());
        return false;
    }
    log.Debug(kTagSave, "Wrote vm config file successfully to [%s]", path.c_str());
    return true;
}

int CFusionComputeInfo::UnmountVM(MountCtx& ctx) {
    // Each step is harmless when its resource was never acquired, so a mount that failed
    // half-way is undone by the same sequence as a finished backup.
    _PrepareMountPathDirectory(ctx.strMountPath, false);
    if (diskInfo) {
        diskInfo->CloseDisks(ctx.vmInfo);
        diskInfo->Disconnect(ctx.vmInfo);
    }
    CleanupSnapshot(ctx);
    log.Debug(kTagUnmount, "VM [%s] unmounted successfully", ctx.vmInfo.strName.c_str());
    return 1;
}

int CFusionComputeInfo::CleanupVM(MountCtx& ctx) {
    CleanupSnapshot(ctx);
    return 0;
}
