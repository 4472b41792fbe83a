// backup and restore: the jobs that move disk data between the platform and the repository.
#include <sstream>

#include "Cli.h"

namespace fcbackup {

nlohmann::json BackupToJson(const fcagent::SBackupResult& r) {
    nlohmann::json disks = nlohmann::json::array();
    for (const fcagent::SDiskResult& d : r.vecDisks)
        disks.push_back({{"name", d.strName},
                         {"capacity", d.ullCapacity},
                         {"bytes_read", d.ullBytesRead},
                         {"transport", d.strTransport},
                         {"cbt", d.strCbt},
                         {"fallback_reason", d.strFallbackReason},
                         {"seconds", d.dSeconds}});
    return {{"backup_id", r.strBackupId},   {"vm", r.strVm},
            {"guid", r.strVmGuid},          {"kind", r.bIncremental ? "incremental" : "full"},
            {"parent", r.strParentId},      {"cbt_status", r.strCbtStatus},
            {"bytes_read", r.ullBytesRead}, {"bytes_skipped", r.ullBytesSkipped},
            {"seconds", r.dSeconds},        {"disks", disks},
            {"skipped", r.vecSkipped}};
}

std::string BackupToText(const fcagent::SBackupResult& r) {
    std::ostringstream t;
    t << "backup " << r.strBackupId << " of " << r.strVm << ": "
      << (r.bIncremental ? "incremental on " + r.strParentId : std::string("full")) << "\n";
    const double rate = r.dSeconds > 0 ? double(r.ullBytesRead) / r.dSeconds : 0;
    char secs[32];
    std::snprintf(secs, sizeof(secs), "%.2f s", r.dSeconds);
    t << "  read " << FormatBytes(r.ullBytesRead) << ", skipped " << FormatBytes(r.ullBytesSkipped)
      << " in " << secs << " (" << FormatBytes(static_cast<uint64_t>(rate)) << "/s)"
      << ", changed-block tracking " << (r.strCbtStatus.empty() ? "-" : r.strCbtStatus) << "\n";
    for (const std::string& s : r.vecSkipped) t << "  skipped " << s << "\n";
    for (const fcagent::SDiskResult& d : r.vecDisks) {
        t << "  disk " << d.strName << ": " << FormatBytes(d.ullCapacity) << ", read "
          << FormatBytes(d.ullBytesRead) << " over " << d.strTransport << ", " << d.strCbt;
        if (!d.strFallbackReason.empty()) t << " (" << d.strFallbackReason << ")";
        t << "\n";
    }
    return t.str();
}

namespace {

// What a backup or a restore works with: the repository, a private work folder, the plug-in
// logged on, and the progress display.
struct SJob {
    std::unique_ptr<CRepository> repo;
    CWorkDir work;
    std::unique_ptr<fcagent::CPluginHost> host;
    std::unique_ptr<fcagent::IProgress> progress;

    bool Prepare(const SCommon& common, const SConnectOptions& conn, const std::string& strRepo,
                 bool bCreate, bool bCompress, std::string& err) {
        if (!OpenRepository(strRepo, bCreate, bCompress, repo, err) ||
            !work.Create("fcbackup", err) || !ConnectPlatform(conn, host, err))
            return false;
        progress = fcagent::MakeProgress(common.bNoProgress || common.bJson);
        return true;
    }
};

struct SBackupOptions {
    SCommon common;
    SConnectOptions conn;
    fcagent::SBackupRequest request;
    std::string strRepo;
    bool bCompress = false;
};

int RunBackupCommand(SBackupOptions& o) {
    std::string err;
    SJob job;
    if (!job.Prepare(o.common, o.conn, o.strRepo, true, o.bCompress, err))
        return Failed(o.common, err);
    o.request.strWorkDir = job.work.Path();
    fcagent::SBackupResult result;
    if (!fcagent::RunBackup(*job.host, *job.repo, o.request, *job.progress, result, err))
        return Failed(o.common, err);
    return Done(o.common, BackupToJson(result), BackupToText(result));
}

struct SRestoreOptions {
    SCommon common;
    SConnectOptions conn;
    fcagent::SRestoreRequest request;
    std::string strRepo;
};

int RunRestoreCommand(SRestoreOptions& o) {
    std::string err;
    SJob job;
    if (!job.Prepare(o.common, o.conn, o.strRepo, false, false, err)) return Failed(o.common, err);
    o.request.strWorkDir = job.work.Path();
    fcagent::SRestoreResult r;
    if (!fcagent::RunRestore(*job.host, *job.repo, o.request, *job.progress, r, err))
        return Failed(o.common, err);
    std::ostringstream t;
    t << "restored backup " << r.strBackupId << " as VM " << r.strVm << " (" << r.strGuid << "), "
      << r.vecDisks.size() << " disks, " << FormatBytes(r.ullBytesWritten) << " written\n";
    return Done(o.common,
                {{"vm", r.strVm},
                 {"guid", r.strGuid},
                 {"backup_id", r.strBackupId},
                 {"disks", r.vecDisks},
                 {"bytes_written", r.ullBytesWritten},
                 {"seconds", r.dSeconds},
                 {"write_seconds", r.dWriteSeconds}},
                t.str());
}

// Request sizes are whole sectors, from one sector to 64 MiB.
CLI::Validator RequestSize() {
    return CLI::Validator(
        [](std::string& s) -> std::string {
            try {
                const unsigned long long v = std::stoull(s);
                if (v >= 512 && v <= (64u << 20) && v % 512 == 0) return "";
            } catch (...) {
            }
            return "must be a multiple of 512 from 512 to 67108864";
        },
        "BYTES");
}

// A new VM's name is one plain name: nothing a path, a log line or a folder could be made of.
CLI::Validator PlainName() {
    return CLI::Validator(
        [](std::string& s) -> std::string {
            return IsPlainName(s)
                       ? ""
                       : "must be a plain name (no '/', '\\', control character, \".\" or \"..\")";
        },
        "NAME");
}

}  // namespace

void AddJobCommands(CLI::App& app, FRun& run) {
    auto b = std::make_shared<SBackupOptions>();
    CLI::App* bc = app.add_subcommand(
        "backup", "Back a VM up: incremental on its latest backup when it has change tokens");
    bc->add_option("--vm", b->request.strVm, "VM name or GUID")->required();
    bc->add_option("--repo", b->strRepo, "Repository folder (created when missing or empty)")
        ->required();
    bc->add_flag("--full", b->request.bFull, "Read every disk in full");
    bc->add_option("--jobs", b->request.nJobs, "Disks read in parallel")->check(CLI::Range(1, 64));
    bc->add_option("--request-size", b->request.nRequestBytes, "Bytes per disk read")
        ->check(RequestSize());
    bc->add_option("--exclude-disk", b->request.vecExcludeDisks, "Skip disks matching PATTERN");
    bc->add_option("--exclude-datastore", b->request.vecExcludeDatastores,
                   "Skip disks on the datastore NAME");
    bc->add_option("--min-free-percent", b->request.nMinFreePercent,
                   "Refuse when a datastore has less free space")
        ->check(CLI::Range(0, 99));
    bc->add_flag("--compress", b->bCompress, "Compress the chunks of a new repository");
    AddConnect(*bc, b->conn);
    AddCommon(*bc, b->common);
    bc->callback([b, &run] { run = [b] { return RunBackupCommand(*b); }; });

    auto r = std::make_shared<SRestoreOptions>();
    CLI::App* rc = app.add_subcommand("restore", "Restore a backup of a VM as a VM");
    rc->add_option("--repo", r->strRepo, "Repository folder")->required();
    rc->add_option("--vm", r->request.strVm, "Backed-up VM, name or GUID")->required();
    rc->add_option("--backup", r->request.strBackupId, "Backup id (default: the latest)");
    rc->add_option("--name", r->request.strNewName, "Name of the new VM (default: the source's)")
        ->check(PlainName());
    CLI::Option* h = rc->add_option("--host", r->request.strHost, "Host to create the VM on");
    CLI::Option* c =
        rc->add_option("--cluster", r->request.strCluster, "Cluster to create the VM in");
    h->excludes(c);
    rc->add_flag("--overwrite", r->request.bOverwrite, "Replace a VM of the same name");
    rc->add_flag("--power-on", r->request.bPowerOn, "Start the VM once restored");
    rc->add_flag("--from-record", r->request.bFromRecord,
                 "Build the VM from the kept record instead of its descriptor");
    rc->add_option("--request-size", r->request.nRequestBytes, "Bytes per disk write")
        ->check(RequestSize());
    AddConnect(*rc, r->conn);
    AddCommon(*rc, r->common);
    rc->callback([r, &run] { run = [r] { return RunRestoreCommand(*r); }; });
}

}  // namespace fcbackup
