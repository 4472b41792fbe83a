// The disk access service against a bridge double and a scripted backup SDK, on the fake clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <utility>

#include "EvDebug.h"
#include "FakeSdk.h"
#include "FusionComputeDiskInfo.h"
#include "FusionComputeInfo.h"
#include "MockBridge.h"
#include "NxClock.h"
#include "Ranges.h"
#include "TempDir.h"

namespace {

using namespace VMInfoStructs;
using ::testing::_;
using ::testing::DoAll;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgReferee;

class CTestDiskInfo : public CFusionComputeDiskInfo {
public:
    explicit CTestDiskInfo(FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge* b)
        : CFusionComputeDiskInfo(b) {}
    using CFusionComputeDiskInfo::bInitialized;
    using CFusionComputeDiskInfo::diskIORetries;
    using CFusionComputeDiskInfo::diskIORetryDelay;
    using CFusionComputeDiskInfo::fusionStorageDataOffset;
};

SVMInfo Vm() {
    SVMInfo vm;
    vm.strName = "web-01";
    vm.strGUID = "AbCd-0001";
    return vm;
}

SDisk Disk(const std::string& name) {
    SDisk d;
    d.strName = name;
    d.strDisplayName = name + "-display";
    d.ullCapacity = 10ull << 30;
    d.strDatastore = "ds-san";
    return d;
}

SDatastoreInfo Ds() {
    SDatastoreInfo ds;
    ds.strName = "ds-san";
    ds.vecLuns = {"lun-1"};
    return ds;
}

class DiskServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        sdk.Install();
        ON_CALL(bridge, PrepareDiskAccess)
            .WillByDefault([this](const std::string&, const std::string&, const std::string&, bool,
                                  std::string& id, std::string& addr, std::string& port,
                                  std::string& token, std::string& path) {
                id = "acc-" + std::to_string(++nPrepared);
                addr = "127.0.0.1";
                port = "902x";
                token = "tok";
                path = "/disks/d.img";
                return true;
            });
        ON_CALL(bridge, ExtendDiskAccess(_, _))
            .WillByDefault([this](const std::string& id, uint32_t secs) {
                std::lock_guard<std::mutex> g(lock);
                extensions.push_back({id, secs, NxClock::Now()});
                clock.Advance(std::exchange(nExtensionMillis, 0));  // a slow extension
                cv.notify_all();
                return true;
            });
        ON_CALL(bridge, ReleaseDiskAccess).WillByDefault(Return(true));
        ON_CALL(bridge, GetLastError).WillByDefault(Return("refused"));
    }
    // Registers (and, for the first disk of the VM, opens) a disk.
    VmdkHandle Register(const std::string& name, bool readOnly = true, bool eager = false) {
        EXPECT_TRUE(svc.Connect(Vm(), "snap-1"));
        EXPECT_TRUE(svc.OpenDisk(Vm(), Disk(name), "", Ds(), readOnly, eager));
        VmdkHandle h;
        EXPECT_TRUE(svc.GetDiskHandle("web-01", "abcd-0001", name, h));
        return h;
    }

    struct SExtension {
        std::string strID;
        uint32_t nSeconds;
        int64_t tAt;
    };
    CFakeClock clock{1000000};
    SFakeSdk sdk;
    NiceMock<fcplugintest::CMockBridge> bridge;
    CTestDiskInfo svc{&bridge};
    int nPrepared = 0;
    uint32_t nExtensionMillis = 0;  // how long the next extension takes
    std::mutex lock;
    std::condition_variable cv;
    std::vector<SExtension> extensions;
    EvLogCapture logs;
};

// SAN for readers and eager-zeroed writers of a datastore whose LUNs are attached, LAN for
// other writers. (A VM on LAN alone: plugin/test_flows_e2e.)
TEST_F(DiskServiceTest, TransportFollowsTheLunsTheAccessAndEagerZeroing) {
    sdk.bLunsAttached = true;
    std::string mode = "unchanged";
    ASSERT_TRUE(svc.Connect(Vm(), "snap-1"));
    ASSERT_TRUE(svc.GetTransportMode(Vm(), mode));
    EXPECT_EQ("unchanged", mode) << "no open disk leaves the mode alone";
    VmdkHandle h = Register("disk-a");
    EXPECT_EQ(std::vector<int32_t>{0}, sdk.vecInstanceFlags);
    ASSERT_TRUE(svc.GetTransportMode(Vm(), mode));
    EXPECT_EQ("SAN", mode);
    // The port text is converted up to its first non-digit; the texts keep it whole.
    EXPECT_TRUE(logs.Contains("Connecting to CNA [127.0.0.1] port [902] using token [tok]"));
    EXPECT_TRUE(logs.Contains("Connected to CNA [127.0.0.1:902x] for VM [web-01]"));
    // Further disks are only checked when registered, and opened on first use.
    ASSERT_TRUE(svc.OpenDisk(Vm(), Disk("disk-b"), "", Ds(), false, false));
    ASSERT_TRUE(svc.OpenDisk(Vm(), Disk("disk-c"), "", Ds(), false, true));
    EXPECT_EQ(1u, sdk.vecOpens.size());
    ASSERT_TRUE(svc.GetDiskHandle("web-01", "ABCD-0001", "DISK-B", h));
    ASSERT_TRUE(svc.GetDiskHandle("web-01", "abcd-0001", "disk-c", h));
    EXPECT_TRUE(logs.Contains("Write mode for SAN access is only supported for eager zero disks"));
    // (writable, LAN) of each open
    EXPECT_EQ((std::vector<std::pair<int32_t, int32_t>>{{0, 0}, {1, 1}, {1, 0}}), sdk.vecOpens);
    ASSERT_TRUE(svc.GetTransportMode(Vm(), mode));
    EXPECT_EQ("SAN+LAN", mode);
}

TEST_F(DiskServiceTest, LeaseIsExtendedOnlyAfter150SecondsAndARefusalEndsTheTransfers) {
    VmdkHandle h = Register("disk-a");
    ASSERT_EQ(1u, extensions.size());
    EXPECT_EQ(300u, extensions[0].nSeconds);
    std::vector<uint8_t> buf(4096);
    for (int64_t at : {100, 150}) {
        clock.SetNow(1000000 + at);
        ASSERT_TRUE(svc.ReadDisk(h, 0, 8, buf.data()));
    }
    EXPECT_EQ(1u, extensions.size());
    clock.SetNow(1000000 + 151);
    ASSERT_TRUE(svc.ReadDisk(h, 0, 8, buf.data()));
    ASSERT_EQ(2u, extensions.size());
    EXPECT_EQ(151u, extensions[1].nSeconds);

    // A refused extension fails the next transfers before they start.
    EXPECT_CALL(bridge, ExtendDiskAccess(_, _)).WillOnce(Return(false));
    clock.SetNow(1000000 + 151 + 151);
    EXPECT_FALSE(svc.ReadDisk(h, 0, 1, buf.data()));
    EXPECT_TRUE(logs.Contains("Failed to extend disk access lease - refused"));
    EXPECT_FALSE(svc.WriteDisk(h, 0, 1, buf.data()));
    EXPECT_EQ(3u, sdk.vecReads.size());
    EXPECT_EQ(0u, sdk.nWrites);
}

TEST_F(DiskServiceTest, ReadAsksForTheRightBytesReopensAndGivesUpAtTheLimits) {
    VmdkHandle h = Register("disk-a");
    sdk.readResults = {false};
    std::vector<uint8_t> buf(4096);
    ASSERT_TRUE(svc.ReadDisk(h, 2048, 8, buf.data()));
    EXPECT_EQ((Ranges{{1048576, 4096}, {1048576, 4096}}), sdk.vecReads);
    EXPECT_EQ(2, buf[0]) << "the data of the second attempt";
    EXPECT_EQ(1u, logs.Count("Failed to read [8] sectors from vm [web-01] disk [disk-a]"));
    EXPECT_EQ(2, nPrepared) << "re-opened once";
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(1, sdk.nInstances) << "the old SDK instance was destroyed";

    // A read that keeps failing while every re-open succeeds gives up after the retries.
    sdk.readResults.assign(100, false);
    sdk.vecReads.clear();
    EXPECT_FALSE(svc.ReadDisk(h, 0, 1, buf.data()));
    EXPECT_EQ(12u, sdk.vecReads.size());
    EXPECT_TRUE(clock.Sleeps().empty());

    // One whose re-opens fail waits between them and counts them to the limit.
    sdk.readResults = {false};
    EXPECT_CALL(bridge, PrepareDiskAccess).WillRepeatedly(Return(false));
    EXPECT_FALSE(svc.ReadDisk(h, 0, 1, buf.data()));
    EXPECT_EQ(std::vector<uint32_t>(11, 10000), clock.Sleeps());
    EXPECT_EQ(12u, logs.Count("Failed to reopen the disk"));
}

TEST_F(DiskServiceTest, WriteRetriesOnTheSameConnection) {
    VmdkHandle h = Register("disk-a", false, true);
    sdk.bWriteOk = false;
    std::vector<uint8_t> buf(512);
    EXPECT_FALSE(svc.WriteDisk(h, 0, 1, buf.data()));
    EXPECT_EQ(12u, sdk.nWrites);
    EXPECT_EQ(std::vector<uint32_t>(11, 10000), clock.Sleeps());
    EXPECT_EQ(1, nPrepared) << "a write never re-opens";

    svc.diskIORetries = 0;
    svc.diskIORetryDelay = 0;
    sdk.nWrites = 0;
    clock.ClearSleeps();
    EXPECT_FALSE(svc.WriteDisk(h, 0, 1, buf.data()));
    EXPECT_EQ(2u, sdk.nWrites);
    EXPECT_EQ(std::vector<uint32_t>{0}, clock.Sleeps());

    // A byte count beyond 32 bits is refused before any transfer.
    sdk.nWrites = 0;
    EXPECT_FALSE(svc.ReadDisk(h, 0, 8388608, buf.data()));
    EXPECT_FALSE(svc.WriteDisk(h, 0, 8388608, buf.data()));
    EXPECT_TRUE(sdk.vecReads.empty());
    EXPECT_EQ(0u, sdk.nWrites);
}

// A failed first open, and a disconnect with a disk still open, leave no handle, no SDK
// instance and no access behind.
TEST_F(DiskServiceTest, FailedFirstOpenAndDisconnectLeaveNothingOpen) {
    EXPECT_CALL(bridge, ReleaseDiskAccess("acc-1")).WillOnce(Return(true));
    EXPECT_CALL(bridge, ReleaseDiskAccess("acc-2")).WillOnce(Return(true));
    NXFusionSphereSDK_OpenDisk_Ptr = [](void*, const char**, const char*, int32_t, uint32_t*,
                                        int32_t) { return false; };
    ASSERT_TRUE(svc.Connect(Vm(), "snap-1"));
    EXPECT_FALSE(svc.OpenDisk(Vm(), Disk("disk-a"), "", Ds(), true, false));
    EXPECT_FALSE(svc.CheckDisk(Vm(), Disk("disk-a")));
    EXPECT_EQ(0, sdk.nInstances);

    sdk.Install();
    Register("disk-a");
    EXPECT_TRUE(svc.Disconnect(Vm()));
    EXPECT_TRUE(logs.Contains("Disk handle is still open!"));
    EXPECT_EQ(0, sdk.nInstances);
    EXPECT_FALSE(svc.CheckDisk(Vm(), Disk("disk-a")));
}

TEST_F(DiskServiceTest, AdminThreadExtendsIdleLeasesAndShortensTheWaitAfterASlowPass) {
    Register("disk-a");
    // A registered disk that was never opened is never extended.
    ASSERT_TRUE(svc.OpenDisk(Vm(), Disk("disk-b"), "", Ds(), true, false));
    nExtensionMillis = 40000;
    ASSERT_TRUE(svc.StartAdminThread());
    {
        std::unique_lock<std::mutex> g(lock);
        ASSERT_TRUE(
            cv.wait_for(g, std::chrono::seconds(20), [&] { return extensions.size() >= 3; }));
    }
    svc.StopAdminThread();
    // Opened at T with 300 s; passes every 30 s; the first over 150 s is T+180, which takes
    // 40 s, so the next pass comes 1 s later and every 30 s after: T+371 is the first over
    // T+220+150 (with a full 30 s wait it would be T+400).
    EXPECT_EQ(1000000 + 180, extensions[1].tAt);
    EXPECT_EQ(180u, extensions[1].nSeconds);
    EXPECT_EQ(1000000 + 371, extensions[2].tAt);
    EXPECT_EQ(151u, extensions[2].nSeconds);
    for (const SExtension& e : extensions) EXPECT_EQ("acc-1", e.strID);
    EXPECT_FALSE(svc.IsInitialized());
}

// Job threads open, close, register and disconnect while admin passes run back to back: the
// race detector run of the suite checks the locking.
TEST_F(DiskServiceTest, AdminPassesRunSafelyBesideOpenCloseAndDisconnect) {
    ASSERT_TRUE(svc.StartAdminThread());
    std::vector<uint8_t> buf(512);
    for (int i = 0; i < 200; ++i) {
        SVMInfo vm = Vm();
        vm.strGUID = "vm-" + std::to_string(i % 3);
        ASSERT_TRUE(svc.Connect(vm, "snap"));
        ASSERT_TRUE(svc.OpenDisk(vm, Disk("a"), "", Ds(), true, false));
        ASSERT_TRUE(svc.OpenDisk(vm, Disk("b"), "", Ds(), true, false));
        VmdkHandle h;
        ASSERT_TRUE(svc.GetDiskHandle(vm.strName, vm.strGUID, "b", h));
        clock.Advance(200000);
        EXPECT_TRUE(svc.ReadDisk(h, 0, 1, buf.data()));
        svc.ReleaseDiskHandle(h);
        if (i % 2) {
            ASSERT_TRUE(svc.CloseDisks(vm));
        }
        ASSERT_TRUE(svc.Disconnect(vm));
    }
    svc.StopAdminThread();
    EXPECT_EQ(0, sdk.nInstances);
}

TEST(DiskServiceAdminWait, FollowsThePassDuration) {
    EXPECT_EQ(30000u, CFusionComputeDiskInfo::NextAdminWaitMillis(0));
    EXPECT_EQ(20000u, CFusionComputeDiskInfo::NextAdminWaitMillis(10000));
    EXPECT_EQ(0u, CFusionComputeDiskInfo::NextAdminWaitMillis(30000));
    EXPECT_EQ(1000u, CFusionComputeDiskInfo::NextAdminWaitMillis(40000));
}

TEST(ProcessCBTBitmap, ExamplesOfTheBitmapFormat) {
    const struct {
        std::string strBitmap;
        uint32_t nGranularity;
        Ranges extents;
        uint64_t ullLength;
    } cases[] = {{"F0", 128, {{0, 262144}}, 524288},
                 {"81", 1, {{0, 512}, {3584, 512}}, 4096},
                 {"0FF0", 1, {{2048, 4096}}, 8192},
                 {"", 1, {}, 0},
                 {"FxF", 1, {{0, 2048}, {4096, 2048}}, 6144},
                 // Runs of eight digits and more are skipped a word at a time; a digit that
                 // differs inside a word ends the run there, a mix of 'F' and 'f' does not.
                 {std::string(17, '0') + std::string(9, 'F') + std::string(9, 'f') + "0",
                  1,
                  {{68 * 512, 72 * 512}},
                  144 * 512},
                 {"0000000800000000F", 1, {{28 * 512, 512}, {64 * 512, 4 * 512}}, 68 * 512},
                 {"FFFFFFF7FFFFFFFF", 2, {{0, 28 * 1024}, {29 * 1024, 35 * 1024}}, 64 * 1024}};
    for (const auto& c : cases) {
        SDiskChangeInfo info;
        CFusionComputeDiskInfo::ProcessCBTBitmap(c.strBitmap, c.nGranularity, 512, info);
        EXPECT_EQ(c.extents, OffsetsAndLengths(info.vecExtents)) << c.strBitmap;
        EXPECT_EQ(c.ullLength, info.ullLength) << c.strBitmap;
    }
    SDiskChangeInfo kept;
    kept.vecExtents.resize(1);
    CFusionComputeDiskInfo::ProcessCBTBitmap("8", 1, 512, kept);
    EXPECT_EQ(2u, kept.vecExtents.size());
}

// (The allocated blocks for an empty token and their extents: plugin/test_flows_e2e's full
// backups, which read only those.)
TEST_F(DiskServiceTest, ExtentsFailWithTheChangedBlocksQueryOrAStartOffset) {
    VmdkHandle h = Register("disk-a");
    EXPECT_CALL(bridge, QueryDiskChangedBlocks("disk-a", "snap-1", "tok-9", _, _))
        .WillOnce(Return(false));
    SDiskChangeInfo info;
    EXPECT_FALSE(svc.GetDiskExtents(h, "tok-9", 0, info));
    EXPECT_FALSE(svc.GetDiskExtents(h, "", 512, info));
    EXPECT_TRUE(logs.Contains("non-zero starting offset is not implemented"));
}

// The FusionStorage bitmap volume: a byte a block, marked when not zero.
TEST_F(DiskServiceTest, FsBitmapRunsOfMarkedBytesBecomeExtentsLessTheDataOffset) {
    CTempDir dir;
    auto scan = [&](const std::string& bytes, uint32_t dataOffset) {
        std::ofstream(dir.File("bitmap"), std::ios::binary) << bytes;
        svc.fusionStorageDataOffset = dataOffset;
        SDiskChangeInfo info;
        EXPECT_TRUE(svc.ReadFusionStorageBitmapVolume(dir.File("bitmap"), 512, 777, info));
        return info;
    };
    const std::string marked("\0\5\5\0\1", 5);
    EXPECT_EQ((Ranges{{4096, 8192}, {16384, 4096}}), OffsetsAndLengths(scan(marked, 0).vecExtents));
    EXPECT_EQ((Ranges{{0, 8192}, {12288, 4096}}), OffsetsAndLengths(scan(marked, 4096).vecExtents));
    EXPECT_EQ((Ranges{{0, 4096}}), OffsetsAndLengths(scan(std::string("\1", 1), 4096).vecExtents));
    SDiskChangeInfo none = scan(std::string(64, '\0'), 0);
    EXPECT_TRUE(none.vecExtents.empty());
    EXPECT_EQ(777u, none.ullLength);

    // A run across the boundary of the blocks read stays one extent.
    std::string bytes(3u << 20, '\0');
    for (size_t i = (1u << 20) - 3; i < (1u << 20) + 5; ++i) bytes[i] = 1;
    bytes.back() = 9;
    EXPECT_EQ(
        (Ranges{{((1u << 20) - 3) * 4096ull, 8 * 4096ull}, {((3u << 20) - 1) * 4096ull, 4096}}),
        OffsetsAndLengths(scan(bytes, 0).vecExtents));
}

class CDiskPlugin : public CFusionComputeInfo {
public:
    explicit CDiskPlugin(fcplugintest::CMockBridge* b)
        : CFusionComputeInfo(VSINSTANCE_FUSIONCOMPUTE, b) {}
    CTestDiskInfo* Install() {
        auto* svc = new CTestDiskInfo(bridge.get());
        svc->bInitialized = true;
        diskInfo.reset(svc);
        return svc;
    }
};

TEST(PluginDiskInterface, OpenVmdkWaitsBetweenRetriesOn205UntilCancelled) {
    CFakeClock clock;
    auto* bridge = new NiceMock<fcplugintest::CMockBridge>();
    CDiskPlugin plugin(bridge);
    VmdkHandle h;
    EXPECT_EQ(0, plugin.OpenVmdk("web-01", "g", "disk-a", h)) << "no disk access service yet";
    EXPECT_EQ(VMINFO_ERR_OPEN_DISK, plugin.GetLastVMError());

    CTestDiskInfo* svc = plugin.Install();
    ASSERT_TRUE(svc->Connect(Vm(), "snap-1"));
    SFakeSdk sdk;
    sdk.Install();
    // The first disk opens at registration; the second is opened by OpenVmdk.
    int calls = 0;
    EXPECT_CALL(*bridge, PrepareDiskAccess)
        .WillOnce(DoAll(SetArgReferee<4>("acc"), SetArgReferee<6>("1"), Return(true)))
        .WillRepeatedly([&](auto&&...) {
            if (++calls == 3) plugin.SetJobCancelled(true);
            return false;
        });
    ON_CALL(*bridge, ExtendDiskAccess(_, _)).WillByDefault(Return(true));
    ASSERT_TRUE(svc->OpenDisk(Vm(), Disk("disk-a"), "", Ds(), true, false));
    ASSERT_TRUE(svc->OpenDisk(Vm(), Disk("disk-b"), "", Ds(), true, false));
    EvLogCapture logs;
    EXPECT_EQ(0, plugin.OpenVmdk("web-01", Vm().strGUID, "disk-b", h));
    EXPECT_EQ(VMINFO_ERR_JOB_QUIT, plugin.GetLastVMError());
    EXPECT_EQ(3, calls);
    EXPECT_EQ((std::vector<uint32_t>{10000, 10000}), clock.Sleeps());
    EXPECT_TRUE(logs.Contains("Detected quit flag"));

    EXPECT_EQ(0, plugin.OpenVmdk("web-01", Vm().strGUID, "disk-x", h));
    EXPECT_EQ(VMINFO_ERR_OPEN_DISK, plugin.GetLastVMError());
    EXPECT_EQ(1, plugin.OpenVmdk("web-01", Vm().strGUID, "DISK-A", h));
    EXPECT_TRUE(svc->Disconnect(Vm()));
    // (The capacity of an open disk, and its close: plugin/test_flows_e2e.)
}

}  // namespace
