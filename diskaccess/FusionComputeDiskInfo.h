// The disk access service of the plug-in: VM handles (one disk-access session per VM) holding
// disk handles (one per registered disk), the backup SDK loader, and the SDK's log callbacks.
//
// Lock order: vmHandlesLock before a disk handle's csLease, never the reverse. The admin
// thread holds vmHandlesLock for a whole pass; every change of a VM handle's disk list is made
// under it too, and every change of a handle's lease fields under csLease, so a pass never
// sees a half-built list or extends a lease that is being released.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CPhysicalDiskReader.h"
#include "EvDebug.h"
#include "FusionComputeSDKCppBridge.h"
#include "FusionComputeSocket.h"
#include "FusionStorageAPI.h"
#include "NXFusionSphereSDK.h"
#include "NxSync.h"
#include "VMInfo.h"
#include "VMInfoStructs.h"

// The backup SDK's entry points, resolved by CFusionComputeDiskInfo::ImportSDK. Process-wide,
// null until the first load; every load overwrites all eleven.
#define FCDI_DECLARE_SDK_POINTER(name, result, params) extern name##_Fn name##_Ptr;
NXFUSIONSPHERESDK_ENTRY_POINTS(FCDI_DECLARE_SDK_POINTER)
#undef FCDI_DECLARE_SDK_POINTER

// A null-terminated array of C strings for the SDK, borrowing the characters of a vector of
// strings: the vector must outlive the array and stay unchanged while it is used.
class CFusionSphereDiskInfoStringArray {
public:
    explicit CFusionSphereDiskInfoStringArray(const std::vector<std::string>& strings);
    ~CFusionSphereDiskInfoStringArray();
    CFusionSphereDiskInfoStringArray(const CFusionSphereDiskInfoStringArray&) = delete;
    CFusionSphereDiskInfoStringArray& operator=(const CFusionSphereDiskInfoStringArray&) = delete;

    const char** Get() const { return pArray; }

private:
    const char** pArray;
};

namespace FusionComputeDiskInfo {

struct DiskHandle {
    std::string strName;  // the disk key
    std::string strDisplayName;
    uint64_t ullCapacity = 0;  // bytes
    uint32_t nSectorSize = 512;
    std::string strGUID;
    std::string strFileName;  // given at restore; empty at backup
    std::string strDatastore;
    bool bOpened = false;
    bool bSANTransport = false;
    bool bReadOnly = true;
    bool bEagerZeroed = false;
    std::string strAccessID;  // lease identifier; empty when none is held
    std::string strCNAAddress;
    std::string strCNAPort;  // decimal text
    std::string strToken;
    std::string strTargetFile;
    int64_t tLastLeaseExtension = 0;  // seconds since the epoch; 0 = none yet
    NxCriticalSection csLease;
    bool bLeaseActive = false;
    VMInfoStructs::SDisk diskRecord;
    VMInfoStructs::SDatastoreInfo datastoreRecord;
    void* pSDKInstance = nullptr;
    bool bCNAConnected = false;
    uint32_t nRemoteHandle = 0;  // 0 = none
    CFusionComputeSocket cnaSocket;
    std::string strVolumeName;
    std::string strSnapshotVolumeName;
    std::string strDevicePath;
    std::unique_ptr<CPhysicalDiskReader> pDiskReader;  // set: the disk is served from a volume
};

struct VMHandle {
    std::string strName;
    std::string strGUID;  // the key
    std::string strSnapshotID;
    std::list<DiskHandle*> lstDisks;  // registration order, owned
};

}  // namespace FusionComputeDiskInfo

class CFusionComputeDiskInfo {
public:
    using VMHandle = FusionComputeDiskInfo::VMHandle;
    using DiskHandle = FusionComputeDiskInfo::DiskHandle;

    explicit CFusionComputeDiskInfo(FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge* bridge);
    virtual ~CFusionComputeDiskInfo();
    CFusionComputeDiskInfo(const CFusionComputeDiskInfo&) = delete;
    CFusionComputeDiskInfo& operator=(const CFusionComputeDiskInfo&) = delete;

    // The service.
    bool Initialize();
    void Deinitialize();
    bool IsInitialized() const { return bInitialized; }
    bool Connect(const VMInfoStructs::SVMInfo& vm, const std::string& snapshotID);
    bool Disconnect(const VMInfoStructs::SVMInfo& vm);
    bool OpenDisk(const VMInfoStructs::SVMInfo& vm, const VMInfoStructs::SDisk& disk,
                  const std::string& fileName, const VMInfoStructs::SDatastoreInfo& datastore,
                  bool readOnly, bool eagerZeroed);
    bool CheckDisk(const VMInfoStructs::SVMInfo& vm, const VMInfoStructs::SDisk& disk);
    bool CloseDisks(const VMInfoStructs::SVMInfo& vm);
    bool GetDiskHandle(const std::string& vmName, const std::string& vmGUID,
                       const std::string& diskName, VmdkHandle& out);
    bool ReleaseDiskHandle(VmdkHandle handle);
    bool GetDiskInfo(VmdkHandle handle, VMInfoStructs::SDisk& out);
    bool GetDiskCapacity(VmdkHandle handle, uint64_t& bytes, uint64_t& sectors);

    FusionComputeDiskInfo::VMHandle* FindVMHandle(const std::string& vmGUID);
    FusionComputeDiskInfo::DiskHandle* FindVMDiskHandle(FusionComputeDiskInfo::VMHandle* vmHandle,
                                                        const std::string& diskName);
    uint32_t GetLastError() const { return lastError; }
    uint32_t GetDiskIORetryDelay() const { return diskIORetryDelay; }

    // Open, close and transport.
    bool _OpenDisk(VMHandle* vmHandle, DiskHandle* diskHandle);
    bool _CloseDisk(VMHandle* vmHandle, DiskHandle* diskHandle);
    bool ReOpenDisk(VMHandle* vmHandle, DiskHandle* diskHandle);
    bool IsDiskSupportedForOpen(VMHandle* vmHandle, DiskHandle* diskHandle);
    bool GetTransportMode(const VMInfoStructs::SVMInfo& vm, std::string& mode);

    // I/O in 512-byte sectors. A request of 8388608 sectors or more (4 GiB) is refused.
    bool ReadDisk(VmdkHandle handle, uint64_t sector, uint32_t sectorCount, uint8_t* buffer);
    bool WriteDisk(VmdkHandle handle, uint64_t sector, uint32_t sectorCount, uint8_t* buffer);

    // Changed (token given) or allocated (empty token) extents.
    bool GetDiskExtents(VmdkHandle handle, const std::string& changeToken, uint64_t startOffset,
                        VMInfoStructs::SDiskChangeInfo& out);
    static void ProcessCBTBitmap(const std::string& bitmap, uint32_t sectorsPerBit,
                                 uint32_t sectorSize, VMInfoStructs::SDiskChangeInfo& out);
    bool GetDisks(const VMInfoStructs::SVMInfo& vm, std::vector<VMInfoStructs::SDisk>& out);
    bool GetDiskUuidMap(const VMInfoStructs::SVMInfo& vm, std::map<std::string, std::string>& out);

    // Leases and the admin thread.
    bool ExtendDiskLease(VMHandle* vmHandle, DiskHandle* diskHandle);
    bool StartAdminThread();
    void StopAdminThread();
    static void* AdminThreadStatic(void* service);
    void AdminThread();
    void ExtendAllDiskLeases();
    // The wait before the next pass, from how long the last one took.
    static uint32_t NextAdminWaitMillis(uint64_t passMillis);

    static constexpr uint32_t c_nLeaseSeconds = 300;
    static constexpr uint32_t c_nLeaseRenewSeconds = 150;
    static constexpr uint32_t c_nAdminIntervalSeconds = 30;

    // Disks on FusionStorage datastores.
    bool _OpenDisk_FusionStorage(VMHandle* vmHandle, DiskHandle* diskHandle);
    bool _CloseDisk_FusionStorage(VMHandle* vmHandle, DiskHandle* diskHandle);
    bool _ReadDisk_FusionStorage(VMHandle* vmHandle, DiskHandle* diskHandle, uint64_t sector,
                                 uint32_t sectorCount, uint8_t* buffer);
    bool _WriteDisk_FusionStorage(VMHandle* vmHandle, DiskHandle* diskHandle, uint64_t sector,
                                  uint32_t sectorCount, const uint8_t* buffer);
    bool _GetDiskExtents_FusionStorage(VMHandle* vmHandle, DiskHandle* diskHandle,
                                       const std::string& changeId, uint64_t startOffset,
                                       VMInfoStructs::SDiskChangeInfo& changeInfo);
    bool ReadFusionStorageBitmapVolume(const std::string& devicePath, uint32_t blockSize,
                                       uint64_t diskLength,
                                       VMInfoStructs::SDiskChangeInfo& changeInfo);
    void AddFusionStorageDiskChangeExtent(VMInfoStructs::SDiskChangeInfo& changeInfo,
                                          VMInfoStructs::SDiskChangeExtent& extent);

    // Backup SDK loader.
    bool ImportSDK();
    int _LoadOneFunc(void* library, void* slot, const char* symbol);
    void PrepareRequiredLibrary(const std::string& directory, const std::string& requiredName,
                                const std::vector<std::string>& candidates);

    // The SDK's log callbacks: the text is written as it is, never used as a format.
    static void LogFunc_Error(const char* text);
    static void LogFunc_Debug(const char* text);
    static void LogFunc_Trace(const char* text);

    static EvDebug c_Log;  // receives the backup SDK's messages
    static EvDebugFileInstance c_LogFileInstance;
    static std::string c_localIP;

    // Where ImportSDK provides the OpenSSL 1.0.0 names; tests point it at a temporary folder.
    std::string strSystemLibDirectory = "/usr/lib64";

protected:
    // Sets the lease fields under the handle's lease lock.
    static void _SetLease(DiskHandle* diskHandle, const std::string& accessID, bool active);
    bool _TransferOk(DiskHandle* diskHandle, bool write, uint64_t offset, uint32_t length,
                     uint8_t* buffer);
    // ReadDisk and WriteDisk: the request checked (null buffer or handle, a byte count that
    // does not fit the transports' 32 bits), then a volume-backed disk served from its volume,
    // any other by the retry rule of the direction.
    bool _Transfer(VmdkHandle h, bool write, uint64_t sector, uint32_t sectorCount,
                   uint8_t* buffer);
    // A failed read re-opens the disk; a failed write is tried again on the same connection.
    bool _ReadReopening(VMHandle* vmHandle, DiskHandle* disk, uint64_t offset, uint32_t length,
                        uint8_t* buffer);
    bool _WriteRetrying(VMHandle* vmHandle, DiskHandle* disk, uint64_t offset, uint32_t length,
                        uint8_t* buffer);

    EvEvent log;
    FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge* bridge;  // borrowed
    CFusionStorageAPI fusionStorage;
    uint32_t fusionStorageDataOffset;
    bool useBackupSDK;
    uint32_t lastError;
    std::list<FusionComputeDiskInfo::VMHandle*> vmHandles;  // owned
    NxCriticalSection vmHandlesLock;
    NxThread adminThread;
    NxEvent adminStopEvent{true};
    std::atomic<bool> adminThreadRunning{false};  // read by tests and the stopping thread
    uint32_t diskIORetries;
    uint32_t diskIORetryDelay;  // seconds
    bool bInitialized = false;
};
