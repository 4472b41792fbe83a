// The core shared by the handlers: construction, settings, sessions, tasks and the operations
// several handlers need.
#include <unistd.h>

#include <filesystem>

#include "DiskCow.h"
#include "DiskFiles.h"
#include "MgmtInternal.h"

namespace fcsim {

CMgmtService::CImpl::CImpl(CSimState& state, CFaultTable& faults, const SMgmtSettings& settings)
    : m_state(state),
      m_faults(faults),
      m_settings(settings),
      m_inventory(settings.strSiteId),
      m_render(m_inventory, state) {}

CMgmtService::CImpl::~CImpl() = default;

SMgmtSettings CMgmtService::CImpl::Settings() const {
    std::lock_guard<std::mutex> g(m_mtxSettings);
    return m_settings;
}

void CMgmtService::CImpl::SetSettings(const SMgmtSettings& settings) {
    std::lock_guard<std::mutex> g(m_mtxSettings);
    m_settings = settings;
}

// ---- sessions --------------------------------------------------------------------------------

std::string CMgmtService::CImpl::OpenSession() {
    const int64_t idle = Settings().llSessionIdleSecs;
    std::string token = RandomHex(20);
    std::lock_guard<std::mutex> g(m_mtxSessions);
    int64_t now = CSimState::Now();
    // Forget sessions that timed out, so that logins without logouts cannot pile up.
    for (auto it = m_mapSessions.begin(); it != m_mapSessions.end();)
        it = now - it->second > idle ? m_mapSessions.erase(it) : std::next(it);
    m_mapSessions[token] = now;
    return token;
}

void CMgmtService::CImpl::CloseSession(const std::string& token) {
    std::lock_guard<std::mutex> g(m_mtxSessions);
    m_mapSessions.erase(token);
}

bool CMgmtService::CImpl::RenewSession(const std::string& token) {
    int64_t now = CSimState::Now();
    int64_t idle = Settings().llSessionIdleSecs;
    std::lock_guard<std::mutex> g(m_mtxSessions);
    auto it = m_mapSessions.find(token);
    if (token.empty() || it == m_mapSessions.end() || now - it->second > idle) {
        if (it != m_mapSessions.end()) m_mapSessions.erase(it);
        return false;
    }
    it->second = now;
    return true;
}

// ---- tasks -----------------------------------------------------------------------------------

json CMgmtService::CImpl::MakeTask(const std::string& id, const std::string& type,
                                   const std::string& entityUrn, const std::string& reason,
                                   const std::string& reasonDes) {
    int64_t nowMs = CSimState::Now() * 1000;
    m_inventory.Create("tasks", {{"id", id},
                                 {"type", type},
                                 {"entityUrn", entityUrn},
                                 {"status", reason.empty() ? "success" : "failed"},
                                 {"reason", reason},
                                 {"reasonDes", reasonDes},
                                 {"pollsLeft", Settings().nTaskPolls},
                                 {"startMs", nowMs},
                                 {"finishMs", nowMs}});
    return {{"taskUrn", m_inventory.Urn("tasks", id)}, {"taskUri", m_inventory.Uri("tasks", id)}};
}

json CMgmtService::CImpl::NewTask(const std::string& type, const std::string& entityUrn,
                                  const std::string& reason, const std::string& reasonDes) {
    return MakeTask(m_inventory.NewId(), type, entityUrn, reason, reasonDes);
}

json CMgmtService::CImpl::NewTaskWithId(const std::string& id, const std::string& type,
                                        const std::string& entityUrn) {
    return MakeTask(id, type, entityUrn, "", "");
}

// ---- shared operations -----------------------------------------------------------------------

json& CMgmtService::CImpl::Placement(const std::string& location, std::string& hostId,
                                     std::string& clusterId) {
    if (!(clusterId = m_inventory.IdFromUrn(location, "clusters")).empty()) {
        m_inventory.Obj("clusters", clusterId, "10300028", "cluster");
        for (json* h : m_inventory.Sorted("hosts")) {
            if ((*h)["clusterId"] == clusterId) {
                hostId = (*h)["id"];
                return *h;
            }
        }
        Fail("10300414", "The cluster has no host to place the VM on.");
    }
    hostId = m_inventory.IdFromUrn(location, "hosts");
    json& h = m_inventory.Obj("hosts", hostId, "10300027", "host");
    clusterId = h.value("clusterId", "");
    return h;
}

json& CMgmtService::CImpl::CreateVolumeRecord(const std::string& name, uint64_t capacity,
                                              const std::string& dsId, bool thin, int volType,
                                              const std::string& uuid) {
    json& ds = m_inventory.Obj("datastores", dsId, "10410006", "datastore");
    if (capacity == 0 || capacity % 512 != 0) {
        Fail("10000001", "The disk size must be a positive multiple of 512 bytes.");
    }
    uint64_t used = m_inventory.DatastoreUsed(dsId), cap = ds["capacityBytes"].get<uint64_t>();
    if (used > cap || capacity > cap - used) {
        Fail("10410011", "The datastore does not have enough free space.");
    }
    if (!uuid.empty()) {
        if (m_inventory.Any("volumes", [&](const json& v) { return v["uuid"] == uuid; }))
            Fail("10000009", "A volume with this uuid exists already.");
    }
    std::string id = m_inventory.NewId();
    std::string err;
    std::string path = m_state.DiskPath(id);
    // A leftover of an earlier state must not leak into a new disk, nor take its snapshots'
    // shared blocks with it.
    if (!CDiskCow(m_state, id).MaterializeAll(err)) Fail("10000010", err, 500);
    ::unlink(path.c_str());
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
    return m_inventory.Create("volumes", v);
}

void CMgmtService::CImpl::DeleteVolumeRecord(const std::string& volId) {
    // Leases on the live disk end with it; frozen copies belong to their snapshots.
    for (const SLease& l : m_state.ListLeases()) {
        if (l.strDiskID == volId && l.strPath == m_state.DiskPath(volId)) {
            m_state.DeleteLease(l.strAccessID);
        }
    }
    // Snapshots outlive their disk: they must stop sharing its blocks first.
    std::string err;
    if (!CDiskCow(m_state, volId).MaterializeAll(err)) Fail("10000010", err, 500);
    ::unlink(m_state.DiskPath(volId).c_str());
    m_state.DropJournal(volId);
    m_inventory.Delete("volumes", volId);
}

void CMgmtService::CImpl::DeleteSnapshotRecord(const std::string& snapId) {
    json* s = m_inventory.Find("snapshots", snapId);
    if (!s) return;
    std::string parent = s->value("parentId", "");
    std::string vmId = (*s)["vmId"];
    for (json* o : m_inventory.Sorted("snapshots")) {
        if (o->value("parentId", "") == snapId) (*o)["parentId"] = parent;
    }
    json* vm = m_inventory.Find("vms", vmId);
    if (vm && vm->value("currentSnap", "") == snapId) (*vm)["currentSnap"] = parent;
    for (auto& d : (*s)["disks"]) {
        std::string fsName = d.value("fsName", "");
        if (!fsName.empty()) m_state.DeleteFsSnapshot(fsName);
        CDiskCow(m_state, d["volId"]).Forget(snapId);
    }
    std::string dir = m_state.Root() + "/snapshots/" + snapId;
    for (const SLease& l : m_state.ListLeases()) {
        if (l.strPath.compare(0, dir.size() + 1, dir + "/") == 0) {
            m_state.DeleteLease(l.strAccessID);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    m_inventory.Delete("snapshots", snapId);
}

std::string CMgmtService::CImpl::PortGroupByUrnOrName(const std::string& urn,
                                                      const std::string& name) {
    for (json* p : m_inventory.Sorted("portgroups")) {
        json r = m_render.PortGroup(*p);
        if ((!urn.empty() && r["urn"] == urn) ||
            (urn.empty() && !name.empty() && r["name"] == name)) {
            return (*p)["id"];
        }
    }
    Fail("10540107", "The port group does not exist.");
}

bool CMgmtService::CImpl::LeaseAlive(const std::string& accessId) {
    SLease l;
    return m_state.GetLease(accessId, l) && l.tExpires > CSimState::Now();
}

uint64_t CMgmtService::CImpl::GuestWrite(const std::string& volId, uint64_t offset,
                                         const std::string& data, std::string& err) {
    json* vol = m_inventory.Find("volumes", volId);
    if (!vol) {
        err = "no such volume";
        return 0;
    }
    uint64_t cap = (*vol)["capacity"].get<uint64_t>();
    if (data.empty() || offset > cap || data.size() > cap - offset) {
        err = "the write is empty or runs past the end of the disk";
        return 0;
    }
    CDiskCow cow(m_state, volId);
    if (!cow.WriteLive(
            offset, data.size(),
            [&] { return WriteAt(m_state.DiskPath(volId), offset, data, err); }, err))
        return 0;
    // The data is in the file before the journal names it, so a snapshot that reads the
    // journal position first never misses a write that position covers.
    uint64_t seq = m_state.MarkWritten(volId, offset, data.size());
    if (seq == 0) err = "the change journal could not be written";
    return seq;
}

}  // namespace fcsim
