// The disk access service of the plug-in: VM handles (one disk-access session per VM) holding
// disk handles (one per registered disk), the backup SDK loader, and the SDK's log callbacks.
//
// This header holds the records and the loader. The service's operations (initialisation,
// connect and disconnect, disk open and close, I/O, extents, the admin thread extending
// leases, and the FusionStorage facade member) are completed with the rest of the service.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "FusionComputeSDKCppBridge.h"
#include "FusionComputeSocket.h"
#include "NXFusionSphereSDK.h"
#include "NxSync.h"
#include "VMInfoStructs.h"

class CPhysicalDiskReader;

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
    CPhysicalDiskReader* pDiskReader = nullptr;  // set: the disk is served from a volume
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
    explicit CFusionComputeDiskInfo(FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge* bridge);
    virtual ~CFusionComputeDiskInfo();
    CFusionComputeDiskInfo(const CFusionComputeDiskInfo&) = delete;
    CFusionComputeDiskInfo& operator=(const CFusionComputeDiskInfo&) = delete;

    FusionComputeDiskInfo::VMHandle* FindVMHandle(const std::string& vmGUID);
    FusionComputeDiskInfo::DiskHandle* FindVMDiskHandle(FusionComputeDiskInfo::VMHandle* vmHandle,
                                                        const std::string& diskName);
    uint32_t GetLastError() const { return lastError; }

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
    EvEvent log;
    FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge* bridge;  // borrowed
    uint32_t fusionStorageDataOffset;
    bool useBackupSDK;
    uint32_t lastError;
    std::list<FusionComputeDiskInfo::VMHandle*> vmHandles;  // owned
    NxCriticalSection vmHandlesLock;
    uint32_t diskIORetries;
    uint32_t diskIORetryDelay;  // seconds
};
