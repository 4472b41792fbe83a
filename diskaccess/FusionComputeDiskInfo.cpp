// The service: initialisation, VM handles, disk registration and the handle look-ups.
#include "FusionComputeDiskInfo.h"

#include "NxPlatformInfo.h"
#include "WzError.h"
#include "WzSocket.h"

using FusionComputeDiskInfo::DiskHandle;
using FusionComputeDiskInfo::VMHandle;
using namespace VMInfoStructs;

EvDebug CFusionComputeDiskInfo::c_Log;
EvDebugFileInstance CFusionComputeDiskInfo::c_LogFileInstance;
std::string CFusionComputeDiskInfo::c_localIP;

CFusionComputeDiskInfo::CFusionComputeDiskInfo(
    FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge* bridgeIn)
    : bridge(bridgeIn),
      fusionStorageDataOffset(4096),
      useBackupSDK(true),
      lastError(0),
      diskIORetries(10),
      diskIORetryDelay(10) {}

CFusionComputeDiskInfo::~CFusionComputeDiskInfo() {
    Deinitialize();
    // Handles still registered here were never disconnected. Their remote resources cannot be
    // given back any more, but their memory is.
    NxCriticalSectionLock guard(&vmHandlesLock);
    for (VMHandle* vm : vmHandles) {
        for (DiskHandle* disk : vm->lstDisks) delete disk;
        delete vm;
    }
    vmHandles.clear();
}

bool CFusionComputeDiskInfo::Initialize() {
    static const char* kTag = "bool CFusionComputeDiskInfo::Initialize()";
    // A second call after a success has nothing to do; after a failure it tries again.
    if (bInitialized) return true;
    int version = 0;
    if (bridge && bridge->GetManagementVersionNumber(version) && version > 62) {
        useBackupSDK = false;
        fusionStorageDataOffset = 0;
    }
    if (useBackupSDK) {
        if (!ImportSDK()) return false;
        c_Log.initialize(&c_LogFileInstance, 0x7D3AF3C9, 0, false, "");
        log.Debug(kTag, "Initializing FusionSphere Backup SDK");
        NXFusionSphereSDK_SetupLogging_Ptr(LogFunc_Error, LogFunc_Error, LogFunc_Error,
                                           LogFunc_Debug, LogFunc_Debug, LogFunc_Trace);
        NXFusionSphereSDK_InitialSDK_Ptr(0, 0, 0);
    }

    std::string hostName;
    if (NXPI_Focus::getFocus())
        hostName = NXPlatformInfo::getClientHostName(NXPI_Focus::getFocusClientName(true));
    if (hostName.empty()) {
        CWzError err = CWzIPAddr::GetLocalHost(hostName);
        if (err.IsError()) {
            log.Error(kTag, "Failed to get local host, %s", err.AsString());
            return false;
        }
    }
    CWzIPAddr address;
    CWzError err = address.GetByName(hostName, 2);
    if (err.IsError()) {
        log.Error(kTag, "Failed to get local host [%s] ip address, %s", hostName.c_str(),
                  err.AsString());
        return false;
    }
    std::string ip;
    err = address.GetAddressString(ip);
    if (err.IsError()) {
        log.Error(kTag, "Failed to get local ip address string, %s", err.AsString());
        return false;
    }
    c_localIP = ip;
    log.Debug(kTag, "Local host %s IP Address is: %s", hostName.c_str(), c_localIP.c_str());

    if (fusionStorage.IsInitialized() || fusionStorage.Initialize(c_localIP))
        log.Debug(kTag, "FusionStorage API is available");
    else
        log.Debug(kTag, "FusionStorage API is NOT available");

    diskIORetries = 10;
    diskIORetryDelay = 10;
    uint64_t value = 0;
    if (NXPlatformInfo::getNumber(NXPI_SECTION_VIRTUAL_SERVER, "DiskIORetries", value))
        diskIORetries = static_cast<uint32_t>(value);
    if (NXPlatformInfo::getNumber(NXPI_SECTION_VIRTUAL_SERVER, "DiskIORetryDelay", value))
        diskIORetryDelay = static_cast<uint32_t>(value);

    if (!adminThread.running() && !StartAdminThread()) return false;
    bInitialized = true;
    return true;
}

void CFusionComputeDiskInfo::Deinitialize() {
    if (adminThread.running()) StopAdminThread();
    bInitialized = false;
}

bool CFusionComputeDiskInfo::Connect(const SVMInfo& vm, const std::string& snapshotID) {
    lastError = 0;
    if (FindVMHandle(vm.strGUID)) return true;
    auto* handle = new VMHandle();
    handle->strName = vm.strName;
    handle->strGUID = vm.strGUID;
    handle->strSnapshotID = snapshotID;
    NxCriticalSectionLock guard(&vmHandlesLock);
    vmHandles.push_back(handle);
    return true;
}

bool CFusionComputeDiskInfo::Disconnect(const SVMInfo& vm) {
    static const char* kTag = "bool CFusionComputeDiskInfo::Disconnect(VMInfoStructs::SVMInfo)";
    VMHandle* handle = FindVMHandle(vm.strGUID);
    if (!handle) return false;
    for (;;) {
        DiskHandle* disk = nullptr;
        {
            // Off the list first, so that no admin pass reaches it while it is closed.
            NxCriticalSectionLock guard(&vmHandlesLock);
            if (handle->lstDisks.empty()) break;
            disk = handle->lstDisks.back();
            handle->lstDisks.pop_back();
        }
        if (disk->bOpened) {
            log.Error(kTag, "Disk handle is still open!");
            // Destroying it open would leave its lease, remote handle or volume behind.
            _CloseDisk(handle, disk);
        }
        delete disk;
    }
    {
        NxCriticalSectionLock guard(&vmHandlesLock);
        vmHandles.remove(handle);
    }
    delete handle;
    return true;
}

bool CFusionComputeDiskInfo::OpenDisk(const SVMInfo& vm, const SDisk& disk,
                                      const std::string& fileName, const SDatastoreInfo& datastore,
                                      bool readOnly, bool eagerZeroed) {
    static const char* kTag =
        "bool CFusionComputeDiskInfo::OpenDisk(VMInfoStructs::SVMInfo, VMInfoStructs::SDisk, "
        "std::string, VMInfoStructs::SDatastoreInfo, bool, bool)";
    VMHandle* vmHandle = FindVMHandle(vm.strGUID);
    if (!vmHandle) return false;
    if (FindVMDiskHandle(vmHandle, disk.strName)) {
        log.Error(kTag, "Disk [%s] is already open", disk.strName.c_str());
        return false;
    }
    std::unique_ptr<DiskHandle> handle(new DiskHandle());
    handle->strName = disk.strName;
    handle->strDisplayName = disk.strDisplayName;
    handle->ullCapacity = disk.ullCapacity;
    handle->strGUID = disk.strGUID;
    handle->strDatastore = disk.strDatastore;
    handle->diskRecord = disk;
    handle->strFileName = fileName;
    handle->datastoreRecord = datastore;
    handle->bReadOnly = readOnly;
    handle->bEagerZeroed = eagerZeroed;
    if (vmHandle->lstDisks.empty()) {
        if (!_OpenDisk(vmHandle, handle.get())) {
            _CloseDisk(vmHandle, handle.get());
            return false;
        }
    } else if (!IsDiskSupportedForOpen(vmHandle, handle.get())) {
        return false;
    }
    NxCriticalSectionLock guard(&vmHandlesLock);
    vmHandle->lstDisks.push_back(handle.release());
    return true;
}

bool CFusionComputeDiskInfo::CheckDisk(const SVMInfo& vm, const SDisk& disk) {
    VMHandle* vmHandle = FindVMHandle(vm.strGUID);
    return vmHandle && FindVMDiskHandle(vmHandle, disk.strName);
}

bool CFusionComputeDiskInfo::CloseDisks(const SVMInfo& vm) {
    VMHandle* vmHandle = FindVMHandle(vm.strGUID);
    if (!vmHandle) return false;
    for (DiskHandle* disk : vmHandle->lstDisks) {
        if (disk->bOpened) _CloseDisk(vmHandle, disk);
    }
    return true;
}

bool CFusionComputeDiskInfo::GetDiskHandle(const std::string& vmName, const std::string& vmGUID,
                                           const std::string& diskName, VmdkHandle& out) {
    static const char* kTag =
        "bool CFusionComputeDiskInfo::GetDiskHandle(std::string, std::string, std::string, "
        "VmdkHandle&)";
    // The error describes this call: a 205 left by an earlier open would make the caller
    // wait for a disk that does not exist.
    lastError = 0;
    VMHandle* vmHandle = FindVMHandle(vmGUID);
    if (!vmHandle) {
        log.Error(kTag, "Unable to find open VM Handle for %s", vmName.c_str());
        return false;
    }
    DiskHandle* disk = FindVMDiskHandle(vmHandle, diskName);
    if (!disk) {
        log.Error(kTag, "Unable to find open Disk Handle for %s %s", vmName.c_str(),
                  diskName.c_str());
        return false;
    }
    if (!disk->bOpened && !_OpenDisk(vmHandle, disk)) return false;
    out.pVMHandle = vmHandle;
    out.pDiskHandle = disk;
    return true;
}

bool CFusionComputeDiskInfo::ReleaseDiskHandle(VmdkHandle handle) {
    if (handle.pVMHandle && handle.pDiskHandle)
        _CloseDisk(static_cast<VMHandle*>(handle.pVMHandle),
                   static_cast<DiskHandle*>(handle.pDiskHandle));
    return true;
}

bool CFusionComputeDiskInfo::GetDiskInfo(VmdkHandle handle, SDisk& out) {
    if (!handle.pDiskHandle) return false;
    out = static_cast<DiskHandle*>(handle.pDiskHandle)->diskRecord;
    return true;
}

bool CFusionComputeDiskInfo::GetDiskCapacity(VmdkHandle handle, uint64_t& bytes,
                                             uint64_t& sectors) {
    if (!handle.pDiskHandle) return false;
    bytes = static_cast<DiskHandle*>(handle.pDiskHandle)->ullCapacity;
    sectors = bytes / 512;
    return true;
}

VMHandle* CFusionComputeDiskInfo::FindVMHandle(const std::string& vmGUID) {
    NxCriticalSectionLock guard(&vmHandlesLock);
    for (VMHandle* vm : vmHandles)
        if (FXString::CompareNoCase(vm->strGUID, vmGUID) == 0) return vm;
    return nullptr;
}

DiskHandle* CFusionComputeDiskInfo::FindVMDiskHandle(VMHandle* vmHandle,
                                                     const std::string& diskName) {
    if (!vmHandle) return nullptr;
    for (DiskHandle* disk : vmHandle->lstDisks)
        if (FXString::CompareNoCase(disk->strName, diskName) == 0) return disk;
    return nullptr;
}

void CFusionComputeDiskInfo::LogFunc_Error(const char* text) {
    c_Log.Error("static void CFusionComputeDiskInfo::LogFunc_Error(const char*)", "%s",
                text ? text : "");
}

void CFusionComputeDiskInfo::LogFunc_Debug(const char* text) {
    c_Log.Debug("static void CFusionComputeDiskInfo::LogFunc_Debug(const char*)", "%s",
                text ? text : "");
}

void CFusionComputeDiskInfo::LogFunc_Trace(const char* text) {
    c_Log.DebugLvl("static void CFusionComputeDiskInfo::LogFunc_Trace(const char*)", 1, "%s",
                   text ? text : "");
}
