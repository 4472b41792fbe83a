#include "FusionComputeDiskInfo.h"

#include "WzError.h"

using FusionComputeDiskInfo::DiskHandle;
using FusionComputeDiskInfo::VMHandle;

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
    // Handles still registered here were never disconnected. Their remote resources cannot be
    // given back any more, but their memory is.
    NxCriticalSectionLock guard(&vmHandlesLock);
    for (VMHandle* vm : vmHandles) {
        for (DiskHandle* disk : vm->lstDisks) delete disk;
        delete vm;
    }
    vmHandles.clear();
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
