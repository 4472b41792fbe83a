// Whole backups and restores through fcbackup against the simulator with one fault injected
// each time. A backup must either complete, and then hold the disks byte for byte, or fail
// with a message and leave no backup listed; a failed restore must leave no VM and no disk and
// never touch the source. A killed fcbackup must leave the repository's complete backups
// sound. Each case prints one line; the suite ends with the tally.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "CnaServer.h"
#include "FcbackupRun.h"
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

class FaultSuite : public ::testing::Test {
protected:
    fcsim::CSimulator sim;
    CTempDir dir;
    std::unique_ptr<CScopedEnv> password, poll, logs;
    std::string conn;
    int nRepos = 0;

    void SetUp() override {
        std::string err;
        ASSERT_TRUE(sim.Start(fcsim::SSimOptions(), err)) << err;
        ASSERT_NE(nullptr, sim.Cna());
        password = std::make_unique<CScopedEnv>("FC_PASSWORD", sim.Password());
        poll = std::make_unique<CScopedEnv>("FC_BRIDGE_TASK_POLL_MS", "20");
        logs = std::make_unique<CScopedEnv>("FC_LOG_DIR", dir.File("logs"));
        conn = " --url " + sim.Url() + " --user " + sim.User() + " --ca-file " + sim.CAFile();
    }
    void ClearFaults() {
        sim.Faults().Clear();
        sim.Cna()->ClearFaults();
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
    // Every disk of the repository's latest backup of web-01 exports as the live disk; the
    // bytes compared, or -1 when any differs or the repository does not verify.
    int64_t Verified(const std::string& repo) {
        const SRun verify = Run("verify --json --repo " + repo);
        if (verify.nExit != 0 || !verify.Json()["ok"].get<bool>()) return -1;
        const SRun list = Run("list --json --repo " + repo);
        const nlohmann::json backups = list.Json()["backups"];
        if (backups.empty() || backups.back()["disks"].size() != 2) return -1;  // web-01's two
        int64_t bytes = 0;
        for (const auto& d : backups.back()["disks"]) {
            const std::string out = dir.File("export.img");
            const SRun e = Run("export --vm web-01 --disk " + d["name"].get<std::string>() +
                               " --output " + out + " --repo " + repo);
            if (e.nExit != 0 || fctest::ReadWholeFile(out) != Live(d)) return -1;
            bytes += int64_t(d["capacity"].get<uint64_t>());
        }
        return bytes;
    }
    size_t Listed(const std::string& repo) {
        const SRun list = Run("list --json --repo " + repo);
        return list.nExit == 0 ? list.Json()["backups"].size() : 0;
    }
    // One backup with the fault in place, judged; then one without, which must succeed.
    void BackupCase(const std::string& fault) {
        const std::string repo = NewRepo();
        const SRun r = Run("backup --json --vm web-01 --repo " + repo + conn);
        ClearFaults();
        if (r.nExit == 0) {
            const int64_t bytes = Verified(repo);
            Record(fault, bytes > 0 ? SURVIVED : DATA_ERROR, bytes > 0 ? uint64_t(bytes) : 0);
        } else {
            const bool clean =
                r.nExit == 1 && r.strErr.find("fcbackup: ") == 0 && Listed(repo) == 0;
            Record(fault, clean ? FAILED_CLEANLY : DATA_ERROR, 0);
            if (!clean) ADD_FAILURE() << fault << ": exit " << r.nExit << "\n" << r.strErr;
        }
        const SRun again = Run("backup --json --vm web-01 --repo " + repo + conn);
        EXPECT_EQ(0, again.nExit) << fault << ": the next backup failed\n" << again.strErr;
        EXPECT_GT(Verified(repo), 0) << fault << ": the next backup does not hold the disks";
        EXPECT_TRUE(sim.State().ListLeases().empty()) << fault << ": a disk-access lease was left";
    }
    void AddCna(const std::string& rule) {
        fcsim::SCnaFaultRule r;
        std::string err;
        ASSERT_TRUE(fcsim::ParseCnaFaultRule(rule, r, err)) << err;
        sim.Cna()->AddFault(r);
    }
    void AddMgmt(const std::string& op, int status, uint32_t nth, uint32_t times,
                 fcsim::EFaultAction action = fcsim::EFaultAction::Error, uint32_t delayMs = 0) {
        fcsim::SFaultRule r;
        r.strOp = op;
        r.nHttpStatus = status;
        r.window.nNth = nth;
        r.window.nTimes = times;
        r.eAction = action;
        r.nDelayMs = delayMs;
        sim.Faults().Add(r);
    }
    size_t DiskFiles() {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(sim.StateDir() + "/disks"))
            n += e.path().extension() == ".img";
        return n;
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
         [&] { sim.Faults().Add(fcsim::CFaultTable::SnapshotRetryable(2)); }},
        {"snapshot never succeeds",
         [&] { sim.Faults().Add(fcsim::CFaultTable::SnapshotFatal(0)); }},
        {"lease extension refused", [&] { sim.Faults().Add(fcsim::CFaultTable::LeaseRefused(1)); }},
        {"HTTP 500 on the changed blocks", [&] { AddMgmt("GetCbt", 500, 1, 1); }},
        {"HTTP 500 on the VM record", [&] { AddMgmt("GetVm", 500, 1, 1); }},
        {"bad JSON for the VM list",
         [&] { AddMgmt("ListVms", 200, 1, 1, fcsim::EFaultAction::BadJson); }},
        {"slow answers (1.5 s)",
         [&] { AddMgmt("GetSnapshot", 200, 1, 2, fcsim::EFaultAction::Delay, 1500); }},
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

// fcbackup killed at seeded random points of a backup: the complete backups stay sound, the
// interrupted one is never listed, the next run succeeds and collection removes only orphans.
TEST_F(FaultSuite, KilledMidBackup) {
    const std::string repo = NewRepo();
    ASSERT_EQ(0, Run("backup --vm web-01 --repo " + repo + conn).nExit);
    std::mt19937 random(20261209);
    std::string err;
    for (int i = 0; i < 4; ++i) {
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
        const int ms = 100 + int(random() % 1500);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const bool finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        // What is listed is whole: it verifies, and the run counts only if it finished.
        const SRun verify = Run("verify --json --repo " + repo);
        const bool sound = verify.nExit == 0 && verify.Json()["ok"].get<bool>() &&
                           Listed(repo) == before + (finished ? 1 : 0);
        // The next run succeeds and holds the disks; collection then keeps every backup whole.
        const SRun again = Run("backup --vm web-01 --repo " + repo + conn);
        const int64_t bytes = again.nExit == 0 ? Verified(repo) : -1;
        const SRun gc = Run("prune --json --vm web-01 --keep-last 1000 --repo " + repo);
        const bool collected = gc.nExit == 0 && Verified(repo) == bytes;
        Record(
            "fcbackup killed after " + std::to_string(ms) + " ms",
            sound && bytes > 0 && collected ? (finished ? SURVIVED : FAILED_CLEANLY) : DATA_ERROR,
            bytes > 0 ? uint64_t(bytes) : 0);
        EXPECT_TRUE(sound) << verify.strOut;
        EXPECT_EQ(0, again.nExit) << again.strErr;
        EXPECT_TRUE(collected) << gc.strOut << gc.strErr;
    }
}

}  // namespace
