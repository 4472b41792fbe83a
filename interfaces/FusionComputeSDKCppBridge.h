// The management-service bridge: one object per plug-in object, called from job threads and
// from the disk service's admin thread at once. Every operation but GetLastError returns true
// on success; after false, GetLastError() gives the service's (or the transport's) text.
// Operations are virtual so that tests can put a double in the bridge's place.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VMInfoStructs.h"

#define FC_BRIDGE_EXPORT __attribute__((visibility("default")))

namespace FusionComputeSDKCppBridge {

using namespace VMInfoStructs;

// Bits OR-ed into the flag word of a lookup to have nested lists filled. The last three fill a
// VM record's own lists (the plug-in's detail mask 56 asks for all three); a VM without them
// carries no disks, snapshots or network cards. Nested VM lists follow the same bits.
enum : uint64_t {
    FC_FILL_VM_DISKS = 0x8ULL,
    FC_FILL_VM_SNAPSHOTS = 0x10ULL,
    FC_FILL_VM_NICS = 0x20ULL,
    FC_FILL_HOST_DATASTORES = 0x2000000ULL,
    FC_FILL_HOST_VMS = 0x20000000ULL,
    FC_FILL_DATASTORE_VMS = 0x400000000ULL,
    FC_FILL_SITE_CLUSTERS = 0x1000000000000ULL,
    FC_FILL_CLUSTER_VMS = 0x10000000000000ULL,
    FC_FILL_CLUSTER_HOSTS = 0x20000000000000ULL,
};

// Transport settings that are not part of the plug-in's contract; read from the environment
// by the default constructor (see the README), or set explicitly by tests and the host.
struct SBridgeOptions {
    bool bVerifyPeer = true;  // certificate verification; off only by explicit request
    std::string strCAFile;    // extra CA bundle (e.g. the simulator's certificate)
    long nTimeoutSecs = 60;   // per request
    long nConnectTimeoutSecs = 15;
    long nTaskTimeoutSecs = 600;      // an asynchronous task polled to its end
    uint32_t nTaskPollMillis = 1000;  // between polls of a running task (through NxClock)
};

class FC_BRIDGE_EXPORT CFusionComputeSDKCppBridge {
public:
    CFusionComputeSDKCppBridge();
    explicit CFusionComputeSDKCppBridge(const SBridgeOptions& options);
    virtual ~CFusionComputeSDKCppBridge();
    CFusionComputeSDKCppBridge(const CFusionComputeSDKCppBridge&) = delete;
    CFusionComputeSDKCppBridge& operator=(const CFusionComputeSDKCppBridge&) = delete;

    // The last failure of the calling thread (each thread has its own, so the admin thread's
    // lease failures never replace a job thread's text); empty after a success.
    virtual std::string GetLastError();

    virtual bool Connect(const std::string& url, const std::string& user,
                         const std::string& password);
    virtual bool CheckConnection();
    virtual bool GetManagementVersionNumber(int& version);

    virtual bool GetSiteInfoList(std::vector<SDataCenterInfo>& out, uint64_t flags);
    virtual bool GetClusterInfoList(std::vector<SClusterInfo>& out, uint64_t flags);
    virtual bool GetHostInfoList(std::vector<SHostInfo>& out, uint64_t flags);
    virtual bool GetDataStoreInfoList(std::vector<SDatastoreInfo>& out, uint64_t flags);
    virtual bool GetVMInfoList(std::vector<SVMInfo>& out, uint64_t flags);

    virtual bool GetSiteInfo(const std::string& name, const std::string& guid, SDataCenterInfo& out,
                             uint64_t flags);
    virtual bool GetClusterInfo(const std::string& name, const std::string& guid, SClusterInfo& out,
                                uint64_t flags);
    virtual bool GetHostInfo(const std::string& name, const std::string& guid, SHostInfo& out,
                             uint64_t flags);
    virtual bool GetDataStoreInfo(const std::string& name, const std::string& guid,
                                  SDatastoreInfo& out, uint64_t flags);
    // secondKey is always empty in the plug-in's calls.
    virtual bool GetVMInfo(const std::string& name, const std::string& secondKey,
                           const std::string& guid, SVMInfo& out, uint64_t flags);

    virtual bool GetClusterFolderInfoList(std::vector<SInventoryInfo>& out);
    // An empty folder or cluster id means the top level (clusters in no folder, hosts in no
    // cluster, VMs in no folder).
    virtual bool GetClusterInfoListForFolder(const std::string& folderID,
                                             std::vector<SClusterInfo>& out, uint64_t flags);
    virtual bool GetHostInfoListForCluster(const std::string& clusterID,
                                           std::vector<SHostInfo>& out, uint64_t flags);
    virtual bool GetVMInfoListForFolder(const std::string& folderID, std::vector<SVMInfo>& out,
                                        uint64_t flags);
    virtual bool GetVMFolderInfoList(const std::string& folderID, std::vector<SInventoryInfo>& out);

    virtual bool CreateVMSnapshot(const SVMInfo& vm, const std::string& name,
                                  const std::string& description, bool flag1, bool flag2,
                                  bool flag3, bool flag4, SSnapshot& outSnapshot,
                                  std::vector<SDisk>& outDisks);
    // About the calling thread's last CreateVMSnapshot.
    virtual bool IsCreateVMSnapshotErrorRetryable();
    virtual bool DeleteVMSnapshot(const SVMInfo& vm, const SSnapshot& snapshot);
    virtual bool DeleteVMSnapshot(const std::string& vmName, const std::string& secondKey,
                                  const std::string& vmGUID, const SSnapshot& snapshot);

    virtual bool GetOVFDescriptorForVM(const SVMInfo& vm, std::string& out);
    virtual bool GetJSONDescriptorForVM(const SVMInfo& vm, std::string& out);

    virtual bool GetDiskChangeToken(const std::string& diskKey, const std::string& snapshotID,
                                    std::string& outToken);
    virtual bool PrepareDiskAccess(const std::string& diskKey, const std::string& snapshotID,
                                   const std::string& proxyIP, bool writeAccess,
                                   std::string& outAccessID, std::string& outCNAAddress,
                                   std::string& outCNAPort, std::string& outToken,
                                   std::string& outDiskFilePath);
    virtual bool ExtendDiskAccess(const std::string& accessID);  // by 300 seconds
    virtual bool ExtendDiskAccess(const std::string& accessID, uint32_t seconds);
    virtual bool ReleaseDiskAccess(const std::string& accessID);
    virtual bool QueryDiskChangedBlocks(const std::string& diskKey, const std::string& snapshotID,
                                        const std::string& changeToken, std::string& outBitmap,
                                        int& outSectorsPerBit);
    virtual bool QueryDiskAllocatedBlocks(const std::string& diskKey, const std::string& snapshotID,
                                          std::string& outBitmap, int& outSectorsPerBit);

    virtual bool CheckDatastoreThinSupport(const SDatastoreInfo& datastore,
                                           const std::string& secondKey, bool& outThinSupported);
    virtual bool CreateDisk(SDisk& disk, bool eagerZero);
    virtual bool AddDiskToVM(const SVMInfo& vm, const SDisk& disk, bool flag);
    virtual bool ModifyDisk(const SDisk& disk);
    virtual bool DeleteDisk(const SDisk& disk);
    virtual bool CreateVM(SVMInfo& vm);
    virtual bool CreateVMFromOVFDescriptor(const std::string& ovf, SVMInfo& vm,
                                           const std::map<std::string, std::string>& diskUuidMap);
    virtual bool AddNicToVM(const SVMInfo& vm, const SVMNetworkCard& nic);
    virtual bool ReconnectNetworksFromJSONDescriptor(const SVMInfo& vm, const std::string& json);
    virtual bool PowerOnVM(const std::string& vmName, const std::string& vmURN,
                           const std::string& vmGUID);
    virtual bool PowerOffVM(const std::string& vmName, const std::string& vmURN,
                            const std::string& vmGUID);
    // flag true deletes the VM's disks with it. The VM must be named by URN or GUID.
    virtual bool DeleteVM(const SVMInfo& vm, bool flag);

protected:
    class CImpl;
    std::unique_ptr<CImpl> m_pImpl;
};

}  // namespace FusionComputeSDKCppBridge
