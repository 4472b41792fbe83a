// Whole backups and restores through fcbackup against the simulator with one fault injected
// each time. A backup must either complete, and then hold the disks byte for byte, or fail
// with a message and leave no backup listed; either way no disk-access lease and no
// FusionStorage volume may be left. A failed restore must leave no VM and no disk and never
// touch the source. A killed fcbackup must leave the repository's complete backups sound.
// Faults and settings go through the simulator's control calls over HTTPS, as they would to an
// fcsim of its own. Each case prints one line; the suite ends with the tally.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "FcbackupRun.h"
#include "FsFaults.h"
#include "FsToolsSetup.h"
#include "FsVolumeStore.h"
#include "Simulator.h"

extern char** environ;

namespace {

using fctest::SRun;

enum EOutcome { SURVIVED, FAILED_CLEANLY, DATA_ERROR };

struct STally {
    int nTried = 0, nSurvived = 0, nClean = 0, nDataErrors = 0;
} g_tally;

class CTallyPrinter : public ::testing::Environment {
public:
    void TearDown() override {
        std::printf("faults: %d tried, %d survived, %d failed cleanly, %d data errors\n",
                    g_tally.nTried, g_tally.nSurvived, g_tally.nClean, g_tally.nDataErrors);
    }
};
const auto* const c_printer = ::testing::AddGlobalTestEnvironment(new CTallyPrinter());

void Record(const std::string& fault, EOutcome outcome, uint64_t verified) {
    ++g_tally.nTried;
    const char* text[] = {"survived", "failed cleanly", "DATA ERROR"};
    (outcome == SURVIVED         ? g_tally.nSurvived
     : outcome == FAILED_CLEANLY ? g_tally.nClean
                                 : g_tally.nDataErrors)++;
    std::printf("fault %-44s %-15s %llu bytes verified\n", fault.c_str(), text[outcome],
                static_cast<unsigned long long>(verified));
    EXPECT_NE(DATA_ERROR, outcome) << fault;
}

// The plug-in's settings for the suite: leftover backup snapshots expire after an hour; the
// waits between retries are short (a second between snapshot attempts and between disk I/O
// attempts, one pause for a bitmap volume), the number of retries is the plug-in's own.
const char* const kPluginSettings =
    "[VirtualServer]\nnExpireSnapshotHours=1\nnCreateSnapshotRetryIntervalSecs=1\n"
    "DiskIORetryDelay=1\nnMaxQueryBitMapAttempts=0\n";

class FaultSuite : public ::testing::Test {
protected:
    fcsim::CSimulator sim;
    CTempDir dir;
    CScopedEnvs env;
    std::string conn;
    int nRepos = 0;
    bool bFsTools = false;

    void SetUp() override {
        std::string err;
        ASSERT_TRUE(sim.Start(fcsim::SSimOptions(), err)) << err;
        env.Set("FC_PASSWORD", sim.Password());
        env.Set("FC_BRIDGE_TASK_POLL_MS", "20");
        env.Set("FC_LOG_DIR", dir.File("logs"));
        env.Set("FC_CONFIG_FILE", dir.Write("fc.ini", kPluginSettings));
        conn = " --url " + sim.Url() + " --user " + sim.User() + " --ca-file " + sim.CAFile();
    }
    void TearDown() override {
        fcsim::CSimState::SetNowForTest(0);
        if (bFsTools) fcsim::CFsVolumeStore(sim.StateDir()).DetachAll();
    }
    // FusionStorage's tools where the plug-in finds them; false when the VrmVBSTools stand-in
    // was not built. Only the cases that need them: every fcbackup run then starts the tools.
    bool UseFsTools() {
        if (std::string(FCSIM_VRMVBSTOOLS_CLASS).empty()) return false;
        std::string err;
        EXPECT_TRUE(fcsim::FsInstallVrmVBSTools(dir.File("agent"), FCSIM_VRMVBSTOOLS_CLASS, err))
            << err;
        EXPECT_TRUE(fcsim::FsWriteClusterInfo(dir.File("cluster"), "127.0.0.1,", err)) << err;
        const char* path = std::getenv("PATH");
        env.Set("PATH", std::string(FCSIM_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin"));
        env.Set("FCSIM_STATE_DIR", sim.StateDir());
        env.Set("FC_AGENT_HOME", dir.File("agent"));
        env.Set("FC_FS_CLUSTER_INFO", dir.File("cluster"));
        return bFsTools = true;
    }

    struct SAnswer {
        int nStatus = 0;      // 0: no answer
        nlohmann::json body;  // discarded when it is not JSON
        std::string strToken;
    };
    // A call to the simulator over HTTPS, trusting its certificate, as to an fcsim running on
    // its own.
    SAnswer Rest(const std::string& method, const std::string& path,
                 const nlohmann::json& body = nullptr, const httplib::Headers& headers = {}) {
        httplib::Client cli(sim.Url());
        cli.set_ca_cert_path(sim.CAFile());
        cli.enable_server_certificate_verification(true);
        cli.set_read_timeout(60, 0);
        const std::string text = body.is_null() ? "" : body.dump();
        httplib::Result res = method == "GET" ? cli.Get(path, headers)
                              : method == "POST"
                                  ? cli.Post(path, headers, text, "application/json")
                                  : cli.Delete(path, headers, text, "application/json");
        SAnswer out;
        if (!res) return out;
        out.nStatus = res->status;
        out.body = nlohmann::json::parse(res->body, nullptr, false);
        out.strToken = res->get_header_value("X-Auth-Token");
        return out;
    }
    // The headers of a session of the suite's own with the management service.
    httplib::Headers Session() {
        const SAnswer login = Rest("POST", "/service/session", nlohmann::json::object(),
                                   {{"X-Auth-User", sim.User()},
                                    {"X-Auth-Key", sim.Password()},
                                    {"X-ENCRIPT-ALGORITHM", "1"}});
        EXPECT_FALSE(login.strToken.empty()) << "no session for the suite";
        return {{"Accept", "application/json;version=6.3;charset=UTF-8"},
                {"X-Auth-Token", login.strToken}};
    }
    static std::string Site() { return "/service/sites/" + fcsim::SMgmtSettings().strSiteId; }
    // A control call (/sim/...) that must succeed; its answer.
    nlohmann::json Control(const std::string& method, const std::string& path,
                           const nlohmann::json& body = nullptr) {
        const SAnswer answer = Rest(method, path, body);
        EXPECT_EQ(200, answer.nStatus)
            << method << " " << path << " " << body.dump() << ": " << answer.body.dump();
        return answer.body;
    }
    void ClearFaults() {
        Control("DELETE", "/sim/faults");
        Control("DELETE", "/sim/cna/faults");
        Control("POST", "/sim/config", {{"leaseSecs", 300}, {"sessionIdleSecs", 600}});
        if (bFsTools) fcsim::CFsFaults(sim.StateDir()).Clear();
    }
    SRun Run(const std::string& args) { return fctest::Fcbackup(dir, args + " --no-progress"); }
    std::string NewRepo() { return dir.File("repo" + std::to_string(++nRepos)); }

    // The live disk, at its capacity: the guest does not write, so it is what a backup holds.
    std::string Live(const nlohmann::json& disk) {
        const std::string name = disk["name"];
        std::string data =
            fctest::ReadWholeFile(sim.State().DiskPath(name.substr(name.rfind(':') + 1)));
        data.resize(disk["capacity"].get<uint64_t>(), '\0');
        return data;
    }
    // Every disk of one backup ({"backup_id", "disks": [{"name", "capacity"}]}, as list and
    // backup answer) exports as the live disk, the runs' output kept in runDir; the bytes
    // compared, or -1 when a disk differs or the backup lacks disks.
    int64_t Holds(const CTempDir& runDir, const std::string& repo, const std::string& vm,
                  size_t disks, const nlohmann::json& backup) {
        if (backup["disks"].size() != disks) return -1;
        int64_t bytes = 0;
        for (const auto& d : backup["disks"]) {
            const std::string out = runDir.File("export.img");
            const SRun e = fctest::Fcbackup(runDir, "export --vm " + vm + " --backup " +
                                                        backup["backup_id"].get<std::string>() +
                                                        " --disk " + d["name"].get<std::string>() +
                                                        " --output " + out + " --repo " + repo);
            if (e.nExit != 0 || fctest::ReadWholeFile(out) != Live(d)) return -1;
            bytes += int64_t(d["capacity"].get<uint64_t>());
        }
        return bytes;
    }
    // The repository verifies and its latest backup of the VM holds the disks (Holds), or -1.
    int64_t Verified(const std::string& repo, const std::string& vm = "web-01", size_t disks = 2) {
        const SRun verify = Run("verify --json --repo " + repo);
        if (verify.nExit != 0 || !verify.Json()["ok"].get<bool>()) return -1;
        const SRun list = Run("list --json --repo " + repo);
        const nlohmann::json backups = list.Json()["backups"];
        return backups.empty() ? -1 : Holds(dir, repo, vm, disks, backups.back());
    }
    size_t Listed(const std::string& repo) {
        const SRun list = Run("list --json --repo " + repo);
        return list.nExit == 0 ? list.Json()["backups"].size() : 0;
    }
    size_t FsVolumes() {
        return bFsTools ? fcsim::CFsVolumeStore(sim.StateDir()).List().size() : 0;
    }
    // One backup with the fault in place, judged; then, after afterFault, one without, which
    // must succeed. Nothing may be left: no lease, no FusionStorage volume.
    void BackupCase(const std::string& fault, const std::string& vm = "web-01", size_t disks = 2,
                    const std::function<void()>& afterFault = nullptr) {
        const std::string repo = NewRepo();
        const SRun r = Run("backup --json --vm " + vm + " --repo " + repo + conn);
        ClearFaults();
        const bool bNothingLeft = sim.State().ListLeases().empty() && FsVolumes() == 0;
        if (r.nExit == 0) {
            const int64_t bytes = Verified(repo, vm, disks);
            Record(fault, bytes > 0 && bNothingLeft ? SURVIVED : DATA_ERROR,
                   bytes > 0 ? uint64_t(bytes) : 0);
        } else {
            const bool clean = r.nExit == 1 && r.strErr.find("fcbackup: ") == 0 &&
                               Listed(repo) == 0 && bNothingLeft;
            Record(fault, clean ? FAILED_CLEANLY : DATA_ERROR, 0);
            if (!clean) ADD_FAILURE() << fault << ": exit " << r.nExit << "\n" << r.strErr;
        }
        EXPECT_TRUE(bNothingLeft) << fault << ": a lease or a FusionStorage volume was left";
        if (afterFault) afterFault();
        const SRun again = Run("backup --json --vm " + vm + " --repo " + repo + conn);
        EXPECT_EQ(0, again.nExit) << fault << ": the next backup failed\n" << again.strErr;
        EXPECT_GT(Verified(repo, vm, disks), 0)
            << fault << ": the next backup does not hold the disks";
        EXPECT_TRUE(sim.State().ListLeases().empty()) << fault << ": a disk-access lease was left";
        EXPECT_EQ(0u, FsVolumes()) << fault << ": a FusionStorage volume was left";
    }
    // A CNA rule in its rule text, through the control call.
    void AddCna(const std::string& rule) { Control("POST", "/sim/cna/faults", {{"rule", rule}}); }
    void AddMgmt(const std::string& op, int status, uint32_t nth, uint32_t times,
                 const std::string& action = "error", uint32_t delayMs = 0) {
        Control("POST", "/sim/faults",
                {{"op", op},
                 {"httpStatus", status},
                 {"nth", nth},
                 {"times", times},
                 {"action", action},
                 {"delayMs", delayMs}});
    }
    size_t DiskFiles() {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(sim.StateDir() + "/disks"))
            n += e.path().extension() == ".img";
        return n;
    }
    // The VM's snapshots by name, through a session of the suite's own.
    std::vector<std::string> SnapshotNames(const std::string& vm) {
        const httplib::Headers h = Session();
        std::vector<std::string> names;
        const SAnswer vms = Rest("GET", Site() + "/vms?detail=2&name=" + vm, nullptr, h);
        for (const auto& v : vms.body.value("vms", nlohmann::json::array())) {
            if (v.value("name", "") != vm) continue;
            const SAnswer tree =
                Rest("GET", v["uri"].get<std::string>() + "/snapshots", nullptr, h);
            std::function<void(const nlohmann::json&)> walk = [&](const nlohmann::json& level) {
                for (const auto& snap : level) {
                    names.push_back(snap.value("name", ""));
                    walk(snap.value("childSnapshots", nlohmann::json::array()));
                }
            };
            walk(tree.body.value("rootSnapshots", nlohmann::json::array()));
        }
        return names;
    }
};

TEST_F(FaultSuite, DiskReadsThatBreak) {
    const char* rules[] = {
        "op=read nth=3 action=drop",
        "op=read nth=2 action=stall stall_ms=1500",
        "op=read nth=2 action=wrongseq",
        "op=read nth=2 action=short",
        "op=read nth=2 action=error status=8",
        "op=read nth=2 times=0 action=error",
        "op=open action=error",
    };
    for (const char* rule : rules) {
        AddCna(rule);
        BackupCase(std::string("CNA ") + rule);
    }
}

TEST_F(FaultSuite, ManagementServiceFailures) {
    struct SCase {
        const char* name;
        std::function<void()> add;
    } cases[] = {
        {"snapshot retryable twice",
         [&] {
             Control("POST", "/sim/faults", {{"action", "snapshot-retryable"}, {"times", 2}});
         }},
        {"snapshot never succeeds",
         [&] {
             Control("POST", "/sim/faults", {{"action", "snapshot-fatal"}, {"times", 0}});
         }},
        {"lease extension refused",
         [&] {
             Control("POST", "/sim/faults", {{"action", "lease-refused"}});
         }},
        {"HTTP 500 on the changed blocks", [&] { AddMgmt("GetCbt", 500, 1, 1); }},
        {"HTTP 500 on the VM record", [&] { AddMgmt("GetVm", 500, 1, 1); }},
        {"bad JSON for the VM list", [&] { AddMgmt("ListVms", 200, 1, 1, "badjson"); }},
        {"slow answers (1.5 s)", [&] { AddMgmt("GetSnapshot", 200, 1, 2, "delay", 1500); }},
        {"dropped answer (VM record)", [&] { AddMgmt("GetVm", 200, 1, 1, "drop"); }},
        {"dropped answer (lease extension)",
         [&] { AddMgmt("ExtendBackupResource", 200, 1, 1, "drop"); }},
        {"snapshot deletion fails", [&] { AddMgmt("DeleteSnapshot", 400, 1, 0); }},
    };
    for (const SCase& c : cases) {
        c.add();
        BackupCase(c.name);
    }
}

TEST_F(FaultSuite, RestoresThatFailLeaveNothing) {
    const std::string repo = NewRepo();
    ASSERT_EQ(0, Run("backup --vm web-01 --repo " + repo + conn).nExit);
    const SRun before = Run("vms --json" + conn);
    const size_t disksBefore = DiskFiles();
    struct SCase {
        const char* name;
        std::function<void()> add;
    } cases[] = {
        {"restore: VM creation refused", [&] { AddMgmt("ImportOvf", 400, 1, 0); }},
        {"restore: second disk not created", [&] { AddMgmt("CreateVolume", 400, 2, 1); }},
        {"restore: CNA write fails", [&] { AddCna("op=write nth=2 times=0 action=error"); }},
        {"restore: CNA connection dropped", [&] { AddCna("op=write nth=3 times=0 action=drop"); }},
    };
    for (const SCase& c : cases) {
        c.add();
        const SRun r = Run("restore --vm web-01 --name web-01-lost --repo " + repo + conn);
        ClearFaults();
        const SRun after = Run("vms --json" + conn);
        const bool untouched = after.strOut == before.strOut;
        const bool clean = r.nExit == 1 && untouched && DiskFiles() == disksBefore;
        Record(c.name, r.nExit == 0 ? SURVIVED : clean ? FAILED_CLEANLY : DATA_ERROR, 0);
        if (r.nExit == 0) {
            ASSERT_EQ(
                0, Run("restore --vm web-01 --name web-01-lost --overwrite --repo " + repo + conn)
                       .nExit);
        } else {
            EXPECT_TRUE(clean) << c.name << ": " << r.strErr << "\ndisks " << DiskFiles()
                               << " before " << disksBefore;
        }
    }
    EXPECT_GT(Verified(repo), 0) << "the source VM's disks were touched";
}

// fcbackup killed at seeded random points of a backup: the complete backups stay sound, a run
// killed before its commit is never listed, the next run succeeds and collection removes only
// orphans.
TEST_F(FaultSuite, KilledMidBackup) {
    const std::string repo = NewRepo();
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(0, Run("backup --full --vm web-01 --repo " + repo + conn).nExit);
    // The kills fall inside the time a whole backup takes here, wherever that is.
    const int span = std::max<int>(20, int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - started)
                                               .count()));
    std::mt19937 random(20261209);
    std::string err;
    for (int i = 0; i < 6; ++i) {
        // New data, so that the interrupted run has chunks of its own to leave behind.
        ASSERT_NE(0u, sim.GuestWrite("urn:sites:5D1C0A7E:volumes:20", uint64_t(i) << 20,
                                     std::string(1 << 20, char('k' + i)), err))
            << err;
        const size_t before = Listed(repo);
        std::vector<std::string> args = {FCBACKUP_BIN, "backup",    "--no-progress", "--full",
                                         "--vm",       "web-01",    "--repo",        repo,
                                         "--url",      sim.Url(),   "--user",        sim.User(),
                                         "--ca-file",  sim.CAFile()};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(0, posix_spawn(&pid, FCBACKUP_BIN, nullptr, nullptr, argv.data(), environ));
        const int ms = span / 20 + int(random() % unsigned(span));
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const bool finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        // What is listed is whole: it verifies. A finished run is listed; a killed one only if
        // the kill came after its commit (while the snapshot was being removed, say).
        const SRun verify = Run("verify --json --repo " + repo);
        const size_t listed = Listed(repo);
        const bool committed = listed == before + 1;
        const bool sound = verify.nExit == 0 && verify.Json()["ok"].get<bool>() &&
                           (committed || (!finished && listed == before));
        // The next run succeeds and holds the disks; collection then keeps every backup whole.
        const SRun again = Run("backup --vm web-01 --repo " + repo + conn);
        const int64_t bytes = again.nExit == 0 ? Verified(repo) : -1;
        const SRun gc = Run("prune --json --vm web-01 --keep-last 1000 --repo " + repo);
        const bool collected = gc.nExit == 0 && Verified(repo) == bytes;
        Record(
            "fcbackup killed after " + std::to_string(ms) + " ms",
            sound && bytes > 0 && collected ? (committed ? SURVIVED : FAILED_CLEANLY) : DATA_ERROR,
            bytes > 0 ? uint64_t(bytes) : 0);
        EXPECT_TRUE(sound) << verify.strOut;
        EXPECT_EQ(0, again.nExit) << again.strErr;
        EXPECT_TRUE(collected) << gc.strOut << gc.strErr;
    }
}

// Time running out while fcbackup waits: a disk-access lease of an open disk, far shorter than
// the wait, must be kept alive by the plug-in, so that backup completes; a management session left
// idle past its time-out must be logged on again, or the backup fail cleanly. (The simulator counts
// whole seconds: a lease of 3 s lasts 2 to 3 s.)
TEST_F(FaultSuite, LeasesAndSessionsRunOutWhileIdle) {
    struct SCase {
        const char* name;
        nlohmann::json config;
        std::function<void()> add;
        bool bMustSurvive;
    } cases[] = {
        {"lease 3 s, a CNA read stalled 4.5 s",
         {{"leaseSecs", 3}},
         [&] { AddCna("op=read nth=2 action=stall stall_ms=4500"); },
         true},
        // The plug-in extends a lease once the disk is open, so an open that outlasts the
        // lease it was granted with may only fail cleanly.
        {"lease 3 s, a CNA open stalled 4.5 s",
         {{"leaseSecs", 3}},
         [&] { AddCna("op=open nth=2 action=stall stall_ms=4500"); },
         false},
        {"session idle 1 s, an answer 2.5 s late",
         {{"sessionIdleSecs", 1}},
         [&] { AddMgmt("GetSnapshot", 200, 1, 1, "delay", 2500); },
         false},
    };
    for (const SCase& c : cases) {
        Control("POST", "/sim/config", c.config);
        c.add();
        const int survivedBefore = g_tally.nSurvived;
        BackupCase(c.name);
        if (c.bMustSurvive) {
            EXPECT_EQ(survivedBefore + 1, g_tally.nSurvived) << c.name << ": did not survive";
        }
    }
}

// A backup snapshot whose deletion failed is removed by a later backup once it is older than
// the plug-in's expiry (one hour here): it is taken while the simulator's clock stands two
// hours back, and the next backup runs on the real clock.
TEST_F(FaultSuite, LeftoverSnapshotRemovedOnceExpired) {
    const std::string kOurs = "__VQ_BACKUP__";
    auto ours = [&] {
        const std::vector<std::string> names = SnapshotNames("web-01");
        return std::count(names.begin(), names.end(), kOurs);
    };
    const std::string repo = NewRepo();
    fcsim::CSimState::SetNowForTest(int64_t(std::time(nullptr)) - 2 * 3600);
    AddMgmt("DeleteSnapshot", 400, 1, 0);
    const SRun first = Run("backup --json --vm web-01 --repo " + repo + conn);
    ClearFaults();
    const auto leftover = ours();
    fcsim::CSimState::SetNowForTest(0);
    const SRun later = Run("backup --json --vm web-01 --repo " + repo + conn);
    const auto after = ours();
    const int64_t bytes = later.nExit == 0 ? Verified(repo) : -1;
    const bool sound = leftover == 1 && after == 0 && bytes > 0 &&
                       (first.nExit == 0 ? Listed(repo) == 2 : Listed(repo) == 1);
    Record("snapshot deletion fails, expired one removed", sound ? SURVIVED : DATA_ERROR,
           bytes > 0 ? uint64_t(bytes) : 0);
    EXPECT_EQ(1, leftover) << "the failed deletion left no snapshot behind\n" << first.strErr;
    EXPECT_EQ(0, after) << "the later backup left a backup snapshot\n" << later.strErr;
    EXPECT_EQ(0, later.nExit) << later.strErr;
}

// FusionStorage's tools failing at each step of a FusionStorage disk's backup (fs-01: one disk
// on FusionStorage, one not): the backup survives or fails cleanly, and no FusionStorage
// volume is ever left behind.
TEST_F(FaultSuite, FusionStorageToolsFail) {
    if (!UseFsTools()) GTEST_SKIP() << "no VrmVBSTools stand-in (javac was not found)";
    struct SCase {
        const char* name;
        const char* rule;
    } cases[] = {
        {"FS: volume from snapshot refused", "op=createVolumeFromSnap action=fail times=0"},
        {"FS: attach fails", "op=attach action=fail ret_code=7 ret_desc=\"no path\" times=0"},
        {"FS: attach names no device", "op=attach action=empty"},
        {"FS: volume query garbled", "op=queryvolume action=garbage times=0"},
        {"FS: bitmap volume never ready", "op=createBitmapVolume action=notready queries=1000"},
    };
    for (const SCase& c : cases) {
        ASSERT_TRUE(fcsim::CFsFaults(sim.StateDir()).Add(c.rule)) << c.rule;
        BackupCase(c.name, "fs-01", 2);
    }
}

// Load: three VMs of three disks each backed up in full, over and over, by three fcbackup
// processes at once for a bounded time, while the CNA fails a steady share of the reads. Every
// backup that completes must hold its disks byte for byte; every other must fail cleanly.
TEST_F(FaultSuite, LoadWithCnaFaults) {
    const int kVms = 3, kDisks = 3;
    const uint64_t kCapacity = 8 << 20;
    const auto kFor = std::chrono::seconds(60);
    const httplib::Headers h = Session();
    const std::string ds =
        Rest("GET", Site() + "/datastores?name=ds-local", nullptr, h).body["datastores"][0]["urn"];
    const std::string cluster =
        Rest("GET", Site() + "/clusters?name=cluster-a", nullptr, h).body["clusters"][0]["urn"];
    std::mt19937 random(20261210);
    std::string err;
    for (int v = 0; v < kVms; ++v) {
        nlohmann::json disks = nlohmann::json::array();
        for (int d = 0; d < kDisks; ++d) {
            const SAnswer vol =
                Rest("POST", Site() + "/volumes",
                     {{"name", "load-" + std::to_string(v) + "-" + std::to_string(d)},
                      {"datastoreUrn", ds},
                      {"type", "normal"},
                      {"isThin", true},
                      {"capacityBytes", kCapacity}},
                     h);
            ASSERT_EQ(200, vol.nStatus) << vol.body.dump();
            const std::string urn = vol.body["urn"];
            // Data in a few places, so that a full backup reads several extents per disk.
            for (uint64_t at : {uint64_t(d) << 20, uint64_t(4 + v) << 20}) {
                std::string data(1 << 20, '\0');
                for (char& c : data) c = char(random());
                ASSERT_NE(0u, sim.GuestWrite(urn, at, data, err)) << err;
            }
            disks.push_back({{"sequenceNum", d + 1}, {"volumeUrn", urn}});
        }
        const SAnswer vm =
            Rest("POST", Site() + "/vms",
                 {{"name", "load-" + std::to_string(v)},
                  {"location", cluster},
                  {"vmConfig", {{"disks", disks}, {"nics", nlohmann::json::array()}}}},
                 h);
        ASSERT_EQ(200, vm.nStatus) << vm.body.dump();
    }
    // Every 10th read answers an error, every 25th drops its connection (about one backup in two
    // meets one).
    AddCna("op=read nth=10 every=10 times=0 action=error");
    AddCna("op=read nth=25 every=25 times=0 action=drop");

    // Each process's slot checks every backup it completes at once, while the others go on.
    struct SSlot {
        std::unique_ptr<CTempDir> pDir = std::make_unique<CTempDir>();
        int nCompleted = 0, nClean = 0, nUnclean = 0, nWrong = 0;
        uint64_t ullBytes = 0;
        std::string strLastError;
    };
    std::vector<SSlot> slots(kVms);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int v = 0; v < kVms; ++v) {
        threads.emplace_back([&, v] {
            SSlot& slot = slots[v];
            const std::string vm = "load-" + std::to_string(v);
            const std::string repo = dir.File("load" + std::to_string(v));
            const std::string args =
                "backup --json --full --jobs 3 --no-progress --vm " + vm + " --repo " + repo + conn;
            while (std::chrono::steady_clock::now() - start < kFor) {
                const SRun r = fctest::Fcbackup(*slot.pDir, args);
                if (r.nExit == 0) {
                    ++slot.nCompleted;
                    const int64_t bytes = Holds(*slot.pDir, repo, vm, kDisks, r.Json());
                    if (bytes > 0)
                        slot.ullBytes += uint64_t(bytes);
                    else
                        ++slot.nWrong;
                } else if (r.nExit == 1 && r.strErr.find("fcbackup: ") == 0) {
                    ++slot.nClean;
                } else {
                    ++slot.nUnclean;
                    slot.strLastError = r.strErr;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t fired = 0;
    const nlohmann::json rules = Control("GET", "/sim/cna/faults")["faults"];
    for (const auto& rule : rules) fired += rule["fired"].get<uint64_t>();
    ClearFaults();

    int completed = 0, clean = 0, unclean = 0;
    uint64_t bytes = 0;
    bool sound = sim.State().ListLeases().empty();
    for (int v = 0; v < kVms; ++v) {
        const SSlot& slot = slots[v];
        completed += slot.nCompleted;
        clean += slot.nClean;
        unclean += slot.nUnclean;
        bytes += slot.ullBytes;
        EXPECT_EQ(0, slot.nUnclean) << "load-" << v << ": " << slot.strLastError;
        EXPECT_EQ(0, slot.nWrong) << "load-" << v << ": a completed backup does not hold the disks";
        // The repository holds every completed backup whole, and nothing else.
        const std::string repo = dir.File("load" + std::to_string(v));
        const SRun verify = Run("verify --json --repo " + repo);
        const bool whole =
            slot.nCompleted == 0 || (verify.nExit == 0 && verify.Json()["ok"].get<bool>());
        EXPECT_TRUE(whole) << "load-" << v << ": " << verify.strOut;
        EXPECT_EQ(size_t(slot.nCompleted), Listed(repo)) << "load-" << v;
        sound = sound && slot.nWrong == 0 && whole && Listed(repo) == size_t(slot.nCompleted);
    }
    EXPECT_TRUE(sim.State().ListLeases().empty()) << "a disk-access lease was left";
    EXPECT_GT(fired, 0u) << "no CNA fault fired: " << rules.dump();
    std::printf(
        "load: %d backups completed, %d failed cleanly, %d failed otherwise, %llu bytes "
        "verified, %llu CNA faults, %.0f s\n",
        completed, clean, unclean, static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(fired), secs);
    Record("load: 3 VMs x 3 disks, 3 processes, CNA faults",
           !sound || unclean > 0 ? DATA_ERROR
           : completed > 0       ? SURVIVED
                                 : FAILED_CLEANLY,
           bytes);
}

}  // namespace
