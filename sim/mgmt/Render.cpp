#include "Render.h"

#include "MgmtText.h"
#include "SimState.h"

namespace fcsim {

json CRender::Site() const {
    return {{"urn", m_inv.SiteUrn()},
            {"uri", m_inv.SiteUri()},
            {"name", m_inv.SiteName()},
            {"ip", "127.0.0.1"},
            {"isDC", false},
            {"isSelf", true},
            {"status", "normal"},
            {"mgntNetworkType", "ipv4"}};
}

json CRender::Cluster(const json& c) const {
    std::string folderId = c.value("folderId", "");
    const json* f = folderId.empty() ? nullptr : m_inv.Find("folders", folderId);
    return {{"urn", m_inv.Urn("clusters", c["id"])},
            {"uri", m_inv.Uri("clusters", c["id"])},
            {"name", c["name"]},
            {"parentObjUrn", f ? m_inv.Urn("folders", folderId) : ""},
            {"parentObjName", f ? (*f)["name"].get<std::string>() : ""},
            {"description", ""},
            {"tag", ""}};
}

json CRender::Host(const json& h) const {
    std::string clusterId = h.value("clusterId", "");
    const json* c = clusterId.empty() ? nullptr : m_inv.Find("clusters", clusterId);
    return {{"urn", m_inv.Urn("hosts", h["id"])},
            {"uri", m_inv.Uri("hosts", h["id"])},
            {"name", h["name"]},
            {"ip", h["ip"]},
            {"clusterUrn", c ? m_inv.Urn("clusters", clusterId) : ""},
            {"clusterName", c ? (*c)["name"].get<std::string>() : ""},
            {"status", "normal"},
            {"isMaintaining", false},
            {"cpuQuantity", h.value("cpu", 16)},
            {"memQuantityMB", h.value("memMB", 65536)}};
}

json CRender::Datastore(const json& d) const {
    const uint64_t kGiB = 1ull << 30;
    uint64_t cap = d["capacityBytes"].get<uint64_t>();
    uint64_t used = m_inv.DatastoreUsed(d["id"]);
    uint64_t freeB = used > cap ? 0 : cap - used;
    json hosts = json::array();
    for (auto& h : d["hostIds"]) hosts.push_back(m_inv.Urn("hosts", h.get<std::string>()));
    json units = json::array();
    int n = 1;
    for (auto& l : d["luns"]) {
        units.push_back({{"urn", m_inv.Urn("storageunits",
                                           d["id"].get<std::string>() + "-" + std::to_string(n))},
                         {"suName", d.value("suName", "su") + "-" + std::to_string(n)},
                         {"sdName", l}});
        ++n;
    }
    return {{"urn", m_inv.Urn("datastores", d["id"])},
            {"uri", m_inv.Uri("datastores", d["id"])},
            {"name", d["name"]},
            {"description", ""},
            {"storageType", d["type"]},
            {"status", "NORMAL"},
            {"capacityGB", cap / kGiB},
            {"usedSizeGB", (used + kGiB - 1) / kGiB},
            {"freeSizeGB", freeB / kGiB},
            {"actualCapacityGB", cap / kGiB},
            {"actualFreeSizeGB", freeB / kGiB},
            {"capacityBytes", cap},
            {"freeSizeBytes", freeB},
            {"isThin", d["thin"]},
            {"thinRate", 100},
            {"hosts", hosts},
            {"storageUnits", units},
            {"refreshTime", TimeText(CSimState::Now())}};
}

json CRender::Folder(const json& f) const {
    std::string parent = f.value("parentId", "");
    return {{"urn", m_inv.Urn("folders", f["id"])},
            {"uri", m_inv.Uri("folders", f["id"])},
            {"name", f["name"]},
            {"type", f["type"]},
            {"parentObjUrn", parent.empty() ? m_inv.SiteUrn() : m_inv.Urn("folders", parent)}};
}

json CRender::PortGroup(const json& p) const {
    std::string kind = "dvswitchs:" + p["dvsId"].get<std::string>() + ":portgroups";
    return {{"urn", m_inv.SiteUrn() + ":" + kind + ":" + p["id"].get<std::string>()},
            {"uri", m_inv.SiteUri() + "/dvswitchs/" + p["dvsId"].get<std::string>() +
                        "/portgroups/" + p["id"].get<std::string>()},
            {"name", p["name"]},
            {"vlanId", p.value("vlan", 0)}};
}

json CRender::Nic(const json& vm, const json& nic) const {
    std::string vmId = vm["id"];
    std::string pgId = nic.value("pgId", "");
    const json* pg = pgId.empty() ? nullptr : m_inv.Find("portgroups", pgId);
    json rp = pg ? PortGroup(*pg) : json::object();
    return {{"urn", m_inv.Urn("vms", vmId) + ":nics:" + nic["id"].get<std::string>()},
            {"uri", m_inv.Uri("vms", vmId) + "/nics/" + nic["id"].get<std::string>()},
            {"name", nic["name"]},
            {"sequenceNum", nic["seq"]},
            {"mac", nic["mac"]},
            {"ip", ""},
            {"portGroupUrn", pg ? rp["urn"] : json("")},
            {"portGroupName", pg ? rp["name"] : json("")},
            {"virtIo", 1}};
}

json CRender::Disk(const json& vol) const {
    std::string volId = vol["id"];
    const json& ds = m_inv.Obj("datastores", vol["dsId"], "10410006", "datastore");
    uint64_t cap = vol["capacity"].get<uint64_t>();
    bool bFs = ds["type"] == "DSWARE";
    return {{"sequenceNum", vol.value("seq", 0)},
            {"pciType", vol.value("pciType", "VIRTIO")},
            {"volumeUrn", m_inv.Urn("volumes", volId)},
            {"volumeUri", m_inv.Uri("volumes", volId)},
            {"volumeUuid", vol["uuid"]},
            {"diskName", vol["name"]},
            {"quantityGB", (cap + (1ull << 30) - 1) >> 30},
            {"capacityBytes", cap},
            {"datastoreUrn", m_inv.Urn("datastores", ds["id"])},
            {"datastoreName", ds["name"]},
            {"storageType", ds["type"]},
            {"isThin", vol["thin"]},
            {"volType", vol.value("volType", 0)},
            {"indepDisk", vol.value("indep", false)},
            {"persistentDisk", vol.value("persistent", true)},
            {"type", "normal"},
            {"systemVolume", vol.value("seq", 0) == 1},
            {"volNameOnDev", bFs ? "fsvol-" + volId : ""},
            {"volumeUrl", m_state.DiskPath(volId)}};
}

json CRender::Volume(const json& vol) const {
    json d = Disk(vol);
    json out = {{"urn", d["volumeUrn"]},
                {"uri", d["volumeUri"]},
                {"uuid", vol["uuid"]},
                {"name", vol["name"]},
                {"status", "USE"},
                {"vmUrn", vol.value("vmId", "").empty() ? "" : m_inv.Urn("vms", vol["vmId"])},
                {"volCBTCreateTime", TimeText(vol["createSecs"].get<int64_t>())}};
    for (const char* k : {"quantityGB", "capacityBytes", "storageType", "isThin", "volType", "type",
                          "datastoreUrn", "datastoreName", "indepDisk", "persistentDisk",
                          "volNameOnDev", "volumeUrl", "sequenceNum", "pciType"}) {
        out[k] = d[k];
    }
    return out;
}

json CRender::Vm(const json& vm, int detail) const {
    std::string id = vm["id"];
    json out = {{"urn", m_inv.Urn("vms", id)}, {"uri", m_inv.Uri("vms", id)},
                {"uuid", vm["uuid"]},          {"name", vm["name"]},
                {"status", vm["status"]},      {"isTemplate", vm.value("template", false)}};
    if (detail < 1) return out;
    std::string hostId = vm.value("hostId", ""), clusterId = vm.value("clusterId", "");
    const json* h = hostId.empty() ? nullptr : m_inv.Find("hosts", hostId);
    const json* c = clusterId.empty() ? nullptr : m_inv.Find("clusters", clusterId);
    std::string folderId = vm.value("folderId", "");
    out["description"] = vm.value("description", "");
    out["isLinkClone"] = false;
    out["hostUrn"] = h ? m_inv.Urn("hosts", hostId) : "";
    out["hostName"] = h ? (*h)["name"].get<std::string>() : "";
    out["clusterUrn"] = c ? m_inv.Urn("clusters", clusterId) : "";
    out["clusterName"] = c ? (*c)["name"].get<std::string>() : "";
    out["location"] = c ? out["clusterUrn"] : out["hostUrn"];
    out["createTime"] = TimeText(vm.value("createSecs", int64_t(0)));
    out["pvDriverStatus"] = vm.value("tools", false) ? "running" : "notRunning";
    out["osOptions"] = {{"osType", vm.value("osType", "Linux")},
                        {"osVersion", vm.value("osVersion", 301)}};
    out["params"] = {
        {"parentObjUrn", folderId.empty() ? m_inv.SiteUrn() : m_inv.Urn("folders", folderId)}};
    json nics = json::array();
    for (auto& n : vm["nics"]) nics.push_back(Nic(vm, n));
    out["vmConfig"] = {{"cpu", {{"quantity", vm.value("cpu", 1)}}},
                       {"memory", {{"quantityMB", vm.value("memMB", 1024)}}},
                       {"nics", nics}};
    if (detail >= 2) {
        json disks = json::array();
        for (const json* v : m_inv.VolumesOf(id)) disks.push_back(Disk(*v));
        out["vmConfig"]["disks"] = disks;
    }
    return out;
}

json CRender::SnapshotBrief(const json& s) const {
    std::string urn = m_inv.Urn("vms", s["vmId"]) + ":snapshots:" + s["id"].get<std::string>();
    std::string uri = m_inv.Uri("vms", s["vmId"]) + "/snapshots/" + s["id"].get<std::string>();
    return {{"urn", urn},
            {"uri", uri},
            {"name", s["name"]},
            {"description", s.value("description", "")},
            {"createTime", TimeText(s["createSecs"].get<int64_t>())},
            {"type", s.value("type", "normal")},
            {"status", "ready"}};
}

json CRender::Snapshot(const json& s) const {
    json out = SnapshotBrief(s);
    out["createTimeSecs"] = s["createSecs"];
    out["includingMemorySnapshot"] = s.value("memory", false);
    out["isConsistent"] = s.value("consistent", false);
    json vols = json::array();
    for (auto& d : s["disks"]) {
        std::string volId = d["volId"];
        const json* vol = m_inv.Find("volumes", volId);
        const json* ds = vol ? m_inv.Find("datastores", (*vol)["dsId"]) : nullptr;
        std::string chg = volId + "-" + std::to_string(d["seq"].get<uint64_t>());
        vols.push_back(
            {{"volumeUrn", m_inv.Urn("volumes", volId)},
             {"volumeUri", m_inv.Uri("volumes", volId)},
             {"storageType", ds ? (*ds)["type"] : json("")},
             {"datastoreUrn", ds ? json(m_inv.Urn("datastores", (*ds)["id"])) : json("")},
             {"snapUuid", d["snapUuid"]},
             {"snapNameOnDev", d.value("fsName", "")},
             {"volCBTCreateTime", vol ? TimeText((*vol)["createSecs"].get<int64_t>()) : ""},
             {"chgID", chg},
             {"ChgID", chg}});
    }
    out["volsnapshots"] = vols;
    return out;
}

}  // namespace fcsim
