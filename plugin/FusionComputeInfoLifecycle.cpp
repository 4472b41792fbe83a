// Construction, destruction, connection and the detection of the proxy VM's identity.
#include <memory>

#include "FusionComputeDiskInfo.h"
#include "FusionComputeInfo.h"
#include "WzUtil.h"

using FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge;

namespace {
const char* const kTagCtor = "CFusionComputeInfo::CFusionComputeInfo(VirtualServerInstanceType)";
const char* const kTagConnect =
    "virtual int CFusionComputeInfo::Connect(const string&, const string&, const string&, const "
    "std::vector<SHostCredentials>&)";
const char* const kTagDetect = "void CFusionComputeInfo::DetectLocalVMGuid()";
}  // namespace

// Created when the library is loaded, shared by every plug-in object of the process.
string CFusionComputeInfo::c_localVMGuid;
NxCriticalSection CFusionComputeInfo::c_localVMGuidCS;

const char* const CFusionComputeInfo::c_strBackupSnapshotName = "__VQ_BACKUP__";

CFusionComputeInfo::CFusionComputeInfo(VirtualServerInstanceType type) : CVMInfo(type) {
    _Construct(nullptr);
}

CFusionComputeInfo::CFusionComputeInfo(VirtualServerInstanceType type,
                                       CFusionComputeSDKCppBridge* pBridge)
    : CVMInfo(type) {
    _Construct(pBridge);
}

void CFusionComputeInfo::_Construct(CFusionComputeSDKCppBridge* pBridge) {
    // Owned at once: should anything below throw, the member gives the bridge back.
    bridge.reset(pBridge);
    log.DebugLvl(kTagCtor, 2, "Start >>>");
    if (!bridge) bridge.reset(new CFusionComputeSDKCppBridge());
    DetectLocalVMGuid();
    log.DebugLvl(kTagCtor, 2, "End <<<");
}

CFusionComputeInfo::~CFusionComputeInfo() {
    // The disk access service borrows the bridge, so it goes first; both go while the handle
    // lock still exists.
    diskInfo.reset();
    bridge.reset();
}

int CFusionComputeInfo::Init(unsigned long flags) {
    return CVMInfo::Init(flags) == 0 ? 0 : 1;
}

int CFusionComputeInfo::DeInit(bool /*flag*/) {
    return 1;
}

int CFusionComputeInfo::Connect(const string& url, const string& user, const string& password) {
    std::vector<SHostCredentials> credentials;
    return Connect(url, user, password, credentials);
}

int CFusionComputeInfo::Connect(const string& url, const string& user, const string& password,
                                const std::vector<SHostCredentials>& /*credentials*/) {
    log.DebugLvl(kTagConnect, 2, "Start >>>");
    // Caches filled over an earlier connection may describe another service.
    CVMInfo::ResetCaches();
    strURL = url;
    strUser = user;
    strPassword = password;
    log.Debug(kTagConnect, "Connecting to Url=[%s] User=[%s]", strURL.c_str(), strUser.c_str());
    if (bridge->Connect(strURL, strUser, strPassword)) return 1;
    SetLastVMError(VMInfoStructs::VMINFO_ERR_CONNECT);
    SetLastVMErrorDetails(bridge->GetLastError());
    log.Error(kTagConnect, "Connect failed [%s]", bridge->GetLastError().c_str());
    return 0;
}

// The connection lives as long as the object; the agent's disconnect has nothing to end.
int CFusionComputeInfo::Disconnect() {
    return 0;
}

string CFusionComputeInfo::GetLocalVMGuid() {
    NxCriticalSectionLock lock(&c_localVMGuidCS);
    return c_localVMGuid;
}

void CFusionComputeInfo::DetectLocalVMGuid() {
    // Held to the end, so that objects created at once on several threads query the BIOS once.
    NxCriticalSectionLock lock(&c_localVMGuidCS);
    if (!c_localVMGuid.empty()) return;

    string manufacturer, serial, uuid, product;
    if (!CVMInfo::getBiosInfo(manufacturer, serial, uuid, product)) {
        log.Error(kTagDetect, "Unable to get BIOS Serial Number");
        return;
    }
    log.Debug(kTagDetect, "Bios Manufacturer [%s]  Serial Number [%s]  UUID [%s]",
              manufacturer.c_str(), serial.c_str(), uuid.c_str());
    // Only a Xen BIOS belongs to a FusionCompute VM; its UUID is the VM's GUID.
    if (FXString::CompareNoCase(manufacturer, "Xen") == 0) {
        c_localVMGuid = uuid;
        log.Debug(kTagDetect, "Local VM Guid [%s]", c_localVMGuid.c_str());
    }
}
