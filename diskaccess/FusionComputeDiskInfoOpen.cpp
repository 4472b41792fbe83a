// Opening a registered disk (access prepared by the management service, then the CNA reached
// through the backup SDK or the socket protocol), closing it, and the transport it uses.
#include <cstdlib>

#include "FusionComputeDiskInfo.h"
#include "FusionComputeInfoUtils.h"

using FusionComputeDiskInfo::DiskHandle;
using FusionComputeDiskInfo::VMHandle;
using namespace VMInfoStructs;

namespace {
const char* const kTagOpen =
    "bool CFusionComputeDiskInfo::_OpenDisk(FusionComputeDiskInfo::VMHandle*, "
    "FusionComputeDiskInfo::DiskHandle*)";
const char* const kTagClose =
    "bool CFusionComputeDiskInfo::_CloseDisk(FusionComputeDiskInfo::VMHandle*, "
    "FusionComputeDiskInfo::DiskHandle*)";
constexpr int32_t kSdkLan = 1;
constexpr int32_t kSdkSan = 0;
}  // namespace

bool CFusionComputeDiskInfo::_OpenDisk(VMHandle* vmHandle, DiskHandle* disk) {
    lastError = 0;
    if (IsFusionStorageDatastore(disk->datastoreRecord)) {
        if (_OpenDisk_FusionStorage(vmHandle, disk)) {
            disk->bOpened = true;
            return true;
        }
        _CloseDisk_FusionStorage(vmHandle, disk);
        return false;
    }

    for (const std::string& lun : disk->datastoreRecord.vecLuns)
        log.Debug(kTagOpen, "%s => %s", disk->strDatastore.c_str(), lun.c_str());
    CFusionSphereDiskInfoStringArray luns(disk->datastoreRecord.vecLuns);

    int32_t transport = kSdkLan;
    if (useBackupSDK) {
        if (NXFusionSphereSDK_VerifyLUNAttached_Ptr(luns.Get())) {
            log.Debug(kTagOpen, "DS Luns are attached for SAN access");
            if (disk->bReadOnly || disk->bEagerZeroed)
                transport = kSdkSan;
            else
                log.Debug(kTagOpen,
                          "Write mode for SAN access is only supported for eager zero disks");
        } else {
            log.Debug(kTagOpen, "DS Luns are NOT attached for SAN access");
        }
    }

    std::string accessID;
    if (!bridge->PrepareDiskAccess(disk->strName, vmHandle->strSnapshotID, c_localIP,
                                   !disk->bReadOnly, accessID, disk->strCNAAddress,
                                   disk->strCNAPort, disk->strToken, disk->strTargetFile)) {
        log.Error(kTagOpen, "Failed to prepare disk [%s] for access", disk->strName.c_str());
        lastError = 205;
        return false;
    }
    // Recorded at once, so that a failure below still gives the access back at close.
    _SetLease(disk, accessID, false);

    if (useBackupSDK) {
        disk->pSDKInstance = NXFusionSphereSDK_CreateInstance_Ptr(transport);
        if (!disk->pSDKInstance) {
            log.Error(kTagOpen, "Failed to create backup SDK object");
            return false;
        }
        log.Debug(kTagOpen, "Created BackupSDK object [%p]", disk->pSDKInstance);
    }

    const uint16_t port = static_cast<uint16_t>(std::atoi(disk->strCNAPort.c_str()));
    log.Debug(kTagOpen, "Connecting to CNA [%s] port [%d] using token [%s]",
              disk->strCNAAddress.c_str(), static_cast<int>(port), disk->strToken.c_str());
    const bool connected =
        useBackupSDK && disk->pSDKInstance
            ? NXFusionSphereSDK_ConnectCNA_Ptr(disk->pSDKInstance, disk->strCNAAddress.c_str(),
                                               port, disk->strToken.c_str(), 0, "")
            : disk->cnaSocket.Connect(disk->strCNAAddress, port);
    if (!connected) {
        log.Error(kTagOpen, "Failed to connect to CNA [%s:%s] token [%s]",
                  disk->strCNAAddress.c_str(), disk->strCNAPort.c_str(), disk->strToken.c_str());
        return false;
    }
    disk->bCNAConnected = true;
    log.Debug(kTagOpen, "Connected to CNA [%s:%s] for VM [%s]", disk->strCNAAddress.c_str(),
              disk->strCNAPort.c_str(), vmHandle->strName.c_str());

    const bool opened =
        useBackupSDK && disk->pSDKInstance
            ? NXFusionSphereSDK_OpenDisk_Ptr(disk->pSDKInstance, luns.Get(),
                                             disk->strTargetFile.c_str(), disk->bReadOnly ? 0 : 1,
                                             &disk->nRemoteHandle, transport)
            : disk->cnaSocket.OpenRemoteDiskFile(disk->strTargetFile, disk->strToken,
                                                 disk->bReadOnly, disk->nRemoteHandle);
    if (!opened) {
        log.Error(kTagOpen, "Failed to open disk target file [%s]", disk->strTargetFile.c_str());
        return false;
    }
    log.Debug(kTagOpen, "Opened disk handle %u for VM [%s] disk [%s] [%s] [%s]",
              disk->nRemoteHandle, vmHandle->strName.c_str(), disk->strDisplayName.c_str(),
              disk->strName.c_str(), transport == kSdkSan ? "SAN" : "LAN");

    disk->bOpened = true;
    _SetLease(disk, accessID, true);
    if (!ExtendDiskLease(vmHandle, disk)) return false;
    if (transport == kSdkSan) disk->bSANTransport = true;
    return true;
}

bool CFusionComputeDiskInfo::_CloseDisk(VMHandle* vmHandle, DiskHandle* disk) {
    if (disk->nRemoteHandle != 0) {
        log.Debug(kTagClose, "Closing disk [%s] handle [%d]", disk->strName.c_str(),
                  static_cast<int>(disk->nRemoteHandle));
        if (useBackupSDK && disk->pSDKInstance)
            NXFusionSphereSDK_CloseDisk_Ptr(disk->pSDKInstance, disk->nRemoteHandle);
        else
            disk->cnaSocket.CloseRemoteDiskFile(disk->nRemoteHandle);
        disk->nRemoteHandle = 0;
    }
    std::string accessID;
    {
        // Taken off under the lease lock: no admin pass extends an access being released.
        NxCriticalSectionLock guard(&disk->csLease);
        accessID.swap(disk->strAccessID);
        disk->bLeaseActive = false;
    }
    if (!accessID.empty()) {
        log.Debug(kTagClose, "Releasing disk access [%s]", accessID.c_str());
        bridge->ReleaseDiskAccess(accessID);
    }
    if (disk->bCNAConnected && (!useBackupSDK || disk->pSDKInstance)) {
        log.Debug(kTagClose, "Disconnecting from host");
        if (useBackupSDK)
            NXFusionSphereSDK_DisConnectCNA_Ptr(disk->pSDKInstance);
        else
            disk->cnaSocket.Disconnect();
    }
    if (disk->pSDKInstance) {
        log.Debug(kTagClose, "Destroying backup SDK object [%p]", disk->pSDKInstance);
        NXFusionSphereSDK_DestroyInstance_Ptr(disk->pSDKInstance);
        disk->pSDKInstance = nullptr;
    }
    _CloseDisk_FusionStorage(vmHandle, disk);
    disk->bOpened = false;
    return true;
}

bool CFusionComputeDiskInfo::ReOpenDisk(VMHandle* vmHandle, DiskHandle* disk) {
    log.Debug(
        "bool CFusionComputeDiskInfo::ReOpenDisk(FusionComputeDiskInfo::VMHandle*, "
        "FusionComputeDiskInfo::DiskHandle*)",
        "Re-opening disk [%s]", disk->strDisplayName.c_str());
    _CloseDisk(vmHandle, disk);
    if (_OpenDisk(vmHandle, disk)) return true;
    _CloseDisk(vmHandle, disk);
    return false;
}

bool CFusionComputeDiskInfo::IsDiskSupportedForOpen(VMHandle*, DiskHandle* disk) {
    lastError = 0;
    if (IsFusionStorageDatastore(disk->datastoreRecord) && !fusionStorage.IsInitialized()) {
        lastError = 235;
        return false;
    }
    return true;
}

bool CFusionComputeDiskInfo::GetTransportMode(const SVMInfo& vm, std::string& mode) {
    VMHandle* vmHandle = FindVMHandle(vm.strGUID);
    if (!vmHandle) return false;
    size_t san = 0, lan = 0;
    for (DiskHandle* disk : vmHandle->lstDisks) {
        if (!disk->bOpened) continue;
        if (disk->bSANTransport)
            ++san;
        else
            ++lan;
    }
    if (san && lan)
        mode = "SAN+LAN";
    else if (san)
        mode = "SAN";
    else if (lan)
        mode = "LAN";
    return true;
}
