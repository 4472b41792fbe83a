// Backup snapshots: retries and their sleeps, the fall-back, deletion, expiry, free space.
#include "Named.h"
#include "NxClock.h"
#include "PluginTestUtil.h"

using namespace fcplugintest;

namespace {

const int64_t kNow = 1750000000;

class SnapshotTest : public CStrictPluginTest {
protected:
    CFakeClock clock{kNow};
    CScopedConfig config;
    MountCtx ctx;

    void SetUp() override {
        ctx.strVMName = "db01";
        ctx.strVMGUID = "guid-db01";
        ctx.vmInfo = VM("db01", "guid-db01");
    }
};

// A retryable failure is tried the configured number of times more (the setting is read on
// every call), then ends in 205 without falling back to a request without the second flag, and
// without the text of an earlier failure (here a failed connect) as its reason.
TEST_F(SnapshotTest, RetryableFailureIsTriedValuePlusOneTimesThen205WithoutFallback) {
    const struct {
        const char* szConfig;
        int nAttempts;
        std::vector<uint32_t> sleeps;
    } cases[] = {{"", 6, std::vector<uint32_t>(5, 10000)},
                 {"nCreateSnapshotRetryAttempts=0", 1, {}},
                 {"nCreateSnapshotRetryAttempts=3\nnCreateSnapshotRetryIntervalSecs=7",
                  4,
                  {7000, 7000, 7000}}};
    ctx.bSnapshotFlag2 = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szConfig);
        config.Set(c.szConfig);
        clock.ClearSleeps();
        plugin.SetLastVMError(VMINFO_ERR_CONNECT, "connection to the service refused");
        EXPECT_CALL(*bridge,
                    CreateVMSnapshot(_, "__VQ_BACKUP__", _, false, true, true, false, _, _))
            .Times(c.nAttempts)
            .WillRepeatedly(Return(false));
        EXPECT_CALL(*bridge, IsCreateVMSnapshotErrorRetryable())
            .Times(c.nAttempts)
            .WillRepeatedly(Return(true));
        EXPECT_FALSE(plugin.CreateVMSnapshotForBackup(ctx));
        EXPECT_EQ(SFailure(VMINFO_ERR_RETRYABLE, ""), LastFailure(plugin));
        EXPECT_EQ(c.sleeps, clock.Sleeps());
        EXPECT_TRUE(ctx.strSnapshotID.empty());
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
}

TEST_F(SnapshotTest, NonRetryableFallsBackWithoutFlag2AndCopiesDiskReferencesElse39) {
    ctx.bSnapshotFlag2 = true;
    ctx.bUseCBT = true;
    ctx.vmInfo.vecDisks.resize(3);
    ctx.vmInfo.vecDisks[0].strName = "disk-1";
    ctx.vmInfo.vecDisks[1].strName = "disk-2";
    ctx.vmInfo.vecDisks[2].strName = "DISK-1";  // names are matched exactly
    SSnapshot taken = Named<SSnapshot>("", "snap-42");
    SDisk s1 = ctx.vmInfo.vecDisks[0], s2 = ctx.vmInfo.vecDisks[1];
    s1.strSnapshotDiskID = "vol-snap-1";
    s2.strSnapshotDiskID = "vol-snap-2";
    std::string description;

    InSequence order;
    EXPECT_CALL(*bridge, CreateVMSnapshot(_, "__VQ_BACKUP__", _, false, true, true, true, _, _))
        .WillOnce(DoAll(::testing::SaveArg<2>(&description), Return(false)));
    EXPECT_CALL(*bridge, IsCreateVMSnapshotErrorRetryable()).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("quiesce failed"));
    EXPECT_CALL(*bridge, CreateVMSnapshot(_, "__VQ_BACKUP__", _, false, false, true, true, _, _))
        .WillOnce(DoAll(SetArgReferee<7>(taken), SetArgReferee<8>(std::vector<SDisk>{s2, s1}),
                        Return(true)));

    plugin.Log().setJobId(31337);
    EvLogCapture capture;
    {
        CScopedEnv client("FC_CLIENT_NAME", "proxy-7");
        EXPECT_TRUE(plugin.CreateVMSnapshotForBackup(ctx));
    }
    EXPECT_EQ("Snapshot Created for backup job 31337 from proxy-7", description);
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ("snap-42", ctx.strSnapshotID);
    std::vector<std::string> snapshotDisks;
    for (const SDisk& d : ctx.vmInfo.vecDisks) snapshotDisks.push_back(d.strSnapshotDiskID);
    EXPECT_EQ((std::vector<std::string>{"vol-snap-1", "vol-snap-2", ""}), snapshotDisks);
    EXPECT_TRUE(capture.Contains("Creating Snapshot of VM [db01] Guid [guid-db01]"));
    EXPECT_TRUE(
        capture.Contains("Successfully created Snapshot [snap-42] of VM [db01] Guid [guid-db01]"));

    // Without the second flag there is nothing to fall back to.
    ctx.bSnapshotFlag2 = false;
    ctx.strSnapshotID.clear();
    EXPECT_CALL(*bridge, CreateVMSnapshot(_, _, _, false, false, true, true, _, _))
        .WillOnce(Return(false));
    EXPECT_CALL(*bridge, IsCreateVMSnapshotErrorRetryable()).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("VM is locked"));
    EXPECT_FALSE(plugin.CreateVMSnapshotForBackup(ctx));
    EXPECT_EQ(SFailure(VMINFO_ERR_SNAPSHOT, "VM is locked"), LastFailure(plugin));
    EXPECT_TRUE(ctx.strSnapshotID.empty());
}

TEST_F(SnapshotTest, CleanupDeletesOnceAndKeepsTheIdentifierOnFailure) {
    ctx.strSnapshotID = "snap-1";
    InSequence order;
    EXPECT_CALL(*bridge, DeleteVMSnapshot("db01", "", "guid-db01", _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("busy"));
    EXPECT_CALL(*bridge, DeleteVMSnapshot("db01", "", "guid-db01", _))
        .WillOnce([](const std::string&, const std::string&, const std::string&,
                     const SSnapshot& s) { return s.strID == "snap-1"; });
    EvLogCapture capture;
    plugin.SetLastVMError(VMINFO_ERR_OPEN_DISK);
    plugin.CleanupSnapshot(ctx);
    EXPECT_EQ("snap-1", ctx.strSnapshotID);
    EXPECT_EQ(VMINFO_ERR_OPEN_DISK, plugin.GetLastVMError());
    EXPECT_TRUE(
        capture.Contains("Failed to delete snapshot [snap-1] of VM [db01] Guid [guid-db01], busy"));
    plugin.CleanupSnapshot(ctx);
    EXPECT_TRUE(ctx.strSnapshotID.empty());
    plugin.CleanupSnapshot(ctx);  // nothing left: no third bridge call
    EXPECT_TRUE(
        capture.Contains("Successfully deleted Snapshot [snap-1] of VM [db01] Guid [guid-db01]"));
}

SSnapshot Snap(const std::string& id, const std::string& name, int64_t age) {
    SSnapshot s = Named<SSnapshot>(name, id);
    s.strDescription = "d-" + id;
    s.tCreateTime = kNow - age;
    return s;
}

TEST_F(SnapshotTest, ExpiryBoundaryAdjacentSnapshotsLookAlikesAndTheSetting) {
    const int64_t day = 24 * 3600;
    ctx.vmInfo.vecSnapshots = {
        Snap("exact", "__VQ_BACKUP__", day),      Snap("old1", "__VQ_BACKUP__", day + 1),
        Snap("old2", "__VQ_BACKUP__", day + 500), Snap("suffix", "__VQ_BACKUP__1", 10 * day),
        Snap("case", "__vq_backup__", 10 * day),  Snap("stuck", "__VQ_BACKUP__", 3 * day),
        Snap("user", "nightly", 10 * day)};
    std::vector<std::string> asked;
    EXPECT_CALL(*bridge, DeleteVMSnapshot(::testing::An<const SVMInfo&>(), _))
        .Times(3)
        .WillRepeatedly([&asked](const SVMInfo& vm, const SSnapshot& s) {
            asked.push_back(vm.strGUID + "/" + s.strID);
            return s.strID != "stuck";
        });
    EvLogCapture capture;
    EXPECT_TRUE(plugin.CleanupExpiredSnapshots(ctx.vmInfo));
    EXPECT_EQ((std::vector<std::string>{"guid-db01/old1", "guid-db01/old2", "guid-db01/stuck"}),
              asked);
    std::vector<std::string> kept;
    for (const SSnapshot& s : ctx.vmInfo.vecSnapshots) kept.push_back(s.strID);
    EXPECT_EQ((std::vector<std::string>{"exact", "suffix", "case", "stuck", "user"}), kept);
    EXPECT_TRUE(capture.Contains("Snapshot [old1] is expired - d-old1"));

    // The limit follows the setting, and zero disables it.
    ctx.vmInfo.vecSnapshots = {Snap("two-hours", "__VQ_BACKUP__", 7201)};
    config.Set("nExpireSnapshotHours=0");
    EXPECT_TRUE(plugin.CleanupExpiredSnapshots(ctx.vmInfo));
    // A limit too large to count in seconds deletes nothing.
    config.Set("nExpireSnapshotHours=18446744073709551615");
    EXPECT_TRUE(plugin.CleanupExpiredSnapshots(ctx.vmInfo));
    config.Set("nExpireSnapshotHours=2");
    EXPECT_CALL(*bridge, DeleteVMSnapshot(::testing::An<const SVMInfo&>(), _))
        .WillOnce(Return(true));
    EXPECT_TRUE(plugin.CleanupExpiredSnapshots(ctx.vmInfo));
    EXPECT_TRUE(ctx.vmInfo.vecSnapshots.empty());
}

SDisk DiskOn(const std::string& datastore, int type = 1, bool independent = false) {
    SDisk disk;
    disk.strDatastore = datastore;
    disk.nDiskType = type;
    disk.bIsIndependent = independent;
    return disk;
}

auto Space(int64_t free, int64_t capacity) {
    SDatastoreInfo ds = Named<SDatastoreInfo>("ds");
    ds.llFreeSpace = free;
    ds.llCapacity = capacity;
    return Gives<2>(ds);
}

TEST_F(SnapshotTest, FreeSpaceAsksOncePerDatastoreSkipsOtherDisksAndNeedsTheLimit) {
    ctx.nMinFreeSpacePercent = 10;
    ctx.vmInfo.vecDisks = {DiskOn("A"),          DiskOn("A"), DiskOn("B", 2),
                           DiskOn("C", 1, true), DiskOn("D"), DiskOn("A")};
    EXPECT_CALL(*bridge, GetDataStoreInfo("A", "", _, 0u)).WillOnce(Space(50, 100));
    EXPECT_CALL(*bridge, GetDataStoreInfo("D", "", _, 0u)).WillOnce(Space(1000, 10000));  // 10 %
    EvLogCapture capture;
    EXPECT_TRUE(plugin.CheckDatastoreFreespace(ctx));
    EXPECT_TRUE(capture.Contains(
        "Datastore: [ds] has 50.000% free space     (50 bytes remaining of 100 total bytes)"))
        << capture.Dump();

    ctx.nMinFreeSpacePercent = 0;  // no check, no query
    EXPECT_TRUE(plugin.CheckDatastoreFreespace(ctx));

    ctx.nMinFreeSpacePercent = 10;
    ctx.vmInfo.vecDisks = {DiskOn("low"), DiskOn("ok")};
    EXPECT_CALL(*bridge, GetDataStoreInfo("low", "", _, 0u)).WillOnce(Space(999, 10000));
    EXPECT_CALL(*bridge, GetDataStoreInfo("ok", "", _, 0u)).WillOnce(Space(1000, 10000));
    EXPECT_FALSE(plugin.CheckDatastoreFreespace(ctx));
    EXPECT_EQ(VMINFO_ERR_NONE, plugin.GetLastVMError());

    // A datastore that reports no capacity has no room.
    ctx.vmInfo.vecDisks = {DiskOn("empty")};
    EXPECT_CALL(*bridge, GetDataStoreInfo("empty", "", _, 0u)).WillOnce(Space(0, 0));
    EXPECT_FALSE(plugin.CheckDatastoreFreespace(ctx));

    // A look-up that fails ends the check at once.
    ctx.vmInfo.vecDisks = {DiskOn("gone"), DiskOn("never-asked")};
    EXPECT_CALL(*bridge, GetDataStoreInfo("gone", "", _, 0u)).WillOnce(Return(false));
    EXPECT_FALSE(plugin.CheckDatastoreFreespace(ctx));
    EXPECT_TRUE(capture.Contains("Failed to get datastore info for [gone]"));
}

}  // namespace
