// VM snapshots and the descriptors of a VM.
#include <set>

#include "Ops.h"
#include "Records.h"

namespace FusionComputeSDKCppBridge {

using namespace ops;

namespace {

// The platform is busy; the same request may succeed later.
bool IsRetryableCode(const std::string& code) {
    static const std::set<std::string> codes = {"10300112", "10300162", "10300421",
                                                "10000006", "10000007", "10300502"};
    return codes.count(code) != 0;
}

bool SnapshotDisks(const json& snap, std::vector<SDisk>& out, std::string& why) {
    out.clear();
    for (const auto& vs : JArr(snap, "volsnapshots")) {
        SDisk d;
        d.strName = JStr(vs, "volumeUrn");
        if (d.strName.empty()) {
            why = "a disk of the snapshot in the answer has no 'volumeUrn'";
            return false;
        }
        d.strURN = d.strName;
        d.strSnapshotDiskID = JStr(vs, "snapNameOnDev");
        if (d.strSnapshotDiskID.empty()) d.strSnapshotDiskID = JStr(vs, "snapUuid");
        if (d.strSnapshotDiskID.empty()) {
            why = "disk " + d.strName + " of the snapshot has no snapshot reference";
            return false;
        }
        d.strChangeToken = JStr(vs, "chgID");
        if (d.strChangeToken.empty()) d.strChangeToken = JStr(vs, "ChgID");
        d.strDatastore = JStr(vs, "datastoreUrn");
        out.push_back(std::move(d));
    }
    return true;
}

bool DeleteSnapshot(CImpl& impl, const std::string& vmName, const std::string& vmURN,
                    const std::string& vmGUID, const SSnapshot& snapshot) {
    const std::string id = snapshot.strID.empty() ? snapshot.strURN : snapshot.strID;
    if (id.empty()) return impl.Fail("no snapshot identifier given");
    std::string uri;
    if (id.rfind("urn:", 0) == 0) {
        if (!SnapshotUri(impl, id, uri)) return false;
    } else {
        // A bare snapshot number belongs under its VM.
        if (!IsSafeSegment(id)) return impl.Fail("[" + id + "] is not a snapshot identifier");
        if (!VMUri(impl, vmName, vmURN, vmGUID, uri)) return false;
        uri += "/snapshots/" + id;
    }
    json answer;
    return impl.SendAndWait("DELETE", uri, nullptr, answer);
}

}  // namespace

bool CFusionComputeSDKCppBridge::CreateVMSnapshot(const SVMInfo& vm, const std::string& name,
                                                  const std::string& description, bool flag1,
                                                  bool flag2, bool flag3, bool flag4,
                                                  SSnapshot& outSnapshot,
                                                  std::vector<SDisk>& outDisks) {
    CImpl& impl = *m_pImpl;
    impl.SetSnapshotRetryable(false);
    return impl.Run("CreateVMSnapshot", [&] {
        if (name.empty()) return impl.Fail("no snapshot name given");
        std::string vmUri;
        if (!VMUri(impl, vm.strName, vm.strURN, vm.strGUID, vmUri)) return false;
        json body = {{"name", name},
                     {"description", description},
                     {"needMemoryShot", flag1},
                     {"isConsistent", flag2},
                     {"type", flag4 ? "CBTbackup" : (flag3 ? "backup" : "normal")}};
        SCallError err;
        json answer;
        STaskResult task;
        if (!impl.Session().Call("POST", vmUri + "/snapshots", &body, answer, err) ||
            !impl.Session().WaitTask(answer, task, err)) {
            impl.SetSnapshotRetryable(IsRetryableCode(err.strCode));
            return impl.Fail(err);
        }
        const std::string urn = JStr(answer, "urn");
        std::string snapUri;
        json snap;
        SSnapshot s;
        std::vector<SDisk> disks;
        std::string why;
        if (urn.empty()) return impl.Fail("the answer to the snapshot request names no snapshot");
        if (!SnapshotUri(impl, urn, snapUri)) return false;
        if (!impl.Get(snapUri, snap) || !MapSnapshot(snap, s, why) ||
            !SnapshotDisks(snap, disks, why)) {
            const std::string text = why.empty() ? impl.LastError() : why;
            // A snapshot we cannot describe is of no use to the caller; do not leave it behind.
            json ignored;
            impl.SendAndWait("DELETE", snapUri, nullptr, ignored);
            return impl.Fail("snapshot " + urn + " was taken but cannot be read: " + text);
        }
        outSnapshot = std::move(s);
        outDisks = std::move(disks);
        return true;
    });
}

bool CFusionComputeSDKCppBridge::IsCreateVMSnapshotErrorRetryable() {
    return m_pImpl->SnapshotRetryable();
}

bool CFusionComputeSDKCppBridge::DeleteVMSnapshot(const SVMInfo& vm, const SSnapshot& snapshot) {
    return m_pImpl->Run("DeleteVMSnapshot", [&] {
        return DeleteSnapshot(*m_pImpl, vm.strName, vm.strURN, vm.strGUID, snapshot);
    });
}

bool CFusionComputeSDKCppBridge::DeleteVMSnapshot(const std::string& vmName, const std::string&,
                                                  const std::string& vmGUID,
                                                  const SSnapshot& snapshot) {
    return m_pImpl->Run("DeleteVMSnapshot", [&] {
        return DeleteSnapshot(*m_pImpl, vmName, std::string(), vmGUID, snapshot);
    });
}

namespace {

bool Descriptor(CImpl& impl, const SVMInfo& vm, const char* action, const char* key,
                std::string& out) {
    std::string uri;
    if (!VMUri(impl, vm.strName, vm.strURN, vm.strGUID, uri)) return false;
    json body = json::object(), answer;
    if (!impl.Send("POST", uri + "/action/" + action, &body, answer)) return false;
    if (!answer.is_object() || !answer.contains(key) || !(*answer.find(key)).is_string() ||
        (*answer.find(key)).get<std::string>().empty())
        return impl.Fail(std::string("the answer to the descriptor request has no '") + key + "'");
    out = answer[key].get<std::string>();
    return true;
}

}  // namespace

bool CFusionComputeSDKCppBridge::GetOVFDescriptorForVM(const SVMInfo& vm, std::string& out) {
    return m_pImpl->Run("GetOVFDescriptorForVM", [&] {
        return Descriptor(*m_pImpl, vm, "createdescriptor", "ovfDescriptor", out);
    });
}

bool CFusionComputeSDKCppBridge::GetJSONDescriptorForVM(const SVMInfo& vm, std::string& out) {
    return m_pImpl->Run("GetJSONDescriptorForVM", [&] {
        return Descriptor(*m_pImpl, vm, "createjsondescriptor", "jsonDescriptor", out);
    });
}

}  // namespace FusionComputeSDKCppBridge
