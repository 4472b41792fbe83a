// Reads and writes of open disks: the lease is extended before the transfer, a failed read
// re-opens the disk, a failed write is tried again on the same connection.
#include <cinttypes>

#include "FusionComputeDiskInfo.h"
#include "NxClock.h"

using FusionComputeDiskInfo::DiskHandle;
using FusionComputeDiskInfo::VMHandle;

namespace {
const char* const kTagRead =
    "bool CFusionComputeDiskInfo::ReadDisk(VmdkHandle, uint64_t, uint32_t, uint8_t*)";
const char* const kTagWrite =
    "bool CFusionComputeDiskInfo::WriteDisk(VmdkHandle, uint64_t, uint32_t, uint8_t*)";
}  // namespace

bool CFusionComputeDiskInfo::_TransferOk(DiskHandle* disk, bool write, uint64_t offset,
                                         uint32_t length, uint8_t* buffer) {
    if (useBackupSDK && disk->pSDKInstance) {
        uint64_t count = length;
        return write ? NXFusionSphereSDK_WriteDisk_Ptr(disk->pSDKInstance, disk->nRemoteHandle,
                                                       offset, length, buffer, &count)
                     : NXFusionSphereSDK_ReadDisk_Ptr(disk->pSDKInstance, disk->nRemoteHandle,
                                                      offset, length, buffer, &count);
    }
    return write
               ? disk->cnaSocket.WriteToRemoteDiskFile(disk->nRemoteHandle, offset, length, buffer)
               : disk->cnaSocket.ReadFromRemoteDiskFile(disk->nRemoteHandle, offset, length,
                                                        buffer);
}

bool CFusionComputeDiskInfo::ReadDisk(VmdkHandle h, uint64_t sector, uint32_t sectorCount,
                                      uint8_t* buffer) {
    return _Transfer(h, false, sector, sectorCount, buffer);
}

bool CFusionComputeDiskInfo::WriteDisk(VmdkHandle h, uint64_t sector, uint32_t sectorCount,
                                       uint8_t* buffer) {
    return _Transfer(h, true, sector, sectorCount, buffer);
}

bool CFusionComputeDiskInfo::_Transfer(VmdkHandle h, bool write, uint64_t sector,
                                       uint32_t sectorCount, uint8_t* buffer) {
    const char* tag = write ? kTagWrite : kTagRead;
    if (!buffer || !h.pVMHandle || !h.pDiskHandle) return false;
    auto* vmHandle = static_cast<VMHandle*>(h.pVMHandle);
    auto* disk = static_cast<DiskHandle*>(h.pDiskHandle);
    // The transports carry a 32-bit byte count; a larger request would wrap and move the
    // wrong number of bytes.
    if (static_cast<uint64_t>(sectorCount) * disk->nSectorSize > UINT32_MAX) {
        log.Error(tag, "Refusing to transfer [%u] sectors of vm [%s] disk [%s]: more than 4 GiB",
                  sectorCount, vmHandle->strName.c_str(), disk->strName.c_str());
        return false;
    }
    if (disk->pDiskReader)
        return write ? _WriteDisk_FusionStorage(vmHandle, disk, sector, sectorCount, buffer)
                     : _ReadDisk_FusionStorage(vmHandle, disk, sector, sectorCount, buffer);
    const uint64_t offset = sector * disk->nSectorSize;
    const uint32_t length = sectorCount * disk->nSectorSize;
    return write ? _WriteRetrying(vmHandle, disk, offset, length, buffer)
                 : _ReadReopening(vmHandle, disk, offset, length, buffer);
}

bool CFusionComputeDiskInfo::_ReadReopening(VMHandle* vmHandle, DiskHandle* disk, uint64_t offset,
                                            uint32_t length, uint8_t* buffer) {
    if (!ExtendDiskLease(vmHandle, disk)) return false;
    uint32_t failedReopens = 0;
    uint32_t healedReopens = 0;
    for (;;) {
        if (_TransferOk(disk, false, offset, length, buffer)) return true;
        log.Error(kTagRead, "Failed to read [%u] sectors from vm [%s] disk [%s] at offset [%llu]",
                  length / disk->nSectorSize, vmHandle->strName.c_str(), disk->strName.c_str(),
                  static_cast<unsigned long long>(offset / disk->nSectorSize));
        if (ReOpenDisk(vmHandle, disk)) {
            // A disk that opens every time but never reads must not hold the job for ever.
            if (++healedReopens > diskIORetries + 1) {
                log.Error(kTagRead, "Giving up on vm [%s] disk [%s] after %u re-opens",
                          vmHandle->strName.c_str(), disk->strName.c_str(), healedReopens - 1);
                return false;
            }
            continue;
        }
        log.Error(kTagRead, "Failed to reopen the disk");
        if (failedReopens > diskIORetries) return false;
        WZSLEEP(diskIORetryDelay * 1000u);
        ++failedReopens;
    }
}

bool CFusionComputeDiskInfo::_WriteRetrying(VMHandle* vmHandle, DiskHandle* disk, uint64_t offset,
                                            uint32_t length, uint8_t* buffer) {
    uint32_t retries = 0;
    for (;;) {
        if (!ExtendDiskLease(vmHandle, disk)) return false;
        if (_TransferOk(disk, true, offset, length, buffer)) return true;
        log.Error(kTagWrite, "Failed to write to vm [%s] disk [%s] at offset %lld length %lld",
                  vmHandle->strName.c_str(), disk->strName.c_str(), static_cast<long long>(offset),
                  static_cast<long long>(length));
        if (retries > diskIORetries) return false;
        WZSLEEP(diskIORetryDelay * 1000u);
        ++retries;
    }
}
