// Restore execution: the VM placed on its host or cluster and created from the saved OVF
// descriptor or from its record, disks renamed after the new VM, power-on, and the clean-up
// after a failed restore.
#include <map>

#include "FusionComputeDiskInfo.h"
#include "FusionComputeInfo.h"

using namespace VMInfoStructs;

namespace {
const char* const kTagRestore = "virtual int CFusionComputeInfo::RestoreVM(RestoreCtx&)";
const char* const kTagRename = "bool CFusionComputeInfo::UpdateDiskNames(RestoreCtx&)";
const char* const kTagPowerOn = "virtual int CFusionComputeInfo::PostRestoreVM(RestoreCtx&)";
const char* const kTagCleanup = "virtual int CFusionComputeInfo::CleanupRestoreVM(RestoreCtx&)";

// The display name a disk gets when its VM is restored under another name; the same name when
// neither renaming rule applies.
string RenamedDisk(const string& displayName, const RestoreCtx& ctx) {
    const size_t source = displayName.find(ctx.strSourceVMName);
    if (source != string::npos) {
        string renamed = displayName;
        renamed.replace(source, ctx.strSourceVMName.size(), ctx.strVMName);
        return renamed;
    }
    // Names made by the platform carry the VM's short id in front of the device part.
    const size_t device = displayName.find("-xvd");
    if (displayName.compare(0, 2, "i-") == 0 && device != string::npos) {
        const string& urn = ctx.newVMInfo.strURN;
        const size_t colon = urn.rfind(':');
        const string shortId = colon == string::npos ? urn : urn.substr(colon + 1);
        return shortId + displayName.substr(device);
    }
    return displayName;
}
}  // namespace

int CFusionComputeInfo::RestoreVM(RestoreCtx& ctx) {
    if (!_PlaceRestoredVM(ctx)) return 0;

    string ovf;
    if (!ctx.bBuildFromRecord && !LoadVMConfigFile(ctx, ovf, "ovf")) {
        log.Error(kTagRestore, "OVF VM Config file could not be found/opened");
        SetLastVMError(VMINFO_ERR_CONFIG_FILE);
        return 0;
    }

    std::map<string, string> diskUuidMap;
    if (diskInfo) diskInfo->GetDiskUuidMap(ctx.newVMInfo, diskUuidMap);
    ctx.newVMInfo.strGUID = ctx.strNewVMGUID;
    ctx.newVMInfo.vecDisks.clear();
    if (!diskInfo || !diskInfo->GetDisks(ctx.newVMInfo, ctx.newVMInfo.vecDisks)) {
        log.Error(kTagRestore, "Failed to get disk list for VM");
        return 0;
    }

    const int created =
        ctx.bBuildFromRecord ? _CreateVMFromRecord(ctx) : _CreateVMFromOVF(ctx, ovf, diskUuidMap);
    if (created == 0) return 0;

    UpdateDiskNames(ctx);
    diskInfo->Disconnect(ctx.newVMInfo);
    // The disks now belong to the new VM: a later clean-up removes them only with the VM.
    for (const SDisk& entry : ctx.vecRestoreDisks)
        if (!entry.strName.empty()) restoreDisks.Remove(entry.strName);
    return 1;
}

bool CFusionComputeInfo::_PlaceRestoredVM(RestoreCtx& ctx) {
    SHostInfo host;
    if (bridge->GetHostInfo(ctx.strDestHost, "", host, 0)) {
        log.Debug(kTagRestore, "Restoring VM to Host [%s] [%s]", host.strName.c_str(),
                  host.strID.c_str());
        ctx.newVMInfo.strHostName = host.strName;
        return true;
    }
    SClusterInfo cluster;
    if (bridge->GetClusterInfo(ctx.strDestCluster, "", cluster, 0)) {
        log.Debug(kTagRestore, "Restoring VM to Cluster [%s] [%s]", cluster.strName.c_str(),
                  cluster.strID.c_str());
        ctx.newVMInfo.strClusterName = cluster.strName;
        ctx.newVMInfo.strClusterID = cluster.strID;
        return true;
    }
    log.Error(kTagRestore, "Host/Cluster [%s] was not found", ctx.strDestHost.c_str());
    return false;
}

int CFusionComputeInfo::_CreateVMFromRecord(RestoreCtx& ctx) {
    SVMInfo& vm = ctx.newVMInfo;
    // The VM is created bare; its disks and cards follow one by one, so that one that is
    // refused does not stop the others.
    std::vector<SDisk> disks;
    std::vector<SVMNetworkCard> nics;
    disks.swap(vm.vecDisks);
    nics.swap(vm.vecNetworkCards);
    if (!bridge->CreateVM(vm)) {
        const string error = bridge->GetLastError();
        log.Error(kTagRestore, "Failed to Create VM, [%s]", error.c_str());
        SetLastVMError(VMINFO_ERR_CREATE_VM);
        SetLastVMErrorDetails(error);
        return 0;
    }
    log.Debug(kTagRestore, "Created VM [%s][%s]", vm.strName.c_str(), vm.strGUID.c_str());

    for (const SDisk& disk : disks) {
        log.Debug(kTagRestore, "Adding disk [%s] to VM [%s]", disk.strName.c_str(),
                  vm.strName.c_str());
        if (bridge->AddDiskToVM(vm, disk, false)) continue;
        log.Error(kTagRestore, "Failed to add disk [%s] to VM [%s], %s", disk.strName.c_str(),
                  vm.strName.c_str(), bridge->GetLastError().c_str());
        AddRestoreFailure(ctx, disk.strDisplayName, "failed to attach", false);
    }
    for (const SVMNetworkCard& nic : nics) {
        log.Debug(kTagRestore, "Adding nic [%s] to VM [%s]", nic.strName.c_str(),
                  vm.strName.c_str());
        if (bridge->AddNicToVM(vm, nic)) continue;
        log.Error(kTagRestore, "Failed to add nic [%s] to VM [%s], %s", nic.strName.c_str(),
                  vm.strName.c_str(), bridge->GetLastError().c_str());
        AddRestoreFailure(ctx, "", "failed to connect network", false);
    }

    // Copies: the record they come from is the one being refilled.
    const string name = vm.strName, guid = vm.strGUID;
    return GetVMInfoForVM(name, guid, "", 65535, 0, vm) == 0 ? 0 : 1;
}

int CFusionComputeInfo::_CreateVMFromOVF(RestoreCtx& ctx, const string& ovf,
                                         const std::map<string, string>& diskUuidMap) {
    if (!bridge->CreateVMFromOVFDescriptor(ovf, ctx.newVMInfo, diskUuidMap)) {
        const string error = bridge->GetLastError();
        log.Error(kTagRestore, "Failed to Create VM from OVF, [%s]", error.c_str());
        SetLastVMError(VMINFO_ERR_CREATE_VM);
        SetLastVMErrorDetails(error);
        return 0;
    }
    string json;
    if (!LoadVMConfigFile(ctx, json, "json")) {
        // The VM stays; the clean-up removes it when the agent names it.
        log.Error(kTagRestore, "JSON VM Config file could not be found/opened");
        SetLastVMError(VMINFO_ERR_CONFIG_FILE);
        return 0;
    }
    if (!bridge->ReconnectNetworksFromJSONDescriptor(ctx.newVMInfo, json))
        AddRestoreFailure(ctx, "", "network cards were not reconnected", false);
    return 1;
}

bool CFusionComputeInfo::UpdateDiskNames(RestoreCtx& ctx) {
    if (ctx.strVMName == ctx.strSourceVMName) return true;
    bool allRenamed = true;
    for (SDisk& disk : ctx.newVMInfo.vecDisks) {
        if (disk.nFileType != 1) continue;
        const string renamed = RenamedDisk(disk.strDisplayName, ctx);
        if (renamed == disk.strDisplayName) continue;
        log.Debug(kTagRename, "Updating disk [%s] display name from [%s] to [%s]",
                  disk.strFileName.c_str(), disk.strDisplayName.c_str(), renamed.c_str());
        disk.strDisplayName = renamed;
        // A disk left under its old name is no reason to fail a restored VM.
        if (bridge->ModifyDisk(disk)) continue;
        log.Error(kTagRename, "Failed to update disk name - %s", bridge->GetLastError().c_str());
        allRenamed = false;
    }
    return allRenamed;
}

int CFusionComputeInfo::PostRestoreVM(RestoreCtx& ctx) {
    if (ctx.bPowerOn && !bridge->PowerOnVM(ctx.strVMName, ctx.newVMInfo.strURN, ctx.strNewVMGUID))
        log.Error(kTagPowerOn, "Power On VM Failed for VM [%s]", ctx.strVMName.c_str());
    return 1;
}

int CFusionComputeInfo::CleanupRestoreVM(RestoreCtx& ctx) {
    InitDiskInfo();
    if (diskInfo) {
        diskInfo->CloseDisks(ctx.newVMInfo);
        diskInfo->Disconnect(ctx.newVMInfo);
    }

    for (const SDisk& entry : ctx.vecRestoreDisks) {
        if (entry.strName.empty()) continue;
        // The entry may still carry what the agent put there, the source VM's disk among
        // them; only a disk this object created and no VM took over is deleted, and by the
        // record of its creation, whose identifiers are its own.
        SDisk created;
        if (!restoreDisks.Find(entry.strName, created)) {
            log.Debug(kTagCleanup, "Disk [%s] was not created by this restore, keeping it",
                      entry.strName.c_str());
            continue;
        }
        log.Debug(kTagCleanup, "Deleting disk [%s]", entry.strName.c_str());
        if (bridge->DeleteDisk(created))
            restoreDisks.Remove(created.strName);
        else
            log.Error(kTagCleanup, "Failed to delete disk [%s]", entry.strName.c_str());
    }

    if (!ctx.strCleanupVMGUID.empty()) {
        SVMInfo vm;
        vm.strGUID = ctx.strCleanupVMGUID;
        log.Debug(kTagCleanup, "Deleting VM [%s]", vm.strGUID.c_str());
        if (!bridge->DeleteVM(vm, true))
            log.Error(kTagCleanup, "Failed to delete VM [%s]", vm.strGUID.c_str());
    }
    return 1;
}
