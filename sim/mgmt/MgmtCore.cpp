// The core shared by the handlers: inventory persistence, identifiers, tasks, rendering of API
// objects and the operations several handlers need.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>

#include "DiskFiles.h"
#include "MgmtInternal.h"

namespace fcsim {

namespace {

bool IdLess(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

const char* const kKinds[] = {"clusters",  "hosts",      "datastores", "folders",
                              "dvswitchs", "portgroups", "vms",        "volumes",
                              "snapshots", "tasks",      "resources"};

}  // namespace

// ---- request helpers -------------------------------------------------------------------------

std::string SReq::Query(const std::string& name) const {
    return pRaw && pRaw->has_param(name.c_str()) ? pRaw->get_param_value(name.c_str()) : "";
}

bool SReq::HasQuery(const std::string& name) const {
    return pRaw && pRaw->has_param(name.c_str());
}

std::vector<std::string> SReq::QueryAll(const std::string& name) const {
    std::vector<std::string> out;
    if (!pRaw) return out;
    auto range = pRaw->params.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
    return out;
}

bool BodyHas(const json& body, const char* key) {
    if (!body.is_object() || !body.contains(key)) return false;
    const json& v = body[key];
    return !v.is_null() && !(v.is_string() && v.get<std::string>().empty());
}

std::string BodyStr(const json& body, const char* key, const std::string& def) {
    if (!BodyHas(body, key)) return def;
    const json& v = body[key];
    if (!v.is_string()) Fail("10000001", std::string("Field ") + key + " must be a string.");
    return v.get<std::string>();
}

bool BodyBool(const json& body, const char* key, bool def) {
    if (!BodyHas(body, key)) return def;
    const json& v = body[key];
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        if (s == "true") return true;
        if (s == "false") return false;
    }
    Fail("10000001", std::string("Field ") + key + " must be true or false.");
}

int64_t BodyInt(const json& body, const char* key, int64_t def) {
    if (!BodyHas(body, key)) return def;
    const json& v = body[key];
    if (v.is_number_integer()) return v.get<int64_t>();
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        char* end = nullptr;
        errno = 0;
        long long n = std::strtoll(s.c_str(), &end, 10);
        if (errno == 0 && end && *end == '\0') return n;
    }
    Fail("10000001", std::string("Field ") + key + " must be an integer.");
}

json Page(const std::vector<json>& items, const SReq& r, const char* key) {
    auto num = [&](const char* name, int64_t def, const char* code) -> int64_t {
        if (!r.HasQuery(name) || r.Query(name).empty()) return def;
        const std::string s = r.Query(name);
        char* end = nullptr;
        errno = 0;
        long long n = std::strtoll(s.c_str(), &end, 10);
        if (errno != 0 || !end || *end != '\0') Fail(code, std::string("Bad ") + name + ".");
        return n;
    };
    int64_t limit = num("limit", 100, "10000013");
    int64_t offset = num("offset", 0, "10000016");
    if (limit < 1 || limit > 100) Fail("10000013", "The limit must be 1 to 100.");
    if (offset < 0) Fail("10000016", "The offset must not be negative.");
    json page = json::array();
    for (size_t i = static_cast<size_t>(offset);
         i < items.size() && page.size() < static_cast<size_t>(limit); ++i) {
        page.push_back(items[i]);
    }
    return {{"total", items.size()}, {key, page}};
}

std::string TimeText(int64_t secs) {
    time_t t = static_cast<time_t>(secs);
    struct tm tmv {};
    gmtime_r(&t, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
    return buf;
}

std::string RandomHex(size_t bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    FILE* f = std::fopen("/dev/urandom", "rb");
    for (size_t i = 0; i < bytes; ++i) {
        int c = f ? std::fgetc(f) : EOF;
        if (c == EOF) {
            static std::mt19937_64 rng{std::random_device{}()};
            c = static_cast<int>(rng() & 0xff);
        }
        out.push_back(kDigits[(c >> 4) & 0xf]);
        out.push_back(kDigits[c & 0xf]);
    }
    if (f) std::fclose(f);
    return out;
}

std::string NewUuid() {
    std::string h = RandomHex(16);
    h[12] = '4';
    h[16] = "89ab"[h[16] % 4];
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) +
           "-" + h.substr(20, 12);
}

// ---- core ------------------------------------------------------------------------------------

CMgmtService::CImpl::CImpl(CSimState& state, CFaultTable& faults, const SMgmtSettings& settings)
    : m_state(state), m_faults(faults), m_settings(settings) {
    m_inv = json::object();
    m_inv["siteId"] = settings.strSiteId;
    m_inv["siteName"] = "site-demo";
    m_inv["nextId"] = 1;
    for (const char* k : kKinds) m_inv[k] = json::object();
}

CMgmtService::CImpl::~CImpl() = default;

bool CMgmtService::CImpl::Load(std::string& err) {
    std::string text;
    std::string path = m_state.Root() + "/inventory.json";
    {
        CSimState::CLock lock(m_state, false);
        if (!CSimState::ReadFile(path, text)) return true;  // a new state folder
    }
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("siteId") ||
        !doc["siteId"].is_string()) {
        err = path + " is not a valid inventory";
        return false;
    }
    for (const char* k : kKinds) {
        if (!doc.contains(k)) doc[k] = json::object();
        if (!doc[k].is_object()) {
            err = path + ": \"" + k + "\" is not an object";
            return false;
        }
    }
    if (!doc.contains("nextId") || !doc["nextId"].is_number_unsigned()) doc["nextId"] = 1000;
    m_inv = std::move(doc);
    return true;
}

bool CMgmtService::CImpl::Save(std::string& err) {
    CSimState::CLock lock(m_state);
    if (!CSimState::WriteFileAtomic(m_state.Root() + "/inventory.json", m_inv.dump(1))) {
        err = "cannot write the inventory";
        return false;
    }
    m_bDirty = false;
    return true;
}

std::string CMgmtService::CImpl::NewId() {
    uint64_t n = m_inv["nextId"].get<uint64_t>();
    m_inv["nextId"] = n + 1;
    return std::to_string(n);
}

std::string CMgmtService::CImpl::NewVmId() {
    char buf[16];
    std::snprintf(buf, sizeof buf, "i-%08llX",
                  static_cast<unsigned long long>(std::stoull(NewId()) & 0xffffffffull));
    return buf;
}

std::string CMgmtService::CImpl::IdFromUrn(const std::string& urn, const std::string& kind) const {
    std::string prefix = SiteUrn() + ":" + kind + ":";
    if (urn.compare(0, prefix.size(), prefix) != 0) return "";
    std::string id = urn.substr(prefix.size());
    return id.find(':') == std::string::npos ? id : "";
}

json* CMgmtService::CImpl::Find(const std::string& kind, const std::string& id) {
    auto& coll = m_inv[kind];
    auto it = coll.find(id);
    return it == coll.end() ? nullptr : &*it;
}

json& CMgmtService::CImpl::Obj(const std::string& kind, const std::string& id,
                               const std::string& code, const std::string& what) {
    json* p = id.empty() ? nullptr : Find(kind, id);
    if (!p) Fail(code, "The " + what + " does not exist.");
    return *p;
}

std::vector<json*> CMgmtService::CImpl::Sorted(const std::string& kind) {
    std::vector<json*> out;
    for (auto& v : m_inv[kind]) out.push_back(&v);
    std::sort(out.begin(), out.end(), [](const json* a, const json* b) {
        return IdLess((*a)["id"].get<std::string>(), (*b)["id"].get<std::string>());
    });
    return out;
}

json CMgmtService::CImpl::NewTask(const std::string& type, const std::string& entityUrn,
                                  const std::string& reason, const std::string& reasonDes) {
    std::string id = m_strForcedTaskId.empty() ? NewId() : m_strForcedTaskId;
    int64_t nowMs = CSimState::Now() * 1000;
    json t = {{"id", id},
              {"type", type},
              {"entityUrn", entityUrn},
              {"status", reason.empty() ? "success" : "failed"},
              {"reason", reason},
              {"reasonDes", reasonDes},
              {"pollsLeft", Settings().nTaskPolls},
              {"startMs", nowMs},
              {"finishMs", nowMs}};
    m_inv["tasks"][id] = t;
    Touch();
    return {{"taskUrn", Urn("tasks", id)}, {"taskUri", Uri("tasks", id)}};
}

// ---- rendering -------------------------------------------------------------------------------

json CMgmtService::CImpl::RenderCluster(const json& c) {
    std::string folderId = c.value("folderId", "");
    json* f = folderId.empty() ? nullptr : Find("folders", folderId);
    return {{"urn", Urn("clusters", c["id"])},
            {"uri", Uri("clusters", c["id"])},
            {"name", c["name"]},
            {"parentObjUrn", f ? Urn("folders", folderId) : ""},
            {"parentObjName", f ? (*f)["name"].get<std::string>() : ""},
            {"description", ""},
            {"tag", ""}};
}

json CMgmtService::CImpl::RenderHost(const json& h) {
    std::string clusterId = h.value("clusterId", "");
    json* c = clusterId.empty() ? nullptr : Find("clusters", clusterId);
    return {{"urn", Urn("hosts", h["id"])},
            {"uri", Uri("hosts", h["id"])},
            {"name", h["name"]},
            {"ip", h["ip"]},
            {"clusterUrn", c ? Urn("clusters", clusterId) : ""},
            {"clusterName", c ? (*c)["name"].get<std::string>() : ""},
            {"status", "normal"},
            {"isMaintaining", false},
            {"cpuQuantity", h.value("cpu", 16)},
            {"memQuantityMB", h.value("memMB", 65536)}};
}

uint64_t CMgmtService::CImpl::DatastoreUsed(const std::string& dsId) {
    uint64_t used = 0;
    for (auto& v : m_inv["volumes"]) {
        if (v["dsId"] == dsId) used += v["capacity"].get<uint64_t>();
    }
    return used;
}

json CMgmtService::CImpl::RenderDatastore(const json& d) {
    const uint64_t kGiB = 1ull << 30;
    uint64_t cap = d["capacityBytes"].get<uint64_t>();
    uint64_t used = DatastoreUsed(d["id"]);
    uint64_t freeB = used > cap ? 0 : cap - used;
    json hosts = json::array();
    for (auto& h : d["hostIds"]) hosts.push_back(Urn("hosts", h.get<std::string>()));
    json units = json::array();
    int n = 1;
    for (auto& l : d["luns"]) {
        units.push_back(
            {{"urn", Urn("storageunits", d["id"].get<std::string>() + "-" + std::to_string(n))},
             {"suName", d.value("suName", "su") + "-" + std::to_string(n)},
             {"sdName", l}});
        ++n;
    }
    return {{"urn", Urn("datastores", d["id"])},
            {"uri", Uri("datastores", d["id"])},
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

json CMgmtService::CImpl::RenderFolder(const json& f) {
    std::string parent = f.value("parentId", "");
    return {{"urn", Urn("folders", f["id"])},
            {"uri", Uri("folders", f["id"])},
            {"name", f["name"]},
            {"type", f["type"]},
            {"parentObjUrn", parent.empty() ? SiteUrn() : Urn("folders", parent)}};
}

json CMgmtService::CImpl::RenderPortGroup(const json& p) {
    std::string kind = "dvswitchs:" + p["dvsId"].get<std::string>() + ":portgroups";
    return {{"urn", SiteUrn() + ":" + kind + ":" + p["id"].get<std::string>()},
            {"uri", SiteUri() + "/dvswitchs/" + p["dvsId"].get<std::string>() + "/portgroups/" +
                        p["id"].get<std::string>()},
            {"name", p["name"]},
            {"vlanId", p.value("vlan", 0)}};
}

json CMgmtService::CImpl::RenderNic(const json& vm, const json& nic) {
    std::string vmId = vm["id"];
    std::string pgId = nic.value("pgId", "");
    json* pg = pgId.empty() ? nullptr : Find("portgroups", pgId);
    json rp = pg ? RenderPortGroup(*pg) : json::object();
    return {{"urn", Urn("vms", vmId) + ":nics:" + nic["id"].get<std::string>()},
            {"uri", Uri("vms", vmId) + "/nics/" + nic["id"].get<std::string>()},
            {"name", nic["name"]},
            {"sequenceNum", nic["seq"]},
            {"mac", nic["mac"]},
            {"ip", ""},
            {"portGroupUrn", pg ? rp["urn"] : json("")},
            {"portGroupName", pg ? rp["name"] : json("")},
            {"virtIo", 1}};
}

json CMgmtService::CImpl::RenderDisk(const json& vol) {
    std::string volId = vol["id"];
    json& ds = Obj("datastores", vol["dsId"], "10410006", "datastore");
    uint64_t cap = vol["capacity"].get<uint64_t>();
    bool bFs = ds["type"] == "DSWARE";
    return {{"sequenceNum", vol.value("seq", 0)},
            {"pciType", vol.value("pciType", "VIRTIO")},
            {"volumeUrn", Urn("volumes", volId)},
            {"volumeUri", Uri("volumes", volId)},
            {"volumeUuid", vol["uuid"]},
            {"diskName", vol["name"]},
            {"quantityGB", (cap + (1ull << 30) - 1) >> 30},
            {"capacityBytes", cap},
            {"datastoreUrn", Urn("datastores", ds["id"])},
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

json CMgmtService::CImpl::RenderVolume(const json& vol) {
    json d = RenderDisk(vol);
    json out = {{"urn", d["volumeUrn"]},
                {"uri", d["volumeUri"]},
                {"uuid", vol["uuid"]},
                {"name", vol["name"]},
                {"status", "USE"},
                {"vmUrn", vol.value("vmId", "").empty() ? "" : Urn("vms", vol["vmId"])},
                {"volCBTCreateTime", TimeText(vol["createSecs"].get<int64_t>())}};
    for (const char* k : {"quantityGB", "capacityBytes", "storageType", "isThin", "volType", "type",
                          "datastoreUrn", "datastoreName", "indepDisk", "persistentDisk",
                          "volNameOnDev", "volumeUrl", "sequenceNum", "pciType"}) {
        out[k] = d[k];
    }
    return out;
}

std::vector<json*> CMgmtService::CImpl::VolumesOf(const std::string& vmId) {
    std::vector<json*> out;
    for (auto& v : m_inv["volumes"]) {
        if (v.value("vmId", "") == vmId) out.push_back(&v);
    }
    std::sort(out.begin(), out.end(), [](const json* a, const json* b) {
        return (*a)["seq"].get<int>() < (*b)["seq"].get<int>();
    });
    return out;
}

json CMgmtService::CImpl::RenderVm(const json& vm, int detail) {
    std::string id = vm["id"];
    json out = {{"urn", Urn("vms", id)},  {"uri", Uri("vms", id)},
                {"uuid", vm["uuid"]},     {"name", vm["name"]},
                {"status", vm["status"]}, {"isTemplate", vm.value("template", false)}};
    if (detail < 1) return out;
    std::string hostId = vm.value("hostId", ""), clusterId = vm.value("clusterId", "");
    json* h = hostId.empty() ? nullptr : Find("hosts", hostId);
    json* c = clusterId.empty() ? nullptr : Find("clusters", clusterId);
    std::string folderId = vm.value("folderId", "");
    out["description"] = vm.value("description", "");
    out["isLinkClone"] = false;
    out["hostUrn"] = h ? Urn("hosts", hostId) : "";
    out["hostName"] = h ? (*h)["name"].get<std::string>() : "";
    out["clusterUrn"] = c ? Urn("clusters", clusterId) : "";
    out["clusterName"] = c ? (*c)["name"].get<std::string>() : "";
    out["location"] = c ? out["clusterUrn"] : out["hostUrn"];
    out["createTime"] = TimeText(vm.value("createSecs", int64_t(0)));
    out["pvDriverStatus"] = vm.value("tools", false) ? "running" : "notRunning";
    out["osOptions"] = {{"osType", vm.value("osType", "Linux")},
                        {"osVersion", vm.value("osVersion", 301)}};
    out["params"] = {{"parentObjUrn", folderId.empty() ? SiteUrn() : Urn("folders", folderId)}};
    json nics = json::array();
    for (auto& n : vm["nics"]) nics.push_back(RenderNic(vm, n));
    out["vmConfig"] = {{"cpu", {{"quantity", vm.value("cpu", 1)}}},
                       {"memory", {{"quantityMB", vm.value("memMB", 1024)}}},
                       {"nics", nics}};
    if (detail >= 2) {
        json disks = json::array();
        for (json* v : VolumesOf(id)) disks.push_back(RenderDisk(*v));
        out["vmConfig"]["disks"] = disks;
    }
    return out;
}

json CMgmtService::CImpl::RenderSnapshotBrief(const json& s) {
    std::string urn = Urn("vms", s["vmId"]) + ":snapshots:" + s["id"].get<std::string>();
    std::string uri = Uri("vms", s["vmId"]) + "/snapshots/" + s["id"].get<std::string>();
    return {{"urn", urn},
            {"uri", uri},
            {"name", s["name"]},
            {"description", s.value("description", "")},
            {"createTime", TimeText(s["createSecs"].get<int64_t>())},
            {"type", s.value("type", "normal")},
            {"status", "ready"}};
}

json CMgmtService::CImpl::RenderSnapshot(const json& s) {
    json out = RenderSnapshotBrief(s);
    out["createTimeSecs"] = s["createSecs"];
    out["includingMemorySnapshot"] = s.value("memory", false);
    out["isConsistent"] = s.value("consistent", false);
    json vols = json::array();
    for (auto& d : s["disks"]) {
        std::string volId = d["volId"];
        json* vol = Find("volumes", volId);
        json* ds = vol ? Find("datastores", (*vol)["dsId"]) : nullptr;
        std::string chg = volId + "-" + std::to_string(d["seq"].get<uint64_t>());
        vols.push_back(
            {{"volumeUrn", Urn("volumes", volId)},
             {"volumeUri", Uri("volumes", volId)},
             {"storageType", ds ? (*ds)["type"] : json("")},
             {"datastoreUrn", ds ? json(Urn("datastores", (*ds)["id"])) : json("")},
             {"snapUuid", d["snapUuid"]},
             {"snapNameOnDev", d.value("fsName", "")},
             {"volCBTCreateTime", vol ? TimeText((*vol)["createSecs"].get<int64_t>()) : ""},
             {"chgID", chg},
             {"ChgID", chg}});
    }
    out["volsnapshots"] = vols;
    return out;
}

// ---- shared operations -----------------------------------------------------------------------

json& CMgmtService::CImpl::Placement(const std::string& location, std::string& hostId,
                                     std::string& clusterId) {
    if (!(clusterId = IdFromUrn(location, "clusters")).empty()) {
        Obj("clusters", clusterId, "10300028", "cluster");
        for (json* h : Sorted("hosts")) {
            if ((*h)["clusterId"] == clusterId) {
                hostId = (*h)["id"];
                return *h;
            }
        }
        Fail("10300414", "The cluster has no host to place the VM on.");
    }
    hostId = IdFromUrn(location, "hosts");
    json& h = Obj("hosts", hostId, "10300027", "host");
    clusterId = h.value("clusterId", "");
    return h;
}

json& CMgmtService::CImpl::CreateVolumeRecord(const std::string& name, uint64_t capacity,
                                              const std::string& dsId, bool thin, int volType,
                                              const std::string& uuid) {
    json& ds = Obj("datastores", dsId, "10410006", "datastore");
    if (capacity == 0 || capacity % 512 != 0) {
        Fail("10000001", "The disk size must be a positive multiple of 512 bytes.");
    }
    uint64_t used = DatastoreUsed(dsId), cap = ds["capacityBytes"].get<uint64_t>();
    if (used > cap || capacity > cap - used) {
        Fail("10410011", "The datastore does not have enough free space.");
    }
    if (!uuid.empty()) {
        for (auto& v : m_inv["volumes"]) {
            if (v["uuid"] == uuid) Fail("10000009", "A volume with this uuid exists already.");
        }
    }
    std::string id = NewId();
    std::string err;
    std::string path = m_state.DiskPath(id);
    ::unlink(path.c_str());  // a leftover of an earlier state must not leak into a new disk
    if (!CreateSparseFile(path, capacity, err)) Fail("10000010", err, 500);
    m_state.DropJournal(id);
    json v = {{"id", id},
              {"uuid", uuid.empty() ? NewUuid() : uuid},
              {"name", name.empty() ? "volume-" + id : name},
              {"capacity", capacity},
              {"dsId", dsId},
              {"thin", thin},
              {"volType", volType},
              {"indep", false},
              {"persistent", true},
              {"vmId", ""},
              {"seq", 0},
              {"pciType", "VIRTIO"},
              {"createSecs", CSimState::Now()}};
    m_inv["volumes"][id] = v;
    Touch();
    return m_inv["volumes"][id];
}

void CMgmtService::CImpl::DeleteVolumeRecord(const std::string& volId) {
    // Leases on the live disk end with it; frozen copies belong to their snapshots.
    for (const SLease& l : m_state.ListLeases()) {
        if (l.strDiskID == volId && l.strPath == m_state.DiskPath(volId)) {
            m_state.DeleteLease(l.strAccessID);
        }
    }
    ::unlink(m_state.DiskPath(volId).c_str());
    m_state.DropJournal(volId);
    m_inv["volumes"].erase(volId);
    Touch();
}

void CMgmtService::CImpl::DeleteSnapshotRecord(const std::string& snapId) {
    json* s = Find("snapshots", snapId);
    if (!s) return;
    std::string parent = s->value("parentId", "");
    std::string vmId = (*s)["vmId"];
    for (auto& o : m_inv["snapshots"]) {
        if (o.value("parentId", "") == snapId) o["parentId"] = parent;
    }
    json* vm = Find("vms", vmId);
    if (vm && vm->value("currentSnap", "") == snapId) (*vm)["currentSnap"] = parent;
    for (auto& d : (*s)["disks"]) {
        std::string fsName = d.value("fsName", "");
        if (!fsName.empty()) m_state.DeleteFsSnapshot(fsName);
    }
    std::string dir = m_state.Root() + "/snapshots/" + snapId;
    for (const SLease& l : m_state.ListLeases()) {
        if (l.strPath.compare(0, dir.size() + 1, dir + "/") == 0) {
            m_state.DeleteLease(l.strAccessID);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    m_inv["snapshots"].erase(snapId);
    Touch();
}

void CMgmtService::CImpl::AttachVolume(json& vm, json& vol, int seq, const std::string& pciType) {
    if (!vol.value("vmId", "").empty()) Fail("10300074", "The volume is attached already.");
    std::vector<json*> vols = VolumesOf(vm["id"]);
    auto used = [&](int s) {
        return std::any_of(vols.begin(), vols.end(),
                           [&](const json* v) { return (*v)["seq"].get<int>() == s; });
    };
    if (seq <= 0) {
        seq = 1;
        while (used(seq)) ++seq;
    } else if (used(seq)) {
        Fail("10300070", "The disk slot is in use.");
    }
    if (seq > 60) Fail("10300070", "No disk slot is free.");
    vol["vmId"] = vm["id"];
    vol["seq"] = seq;
    vol["pciType"] = pciType.empty() ? "VIRTIO" : pciType;
    Touch();
}

std::string CMgmtService::CImpl::PortGroupByUrnOrName(const std::string& urn,
                                                      const std::string& name) {
    for (json* p : Sorted("portgroups")) {
        json r = RenderPortGroup(*p);
        if ((!urn.empty() && r["urn"] == urn) ||
            (urn.empty() && !name.empty() && r["name"] == name)) {
            return (*p)["id"];
        }
    }
    Fail("10540107", "The port group does not exist.");
}

json& CMgmtService::CImpl::AddNic(json& vm, const std::string& name, const std::string& pgId,
                                  const std::string& mac, int seq) {
    json& nics = vm["nics"];
    if (nics.size() >= 16) Fail("10300012", "The VM has the most NICs it can have.");
    std::string m = mac;
    if (m.empty()) {
        std::string h = RandomHex(3);
        m = "28:6e:d4:" + h.substr(0, 2) + ":" + h.substr(2, 2) + ":" + h.substr(4, 2);
    }
    for (auto& v : m_inv["vms"]) {
        for (auto& n : v["nics"]) {
            if (n["mac"] == m) Fail("10300045", "The MAC address is in use.");
        }
    }
    if (seq < 0) {
        seq = 0;
        bool bUsed = true;
        while (bUsed) {
            bUsed = false;
            for (auto& n : nics) bUsed = bUsed || n["seq"].get<int>() == seq;
            if (bUsed) ++seq;
        }
    }
    int nextId = vm.value("nextNicId", 1);
    vm["nextNicId"] = nextId + 1;
    json nic = {{"id", std::to_string(nextId)},
                {"name", name.empty() ? "nic" + std::to_string(nextId) : name},
                {"seq", seq},
                {"mac", m},
                {"pgId", pgId}};
    nics.push_back(nic);
    Touch();
    return nics.back();
}

bool CMgmtService::CImpl::LeaseAlive(const std::string& accessId) {
    SLease l;
    return m_state.GetLease(accessId, l) && l.tExpires > CSimState::Now();
}

uint64_t CMgmtService::CImpl::GuestWrite(const std::string& volId, uint64_t offset,
                                         const std::string& data, std::string& err) {
    json* vol = Find("volumes", volId);
    if (!vol) {
        err = "no such volume";
        return 0;
    }
    uint64_t cap = (*vol)["capacity"].get<uint64_t>();
    if (data.empty() || offset > cap || data.size() > cap - offset) {
        err = "the write is empty or runs past the end of the disk";
        return 0;
    }
    if (!WriteAt(m_state.DiskPath(volId), offset, data, err)) return 0;
    // The data is in the file before the journal names it, so a snapshot that reads the
    // journal position first never misses a write that position covers.
    uint64_t seq = m_state.MarkWritten(volId, offset, data.size());
    if (seq == 0) err = "the change journal could not be written";
    return seq;
}

}  // namespace fcsim
