// Volumes, changed-block bitmaps and disk access (backup resources with leases).
#include <arpa/inet.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include "DiskCow.h"
#include "DiskFiles.h"
#include "DiskWatch.h"
#include "MgmtInternal.h"

namespace fcsim {

namespace {

using CImpl = CMgmtService::CImpl;

constexpr int64_t kMaxLeaseSecs = 7200;

json& Vol(CImpl& d, SReq& r, const char* code = "10420004") {
    return d.Inv().Obj("volumes", r.vecArgs[1], code, "volume");
}

bool ParseU64(const std::string& s, uint64_t& out) {
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    out = std::stoull(s);
    return true;
}

// Whether a SAN client could open the frozen files itself: the datastore's LUNs are presented
// (ExposeSanLuns) in a folder that holds the state, the device folder the SDK insists on.
bool LunsPresented(CImpl& d, const json& vol) {
    json* ds = d.Inv().Find("datastores", vol["dsId"]);
    if (!ds || !ds->contains("luns") || (*ds)["luns"].empty()) return false;
    char real[PATH_MAX];
    if (!::realpath(d.State().Root().c_str(), real)) return false;
    for (std::string dir = real; !dir.empty(); dir = dir.substr(0, dir.rfind('/'))) {
        bool all = true;
        for (const auto& lun : (*ds)["luns"]) {
            struct stat st {};
            all = all && ::stat((dir + "/" + lun.get<std::string>()).c_str(), &st) == 0;
        }
        if (all) return true;
    }
    return false;
}

json ListVolumes(CImpl& d, SReq& r) {
    std::string uuid = r.Query("uuid"), name = r.Query("name"), scope = r.Query("scope");
    std::string dsId;
    if (!scope.empty()) {
        dsId = d.Inv().IdFromUrn(scope, "datastores");
        d.Inv().Obj("datastores", dsId, "10410006", "datastore");
    }
    std::vector<json> items;
    for (json* v : d.Inv().Sorted("volumes")) {
        if (!uuid.empty() && (*v)["uuid"] != uuid) continue;
        if (!name.empty() && (*v)["name"] != name) continue;
        if (!dsId.empty() && (*v)["dsId"] != dsId) continue;
        items.push_back(d.Render().Volume(*v));
    }
    return Page(items, r, "volumes");
}

json GetVolume(CImpl& d, SReq& r) {
    return d.Render().Volume(Vol(d, r));
}

json CreateVolume(CImpl& d, SReq& r) {
    const json& b = r.body;
    std::string type = BodyStr(b, "type", "normal");
    if (type != "normal") Fail("10000001", "Only normal volumes are offered.");
    uint64_t cap = static_cast<uint64_t>(BodyInt(b, "capacityBytes", 0));
    int64_t gb = BodyInt(b, "quantityGB", 0);
    if (cap == 0 && gb > 0 && gb <= 65536) cap = static_cast<uint64_t>(gb) << 30;
    if (cap == 0) Fail("10000001", "quantityGB or capacityBytes is required.");
    std::string dsId = d.Inv().IdFromUrn(BodyStr(b, "datastoreUrn"), "datastores");
    int volType = static_cast<int>(BodyInt(b, "volType", 0));
    if (volType < 0 || volType > 2) Fail("10000001", "volType must be 0, 1 or 2.");
    json& vol = d.CreateVolumeRecord(BodyStr(b, "name"), cap, dsId, BodyBool(b, "isThin", false),
                                     volType, BodyStr(b, "uuid"));
    std::string id = vol["id"];
    json out = d.NewTask("CreateVolumeTask", d.Inv().Urn("volumes", id));
    out["urn"] = d.Inv().Urn("volumes", id);
    out["uri"] = d.Inv().Uri("volumes", id);
    return out;
}

json ModifyVolume(CImpl& d, SReq& r) {
    json& vol = Vol(d, r);
    std::string name = BodyStr(r.body, "name");
    if (BodyHas(r.body, "name") && (name.empty() || name.size() > 256)) {
        Fail("10000012", "The name must be 1 to 256 characters.");
    }
    bool bIndep = BodyBool(r.body, "indepDisk", vol.value("indep", false));
    bool bPersistent = BodyBool(r.body, "persistentDisk", vol.value("persistent", true));
    if (!name.empty()) vol["name"] = name;
    vol["indep"] = bIndep;
    vol["persistent"] = bPersistent;
    d.Inv().Touch();
    return nullptr;
}

json DeleteVolume(CImpl& d, SReq& r) {
    json& vol = Vol(d, r);
    if (!vol.value("vmId", "").empty()) Fail("10420009", "The volume is attached to a VM.");
    std::string urn = d.Inv().Urn("volumes", vol["id"]);
    d.DeleteVolumeRecord(vol["id"]);
    return d.NewTask("DeleteVolumeTask", urn);
}

// The snapshot entry of this volume named by a disk snapshot id ("<snapId>-<volId>").
const json& DiskSnapshot(CImpl& d, const std::string& volId, const std::string& snapUuid,
                         std::string& snapId) {
    size_t dash = snapUuid.find('-');
    snapId = dash == std::string::npos ? "" : snapUuid.substr(0, dash);
    json* s = snapId.empty() ? nullptr : d.Inv().Find("snapshots", snapId);
    if (s) {
        for (const auto& e : (*s)["disks"]) {
            if (e["volId"] == volId && e["snapUuid"] == snapUuid) return e;
        }
    }
    Fail("10300400", "The disk snapshot does not exist.");
}

json GetCbt(CImpl& d, SReq& r) {
    json& vol = Vol(d, r);
    std::string volId = vol["id"];
    const json& b = r.body;
    json* ds = d.Inv().Find("datastores", vol["dsId"]);
    if (ds && (*ds)["type"] == "DSWARE") {
        Fail("10410102", "This datastore type does not offer change bitmaps.");
    }
    std::string type = BodyStr(b, "type");
    if (type != "DiffBitmapAndBit1Num" && type != "DiffBitmapBit1Num") {
        Fail("10400002", "type must be DiffBitmapAndBit1Num or DiffBitmapBit1Num.");
    }
    std::string snapUuid = BodyStr(b, "snapUuid");
    if (snapUuid.empty()) Fail("10400002", "snapUuid is required.");
    std::string snapId;
    const json& entry = DiskSnapshot(d, volId, snapUuid, snapId);
    std::string created = BodyStr(b, "volCBTCreateTime");
    if (!created.empty() && created != TimeText(vol["createSecs"].get<int64_t>())) {
        Fail("10400002", "volCBTCreateTime does not match: change tracking was restarted.");
    }
    int64_t start = BodyInt(b, "startBlock", 0), count = BodyInt(b, "blockNum", 0);
    if (start < 0 || count < 0 || start % 8 != 0 || count % 8 != 0) {
        Fail("10400002", "startBlock and blockNum must be non-negative multiples of 8.");
    }
    uint64_t snapSeq = entry["seq"].get<uint64_t>();
    uint64_t cap = vol["capacity"].get<uint64_t>();
    CBlockBitmap bitmap(cap);
    if (BodyHas(b, "chgID")) {
        std::string chg = BodyStr(b, "chgID");
        size_t dash = chg.rfind('-');
        uint64_t fromSeq = 0;
        if (dash == std::string::npos || chg.substr(0, dash) != volId ||
            !ParseU64(chg.substr(dash + 1), fromSeq) || fromSeq > snapSeq) {
            Fail("10400002", "chgID does not name an earlier point of this volume.");
        }
        for (const SWrite& w : d.State().WritesBetween(volId, fromSeq, snapSeq)) {
            bitmap.SetRange(w.ullOffset, w.ullLength);
        }
    } else {
        std::vector<std::pair<uint64_t, uint64_t>> extents;
        std::string err;
        CFrozenDisk frozen(d.State(), volId, d.State().SnapshotDiskPath(snapId, volId));
        if (!frozen.Open(err) || !frozen.Extents(extents, err)) {
            Fail("10430041", "The bitmap could not be read: " + err, 500);
        }
        for (auto& e : extents) bitmap.SetRange(e.first, e.second);
    }
    uint64_t bitNum = 0, bit1Num = 0;
    std::string hex =
        bitmap.Hex(static_cast<uint64_t>(start), static_cast<uint64_t>(count), bitNum, bit1Num);
    json out = {{"sectorOfBlock", kCbtSectorsPerBlock}, {"bitNum", bitNum}, {"bit1Num", bit1Num}};
    if (type == "DiffBitmapAndBit1Num") out["bitMap"] = hex;
    return out;
}

json PrepareResource(CImpl& d, SReq& r) {
    json& vol = Vol(d, r, "10300295");
    std::string volId = vol["id"];
    const json& b = r.body;
    std::string taskType = BodyStr(b, "taskType");
    if (taskType != "CBTBackup" && taskType != "CBTRestore") {
        Fail("10300292", "taskType must be CBTBackup or CBTRestore.");
    }
    std::string ip = BodyStr(b, "ip");
    in_addr addr{};
    if (ip.empty() || inet_pton(AF_INET, ip.c_str(), &addr) != 1) {
        Fail("10000014", "ip must be the client's IPv4 address.");
    }
    int64_t delay = d.Settings().llLeaseSecs;
    if (BodyHas(b, "delay")) {
        delay = BodyInt(b, "delay", 0);
        if (delay < 60 || delay > kMaxLeaseSecs) Fail("10300290", "delay must be 60 to 7200.");
    }
    std::string mode = BodyStr(b, "transMode", "lan");
    if (mode != "lan") Fail("10300430", "Only transMode lan is offered.");
    SLease lease;
    std::string snapId;
    if (taskType == "CBTBackup") {
        std::string urn = BodyStr(b, "snapUrn2");
        size_t pos = urn.rfind(":snapshots:");
        snapId = pos == std::string::npos ? "" : urn.substr(pos + 11);
        json* s = snapId.empty() ? nullptr : d.Inv().Find("snapshots", snapId);
        if (!s || d.Inv().Urn("vms", (*s)["vmId"]) + ":snapshots:" + snapId != urn) {
            Fail("10300405", "The end snapshot does not exist.");
        }
        bool bHas = false;
        for (auto& e : (*s)["disks"]) bHas = bHas || e["volId"] == volId;
        if (!bHas) Fail("10300400", "The snapshot does not hold this disk.");
        std::string err;
        if (LunsPresented(d, vol) && !CDiskCow(d.State(), volId).Materialize(snapId, err)) {
            Fail("10430042", "The disk access could not be set up: " + err, 500);
        }
        lease.strPath = d.State().SnapshotDiskPath(snapId, volId);
        lease.bWritable = false;
    } else {
        if (BodyHas(b, "snapUrn1") || BodyHas(b, "snapUrn2")) {
            Fail("10300409", "A restore takes no snapshot.");
        }
        lease.strPath = d.State().DiskPath(volId);
        lease.bWritable = true;
    }
    std::string id = d.Inv().NewId();
    lease.strAccessID = id;
    lease.strToken = RandomHex(16);
    lease.strDiskID = volId;
    lease.tExpires = CSimState::Now() + delay;
    if (!d.State().PutLease(lease)) Fail("10430042", "The disk access could not be set up.", 500);
    // A writer may reach the live disk over SAN, around the CNA and its journal: watch it.
    std::string err;
    if (lease.bWritable && !CDiskWatch(d.State()).Begin(volId, CDiskWatch::LeaseHolder(id), err)) {
        d.State().DeleteLease(id);
        Fail("10430042", "The disk access could not be set up: " + err, 500);
    }
    d.Inv().Create("resources", {{"id", id},
                                 {"volId", volId},
                                 {"taskType", taskType},
                                 {"snapId", snapId},
                                 {"failed", false},
                                 {"pollsLeft", d.Settings().nTaskPolls},
                                 {"startSecs", CSimState::Now()}});
    // The access id is the task's id: a client finds the resource from the task's URI.
    return d.NewTaskWithId(id, taskType, d.Inv().Urn("volumes", volId));
}

json& Resource(CImpl& d, SReq& r) {
    json* res = d.Inv().Find("resources", r.vecArgs[2]);
    if (!res || (*res)["volId"] != r.vecArgs[1]) {
        Fail("10300402", "The backup resource does not exist.");
    }
    return *res;
}

// Ends the watch a restore's access holds on the live disk, journalling what it wrote.
bool EndWatch(CImpl& d, const json& res, std::string& err) {
    if (res.value("taskType", "") != "CBTRestore") return true;
    return CDiskWatch(d.State()).End(res["volId"], CDiskWatch::LeaseHolder(res["id"]), err);
}

// The resource's lease, or a "no such resource" error when it has run out (and is then
// forgotten, as the platform releases it by itself).
SLease LiveLease(CImpl& d, json& res) {
    SLease l;
    std::string id = res["id"];
    if (!res.value("failed", false) && d.State().GetLease(id, l) && l.tExpires > CSimState::Now()) {
        return l;
    }
    if (!res.value("failed", false)) {
        // Should the fold fail, the expired holder is let go by the next one (a snapshot's).
        std::string ignored;
        EndWatch(d, res, ignored);
        d.State().DeleteLease(id);
        d.Inv().Delete("resources", id);
    }
    Fail("10300402", "The backup resource does not exist or has expired.");
}

json GetResource(CImpl& d, SReq& r) {
    json& res = Resource(d, r);
    std::string id = res["id"];
    std::string volId = r.vecArgs[1];
    json out = {{"urn", d.Inv().Urn("volumes", volId) + ":backupresources:" + id},
                {"uri", d.Inv().Uri("volumes", volId) + "/backupresources/" + id},
                {"runningTime", CSimState::Now() - res.value("startSecs", CSimState::Now())}};
    int polls = res.value("pollsLeft", 0);
    if (polls > 0) {
        res["pollsLeft"] = polls - 1;
        d.Inv().Touch();
        out["status"] = "running";
        out["reason"] = "";
        out["reasonDes"] = "";
        return out;
    }
    if (res.value("failed", false)) {
        out["status"] = "failed";
        out["reason"] = res["reason"];
        out["reasonDes"] = res["reasonDes"];
        return out;
    }
    SLease l = LiveLease(d, res);
    SMgmtSettings s = d.Settings();
    out["status"] = "success";
    out["reason"] = "";
    out["reasonDes"] = "";
    out["hostIP"] = s.strCnaHost;
    out["hostPort"] = s.nCnaPort;
    out["targetFile"] = l.strPath;
    out["token"] = l.strToken;
    out["expiresIn"] = l.tExpires - CSimState::Now();
    return out;
}

json ExtendResource(CImpl& d, SReq& r) {
    json& res = Resource(d, r);
    if (!BodyHas(r.body, "delay")) Fail("10300291", "delay is required.");
    int64_t delay = BodyInt(r.body, "delay", 0);
    if (delay < 1 || delay > kMaxLeaseSecs) Fail("10300290", "delay must be 1 to 7200.");
    SLease l = LiveLease(d, res);
    int64_t now = CSimState::Now();
    l.tExpires = std::min(l.tExpires + delay, now + kMaxLeaseSecs);
    if (!d.State().PutLease(l)) Fail("10000010", "The lease could not be stored.", 500);
    return nullptr;
}

json ReleaseResource(CImpl& d, SReq& r) {
    json& res = Resource(d, r);
    std::string id = res["id"];
    // The access stays while its writes cannot be journalled, so that a retry can.
    std::string err;
    if (!EndWatch(d, res, err))
        Fail("10000010", "The disk's changes could not be journalled: " + err, 500);
    d.State().DeleteLease(id);
    d.Inv().Delete("resources", id);
    return nullptr;
}

}  // namespace

void AddVolumeRoutes(std::vector<SRoute>& routes) {
    const std::string vol = FC_SITE "/volumes/{}";
    routes.push_back(Route("GET", FC_SITE "/volumes", "ListVolumes", ListVolumes));
    routes.push_back(Route("POST", FC_SITE "/volumes", "CreateVolume", CreateVolume));
    routes.push_back(Route("GET", vol, "GetVolume", GetVolume));
    routes.push_back(Route("PUT", vol, "ModifyVolume", ModifyVolume));
    routes.push_back(Route("DELETE", vol, "DeleteVolume", DeleteVolume));
    routes.push_back(Route("POST", vol + "/getcbt", "GetCbt", GetCbt));
    routes.push_back(
        Route("POST", vol + "/backupresources", "PrepareBackupResource", PrepareResource));
    routes.push_back(Route("GET", vol + "/backupresources/{}", "GetBackupResource", GetResource));
    routes.push_back(
        Route("PUT", vol + "/backupresources/{}", "ExtendBackupResource", ExtendResource));
    routes.push_back(
        Route("DELETE", vol + "/backupresources/{}", "ReleaseBackupResource", ReleaseResource));
}

}  // namespace fcsim
