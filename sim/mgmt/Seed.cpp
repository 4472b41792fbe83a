// The demo inventory: a site, two clusters (one in a cluster folder), a free host, three
// datastores (one FusionStorage), a port-group switch, a VM folder tree, a template and four
// VMs with one to three disks holding data.
#include "MgmtInternal.h"

namespace fcsim {

namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kGiB = 1ull << 30;

// Deterministic, disk-specific content, so that a restored disk can be told from another.
std::string Pattern(const std::string& volId, uint64_t offset, size_t len) {
    std::string out(len, '\0');
    uint64_t x = std::stoull(volId) * 0x9E3779B97F4A7C15ull + offset;
    for (size_t i = 0; i < len; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<char>(x & 0xff);
    }
    return out;
}

}  // namespace

bool CMgmtService::CImpl::SeedDemo(std::string& err) {
    std::vector<std::string> snaps, vols;
    for (const json* snap : m_inventory.Sorted("snapshots")) snaps.push_back((*snap)["id"]);
    for (const json* vol : m_inventory.Sorted("volumes")) vols.push_back((*vol)["id"]);
    for (auto& snap : snaps) DeleteSnapshotRecord(snap);
    for (auto& vol : vols) DeleteVolumeRecord(vol);
    for (const SLease& l : m_state.ListLeases()) m_state.DeleteLease(l.strAccessID);
    m_inventory.Reset(Settings().strSiteId);
    auto add = [&](const char* kind, json obj) {
        std::string id = m_inventory.NewId();
        obj["id"] = id;
        m_inventory.Create(kind, obj);
        return id;
    };
    std::string fPool = add("folders", {{"name", "compute-pool"}, {"type", 0}, {"parentId", ""}});
    std::string fProd = add("folders", {{"name", "production"}, {"type", 1}, {"parentId", ""}});
    std::string fWeb = add("folders", {{"name", "web"}, {"type", 1}, {"parentId", fProd}});
    std::string fTest = add("folders", {{"name", "test"}, {"type", 1}, {"parentId", ""}});
    std::string cA = add("clusters", {{"name", "cluster-a"}, {"folderId", fPool}});
    std::string cB = add("clusters", {{"name", "cluster-b"}, {"folderId", ""}});
    auto host = [&](const char* name, const std::string& cluster) {
        return add("hosts", {{"name", name},
                             {"ip", "127.0.0.1"},
                             {"clusterId", cluster},
                             {"cpu", 32},
                             {"memMB", 131072}});
    };
    std::string h1 = host("cna-01", cA), h2 = host("cna-02", cA), h3 = host("cna-03", cB);
    std::string hFree = host("cna-spare", "");
    std::string dsLocal = add("datastores", {{"name", "ds-local"},
                                             {"type", "local"},
                                             {"capacityBytes", 500 * kGiB},
                                             {"thin", true},
                                             {"hostIds", {h1, h2}},
                                             {"luns", json::array()},
                                             {"suName", "local"}});
    std::string dsSan = add("datastores", {{"name", "ds-san"},
                                           {"type", "san"},
                                           {"capacityBytes", 1024 * kGiB},
                                           {"thin", false},
                                           {"hostIds", {h1, h2, h3, hFree}},
                                           {"luns", {"6888603000000001", "6888603000000002"}},
                                           {"suName", "san-lun"}});
    std::string dsFs = add("datastores", {{"name", "ds-fusionstorage"},
                                          {"type", "DSWARE"},
                                          {"capacityBytes", 2048 * kGiB},
                                          {"thin", true},
                                          {"hostIds", {h1, h2, h3}},
                                          {"luns", {"fs-pool-1"}},
                                          {"suName", "pool"}});
    std::string dvs = add("dvswitchs", {{"name", "dvs-1"}});
    std::string pgProd = add("portgroups", {{"dvsId", dvs}, {"name", "pg-prod"}, {"vlan", 10}});
    std::string pgBackup = add("portgroups", {{"dvsId", dvs}, {"name", "pg-backup"}, {"vlan", 20}});

    struct SDiskSpec {
        uint64_t ullSize;
        std::string strDs;
        bool bThin;
        bool bIndep;
    };
    auto vm = [&](const std::string& name, bool bTemplate, bool bRunning, bool bTools,
                  const std::string& hostId, const std::string& clusterId,
                  const std::string& folderId, const std::vector<SDiskSpec>& disks,
                  const std::vector<std::string>& pgs) {
        std::string id = m_inventory.NewVmId();
        json& rec = m_inventory.Create("vms", {{"id", id},
                                               {"uuid", NewUuid()},
                                               {"name", name},
                                               {"description", "demo VM"},
                                               {"template", bTemplate},
                                               {"status", bRunning ? "running" : "stopped"},
                                               {"hostId", hostId},
                                               {"clusterId", clusterId},
                                               {"folderId", folderId},
                                               {"cpu", 2},
                                               {"memMB", 2048},
                                               {"osType", "Linux"},
                                               {"osVersion", 301},
                                               {"tools", bTools},
                                               {"createSecs", CSimState::Now()},
                                               {"nics", json::array()},
                                               {"nextNicId", 1},
                                               {"currentSnap", ""}});
        int seq = 1;
        for (const SDiskSpec& d : disks) {
            json& vol = CreateVolumeRecord(name + "-disk" + std::to_string(seq), d.ullSize, d.strDs,
                                           d.bThin, d.bThin ? 0 : 1, "");
            vol["indep"] = d.bIndep;
            m_inventory.AttachVolume(rec, vol, seq, "VIRTIO");
            std::string volId = vol["id"];
            std::string e;
            if (GuestWrite(volId, 0, Pattern(volId, 0, kMiB), e) == 0 ||
                GuestWrite(volId, d.ullSize / 2, Pattern(volId, d.ullSize / 2, 256 * 1024), e) ==
                    0) {
                err = "seeding disk " + volId + ": " + e;
                return false;
            }
            ++seq;
        }
        int n = 1;
        for (const std::string& pg : pgs)
            m_inventory.AddNic(rec, "nic" + std::to_string(n++), pg, "", -1);
        return true;
    };
    bool ok = vm("tpl-linux", true, false, false, h1, cA, "", {{32 * kMiB, dsSan, false, false}},
                 {pgProd}) &&
              vm("web-01", false, true, true, h1, cA, fWeb,
                 {{64 * kMiB, dsLocal, true, false}, {32 * kMiB, dsSan, false, false}},
                 {pgProd, pgBackup}) &&
              vm("db-01", false, true, true, h2, cA, fProd,
                 {{64 * kMiB, dsLocal, true, false},
                  {128 * kMiB, dsSan, false, false},
                  {16 * kMiB, dsLocal, true, true}},
                 {pgProd}) &&
              vm("app-01", false, false, false, h3, cB, fTest, {{48 * kMiB, dsSan, false, false}},
                 {pgProd}) &&
              vm("fs-01", false, true, true, h3, cB, fProd,
                 {{64 * kMiB, dsFs, true, false}, {32 * kMiB, dsLocal, true, false}}, {pgProd});
    (void)fTest;
    return ok;
}

}  // namespace fcsim
