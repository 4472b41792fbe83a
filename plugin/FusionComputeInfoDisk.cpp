// The plug-in's disk interface: the agent reaches the disks of a mounted VM, or of a restore
// being prepared, through these, and they forward to the disk access service.
#include "FusionComputeDiskInfo.h"
#include "FusionComputeInfo.h"
#include "NxClock.h"

using namespace VMInfoStructs;

namespace {
const char* const kTagOpenVmdk =
    "virtual int CFusionComputeInfo::OpenVmdk(const string&, const string&, const string&, "
    "VmdkHandle&)";
const char* const kTagCreateVmdk =
    "virtual int CFusionComputeInfo::CreateVmdk(const string&, const string&, const string&, "
    "VmdkHandle&, UINT64)";
const char* const kTagVmdkInfo =
    "virtual int CFusionComputeInfo::GetVmdkInfo(VmdkHandle&, VMInfoStructs::SDisk&)";
}  // namespace

bool CFusionComputeInfo::InitDiskInfo() {
    if (diskInfo && diskInfo->IsInitialized()) return true;
    if (!diskInfo) diskInfo.reset(new CFusionComputeDiskInfo(bridge.get()));
    // A service that failed to initialise stays attached and is tried again by the next call;
    // until one succeeds, nothing uses it.
    if (diskInfo->Initialize()) return true;
    log.Error("bool CFusionComputeInfo::InitDiskInfo()",
              "Failed to initialize FusionComputeDiskInfo");
    return false;
}

bool CFusionComputeInfo::_DiskServiceReady(const char* tag) {
    if (diskInfo && diskInfo->IsInitialized()) return true;
    SetLastVMError(VMINFO_ERR_OPEN_DISK);
    log.Error(tag, "The disk access service is not initialized");
    return false;
}

int CFusionComputeInfo::OpenVmdk(const string& vmName, const string& vmGUID, const string& diskName,
                                 VmdkHandle& handle) {
    SetLastVMError(VMINFO_ERR_NONE);
    if (!_DiskServiceReady(kTagOpenVmdk)) return 0;
    for (;;) {
        bool ok;
        uint32_t error;
        {
            NxCriticalSectionLock guard(&csHandleLock);
            ok = diskInfo->GetDiskHandle(vmName, vmGUID, diskName, handle);
            error = diskInfo->GetLastError();
        }
        if (ok) return 1;
        if (error != VMINFO_ERR_RETRYABLE) {
            SetLastVMError(VMINFO_ERR_OPEN_DISK);
            log.Error(kTagOpenVmdk, "Unable to get handle of the opened disk");
            return 0;
        }
        if (IsJobCancelled()) {
            log.Debug(kTagOpenVmdk, "Detected quit flag");
            SetLastVMError(VMINFO_ERR_JOB_QUIT);
            return 0;
        }
        // The management service could not prepare access now; asking again at once would
        // only hammer it.
        WZSLEEP(diskInfo->GetDiskIORetryDelay() * 1000u);
    }
}

int CFusionComputeInfo::CreateVmdk(const string& vmName, const string& vmGUID,
                                   const string& diskName, VmdkHandle& handle, UINT64) {
    SetLastVMError(VMINFO_ERR_NONE);
    if (!_DiskServiceReady(kTagCreateVmdk)) return 0;
    if (diskInfo->GetDiskHandle(vmName, vmGUID, diskName, handle)) return 1;
    SetLastVMError(VMINFO_ERR_OPEN_DISK);
    log.Error(kTagCreateVmdk, "Unable to get handle to opened disk");
    return 0;
}

int CFusionComputeInfo::CloseVmdk(VmdkHandle& handle) {
    if (diskInfo) diskInfo->ReleaseDiskHandle(handle);
    return 1;
}

int CFusionComputeInfo::GetVmdkHandle(const string&, VmdkHandle&) {
    return 0;
}

int CFusionComputeInfo::GetVmdkInfo(VmdkHandle& handle, SDisk& out) {
    SetLastVMError(VMINFO_ERR_NONE);
    if (diskInfo && diskInfo->GetDiskInfo(handle, out)) return 1;
    SetLastVMError(VMINFO_ERR_OPEN_DISK);
    log.Error(kTagVmdkInfo, "Unable to get handle of the opened disk");
    return 0;
}

int CFusionComputeInfo::GetVmdkFileName(VmdkHandle&, string&) {
    return 0;
}

int CFusionComputeInfo::GetVmdkCapacity(VmdkHandle& handle, UINT64& bytes) {
    uint64_t value = 0, sectors = 0;
    if (!diskInfo || !diskInfo->GetDiskCapacity(handle, value, sectors)) return 0;
    bytes = value;
    return 1;
}

int CFusionComputeInfo::GetVmdkMetadata(VmdkHandle&, SDiskMetadataInfo&) {
    return 0;
}

int CFusionComputeInfo::SetVmdkMetadata(VmdkHandle&, const SDiskMetadataInfo&) {
    return 0;
}

int CFusionComputeInfo::GetVmdkExtents(VmdkHandle& handle, const string& changeToken,
                                       UINT64 startOffset, SDiskChangeInfo& out) {
    return diskInfo && diskInfo->GetDiskExtents(handle, changeToken, startOffset, out) ? 1 : 0;
}

int CFusionComputeInfo::GetVmdkOptions(VmdkHandle&, string&) {
    return 0;
}

int CFusionComputeInfo::ReadVmdk(VmdkHandle& handle, UINT64 sector, UINT32 sectorCount,
                                 unsigned char* buffer) {
    return diskInfo && diskInfo->ReadDisk(handle, sector, sectorCount, buffer) ? 1 : 0;
}

int CFusionComputeInfo::WriteVmdk(VmdkHandle& handle, UINT64 sector, UINT32 sectorCount,
                                  unsigned char* buffer) {
    return diskInfo && diskInfo->WriteDisk(handle, sector, sectorCount, buffer) ? 1 : 0;
}
