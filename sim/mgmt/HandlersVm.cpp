// Virtual machines: list, get, create, delete, power, disks and NICs.
#include <algorithm>

#include "MgmtInternal.h"

namespace fcsim {

namespace {

using CImpl = CMgmtService::CImpl;

std::string LowerText(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

json& Vm(CImpl& d, SReq& r) {
    return d.Inv().Obj("vms", r.vecArgs[1], "10000008", "VM");
}

json ListVms(CImpl& d, SReq& r) {
    int detail = 1;
    if (r.HasQuery("detail")) {
        std::string s = r.Query("detail");
        if (s != "0" && s != "1" && s != "2") Fail("10000001", "detail must be 0, 1 or 2.");
        detail = s[0] - '0';
    }
    std::string isTemplate = r.Query("isTemplate");
    std::string name = LowerText(r.Query("name"));
    std::string uuid = r.Query("uuid");
    std::string scope = r.Query("scope");
    std::vector<std::string> vmUrns = r.QueryAll("vmurns");
    std::string clusterId, hostId, dsId, folderId, volId;
    if (!scope.empty()) {
        clusterId = d.Inv().IdFromUrn(scope, "clusters");
        hostId = d.Inv().IdFromUrn(scope, "hosts");
        dsId = d.Inv().IdFromUrn(scope, "datastores");
        folderId = d.Inv().IdFromUrn(scope, "folders");
        volId = d.Inv().IdFromUrn(scope, "volumes");
        if (clusterId.empty() && hostId.empty() && dsId.empty() && folderId.empty() &&
            volId.empty()) {
            Fail("10000001", "Unsupported scope.");
        }
    }
    std::vector<json> items;
    for (json* vm : d.Inv().Sorted("vms")) {
        const json& v = *vm;
        std::string id = v["id"];
        if (!isTemplate.empty() && v.value("template", false) != (isTemplate == "true")) continue;
        if (!name.empty() &&
            LowerText(v["name"].get<std::string>()).find(name) == std::string::npos) {
            continue;
        }
        if (!uuid.empty() && v["uuid"] != uuid) continue;
        if (!vmUrns.empty() &&
            std::find(vmUrns.begin(), vmUrns.end(), d.Inv().Urn("vms", id)) == vmUrns.end()) {
            continue;
        }
        if (!clusterId.empty() && v.value("clusterId", "") != clusterId) continue;
        if (!hostId.empty() && v.value("hostId", "") != hostId) continue;
        if (!folderId.empty() && v.value("folderId", "") != folderId) continue;
        if (!dsId.empty() || !volId.empty()) {
            bool bHit = false;
            for (json* vol : d.Inv().VolumesOf(id)) {
                bHit = bHit || (*vol)["dsId"] == dsId || (*vol)["id"] == volId;
            }
            if (!bHit) continue;
        }
        items.push_back(d.Render().Vm(v, detail));
    }
    return Page(items, r, "vms");
}

json GetVm(CImpl& d, SReq& r) {
    return d.Render().Vm(Vm(d, r), 2);
}

json CreateVm(CImpl& d, SReq& r) {
    const json& b = r.body;
    std::string name = BodyStr(b, "name");
    if (name.empty() || !BodyHas(b, "vmConfig") || !b["vmConfig"].is_object()) {
        Fail("10000001", "name and vmConfig are required.");
    }
    const json& cfg = b["vmConfig"];
    std::string hostId, clusterId;
    d.Placement(BodyStr(b, "location"), hostId, clusterId);
    std::string uuid = BodyStr(b, "uuid");
    if (!uuid.empty()) {
        if (d.Inv().Any("vms", [&](const json& v) { return v["uuid"] == uuid; }))
            Fail("10000009", "A VM with this uuid exists already.");
    }
    std::string folderId;
    std::string parent = BodyStr(b, "parentObjUrn");
    if (!parent.empty() && parent != d.Inv().SiteUrn()) {
        folderId = d.Inv().IdFromUrn(parent, "folders");
        d.Inv().Obj("folders", folderId, "10300621", "folder");
    }
    // Check every disk and NIC before anything changes, so a refused request leaves nothing.
    const json disks =
        cfg.contains("disks") && cfg["disks"].is_array() ? cfg["disks"] : json::array();
    const json nics = cfg.contains("nics") && cfg["nics"].is_array() ? cfg["nics"] : json::array();
    for (const json& dk : disks) {
        std::string volUrn = BodyStr(dk, "volumeUrn");
        if (!volUrn.empty()) {
            json& vol =
                d.Inv().Obj("volumes", d.Inv().IdFromUrn(volUrn, "volumes"), "10300078", "volume");
            if (!vol.value("vmId", "").empty()) Fail("10300074", "The volume is attached already.");
        } else {
            if (BodyInt(dk, "quantityGB", 0) <= 0 && BodyInt(dk, "capacityBytes", 0) <= 0) {
                Fail("10000001", "A new disk needs quantityGB.");
            }
            d.Inv().Obj("datastores", d.Inv().IdFromUrn(BodyStr(dk, "datastoreUrn"), "datastores"),
                        "10410006", "datastore");
        }
    }
    std::vector<std::string> pgIds;
    for (const json& n : nics) {
        pgIds.push_back(
            d.PortGroupByUrnOrName(BodyStr(n, "portGroupUrn"), BodyStr(n, "portGroupName")));
    }
    std::string id = d.Inv().NewVmId();
    const json cpu = cfg.value("cpu", json::object());
    const json mem = cfg.value("memory", json::object());
    const json os = b.value("osOptions", json::object());
    json vm = {{"id", id},
               {"uuid", uuid.empty() ? NewUuid() : uuid},
               {"name", name},
               {"description", BodyStr(b, "description")},
               {"template", BodyBool(b, "isTemplate", false)},
               {"status", "stopped"},
               {"hostId", hostId},
               {"clusterId", clusterId},
               {"folderId", folderId},
               {"cpu", BodyInt(cpu, "quantity", 1)},
               {"memMB", BodyInt(mem, "quantityMB", 1024)},
               {"osType", BodyStr(os, "osType", "Linux")},
               {"osVersion", BodyInt(os, "osVersion", 301)},
               {"tools", true},
               {"createSecs", CSimState::Now()},
               {"nics", json::array()},
               {"nextNicId", 1},
               {"currentSnap", ""}};
    json& stored = d.Inv().Create("vms", vm);
    for (const json& dk : disks) {
        std::string volUrn = BodyStr(dk, "volumeUrn");
        json* vol;
        if (!volUrn.empty()) {
            vol =
                &d.Inv().Obj("volumes", d.Inv().IdFromUrn(volUrn, "volumes"), "10300078", "volume");
        } else {
            uint64_t cap = static_cast<uint64_t>(BodyInt(dk, "capacityBytes", 0));
            if (cap == 0) cap = static_cast<uint64_t>(BodyInt(dk, "quantityGB", 0)) << 30;
            vol = &d.CreateVolumeRecord(
                name + "-disk" + std::to_string(BodyInt(dk, "sequenceNum", 0)), cap,
                d.Inv().IdFromUrn(BodyStr(dk, "datastoreUrn"), "datastores"),
                BodyBool(dk, "isThin", false), BodyInt(dk, "volType", 0), "");
        }
        d.Inv().AttachVolume(stored, *vol, static_cast<int>(BodyInt(dk, "sequenceNum", 0)),
                             BodyStr(dk, "pciType"));
    }
    for (size_t i = 0; i < nics.size(); ++i) {
        d.Inv().AddNic(stored, BodyStr(nics[i], "name"), pgIds[i], BodyStr(nics[i], "mac"),
                       static_cast<int>(BodyInt(nics[i], "sequenceNum", -1)));
    }
    if (BodyBool(b, "autoBoot", true) && !stored["template"].get<bool>())
        stored["status"] = "running";
    d.Inv().Touch();
    json out = d.NewTask("CreateVmTask", d.Inv().Urn("vms", id));
    out["urn"] = d.Inv().Urn("vms", id);
    out["uri"] = d.Inv().Uri("vms", id);
    return out;
}

json DeleteVm(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    std::string id = vm["id"];
    bool bKeep = r.Query("isReserveDisks") == "1";
    std::vector<std::string> snaps;
    for (const json* s : d.Inv().Sorted("snapshots")) {
        if ((*s)["vmId"] == id) snaps.push_back((*s)["id"]);
    }
    for (auto& s : snaps) d.DeleteSnapshotRecord(s);
    for (json* vol : d.Inv().VolumesOf(id)) {
        if (bKeep) {
            d.Inv().DetachVolume(*vol);
        } else {
            d.DeleteVolumeRecord((*vol)["id"]);
        }
    }
    std::string urn = d.Inv().Urn("vms", id);
    d.Inv().Delete("vms", id);
    return d.NewTask("DeleteVmTask", urn);
}

json StartVm(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    if (vm.value("template", false)) Fail("10300015", "A template cannot be started.");
    if (vm["status"] == "running") Fail("10300094", "The VM is already running.");
    vm["status"] = "running";
    d.Inv().Touch();
    return d.NewTask("StartVmTask", d.Inv().Urn("vms", vm["id"]));
}

json StopVm(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    std::string mode = BodyStr(r.body, "mode", "safe");
    if (mode != "safe" && mode != "force") Fail("10000001", "mode must be safe or force.");
    if (vm.value("template", false)) Fail("10300015", "A template cannot be stopped.");
    if (vm["status"] != "running") Fail("10300092", "The VM is already stopped.");
    if (mode == "safe" && !vm.value("tools", false)) {
        Fail("10300026", "A safe stop needs the VM tools to be running.");
    }
    vm["status"] = "stopped";
    d.Inv().Touch();
    return d.NewTask("StopVmTask", d.Inv().Urn("vms", vm["id"]));
}

json AttachVol(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    json& vol = d.Inv().Obj("volumes", d.Inv().IdFromUrn(BodyStr(r.body, "volUrn"), "volumes"),
                            "10300078", "volume");
    d.Inv().AttachVolume(vm, vol, static_cast<int>(BodyInt(r.body, "sequenceNum", 0)),
                         BodyStr(r.body, "pciType"));
    return d.NewTask("AttachVolumeTask", d.Inv().Urn("vms", vm["id"]));
}

json DetachVol(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    json& vol = d.Inv().Obj("volumes", d.Inv().IdFromUrn(BodyStr(r.body, "volUrn"), "volumes"),
                            "10420004", "volume");
    if (vol.value("vmId", "") != vm["id"]) Fail("10300037", "The disk is not attached to this VM.");
    d.Inv().DetachVolume(vol);
    return d.NewTask("DetachVolumeTask", d.Inv().Urn("vms", vm["id"]));
}

json AddNicRoute(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    std::string urn = BodyStr(r.body, "portGroupUrn"), name = BodyStr(r.body, "portGroupName");
    if (urn.empty() && name.empty()) Fail("10000001", "portGroupUrn is required.");
    std::string pg = d.PortGroupByUrnOrName(urn, name);
    json& nic = d.Inv().AddNic(vm, BodyStr(r.body, "name"), pg, BodyStr(r.body, "mac"),
                               static_cast<int>(BodyInt(r.body, "sequenceNum", -1)));
    json out = d.NewTask("UpdateVNic", d.Inv().Urn("vms", vm["id"]));
    json rn = d.Render().Nic(vm, nic);
    out["urn"] = rn["urn"];
    out["uri"] = rn["uri"];
    return out;
}

json DeleteNic(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    json& nics = vm["nics"];
    for (size_t i = 0; i < nics.size(); ++i) {
        if (nics[i]["id"] == r.vecArgs[2]) {
            nics.erase(i);
            d.Inv().Touch();
            return d.NewTask("DeleteNicTask", d.Inv().Urn("vms", vm["id"]));
        }
    }
    Fail("10000008", "The NIC does not exist.");
}

}  // namespace

void AddVmRoutes(std::vector<SRoute>& routes) {
    const std::string vm = FC_SITE "/vms/{}";
    routes.push_back(Route("GET", FC_SITE "/vms", "ListVms", ListVms));
    routes.push_back(Route("POST", FC_SITE "/vms", "CreateVm", CreateVm));
    routes.push_back(Route("GET", vm, "GetVm", GetVm));
    routes.push_back(Route("DELETE", vm, "DeleteVm", DeleteVm));
    routes.push_back(Route("POST", vm + "/action/start", "StartVm", StartVm));
    routes.push_back(Route("POST", vm + "/action/stop", "StopVm", StopVm));
    routes.push_back(Route("POST", vm + "/action/attachvol", "AttachVolume", AttachVol));
    routes.push_back(Route("POST", vm + "/action/detachvol", "DetachVolume", DetachVol));
    routes.push_back(Route("POST", vm + "/virtualNics", "AddNic", AddNicRoute));
    routes.push_back(Route("DELETE", vm + "/virtualNics/{}", "DeleteNic", DeleteNic));
}

}  // namespace fcsim
