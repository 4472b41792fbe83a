// A scriptable stand-in for the management bridge: every operation the plug-in's inventory,
// query and snapshot code and its disk access service call.
#pragma once

#include <gmock/gmock.h>

#include "FusionComputeSDKCppBridge.h"

namespace fcplugintest {

using namespace VMInfoStructs;

class CMockBridge : public FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge {
public:
    MOCK_METHOD(std::string, GetLastError, (), (override));
    MOCK_METHOD(bool, Connect, (const std::string&, const std::string&, const std::string&),
                (override));
    MOCK_METHOD(bool, GetSiteInfoList, (std::vector<SDataCenterInfo>&, uint64_t), (override));
    MOCK_METHOD(bool, GetClusterInfoList, (std::vector<SClusterInfo>&, uint64_t), (override));
    MOCK_METHOD(bool, GetHostInfoList, (std::vector<SHostInfo>&, uint64_t), (override));
    MOCK_METHOD(bool, GetDataStoreInfoList, (std::vector<SDatastoreInfo>&, uint64_t), (override));
    MOCK_METHOD(bool, GetVMInfoList, (std::vector<SVMInfo>&, uint64_t), (override));
    MOCK_METHOD(bool, GetSiteInfo,
                (const std::string&, const std::string&, SDataCenterInfo&, uint64_t), (override));
    MOCK_METHOD(bool, GetClusterInfo,
                (const std::string&, const std::string&, SClusterInfo&, uint64_t), (override));
    MOCK_METHOD(bool, GetHostInfo, (const std::string&, const std::string&, SHostInfo&, uint64_t),
                (override));
    MOCK_METHOD(bool, GetDataStoreInfo,
                (const std::string&, const std::string&, SDatastoreInfo&, uint64_t), (override));
    MOCK_METHOD(bool, GetVMInfo,
                (const std::string&, const std::string&, const std::string&, SVMInfo&, uint64_t),
                (override));
    MOCK_METHOD(bool, GetClusterFolderInfoList, (std::vector<SInventoryInfo>&), (override));
    MOCK_METHOD(bool, GetClusterInfoListForFolder,
                (const std::string&, std::vector<SClusterInfo>&, uint64_t), (override));
    MOCK_METHOD(bool, GetHostInfoListForCluster,
                (const std::string&, std::vector<SHostInfo>&, uint64_t), (override));
    MOCK_METHOD(bool, GetVMInfoListForFolder, (const std::string&, std::vector<SVMInfo>&, uint64_t),
                (override));
    MOCK_METHOD(bool, GetVMFolderInfoList, (const std::string&, std::vector<SInventoryInfo>&),
                (override));
    MOCK_METHOD(bool, CreateVMSnapshot,
                (const SVMInfo&, const std::string&, const std::string&, bool, bool, bool, bool,
                 SSnapshot&, std::vector<SDisk>&),
                (override));
    MOCK_METHOD(bool, IsCreateVMSnapshotErrorRetryable, (), (override));
    MOCK_METHOD(bool, DeleteVMSnapshot, (const SVMInfo&, const SSnapshot&), (override));
    MOCK_METHOD(bool, DeleteVMSnapshot,
                (const std::string&, const std::string&, const std::string&, const SSnapshot&),
                (override));
    MOCK_METHOD(bool, GetManagementVersionNumber, (int&), (override));
    MOCK_METHOD(bool, PrepareDiskAccess,
                (const std::string&, const std::string&, const std::string&, bool, std::string&,
                 std::string&, std::string&, std::string&, std::string&),
                (override));
    MOCK_METHOD(bool, ExtendDiskAccess, (const std::string&), (override));
    MOCK_METHOD(bool, ExtendDiskAccess, (const std::string&, uint32_t), (override));
    MOCK_METHOD(bool, ReleaseDiskAccess, (const std::string&), (override));
    MOCK_METHOD(bool, QueryDiskChangedBlocks,
                (const std::string&, const std::string&, const std::string&, std::string&, int&),
                (override));
    MOCK_METHOD(bool, QueryDiskAllocatedBlocks,
                (const std::string&, const std::string&, std::string&, int&), (override));
};

}  // namespace fcplugintest
