// The agent's VM-platform interface (IVMInfo), its common base (CVMInfo, implemented by the
// agent framework) and the contexts the agent hands to a plug-in for a backup or a restore.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "NxExport.h"
#include "VMInfoStructs.h"

typedef uint64_t UINT64;
typedef uint32_t UINT32;
using std::string;

enum VirtualServerInstanceType : int {
    VSINSTANCE_NONE = 0,
    VSINSTANCE_FUSIONCOMPUTE = 17,
};

// Credentials of individual hosts; handed to Connect, not used by every plug-in.
struct SHostCredentials {
    std::string strHost;
    std::string strUser;
    std::string strPassword;
};

// The agent's handle of one open disk: two pointers the plug-in fills and reads back.
struct VmdkHandle {
    void* pVMHandle = nullptr;
    void* pDiskHandle = nullptr;
};

// Kinds of disk-filter rules of a backup job.
enum EDiskFilterKind : int {
    DISK_FILTER_PATH = 1,
    DISK_FILTER_LABEL = 2,
    DISK_FILTER_TYPE = 3,
    DISK_FILTER_INDEX_PATH = 4,
    DISK_FILTER_TAG = 5,
    DISK_FILTER_PATTERN = 6,
    DISK_FILTER_VIRTUAL_DEVICE_NODE = 7,
    DISK_FILTER_DATASTORE = 8,
};

struct SDiskFilterRule {
    EDiskFilterKind eKind = DISK_FILTER_PATTERN;
    std::string strRule;
};

// An item of a job that failed without ending the job.
struct SJobFailure {
    std::string strItem;
    std::string strReason;
    bool bIgnorable = false;
};

struct MountCtx {
    std::string strVMName;
    std::string strVMGUID;
    std::string strMountPath;
    bool bNoFullMountInfo = false;
    std::string strTransportMode;
    VMInfoStructs::SVMInfo vmInfo;
    std::string strSnapshotID;
    std::string strCBTStatus;  // "Used", "Failed" or "Partially Used"
    bool bSnapshotFlag2 = false;
    int32_t nMinFreeSpacePercent = 0;
    bool bUseCBT = false;
    int32_t nSkippedDisks = 0;
    std::vector<SDiskFilterRule> vecDiskFilters;
    std::vector<SJobFailure> vecMountFailures;
};

struct RestoreCtx {
    bool bBuildFromRecord = false;
    std::string strVMName;
    std::string strConfigDir;
    std::string strDestHost;
    std::string strDestCluster;
    bool bPowerOn = false;
    bool bOverwrite = false;
    std::string strTransportMode;
    std::string strConfigFilePath;
    std::string strSourceVMName;
    std::string strSourceVMGUID;
    std::string strNewVMGUID;
    std::string strCleanupVMGUID;
    std::string strSnapshotRef;
    VMInfoStructs::SVMInfo newVMInfo;
    std::vector<VMInfoStructs::SDisk> vecRestoreDisks;
    std::vector<SJobFailure> vecRestoreFailures;
};

// The interface, in the agent's slot order.
class NX_EXPORT IVMInfo {
public:
    virtual int Init(unsigned long flags) = 0;
    virtual int DeInit(bool flag) = 0;
    virtual int Connect(const string& url, const string& user, const string& password) = 0;
    virtual int Connect(const string& url, const string& user, const string& password,
                        const std::vector<SHostCredentials>& credentials) = 0;
    virtual int Disconnect() = 0;
    virtual int BrowseInventory(const string& path, const VMInfoStructs::SInventoryInfo& parent,
                                std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags,
                                int request) = 0;
    virtual int GetVMInfoForVM(const string& name, const string& guid, const string& other,
                               UINT64 flags, int request, VMInfoStructs::SVMInfo& out) = 0;
    virtual int GetHostInfoForHost(const string& name, UINT64 flags, int request,
                                   VMInfoStructs::SHostInfo& out) = 0;
    virtual int GetDSInfoForDS(const string& name, const string& guid, const string& other,
                               UINT64 flags, int request, VMInfoStructs::SDatastoreInfo& out) = 0;
    virtual int GetVMInfoListForInventoryObject(const string& guid,
                                                VMInfoStructs::EInventoryType type, UINT64 flags,
                                                int request,
                                                std::vector<VMInfoStructs::SVMInfo>& out) = 0;
    virtual int GetLocalHostInfo(VMInfoStructs::SHostInfo& out, UINT64 flags, int request) = 0;
    virtual int GetLocalVMInfo(VMInfoStructs::SVMInfo& out, UINT64 flags, int request) = 0;
    virtual int GetVMInfoList(std::vector<VMInfoStructs::SVMInfo>& out, UINT64 flags, int request,
                              const std::vector<string>* names,
                              VMInfoStructs::EFilterType filterType) = 0;
    virtual int GetDSInfoListForHost(const string& name,
                                     std::vector<VMInfoStructs::SDatastoreInfo>& out, UINT64 flags,
                                     int request) = 0;
    virtual int GetInventoryInfoList(std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags,
                                     int request) = 0;
    virtual int MountVM(MountCtx& ctx) = 0;
    virtual int UnmountVM(MountCtx& ctx) = 0;
    virtual int CleanupVM(MountCtx& ctx) = 0;
    virtual int GetFileMountInfo(MountCtx& ctx,
                                 std::vector<VMInfoStructs::SMountInfoFile>& out) = 0;
    virtual int GetFullMountInfo(MountCtx& ctx,
                                 std::vector<VMInfoStructs::SMountInfoFull>& out) = 0;
    virtual int CollectMetadata(MountCtx& ctx) = 0;
    virtual int InitRestoreVM(RestoreCtx& ctx) = 0;
    virtual int PreRestoreVM(RestoreCtx& ctx) = 0;
    virtual int RestoreVM(RestoreCtx& ctx) = 0;
    virtual int PostRestoreVM(RestoreCtx& ctx) = 0;
    virtual int CleanupRestoreVM(RestoreCtx& ctx) = 0;
    virtual int OpenVmdk(const string& vmName, const string& vmGUID, const string& diskName,
                         VmdkHandle& handle) = 0;
    virtual int CreateVmdk(const string& vmName, const string& vmGUID, const string& diskName,
                           VmdkHandle& handle, UINT64 size) = 0;
    virtual int CloseVmdk(VmdkHandle& handle) = 0;
    virtual int GetVmdkHandle(const string& diskName, VmdkHandle& handle) = 0;
    virtual int GetVmdkInfo(VmdkHandle& handle, VMInfoStructs::SDisk& out) = 0;
    virtual int GetVmdkFileName(VmdkHandle& handle, string& out) = 0;
    virtual int GetVmdkCapacity(VmdkHandle& handle, UINT64& bytes) = 0;
    virtual int GetVmdkMetadata(VmdkHandle& handle, VMInfoStructs::SDiskMetadataInfo& out) = 0;
    virtual int SetVmdkMetadata(VmdkHandle& handle, const VMInfoStructs::SDiskMetadataInfo& in) = 0;
    virtual int GetVmdkExtents(VmdkHandle& handle, const string& changeToken, UINT64 startOffset,
                               VMInfoStructs::SDiskChangeInfo& out) = 0;
    virtual int GetVmdkOptions(VmdkHandle& handle, string& out) = 0;
    virtual int ReadVmdk(VmdkHandle& handle, UINT64 sector, UINT32 sectorCount,
                         unsigned char* buffer) = 0;
    virtual int WriteVmdk(VmdkHandle& handle, UINT64 sector, UINT32 sectorCount,
                          unsigned char* buffer) = 0;
    virtual ~IVMInfo() = default;
};

// The framework's common base of every plug-in object. The IVMInfo operations stay pure: the
// plug-in implements them all.
class NX_EXPORT CVMInfo : public IVMInfo {
public:
    explicit CVMInfo(VirtualServerInstanceType type);
    ~CVMInfo() override;

    virtual int Init(unsigned long flags) override;

    // Disk-filter rules: IsDiskFiltered tries the job's rules in order and asks the virtual of
    // each rule's kind; true leaves the disk out. The defaults exclude nothing.
    bool IsDiskFiltered(MountCtx& ctx, const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByPattern(const string& rule, const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByVirtualDeviceNode(const string& rule,
                                                   const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByDatastore(MountCtx& ctx, const string& rule,
                                           const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByPath(const string& rule, const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByLabel(const string& rule, const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByType(const string& rule, const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByIndexPath(const string& rule, const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByTag(const string& rule, const VMInfoStructs::SDisk& disk);

    // Cache refills (the plug-in overrides them and calls the base versions after a
    // successful refill). The base versions record the request the cache now answers:
    // _RefreshHostInfoCache for the host cache; _RefreshDSInfoCache and
    // _RefreshClusterInfoCache for the datastore cache (ullLastDSFlags, nLastDSRequest).
    // They return true.
    virtual bool _RefreshHostInfoCache(UINT64 flags, int request);
    virtual bool _RefreshDSInfoCache(UINT64 flags, int request);
    virtual bool _RefreshClusterInfoCache(UINT64 flags, int request);

    // Last error for the agent. Code 0 clears the error and its details.
    virtual void SetLastVMError(VMInfoStructs::EVMInfoError code);
    virtual void SetLastVMError(VMInfoStructs::EVMInfoError code, const string& details);
    virtual void SetLastVMErrorDetails(const string& details);
    virtual VMInfoStructs::EVMInfoError GetLastVMError();
    virtual string GetLastVMErrorDetails();

    // Discovery-request checks: true when a cache must be refilled for this request. A
    // request is new when the cache is empty, when no request was recorded since the last
    // ResetCaches, when request is 0 (a lookup outside any discovery pass, never answered
    // from the cache), or when flags or request differ from the recorded ones. The checks
    // record nothing themselves.
    bool IsNewHostDiscoveryReq(UINT64 flags, int request);
    bool IsNewDiscoveryReq(size_t cacheSize, UINT64 lastFlags, int lastRequest, UINT64 flags,
                           int request);
    // Drops both caches and the recorded requests.
    void ResetCaches();

    std::vector<VMInfoStructs::SVMInfo> _FilterVMInfoList(
        const std::vector<VMInfoStructs::SVMInfo>& vms, const std::vector<string>& names,
        VMInfoStructs::EFilterType filterType);

    static void AddMountFailure(MountCtx& ctx, const string& item, const string& reason,
                                bool ignorable);
    static void AddRestoreFailure(RestoreCtx& ctx, const string& item, const string& reason,
                                  bool ignorable);

    // At mount (create = true) creates the folder if needed and empties it; at unmount
    // (create = false) removes it with its content. Returns 0 on failure; an empty path and
    // any path naming the root folder are refused.
    int _PrepareMountPathDirectory(const string& path, bool create);

    bool IsJobCancelled();
    void SetJobCancelled(bool cancelled);

    // Reads the machine's DMI data: manufacturer, serial number, UUID and product name. The DMI
    // folder is FC_DMI_DIR (default /sys/class/dmi/id).
    static bool getBiosInfo(string& manufacturer, string& serial, string& uuid, string& product);

    VirtualServerInstanceType GetInstanceType() const { return m_eType; }

protected:
    EvEvent log;  // the object's logger
    string strURL;
    string strUser;
    string strPassword;
    std::vector<VMInfoStructs::SHostInfo> vecHostInfoCache;
    std::vector<VMInfoStructs::SDatastoreInfo> vecDSInfoCache;
    UINT64 ullLastDSFlags = 0;
    int nLastDSRequest = 0;

private:
    VirtualServerInstanceType m_eType;
    mutable std::mutex m_errorLock;  // the last error is set and read from several threads
    VMInfoStructs::EVMInfoError m_eLastError = VMInfoStructs::VMINFO_ERR_NONE;
    string m_strLastErrorDetails;
    bool m_bHostCacheValid = false;
    UINT64 m_ullLastHostFlags = 0;
    int m_nLastHostRequest = 0;
    std::atomic<bool> m_bCancelled{false};
    unsigned long m_ulInitFlags = 0;
};
