// Operations whose subsystem (restore) is not part of this build yet. Each fails honestly:
// result 0, a details text naming the operation, and an error line, so that an agent never
// mistakes them for success.
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
