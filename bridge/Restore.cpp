// Restore operations: datastore checks, disks, VM creation, network cards, power, deletion.
#include "Ops.h"
#include "Records.h"

namespace FusionComputeSDKCppBridge {

using namespace ops;

namespace {

constexpr uint64_t kGiB = 1ULL << 30;

// The URI and URN of a volume named by a disk record: its URN, else its uuid.
bool VolumeOf(CImpl& impl, const SDisk& disk, std::string& uri, std::string& urn) {
    urn = !disk.strURN.empty() ? disk.strURN : disk.strName;
    if (urn.rfind("urn:", 0) == 0) return ObjectUri(impl, "volumes", urn, uri);
    if (disk.strGUID.empty())
        return impl.Fail("disk [" + disk.strDisplayName + "] carries no volume identifier");
    std::vector<json> items;
    if (!ListAll(impl, impl.Site() + "/volumes", "?uuid=" + UrlEncode(disk.strGUID), "volumes",
                 items))
        return false;
    for (const auto& it : items) {
        if (JStr(it, "uuid") == disk.strGUID) {
            urn = JStr(it, "urn");
            return ObjectUri(impl, "volumes", urn, uri);
        }
    }
    return impl.Fail("volume with GUID [" + disk.strGUID + "] not found");
}

// Where a new VM goes: the host named in the record, else its cluster.
bool Location(CImpl& impl, const SVMInfo& vm, std::string& urn) {
    json j;
    if (!vm.strHostName.empty()) {
        if (!FindObject(impl, "hosts", "hosts", "host", vm.strHostName, std::string(), j))
            return false;
    } else if (!vm.strClusterID.empty() || !vm.strClusterName.empty()) {
        if (!FindObject(impl, "clusters", "clusters", "cluster", vm.strClusterName, vm.strClusterID,
                        j))
            return false;
    } else {
        return impl.Fail("no host or cluster given for VM [" + vm.strName + "]");
    }
    urn = JStr(j, "urn");
    if (urn.empty()) return impl.Fail("the host or cluster in the answer has no 'urn'");
    return true;
}

// Reads a VM the service just created back into the caller's record.
bool Refresh(CImpl& impl, const json& answer, SVMInfo& vm) {
    const std::string urn = JStr(answer, "urn");
    std::string uri;
    json j;
    if (urn.empty()) return impl.Fail("the answer to the VM creation names no VM");
    if (!ObjectUri(impl, "vms", urn, uri) || !impl.Get(uri, j)) return false;
    SVMInfo fresh;
    if (!FillVM(impl, j, FC_FILL_VM_DISKS | FC_FILL_VM_NICS, fresh)) return false;
    vm = std::move(fresh);
    return true;
}

bool Power(CImpl& impl, const std::string& name, const std::string& urn, const std::string& guid,
           bool on) {
    std::string uri;
    if (!VMUri(impl, name, urn, guid, uri)) return false;
    json body = json::object();
    if (!on) body["mode"] = "force";  // a VM is powered off only to be replaced or removed
    json answer;
    SCallError err;
    STaskResult task;
    if (impl.Session().Call("POST", uri + (on ? "/action/start" : "/action/stop"), &body, answer,
                            err) &&
        impl.Session().WaitTask(answer, task, err))
        return true;
    // Already in the state asked for.
    if (err.strCode == (on ? "10300094" : "10300092")) return true;
    return impl.Fail(err);
}

}  // namespace

bool CFusionComputeSDKCppBridge::CheckDatastoreThinSupport(const SDatastoreInfo& datastore,
                                                           const std::string&,
                                                           bool& outThinSupported) {
    return m_pImpl->Run("CheckDatastoreThinSupport", [&] {
        json j;
        const std::string id = !datastore.strURN.empty() ? datastore.strURN : datastore.strID;
        if (!FindObject(*m_pImpl, "datastores", "datastores", "datastore", datastore.strName, id,
                        j))
            return false;
        if (!JHas(j, "isThin"))
            return m_pImpl->Fail("the answer for datastore [" + datastore.strName +
                                 "] does not say whether it supports thin disks");
        outThinSupported = JBool(j, "isThin", false);
        return true;
    });
}

bool CFusionComputeSDKCppBridge::CreateDisk(SDisk& disk, bool eagerZero) {
    CImpl& impl = *m_pImpl;
    return impl.Run("CreateDisk", [&] {
        if (disk.ullCapacity == 0)
            return impl.Fail("disk [" + disk.strDisplayName + "] has no size");
        json ds;
        if (!FindObject(impl, "datastores", "datastores", "datastore", disk.strDatastore,
                        std::string(), ds))
            return false;
        const uint64_t bytes = (disk.ullCapacity + 511) / 512 * 512;
        const bool thin = !eagerZero && disk.nProvisioningType == 2;
        const int volType = eagerZero || disk.nProvisioningType == 3 ? 0 : (thin ? 0 : 1);
        json body = {{"name", disk.strDisplayName},
                     {"quantityGB", (bytes + kGiB - 1) / kGiB},
                     {"capacityBytes", bytes},
                     {"datastoreUrn", JStr(ds, "urn")},
                     {"type", "normal"},
                     {"isThin", thin},
                     {"volType", volType}};
        json answer;
        if (!impl.SendAndWait("POST", impl.Site() + "/volumes", &body, answer)) return false;
        const std::string urn = JStr(answer, "urn");
        std::string uri;
        json vol;
        if (urn.empty()) return impl.Fail("the answer to the disk creation names no volume");
        if (!ObjectUri(impl, "volumes", urn, uri) || !impl.Get(uri, vol)) return false;
        const std::string uuid = JStr(vol, "uuid");
        if (uuid.empty()) return impl.Fail("the new volume " + urn + " has no 'uuid'");
        disk.strName = urn;
        disk.strURN = urn;
        disk.strGUID = uuid;
        disk.strDatastore = JStr(ds, "urn");
        disk.strStorageVolumeName = JStr(vol, "volNameOnDev");
        disk.strPath = JStr(vol, "volumeUrl");
        return true;
    });
}

bool CFusionComputeSDKCppBridge::AddDiskToVM(const SVMInfo& vm, const SDisk& disk, bool) {
    CImpl& impl = *m_pImpl;
    return impl.Run("AddDiskToVM", [&] {
        std::string vmUri, volUri, volUrn;
        if (!VMUri(impl, vm.strName, vm.strURN, vm.strGUID, vmUri) ||
            !VolumeOf(impl, disk, volUri, volUrn))
            return false;
        json body = {{"volUrn", volUrn}};
        if (disk.nUnitNumber > 0) body["sequenceNum"] = disk.nUnitNumber;
        if (!disk.strControllerType.empty()) body["pciType"] = disk.strControllerType;
        json answer;
        return impl.SendAndWait("POST", vmUri + "/action/attachvol", &body, answer);
    });
}

bool CFusionComputeSDKCppBridge::ModifyDisk(const SDisk& disk) {
    CImpl& impl = *m_pImpl;
    return impl.Run("ModifyDisk", [&] {
        if (disk.strDisplayName.empty()) return impl.Fail("no disk name given");
        std::string uri, urn;
        if (!VolumeOf(impl, disk, uri, urn)) return false;
        json body = {{"name", disk.strDisplayName}}, answer;
        return impl.Send("PUT", uri, &body, answer);
    });
}

bool CFusionComputeSDKCppBridge::DeleteDisk(const SDisk& disk) {
    CImpl& impl = *m_pImpl;
    return impl.Run("DeleteDisk", [&] {
        std::string uri, urn;
        if (!VolumeOf(impl, disk, uri, urn)) return false;
        json answer;
        return impl.SendAndWait("DELETE", uri, nullptr, answer);
    });
}

bool CFusionComputeSDKCppBridge::CreateVM(SVMInfo& vm) {
    CImpl& impl = *m_pImpl;
    return impl.Run("CreateVM", [&] {
        if (vm.strName.empty()) return impl.Fail("no name given for the new VM");
        std::string location;
        if (!Location(impl, vm, location)) return false;
        json disks = json::array(), nics = json::array();
        int seq = 0;
        for (const auto& d : vm.vecDisks) {
            std::string uri, urn;
            if (!VolumeOf(impl, d, uri, urn)) return false;
            ++seq;
            json e = {{"sequenceNum", d.nUnitNumber > 0 ? d.nUnitNumber : seq}, {"volumeUrn", urn}};
            if (!d.strControllerType.empty()) e["pciType"] = d.strControllerType;
            disks.push_back(std::move(e));
        }
        for (const auto& n : vm.vecNetworkCards) {
            json e = {{"name", n.strName}};
            if (!n.strNetworkID.empty())
                e["portGroupUrn"] = n.strNetworkID;
            else
                e["portGroupName"] = n.strNetworkName;
            nics.push_back(std::move(e));
        }
        json body = {{"name", vm.strName},
                     {"description", vm.strDescription},
                     {"location", location},
                     {"autoBoot", false},
                     {"isTemplate", false},
                     {"osOptions", {{"osType", vm.strOSType.empty() ? "Other" : vm.strOSType}}},
                     {"vmConfig",
                      {{"cpu", {{"quantity", vm.nCPUCount > 0 ? vm.nCPUCount : 1}}},
                       {"memory", {{"quantityMB", vm.ullMemoryMB > 0 ? vm.ullMemoryMB : 1024}}},
                       {"disks", disks},
                       {"nics", nics}}}};
        if (!vm.strGUID.empty()) body["uuid"] = vm.strGUID;
        if (vm.strFolderID.rfind("urn:", 0) == 0 && vm.strFolderID != SiteURN(impl))
            body["parentObjUrn"] = vm.strFolderID;
        json answer;
        return impl.SendAndWait("POST", impl.Site() + "/vms", &body, answer) &&
               Refresh(impl, answer, vm);
    });
}

bool CFusionComputeSDKCppBridge::CreateVMFromOVFDescriptor(
    const std::string& ovf, SVMInfo& vm, const std::map<std::string, std::string>& diskUuidMap) {
    CImpl& impl = *m_pImpl;
    return impl.Run("CreateVMFromOVFDescriptor", [&] {
        if (ovf.empty()) return impl.Fail("the OVF descriptor is empty");
        std::string location;
        if (!Location(impl, vm, location)) return false;
        json map = json::object();
        for (const auto& kv : diskUuidMap) map[kv.first] = kv.second;
        json body = {
            {"ovfDescriptor", ovf}, {"location", location}, {"autoBoot", false}, {"diskMap", map}};
        if (!vm.strName.empty()) body["name"] = vm.strName;
        if (!vm.strGUID.empty()) body["uuid"] = vm.strGUID;
        json answer;
        return impl.SendAndWait("POST", impl.Site() + "/vms/action/importovf", &body, answer) &&
               Refresh(impl, answer, vm);
    });
}

bool CFusionComputeSDKCppBridge::AddNicToVM(const SVMInfo& vm, const SVMNetworkCard& nic) {
    CImpl& impl = *m_pImpl;
    return impl.Run("AddNicToVM", [&] {
        std::string uri;
        if (!VMUri(impl, vm.strName, vm.strURN, vm.strGUID, uri)) return false;
        if (nic.strNetworkID.empty() && nic.strNetworkName.empty())
            return impl.Fail("network card [" + nic.strName + "] names no port group");
        json body = {{"name", nic.strName}};
        if (!nic.strNetworkID.empty())
            body["portGroupUrn"] = nic.strNetworkID;
        else
            body["portGroupName"] = nic.strNetworkName;
        if (!nic.strMACAddress.empty()) body["mac"] = nic.strMACAddress;
        json answer;
        SCallError err;
        STaskResult task;
        if (impl.Session().Call("POST", uri + "/virtualNics", &body, answer, err) &&
            impl.Session().WaitTask(answer, task, err))
            return true;
        // The address is still in use (the source VM lives on): let the platform choose one.
        if (err.strCode == "10300045" && body.contains("mac")) {
            body.erase("mac");
            return impl.SendAndWait("POST", uri + "/virtualNics", &body, answer);
        }
        return impl.Fail(err);
    });
}

bool CFusionComputeSDKCppBridge::ReconnectNetworksFromJSONDescriptor(const SVMInfo& vm,
                                                                     const std::string& text) {
    CImpl& impl = *m_pImpl;
    return impl.Run("ReconnectNetworksFromJSONDescriptor", [&] {
        std::string uri;
        if (text.empty()) return impl.Fail("the JSON descriptor is empty");
        if (!VMUri(impl, vm.strName, vm.strURN, vm.strGUID, uri)) return false;
        json body = {{"jsonDescriptor", text}}, answer;
        return impl.Send("POST", uri + "/action/reconnectnics", &body, answer);
    });
}

bool CFusionComputeSDKCppBridge::PowerOnVM(const std::string& vmName, const std::string& vmURN,
                                           const std::string& vmGUID) {
    return m_pImpl->Run("PowerOnVM", [&] { return Power(*m_pImpl, vmName, vmURN, vmGUID, true); });
}

bool CFusionComputeSDKCppBridge::PowerOffVM(const std::string& vmName, const std::string& vmURN,
                                            const std::string& vmGUID) {
    return m_pImpl->Run("PowerOffVM",
                        [&] { return Power(*m_pImpl, vmName, vmURN, vmGUID, false); });
}

bool CFusionComputeSDKCppBridge::DeleteVM(const SVMInfo& vm, bool deleteDisks) {
    CImpl& impl = *m_pImpl;
    return impl.Run("DeleteVM", [&] {
        // Names need not be unique; a deletion must not pick one of several VMs by chance.
        if (vm.strURN.empty() && vm.strGUID.empty())
            return impl.Fail("refusing to delete VM [" + vm.strName +
                             "]: no URN or GUID identifies it");
        std::string uri;
        if (!VMUri(impl, std::string(), vm.strURN, vm.strGUID, uri)) return false;
        json answer;
        return impl.SendAndWait("DELETE",
                                uri + (deleteDisks ? "?isReserveDisks=0" : "?isReserveDisks=1"),
                                nullptr, answer);
    });
}

}  // namespace FusionComputeSDKCppBridge
