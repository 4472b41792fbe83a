// Descriptors and the restore helpers: OVF and JSON export, a VM from an OVF descriptor with a
// disk identity map, and networks reconnected from a JSON descriptor.
#include <set>

#include "MgmtInternal.h"
#include "Ovf.h"

namespace fcsim {

namespace {

using CImpl = CMgmtService::CImpl;

json& Vm(CImpl& d, SReq& r) {
    return d.Inv().Obj("vms", r.vecArgs[1], "10000008", "VM");
}

json CreateOvf(CImpl& d, SReq& r) {
    return {{"ovfDescriptor", BuildOvf(d.Render().Vm(Vm(d, r), 2))}};
}

json CreateJson(CImpl& d, SReq& r) {
    return {{"jsonDescriptor", d.Render().Vm(Vm(d, r), 2).dump(1)}};
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
    if (!uuid.empty() && d.Inv().Any("vms", [&](const json& v) { return v["uuid"] == uuid; }))
        Fail("10000009", "A VM with this uuid exists.");
    std::string folderId;
    std::string parent = BodyStr(b, "parentObjUrn");
    if (!parent.empty() && parent != d.Inv().SiteUrn()) {
        folderId = d.Inv().IdFromUrn(parent, "folders");
        d.Inv().Obj("folders", folderId, "10300621", "folder");
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
            std::string byUrn = d.Inv().IdFromUrn(key, "volumes");
            if (!byUrn.empty()) vol = d.Inv().Find("volumes", byUrn);
            for (json* v : d.Inv().Sorted("volumes")) {
                if (!vol && (*v)["uuid"] == key) vol = v;
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
    std::string id = d.Inv().NewVmId();
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
    json& stored = d.Inv().Create("vms", vm);
    for (auto& a : attach) {
        d.Inv().AttachVolume(stored, *a.first, a.second->nSequenceNum, a.second->strPciType);
    }
    for (const SOvfNic& n : ovf.vecNics) {
        std::string pg;
        for (json* p : d.Inv().Sorted("portgroups")) {
            if (d.Render().PortGroup(*p)["urn"] == n.strConnection) pg = (*p)["id"];
        }
        std::string mac = d.Inv().MacInUse(n.strMac) ? "" : n.strMac;
        d.Inv().AddNic(stored, n.strName, pg, mac, n.nSequenceNum);
    }
    if (BodyBool(b, "autoBoot", false)) stored["status"] = "running";
    d.Inv().Touch();
    json out = d.NewTask("ImportTemplate", d.Inv().Urn("vms", id));
    out["urn"] = d.Inv().Urn("vms", id);
    out["uri"] = d.Inv().Uri("vms", id);
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
            d.Inv().Touch();
        } else {
            std::string mac = BodyStr(n, "mac");
            d.Inv().AddNic(vm, name, pg, d.Inv().MacInUse(mac) ? "" : mac, seq);
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
