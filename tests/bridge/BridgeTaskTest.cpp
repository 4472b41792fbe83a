// Operations that follow tasks and leases, against a scripted service under a fake clock.
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "FakeService.h"
#include "FusionComputeSDKCppBridge.h"
#include "NxClock.h"

using namespace FusionComputeSDKCppBridge;
using bridgetest::CFakeService;
using json = nlohmann::json;

namespace {

const char* kVM = "/service/sites/1/vms/i-00000001";
const char* kSnap = "/service/sites/1/vms/i-00000001/snapshots/5";
const char* kSnapUrn = "urn:sites:1:vms:i-00000001:snapshots:5";
const char* kVol = "/service/sites/1/volumes/21";

SBridgeOptions Options() {
    SBridgeOptions o = bridgetest::FastOptions();
    o.nTaskTimeoutSecs = 60;
    o.nTaskPollMillis = 2000;
    return o;
}

// A snapshot request answered with a task that reports "running" for `running` polls, then
// ends with `end` (and reason).
void ScriptSnapshotTask(CFakeService& svc, const std::string& id, int running,
                        const std::string& end, const std::string& reason = "",
                        const std::string& reasonDes = "") {
    svc.Reply(
        "POST", std::string(kVM) + "/snapshots", 200,
        R"({"urn":"urn:sites:1:vms:i-00000001:snapshots:5","taskUri":"/service/sites/1/tasks/)" +
            id + "\"}");
    auto polls = std::make_shared<std::atomic<int>>(0);
    svc.On("GET", "/service/sites/1/tasks/" + id,
           [=](const httplib::Request&, httplib::Response& res) {
               const bool done = (*polls)++ >= running;
               json t = {{"urn", "urn:sites:1:tasks:" + id},
                         {"status", done ? end : "running"},
                         {"reason", done ? reason : ""},
                         {"reasonDes", done ? reasonDes : ""}};
               res.set_content(t.dump(), "application/json");
           });
}

class BridgeTasks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bridge.Connect(m_svc.URL(), m_svc.strUser, m_svc.strPassword))
            << m_bridge.GetLastError();
        m_vm.strName = "vm1";
        m_vm.strURN = "urn:sites:1:vms:i-00000001";
    }
    // A snapshot as the failure cases take it; its outputs are not looked at.
    bool Snapshot() {
        SSnapshot snap;
        std::vector<SDisk> disks;
        return m_bridge.CreateVMSnapshot(m_vm, "s", "", false, false, true, false, snap, disks);
    }
    CFakeClock m_clock;
    CFakeService m_svc;
    CFusionComputeSDKCppBridge m_bridge{Options()};
    SVMInfo m_vm;
};

}  // namespace

TEST_F(BridgeTasks, SnapshotPollsThroughTheClockAndMapsTheSnapshot) {
    ScriptSnapshotTask(m_svc, "7", 2, "success");
    m_svc.Reply("GET", kSnap, 200, R"({"urn":"urn:sites:1:vms:i-00000001:snapshots:5",
        "name":"__VQ_BACKUP__","description":"d","createTimeSecs":1700000100,
        "volsnapshots":[{"volumeUrn":"urn:sites:1:volumes:21","snapUuid":"5-21","snapNameOnDev":"",
                         "chgID":"21-4"},
                        {"volumeUrn":"urn:sites:1:volumes:22","snapUuid":"5-22","snapNameOnDev":"fssnap-5-22",
                         "ChgID":"22-1"}]})");
    SSnapshot snap;
    std::vector<SDisk> disks;
    ASSERT_TRUE(
        m_bridge.CreateVMSnapshot(m_vm, "__VQ_BACKUP__", "d", false, true, true, true, snap, disks))
        << m_bridge.GetLastError();
    EXPECT_EQ(m_clock.Sleeps(), (std::vector<uint32_t>{2000, 2000}));
    // (The snapshot's own identifier and time: BridgeRecords.SnapshotTreeIsFlattened... and
    // BridgeSim.BackupCycle, where the snapshot made is the one listed.)
    // The volume's name on the storage device wins over the snapshot's own id, when it has one.
    std::vector<std::string> ids;
    for (const SDisk& d : disks) ids.push_back(d.strSnapshotDiskID + " " + d.strChangeToken);
    EXPECT_EQ(ids, (std::vector<std::string>{"5-21 21-4", "fssnap-5-22 22-1"}));

    // The request carries the flags as the service's fields.
    for (const auto& r : m_svc.Requests()) {
        if (r.strMethod != "POST" || r.strPath != std::string(kVM) + "/snapshots") continue;
        json body = json::parse(r.strBody);
        EXPECT_EQ(json({body["name"], body["needMemoryShot"], body["isConsistent"], body["type"]}),
                  json({"__VQ_BACKUP__", false, true, "CBTbackup"}));
    }
}

TEST_F(BridgeTasks, SnapshotFailuresSayWhetherTheyMayBeRetried) {
    struct SCase {
        bool bSync;
        const char* code;
        bool bRetryable;
    };
    const SCase cases[] = {{true, "10000010", false}, {false, "10300141", false},
                           {true, "10300112", true},  {false, "10300162", true},
                           {true, "10000007", true},  {false, "10300421", true}};
    int task = 100;
    for (const auto& c : cases) {
        const std::string des = std::string("refused with ") + c.code;
        if (c.bSync) {
            m_svc.Reply("POST", std::string(kVM) + "/snapshots", 400,
                        json({{"errorCode", c.code}, {"errorDes", des}}).dump());
        } else {
            ScriptSnapshotTask(m_svc, std::to_string(++task), 0, "failed", c.code, des);
        }
        EXPECT_FALSE(Snapshot());
        EXPECT_EQ(m_bridge.IsCreateVMSnapshotErrorRetryable(), c.bRetryable) << c.code;
        EXPECT_NE(m_bridge.GetLastError().find(des), std::string::npos) << m_bridge.GetLastError();
    }
    // The flag belongs to the thread that failed (the last failure may be retried).
    bool other = true;
    std::thread([&] { other = m_bridge.IsCreateVMSnapshotErrorRetryable(); }).join();
    EXPECT_FALSE(other);
    // A snapshot that is then taken clears both the flag and the error.
    ScriptSnapshotTask(m_svc, "7", 0, "success");
    m_svc.Reply(
        "GET", kSnap, 200,
        R"({"urn":"urn:sites:1:vms:i-00000001:snapshots:5","createTimeSecs":1,"volsnapshots":[]})");
    ASSERT_TRUE(Snapshot()) << m_bridge.GetLastError();
    EXPECT_FALSE(m_bridge.IsCreateVMSnapshotErrorRetryable());
    EXPECT_EQ(m_bridge.GetLastError(), "");
}

TEST_F(BridgeTasks, TaskThatNeverEndsTimesOutOnTheClock) {
    ScriptSnapshotTask(m_svc, "9", 1 << 30, "success");
    EXPECT_FALSE(Snapshot());
    EXPECT_NE(m_bridge.GetLastError().find("did not end within 60 seconds"), std::string::npos)
        << m_bridge.GetLastError();
    EXPECT_EQ(m_clock.Sleeps().size(), 30u);  // 60 s of 2 s polls
    EXPECT_FALSE(m_bridge.IsCreateVMSnapshotErrorRetryable());
}

TEST_F(BridgeTasks, UnreadableSnapshotIsDeletedAgain) {
    ScriptSnapshotTask(m_svc, "8", 0, "success");
    m_svc.Reply("GET", kSnap, 200, R"({"urn":"urn:sites:1:vms:i-00000001:snapshots:5",
        "createTimeSecs":1,"volsnapshots":[{"snapUuid":"no volume"}]})");
    m_svc.Reply("DELETE", kSnap, 200, "");
    EXPECT_FALSE(Snapshot());
    EXPECT_NE(m_bridge.GetLastError().find("volumeUrn"), std::string::npos)
        << m_bridge.GetLastError();
    EXPECT_EQ(m_svc.Count("DELETE", kSnap), 1);
}

TEST_F(BridgeTasks, DiskAccessIsGivenBackWhenItCannotBeCompleted) {
    const std::string res = std::string(kVol) + "/backupresources/60";
    m_svc.Reply("POST", std::string(kVol) + "/backupresources", 200,
                R"({"taskUrn":"urn:sites:1:tasks:60","taskUri":"/service/sites/1/tasks/60"})");
    m_svc.Reply("DELETE", res, 200, "");
    std::string id, host, port, token, file;
    auto prepare = [&](const char* proxy) {
        return m_bridge.PrepareDiskAccess("urn:sites:1:volumes:21", kSnapUrn, proxy, false, id,
                                          host, port, token, file);
    };
    // Ready but without a token (useless), failed at the service (its text), a port out of
    // range: each resource is released at once.
    const std::pair<const char*, const char*> refusals[] = {
        {R"({"status":"success","hostIP":"127.0.0.1","hostPort":4000,"targetFile":"/x"})", ""},
        {R"({"status":"failed","reason":"10300414","reasonDes":"No usable host."})",
         "No usable host. (error 10300414)"},
        {R"({"status":"success","hostIP":"127.0.0.1","hostPort":70000,)"
         R"("token":"t","targetFile":"/x"})",
         ""}};
    for (const auto& refusal : refusals) {
        m_svc.Reply("GET", res, 200, refusal.first);
        EXPECT_FALSE(prepare("127.0.0.1")) << refusal.first;
        EXPECT_NE(m_bridge.GetLastError().find(refusal.second), std::string::npos);
        EXPECT_EQ(m_svc.Count("DELETE", res), &refusal - refusals + 1);
    }

    // Running, then ready: the outputs, and the lease id usable for extension and release.
    auto polls = std::make_shared<int>(0);
    m_svc.On("GET", res, [polls](const httplib::Request&, httplib::Response& r) {
        r.set_content(++*polls < 3 ? R"({"status":"running"})"
                                   : R"({"status":"success","hostIP":"127.0.0.1","hostPort":"40123",
                                        "token":"9f8c","targetFile":"/tmp/s/21.img"})",
                      "application/json");
    });
    ASSERT_TRUE(prepare("10.0.0.5")) << m_bridge.GetLastError();
    EXPECT_EQ((std::vector<std::string>{id, host, port, token, file}),
              (std::vector<std::string>{"60", "127.0.0.1", "40123", "9f8c", "/tmp/s/21.img"}));
    EXPECT_EQ(m_clock.Sleeps().size(), 2u);
    // (The request's task type and snapshot: BridgeSim.BackupCycle, against the service that
    // refuses any other, CDiskFixture.DiskAccessLeasesPrepareExtendExpireRelease.)

    m_svc.Reply("PUT", res, 200, "");
    EXPECT_TRUE(m_bridge.ExtendDiskAccess(id, 300)) << m_bridge.GetLastError();
    EXPECT_TRUE(m_bridge.ExtendDiskAccess(id));
    const std::pair<std::string, int> refusedExtensions[] = {{id, 0}, {id, 7201}, {"61", 300}};
    for (const auto& bad : refusedExtensions)
        EXPECT_FALSE(m_bridge.ExtendDiskAccess(bad.first, bad.second)) << bad.second;
    EXPECT_NE(m_bridge.GetLastError().find("unknown disk access id"), std::string::npos);
    int puts = 0;
    for (const auto& r : m_svc.Requests())
        if (r.strMethod == "PUT") {
            ++puts;
            EXPECT_EQ(json::parse(r.strBody)["delay"], 300);
        }
    EXPECT_EQ(puts, 2);
    EXPECT_TRUE(m_bridge.ReleaseDiskAccess(id));
    EXPECT_FALSE(m_bridge.ExtendDiskAccess(id, 300));  // forgotten after release
}

TEST_F(BridgeTasks, BitmapAnswersAreValidated) {
    m_svc.Reply("GET", kSnap, 200, R"({"urn":"urn:sites:1:vms:i-00000001:snapshots:5",
        "volsnapshots":[{"volumeUrn":"urn:sites:1:volumes:21","snapUuid":"5-21",
                         "volCBTCreateTime":"2026-12-06 16:30:00","chgID":"21-4"}]})");
    struct SCase {
        const char* answer;
        bool ok;
    };
    const SCase cases[] = {
        {R"({"sectorOfBlock":128,"bitNum":8,"bit1Num":3,"bitMap":"C1"})", true},
        {R"({"sectorOfBlock":128,"bitNum":12,"bitMap":"C1"})", false},  // shorter than bitNum
        {R"({"sectorOfBlock":128,"bitMap":"XZ"})", false},
        {R"({"sectorOfBlock":0,"bitMap":"C1"})", false},
        {R"({"sectorOfBlock":128})", false},
        {R"({"sectorOfBlock":128,"bitMap":12})", false},
        {"not json", false}};
    for (const auto& c : cases) {
        m_svc.Reply("POST", std::string(kVol) + "/getcbt", 200, c.answer);
        std::string bitmap = "unchanged";
        int spb = -1;
        EXPECT_EQ(m_bridge.QueryDiskChangedBlocks("urn:sites:1:volumes:21", kSnapUrn, "21-2",
                                                  bitmap, spb),
                  c.ok)
            << c.answer;
        EXPECT_EQ(bitmap + " " + std::to_string(spb), c.ok ? "C1 128" : "unchanged -1");
        EXPECT_EQ(m_bridge.GetLastError().empty(), c.ok);
    }
    // The tracking's start goes with the query (the disk snapshot, the token and the query
    // type, which the service refuses when wrong: FlowsEndToEnd's incremental backup).
    EXPECT_EQ(json::parse(m_svc.Requests().back().strBody)["volCBTCreateTime"],
              "2026-12-06 16:30:00");

    // (Allocated blocks, the same query without a change token: BridgeSim.BackupCycle.)
    std::string bitmap;
    int spb = 0;
    // A disk the snapshot does not hold, and identifiers that would leave their path.
    const std::pair<std::string, std::string> refused[] = {
        {"urn:sites:1:volumes:99", kSnapUrn},
        {"urn:sites:1:volumes:..", kSnapUrn},
        {"urn:sites:1:volumes:21", "urn:sites:1:vms:i-1:snapshots:5:x"},
        {"urn:sites:2:volumes:21", kSnapUrn}};
    for (const auto& r : refused)
        EXPECT_FALSE(m_bridge.QueryDiskAllocatedBlocks(r.first, r.second, bitmap, spb)) << r.first;
}
