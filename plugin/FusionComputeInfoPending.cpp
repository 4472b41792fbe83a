// Operations whose subsystems (mount, mount information, restore, disk access) are not part of
// this build yet. Each fails honestly: result 0, a details text naming the operation, and an
// error line, so that an agent never mistakes them for success.
#include "FusionComputeInfo.h"

using namespace VMInfoStructs;

int CFusionComputeInfo::_NotImplemented(const char* tag, const char* operation) {
    string details = string(operation) + " is not implemented yet";
    SetLastVMErrorDetails(details);
    log.Error(tag, "%s", details.c_str());
    return 0;
}

#define FC_NOT_IMPLEMENTED(signature, name) \
    return _NotImplemented("virtual int CFusionComputeInfo::" signature, name)

bool CFusionComputeInfo::InitDiskInfo() {
    // The disk access service does not exist in this build; diskInfo stays null.
    _NotImplemented("bool CFusionComputeInfo::InitDiskInfo()", "InitDiskInfo");
    return false;
}

int CFusionComputeInfo::MountVM(MountCtx&) {
    FC_NOT_IMPLEMENTED("MountVM(MountCtx&)", "MountVM");
}
int CFusionComputeInfo::UnmountVM(MountCtx&) {
    FC_NOT_IMPLEMENTED("UnmountVM(MountCtx&)", "UnmountVM");
}
int CFusionComputeInfo::CleanupVM(MountCtx&) {
    FC_NOT_IMPLEMENTED("CleanupVM(MountCtx&)", "CleanupVM");
}
int CFusionComputeInfo::GetFileMountInfo(MountCtx&, std::vector<SMountInfoFile>&) {
    FC_NOT_IMPLEMENTED("GetFileMountInfo(MountCtx&, std::vector<VMInfoStructs::SMountInfoFile>&)",
                       "GetFileMountInfo");
}
int CFusionComputeInfo::GetFullMountInfo(MountCtx&, std::vector<SMountInfoFull>&) {
    FC_NOT_IMPLEMENTED("GetFullMountInfo(MountCtx&, std::vector<VMInfoStructs::SMountInfoFull>&)",
                       "GetFullMountInfo");
}
int CFusionComputeInfo::CollectMetadata(MountCtx&) {
    FC_NOT_IMPLEMENTED("CollectMetadata(MountCtx&)", "CollectMetadata");
}
int CFusionComputeInfo::InitRestoreVM(RestoreCtx&) {
    FC_NOT_IMPLEMENTED("InitRestoreVM(RestoreCtx&)", "InitRestoreVM");
}
int CFusionComputeInfo::PreRestoreVM(RestoreCtx&) {
    FC_NOT_IMPLEMENTED("PreRestoreVM(RestoreCtx&)", "PreRestoreVM");
}
int CFusionComputeInfo::RestoreVM(RestoreCtx&) {
    FC_NOT_IMPLEMENTED("RestoreVM(RestoreCtx&)", "RestoreVM");
}
int CFusionComputeInfo::PostRestoreVM(RestoreCtx&) {
    FC_NOT_IMPLEMENTED("PostRestoreVM(RestoreCtx&)", "PostRestoreVM");
}
int CFusionComputeInfo::CleanupRestoreVM(RestoreCtx&) {
    FC_NOT_IMPLEMENTED("CleanupRestoreVM(RestoreCtx&)", "CleanupRestoreVM");
}
int CFusionComputeInfo::OpenVmdk(const string&, const string&, const string&, VmdkHandle&) {
    FC_NOT_IMPLEMENTED("OpenVmdk(const string&, const string&, const string&, VmdkHandle&)",
                       "OpenVmdk");
}
int CFusionComputeInfo::CreateVmdk(const string&, const string&, const string&, VmdkHandle&,
                                   UINT64) {
    FC_NOT_IMPLEMENTED(
        "CreateVmdk(const string&, const string&, const string&, VmdkHandle&, UINT64)",
        "CreateVmdk");
}
int CFusionComputeInfo::CloseVmdk(VmdkHandle&) {
    FC_NOT_IMPLEMENTED("CloseVmdk(VmdkHandle&)", "CloseVmdk");
}
int CFusionComputeInfo::GetVmdkHandle(const string&, VmdkHandle&) {
    FC_NOT_IMPLEMENTED("GetVmdkHandle(const string&, VmdkHandle&)", "GetVmdkHandle");
}
int CFusionComputeInfo::GetVmdkInfo(VmdkHandle&, SDisk&) {
    FC_NOT_IMPLEMENTED("GetVmdkInfo(VmdkHandle&, VMInfoStructs::SDisk&)", "GetVmdkInfo");
}
int CFusionComputeInfo::GetVmdkFileName(VmdkHandle&, string&) {
    FC_NOT_IMPLEMENTED("GetVmdkFileName(VmdkHandle&, string&)", "GetVmdkFileName");
}
int CFusionComputeInfo::GetVmdkCapacity(VmdkHandle&, UINT64&) {
    FC_NOT_IMPLEMENTED("GetVmdkCapacity(VmdkHandle&, UINT64&)", "GetVmdkCapacity");
}
int CFusionComputeInfo::GetVmdkMetadata(VmdkHandle&, SDiskMetadataInfo&) {
    FC_NOT_IMPLEMENTED("GetVmdkMetadata(VmdkHandle&, VMInfoStructs::SDiskMetadataInfo&)",
                       "GetVmdkMetadata");
}
int CFusionComputeInfo::SetVmdkMetadata(VmdkHandle&, const SDiskMetadataInfo&) {
    FC_NOT_IMPLEMENTED("SetVmdkMetadata(VmdkHandle&, const VMInfoStructs::SDiskMetadataInfo&)",
                       "SetVmdkMetadata");
}
int CFusionComputeInfo::GetVmdkExtents(VmdkHandle&, const string&, UINT64, SDiskChangeInfo&) {
    FC_NOT_IMPLEMENTED(
        "GetVmdkExtents(VmdkHandle&, const string&, UINT64, VMInfoStructs::SDiskChangeInfo&)",
        "GetVmdkExtents");
}
int CFusionComputeInfo::GetVmdkOptions(VmdkHandle&, string&) {
    FC_NOT_IMPLEMENTED("GetVmdkOptions(VmdkHandle&, string&)", "GetVmdkOptions");
}
int CFusionComputeInfo::ReadVmdk(VmdkHandle&, UINT64, UINT32, unsigned char*) {
    FC_NOT_IMPLEMENTED("ReadVmdk(VmdkHandle&, UINT64, UINT32, unsigned char*)", "ReadVmdk");
}
int CFusionComputeInfo::WriteVmdk(VmdkHandle&, UINT64, UINT32, unsigned char*) {
    FC_NOT_IMPLEMENTED("WriteVmdk(VmdkHandle&, UINT64, UINT32, unsigned char*)", "WriteVmdk");
}
