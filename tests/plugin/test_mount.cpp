// Mount for backup and the mount information, over a bridge double and a scripted backup SDK.
#include <unistd.h>

#include <fstream>

#include "FakeSdk.h"
#include "FusionComputeDiskInfo.h"
#include "FusionComputeInfoUtils.h"
#include "NxClock.h"
#include "PluginTestUtil.h"
#include "WzFile.h"

using namespace fcplugintest;

namespace {

// A service that counts as initialised without loading an SDK library or resolving hosts.
class CReadyDiskInfo : public CFusionComputeDiskInfo {
public:
    explicit CReadyDiskInfo(FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge* bridge)
        : CFusionComputeDiskInfo(bridge) {
        bInitialized = true;
    }
};

class CMountPlugin : public CTestPlugin {
public:
    explicit CMountPlugin(CMockBridge* bridge) : CTestPlugin(bridge) {
        diskInfo.reset(new CReadyDiskInfo(bridge));
    }
};

SDisk Disk(const std::string& name, const std::string& datastore = "ds-san",
           bool independent = false) {
    SDisk d;
    d.bIsIndependent = independent;
    d.strName = name;
    d.strDisplayName = name + "-shown";
    d.strGUID = "guid-" + name;
    d.strDatastore = datastore;
    d.ullCapacity = 1 << 20;
    return d;
}

class MountTest : public ::testing::Test {
protected:
    CFakeClock clock{1750000000};
    CScopedConfig config;
    CTempDir tmp;
    NiceMock<CMockBridge>* bridge = new NiceMock<CMockBridge>();
    CMountPlugin plugin{bridge};
    SFakeSdk sdk;
    MountCtx ctx;
    SVMInfo record = VM("web-01", "guid-web");

    void SetUp() override {
        sdk.strUnopenable = "unopenable";
        sdk.Install();
        ctx.strVMName = "web-01";
        ctx.strVMGUID = "guid-web";
        ctx.strMountPath = tmp.Path() + "/mount";
        ctx.vecDiskFilters = {{DISK_FILTER_PATTERN, "skip-*"}};
        ON_CALL(*bridge, CheckConnection()).WillByDefault(Return(true));
        // The record as the test has left it at the time of the call.
        ON_CALL(*bridge, GetVMInfo(_, _, _, _, _)).WillByDefault(Gives<3>(std::cref(record)));
        ON_CALL(*bridge, GetOVFDescriptorForVM(_, _)).WillByDefault(Gives<1>("<ovf/>"));
        ON_CALL(*bridge, GetJSONDescriptorForVM(_, _)).WillByDefault(Gives<1>("{\"nics\":[]}"));
        SSnapshot snap;
        snap.strID = "snap-1";
        ON_CALL(*bridge, CreateVMSnapshot(_, _, _, _, _, _, _, _, _)).WillByDefault(Gives<7>(snap));
        ON_CALL(*bridge, DeleteVMSnapshot(_, _, _, _)).WillByDefault(Return(true));
        bridge->FindDatastoresByName();
        ON_CALL(*bridge, PrepareDiskAccess(_, _, _, _, _, _, _, _, _))
            .WillByDefault([](const std::string& disk, const std::string&, const std::string&, bool,
                              std::string& access, std::string& address, std::string& port,
                              std::string& token, std::string& file) {
                access = "acc-" + disk;
                address = "127.0.0.1";
                port = "1";
                token = "t";
                file = "/disks/" + disk;
                return true;
            });
        ON_CALL(*bridge, ExtendDiskAccess(_, _)).WillByDefault(Return(true));
        ON_CALL(*bridge, ReleaseDiskAccess(_)).WillByDefault(Return(true));
    }
    int Mount(std::vector<SDisk> disks) {
        record.vecDisks = std::move(disks);
        return plugin.MountVM(ctx);
    }
};

struct SSummaryCase {
    const char* name;
    std::vector<SDisk> disks;
    VMInfoStructs::EVMInfoError error;
    const char* message;
};

TEST(FusionStorageDatastore, IsExactlyTheTypeDSWARE) {
    SDatastoreInfo ds;
    for (const char* type : {"dsware", "DSWARE ", "", "NAS", "DSWAREX"}) {
        ds.strType = type;
        EXPECT_FALSE(IsFusionStorageDatastore(ds)) << type;
    }
    ds.strType = "DSWARE";
    EXPECT_TRUE(IsFusionStorageDatastore(ds));
}

TEST_F(MountTest, EveryWayOfOpeningNoDiskHasItsOwnErrorAndIsUndone) {
    const SDisk independent = Disk("ind", "ds-san", true);
    SDisk filtered = Disk("skip-me");
    const std::vector<SSummaryCase> cases = {
        {"none", {}, VMINFO_ERR_NO_DISKS, "No disks were found on VM web-01"},
        {"filtered",
         {filtered, filtered},
         VMINFO_ERR_ALL_DISKS_FILTERED,
         "All disks on VM web-01 were filtered"},
        {"independent",
         {independent},
         VMINFO_ERR_ALL_DISKS_INDEPENDENT,
         "All disks on VM web-01 are independent"},
        {"fusionstorage",
         {Disk("a", "ds-fs"), Disk("b", "ds-fs")},
         VMINFO_ERR_FUSIONSTORAGE,
         "All disks on VM web-01 are FusionStorage"},
        {"mixed",
         {filtered, independent},
         VMINFO_ERR_OPEN_DISK,
         "Unable to open any disks on VM [web-01]"},
        {"unopenable",
         {Disk("unopenable")},
         VMINFO_ERR_OPEN_DISK,
         "Unable to open any disks on VM [web-01]"}};
    for (const SSummaryCase& c : cases) {
        ctx.nSkippedDisks = 0;
        ctx.vecMountFailures.clear();
        EvLogCapture capture;
        EXPECT_EQ(0, Mount(c.disks)) << c.name;
        EXPECT_EQ(c.error, plugin.GetLastVMError()) << c.name;
        EXPECT_EQ(1u, capture.Count(c.message)) << c.name << "\n" << capture.Dump();
        EXPECT_EQ(static_cast<int>(c.disks.size()), ctx.nSkippedDisks) << c.name;
        EXPECT_TRUE(ctx.strSnapshotID.empty()) << c.name;
        EXPECT_FALSE(CWzPath::Exists(ctx.strMountPath)) << c.name;
        EXPECT_EQ(1u, capture.Count("VM [web-01] unmounted successfully")) << c.name;
    }
}

TEST_F(MountTest, PartlyOpenedMountSucceedsAndReportsTheOthers) {
    config.Set("IgnoreUnsupportedDisks=1");
    EvLogCapture capture;
    ASSERT_EQ(1, Mount({Disk("skip-me"), Disk("ind", "ds-san", true), Disk("d1")}));
    EXPECT_EQ(1u, capture.Count("Opened 1 of 3 disks on VM [web-01]")) << capture.Dump();
    EXPECT_EQ(2, ctx.nSkippedDisks);
    EXPECT_EQ((std::vector<std::string>{"ind-shown|independent disks are not supported|1"}),
              Failures(ctx.vecMountFailures));
    EXPECT_EQ("snap-1", ctx.strSnapshotID);
    EXPECT_EQ("LAN", ctx.strTransportMode);
    EXPECT_EQ(VMINFO_ERR_NONE, plugin.GetLastVMError());
}

TEST_F(MountTest, DiskAccessThatCannotBeHadNowEndsTheMountAtThatDisk) {
    EXPECT_CALL(*bridge, PrepareDiskAccess("d1", _, _, _, _, _, _, _, _)).WillOnce(Return(false));
    // The disks after it are never looked at.
    EXPECT_CALL(*bridge, GetDataStoreInfo("ds-san", _, _, _)).Times(1);
    EXPECT_CALL(*bridge, GetDataStoreInfo("ds-later", _, _, _)).Times(0);
    EXPECT_CALL(*bridge, DeleteVMSnapshot("web-01", "", "guid-web", _)).WillOnce(Return(true));
    EXPECT_EQ(0, Mount({Disk("d1"), Disk("d2", "ds-later"), Disk("d3", "ds-later")}));
    EXPECT_EQ(VMINFO_ERR_RETRYABLE, plugin.GetLastVMError());
    EXPECT_EQ(0, ctx.nSkippedDisks);
    EXPECT_TRUE(ctx.vecMountFailures.empty());
}

TEST_F(MountTest, ChangedBlockStatusCountsEveryDiskOfTheVM) {
    struct SCase {
        std::vector<SDisk> disks;
        std::vector<bool> tokens;  // per disk asked, in order: the bridge gives a token
        const char* status;
    };
    const std::vector<SCase> cases = {
        {{Disk("d1"), Disk("d2")}, {true, true}, "Used"},
        {{Disk("d1"), Disk("d2"), Disk("skip-me")}, {true, false}, "Partially Used"},
        // The filtered disk counts in the total, so no token at all is still partial.
        {{Disk("d1"), Disk("d2"), Disk("skip-me")}, {false, false}, "Partially Used"},
        {{Disk("d1")}, {false}, "Failed"},
        // A FusionStorage disk never has a token and the bridge is not asked for one.
        {{Disk("d1"), Disk("f1", "ds-fs")}, {true}, "Partially Used"}};
    ctx.bUseCBT = true;
    for (const SCase& c : cases) {
        ::testing::InSequence order;
        for (bool token : c.tokens)
            EXPECT_CALL(*bridge, GetDiskChangeToken(_, "snap-1", _))
                .WillOnce(DoAll(SetArgReferee<2>(token ? "tok" : ""), Return(token)))
                .RetiresOnSaturation();
        ctx.strCBTStatus.clear();
        ASSERT_EQ(1, Mount(c.disks)) << c.status;
        EXPECT_EQ(c.status, ctx.strCBTStatus);
        EXPECT_EQ(c.tokens[0] ? "tok" : "", ctx.vmInfo.vecDisks[0].strChangeToken);
        plugin.UnmountVM(ctx);
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
    // Without the request the status is left as it is and no token is asked for.
    ctx.bUseCBT = false;
    ctx.strCBTStatus = "untouched";
    EXPECT_CALL(*bridge, GetDiskChangeToken(_, _, _)).Times(0);
    ASSERT_EQ(1, Mount({Disk("d1")}));
    EXPECT_EQ("untouched", ctx.strCBTStatus);
}

// A GUID that names another folder would put the descriptor outside the mount folder.
TEST_F(MountTest, AGuidThatIsNotAFileNameWritesNothing) {
    for (const char* guid : {"../../escaped", "a/b", "..", "."}) {
        ctx.strVMGUID = guid;
        EXPECT_EQ(0, Mount({Disk("d1")})) << guid;
        EXPECT_EQ(VMINFO_ERR_OVF_SAVE, plugin.GetLastVMError()) << guid;
    }
    EXPECT_FALSE(CWzPath::Exists(tmp.Path() + "/../escaped.ovf"));
}

// A lost connection, a descriptor that cannot be had and a template each end the mount before
// any snapshot, with their own codes and the bridge's text; the unmount that undoes them has no
// snapshot to delete.
TEST_F(MountTest, ConnectionDescriptorOrTemplateFailsBeforeAnySnapshot) {
    EXPECT_CALL(*bridge, CreateVMSnapshot(_, _, _, _, _, _, _, _, _)).Times(0);
    EXPECT_CALL(*bridge, DeleteVMSnapshot(_, _, _, _)).Times(0);
    EXPECT_CALL(*bridge, DeleteVMSnapshot(_, _)).Times(0);
    EXPECT_CALL(*bridge, CheckConnection()).WillOnce(Return(false)).WillRepeatedly(Return(true));
    EXPECT_CALL(*bridge, GetLastError()).WillRepeatedly(Return("session expired"));
    EXPECT_EQ(0, Mount({Disk("d1")}));
    EXPECT_EQ(SFailure(VMINFO_ERR_CONNECT, "session expired"), LastFailure(plugin));

    EXPECT_CALL(*bridge, GetOVFDescriptorForVM(_, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillRepeatedly(Return("no ovf"));
    EXPECT_EQ(0, Mount({Disk("d1")}));
    EXPECT_EQ(SFailure(VMINFO_ERR_OVF_GET, "no ovf"), LastFailure(plugin));

    EXPECT_CALL(*bridge, GetOVFDescriptorForVM(_, _)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, GetJSONDescriptorForVM(_, _)).WillOnce(Return(false));
    EXPECT_EQ(0, Mount({Disk("d1")}));
    EXPECT_EQ(VMINFO_ERR_JSON_DESCRIPTOR, plugin.GetLastVMError());

    record.bIsTemplate = true;
    EXPECT_EQ(0, Mount({Disk("d1")}));
    EXPECT_EQ(VMINFO_ERR_TEMPLATE, plugin.GetLastVMError());
}

TEST_F(MountTest, CleanupDeletesOnlyTheSnapshot) {
    ctx.strSnapshotID = "snap-9";
    EXPECT_CALL(*bridge, DeleteVMSnapshot("web-01", "", "guid-web", _)).WillOnce(Return(true));
    EXPECT_EQ(0, plugin.CleanupVM(ctx));
    EXPECT_TRUE(ctx.strSnapshotID.empty());
}

// The descriptors are saved under the GUID and shown under the name the service gives the VM.
TEST_F(MountTest, FullMountInformationListsRegisteredDisksThenEveryFile) {
    record.strName = "web-01-renamed";
    ASSERT_EQ(1, Mount({Disk("d1"), Disk("ind", "ds-san", true), Disk("d3")}));
    EXPECT_EQ("web-01-renamed", ctx.strVMName);
    EXPECT_EQ("<ovf/>", fctest::ReadWholeFile(ctx.strMountPath + "/guid-web.ovf"));
    std::ofstream(ctx.strMountPath + "/extra.JSON") << "12345";

    std::vector<SMountInfoFull> info(1);  // appended to, never cleared
    ASSERT_EQ(1, plugin.GetFullMountInfo(ctx, info));
    // Each entry as "kind file name shown object-type format size file-type".
    std::vector<std::string> rows;
    for (size_t i = 1; i < info.size(); ++i) {
        const SDisk& d = info[i].vecDisks.at(0);
        rows.push_back(std::to_string(info[i].nType) + " " + d.strFileName + " " + d.strName + " " +
                       d.strDisplayName + " " + std::to_string(d.nObjectType) + " " +
                       std::to_string(d.llFileFormat) + " " + std::to_string(d.llSize) + " " +
                       std::to_string(d.nFileType));
    }
    // The registered disks, then the files in name order (capitals sort first).
    const std::string dir = ctx.strMountPath + "/";
    EXPECT_EQ((std::vector<std::string>{
                  "1 guid-d1 d1 d1-shown 30 0 0 1", "1 guid-d3 d3 d3-shown 30 0 0 1",
                  "0 extra.JSON " + dir + "extra.JSON web-01-renamed.JSON 0 4 5 0",
                  "0 guid-web.json " + dir + "guid-web.json web-01-renamed.json 0 4 11 0",
                  "0 guid-web.ovf " + dir + "guid-web.ovf web-01-renamed.ovf 0 0 6 0"}),
              rows);
    EXPECT_EQ("guid-d3", ctx.vmInfo.vecDisks[2].strFileName);

    // A file gone before its size is read ends the listing with what was appended.
    ASSERT_EQ(0, ::symlink("/nonexistent/target", (ctx.strMountPath + "/gone.ovf").c_str()));
    info.clear();
    EXPECT_EQ(0, plugin.GetFullMountInfo(ctx, info));
    EXPECT_EQ(3u, info.size());  // the two disks and "extra.JSON", named before "gone.ovf"

    ctx.bNoFullMountInfo = true;
    info.clear();
    EXPECT_EQ(0, plugin.GetFullMountInfo(ctx, info));
    EXPECT_TRUE(info.empty());
    std::vector<SMountInfoFile> files2;
    EXPECT_EQ(0, plugin.GetFileMountInfo(ctx, files2));
    EXPECT_EQ(1, plugin.CollectMetadata(ctx));
}

}  // namespace
