// The runner and facade against the real tool stand-ins: vbs_cli from PATH, and VrmVBSTools
// started by Java from the agent home's tools folder, over a temporary simulator state.
#include <gtest/gtest.h>

#include <cstdlib>

#include "EvDebug.h"
#include "FsFaults.h"
#include "FsLoop.h"
#include "FsStateFixture.h"
#include "FsToolsSetup.h"
#include "FusionStorageAPI.h"
#include "NxClock.h"
#include "WzUtil.h"

using namespace fcsim;

namespace {

const uint64_t c_ullOffset = 4096;  // the plug-in's data offset for older management versions

class FsToolsIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(FCSIM_VRMVBSTOOLS_CLASS).empty() ||
            !CWzPath::Exists(FCSIM_VRMVBSTOOLS_CLASS)) {
            GTEST_SKIP() << "the VrmVBSTools stand-in was not built (no javac)";
        }
        home = fx.Dir() + "/agent";
        toolsDir = home + "/Huawei/FusionStorage";
        std::string error;
        ASSERT_TRUE(FsInstallVrmVBSTools(home, FCSIM_VRMVBSTOOLS_CLASS, error)) << error;
        ASSERT_TRUE(
            FsWriteClusterInfo(fx.Dir() + "/vbs_cluster_info", "127.0.0.1,127.0.0.2,", error))
            << error;

        const char* path = std::getenv("PATH");
        env.Set("PATH", std::string(FCSIM_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin"));
        env.Set("FCSIM_STATE_DIR", fx.StateDir());
        env.Set("FC_AGENT_HOME", home);
        env.Set("FC_CONFIG_FILE", "");

        SFsToolsConfig config;
        config.ullDataOffset = c_ullOffset;
        config.nBitmapBlockSize = 512;
        ASSERT_TRUE(fx.Store().SetConfig(config));

        api.SetClusterInfoFile(fx.Dir() + "/vbs_cluster_info");
        ASSERT_TRUE(api.Initialize("127.0.0.1")) << log.Dump();
    }

    void TearDown() override {
        fx.Store().DetachAll();
        env.Restore();
    }

    // A test pattern that differs in every 512-byte sector.
    static std::string Pattern(size_t length, char seed) {
        std::string s(length, '\0');
        for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>(seed + i / 512 + i % 7);
        return s;
    }

    CScopedEnvs env;
    CFsStateFixture fx;
    std::string home;
    std::string toolsDir;
    EvLogCapture log;
    CFusionStorageAPI api;
};

}  // namespace

// Through the stand-ins and a loop device when the machine allows; the volume's whole content
// and its size: VolumeStoreTest.VolumeFromSnapshotKeepsTheFrozenDataAfterTheOffset.
TEST_F(FsToolsIntegrationTest, SnapshotVolumeIsCreatedAttachedReadDetachedAndDeleted) {
    const std::string first = Pattern(65536, 'a');
    fx.WriteDisk(0, first);
    fx.Snapshot("snap-1");
    fx.WriteDisk(0, Pattern(512, 'Z'));  // after the snapshot

    uint64_t size = 0;
    ASSERT_TRUE(api.QueryVolume(CFsStateFixture::c_szDiskVolume, size)) << log.Dump();
    EXPECT_EQ(size, c_ullOffset + CFsStateFixture::c_ullDiskSize);

    const std::string volume = "__VQ_BACKUP__disk-1-snap-1";
    ASSERT_TRUE(api.CreateVolumeFromSnapshot(volume, "snap-1", size)) << log.Dump();
    std::string device;
    ASSERT_TRUE(api.AttachVolume(volume, device)) << log.Dump();
    SFsVolume v;
    ASSERT_TRUE(fx.Store().Get(volume, v));
    if (FsLoopPossible() && v.bLoop) {
        EXPECT_EQ(device.compare(0, 9, "/dev/loop"), 0) << device;
    } else {
        EXPECT_EQ(device, v.strDataPath);
    }
    EXPECT_EQ(fctest::ReadFileAt(device, c_ullOffset, first.size()), first);

    // Deleting an attached volume is refused, and says why.
    EXPECT_FALSE(api.DeleteVolume(volume));
    EXPECT_TRUE(log.Contains("vbs delete volume reported failure [4] [volume is attached]"))
        << log.Dump();
    ASSERT_TRUE(api.DetatchVolume(volume));
    ASSERT_TRUE(fx.Store().Get(volume, v));
    EXPECT_EQ(v.strDevice + (v.bLoop ? "loop" : ""), "");
    ASSERT_TRUE(api.DeleteVolume(volume));
    EXPECT_TRUE(fx.Store().List().empty());
    EXPECT_FALSE(CWzPath::Exists(v.strDataPath));

    // The management tool ran from its folder with its class path.
    std::string calls = fctest::ReadWholeFile(fx.Store().Folder() + "/calls.log");
    EXPECT_NE(calls.find("VrmVBSTools\t" + toolsDir +
                         "\t.:dsware-api-V100R006C00.jar:log4j-1.2.16.jar\t--mngIp\t"
                         "127.0.0.1,127.0.0.2\t--dsaIp\t127.0.0.1\t--op\tcreateVolumeFromSnap"),
              std::string::npos)
        << calls;
}

// (A bitmap that never becomes ready: FusionStorageAPITest.BitmapWaitIsBoundedByItsLimit.)
TEST_F(FsToolsIntegrationTest, BitmapVolumeIsBuiltAwaitedAndRead) {
    fx.WriteDisk(0, Pattern(512, 'a'));
    fx.Snapshot("snap-1");
    fx.WriteDisk(4096 * 3, Pattern(100, 'b'));  // volume chunk 4 (4096-byte chunks)
    fx.WriteDisk(4096 * 10 - 1, "xy");          // volume chunks 10 and 11
    fx.Snapshot("snap-2");

    CFsFaults faults(fx.StateDir());
    ASSERT_TRUE(faults.Add("op=createBitmapVolume action=notready queries=2"));
    CFakeClock clock;
    uint32_t blockSize = 0;
    ASSERT_TRUE(api.CreateBitmapVolume("snap-2-bitmap", "snap-1", "snap-2", blockSize))
        << log.Dump();
    EXPECT_EQ(blockSize, 512u);
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>(2, 10000u));

    std::string device;
    ASSERT_TRUE(api.AttachVolume("snap-2-bitmap", device)) << log.Dump();
    EXPECT_EQ(CFsStateFixture::Marks(fctest::ReadFileAt(device, 0, 512)),
              CFsStateFixture::Marked({4, 10, 11}));
    EXPECT_TRUE(api.DetatchVolume("snap-2-bitmap"));
    EXPECT_TRUE(api.DeleteVolume("snap-2-bitmap"));
}

TEST_F(FsToolsIntegrationTest, InjectedFaultsReachTheCaller) {
    fx.Snapshot("snap-1");
    CFsFaults faults(fx.StateDir());
    std::string device;
    ASSERT_TRUE(faults.Add(R"(op=attach action=fail ret_code=7 ret_desc="no path to the volume")"));
    EXPECT_FALSE(api.AttachVolume(CFsStateFixture::c_szDiskVolume, device));
    EXPECT_TRUE(log.Contains("vbs attach reported failure [7] [no path to the volume]"));

    ASSERT_TRUE(faults.Add("op=queryvolume action=empty"));
    uint64_t size = 0;
    EXPECT_FALSE(api.QueryVolume(CFsStateFixture::c_szDiskVolume, size));
    ASSERT_TRUE(faults.Add("op=detach action=exit status=3"));
    EXPECT_FALSE(api.DetatchVolume("anything"));
    EXPECT_TRUE(log.Contains("Failed to execute command [vbs_cli -c detach -v anything], 3"));

    ASSERT_TRUE(
        faults.Add(R"(op=createVolumeFromSnap action=fail ret_code=9 ret_desc="pool full")"));
    EXPECT_FALSE(api.CreateVolumeFromSnapshot("v", "snap-1", 4096 + (1 << 20)));
    EXPECT_TRUE(fx.Store().List().empty());

    ASSERT_TRUE(faults.Add("op=queryBitmapVolume action=garbage"));
    ASSERT_TRUE(api.CreateVolumeFromSnapshot("v", "snap-1", 4096 + (1 << 20)));
    uint32_t status = 0, blockSize = 0;
    EXPECT_FALSE(api.QueryBitmapVolume("v", status, blockSize));
    EXPECT_FALSE(api.CreateVolumeFromSnapshot("v2", "no-such-snapshot", 4096 + (1 << 20)));
    EXPECT_TRUE(api.DeleteVolume("v"));
    // (Hostile names: each reaches the tools as one argument and runs nothing,
    // FusionStorageCLITest.CommandLinesCarryEachNameAsOneArgument; the stand-ins run no command
    // and keep every name inside their store, VolumeStoreTest.HostileNamesStayInsideTheStore.)
    EXPECT_TRUE(fx.Store().List().empty());
}
