// Descriptors and the restore helpers: OVF and JSON export, a VM from an OVF descriptor with a
// disk identity map, and networks reconnected from a JSON descriptor.
#include <set>

#include "MgmtInternal.h"
#include "Ovf.h"

namespace fcsim {

namespace {

using CImpl = CMgmtService::CImpl;

json& Vm(CImpl& d, SReq& r) {
    return d.Obj("vms", r.vecArgs[1], "10000008", "VM");
}

bool MacInUse(CImpl& d, const std::string& mac) {
    for (auto& v : d.m_inv["vms"]) {
        for (auto& n : v["nics"]) {
            if (n["mac"] == mac) return true;
        }
    }
    return false;
}

json CreateOvf(CImpl& d, SReq& r) {
    return {{"ovfDescriptor", BuildOvf(d.RenderVm(Vm(d, r), 2))}};
}

json CreateJson(CImpl& d, SReq& r) {
    return {{"jsonDescriptor", d.RenderVm(Vm(d, r), 2).dump(1)}};
}

json ImportOvf(CImpl& d, SReq& r) {
    const json& b = r.body;
    std::string text = BodyStr(b, "ovfDescriptor");
    if (text.empty()) Fail("10000001", "ovfDescriptor is required.");
    SOvfVm ovf;
    std::string err;
    if (!ParseOvf(text, ovf, err)) Fail("10000001", "The OVF descriptor is not usable: " + err);
    std::string name = BodyStr(b, "name", ovf.strName);
    if (name.empty()) Fail("10000001", "The VM needs a name.");
    std::string hostId, clusterId;
    d.Placement(BodyStr(b, "location"), hostId, clusterId);
    std::string uuid = BodyStr(b, "uuid");
    for (auto& v : d.m_inv["vms"]) {
        if (!uuid.empty() && v["uuid"] == uuid) Fail("10000009", "A VM with this uuid exists.");
    }
    std::string folderId;
    std::string parent = BodyStr(b, "parentObjUrn");
    if (!parent.empty() && parent != d.SiteUrn()) {
        folderId = d.IdFromUrn(parent, "folders");
        d.Obj("folders", folderId, "10300621", "folder");
    }
    // Resolve the whole disk identity map before anything changes.
    std::vector<std::pair<json*, const SOvfDisk*>> attach;
    std::set<std::string> targets;
    if (BodyHas(b, "diskMap")) {
        if (!b["diskMap"].is_object()) Fail("10000001", "diskMap must be an object.");
        for (auto it = b["diskMap"].begin(); it != b["diskMap"].end(); ++it) {
            if (!it.value().is_string()) Fail("10000001", "diskMap values must be strings.");
            std::string key = it.key(), href = it.value().get<std::string>();
            json* vol = nullptr;
            std::string byUrn = d.IdFromUrn(key, "volumes");
            if (!byUrn.empty()) vol = d.Find("volumes", byUrn);
            for (auto& v : d.m_inv["volumes"]) {
                if (!vol && v["uuid"] == key) vol = &v;
            }
            if (!vol) Fail("10300078", "The volume " + key + " does not exist.");
            if (!vol->value("vmId", "").empty()) {
                Fail("10300074", "The volume " + key + " is attached already.");
            }
            const SOvfDisk* disk = nullptr;
            for (const SOvfDisk& od : ovf.vecDisks) {
                if (od.strHref == href) disk = &od;
            }
            if (!disk) Fail("10000001", "No disk of the descriptor is " + href + ".");
            if (!targets.insert(href).second) {
                Fail("10000001", "Two volumes replace the disk " + href + ".");
            }
            attach.emplace_back(vol, disk);
        }
    }
    std::string id = d.NewVmId();
    json vm = {{"id", id},
               {"uuid", uuid.empty() ? NewUuid() : uuid},
               {"name", name},
               {"description", ""},
               {"template", false},
               {"status", "stopped"},
               {"hostId", hostId},
               {"clusterId", clusterId},
               {"folderId", folderId},
               {"cpu", ovf.llCpu},
               {"memMB", ovf.llMemMB},
               {"osType", ovf.strOsType},
               {"osVersion", ovf.llOsVersion},
               {"tools", true},
               {"createSecs", CSimState::Now()},
               {"nics", json::array()},
               {"nextNicId", 1},
               {"currentSnap", ""}};
    d.m_inv["vms"][id] = vm;
    json& stored = d.m_inv["vms"][id];
    for (auto& a : attach) {
        d.AttachVolume(stored, *a.first, a.second->nSequenceNum, a.second->strPciType);
    }
    for (const SOvfNic& n : ovf.vecNics) {
        std::string pg;
        for (json* p : d.Sorted("portgroups")) {
            if (d.RenderPortGroup(*p)["urn"] == n.strConnection) pg = (*p)["id"];
        }
        std::string mac = MacInUse(d, n.strMac) ? "" : n.strMac;
        d.AddNic(stored, n.strName, pg, mac, n.nSequenceNum);
    }
    if (BodyBool(b, "autoBoot", false)) stored["status"] = "running";
    d.Touch();
    json out = d.NewTask("ImportTemplate", d.Urn("vms", id));
    out["urn"] = d.Urn("vms", id);
    out["uri"] = d.Uri("vms", id);
    return out;
}

json ReconnectNics(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    std::string text = BodyStr(r.body, "jsonDescriptor");
    json desc = json::parse(text, nullptr, false);
    if (desc.is_discarded() || !desc.is_object() || !desc.contains("vmConfig") ||
        !desc["vmConfig"].is_object() || !desc["vmConfig"].contains("nics") ||
        !desc["vmConfig"]["nics"].is_array()) {
        Fail("10000001", "The JSON descriptor has no vmConfig.nics.");
    }
    int count = 0;
    for (const json& n : desc["vmConfig"]["nics"]) {
        if (!n.is_object()) Fail("10000001", "A NIC of the descriptor is not an object.");
        std::string pg =
            d.PortGroupByUrnOrName(BodyStr(n, "portGroupUrn"), BodyStr(n, "portGroupName"));
        int seq = static_cast<int>(BodyInt(n, "sequenceNum", -1));
        std::string name = BodyStr(n, "name");
        json* target = nullptr;
        for (auto& own : vm["nics"]) {
            if (seq >= 0 && own["seq"].get<int>() == seq) target = &own;
        }
        for (auto& own : vm["nics"]) {
            if (!target && !name.empty() && own["name"] == name) target = &own;
        }
        if (target) {
            (*target)["pgId"] = pg;
            d.Touch();
        } else {
            std::string mac = BodyStr(n, "mac");
            d.AddNic(vm, name, pg, MacInUse(d, mac) ? "" : mac, seq);
        }
        ++count;
    }
    return {{"reconnected", count}};
}

}  // namespace

void AddRestoreRoutes(std::vector<SRoute>& routes) {
    const std::string vm = FC_SITE "/vms/{}";
    routes.push_back(
        Route("POST", vm + "/action/createdescriptor", "CreateOvfDescriptor", CreateOvf));
    routes.push_back(
        Route("POST", vm + "/action/createjsondescriptor", "CreateJsonDescriptor", CreateJson));
    routes.push_back(Route("POST", FC_SITE "/vms/action/importovf", "ImportOvf", ImportOvf));
    routes.push_back(Route("POST", vm + "/action/reconnectnics", "ReconnectNics", ReconnectNics));
}

}  // namespace fcsim
