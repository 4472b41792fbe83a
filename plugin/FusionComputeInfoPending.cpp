// Operations whose subsystems (mount, mount information) are not part of
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
