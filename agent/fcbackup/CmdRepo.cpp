// list, verify, export and prune: the repository on its own, no platform needed.
#include <ctime>
#include <sstream>

#include "Cli.h"

namespace fcbackup {

namespace {

std::string Kind(const SBackupInfo& b) {
    return b.eKind == EBackupKind::Incremental ? "incremental" : "full";
}

std::string When(uint64_t ullUs) {
    const time_t secs = static_cast<time_t>(ullUs / 1000000);
    tm utc{};
    ::gmtime_r(&secs, &utc);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
}

struct SRepoOptions {
    SCommon common;
    std::string strRepo;
    std::string strVm;
    std::string strBackup;
    std::string strDisk;
    std::string strOutput;
    size_t nKeepLast = 0;
};

void AddRepoOption(CLI::App& cmd, SRepoOptions& o) {
    cmd.add_option("--repo", o.strRepo, "Repository folder")->required();
    AddCommon(cmd, o.common);
}

bool OpenAndList(const SRepoOptions& o, std::unique_ptr<CRepository>& repo,
                 std::vector<SBackupInfo>& backups, std::string& err) {
    return OpenRepository(o.strRepo, false, false, repo, err) && repo->ListBackups(backups, err);
}

int RunList(const SRepoOptions& o) {
    std::unique_ptr<CRepository> repo;
    std::vector<SBackupInfo> backups;
    std::string err;
    if (!OpenAndList(o, repo, backups, err)) return Failed(o.common, err);
    nlohmann::json j = nlohmann::json::array();
    std::ostringstream t;
    for (const SBackupInfo& b : backups) {
        uint64_t capacity = 0;
        nlohmann::json disks = nlohmann::json::array();
        for (const SDiskRecord& d : b.vecDisks) {
            capacity += d.ullCapacity;
            disks.push_back({{"name", d.strName}, {"capacity", d.ullCapacity}});
        }
        j.push_back({{"backup_id", b.strId},
                     {"vm", b.vm.strName},
                     {"guid", b.vm.strGuid},
                     {"kind", Kind(b)},
                     {"parent", b.strParentId},
                     {"created", When(b.ullCreatedUs)},
                     {"compressed", b.bCompressed},
                     {"disks", disks}});
        t << b.strId << "  " << When(b.ullCreatedUs) << "  " << b.vm.strName << "  " << Kind(b)
          << "  " << b.vecDisks.size() << " disks, " << FormatBytes(capacity) << "\n";
    }
    if (backups.empty()) t << "no backups in " << o.strRepo << "\n";
    return Done(o.common, {{"backups", j}}, t.str());
}

int RunVerify(const SRepoOptions& o) {
    std::unique_ptr<CRepository> repo;
    std::vector<SBackupInfo> backups;
    std::string err;
    if (!OpenAndList(o, repo, backups, err)) return Failed(o.common, err);
    SVerifyReport total;
    size_t checked = 0;
    for (const SBackupInfo& b : backups) {
        if (!o.strBackup.empty() && b.strId != o.strBackup) continue;
        std::unique_ptr<CBackupReader> reader;
        if (!repo->OpenBackup(b.strId, reader, err)) return Failed(o.common, err);
        SVerifyReport report;
        reader->Verify(report);
        total.ullChunksChecked += report.ullChunksChecked;
        for (const std::string& e : report.vecErrors) total.vecErrors.push_back(b.strId + ": " + e);
        ++checked;
    }
    if (!o.strBackup.empty() && checked == 0)
        return Failed(o.common, "no complete backup " + o.strBackup + " in " + o.strRepo);
    const nlohmann::json j{{"ok", total.Ok()},
                           {"backups_checked", checked},
                           {"chunks_checked", total.ullChunksChecked},
                           {"errors", total.vecErrors}};
    std::ostringstream t;
    for (const std::string& e : total.vecErrors) t << "damaged: " << e << "\n";
    t << checked << " backups, " << total.ullChunksChecked << " chunks checked: "
      << (total.Ok() ? "all sound" : std::to_string(total.vecErrors.size()) + " errors") << "\n";
    Done(o.common, j, t.str());
    return total.Ok() ? EXIT_DONE : EXIT_FAILED;
}

int RunExport(const SRepoOptions& o) {
    std::unique_ptr<CRepository> repo;
    std::unique_ptr<CBackupReader> reader;
    SBackupInfo info;
    std::string err;
    if (!OpenRepository(o.strRepo, false, false, repo, err) ||
        !fcagent::FindBackup(*repo, o.strVm, o.strBackup, info, err) ||
        !repo->OpenBackup(info.strId, reader, err))
        return Failed(o.common, err);
    const SDiskRecord* disk = nullptr;
    std::string names;
    for (const SDiskRecord& d : info.vecDisks) {
        if (d.strName == o.strDisk) disk = &d;
        names += (names.empty() ? "" : ", ") + d.strName;
    }
    if (!disk)
        return Failed(o.common, "backup " + info.strId + " has no disk " + o.strDisk +
                                    " (its disks: " + names + ")");
    if (!reader->ExportDisk(disk->strName, o.strOutput, err)) return Failed(o.common, err);
    return Done(o.common,
                {{"backup_id", info.strId},
                 {"disk", disk->strName},
                 {"capacity", disk->ullCapacity},
                 {"output", o.strOutput}},
                "exported disk " + disk->strName + " of backup " + info.strId + " to " +
                    o.strOutput + " (" + FormatBytes(disk->ullCapacity) + ", sparse)\n");
}

int RunPrune(const SRepoOptions& o) {
    std::unique_ptr<CRepository> repo;
    SGcReport report;
    std::string err;
    if (!OpenRepository(o.strRepo, false, false, repo, err) ||
        !repo->Prune(o.strVm, o.nKeepLast, report, err))
        return Failed(o.common, err);
    return Done(o.common,
                {{"backups_removed", report.ullBackupsRemoved},
                 {"chunks_removed", report.ullChunksRemoved},
                 {"chunks_kept", report.ullChunksKept},
                 {"temp_files_removed", report.ullTempFilesRemoved}},
                "removed " + std::to_string(report.ullBackupsRemoved) + " backups and " +
                    std::to_string(report.ullChunksRemoved) + " chunks; " +
                    std::to_string(report.ullChunksKept) + " chunks kept\n");
}

template <typename F>
void Add(CLI::App& app, FRun& run, const char* name, const char* what,
         std::shared_ptr<SRepoOptions> o, F body, CLI::App** out) {
    CLI::App* cmd = app.add_subcommand(name, what);
    AddRepoOption(*cmd, *o);
    cmd->callback([o, body, &run] { run = [o, body] { return body(*o); }; });
    *out = cmd;
}

}  // namespace

void AddRepoCommands(CLI::App& app, FRun& run) {
    CLI::App* cmd = nullptr;
    Add(app, run, "list", "List the complete backups", std::make_shared<SRepoOptions>(), RunList,
        &cmd);

    auto v = std::make_shared<SRepoOptions>();
    Add(app, run, "verify", "Check every chunk of the backups against its SHA-256", v, RunVerify,
        &cmd);
    cmd->add_option("--backup", v->strBackup, "Only this backup");

    auto e = std::make_shared<SRepoOptions>();
    Add(app, run, "export", "Write a disk of a backup as a sparse raw image", e, RunExport, &cmd);
    cmd->add_option("--vm", e->strVm, "Backed-up VM, name or GUID")->required();
    cmd->add_option("--backup", e->strBackup, "Backup id (default: the latest)");
    cmd->add_option("--disk", e->strDisk, "Disk name, as list --json shows it")->required();
    cmd->add_option("--output", e->strOutput, "Image file to write")->required();

    auto p = std::make_shared<SRepoOptions>();
    Add(app, run, "prune", "Keep a VM's newest backups, then collect unreferenced chunks", p,
        RunPrune, &cmd);
    cmd->add_option("--vm", p->strVm, "VM name or GUID")->required();
    cmd->add_option("--keep-last", p->nKeepLast, "Backups to keep (at least 1)")
        ->required()
        ->check(CLI::Range(1, 1000000));
}

}  // namespace fcbackup
