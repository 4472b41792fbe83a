// Snapshots, change tracking and disk-access leases through the management service.
#include <sys/stat.h>

#include <thread>

#include "SimTestUtil.h"
#include "TempDir.h"

namespace simtest {
namespace {

class CDiskFixture : public CSimFixture {
protected:
    json Snapshot(const json& vm, const std::string& name = "s") {
        json started = Ok("POST", vm["uri"].get<std::string>() + "/snapshots",
                          {{"name", name}, {"type", "CBTbackup"}});
        json task = WaitTask(started);
        EXPECT_EQ(task["status"], "success") << task.dump();
        return Ok("GET", started["uri"]);
    }
    static json Entry(const json& snap, const std::string& volUrn) {
        for (auto& e : snap["volsnapshots"]) {
            if (e["volumeUrn"] == volUrn) return e;
        }
        return nullptr;
    }
    void Write(const std::string& volUrn, uint64_t off, const std::string& data) {
        std::string err;
        ASSERT_NE(m_sim.GuestWrite(volUrn, off, data, err), 0u) << err;
    }
    json Cbt(const std::string& volUri, const json& body) {
        return Ok("POST", volUri + "/getcbt", body);
    }
    // A lease's record as [token, path, disk, writable, expires]; null when there is none.
    json Lease(const std::string& id) {
        fcsim::SLease l;
        if (!m_sim.State().GetLease(id, l)) return nullptr;
        return {l.strToken, l.strPath, l.strDiskID, l.bWritable, l.tExpires};
    }
};

TEST_F(CDiskFixture, SnapshotFreezesContentKeepsHolesAndListsAllocatedBlocks) {
    json vm = VmByName("web-01");
    json disk = vm["vmConfig"]["disks"][0];
    std::string volUrn = disk["volumeUrn"], volId = IdOf(volUrn);
    std::string live = m_sim.State().DiskPath(volId);
    std::string before = fctest::ReadFileAt(live, 0, 4096);

    json started = Ok("POST", vm["uri"].get<std::string>() + "/snapshots", {{"name", "s1"}});
    // The task reports "running" once before it ends, so pollers are exercised.
    EXPECT_EQ(Ok("GET", started["taskUri"])["status"], "running");
    EXPECT_EQ(Ok("GET", started["taskUri"])["status"], "success");
    json snap = Ok("GET", started["uri"]);
    std::string snapId = IdOf(snap["urn"]);
    Write(volUrn, 0, std::string(4096, '\xAB'));

    std::string frozen = m_sim.State().SnapshotDiskPath(snapId, volId);
    // (The guest's writes reach the live disk: FlowsEndToEnd's incremental backup.)
    EXPECT_EQ(fctest::ReadFileAt(frozen, 0, 4096), before);
    struct stat st {};
    ASSERT_EQ(::stat(frozen.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), disk["capacityBytes"].get<uint64_t>());
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 4ull << 20);  // 1.25 MiB of data

    // Seeded data: 1 MiB at 0 and 256 KiB at the middle -> blocks 0..15 and 512..515; nothing
    // else (its start and block size as the bridge reads them: BridgeSim.BackupCycle).
    json cbt = Cbt(disk["volumeUri"], {{"type", "DiffBitmapAndBit1Num"},
                                       {"snapUuid", Entry(snap, volUrn)["snapUuid"]}});
    EXPECT_EQ(cbt["bitNum"], 1024);
    EXPECT_EQ(cbt["bit1Num"], 20);
    std::string hex = cbt["bitMap"];
    ASSERT_EQ(hex.size(), 256u);
    EXPECT_EQ(hex.substr(127, 3), "0F0");
    EXPECT_EQ(hex.find_first_not_of('0', 4), 128u);
}

TEST_F(CDiskFixture, ChangedBlocksBetweenSnapshotsAreExactlyTheWrittenChunks) {
    json vm = VmByName("web-01");
    json disk = vm["vmConfig"]["disks"][0];
    std::string volUrn = disk["volumeUrn"], volUri = disk["volumeUri"];
    uint64_t cap = disk["capacityBytes"];
    json s1 = Snapshot(vm, "s1");
    std::string chg1 = Entry(s1, volUrn)["chgID"];
    EXPECT_EQ(chg1, Entry(s1, volUrn)["ChgID"]);

    Write(volUrn, 5 * 65536 - 5, "0123456789");           // straddles blocks 4 and 5
    Write(volUrn, 100 * 65536, std::string(65536, 'x'));  // exactly block 100
    Write(volUrn, cap - 1, "z");                          // the last block
    json s2 = Snapshot(vm, "s2");
    Write(volUrn, 200 * 65536, "after");  // after s2: in no answer about s2
    json e2 = Entry(s2, volUrn);

    json cbt = Cbt(volUri, {{"type", "DiffBitmapAndBit1Num"},
                            {"snapUuid", e2["snapUuid"]},
                            {"volCBTCreateTime", e2["volCBTCreateTime"]},
                            {"chgID", chg1}});
    EXPECT_EQ(cbt["bit1Num"], 4);
    std::string expect(256, '0');
    expect[1] = 'C';    // blocks 4, 5
    expect[25] = '8';   // block 100
    expect[255] = '1';  // block 1023
    EXPECT_EQ(cbt["bitMap"], expect);

    json count =
        Cbt(volUri, {{"type", "DiffBitmapBit1Num"}, {"snapUuid", e2["snapUuid"]}, {"chgID", chg1}});
    EXPECT_EQ(count["bit1Num"], 4);
    EXPECT_FALSE(count.contains("bitMap"));
    // A range inside the disk, one cut at the disk's end, and no change since the token.
    const struct {
        json extra;
        int nBits, nOnes;
        std::string strMap;
    } ranges[] = {
        {{{"chgID", chg1}, {"startBlock", 96}, {"blockNum", 8}}, 8, 1, "08"},
        {{{"chgID", chg1}, {"startBlock", 1016}, {"blockNum", 64}}, 8, 1, "01"},
        {{{"chgID", e2["chgID"]}}, 1024, 0, std::string(256, '0')},
    };
    for (const auto& r : ranges) {
        json body = {{"type", "DiffBitmapAndBit1Num"}, {"snapUuid", e2["snapUuid"]}};
        body.update(r.extra);
        json got = Cbt(volUri, body);
        EXPECT_EQ(json({got["bitNum"], got["bit1Num"], got["bitMap"]}),
                  json({r.nBits, r.nOnes, r.strMap}))
            << r.extra.dump();
    }

    // Refusals: a token of another disk, a token later than the snapshot, misaligned range,
    // a restarted tracking, an unknown disk snapshot, another type.
    std::string other = vm["vmConfig"]["disks"][1]["volumeUrn"];
    const std::pair<json, const char*> refusals[] = {
        {{{"snapUuid", e2["snapUuid"]}, {"chgID", IdOf(other) + "-1"}}, "10400002"},
        {{{"snapUuid", Entry(s1, volUrn)["snapUuid"]}, {"chgID", e2["chgID"]}}, "10400002"},
        {{{"snapUuid", e2["snapUuid"]}, {"startBlock", 3}}, "10400002"},
        {{{"snapUuid", e2["snapUuid"]}, {"volCBTCreateTime", "2001-01-01 00:00:00"}}, "10400002"},
        {{{"snapUuid", "9-9"}}, "10300400"},
        {{{"snapUuid", e2["snapUuid"]}, {"type", "Other"}}, "10400002"},
    };
    for (const auto& [extra, code] : refusals) {
        json body = {{"type", "DiffBitmapAndBit1Num"}};
        body.update(extra);
        Err("POST", volUri + "/getcbt", body, code);
    }
}

TEST_F(CDiskFixture, SnapshotRulesTreeAndFusionStorage) {
    json db = VmByName("db-01");
    json s1 = Snapshot(db, "a");
    EXPECT_EQ(s1["volsnapshots"].size(), 2u);  // the independent disk is left out
    json s2 = Snapshot(db, "b");
    json list = Ok("GET", db["uri"].get<std::string>() + "/snapshots");
    EXPECT_EQ(list["currentSnapshot"]["urn"], s2["urn"]);
    ASSERT_EQ(list["rootSnapshots"].size(), 1u);
    EXPECT_EQ(list["rootSnapshots"][0]["childSnapshots"][0]["urn"], s2["urn"]);
    WaitTask(Ok("DELETE", s1["uri"]));
    list = Ok("GET", db["uri"].get<std::string>() + "/snapshots");
    ASSERT_EQ(list["rootSnapshots"].size(), 1u);
    EXPECT_EQ(list["rootSnapshots"][0]["urn"], s2["urn"]);
    Err("GET", s1["uri"], nullptr, "10300109");
    Err("DELETE", s1["uri"], nullptr, "10300109");

    json tpl = VmByName("tpl-linux");
    Err("POST", tpl["uri"].get<std::string>() + "/snapshots", {{"name", "x"}}, "10300141");
    json app = VmByName("app-01");  // stopped, no guest tools
    std::string appSnaps = app["uri"].get<std::string>() + "/snapshots";
    Err("POST", appSnaps, {{"name", "x"}, {"needMemoryShot", true}}, "10300119");
    Ok("POST", appSnaps, {{"name", "x"}, {"isConsistent", "true"}});  // stopped: no quiescing
    WaitTask(Ok("POST", app["uri"].get<std::string>() + "/action/start"));
    Err("POST", appSnaps, {{"name", "y"}, {"isConsistent", true}}, "10300026");
    Err("POST", appSnaps, {{"name", "y"}, {"type", "weird"}}, "10000001");
    Err("POST", appSnaps, {{"name", ""}}, "10000001");

    // A FusionStorage disk's snapshot is registered for the tool stand-ins.
    json fs = VmByName("fs-01");
    json fsDisk = fs["vmConfig"]["disks"][0];
    EXPECT_EQ(fsDisk["volNameOnDev"], "fsvol-" + IdOf(fsDisk["volumeUrn"]));
    json snap = Snapshot(fs);
    json e = Entry(snap, fsDisk["volumeUrn"]);
    std::string fsName = e["snapNameOnDev"];
    EXPECT_EQ(fsName, "fssnap-" + IdOf(snap["urn"]) + "-" + IdOf(fsDisk["volumeUrn"]));
    EXPECT_EQ(Entry(snap, fs["vmConfig"]["disks"][1]["volumeUrn"])["snapNameOnDev"], "");
    // A FusionStorage disk has no change tracking.
    Err("POST", fsDisk["volumeUri"].get<std::string>() + "/getcbt",
        {{"type", "DiffBitmapAndBit1Num"}, {"snapUuid", e["snapUuid"]}}, "10410102");
    fcsim::SFsSnapshot rec;
    ASSERT_TRUE(m_sim.State().GetFsSnapshot(fsName, rec));
    EXPECT_EQ(json({rec.ullSize, rec.strDiskID, rec.ullChangeSeq}),
              json({fsDisk["capacityBytes"], IdOf(fsDisk["volumeUrn"]),
                    m_sim.State().ChangeSeq(IdOf(fsDisk["volumeUrn"]))}));
    EXPECT_EQ(fctest::ReadFileAt(rec.strPath, 0, 512),
              fctest::ReadFileAt(m_sim.State().DiskPath(rec.strDiskID), 0, 512));
    EXPECT_FALSE(
        Ok("GET", fs["uri"].get<std::string>() + "/action/CBTbackup")["CBTflag"].get<bool>());
    json cbt = Ok("GET", db["uri"].get<std::string>() + "/action/CBTbackup");
    EXPECT_TRUE(cbt["CBTflag"].get<bool>());
    EXPECT_EQ(cbt["CBTCeateTime"], cbt["CBTCreateTime"]);
    WaitTask(Ok("DELETE", snap["uri"]));
    EXPECT_FALSE(m_sim.State().GetFsSnapshot(fsName, rec));
}

TEST_F(CDiskFixture, DiskAccessLeasesPrepareExtendExpireRelease) {
    int64_t now = 1800000000;
    fcsim::CSimState::SetNowForTest(now);
    ASSERT_TRUE(Login());  // the fixture's session began at the real time
    json vm = VmByName("web-01");
    json disk = vm["vmConfig"]["disks"][0];
    std::string volUri = disk["volumeUri"], volId = IdOf(disk["volumeUrn"]);
    json snap = Snapshot(vm);
    std::string res = volUri + "/backupresources";
    json body = {{"taskType", "CBTBackup"},
                 {"snapUrn2", snap["urn"]},
                 {"ip", "127.0.0.1"},
                 {"delay", 300},
                 {"transMode", "lan"}};
    json started = Ok("POST", res, body);
    std::string id = IdOf(started["taskUri"]);
    EXPECT_EQ(Ok("GET", res + "/" + id)["status"], "running");
    json r = Ok("GET", res + "/" + id);
    EXPECT_EQ(r["status"], "success");
    EXPECT_EQ(r["hostIP"], "127.0.0.1");
    EXPECT_EQ(r["targetFile"], m_sim.State().SnapshotDiskPath(IdOf(snap["urn"]), volId));
    EXPECT_EQ(r["token"].get<std::string>().size(), 32u);
    EXPECT_EQ(Lease(id), json({r["token"], r["targetFile"], volId, false, now + 300}));

    // Extensions push the expiry; the time left never exceeds 7200 s.
    Ok("PUT", res + "/" + id, {{"delay", 100}});
    EXPECT_EQ(Lease(id)[4], now + 400);
    Ok("PUT", res + "/" + id, {{"delay", 7200}});
    EXPECT_EQ(Lease(id)[4], now + 7200);
    Err("PUT", res + "/" + id, {{"delay", 0}}, "10300290");
    Err("PUT", res + "/" + id, json::object(), "10300291");
    Ok("POST", "/sim/faults", {{"action", "lease-refused"}});  // the next extension, once
    Err("PUT", res + "/" + id, {{"delay", 100}}, "10300290");
    Ok("PUT", res + "/" + id, {{"delay", 100}});
    // (The snapshot is in use while the lease lives: BridgeSim.BackupCycle.)
    fcsim::CSimState::SetNowForTest(now + 7200);
    ASSERT_TRUE(Login());
    Err("GET", res + "/" + id, nullptr, "10300402");
    Err("PUT", res + "/" + id, {{"delay", 100}}, "10300402");
    EXPECT_TRUE(Lease(id).is_null());
    WaitTask(Ok("DELETE", snap["uri"]));
    Err("POST", res, body, "10300405");  // the snapshot is gone

    // A restore lease writes the live disk; release ends it.
    json rs = Ok("POST", res, {{"taskType", "CBTRestore"}, {"ip", "10.0.0.9"}});
    std::string rid = IdOf(rs["taskUri"]);
    // Its token is its own; it expires after the service's default lifetime.
    const json token = Lease(rid)[0];
    EXPECT_EQ(Lease(rid), json({token, m_sim.State().DiskPath(volId), volId, true, now + 7500}));
    Ok("DELETE", res + "/" + rid);
    EXPECT_TRUE(Lease(rid).is_null());
    Err("DELETE", res + "/" + rid, nullptr, "10300402");

    json snap2 = Snapshot(vm);
    json other = VmByName("db-01");
    std::string otherRes =
        other["vmConfig"]["disks"][0]["volumeUri"].get<std::string>() + "/backupresources";
    json backup = {{"taskType", "CBTBackup"}, {"snapUrn2", snap2["urn"]}, {"ip", "1.2.3.4"}};
    Err("POST", otherRes, backup, "10300400");
    // Each refusal changes one field of a good request (null: leaves it out).
    const std::pair<json, const char*> refusals[] = {
        {{{"delay", 30}}, "10300290"},
        {{{"ip", nullptr}}, "10000014"},
        {{{"ip", "1.2.3"}}, "10000014"},
        {{{"taskType", "CBTRestore"}}, "10300409"},
        {{{"taskType", "BackupVol"}, {"snapUrn2", nullptr}}, "10300292"},
        {{{"transMode", "lanssl"}}, "10300430"},
    };
    for (const auto& [change, code] : refusals) {
        json body = backup;
        body.merge_patch(change);
        Err("POST", res, body, code);
    }
}

TEST_F(CDiskFixture, ConcurrentGuestWritesAndSnapshotsLoseNoChange) {
    json vm = VmByName("db-01");
    json disk = vm["vmConfig"]["disks"][1];  // 128 MiB: 2048 blocks
    std::string volUrn = disk["volumeUrn"];
    json s0 = Snapshot(vm, "s0");
    auto writer = [&](int first) {
        httplib::Client cli("127.0.0.1", m_sim.Port());
        for (int b = first; b < 1024; b += 2) {
            json body = {{"volumeUrn", volUrn}, {"offset", b * 2 * 65536}, {"hex", "ff"}};
            auto r = cli.Post("/sim/guestwrite", body.dump(), "application/json");
            EXPECT_TRUE(r && r->status == 200);
        }
    };
    std::thread a(writer, 0), b(writer, 1);
    for (int i = 0; i < 4; ++i) Snapshot(vm, "mid" + std::to_string(i));
    a.join();
    b.join();
    json last = Snapshot(vm, "last");
    json cbt = Cbt(disk["volumeUri"], {{"type", "DiffBitmapAndBit1Num"},
                                       {"snapUuid", Entry(last, volUrn)["snapUuid"]},
                                       {"chgID", Entry(s0, volUrn)["chgID"]}});
    EXPECT_EQ(cbt["bit1Num"], 1024);                  // every even block, nothing else
    EXPECT_EQ(cbt["bitMap"], std::string(512, 'A'));  // 1010 per digit
}

}  // namespace
}  // namespace simtest
