// VM snapshots: taking one freezes every covered disk (copy-on-write, DiskCow.h) and notes
// each disk's change-journal position; FusionStorage disks get a whole copy and a
// FusionStorage snapshot.
#include <sys/stat.h>

#include <filesystem>

#include "DiskCow.h"
#include "DiskWatch.h"
#include "MgmtInternal.h"

namespace fcsim {

namespace {

using CImpl = CMgmtService::CImpl;

json& Vm(CImpl& d, SReq& r) {
    return d.Inv().Obj("vms", r.vecArgs[1], "10000008", "VM");
}

json& Snap(CImpl& d, SReq& r) {
    json& s = d.Inv().Obj("snapshots", r.vecArgs[2], "10300109", "snapshot");
    if (s["vmId"] != r.vecArgs[1]) Fail("10300109", "The snapshot does not exist.");
    return s;
}

json CreateSnapshot(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    std::string vmId = vm["id"];
    const json& b = r.body;
    std::string name = BodyStr(b, "name");
    if (name.empty() || name.size() > 256) Fail("10000001", "name must be 1 to 256 characters.");
    std::string type = BodyStr(b, "type", "normal");
    if (type != "normal" && type != "backup" && type != "CBTbackup") {
        Fail("10000001", "type must be normal, backup or CBTbackup.");
    }
    bool bMemory = BodyBool(b, "needMemoryShot", false);
    bool bConsistent = BodyBool(b, "isConsistent", false);
    if (vm.value("template", false)) Fail("10300141", "A template cannot be snapshotted.");
    bool bRunning = vm["status"] == "running";
    if (bMemory && !bRunning) Fail("10300119", "A stopped VM cannot take a memory snapshot.");
    if (bConsistent && bRunning && !vm.value("tools", false)) {
        Fail("10300026", "A consistent snapshot needs the VM tools to be running.");
    }
    int count = 0;
    for (const json* s : d.Inv().Sorted("snapshots")) count += (*s)["vmId"] == vmId ? 1 : 0;
    if (count >= 32) Fail("10300111", "The VM has the most snapshots it can have.");

    std::string id = d.Inv().NewId();
    std::string dir = d.State().Root() + "/snapshots/" + id;
    ::mkdir(dir.c_str(), 0755);
    json disks = json::array();
    std::vector<std::string> fsNames;
    auto undo = [&] {
        for (auto& n : fsNames) d.State().DeleteFsSnapshot(n);
        for (json* vol : d.Inv().VolumesOf(vmId)) CDiskCow(d.State(), (*vol)["id"]).Forget(id);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    };
    for (json* vol : d.Inv().VolumesOf(vmId)) {
        if (vol->value("indep", false)) continue;
        std::string volId = (*vol)["id"];
        // Writes around the journal (SAN, an attached volume) are journalled before the
        // position is fixed, so they count for this snapshot as the CNA's do.
        std::string err;
        if (!CDiskWatch(d.State()).Fold(volId, err)) {
            undo();
            Fail("10000010", "The disk's changes could not be journalled: " + err, 500);
        }
        // The position first, then the freeze: every write the position covers is already in
        // the file (writers write, then journal), so the frozen disk holds all of them.
        uint64_t seq = d.State().ChangeSeq(volId);
        std::string frozen = d.State().SnapshotDiskPath(id, volId);
        json* ds = d.Inv().Find("datastores", (*vol)["dsId"]);
        // The FusionStorage tools read the frozen file themselves: it must be whole.
        bool bDsware = ds && (*ds)["type"] == "DSWARE";
        if (!CDiskWatch(d.State()).Freeze(volId, id, !bDsware, err)) {
            undo();
            Fail("10000010", "The snapshot could not be taken: " + err, 500);
        }
        std::string fsName;
        if (bDsware) {
            fsName = "fssnap-" + id + "-" + volId;
            SFsSnapshot fs;
            fs.strName = fsName;
            fs.strDiskID = volId;
            fs.strPath = frozen;
            fs.ullChangeSeq = seq;
            fs.ullSize = (*vol)["capacity"].get<uint64_t>();
            if (!d.State().PutFsSnapshot(fs)) {
                undo();
                Fail("10000010", "The FusionStorage snapshot could not be registered.", 500);
            }
            fsNames.push_back(fsName);
        }
        disks.push_back(
            {{"volId", volId}, {"seq", seq}, {"snapUuid", id + "-" + volId}, {"fsName", fsName}});
    }
    json s = {{"id", id},
              {"vmId", vmId},
              {"name", name},
              {"description", BodyStr(b, "description")},
              {"type", type},
              {"parentId", vm.value("currentSnap", "")},
              {"createSecs", CSimState::Now()},
              {"consistent", bConsistent},
              {"memory", bMemory},
              {"disks", disks}};
    d.Inv().Create("snapshots", s);
    vm["currentSnap"] = id;
    d.Inv().Touch();
    json brief = d.Render().SnapshotBrief(s);
    json out = d.NewTask("CreateVMSnapshotTask", d.Inv().Urn("vms", vmId));
    out["urn"] = brief["urn"];
    out["uri"] = brief["uri"];
    return out;
}

json Tree(CImpl& d, const std::string& vmId, const std::string& parentId) {
    json out = json::array();
    for (json* s : d.Inv().Sorted("snapshots")) {
        if ((*s)["vmId"] != vmId || s->value("parentId", "") != parentId) continue;
        json node = d.Render().SnapshotBrief(*s);
        node["childSnapshots"] = Tree(d, vmId, (*s)["id"]);
        out.push_back(node);
    }
    return out;
}

json ListSnapshots(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    std::string cur = vm.value("currentSnap", "");
    json* c = cur.empty() ? nullptr : d.Inv().Find("snapshots", cur);
    json current = nullptr;
    if (c) {
        json brief = d.Render().SnapshotBrief(*c);
        current = {{"urn", brief["urn"]}, {"uri", brief["uri"]}, {"name", brief["name"]}};
    }
    return {{"currentSnapshot", current}, {"rootSnapshots", Tree(d, vm["id"], "")}};
}

json GetSnapshot(CImpl& d, SReq& r) {
    return d.Render().Snapshot(Snap(d, r));
}

json DeleteSnapshot(CImpl& d, SReq& r) {
    json& s = Snap(d, r);
    std::string id = s["id"];
    for (const json* res : d.Inv().Sorted("resources")) {
        if (res->value("snapId", "") == id && d.LeaseAlive((*res)["id"])) {
            Fail("10430031", "The snapshot is in use by a backup.");
        }
    }
    d.DeleteSnapshotRecord(id);
    return d.NewTask("DeleteVMSnapshotTask", d.Inv().Urn("vms", r.vecArgs[1]));
}

json GetCbtState(CImpl& d, SReq& r) {
    json& vm = Vm(d, r);
    bool bFlag = true;
    int64_t created = 0;
    for (json* vol : d.Inv().VolumesOf(vm["id"])) {
        if (vol->value("indep", false)) continue;
        json* ds = d.Inv().Find("datastores", (*vol)["dsId"]);
        if (ds && (*ds)["type"] == "DSWARE") bFlag = false;
        int64_t c = (*vol)["createSecs"].get<int64_t>();
        if (created == 0 || c < created) created = c;
    }
    std::string t = created ? TimeText(created) : "";
    return {{"CBTflag", bFlag}, {"CBTCeateTime", t}, {"CBTCreateTime", t}};
}

}  // namespace

void AddSnapshotRoutes(std::vector<SRoute>& routes) {
    const std::string vm = FC_SITE "/vms/{}";
    routes.push_back(Route("POST", vm + "/snapshots", "CreateSnapshot", CreateSnapshot));
    routes.push_back(Route("GET", vm + "/snapshots", "ListSnapshots", ListSnapshots));
    routes.push_back(Route("GET", vm + "/snapshots/{}", "GetSnapshot", GetSnapshot));
    routes.push_back(Route("DELETE", vm + "/snapshots/{}", "DeleteSnapshot", DeleteSnapshot));
    routes.push_back(Route("GET", vm + "/action/CBTbackup", "GetCbtState", GetCbtState));
}

}  // namespace fcsim
