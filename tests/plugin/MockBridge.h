// The management bridge as a script: every operation the plug-in and its disk access service
// call. Its constructor, destructor, NiceMock and StrictMock forms are compiled in MockBridge.cpp.
#pragma once

#include <gmock/gmock.h>

#include <map>
#include <string>

#include "FusionComputeSDKCppBridge.h"

namespace fcplugintest {

using namespace VMInfoStructs;

class CMockBridge : public FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge {
public:
    CMockBridge();
    ~CMockBridge() override;

    // Every datastore look-up finds one of the asked name; "ds-fs" is a FusionStorage one.
    void FindDatastoresByName();

    MOCK_METHOD(bool, CheckConnection, (), (override));
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

    // Mount and restore.
    MOCK_METHOD(bool, GetOVFDescriptorForVM, (const SVMInfo&, std::string&), (override));
    MOCK_METHOD(bool, GetJSONDescriptorForVM, (const SVMInfo&, std::string&), (override));
    MOCK_METHOD(bool, GetDiskChangeToken, (const std::string&, const std::string&, std::string&),
                (override));
    MOCK_METHOD(bool, CheckDatastoreThinSupport, (const SDatastoreInfo&, const std::string&, bool&),
                (override));
    MOCK_METHOD(bool, CreateDisk, (SDisk&, bool), (override));
    MOCK_METHOD(bool, AddDiskToVM, (const SVMInfo&, const SDisk&, bool), (override));
    MOCK_METHOD(bool, ModifyDisk, (const SDisk&), (override));
    MOCK_METHOD(bool, DeleteDisk, (const SDisk&), (override));
    MOCK_METHOD(bool, CreateVM, (SVMInfo&), (override));
    MOCK_METHOD(bool, CreateVMFromOVFDescriptor,
                (const std::string&, SVMInfo&, (const std::map<std::string, std::string>&)),
                (override));
    MOCK_METHOD(bool, AddNicToVM, (const SVMInfo&, const SVMNetworkCard&), (override));
    MOCK_METHOD(bool, ReconnectNetworksFromJSONDescriptor, (const SVMInfo&, const std::string&),
                (override));
    MOCK_METHOD(bool, PowerOnVM, (const std::string&, const std::string&, const std::string&),
                (override));
    MOCK_METHOD(bool, PowerOffVM, (const std::string&, const std::string&, const std::string&),
                (override));
    MOCK_METHOD(bool, DeleteVM, (const SVMInfo&, bool), (override));
};

}  // namespace fcplugintest

extern template class testing::NiceMock<fcplugintest::CMockBridge>;
extern template class testing::StrictMock<fcplugintest::CMockBridge>;
