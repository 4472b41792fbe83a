// fcbackup as a user runs it, against the bench simulator: full backups with one and with two
// disk threads, an incremental after one block in a hundred changed, and a restore. Each run's
// peak resident memory comes from the kernel's accounting of the child.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "BenchSim.h"
#include "WzFile.h"

extern char** environ;

namespace fcbench {

namespace {

struct SRun {
    nlohmann::json out;
    double dSeconds = 0;
    double dPeakRssMiB = 0;
    double dCpuSeconds = 0;  // fcbackup's and the simulator's (this process's) together
};

// Plain writes of a disk's bytes into a new file of dir, 4 MiB at a time as the repository
// stores them: the rate that file system takes them at. Syncing is left out, as the backup's
// read phase leaves its commit out; the file is synced and removed afterwards so that its
// pages weigh on nothing that follows.
double PlainWriteRate(const std::string& dir, uint64_t bytes) {
    const std::string path = dir + "/plain-write.bin";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    std::vector<char> buf(4u << 20);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = char(i * 131 + 7);
    const auto t0 = std::chrono::steady_clock::now();
    uint64_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::write(fd, buf.data(), std::min<uint64_t>(buf.size(), bytes - done));
        if (n <= 0) break;
        done += uint64_t(n);
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::fdatasync(fd);
    ::close(fd);
    ::unlink(path.c_str());
    return done == bytes && secs > 0 ? double(done) / secs : 0;
}

bool RunFcbackup(const std::string& exe, std::vector<std::string> args, SRun& run,
                 std::string& err) {
    args.insert(args.begin(), exe);
    args.push_back("--json");
    args.push_back("--no-progress");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int pipeFd[2];
    if (::pipe(pipeFd) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFd[0]);
    pid_t pid = 0;
    rusage self0{}, self1{};
    ::getrusage(RUSAGE_SELF, &self0);
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFd[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while (rc == 0 && (n = ::read(pipeFd[0], buf, sizeof(buf))) > 0) text.append(buf, size_t(n));
    ::close(pipeFd[0]);
    int status = 0;
    rusage usage{};
    if (rc != 0 || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        err = "fcbackup " + args.at(1) + " failed: " + text;
        return false;
    }
    run.dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.dPeakRssMiB = double(usage.ru_maxrss) / 1024.0;
    ::getrusage(RUSAGE_SELF, &self1);
    run.dCpuSeconds = CpuSeconds(usage) + CpuSeconds(self1) - CpuSeconds(self0);
    try {
        run.out = nlohmann::json::parse(text);
    } catch (const std::exception& e) {
        err = "fcbackup printed no JSON: " + text;
        return false;
    }
    return true;
}

// The data disk's read phase of a full backup, in MB/s.
double DataDiskRate(const SRun& run) {
    for (const auto& d : run.out["disks"])
        if (d["name"] == kDataDisk)
            return d["bytes_read"].get<double>() / 1e6 / d["seconds"].get<double>();
    return 0;
}

// The run's CPU time as a share of what the machine's cores could give in its time, in %.
double CpuShare(const SRun& run) {
    const double cores = std::max(1u, std::thread::hardware_concurrency());
    return 100.0 * run.dCpuSeconds / run.dSeconds / cores;
}

}  // namespace

bool MeasureEndToEnd(const SPathsOptions& o, const std::string& exe, CFigures& figures,
                     std::string& err) {
    // The platform's datastore is not the backup host's disk: the simulator's disks go on a
    // file system apart from the repositories when one has room (bench/README.md).
    SPathsOptions apart = o;
    const char* szApart = std::getenv("FC_BENCH_STATE_APART");
    apart.bStateApart = !szApart || std::string(szApart) != "0";
    CBenchSim sim(apart);
    if (!sim.Start(63, err)) return false;
    ::setenv("FC_PASSWORD", sim.Sim().Password().c_str(), 1);
    const std::vector<std::string> conn = {"--url",          sim.Sim().Url(), "--user",
                                           sim.Sim().User(), "--ca-file",     sim.Sim().CAFile()};
    auto with = [&](std::vector<std::string> a) {
        a.insert(a.end(), conn.begin(), conn.end());
        return a;
    };
    const double total = 2.0 * double(o.ullDiskBytes);
    SRun full1, full2, incr, restore;
    const std::string repo1 = sim.Work() + "/repo1", repo2 = sim.Work() + "/repo2";
    // What the repositories' file system takes plain writes of the data disk's bytes at.
    figures.Add("repo.plain-write", PlainWriteRate(sim.Work(), o.ullDiskBytes) / 1e6, "MB/s");
    // A full backup into a repository in memory, where no disk's bandwidth bounds it; first,
    // while the page cache holds nothing of the backups that follow.
    const std::string memory = FolderApart(sim.Work(), o.ullDiskBytes, "fcbench-repo");
    if (!memory.empty()) {
        SRun inMemory;
        const bool ok = RunFcbackup(
            exe, with({"backup", "--vm", "web-01", "--repo", memory + "/repo", "--jobs", "1"}),
            inMemory, err);
        FXPath::RemoveAll(memory);
        if (!ok) return false;
        figures.Add("backup.full.data-disk.memory-repo", DataDiskRate(inMemory), "MB/s");
        figures.Add("backup.full.cpu.memory-repo", CpuShare(inMemory), "%");
    }
    if (!RunFcbackup(exe, with({"backup", "--vm", "web-01", "--repo", repo1, "--jobs", "1"}), full1,
                     err))
        return false;
    if (!RunFcbackup(exe, with({"backup", "--vm", "web-01", "--repo", repo2, "--jobs", "2"}), full2,
                     err))
        return false;
    // The read phase: the disks one after another, or side by side.
    double sum1 = 0, max2 = 0;
    for (const auto& d : full1.out["disks"]) sum1 += d["seconds"].get<double>();
    for (const auto& d : full2.out["disks"]) max2 = std::max(max2, d["seconds"].get<double>());
    figures.Add("backup.full.data-disk", DataDiskRate(full1), "MB/s");
    figures.Add("backup.full.jobs1", full1.out["bytes_read"].get<double>() / 1e6 / sum1, "MB/s");
    figures.Add("backup.full.jobs2", full2.out["bytes_read"].get<double>() / 1e6 / max2, "MB/s");
    figures.Add("backup.full.seconds", full1.dSeconds, "s");
    figures.Add("backup.rss.jobs1", full1.dPeakRssMiB, "MiB");
    figures.Add("backup.rss.jobs2", full2.dPeakRssMiB, "MiB");
    figures.Add("backup.full.cpu.jobs1", CpuShare(full1), "%");
    figures.Add("backup.full.cpu.jobs2", CpuShare(full2), "%");
    std::printf("full backup: %.1f s with one disk thread, %.1f s with two\n", full1.dSeconds,
                full2.dSeconds);

    // One 64 KiB block in a hundred changes, on both disks.
    const std::string block(64u << 10, 'c');
    uint64_t changed = 0;
    for (const char* disk : {kDataDisk, kSparseDisk})
        for (uint64_t off = 0; off + block.size() <= o.ullDiskBytes; off += 100 * block.size()) {
            if (sim.Sim().GuestWrite(disk, off, block, err) == 0) return false;
            changed += block.size();
        }
    if (!RunFcbackup(exe, with({"backup", "--vm", "web-01", "--repo", repo2, "--jobs", "2"}), incr,
                     err))
        return false;
    figures.Add("incremental.read-share", 100.0 * incr.out["bytes_read"].get<double>() / total,
                "%");
    figures.Add("incremental.changed-share", 100.0 * double(changed) / total, "%");
    figures.Add("incremental.time-share", 100.0 * incr.dSeconds / full2.dSeconds, "%");
    figures.Add("incremental.seconds", incr.dSeconds, "s");

    if (!RunFcbackup(exe,
                     with({"restore", "--vm", "web-01", "--repo", repo2, "--name", "bench-copy"}),
                     restore, err))
        return false;
    figures.Add("restore.chain",
                restore.out["bytes_written"].get<double>() / 1e6 / restore.dSeconds, "MB/s");
    figures.Add("restore.fcbackup.writing",
                restore.out["bytes_written"].get<double>() / 1e6 /
                    restore.out["write_seconds"].get<double>(),
                "MB/s");
    figures.Add("restore.seconds", restore.dSeconds, "s");
    figures.Add("restore.rss", restore.dPeakRssMiB, "MiB");
    std::printf("incremental: %.1f s; restore: %.1f s\n", incr.dSeconds, restore.dSeconds);
    return true;
}

}  // namespace fcbench
