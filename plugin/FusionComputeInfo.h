// The plug-in object: the agent's VM-platform interface for FusionCompute. One object per agent
// session; it owns one management bridge for its whole life and, from the first mount or
// restore on, one disk access service.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "FusionComputeSDKCppBridge.h"
#include "NxSync.h"
#include "RestoreDiskLedger.h"
#include "VMInfo.h"

class CFusionComputeDiskInfo;

class CFusionComputeInfo : public CVMInfo {
public:
    explicit CFusionComputeInfo(VirtualServerInstanceType type);
    CFusionComputeInfo(const CFusionComputeInfo&) = delete;
    CFusionComputeInfo& operator=(const CFusionComputeInfo&) = delete;

    // IVMInfo, in the agent's slot order.
    int Init(unsigned long flags) override;
    int DeInit(bool flag) override;
    int Connect(const string& url, const string& user, const string& password) override;
    int Connect(const string& url, const string& user, const string& password,
                const std::vector<SHostCredentials>& credentials) override;
    int Disconnect() override;
    int BrowseInventory(const string& path, const VMInfoStructs::SInventoryInfo& parent,
                        std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags,
                        int request) override;
    int GetVMInfoForVM(const string& name, const string& guid, const string& other, UINT64 flags,
                       int request, VMInfoStructs::SVMInfo& out) override;
    int GetHostInfoForHost(const string& name, UINT64 flags, int request,
                           VMInfoStructs::SHostInfo& out) override;
    int GetDSInfoForDS(const string& name, const string& guid, const string& other, UINT64 flags,
                       int request, VMInfoStructs::SDatastoreInfo& out) override;
    int GetVMInfoListForInventoryObject(const string& guid, VMInfoStructs::EInventoryType type,
                                        UINT64 flags, int request,
                                        std::vector<VMInfoStructs::SVMInfo>& out) override;
    int GetLocalHostInfo(VMInfoStructs::SHostInfo& out, UINT64 flags, int request) override;
    int GetLocalVMInfo(VMInfoStructs::SVMInfo& out, UINT64 flags, int request) override;
    int GetVMInfoList(std::vector<VMInfoStructs::SVMInfo>& out, UINT64 flags, int request,
                      const std::vector<string>* names,
                      VMInfoStructs::EFilterType filterType) override;
    int GetDSInfoListForHost(const string& name, std::vector<VMInfoStructs::SDatastoreInfo>& out,
                             UINT64 flags, int request) override;
    int GetInventoryInfoList(std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags,
                             int request) override;
    int MountVM(MountCtx& ctx) override;
    int UnmountVM(MountCtx& ctx) override;
    int CleanupVM(MountCtx& ctx) override;
    int GetFileMountInfo(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFile>& out) override;
    int GetFullMountInfo(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out) override;
    int CollectMetadata(MountCtx& ctx) override;
    int InitRestoreVM(RestoreCtx& ctx) override;
    int PreRestoreVM(RestoreCtx& ctx) override;
    int RestoreVM(RestoreCtx& ctx) override;
    int PostRestoreVM(RestoreCtx& ctx) override;
    int CleanupRestoreVM(RestoreCtx& ctx) override;
    int OpenVmdk(const string& vmName, const string& vmGUID, const string& diskName,
                 VmdkHandle& handle) override;
    int CreateVmdk(const string& vmName, const string& vmGUID, const string& diskName,
                   VmdkHandle& handle, UINT64 size) override;
    int CloseVmdk(VmdkHandle& handle) override;
    int GetVmdkHandle(const string& diskName, VmdkHandle& handle) override;
    int GetVmdkInfo(VmdkHandle& handle, VMInfoStructs::SDisk& out) override;
    int GetVmdkFileName(VmdkHandle& handle, string& out) override;
    int GetVmdkCapacity(VmdkHandle& handle, UINT64& bytes) override;
    int GetVmdkMetadata(VmdkHandle& handle, VMInfoStructs::SDiskMetadataInfo& out) override;
    int SetVmdkMetadata(VmdkHandle& handle, const VMInfoStructs::SDiskMetadataInfo& in) override;
    int GetVmdkExtents(VmdkHandle& handle, const string& changeToken, UINT64 startOffset,
                       VMInfoStructs::SDiskChangeInfo& out) override;
    int GetVmdkOptions(VmdkHandle& handle, string& out) override;
    int ReadVmdk(VmdkHandle& handle, UINT64 sector, UINT32 sectorCount,
                 unsigned char* buffer) override;
    int WriteVmdk(VmdkHandle& handle, UINT64 sector, UINT32 sectorCount,
                  unsigned char* buffer) override;
    ~CFusionComputeInfo() override;

    // CVMInfo: disk filters whose facts sit in the FusionCompute disk record itself.
    bool IsDiskFilteredByPattern(const string& rule, const VMInfoStructs::SDisk& disk) override;
    bool IsDiskFilteredByVirtualDeviceNode(const string& rule,
                                           const VMInfoStructs::SDisk& disk) override;
    bool IsDiskFilteredByDatastore(MountCtx& ctx, const string& rule,
                                   const VMInfoStructs::SDisk& disk) override;

    // CVMInfo: cache refills.
    bool _RefreshHostInfoCache(UINT64 flags, int request) override;
    bool _RefreshDSInfoCache(UINT64 flags, int request) override;
    bool _RefreshClusterInfoCache(UINT64 flags, int request) override;

    // Creates and initialises the disk access service on first use.
    bool InitDiskInfo();
    // False, with error 23 set, while no initialised disk access service exists.
    bool _DiskServiceReady(const char* tag);

    // Inventory browsing helpers. components: the browse path split at backslashes.
    // The first level of every view: the sites.
    int _BrowseSites(std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags);
    // 0, with the bridge's error text as the details and an error line naming the listing.
    int _BrowseFailed(const char* what);
    int BrowseViews(const std::vector<string>& components,
                    const VMInfoStructs::SInventoryInfo& parent,
                    std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags);
    int BrowseVMAndTemplate(const std::vector<string>& components,
                            const VMInfoStructs::SInventoryInfo& parent,
                            std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags);
    int BrowseComputePool(const std::vector<string>& components,
                          const VMInfoStructs::SInventoryInfo& parent,
                          std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags);
    int BrowseStoragePool(const std::vector<string>& components,
                          const VMInfoStructs::SInventoryInfo& parent,
                          std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags);
    int BrowseInventoryObject(const VMInfoStructs::SInventoryInfo& parent,
                              std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags);
    static void SortInventoryList(std::vector<VMInfoStructs::SInventoryInfo>& list);
    static bool SortInventoryList_Compare(const VMInfoStructs::SInventoryInfo& a,
                                          const VMInfoStructs::SInventoryInfo& b);

    // VMs of a VM folder and, before them, of all its sub-folders (depth first).
    int GetVMInfoListForVMFolder(const string& folderID, UINT64 flags, int request,
                                 std::vector<VMInfoStructs::SVMInfo>& out);

    // Backup snapshots and the free-space check, called by the mount sequence.
    bool CreateVMSnapshot(const VMInfoStructs::SVMInfo& vm, const string& name,
                          const string& description, bool flag1, bool flag2, bool flag3, bool flag4,
                          VMInfoStructs::SSnapshot& outSnapshot,
                          std::vector<VMInfoStructs::SDisk>& outDisks);
    bool CreateVMSnapshotForBackup(MountCtx& ctx);
    void CleanupSnapshot(MountCtx& ctx);
    bool CleanupExpiredSnapshots(VMInfoStructs::SVMInfo& vm);
    bool CheckDatastoreFreespace(MountCtx& ctx);

    // Mount for backup and the mount information.
    struct SMountCounts {  // what one mount did with the VM's disks
        int nTotal = 0;
        int nFiltered = 0;
        int nIndependent = 0;
        int nFusionStorage = 0;
        int nOpened = 0;
        int nWithoutToken = 0;
    };
    int _MountVM(MountCtx& ctx);
    // Registers one disk to back up; false ends the mount (the service said 205).
    bool _MountVM_Disk(MountCtx& ctx, VMInfoStructs::SDisk& disk, SMountCounts& counts);
    int _MountVM_Summary(MountCtx& ctx, const SMountCounts& counts);
    int _MountVM_ConfigFiles(MountCtx& ctx);
    // Writes <mount path>/<VM GUID>.<extension>; a GUID that is not a plain file name is refused.
    bool SaveVMConfigFile(MountCtx& ctx, const string& text, const string& extension);
    int _GetFullMountInfo(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out);
    int _GetFullMountInfo_Disks(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out);
    int _GetFullMountInfo_ConfigFiles(MountCtx& ctx,
                                      std::vector<VMInfoStructs::SMountInfoFull>& out);

    // The proxy VM's GUID as detected from the BIOS; empty when it is not known. Safe to call
    // while another thread detects it.
    static string GetLocalVMGuid();

    static const char* const c_strBackupSnapshotName;  // "__VQ_BACKUP__"

    // Restore: the preparation behind InitRestoreVM, the overwrite of a VM of the restore
    // name, the saved descriptors, and the renaming of disks named after the source VM
    // (false when the management service refused a rename).
    int _InitRestoreVM(RestoreCtx& ctx);
    bool DeleteVMForRestore(RestoreCtx& ctx, const VMInfoStructs::SVMInfo& vm);
    bool LoadVMConfigFile(RestoreCtx& ctx, string& content, const string& extension);
    bool UpdateDiskNames(RestoreCtx& ctx);
    // Creates and opens the disk of one restore entry; false when it could not be created.
    bool _CreateRestoreDisk(RestoreCtx& ctx, VMInfoStructs::SDisk& entry, int& nOpened);
    bool _PlaceRestoredVM(RestoreCtx& ctx);
    int _CreateVMFromRecord(RestoreCtx& ctx);
    int _CreateVMFromOVF(RestoreCtx& ctx, const string& ovf,
                         const std::map<string, string>& diskUuidMap);

protected:
    // Disks created by this object's restores that no VM owns yet: the only ones the restore
    // clean-up deletes.
    CRestoreDiskLedger restoreDisks;

    // Takes ownership of pBridge instead of creating the default bridge; lets tests put a
    // double of the management service in the bridge's place.
    CFusionComputeInfo(VirtualServerInstanceType type,
                       FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge* pBridge);

    std::unique_ptr<FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge> bridge;
    std::unique_ptr<CFusionComputeDiskInfo> diskInfo;
    // Held by OpenVmdk around each handle lookup. A member, so it exists before the bridge is
    // created and is destroyed only after the destructor body has released the bridge.
    NxCriticalSection csHandleLock;

private:
    void _Construct(FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge* pBridge);
    void DetectLocalVMGuid();

    // Written once, from empty to its final value, under c_localVMGuidCS; read only under it.
    static string c_localVMGuid;
    static NxCriticalSection c_localVMGuidCS;
};
