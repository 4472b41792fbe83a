// Disks on FusionStorage datastores: a volume made from the disk's FusionStorage snapshot (or,
// for a restore, the disk's own volume) attached to this machine and read or written as a
// block device; changed blocks from a bitmap volume.
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "FusionComputeDiskInfo.h"
#include "WzFile.h"

using FusionComputeDiskInfo::DiskHandle;
using FusionComputeDiskInfo::VMHandle;
using namespace VMInfoStructs;

namespace {
const char* const kTagOpen =
    "bool CFusionComputeDiskInfo::_OpenDisk_FusionStorage(FusionComputeDiskInfo::VMHandle*, "
    "FusionComputeDiskInfo::DiskHandle*)";
const char* const kTagClose =
    "bool CFusionComputeDiskInfo::_CloseDisk_FusionStorage(FusionComputeDiskInfo::VMHandle*, "
    "FusionComputeDiskInfo::DiskHandle*)";
const char* const kTagIO =
    "bool CFusionComputeDiskInfo::_ReadDisk_FusionStorage(FusionComputeDiskInfo::VMHandle*, "
    "FusionComputeDiskInfo::DiskHandle*, uint64_t, uint32_t, uint8_t*)";
const char* const kTagExtents =
    "bool CFusionComputeDiskInfo::_GetDiskExtents_FusionStorage(FusionComputeDiskInfo::VMHandle*, "
    "FusionComputeDiskInfo::DiskHandle*, std::string, uint64_t, VMInfoStructs::SDiskChangeInfo&)";
const char* const kTagBitmap =
    "bool CFusionComputeDiskInfo::ReadFusionStorageBitmapVolume(std::string, uint32_t, uint64_t, "
    "VMInfoStructs::SDiskChangeInfo&)";
constexpr size_t kBitmapReadBytes = 1u << 20;
}  // namespace

bool CFusionComputeDiskInfo::_OpenDisk_FusionStorage(VMHandle*, DiskHandle* disk) {
    if (!fusionStorage.IsInitialized()) {
        lastError = 235;
        return false;
    }
    const std::string& volume = disk->diskRecord.strStorageVolumeName;
    const std::string& snapshot = disk->diskRecord.strSnapshotDiskID;
    if (disk->bReadOnly) {
        uint64_t size = 0;
        if (!fusionStorage.QueryVolume(volume, size)) {
            log.Error(kTagOpen, "Failed to query fusion storage volume [%s]", volume.c_str());
            lastError = 235;
            return false;
        }
        const std::string name = "__VQ_BACKUP__" + volume + "-" + snapshot;
        log.Debug(kTagOpen,
                  "Creating Fusion Storage snapshot volume [%s] from volume [%s] snapshot [%s] "
                  "size [%llu]",
                  name.c_str(), volume.c_str(), snapshot.c_str(),
                  static_cast<unsigned long long>(size));
        if (!fusionStorage.CreateVolumeFromSnapshot(name, snapshot, size)) {
            log.Error(kTagOpen,
                      "Failed to create fusion storage snapshot volume [%s] from volume [%s] "
                      "snapshot [%s]",
                      name.c_str(), volume.c_str(), snapshot.c_str());
            lastError = 235;
            return false;
        }
        disk->strSnapshotVolumeName = name;
        disk->strVolumeName = name;
        log.Debug(kTagOpen,
                  "Created fusion storage snapshot volume [%s] from volume [%s] snapshot [%s]",
                  name.c_str(), volume.c_str(), snapshot.c_str());
    } else {
        disk->strVolumeName = volume;
    }
    if (!fusionStorage.AttachVolume(disk->strVolumeName, disk->strDevicePath)) return false;
    log.Debug(kTagOpen, "Mounted fusion storage volume [%s] at [%s]", disk->strVolumeName.c_str(),
              disk->strDevicePath.c_str());
    disk->pDiskReader.reset(new CPhysicalDiskReader());
    CWzError err = disk->pDiskReader->Open(disk->strDevicePath, !disk->bReadOnly);
    if (err.IsError()) {
        log.Error(kTagOpen, "Failed to open disk reader for [%s], %s", disk->strDevicePath.c_str(),
                  err.AsString());
        return false;
    }
    disk->pDiskReader->SetSectorSize(disk->nSectorSize);
    log.Debug(kTagOpen,
              "Opened fusion storage volume [%s] at [%s] disk size [%llu] volume size [%llu]",
              disk->strVolumeName.c_str(), disk->strDevicePath.c_str(),
              static_cast<unsigned long long>(disk->ullCapacity),
              static_cast<unsigned long long>(disk->pDiskReader->GetDiskSize()));
    return true;
}

bool CFusionComputeDiskInfo::_CloseDisk_FusionStorage(VMHandle*, DiskHandle* disk) {
    disk->pDiskReader.reset();
    if (!disk->strDevicePath.empty()) {
        log.Debug(kTagClose, "Detaching snapshot volume [%s] from [%s]",
                  disk->strVolumeName.c_str(), disk->strDevicePath.c_str());
        fusionStorage.DetatchVolume(disk->strVolumeName);
        disk->strDevicePath.clear();
    }
    if (!disk->strSnapshotVolumeName.empty()) {
        log.Debug(kTagClose, "Deleting snapshot volume [%s]", disk->strSnapshotVolumeName.c_str());
        fusionStorage.DeleteVolume(disk->strSnapshotVolumeName);
        disk->strSnapshotVolumeName.clear();
    }
    return true;
}

namespace {
// Both directions move whole sectors at the data offset of the volume.
bool TransferVolume(EvEvent& log, bool write, uint32_t dataOffset, const VMHandle* vmHandle,
                    DiskHandle* disk, uint64_t sector, uint32_t sectorCount, uint8_t* buffer) {
    const uint64_t offset = dataOffset + uint64_t(disk->nSectorSize) * sector;
    const uint32_t length = disk->nSectorSize * sectorCount;
    CWzError err = write ? disk->pDiskReader->Write(offset, buffer, length)
                         : disk->pDiskReader->Read(offset, buffer, length);
    if (err.Success()) return true;
    log.Error(kTagIO, "Failed to %s vm [%s] disk [%s] at offset %lld length %lld, %s",
              write ? "write to" : "read from", vmHandle->strName.c_str(), disk->strName.c_str(),
              static_cast<long long>(offset), static_cast<long long>(length), err.AsString());
    return false;
}
}  // namespace

bool CFusionComputeDiskInfo::_ReadDisk_FusionStorage(VMHandle* vmHandle, DiskHandle* disk,
                                                     uint64_t sector, uint32_t sectorCount,
                                                     uint8_t* buffer) {
    return TransferVolume(log, false, fusionStorageDataOffset, vmHandle, disk, sector, sectorCount,
                          buffer);
}

bool CFusionComputeDiskInfo::_WriteDisk_FusionStorage(VMHandle* vmHandle, DiskHandle* disk,
                                                      uint64_t sector, uint32_t sectorCount,
                                                      const uint8_t* buffer) {
    return TransferVolume(log, true, fusionStorageDataOffset, vmHandle, disk, sector, sectorCount,
                          const_cast<uint8_t*>(buffer));
}

bool CFusionComputeDiskInfo::_GetDiskExtents_FusionStorage(VMHandle*, DiskHandle* disk,
                                                           const std::string&, uint64_t,
                                                           SDiskChangeInfo& changeInfo) {
    const std::string& volume = disk->diskRecord.strStorageVolumeName;
    const std::string& snapshot = disk->diskRecord.strSnapshotDiskID;
    const std::string bitmap = snapshot + "-bitmap";
    const std::string older;
    log.Debug(kTagExtents,
              "Creating Fusion Storage bitmap volume [%s] from volume [%s] snapshot [%s]-[%s]",
              bitmap.c_str(), volume.c_str(), older.c_str(), snapshot.c_str());
    uint32_t blockSize = 0;
    if (!fusionStorage.CreateBitmapVolume(bitmap, older, snapshot, blockSize)) {
        log.Error(kTagExtents,
                  "Failed to create fusion storage bitmap volume [%s] from volume [%s] snapshot "
                  "[%s]-[%s]",
                  bitmap.c_str(), volume.c_str(), older.c_str(), snapshot.c_str());
        return false;
    }
    bool result = false;
    std::string device;
    if (blockSize == 0) {
        // A ready bitmap without a block size would read as "nothing changed" and an
        // incremental built on it would miss every changed block.
        log.Error(kTagExtents, "Failed to use bitmap volume [%s]: the tools report block size 0",
                  bitmap.c_str());
    } else if (!fusionStorage.AttachVolume(bitmap, device)) {
        log.Error(kTagExtents, "Failed to attach bitmap volume [%s]", bitmap.c_str());
    } else {
        result = ReadFusionStorageBitmapVolume(device, blockSize, disk->diskRecord.ullCapacity,
                                               changeInfo);
        fusionStorage.DetatchVolume(bitmap);
    }
    fusionStorage.DeleteVolume(bitmap);
    return result;
}

bool CFusionComputeDiskInfo::ReadFusionStorageBitmapVolume(const std::string& devicePath,
                                                           uint32_t blockSize, uint64_t diskLength,
                                                           SDiskChangeInfo& changeInfo) {
    changeInfo.ullStartOffset = 0;
    changeInfo.ullLength = diskLength;
    if (blockSize == 0) return false;
    CWzFile file;
    CWzError err = file.Open(devicePath, "rb");
    if (err.IsError()) {
        log.Error(kTagBitmap, "Failed to open bitmap volume [%s], %s", devicePath.c_str(),
                  err.AsString());
        return false;
    }
    uint64_t size = 0;
    if (ioctl(file.Fd(), BLKGETSIZE64, &size) != 0) {
        // An attached volume that is a plain file (no loop device to be had) has its size in
        // the file system instead.
        struct stat st {};
        if (fstat(file.Fd(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        size = static_cast<uint64_t>(st.st_size);
    }
    const uint64_t chunk = 8ull * blockSize;
    SDiskChangeExtent extent;
    bool open = false;
    std::vector<uint8_t> block(kBitmapReadBytes);
    for (uint64_t base = 0; base < size; base += block.size()) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - base));
        err = file.ReadAt(base, block.data(), n);
        if (err.IsError()) {
            log.Error(kTagBitmap, "Failed to read bitmap volume [%s] offset [%llu], %s",
                      devicePath.c_str(), static_cast<unsigned long long>(base), err.AsString());
            return false;
        }
        size_t i = 0;
        while (i < n) {
            if (!open) {
                // Zero bytes change nothing outside an extent: skip them a word at a time.
                while (i + 8 <= n) {
                    uint64_t word;
                    std::memcpy(&word, block.data() + i, sizeof(word));
                    if (word) break;
                    i += 8;
                }
                while (i < n && block[i] == 0) ++i;
                if (i == n) break;
                extent.ullOffset = (base + i) * chunk;
                open = true;
            } else {
                while (i < n && block[i] != 0) ++i;
                if (i == n) break;
                extent.ullLength = (base + i) * chunk - extent.ullOffset;
                AddFusionStorageDiskChangeExtent(changeInfo, extent);
                open = false;
            }
        }
    }
    if (open) {
        extent.ullLength = size * chunk - extent.ullOffset;
        AddFusionStorageDiskChangeExtent(changeInfo, extent);
    }
    return true;
}

void CFusionComputeDiskInfo::AddFusionStorageDiskChangeExtent(SDiskChangeInfo& changeInfo,
                                                              SDiskChangeExtent& extent) {
    if (static_cast<int64_t>(extent.ullOffset) >= static_cast<int64_t>(fusionStorageDataOffset))
        extent.ullOffset -= fusionStorageDataOffset;
    else
        extent.ullOffset = 0;
    changeInfo.vecExtents.push_back(extent);
    extent.ullOffset = 0;
    extent.ullLength = 0;
}
