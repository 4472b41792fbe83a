// Restore step by step on a bridge double; a disk that must open is served by a scripted CNA.
#include <memory>

#include "FakeCnaPeer.h"
#include "Named.h"
#include "PluginTestUtil.h"
#include "TempDir.h"

using namespace fcplugintest;
using ::testing::Field;

namespace {

// Counts the clean-ups that the preparation runs on its own.
class CRestorePlugin : public CTestPlugin {
public:
    using CTestPlugin::CTestPlugin;
    int CleanupRestoreVM(RestoreCtx& ctx) override {
        ++nCleanups;
        return CTestPlugin::CleanupRestoreVM(ctx);
    }
    int nCleanups = 0;
};

SDisk Entry(const std::string& name, int32_t provisioning = 1, const std::string& ds = "ds-1") {
    SDisk d;
    d.strName = name;
    d.strDisplayName = name + "-shown";
    d.strFileName = name + ".img";
    d.ullCapacity = 1ull << 30;
    d.strDatastore = ds;
    d.nProvisioningType = provisioning;
    return d;
}

class RestoreTest : public ::testing::Test {
protected:
    // The scripted CNA of the disk that opens; before the plug-in, so that it outlives the disk
    // handles.
    std::unique_ptr<CFakeCnaPeer> cna;
    ::CTempDir configDir;
    CScopedEnv noFusionStorage{"FC_FS_CLUSTER_INFO", configDir.File("absent")};
    NiceMock<CMockBridge>* bridge = new NiceMock<CMockBridge>();
    CRestorePlugin plugin{bridge};
    RestoreCtx ctx;
    EvLogCapture logs;
    int nCreated = 0;

    void SetUp() override {
        ctx.strVMName = "B";
        ctx.strSourceVMName = "A";
        ctx.strSourceVMGUID = "guid-A";
        ctx.strConfigDir = configDir.Path();
        ctx.strDestHost = "host-1";
        // Tests expect the look-ups they care about; the others find nothing.
        EXPECT_CALL(*bridge, GetVMInfo(_, _, _, _, _)).Times(::testing::AnyNumber());
        ON_CALL(*bridge, GetManagementVersionNumber(_)).WillByDefault(Gives<0>(63));
        bridge->FindDatastoresByName();
        ON_CALL(*bridge, CheckDatastoreThinSupport(_, _, _)).WillByDefault(Gives<2>(true));
        ON_CALL(*bridge, CreateDisk(_, _)).WillByDefault([this](SDisk& disk, bool) {
            ++nCreated;
            disk.strName = "urn:vol-" + std::to_string(nCreated);
            disk.strURN = disk.strName;
            disk.strGUID = "uuid-" + std::to_string(nCreated);
            return true;
        });
        ON_CALL(*bridge, ExtendDiskAccess(_, _)).WillByDefault(Return(true));
        ON_CALL(*bridge, ReleaseDiskAccess(_)).WillByDefault(Return(true));
        ON_CALL(*bridge, DeleteDisk(_)).WillByDefault(Return(true));
        ON_CALL(*bridge, GetLastError()).WillByDefault(Return("refused by the service"));
    }

    // The next disk prepared for access opens on the scripted CNA; later ones of the VM are
    // only registered.
    void NextDiskOpens() {
        cna.reset(new CFakeCnaPeer(WellBehavedAnswer));
        const std::string port = std::to_string(cna->Port());
        EXPECT_CALL(*bridge, PrepareDiskAccess(_, _, _, true, _, _, _, _, _))
            .WillOnce(DoAll(SetArgReferee<4>("acc-1"), SetArgReferee<5>("127.0.0.1"),
                            SetArgReferee<6>(port), SetArgReferee<7>("tok"),
                            SetArgReferee<8>("/disks/new.img"), Return(true)))
            .RetiresOnSaturation();
    }

    // A prepared restore of n disks, all open or registered.
    void Prepare(int n) {
        for (int i = 1; i <= n; ++i)
            ctx.vecRestoreDisks.push_back(Entry("old-" + std::to_string(i)));
        NextDiskOpens();
        ASSERT_EQ(1, plugin.InitRestoreVM(ctx)) << logs.Dump();
        ASSERT_EQ(1, plugin.PreRestoreVM(ctx));
    }
};

struct SExistsCase {
    bool bOverwrite;
    int32_t nPowerState;
    bool bPowerOffOk, bDeleteOk;
    int nPowerOffs, nDeletes, nCreates;
    EVMInfoError eError;
    const char* szDetails;
};

class RestoreExistsTest : public RestoreTest, public ::testing::WithParamInterface<SExistsCase> {};

TEST_P(RestoreExistsTest, NameInUseIsRefusedOrPoweredOffAndDeleted) {
    const SExistsCase& c = GetParam();
    ctx.bOverwrite = c.bOverwrite;
    ctx.vecRestoreDisks = {Entry("old-1")};
    SVMInfo existing = VM("B", "guid-B");
    existing.strURN = "urn:vm-B";
    existing.nPowerState = c.nPowerState;
    EXPECT_CALL(*bridge, GetVMInfo("B", "", "", _, 0u)).WillOnce(Gives<3>(existing));
    ON_CALL(*bridge, PowerOffVM(_, _, _)).WillByDefault(Return(c.bPowerOffOk));
    ON_CALL(*bridge, DeleteVM(_, _)).WillByDefault(Return(c.bDeleteOk));
    InSequence order;
    EXPECT_CALL(*bridge, PowerOffVM("B", "urn:vm-B", "guid-B")).Times(c.nPowerOffs);
    EXPECT_CALL(*bridge, DeleteVM(Field(&SVMInfo::strGUID, "guid-B"), true)).Times(c.nDeletes);
    EXPECT_CALL(*bridge, CreateDisk(_, _)).Times(c.nCreates);

    EXPECT_EQ(0, plugin.InitRestoreVM(ctx));
    EXPECT_EQ(SFailure(c.eError, c.szDetails), LastFailure(plugin));
    EXPECT_TRUE(logs.Contains("VM [B] Already Exists"));
    EXPECT_EQ(1, plugin.nCleanups);
}

// Where the restore goes on, its only disk fails to open and 23 ends it.
INSTANTIATE_TEST_SUITE_P(
    Cases, RestoreExistsTest,
    ::testing::Values(
        SExistsCase{false, 1, true, true, 0, 0, 0, VMINFO_ERR_VM_EXISTS, ""},
        SExistsCase{true, 1, false, true, 1, 0, 0, VMINFO_ERR_POWER_OFF, "refused by the service"},
        SExistsCase{true, 1, true, false, 1, 1, 0, VMINFO_ERR_DELETE_VM, "refused by the service"},
        SExistsCase{true, 1, true, true, 1, 1, 1, VMINFO_ERR_OPEN_DISK, ""},
        SExistsCase{true, 0, true, true, 0, 1, 1, VMINFO_ERR_OPEN_DISK, ""}));

TEST_F(RestoreTest, FreeSourceGuidIsKeptAndNamesTheDisksByTheirFiles) {
    ctx.vecRestoreDisks = {Entry("old-1")};
    EXPECT_EQ(0, plugin.InitRestoreVM(ctx));
    EXPECT_EQ("guid-A guid-A B",
              ctx.strNewVMGUID + " " + ctx.newVMInfo.strGUID + " " + ctx.newVMInfo.strName);
    EXPECT_EQ("old-1.img", ctx.vecRestoreDisks[0].strGUID);
    EXPECT_TRUE(logs.Contains("VM Guid [guid-A] is not in use"));
    EXPECT_TRUE(logs.Contains("new VM [B] Guid = [guid-A]"));
    EXPECT_TRUE(logs.Contains("Unable to open any disks on VM [B]"));
}

TEST_F(RestoreTest, SourceGuidInUseGivesAFreshGuid) {
    ctx.vecRestoreDisks = {Entry("old-1")};
    ctx.vecRestoreDisks[0].strGUID = "uuid-old-1";
    EXPECT_CALL(*bridge, GetVMInfo("", "", "guid-A", _, 0u)).WillOnce(Return(true));
    EXPECT_EQ(0, plugin.InitRestoreVM(ctx));
    EXPECT_FALSE(ctx.strNewVMGUID.empty());
    EXPECT_NE("guid-A", ctx.strNewVMGUID);
    EXPECT_EQ(ctx.strNewVMGUID, ctx.newVMInfo.strGUID);
    EXPECT_EQ("uuid-old-1", ctx.vecRestoreDisks[0].strGUID);
}

struct SProvisionCase {
    int32_t nType;
    bool bCheckOk, bThinSupported;
    int nChecks;
    const char* szOptions;
    bool bEagerZero;
    int32_t nCreatedType;
    size_t nFailures;
};

class RestoreProvisionTest : public RestoreTest,
                             public ::testing::WithParamInterface<SProvisionCase> {};

// The creation of the first disk fails: the restore stops there with the bridge's text.
TEST_P(RestoreProvisionTest, ThinSupportDecidesTheProvisioning) {
    const SProvisionCase& c = GetParam();
    ctx.vecRestoreDisks = {Entry("old-1", c.nType), Entry("old-2", c.nType)};
    ON_CALL(*bridge, CheckDatastoreThinSupport(_, _, _))
        .WillByDefault(DoAll(SetArgReferee<2>(c.bThinSupported), Return(c.bCheckOk)));
    EXPECT_CALL(*bridge, CheckDatastoreThinSupport(Field(&SDatastoreInfo::strName, "ds-1"), "", _))
        .Times(c.nChecks);
    EXPECT_CALL(*bridge, CreateDisk(Field(&SDisk::nProvisioningType, c.nCreatedType), c.bEagerZero))
        .WillOnce(Return(false));
    EXPECT_EQ(0, plugin.InitRestoreVM(ctx));
    EXPECT_EQ(SFailure(VMINFO_ERR_CREATE_DISK, "refused by the service"), LastFailure(plugin));
    EXPECT_EQ(1, plugin.nCleanups);
    EXPECT_TRUE(
        logs.Contains(std::string("Creating Disk [old-1-shown][old-1.img] size [1073741824] "
                                  "options [") +
                      c.szOptions + "] on Datastore [ds-1]"))
        << logs.Dump();
    EXPECT_EQ(
        std::vector<std::string>(c.nFailures, "old-1-shown|disk type not supported by datastore|0"),
        Failures(ctx.vecRestoreFailures));
    EXPECT_EQ(c.nFailures == 1,
              logs.Contains("Datastore [ds-1] for disk [old-1-shown] does not support thin "
                            "provisioning, switching to common "));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestoreProvisionTest,
    ::testing::Values(SProvisionCase{2, true, false, 1, "EagerZero", true, 3, 1},
                      SProvisionCase{1, true, false, 1, "EagerZero", true, 3, 1},
                      SProvisionCase{2, true, true, 1, "Thin", false, 2, 0},
                      SProvisionCase{2, false, false, 1, "Thin", false, 2, 0},
                      SProvisionCase{3, true, false, 0, "EagerZero", true, 3, 0},
                      SProvisionCase{1, true, true, 1, "", false, 1, 0}));

TEST_F(RestoreTest, DiskThatFailsToOpenIsDeletedAndItsEntryKeepsItsName) {
    ctx.vecRestoreDisks = {Entry("old-1"), Entry("old-2", 1, "ds-fs"), Entry("old-3"),
                           Entry("config")};
    ctx.vecRestoreDisks[3].nFileType = 0;
    NextDiskOpens();
    EXPECT_CALL(*bridge, CreateDisk(_, _)).Times(3);
    EXPECT_CALL(*bridge, DeleteDisk(Field(&SDisk::strName, "urn:vol-2"))).WillOnce(Return(true));

    EXPECT_EQ(1, plugin.InitRestoreVM(ctx)) << logs.Dump();
    EXPECT_EQ(0, plugin.nCleanups);
    EXPECT_TRUE(logs.Contains("Opened 2 of 3 disks on VM [B]"));
    EXPECT_TRUE(logs.Contains("Failed to open disk [urn:vol-2]"));
    EXPECT_EQ((std::vector<std::string>{"urn:vol-1", "old-2", "urn:vol-3", "config"}),
              Names(ctx.vecRestoreDisks));
    EXPECT_EQ("uuid-1", ctx.vecRestoreDisks[0].strGUID);
    EXPECT_EQ("LAN", ctx.strTransportMode);
    EXPECT_EQ(1, plugin.PreRestoreVM(ctx));
}

// The source VM's disk names, a name kept by a disk that did not open, and a created disk
// whose entry still carries the source disk's URN: only the created disk goes, by its own URN.
TEST_F(RestoreTest, CleanupDeletesOnlyTheDisksThisRestoreCreated) {
    ctx.vecRestoreDisks = {Entry("src-1"), Entry("src-2"), Entry("src-3")};
    ctx.vecRestoreDisks[1].strURN = "urn:src-2";
    ctx.strCleanupVMGUID = "guid-left";
    NextDiskOpens();
    EXPECT_CALL(*bridge, PrepareDiskAccess(_, _, _, _, _, _, _, _, _))
        .WillOnce(Return(false))
        .RetiresOnSaturation();
    // The default creation names them urn:vol-1 and urn:vol-2; the third fails.
    EXPECT_CALL(*bridge, CreateDisk(_, _))
        .WillOnce(::testing::DoDefault())
        .WillOnce(::testing::DoDefault())
        .WillOnce(Return(false));
    for (const char* urn : {"urn:vol-1", "urn:vol-2"})
        EXPECT_CALL(*bridge, DeleteDisk(Field(&SDisk::strURN, urn))).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteVM(Field(&SVMInfo::strGUID, "guid-left"), true))
        .Times(2)
        .WillRepeatedly(Return(false));

    EXPECT_EQ(0, plugin.InitRestoreVM(ctx));
    EXPECT_EQ(1, plugin.nCleanups);
    EXPECT_EQ((std::vector<std::string>{"src-1", "urn:vol-2", "src-3"}),
              Names(ctx.vecRestoreDisks));
    EXPECT_TRUE(logs.Contains("Deleting disk [urn:vol-2]"));
    EXPECT_TRUE(logs.Contains("Disk [src-1] was not created by this restore, keeping it"));
    EXPECT_TRUE(logs.Contains("Disk [src-3] was not created by this restore, keeping it"));
    EXPECT_TRUE(logs.Contains("Failed to delete VM [guid-left]"));

    // Deleted once; a second clean-up finds nothing of its own left.
    EXPECT_EQ(1, plugin.CleanupRestoreVM(ctx));
}

struct SRenameCase {
    const char* szSource;
    const char* szDisplay;
    const char* szURN;
    const char* szExpected;
};

class RestoreRenameTest : public RestoreTest, public ::testing::WithParamInterface<SRenameCase> {};

TEST_P(RestoreRenameTest, DisksNamedAfterTheSourceVMAreRenamed) {
    const SRenameCase& c = GetParam();
    ctx.strSourceVMName = c.szSource;
    ctx.newVMInfo.strURN = c.szURN;
    SDisk disk = Entry("urn:vol-1");
    disk.strDisplayName = c.szDisplay;
    ctx.newVMInfo.vecDisks = {disk};
    const bool renamed = std::string(c.szDisplay) != c.szExpected;
    ON_CALL(*bridge, ModifyDisk(_)).WillByDefault(Return(true));
    EXPECT_CALL(*bridge, ModifyDisk(Field(&SDisk::strDisplayName, c.szExpected)))
        .Times(renamed ? 1 : 0);
    EXPECT_TRUE(plugin.UpdateDiskNames(ctx));
    EXPECT_EQ(c.szExpected, ctx.newVMInfo.vecDisks[0].strDisplayName);
    EXPECT_EQ(renamed,
              logs.Contains(std::string("Updating disk [urn:vol-1.img] display name from [") +
                            c.szDisplay + "] to [" + c.szExpected + "]"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestoreRenameTest,
    ::testing::Values(SRenameCase{"A", "A-disk1", "urn:vms:i-0002", "B-disk1"},
                      SRenameCase{"A", "xA-A", "urn:vms:i-0002", "xB-A"},
                      SRenameCase{"A", "i-0001-xvda", "urn:sites:1:vms:i-0002", "i-0002-xvda"},
                      SRenameCase{"A", "i-0001-xvdb-xvdc", "i-0009", "i-0009-xvdb-xvdc"},
                      SRenameCase{"A", "data-disk", "urn:vms:i-0002", "data-disk"},
                      SRenameCase{"A", "x-i-0001-xvda", "urn:vms:i-0002", "x-i-0001-xvda"},
                      SRenameCase{"B", "B-disk1", "urn:vms:i-0002", "B-disk1"}));

TEST_F(RestoreTest, RefusedRenameKeepsTheNewNameAndOtherFilesAreLeftAlone) {
    SDisk disk = Entry("urn:vol-1"), file = Entry("urn:cfg");
    disk.strDisplayName = file.strDisplayName = "A-disk1";
    file.nFileType = 0;
    ctx.newVMInfo.vecDisks = {disk, file};
    EXPECT_CALL(*bridge, ModifyDisk(_)).WillOnce(Return(false));
    EXPECT_FALSE(plugin.UpdateDiskNames(ctx));
    EXPECT_EQ("B-disk1", ctx.newVMInfo.vecDisks[0].strDisplayName);
    EXPECT_EQ("A-disk1", ctx.newVMInfo.vecDisks[1].strDisplayName);
    EXPECT_TRUE(logs.Contains("Failed to update disk name - refused by the service"));
}

// A found host means the cluster is never asked; the cluster is the fall-back; neither found
// leaves the error alone. Without an OVF descriptor saved each restore then fails.
TEST_F(RestoreTest, HostThenClusterPlacesTheVM) {
    ctx.strDestCluster = "cluster-1";
    EXPECT_CALL(*bridge, GetHostInfo("host-1", "", _, 0u))
        .WillOnce(Gives<2>(Named<SHostInfo>("host-1", "h-1")))
        .WillRepeatedly(Return(false));
    // Asked in the second restore and the third only: an answer taken earlier fails the second.
    EXPECT_CALL(*bridge, GetClusterInfo("cluster-1", "", _, 0u))
        .WillOnce(Gives<2>(Named<SClusterInfo>("cluster-1", "c-1")))
        .WillOnce(Return(false));
    EXPECT_EQ(0, plugin.RestoreVM(ctx));
    EXPECT_EQ("host-1|", ctx.newVMInfo.strHostName + "|" + ctx.newVMInfo.strClusterID);
    EXPECT_TRUE(logs.Contains("Restoring VM to Host [host-1] [h-1]"));
    EXPECT_TRUE(logs.Contains("OVF VM Config file could not be found/opened"));
    EXPECT_EQ(VMINFO_ERR_CONFIG_FILE, plugin.GetLastVMError());

    ctx.newVMInfo = SVMInfo();
    EXPECT_EQ(0, plugin.RestoreVM(ctx));
    EXPECT_EQ("c-1|cluster-1|", ctx.newVMInfo.strClusterID + "|" + ctx.newVMInfo.strClusterName +
                                    "|" + ctx.newVMInfo.strHostName);

    plugin.SetLastVMError(VMINFO_ERR_CONNECT, "earlier");
    EXPECT_EQ(0, plugin.RestoreVM(ctx));
    EXPECT_EQ(VMINFO_ERR_CONNECT, plugin.GetLastVMError());
    EXPECT_TRUE(logs.Contains("Host/Cluster [host-1] was not found"));
}

TEST_F(RestoreTest, PowerOnFailureStillSucceeds) {
    ctx.bPowerOn = true;
    ctx.strNewVMGUID = "guid-new";
    ctx.newVMInfo.strURN = "urn:vm-new";
    EXPECT_CALL(*bridge, PowerOnVM("B", "urn:vm-new", "guid-new")).WillOnce(Return(false));
    EXPECT_EQ(1, plugin.PostRestoreVM(ctx));
    // (Without power-on the VM is left off: FlowsEndToEnd's first restore.)
    EXPECT_TRUE(logs.Contains("Power On VM Failed for VM [B]"));
}

// Three disks, one refused; two cards, one refused; the descriptors beside are never read.
// The disks then belong to the VM: a clean-up removes the VM but deletes none of them itself.
TEST_F(RestoreTest, BuildFromRecordAddsDisksAndCardsOneByOne) {
    configDir.Touch("vm.ovf", "<ovf/>");
    configDir.Touch("vm.json", "{}");
    ctx.bBuildFromRecord = true;
    Prepare(3);
    ctx.newVMInfo.vecNetworkCards.resize(2);
    ctx.newVMInfo.vecNetworkCards[0].strName = "nic-1";
    ctx.newVMInfo.vecNetworkCards[1].strName = "nic-2";
    EXPECT_CALL(*bridge, GetHostInfo(_, _, _, _)).WillOnce(Return(true));
    {
        InSequence order;
        EXPECT_CALL(*bridge, CreateVM(::testing::AllOf(
                                 Field(&SVMInfo::vecDisks, ::testing::IsEmpty()),
                                 Field(&SVMInfo::vecNetworkCards, ::testing::IsEmpty()),
                                 Field(&SVMInfo::strGUID, ctx.strNewVMGUID))))
            .WillOnce(Return(true));
        for (int i = 1; i <= 3; ++i)
            EXPECT_CALL(
                *bridge,
                AddDiskToVM(_, Field(&SDisk::strName, "urn:vol-" + std::to_string(i)), false))
                .WillOnce(Return(i != 2));
        for (int i = 1; i <= 2; ++i)
            EXPECT_CALL(*bridge,
                        AddNicToVM(_, Field(&SVMNetworkCard::strName, "nic-" + std::to_string(i))))
                .WillOnce(Return(i != 1));
        EXPECT_CALL(*bridge, GetVMInfo("B", "", ctx.strNewVMGUID, _, 65535u))
            .WillOnce(Return(true));
    }
    EXPECT_CALL(*bridge, CreateVMFromOVFDescriptor(_, _, _)).Times(0);

    EXPECT_EQ(1, plugin.RestoreVM(ctx)) << logs.Dump();
    EXPECT_EQ((std::vector<std::string>{"|failed to attach|0", "|failed to connect network|0"}),
              Failures(ctx.vecRestoreFailures));
    EXPECT_TRUE(logs.Contains("Failed to add disk [urn:vol-2] to VM [B], refused by the service"));
    EXPECT_EQ("", ctx.strConfigFilePath);
    EXPECT_FALSE(logs.Contains("Read vm config file"));

    ctx.strCleanupVMGUID = ctx.strNewVMGUID;
    EXPECT_CALL(*bridge, DeleteDisk(_)).Times(0);
    EXPECT_CALL(*bridge, DeleteVM(Field(&SVMInfo::strGUID, ctx.strNewVMGUID), true))
        .WillOnce(Return(true));
    EXPECT_EQ(1, plugin.CleanupRestoreVM(ctx));
    EXPECT_TRUE(logs.Contains("Deleting VM [" + ctx.strNewVMGUID + "]"));
}

TEST_F(RestoreTest, MissingJsonDescriptorAfterTheVMWasCreatedGives21) {
    configDir.Touch("vm.ovf", "<ovf/>");
    Prepare(1);
    EXPECT_CALL(*bridge, GetHostInfo(_, _, _, _)).WillOnce(Return(true));
    const std::map<std::string, std::string> uuids{{"uuid-1", "old-1.img"}};
    EXPECT_CALL(*bridge, CreateVMFromOVFDescriptor("<ovf/>", _, uuids)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, ReconnectNetworksFromJSONDescriptor(_, _)).Times(0);
    EXPECT_EQ(0, plugin.RestoreVM(ctx));
    EXPECT_EQ(VMINFO_ERR_CONFIG_FILE, plugin.GetLastVMError());
    EXPECT_EQ(configDir.File("vm.ovf"), ctx.strConfigFilePath);
    EXPECT_TRUE(
        logs.Contains("Read vm config file successfully from [" + configDir.File("vm.ovf")));
    EXPECT_TRUE(logs.Contains("Could not find .ovf config file"));
    EXPECT_TRUE(logs.Contains("JSON VM Config file could not be found/opened"));

    // The restore failed: its disk is still its own to delete.
    EXPECT_CALL(*bridge, DeleteDisk(Field(&SDisk::strName, "urn:vol-1"))).WillOnce(Return(true));
    EXPECT_EQ(1, plugin.CleanupRestoreVM(ctx));
}

}  // namespace
