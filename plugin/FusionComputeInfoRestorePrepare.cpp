// Restore preparation: room for the VM (refused, or the VM of that name powered off and
// deleted), the new VM's GUID, its disk-access session, and every disk created on its datastore
// and opened for writing; also the saved descriptors read back for the VM's creation.
#include "FusionComputeDiskInfo.h"
#include "FusionComputeInfo.h"
#include "WzFile.h"
#include "WzUtil.h"

using namespace VMInfoStructs;

namespace {
const char* const kTagInit = "int CFusionComputeInfo::_InitRestoreVM(RestoreCtx&)";
const char* const kTagDeleteVM =
    "bool CFusionComputeInfo::DeleteVMForRestore(RestoreCtx&, const VMInfoStructs::SVMInfo&)";
const char* const kTagLoad =
    "bool CFusionComputeInfo::LoadVMConfigFile(RestoreCtx&, string&, const string&)";

constexpr int32_t kProvisioningThin = 2;
constexpr int32_t kProvisioningEagerZero = 3;
}  // namespace

int CFusionComputeInfo::InitRestoreVM(RestoreCtx& ctx) {
    if (!InitDiskInfo()) return 0;
    const int result = _InitRestoreVM(ctx);
    if (result != 0) return result;
    // The agent does not clean up a restore whose preparation failed; what was made so far
    // is removed here, through the virtual so that an override is reached.
    CleanupRestoreVM(ctx);
    return 0;
}

int CFusionComputeInfo::PreRestoreVM(RestoreCtx& ctx) {
    // The session stays: RestoreVM still lists its disks.
    if (diskInfo) diskInfo->CloseDisks(ctx.newVMInfo);
    return 1;
}

int CFusionComputeInfo::_InitRestoreVM(RestoreCtx& ctx) {
    SVMInfo existing;
    if (bridge->GetVMInfo(ctx.strVMName, "", "", existing, 0)) {
        log.Debug(kTagInit, "VM [%s] Already Exists", ctx.strVMName.c_str());
        if (!ctx.bOverwrite) {
            SetLastVMError(VMINFO_ERR_VM_EXISTS);
            return 0;
        }
        if (!DeleteVMForRestore(ctx, existing)) return 0;
    }

    // The source GUID is kept when its VM is gone, so that the restored VM takes its place.
    if (bridge->GetVMInfo("", "", ctx.strSourceVMGUID, existing, 0)) {
        ctx.strNewVMGUID = CreateGuid();
    } else {
        log.Debug(kTagInit, "VM Guid [%s] is not in use", ctx.strSourceVMGUID.c_str());
        ctx.strNewVMGUID = ctx.strSourceVMGUID;
    }
    log.Debug(kTagInit, "new VM [%s] Guid = [%s]", ctx.strVMName.c_str(), ctx.strNewVMGUID.c_str());
    ctx.newVMInfo.strName = ctx.strVMName;
    ctx.newVMInfo.strGUID = ctx.strNewVMGUID;

    log.Debug(kTagInit, "Connecting to VM [%s] for disk access", ctx.newVMInfo.strName.c_str());
    if (!diskInfo || !diskInfo->Connect(ctx.newVMInfo, ctx.strSnapshotRef)) {
        SetLastVMError(VMINFO_ERR_DISK_SESSION);
        return 0;
    }

    int nDisks = 0, nOpened = 0;
    for (SDisk& entry : ctx.vecRestoreDisks) {
        if (entry.nFileType != 1) continue;
        ++nDisks;
        // Disks created before this one stay for the clean-up.
        if (!_CreateRestoreDisk(ctx, entry, nOpened)) return 0;
    }
    if (nOpened == 0) {
        log.Error(kTagInit, "Unable to open any disks on VM [%s]", ctx.strVMName.c_str());
        SetLastVMError(VMINFO_ERR_OPEN_DISK);
        return 0;
    }
    log.Debug(kTagInit, "Opened %d of %d disks on VM [%s]", nOpened, nDisks, ctx.strVMName.c_str());
    diskInfo->GetTransportMode(ctx.newVMInfo, ctx.strTransportMode);
    return 1;
}

bool CFusionComputeInfo::_CreateRestoreDisk(RestoreCtx& ctx, SDisk& entry, int& nOpened) {
    SDisk disk;
    disk.strDisplayName = entry.strDisplayName;
    disk.ullCapacity = entry.ullCapacity;
    disk.strDatastore = entry.strDatastore;
    disk.nProvisioningType = entry.nProvisioningType;
    disk.bIsIndependent = false;
    disk.bIsNew = true;

    SDatastoreInfo datastore;
    if (!bridge->GetDataStoreInfo(disk.strDatastore, "", datastore, ~0ULL))
        log.Error(kTagInit, "Failed to get datastore info for [%s]", disk.strDatastore.c_str());

    if (disk.nProvisioningType != kProvisioningEagerZero) {
        bool thinSupported = false;
        if (!bridge->CheckDatastoreThinSupport(datastore, "", thinSupported)) {
            log.Error(kTagInit, "Failed to check thin support on datastore [%s]",
                      disk.strDatastore.c_str());
        } else if (!thinSupported) {
            AddRestoreFailure(ctx, disk.strDisplayName, "disk type not supported by datastore",
                              false);
            log.Debug(kTagInit,
                      "Datastore [%s] for disk [%s] does not support thin provisioning, "
                      "switching to common ",
                      disk.strDatastore.c_str(), disk.strDisplayName.c_str());
            disk.nProvisioningType = kProvisioningEagerZero;
        }
    }
    string options;
    bool eagerZero = false;
    if (disk.nProvisioningType == kProvisioningThin) {
        options += "Thin";
    } else if (disk.nProvisioningType == kProvisioningEagerZero) {
        options += "EagerZero";
        eagerZero = true;
    }

    if (ctx.strNewVMGUID == ctx.strSourceVMGUID) entry.strGUID = entry.strFileName;
    log.Debug(kTagInit, "Creating Disk [%s][%s] size [%llu] options [%s] on Datastore [%s]",
              entry.strDisplayName.c_str(), entry.strFileName.c_str(),
              static_cast<unsigned long long>(disk.ullCapacity), options.c_str(),
              entry.strDatastore.c_str());
    if (!bridge->CreateDisk(disk, eagerZero)) {
        SetLastVMError(VMINFO_ERR_CREATE_DISK);
        SetLastVMErrorDetails(bridge->GetLastError());
        return false;
    }
    restoreDisks.Add(disk);
    log.Debug(kTagInit, "Added Disk [%s] as [%s] [%s]", entry.strFileName.c_str(),
              disk.strGUID.c_str(), disk.strName.c_str());

    log.Debug(kTagInit, "Opening disk [%s]", disk.strName.c_str());
    if (!diskInfo->OpenDisk(ctx.newVMInfo, disk, entry.strFileName, datastore, false, eagerZero)) {
        log.Error(kTagInit, "Failed to open disk [%s]", disk.strName.c_str());
        // The entry keeps its name, so the clean-up would not reach this disk: it goes now.
        if (bridge->DeleteDisk(disk))
            restoreDisks.Remove(disk.strName);
        else
            log.Error(kTagInit, "Failed to delete disk [%s]", disk.strName.c_str());
        return true;
    }
    // From here on the agent reaches the disk by the entry's name.
    entry.strName = disk.strName;
    entry.strGUID = disk.strGUID;
    ++nOpened;
    return true;
}

bool CFusionComputeInfo::DeleteVMForRestore(RestoreCtx&, const SVMInfo& vm) {
    if (vm.nPowerState != 0) {
        log.Debug(kTagDeleteVM, "Powering off VM [%s] to overwrite", vm.strName.c_str());
        if (!bridge->PowerOffVM(vm.strName, vm.strURN, vm.strGUID)) {
            SetLastVMError(VMINFO_ERR_POWER_OFF);
            SetLastVMErrorDetails(bridge->GetLastError());
            return false;
        }
    }
    log.Debug(kTagDeleteVM, "Deleting  VM [%s] to overwrite", vm.strName.c_str());
    if (bridge->DeleteVM(vm, true)) return true;
    const string error = bridge->GetLastError();
    log.Error(kTagDeleteVM, "Could not delete [%s] to overwrite - %s", vm.strName.c_str(),
              error.c_str());
    SetLastVMError(VMINFO_ERR_DELETE_VM);
    SetLastVMErrorDetails(error);
    return false;
}

bool CFusionComputeInfo::LoadVMConfigFile(RestoreCtx& ctx, string& content,
                                          const string& extension) {
    if (!GetFirstFileByExtension(ctx.strConfigDir, extension, ctx.strConfigFilePath)) {
        log.Error(kTagLoad, "Could not find .ovf config file");
        return false;
    }
    if (!ReadWholeFile(ctx.strConfigFilePath, content)) {
        log.Error(kTagLoad, "Failed to read vm config [%s]", ctx.strConfigFilePath.c_str());
        return false;
    }
    log.Debug(kTagLoad, "Read vm config file successfully from [%s]",
              ctx.strConfigFilePath.c_str());
    log.DebugLvl(kTagLoad, 2, "cfg file [%s]", content.c_str());
    return true;
}
