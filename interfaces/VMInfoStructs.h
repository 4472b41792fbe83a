// The VM records shared by the agent, its plug-ins and the management bridge. Plain values:
// the implicit copy operations copy every field deeply and are safe on self-assignment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "NxExport.h"

namespace VMInfoStructs {

// Kinds of inventory nodes. The numbers are part of the agent's contract.
enum EInventoryType : int {
    INVENTORY_TYPE_NONE = 0,
    INVENTORY_TYPE_VIRTUAL_SERVER = 1,  // the whole management service
    INVENTORY_TYPE_DATACENTER = 2,      // site
    INVENTORY_TYPE_FOLDER = 3,
    INVENTORY_TYPE_CLUSTER = 4,
    INVENTORY_TYPE_HOST = 5,
    INVENTORY_TYPE_RESOURCE_POOL = 6,
    INVENTORY_TYPE_DATASTORE = 9,
    INVENTORY_TYPE_VM = 10,
    INVENTORY_TYPE_VM_FOLDER = 17,
    INVENTORY_TYPE_CLUSTER_FOLDER = 23,
};

// The agent's error codes (only those this system reports are named).
enum EVMInfoError : int {
    VMINFO_ERR_NONE = 0,
    VMINFO_ERR_GET_VM_INFO = 1,
    VMINFO_ERR_HOST_DS_QUERY = 6,
    VMINFO_ERR_DS_FREE_SPACE = 7,
    VMINFO_ERR_VM_EXISTS = 10,
    VMINFO_ERR_MOUNT_PATH = 13,
    VMINFO_ERR_DISK_SESSION = 19,
    VMINFO_ERR_CREATE_VM = 20,
    VMINFO_ERR_CONFIG_FILE = 21,
    VMINFO_ERR_JSON_DESCRIPTOR = 22,
    VMINFO_ERR_OPEN_DISK = 23,
    VMINFO_ERR_CREATE_DISK = 24,
    VMINFO_ERR_SNAPSHOT = 39,
    VMINFO_ERR_OVF_SAVE = 41,
    VMINFO_ERR_CONNECT = 48,
    VMINFO_ERR_POWER_OFF = 60,
    VMINFO_ERR_DELETE_VM = 61,
    VMINFO_ERR_ALL_DISKS_FILTERED = 65,
    VMINFO_ERR_TEMPLATE = 67,
    VMINFO_ERR_ALL_DISKS_INDEPENDENT = 98,
    VMINFO_ERR_NO_DISKS = 172,
    VMINFO_ERR_OVF_GET = 182,
    VMINFO_ERR_RETRYABLE = 205,
    VMINFO_ERR_FUSIONSTORAGE = 235,
    VMINFO_ERR_JOB_QUIT = 4000,
};

// How the VM-list query narrows its result by name (framework's _FilterVMInfoList).
enum EFilterType : int {
    FILTER_TYPE_NONE = 0,
    FILTER_TYPE_INCLUDE_BY_NAME = 1,  // keep VMs whose name is in the list
    FILTER_TYPE_EXCLUDE_BY_NAME = 2,  // drop VMs whose name is in the list
};

struct SKeyValue {
    std::string strKey;
    std::string strValue;
};

struct SSnapshot {
    std::vector<std::string> vecDiskIDs;  // platform references of the disks in the snapshot
    std::string strID;
    std::string strName;
    std::string strDescription;
    int64_t tCreateTime = 0;  // seconds since the epoch
    std::string strURN;
    std::string strParentID;
    std::vector<SKeyValue> vecProperties;
    std::vector<SSnapshot> vecChildren;
};

struct SDisk {
    std::string strName;
    int32_t nObjectType = 0;
    std::string strGUID;
    std::string strChangeToken;
    bool bIsIndependent = false;
    bool bIsNew = false;
    uint64_t ullCapacity = 0;
    int64_t llSize = 0;
    std::string strControllerType;
    int32_t nUnitNumber = 0;
    std::string strDatastore;
    int32_t nProvisioningType = 0;  // 2 thin, 3 eager-zeroed
    std::string strFileName;
    std::string strDisplayName;
    std::string strPath;
    int32_t nFileType = 1;  // 1 virtual disk, 0 other VM file
    int64_t llFileFormat = 0;
    std::string strStorageVolumeName;
    int32_t nDiskType = 1;
    std::string strSnapshotDiskID;
    // Fields filled by the bridge that the plug-in does not read.
    std::string strURN;
    std::string strVMURN;
    int32_t nSequenceNumber = 0;
};

struct SVMNetworkCard {
    std::string strName;
    std::string strMACAddress;
    std::string strNetworkName;  // port group
    std::string strNetworkID;
    std::string strURN;
};

struct SVMInfo {
    std::string strName;
    std::string strGUID;
    std::string strURN;
    std::string strHostName;
    std::string strClusterName;
    std::string strClusterID;
    std::vector<SSnapshot> vecSnapshots;
    std::vector<SDisk> vecDisks;
    std::vector<SVMNetworkCard> vecNetworkCards;
    bool bIsTemplate = false;
    int32_t nPowerState = 0;  // 0 powered off
    // Fields filled by the bridge that the plug-in does not read.
    std::string strHostID;
    std::string strFolderID;
    std::string strDescription;
    std::string strOSType;
    int32_t nCPUCount = 0;
    uint64_t ullMemoryMB = 0;
    std::string strStatus;
};

struct SDatastoreInfo {
    std::string strName;
    std::string strType;  // "DSWARE" marks a FusionStorage datastore
    int64_t llCapacity = 0;
    int64_t llFreeSpace = 0;
    std::vector<SVMInfo> vecVMs;
    std::vector<std::string> vecLuns;
    // Fields filled by the bridge that the plug-in does not read.
    std::string strID;
    std::string strURN;
    bool bThinSupported = false;
};

struct SHostInfo {
    std::string strName;
    std::string strID;
    std::vector<SVMInfo> vecVMs;
    std::vector<SDatastoreInfo> vecDatastores;
    // Fields filled by the bridge that the plug-in does not read.
    std::string strURN;
    std::string strIPAddress;
    std::string strClusterID;
    std::string strClusterName;
    std::string strStatus;
};

struct SClusterInfo {
    std::string strName;
    std::string strID;
    std::vector<SVMInfo> vecVMs;
    std::vector<SHostInfo> vecHosts;
    // Fields filled by the bridge that the plug-in does not read.
    std::string strURN;
    std::string strFolderID;
};

struct SDataCenterInfo {
    std::string strName;
    std::string strID;
    std::vector<SClusterInfo> vecClusters;
    std::vector<SVMInfo> vecVMs;
    std::vector<SDatastoreInfo> vecDatastores;
    std::vector<SHostInfo> vecHosts;
    std::vector<SKeyValue> vecKeyPairs;
    std::vector<std::string> vecSecurityGroups;
    std::vector<std::string> vecNetworks;
    std::string strURN;
};

struct NX_EXPORT SInventoryInfo {
    std::string strName;
    std::string strID;
    EInventoryType eType = INVENTORY_TYPE_NONE;
    std::vector<SInventoryInfo> vecChildren;
    int32_t nFlags = 0;

    // Append one node per record with its name, identifier and kind (VM 10 with strGUID as
    // identifier; host 5, cluster 4, datastore 9 and site 2 with strID).
    static void FillInventoryInfoListFromVMInfoList(const std::vector<SVMInfo>& in,
                                                    std::vector<SInventoryInfo>& out);
    static void FillInventoryInfoListFromHostInfoList(const std::vector<SHostInfo>& in,
                                                      std::vector<SInventoryInfo>& out);
    static void FillInventoryInfoListFromClusterInfoList(const std::vector<SClusterInfo>& in,
                                                         std::vector<SInventoryInfo>& out);
    static void FillInventoryInfoListFromDatastoreInfoList(const std::vector<SDatastoreInfo>& in,
                                                           std::vector<SInventoryInfo>& out);
    static void FillInventoryInfoListFromDataCenterInfoList(const std::vector<SDataCenterInfo>& in,
                                                            std::vector<SInventoryInfo>& out);
};

struct SMountInfoFull {
    int32_t nType = 0;  // 1 disk entry, 0 configuration-file entry
    int64_t llReserved = -1;
    std::vector<SDisk> vecDisks;
};

struct SMountInfoFile {
    std::string strName;
    std::string strPath;
    int64_t llSize = 0;
};

struct SDiskMetadataInfo {
    std::string strKey;
    std::string strValue;
};

struct SDiskChangeExtent {
    uint64_t ullReserved = 0;
    uint64_t ullOffset = 0;
    uint64_t ullLength = 0;
};

struct SDiskChangeInfo {
    uint64_t ullStartOffset = 0;
    uint64_t ullLength = 0;
    uint64_t ullBlockSize = 0;
    std::vector<SDiskChangeExtent> vecExtents;
};

}  // namespace VMInfoStructs
