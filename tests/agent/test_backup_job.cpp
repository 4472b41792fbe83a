// The backup and restore jobs against a plug-in of strings.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "AgentHost.h"
#include "FakePlugin.h"
#include "TempDir.h"
#include "WzFile.h"

using fctest::CFakePlugin;

namespace {

std::string Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() | 1);  // never zero: every block allocated
    return s;
}

class BackupJob : public ::testing::Test {
protected:
    CTempDir dir;
    std::unique_ptr<CRepository> repo;
    CFakePlugin* plugin = new CFakePlugin();  // owned by host
    std::unique_ptr<fcagent::CPluginHost> host = fcagent::CPluginHost::Adopt(plugin);
    std::unique_ptr<fcagent::IProgress> quiet = fcagent::MakeProgress(true);

    void SetUp() override {
        std::string err;
        ASSERT_TRUE(CRepository::Create(dir.File("repo"), {64 << 10, false}, repo, err)) << err;
        // A disk with a hole of zeros at 256 KiB and one whose size is not a whole chunk.
        std::string a = Random(1 << 20, 1);
        a.replace(256 << 10, 128 << 10, std::string(128 << 10, '\0'));
        plugin->disks.push_back({"disk-a", a, "a-1", "", {}, 0, 0});
        plugin->disks.push_back({"disk-b", Random(200 << 10, 2), "b-1", "", {}, 0, 0});
    }

    // A backup that must succeed, or with pErr, one that must fail, its error there.
    fcagent::SBackupResult Backup(std::string* pErr = nullptr, unsigned jobs = 1,
                                  bool full = false) {
        fcagent::SBackupRequest rq;
        rq.strVm = "vm-1";
        rq.nJobs = jobs;
        rq.bFull = full;
        rq.nRequestBytes = 48 << 10;  // not a divisor of the chunk: pieces straddle chunks
        rq.strWorkDir = dir.Path();
        fcagent::SBackupResult r;
        std::string err;
        EXPECT_EQ(pErr == nullptr, fcagent::RunBackup(*host, *repo, rq, *quiet, r, err)) << err;
        if (pErr) *pErr = err;
        return r;
    }
    size_t Listed() {
        std::vector<SBackupInfo> listed;
        std::string err;
        EXPECT_TRUE(repo->ListBackups(listed, err)) << err;
        return listed.size();
    }
    // Every disk of the backup reads as the plug-in's disk of that name does now.
    void ExpectHoldsTheDisks(const std::string& id) {
        std::unique_ptr<CBackupReader> reader;
        std::string err;
        ASSERT_TRUE(repo->OpenBackup(id, reader, err)) << err;
        ASSERT_EQ(plugin->disks.size(), reader->Info().vecDisks.size());
        for (const CFakePlugin::SFakeDisk& d : plugin->disks) {
            std::string got(d.strData.size(), '\0');
            ASSERT_TRUE(reader->ReadAt(d.strName, 0, &got[0], got.size(), err)) << err;
            EXPECT_TRUE(got == d.strData) << d.strName << " differs in backup " << id;
        }
    }
};

TEST_F(BackupJob, IncrementalReadsOnlyTheChangedSectorsAndEveryPointRestoresOrIsUndone) {
    const fcagent::SBackupResult full = Backup(nullptr, 2);
    EXPECT_FALSE(full.bIncremental);
    // The hole is not allocated: it is neither read nor stored.
    EXPECT_EQ(uint64_t((1 << 20) - (128 << 10) + (200 << 10)), full.ullBytesRead);
    EXPECT_EQ(uint64_t(128 << 10), full.ullBytesSkipped);
    ExpectHoldsTheDisks(full.strBackupId);
    const std::string firstA = plugin->disks[0].strData;

    plugin->NextSnapshot("2");
    plugin->Change(0, 100000, std::string(3000, 'x'));            // unaligned: sectors 195 to 201
    plugin->Change(1, (200 << 10) - 512, std::string(512, 'y'));  // the last sector
    const uint64_t before = plugin->ullBytesRead;
    const fcagent::SBackupResult incr = Backup(nullptr, 2);
    EXPECT_TRUE(incr.bIncremental);
    EXPECT_EQ(full.strBackupId, incr.strParentId);
    EXPECT_EQ(uint64_t(7 * 512 + 512), incr.ullBytesRead);
    // (Each disk's kind and fall-back reason: the next test, on the disks it leaves intact.)
    EXPECT_EQ(incr.ullBytesRead, plugin->ullBytesRead - before);
    ExpectHoldsTheDisks(incr.strBackupId);

    // The older point restores as it was, onto new disks, skipping what is zero.
    fcagent::SRestoreRequest rq;
    rq.strVm = "vm-1";
    rq.strBackupId = full.strBackupId;
    rq.strNewName = "vm-copy";
    rq.strWorkDir = dir.Path();
    rq.nRequestBytes = 64 << 10;
    fcagent::SRestoreResult r;
    std::string err;
    ASSERT_TRUE(fcagent::RunRestore(*host, *repo, rq, *quiet, r, err)) << err;
    EXPECT_EQ("guid-new", r.strGuid);
    EXPECT_TRUE(plugin->restored.at("new-disk-a") == firstA);
    EXPECT_EQ(uint64_t((1 << 20) - (128 << 10) + (200 << 10)), r.ullBytesWritten);
    std::string descriptor;
    ASSERT_TRUE(
        ReadWholeFile(dir.Path() + "/descriptors-" + full.strBackupId + "/vm.ovf", descriptor));
    EXPECT_EQ("<ovf vm-1/>", descriptor);

    // The VM named by its GUID; a write fails: the restore is undone.
    rq.strVm = "guid-1";
    plugin->nFailWritesAt = 512 << 10;
    EXPECT_FALSE(fcagent::RunRestore(*host, *repo, rq, *quiet, r, err));
    EXPECT_NE(std::string::npos, err.find("cannot write disk new-disk-a at byte 524288")) << err;
    EXPECT_EQ(1, plugin->nCleanups);
    EXPECT_EQ("guid-new", plugin->strCleanupGuid);

    rq.strBackupId = "no-such-backup";
    EXPECT_FALSE(fcagent::RunRestore(*host, *repo, rq, *quiet, r, err));
    EXPECT_NE(std::string::npos, err.find("no complete backup no-such-backup")) << err;
}

// Each case breaks one thing about the next incremental; the disks it names are read in full
// (with a reason that says why), the others stay incremental, and the backup still holds every
// disk as it is, even where blocks became zero since the previous backup.
TEST_F(BackupJob, DisksWhoseChangesCannotBeAskedForAreReadInFull) {
    struct SCase {
        const char* name;
        std::function<void(CFakePlugin&)> breakIt;
        std::vector<std::string> full;
        const char* reason;
    };
    const SCase cases[] = {
        {"token refused",
         [](CFakePlugin& p) { p.disks[0].strSinceToken = "lost"; },
         {"disk-a"},
         "change token was refused: the change token is unknown"},
        {"tracking failed",
         [](CFakePlugin& p) { p.strCbt = "Failed"; },
         {"disk-a", "disk-b"},
         "changed-block tracking failed"},
        {"partly used",
         [](CFakePlugin& p) {
             p.strCbt = "Partially Used";
             p.disks[1].strToken.clear();
         },
         {"disk-b"},
         "only partly in use"},
        {"capacity changed",
         [](CFakePlugin& p) { p.disks[0].strData += std::string(4096, 'z'); },
         {"disk-a"},
         "capacity changed from 1048576 to 1052672"},
        {"new disk",
         [](CFakePlugin& p) {
             p.disks.push_back({"disk-c", Random(64 << 10, 3), "c-1", "", {}, 0, 0});
         },
         {"disk-c"},
         "not in the previous backup"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        plugin->disks.resize(2);
        plugin->disks[0].strData.resize(1 << 20);
        plugin->disks[0].strToken = "a";
        plugin->disks[1].strToken = "b";
        plugin->strCbt = "Used";
        plugin->NextSnapshot(c.name);
        Backup(nullptr, 1, true);
        plugin->NextSnapshot(std::string(c.name) + "+");
        // Zeros where the previous backup held data: a disk read in full must not inherit it.
        plugin->disks[0].strData.replace(0, 64 << 10, std::string(64 << 10, '\0'));
        plugin->disks[0].vecChanged.push_back({0, 0, 64 << 10});
        c.breakIt(*plugin);
        const fcagent::SBackupResult r = Backup();
        EXPECT_TRUE(r.bIncremental);
        ASSERT_EQ(plugin->disks.size(), r.vecDisks.size());
        for (const fcagent::SDiskResult& got : r.vecDisks) {
            const bool bFull = std::find(c.full.begin(), c.full.end(), got.strName) != c.full.end();
            EXPECT_EQ(bFull ? "full" : "incremental", got.strCbt) << got.strName;
            if (bFull)
                EXPECT_NE(std::string::npos, got.strFallbackReason.find(c.reason))
                    << got.strName << ": " << got.strFallbackReason;
            else
                EXPECT_EQ("", got.strFallbackReason) << got.strName;
        }
        ExpectHoldsTheDisks(r.strBackupId);
    }
}

TEST_F(BackupJob, AFailedReadIsTriedOnceMoreOnAFreshOpen) {
    plugin->disks[1].nFailReads = 1;
    const fcagent::SBackupResult r = Backup();
    EXPECT_EQ(2, plugin->disks[1].nOpens);
    ExpectHoldsTheDisks(r.strBackupId);

    // Twice in a row: the backup fails, nothing is listed and the snapshot is undone.
    plugin->disks[1].nFailReads = 2;
    std::string err;
    Backup(&err);
    EXPECT_NE(std::string::npos, err.find("cannot read disk disk-b at byte 0: the connection"))
        << err;
    EXPECT_EQ(1u, Listed());
    EXPECT_EQ(plugin->nMounts, plugin->nUnmounts);
}

// A disk the mount could not open fails the backup rather than leave it out silently; one the
// job's rules allow to skip is named in the result.
TEST_F(BackupJob, ADiskTheMountCouldNotOpenFailsTheBackup) {
    plugin->vecMountFailures = {{"disk-x", "Failed to open disk", false}};
    std::string err;
    Backup(&err);
    EXPECT_EQ("disk disk-x of vm-1 cannot be backed up: Failed to open disk", err);
    EXPECT_EQ(0u, Listed());
    EXPECT_EQ(1, plugin->nUnmounts);

    // A GUID that would lead the mount folder elsewhere is refused before any mount.
    plugin->vecMountFailures.clear();
    plugin->vm.strGUID = "../../etc";
    Backup(&err);
    EXPECT_NE(std::string::npos, err.find("unusable GUID")) << err;
    EXPECT_EQ(1, plugin->nMounts);
    plugin->vm.strGUID = "guid-1";

    plugin->vecMountFailures = {{"disk-x", "independent disks are not supported", true}};
    EXPECT_EQ(std::vector<std::string>{"disk-x: independent disks are not supported"},
              Backup().vecSkipped);
}

}  // namespace
