// A CVMInfo whose every plug-in operation fails (returns 0): a base for test objects that
// play only the operations their test drives.
#pragma once

#include "VMInfo.h"

namespace fctest {

using namespace VMInfoStructs;

class CStubVMInfo : public CVMInfo {
public:
    CStubVMInfo() : CVMInfo(VSINSTANCE_FUSIONCOMPUTE) {}

    int DeInit(bool) override { return 0; }
    int Connect(const string&, const string&, const string&) override { return 0; }
    int Connect(const string&, const string&, const string&,
                const std::vector<SHostCredentials>&) override {
        return 0;
    }
    int Disconnect() override { return 0; }
    int BrowseInventory(const string&, const SInventoryInfo&, std::vector<SInventoryInfo>&, UINT64,
                        int) override {
        return 0;
    }
    int GetVMInfoForVM(const string&, const string&, const string&, UINT64, int,
                       SVMInfo&) override {
        return 0;
    }
    int GetHostInfoForHost(const string&, UINT64, int, SHostInfo&) override { return 0; }
    int GetDSInfoForDS(const string&, const string&, const string&, UINT64, int,
                       SDatastoreInfo&) override {
        return 0;
    }
    int GetVMInfoListForInventoryObject(const string&, EInventoryType, UINT64, int,
                                        std::vector<SVMInfo>&) override {
        return 0;
    }
    int GetLocalHostInfo(SHostInfo&, UINT64, int) override { return 0; }
    int GetLocalVMInfo(SVMInfo&, UINT64, int) override { return 0; }
    int GetVMInfoList(std::vector<SVMInfo>&, UINT64, int, const std::vector<string>*,
                      EFilterType) override {
        return 0;
    }
    int GetDSInfoListForHost(const string&, std::vector<SDatastoreInfo>&, UINT64, int) override {
        return 0;
    }
    int GetInventoryInfoList(std::vector<SInventoryInfo>&, UINT64, int) override { return 0; }
    int MountVM(MountCtx&) override { return 0; }
    int UnmountVM(MountCtx&) override { return 0; }
    int CleanupVM(MountCtx&) override { return 0; }
    int GetFileMountInfo(MountCtx&, std::vector<SMountInfoFile>&) override { return 0; }
    int GetFullMountInfo(MountCtx&, std::vector<SMountInfoFull>&) override { return 0; }
    int CollectMetadata(MountCtx&) override { return 0; }
    int InitRestoreVM(RestoreCtx&) override { return 0; }
    int PreRestoreVM(RestoreCtx&) override { return 0; }
    int RestoreVM(RestoreCtx&) override { return 0; }
    int PostRestoreVM(RestoreCtx&) override { return 0; }
    int CleanupRestoreVM(RestoreCtx&) override { return 0; }
    int OpenVmdk(const string&, const string&, const string&, VmdkHandle&) override { return 0; }
    int CreateVmdk(const string&, const string&, const string&, VmdkHandle&, UINT64) override {
        return 0;
    }
    int CloseVmdk(VmdkHandle&) override { return 0; }
    int GetVmdkHandle(const string&, VmdkHandle&) override { return 0; }
    int GetVmdkInfo(VmdkHandle&, SDisk&) override { return 0; }
    int GetVmdkFileName(VmdkHandle&, string&) override { return 0; }
    int GetVmdkCapacity(VmdkHandle&, UINT64&) override { return 0; }
    int GetVmdkMetadata(VmdkHandle&, SDiskMetadataInfo&) override { return 0; }
    int SetVmdkMetadata(VmdkHandle&, const SDiskMetadataInfo&) override { return 0; }
    int GetVmdkExtents(VmdkHandle&, const string&, UINT64, SDiskChangeInfo&) override { return 0; }
    int GetVmdkOptions(VmdkHandle&, string&) override { return 0; }
    int ReadVmdk(VmdkHandle&, UINT64, UINT32, unsigned char*) override { return 0; }
    int WriteVmdk(VmdkHandle&, UINT64, UINT32, unsigned char*) override { return 0; }
};

}  // namespace fctest
