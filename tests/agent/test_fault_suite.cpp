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

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "FcbackupRun.h"
#include "FsFaults.h"
#include "FsToolsSetup.h"
#include "FsVolumeStore.h"

extern char** environ;

namespace {

using fctest::SRun;

enum EOutcome { SURVIVED, FAILED_CLEANLY, DATA_ERROR };

int g_tally[3] = {};  // the cases by outcome

class CTallyPrinter : public ::testing::Environment {
public:
    void TearDown() override {
        std::printf("faults: %d tried, %d survived, %d failed cleanly, %d data errors\n",
                    g_tally[SURVIVED] + g_tally[FAILED_CLEANLY] + g_tally[DATA_ERROR],
                    g_tally[SURVIVED], g_tally[FAILED_CLEANLY], g_tally[DATA_ERROR]);
    }
};
const auto* const c_printer = ::testing::AddGlobalTestEnvironment(new CTallyPrinter());

void Record(const std::string& fault, EOutcome outcome, uint64_t verified) {
    ++g_tally[outcome];
    const char* text[] = {"survived", "failed cleanly", "DATA ERROR"};
    std::printf("fault %-44s %-15s %llu bytes verified\n", fault.c_str(), text[outcome],
                static_cast<unsigned long long>(verified));
    EXPECT_NE(DATA_ERROR, outcome) << fault;
}

// Every VM the suite backs up (web-01, fs-01, the copies of web-01) has two disks.
const size_t kDisks = 2;

// The plug-in's settings for the suite: leftover backup snapshots expire after an hour; the
// waits between retries are short (a second between snapshot attempts and between disk I/O
// attempts, one pause for a bitmap volume), the number of retries is the plug-in's own.
const char* const kPluginSettings =
    "[VirtualServer]\nnExpireSnapshotHours=1\nnCreateSnapshotRetryIntervalSecs=1\n"
    "DiskIORetryDelay=1\nnMaxQueryBitMapAttempts=0\n";

class FaultSuite : public fctest::CFcbackupTest {
protected:
    int nRepos = 0;
    bool bFsTools = false;

    void SetUp() override {
        StartSim(fcsim::SSimOptions());
        env.Set("FC_CONFIG_FILE", dir.Write("fc.ini", kPluginSettings));
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

    // A control call (/sim/...) that must succeed, over HTTPS and trusting the simulator's
    // certificate, as to an fcsim running on its own; its answer.
    nlohmann::json Control(const std::string& method, const std::string& path,
                           const nlohmann::json& body = nullptr) {
        httplib::Client cli(sim.Url());
        cli.set_ca_cert_path(sim.CAFile());
        cli.enable_server_certificate_verification(true);
        cli.set_read_timeout(60, 0);
        const std::string text = body.is_null() ? "" : body.dump();
        const httplib::Result res = method == "GET"    ? cli.Get(path)
                                    : method == "POST" ? cli.Post(path, text, "application/json")
                                                       : cli.Delete(path, text, "application/json");
        const nlohmann::json answer =
            res ? nlohmann::json::parse(res->body, nullptr, false) : nlohmann::json();
        EXPECT_TRUE(res && res->status == 200)
            << method << " " << path << " " << body.dump() << ": " << answer.dump();
        return answer;
    }
    void ClearFaults() {
        Control("DELETE", "/sim/faults");
        Control("DELETE", "/sim/cna/faults");
        Control("POST", "/sim/config", {{"leaseSecs", 300}, {"sessionIdleSecs", 600}});
        if (bFsTools) fcsim::CFsFaults(sim.StateDir()).Clear();
    }
    SRun Run(const std::string& args) { return fctest::Fcbackup(dir, args + " --no-progress"); }
    std::string NewRepo() { return dir.File("repo" + std::to_string(++nRepos)); }

    // Every disk of one backup ({"backup_id", "disks": [{"name", "capacity"}]}, as list and
    // backup answer) exports as the live disk, the runs' output kept in runDir; the bytes
    // compared, or -1 when a disk differs or the backup lacks disks.
    int64_t Holds(const CTempDir& runDir, const std::string& repo, const std::string& vm,
                  const nlohmann::json& backup) {
        if (backup["disks"].size() != kDisks) return -1;
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
    int64_t Verified(const std::string& repo, const std::string& vm = "web-01") {
        const SRun verify = Run("verify --json --repo " + repo);
        if (verify.nExit != 0 || !verify.Json()["ok"].get<bool>()) return -1;
        const nlohmann::json backups = Run("list --json --repo " + repo).Json()["backups"];
        return backups.empty() ? -1 : Holds(dir, repo, vm, backups.back());
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
    void BackupCase(const std::string& fault, const std::string& vm = "web-01",
                    const std::function<void()>& afterFault = nullptr) {
        const std::string repo = NewRepo();
        const SRun r = Run("backup --json --vm " + vm + " --repo " + repo + conn);
        ClearFaults();
        const bool bNothingLeft = sim.State().ListLeases().empty() && FsVolumes() == 0;
        const int64_t bytes = r.nExit == 0 ? Verified(repo, vm) : 0;
        const bool clean = r.nExit == 1 && r.strErr.find("fcbackup: ") == 0 && Listed(repo) == 0;
        Record(fault,
               !bNothingLeft || bytes < 0 || (r.nExit != 0 && !clean) ? DATA_ERROR
               : r.nExit == 0                                         ? SURVIVED
                                                                      : FAILED_CLEANLY,
               uint64_t(std::max<int64_t>(bytes, 0)));
        EXPECT_TRUE(r.nExit == 0 || clean) << fault << ": exit " << r.nExit << "\n" << r.strErr;
        EXPECT_TRUE(bNothingLeft) << fault << ": a lease or a FusionStorage volume was left";
        if (afterFault) afterFault();
        const SRun again = Run("backup --json --vm " + vm + " --repo " + repo + conn);
        EXPECT_EQ(0, again.nExit) << fault << ": the next backup failed\n" << again.strErr;
        EXPECT_GT(Verified(repo, vm), 0) << fault << ": the next backup does not hold the disks";
        EXPECT_TRUE(sim.State().ListLeases().empty() && FsVolumes() == 0)
            << fault << ": the next backup left a lease or a FusionStorage volume";
    }
    // Injects the faults of a table row, joined by ';', each "<where> <what>": "cna" a CNA rule
    // in its rule text, "mgmt" the JSON of a management-service rule (/sim/faults: nth and
    // times 1 and an error 400 unless given), "config" the JSON of simulator settings, "fs"
    // a FusionStorage tools rule.
    void Inject(const std::string& faults) {
        std::stringstream all(faults);
        std::string one;
        while (std::getline(all >> std::ws, one, ';')) {
            const std::string where = one.substr(0, one.find(' '));
            const std::string what = one.substr(where.size() + 1);
            if (where == "cna")
                Control("POST", "/sim/cna/faults", {{"rule", what}});
            else if (where == "mgmt" || where == "config")
                Control("POST", where == "mgmt" ? "/sim/faults" : "/sim/config",
                        nlohmann::json::parse(what));
            else if (where != "fs" || !fcsim::CFsFaults(sim.StateDir()).Add(what))
                ADD_FAILURE() << "fault not injected: " << one;
        }
    }
    size_t DiskFiles() {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(sim.StateDir() + "/disks"))
            n += e.path().extension() == ".img";
        return n;
    }
};

// One backup per row with its faults in place (BackupCase). Leases and sessions run out while
// fcbackup waits: a disk-access lease of an open disk, far shorter than the wait, must be kept
// alive by the plug-in, so that the backup completes (bMustSurvive); a management session left
// idle past its time-out must be logged on again, or the backup fail cleanly. (The simulator
// counts whole seconds: a lease of 3 s lasts 2 to 3 s.) The FusionStorage rows back up fs-01,
// one disk on FusionStorage and one not, with the tools in place; they come last, since every
// run starts the tools from then on.
TEST_F(FaultSuite, BackupsUnderOneFault) {
    const struct {
        const char* name;
        const char* faults;
        bool bMustSurvive = false;
    } cases[] = {
        {"CNA read dropped", "cna op=read nth=3 action=drop"},
        {"CNA read stalled 1.5 s", "cna op=read nth=2 action=stall stall_ms=1500"},
        {"CNA read with a wrong sequence number", "cna op=read nth=2 action=wrongseq"},
        {"CNA read short", "cna op=read nth=2 action=short"},
        {"CNA read error status 8", "cna op=read nth=2 action=error status=8"},
        {"CNA every read from the second fails", "cna op=read nth=2 times=0 action=error"},
        {"CNA open fails", "cna op=open action=error"},
        {"snapshot retryable twice", R"(mgmt {"action": "snapshot-retryable", "times": 2})"},
        {"snapshot never succeeds", R"(mgmt {"action": "snapshot-fatal", "times": 0})"},
        {"lease extension refused", R"(mgmt {"action": "lease-refused"})"},
        {"HTTP 500 on the changed blocks", R"(mgmt {"op": "GetCbt", "httpStatus": 500})"},
        {"HTTP 500 on the VM record", R"(mgmt {"op": "GetVm", "httpStatus": 500})"},
        {"bad JSON for the VM list", R"(mgmt {"op": "ListVms", "action": "badjson"})"},
        {"slow answers (1.5 s)",
         R"(mgmt {"op": "GetSnapshot", "times": 2, "action": "delay", "delayMs": 1500})"},
        {"dropped answer (VM record)", R"(mgmt {"op": "GetVm", "action": "drop"})"},
        {"dropped answer (lease extension)",
         R"(mgmt {"op": "ExtendBackupResource", "action": "drop"})"},
        {"lease 3 s, a CNA read stalled 4.5 s",
         R"(config {"leaseSecs": 3}; cna op=read nth=2 action=stall stall_ms=4500)", true},
        // The plug-in extends a lease once the disk is open, so an open that outlasts the
        // lease it was granted with may only fail cleanly.
        {"lease 3 s, a CNA open stalled 4.5 s",
         R"(config {"leaseSecs": 3}; cna op=open nth=2 action=stall stall_ms=4500)"},
        {"session idle 1 s, an answer 2.5 s late",
         R"(config {"sessionIdleSecs": 1}; )"
         R"(mgmt {"op": "GetSnapshot", "action": "delay", "delayMs": 2500})"},
        {"FS: volume from snapshot refused", "fs op=createVolumeFromSnap action=fail times=0"},
        {"FS: attach fails", "fs op=attach action=fail ret_code=7 ret_desc=\"no path\" times=0"},
        {"FS: attach names no device", "fs op=attach action=empty"},
        {"FS: volume query garbled", "fs op=queryvolume action=garbage times=0"},
        {"FS: bitmap volume never ready", "fs op=createBitmapVolume action=notready queries=1000"},
    };
    for (const auto& c : cases) {
        const bool bFs = std::string(c.faults).rfind("fs ", 0) == 0;
        if (bFs && !bFsTools && !UseFsTools()) {
            std::printf("FusionStorage rows skipped: no VrmVBSTools stand-in (no javac)\n");
            break;
        }
        Inject(c.faults);
        const int survivedBefore = g_tally[SURVIVED];
        BackupCase(c.name, bFs ? "fs-01" : "web-01");
        EXPECT_TRUE(!c.bMustSurvive || g_tally[SURVIVED] == survivedBefore + 1)
            << c.name << ": did not survive";
    }
}

TEST_F(FaultSuite, RestoresThatFailLeaveNothing) {
    const std::string repo = NewRepo();
    ASSERT_EQ(0, Run("backup --vm web-01 --repo " + repo + conn).nExit);
    const SRun before = Run("vms --json" + conn);
    const size_t disksBefore = DiskFiles();
    const struct {
        const char* name;
        const char* faults;
    } cases[] = {
        {"restore: VM creation refused", R"(mgmt {"op": "ImportOvf", "times": 0})"},
        {"restore: second disk not created", R"(mgmt {"op": "CreateVolume", "nth": 2})"},
        {"restore: CNA write fails", "cna op=write nth=2 times=0 action=error"},
        {"restore: CNA connection dropped", "cna op=write nth=3 times=0 action=drop"},
    };
    for (const auto& c : cases) {
        Inject(c.faults);
        const SRun r = Run("restore --vm web-01 --name web-01-lost --repo " + repo + conn);
        ClearFaults();
        const bool untouched = Run("vms --json" + conn).strOut == before.strOut;
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
        // The shell execs fcbackup, so that the kill reaches fcbackup itself.
        const std::string cmd = std::string("exec ") + FCBACKUP_BIN +
                                " backup --no-progress --full --vm web-01 --repo " + repo + conn;
        const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(
            0, posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ));
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

// Snapshot deletion failing, judged as every backup case is; the snapshot left behind is
// removed by the later backup once it is older than the plug-in's expiry (one hour here): it
// is taken while the simulator's clock stands two hours back, the later backup runs on the
// real clock.
TEST_F(FaultSuite, LeftoverSnapshotRemovedOnceExpired) {
    // The backup snapshots in the simulator's inventory; web-01 is the only VM backed up.
    auto ours = [&] {
        long n = 0;
        const nlohmann::json inventory =
            nlohmann::json::parse(fctest::ReadWholeFile(sim.StateDir() + "/inventory.json"));
        for (const auto& snap : inventory["snapshots"]) n += snap["name"] == "__VQ_BACKUP__";
        return n;
    };
    fcsim::CSimState::SetNowForTest(int64_t(std::time(nullptr)) - 2 * 3600);
    Inject(R"(mgmt {"op": "DeleteSnapshot", "times": 0})");
    long leftover = -1;
    BackupCase("snapshot deletion fails", "web-01", [&] {
        leftover = ours();
        fcsim::CSimState::SetNowForTest(0);
    });
    EXPECT_EQ(1, leftover) << "the failed deletion left no snapshot behind";
    EXPECT_EQ(0, ours()) << "the later backup left a backup snapshot";
}

// Load: three VMs of two disks each (web-01 restored under new names, with data of their own
// written on top) backed up in full, over and over, by three fcbackup processes at once for a
// bounded time, while the CNA fails a steady share of the reads. Every backup that completes
// must hold its disks byte for byte; every other must fail cleanly.
TEST_F(FaultSuite, LoadWithCnaFaults) {
    const int kVms = 3;
    const auto kFor = std::chrono::seconds(60);
    const std::string source = NewRepo();
    ASSERT_EQ(0, Run("backup --vm web-01 --repo " + source + conn).nExit);
    std::mt19937 random(20261210);
    std::string err;
    for (int v = 0; v < kVms; ++v) {
        const std::string vm = "load-" + std::to_string(v);
        ASSERT_EQ(0, Run("restore --vm web-01 --name " + vm + " --repo " + source + conn).nExit);
        const nlohmann::json vms = Run("vms --json" + conn).Json();
        for (const auto& vmRecord : vms["vms"]) {
            if (vmRecord["name"] != vm) continue;
            // Data in a few places, so that a full backup reads several extents per disk.
            for (const auto& disk : vmRecord["disks"])
                for (uint64_t at : {uint64_t(v) << 20, uint64_t(4 + v) << 20}) {
                    std::string data(1 << 20, '\0');
                    for (char& c : data) c = char(random());
                    ASSERT_NE(0u, sim.GuestWrite(disk["name"], at, data, err)) << err;
                }
        }
    }
    // Every 10th read answers an error, every 25th drops its connection (about one backup in two
    // meets one).
    Inject(
        "cna op=read nth=10 every=10 times=0 action=error; "
        "cna op=read nth=25 every=25 times=0 action=drop");

    // Each process checks every backup it completes at once, while the others go on.
    struct SSlot {
        CTempDir dir;
        int nCompleted = 0, nClean = 0;
        uint64_t ullBytes = 0;
        std::string strWrong;  // the runs that failed uncleanly, the backups that differ
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
                const SRun r = fctest::Fcbackup(slot.dir, args);
                const int64_t bytes = r.nExit == 0 ? Holds(slot.dir, repo, vm, r.Json()) : 0;
                slot.nCompleted += r.nExit == 0;
                slot.ullBytes += uint64_t(std::max<int64_t>(bytes, 0));
                if (bytes < 0)
                    slot.strWrong += vm + ": a completed backup does not hold the disks\n";
                else if (r.nExit == 1 && r.strErr.find("fcbackup: ") == 0)
                    ++slot.nClean;
                else if (r.nExit != 0)
                    slot.strWrong += vm + ": exit " + std::to_string(r.nExit) + " " + r.strErr;
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

    int completed = 0, clean = 0;
    uint64_t bytes = 0;
    std::string wrong = sim.State().ListLeases().empty() ? "" : "a disk-access lease was left\n";
    for (int v = 0; v < kVms; ++v) {
        completed += slots[v].nCompleted;
        clean += slots[v].nClean;
        bytes += slots[v].ullBytes;
        wrong += slots[v].strWrong;
        // The repository holds every completed backup whole, and nothing else.
        const std::string repo = dir.File("load" + std::to_string(v));
        const SRun verify = Run("verify --json --repo " + repo);
        if (slots[v].nCompleted > 0 && (verify.nExit != 0 || !verify.Json()["ok"].get<bool>()))
            wrong += "load-" + std::to_string(v) + ": " + verify.strOut;
        if (Listed(repo) != size_t(slots[v].nCompleted))
            wrong += "load-" + std::to_string(v) + ": not what completed is listed\n";
    }
    EXPECT_EQ("", wrong);
    EXPECT_GT(fired, 0u) << "no CNA fault fired: " << rules.dump();
    std::printf(
        "load: %d backups completed, %d failed cleanly, %llu bytes verified, %llu CNA "
        "faults, %.0f s\n",
        completed, clean, static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(fired), secs);
    Record("load: 3 VMs x 2 disks, 3 processes, CNA faults",
           !wrong.empty()  ? DATA_ERROR
           : completed > 0 ? SURVIVED
                           : FAILED_CLEANLY,
           bytes);
}

}  // namespace
