// sim: the simulator as a server; demo: a whole backup, incremental and restore against the
// simulator in this process, checked byte for byte.
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>

#include "Cli.h"
#include "Simulator.h"
#include "WzFile.h"

namespace fcbackup {

namespace {

struct SSimCmdOptions {
    SCommon common;
    std::string strState;
    uint16_t nPort = 7443;
    int nVersion = 63;
};

int RunSim(const SSimCmdOptions& o) {
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread starts: only sigwait sees them
    fcsim::SSimOptions opt;
    opt.strStateDir = o.strState;
    opt.nPort = o.nPort;
    opt.bSeed = true;
    opt.settings.nVersion = o.nVersion;
    fcsim::CSimulator sim;
    std::string err;
    if (!sim.Start(opt, err)) return Failed(o.common, "the simulator did not start: " + err);
    Done(o.common,
         {{"url", sim.Url()},
          {"user", sim.User()},
          {"password", sim.Password()},
          {"ca_file", sim.CAFile()},
          {"cna_port", sim.CnaPort()},
          {"version", o.nVersion},
          {"state", sim.StateDir()}},
         sim.StartupText());
    int sig = 0;
    sigwait(&stop, &sig);
    if (!o.common.bJson) std::printf("fcsim: stopping\n");
    sim.Stop();
    return EXIT_DONE;
}

struct SDemoOptions {
    SCommon common;
    std::string strRepo;
};

// The content of a VM's disks as the simulator holds them, each cut or padded to its size.
std::vector<std::string> DiskContents(fcsim::CSimulator& sim, const VMInfoStructs::SVMInfo& vm) {
    std::vector<std::string> out;
    for (const VMInfoStructs::SDisk& d : vm.vecDisks) {
        std::string text;
        ReadWholeFile(sim.State().DiskPath(d.strName.substr(d.strName.rfind(':') + 1)), text);
        text.resize(d.ullCapacity, '\0');
        out.push_back(text);
    }
    std::sort(out.begin(), out.end());
    return out;
}

class CDemo {
public:
    explicit CDemo(const SDemoOptions& o) : m_o(o) {}

    int Run() {
        // The simulator's tasks end at once; the default pace is a real platform's.
        ::setenv("FC_BRIDGE_TASK_POLL_MS", "20", 0);
        std::string err;
        if (!m_work.Create("fcbackup-demo", err)) return Failed(m_o.common, err);
        const std::string repoPath = m_o.strRepo.empty() ? m_work.Path() + "/repo" : m_o.strRepo;
        fcsim::SSimOptions opt;
        if (!OpenRepository(repoPath, true, false, m_repo, err) || !m_sim.Start(opt, err))
            return Failed(m_o.common, err);
        Say("simulator at " + m_sim.Url() + ", repository " + repoPath);
        const fcagent::SConnection conn{m_sim.Url(), m_sim.User(), m_sim.Password(), m_sim.CAFile(),
                                        false};
        if (!ConnectPlatform(conn, m_host, err)) return Failed(m_o.common, err);
        m_progress = fcagent::MakeProgress(true);

        fcagent::SBackupResult full, incr;
        if (!Backup(true, full, err)) return Failed(m_o.common, "the full backup failed: " + err);
        Say(BackupToText(full));
        uint64_t changed = 0;
        if (!GuestWrites(full, changed, err)) return Failed(m_o.common, err);
        Say("the guest wrote " + FormatBytes(changed) + " to its disks");
        if (!Backup(false, incr, err))
            return Failed(m_o.common, "the incremental backup failed: " + err);
        Say(BackupToText(incr));

        fcagent::SRestoreRequest rq;
        rq.strVm = kVm;
        rq.strNewName = std::string(kVm) + "-restored";
        rq.strWorkDir = m_work.Path();
        fcagent::SRestoreResult restored;
        if (!fcagent::RunRestore(*m_host, *m_repo, rq, *m_progress, restored, err))
            return Failed(m_o.common, "the restore failed: " + err);
        Say("restored backup " + restored.strBackupId + " as " + restored.strVm);

        std::vector<std::string> problems;
        Check(full, incr, changed, restored, problems);
        return Summary(full, incr, changed, restored, problems);
    }

private:
    static constexpr const char* kVm = "web-01";

    void Say(const std::string& text) {
        if (m_o.common.bJson) return;
        std::printf("%s%s", text.c_str(), text.empty() || text.back() != '\n' ? "\n" : "");
        std::fflush(stdout);
    }

    bool Backup(bool bFull, fcagent::SBackupResult& r, std::string& err) {
        fcagent::SBackupRequest rq;
        rq.strVm = kVm;
        rq.bFull = bFull;  // a kept repository may hold backups of another simulator's VM
        rq.nJobs = 2;
        rq.strWorkDir = m_work.Path();
        return fcagent::RunBackup(*m_host, *m_repo, rq, *m_progress, r, err);
    }

    // What a guest would write between backups: a little on each disk, at odd places.
    bool GuestWrites(const fcagent::SBackupResult& full, uint64_t& changed, std::string& err) {
        std::mt19937 random(20261208);
        const uint64_t sizes[] = {1 << 20, 192 << 10};
        for (size_t i = 0; i < full.vecDisks.size(); ++i) {
            const fcagent::SDiskResult& d = full.vecDisks[i];
            const uint64_t n = std::min<uint64_t>(sizes[i % 2], d.ullCapacity / 4);
            std::string data(n, '\0');
            for (char& c : data) c = static_cast<char>(random());
            const uint64_t at = (d.ullCapacity / 2 + 4096 * (i + 1)) / 4096 * 4096;
            if (m_sim.GuestWrite(d.strName, at, data, err) == 0) return false;
            changed += n;
        }
        return true;
    }

    void Check(const fcagent::SBackupResult& full, const fcagent::SBackupResult& incr,
               uint64_t changed, const fcagent::SRestoreResult& restored,
               std::vector<std::string>& problems) {
        if (full.bIncremental) problems.push_back("the first backup was not full");
        if (!incr.bIncremental) problems.push_back("the second backup was not incremental");
        for (const fcagent::SDiskResult& d : incr.vecDisks)
            if (d.strCbt != "incremental")
                problems.push_back("disk " + d.strName +
                                   " was read in full: " + d.strFallbackReason);
        // Changes are tracked in blocks of up to 1 MiB: each write may touch two more.
        if (incr.ullBytesRead < changed || incr.ullBytesRead > changed + (4u << 20))
            problems.push_back("the incremental read " + std::to_string(incr.ullBytesRead) +
                               " bytes for " + std::to_string(changed) + " changed");
        VMInfoStructs::SVMInfo source, copy;
        std::string err;
        if (!m_host->FindVM(kVm, source, err) || !m_host->FindVM(restored.strVm, copy, err)) {
            problems.push_back(err);
            return;
        }
        if (source.vecDisks.size() != copy.vecDisks.size() ||
            DiskContents(m_sim, source) != DiskContents(m_sim, copy))
            problems.push_back("the restored disks differ from the source's");
        std::vector<SBackupInfo> backups;
        if (!m_repo->ListBackups(backups, err)) problems.push_back(err);
        for (const SBackupInfo& b : backups) {
            std::unique_ptr<CBackupReader> reader;
            SVerifyReport report;
            if (!m_repo->OpenBackup(b.strId, reader, err) || !reader->Verify(report))
                problems.push_back("backup " + b.strId + " does not verify");
            m_ullChunks += report.ullChunksChecked;
        }
    }

    int Summary(const fcagent::SBackupResult& full, const fcagent::SBackupResult& incr,
                uint64_t changed, const fcagent::SRestoreResult& restored,
                const std::vector<std::string>& problems) {
        const bool verified = problems.empty();
        // The disks' read rate: the snapshot and log-on around them are the platform's time.
        double diskSeconds = 0;
        for (const fcagent::SDiskResult& d : full.vecDisks) diskSeconds += d.dSeconds;
        const double rate = diskSeconds > 0 ? double(full.ullBytesRead) / diskSeconds : 0;
        const std::string transport =
            full.vecDisks.empty() ? std::string() : full.vecDisks.front().strTransport;
        std::ostringstream t;
        t << "summary:\n"
          << "  full backup        read " << FormatBytes(full.ullBytesRead) << ", skipped "
          << FormatBytes(full.ullBytesSkipped) << " (unallocated), "
          << FormatBytes(static_cast<uint64_t>(rate)) << "/s over " << transport << " in "
          << std::to_string(full.dSeconds).substr(0, 4) << " s\n"
          << "  incremental backup read " << FormatBytes(incr.ullBytesRead) << " for "
          << FormatBytes(changed) << " changed, skipped " << FormatBytes(incr.ullBytesSkipped)
          << ", changed-block tracking " << incr.strCbtStatus << "\n"
          << "  restore            " << restored.vecDisks.size() << " disks as " << restored.strVm
          << ", " << FormatBytes(restored.ullBytesWritten) << " written\n"
          << "  verification       " << m_ullChunks << " chunks checked; "
          << (verified ? "restored disks equal the source byte for byte" : "FAILED") << "\n";
        for (const std::string& p : problems) t << "  problem: " << p << "\n";
        Done(m_o.common,
             {{"verified", verified},
              {"problems", problems},
              {"full", BackupToJson(full)},
              {"incremental", BackupToJson(incr)},
              {"bytes_changed", changed},
              {"throughput_bytes_per_second", rate},
              {"transport", transport},
              {"cbt", incr.strCbtStatus},
              {"chunks_checked", m_ullChunks},
              {"restore",
               {{"vm", restored.strVm}, {"guid", restored.strGuid}, {"disks", restored.vecDisks}}}},
             t.str());
        return verified ? EXIT_DONE : EXIT_FAILED;
    }

    const SDemoOptions& m_o;
    CWorkDir m_work;  // declared first: removed last, after the simulator and the repository
    fcsim::CSimulator m_sim;
    std::unique_ptr<CRepository> m_repo;
    std::unique_ptr<fcagent::CPluginHost> m_host;
    std::unique_ptr<fcagent::IProgress> m_progress;
    uint64_t m_ullChunks = 0;
};

}  // namespace

void AddSimCommands(CLI::App& app, FRun& run) {
    auto s = std::make_shared<SSimCmdOptions>();
    CLI::App* sc = app.add_subcommand("sim", "Run the simulator with the demo inventory");
    sc->add_option("--state", s->strState, "State folder (kept); default: a temporary one");
    sc->add_option("--port", s->nPort, "Management service port on 127.0.0.1 (0 = any)");
    sc->add_option("--version", s->nVersion, "Management version number (63 = v6.3)")
        ->check(CLI::Range(10, 99));
    AddCommon(*sc, s->common);
    sc->callback([s, &run] { run = [s] { return RunSim(*s); }; });

    auto d = std::make_shared<SDemoOptions>();
    CLI::App* dc = app.add_subcommand(
        "demo", "Back a VM of a built-in simulator up, change it, back it up again, restore it");
    dc->add_option("--repo", d->strRepo, "Keep the repository here (default: a temporary one)");
    AddCommon(*dc, d->common);
    dc->callback([d, &run] { run = [d] { return CDemo(*d).Run(); }; });
}

}  // namespace fcbackup
