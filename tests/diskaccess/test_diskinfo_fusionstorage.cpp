// A FusionStorage disk through the disk access service, against the simulator and the real tool
// stand-ins.
#include <gtest/gtest.h>

#include <cstdlib>

#include "FsToolsSetup.h"
#include "FsVolumeStore.h"
#include "FusionComputeDiskInfo.h"
#include "FusionComputeSDKCppBridge.h"
#include "Ranges.h"
#include "SimSession.h"
#include "Simulator.h"
#include "TempDir.h"

namespace {

using namespace VMInfoStructs;

TEST(DiskInfoFusionStorage, SnapshotVolumeReadsAsTheFrozenDiskAndLeavesNoVolume) {
    if (std::string(FCSIM_VRMVBSTOOLS_CLASS).empty())
        GTEST_SKIP() << "the VrmVBSTools stand-in was not built (no javac)";
    fcsim::CSimulator sim;
    fcsim::SSimOptions options;
    std::string err;
    ASSERT_TRUE(sim.Start(options, err)) << err;
    CTempDir tmp;
    tmp.Touch("fc.ini", "[fctest]\nHostName=localhost\n");
    ASSERT_TRUE(fcsim::FsInstallVrmVBSTools(tmp.File("agent"), FCSIM_VRMVBSTOOLS_CLASS, err))
        << err;
    ASSERT_TRUE(fcsim::FsWriteClusterInfo(tmp.File("cluster"), "127.0.0.1,", err)) << err;
    const char* path = std::getenv("PATH");
    CScopedEnv envPath("PATH", std::string(FCSIM_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin"));
    CScopedEnv envState("FCSIM_STATE_DIR", sim.StateDir());
    CScopedEnv envHome("FC_AGENT_HOME", tmp.File("agent"));
    CScopedEnv envCluster("FC_FS_CLUSTER_INFO", tmp.File("cluster"));
    CScopedEnv envClient("FC_CLIENT_NAME", "fctest");
    CScopedEnv envConfig("FC_CONFIG_FILE", tmp.File("fc.ini"));

    auto connected = fctest::ConnectToSim(sim);
    ASSERT_TRUE(connected);
    auto& bridge = *connected;
    SVMInfo vm;
    ASSERT_TRUE(bridge.GetVMInfo("fs-01", "", "", vm, 56)) << bridge.GetLastError();
    SSnapshot snap;
    std::vector<SDisk> disks;
    std::string snapID;
    ASSERT_TRUE(fctest::TakeBackupSnapshot(bridge, vm, "test", snap, disks, snapID));
    SDisk disk;
    SDatastoreInfo ds;
    for (const SDisk& d : disks) {
        SDatastoreInfo candidate;
        if (bridge.GetDataStoreInfo(d.strDatastore, "", candidate, 0) &&
            candidate.strType == "DSWARE") {
            disk = d;
            ds = candidate;
        }
    }
    ASSERT_FALSE(disk.strSnapshotDiskID.empty()) << "no FusionStorage disk in the snapshot";
    fcsim::SFsSnapshot frozen;
    ASSERT_TRUE(sim.State().GetFsSnapshot(disk.strSnapshotDiskID, frozen));

    {
        CFusionComputeDiskInfo svc(&bridge);
        ASSERT_TRUE(svc.Initialize());
        ASSERT_TRUE(svc.Connect(vm, snapID));
        ASSERT_TRUE(svc.OpenDisk(vm, disk, "", ds, true, false));
        VmdkHandle h;
        ASSERT_TRUE(svc.GetDiskHandle(vm.strName, vm.strGUID, disk.strName, h));
        ASSERT_TRUE(static_cast<FusionComputeDiskInfo::DiskHandle*>(h.pDiskHandle)->pDiskReader);
        std::string data(disk.ullCapacity, '\0');
        for (uint64_t off = 0; off < data.size(); off += 1u << 20)
            ASSERT_TRUE(svc.ReadDisk(h, off / 512, 2048, reinterpret_cast<uint8_t*>(&data[off])));
        EXPECT_TRUE(data == fctest::ReadWholeFile(frozen.strPath).substr(0, data.size()));

        // The seeded guest data: 1 MiB at the start and 256 KiB in the middle.
        SDiskChangeInfo info;
        ASSERT_TRUE(svc.GetDiskExtents(h, "", 0, info));
        EXPECT_EQ((Ranges{{0, 1u << 20}, {disk.ullCapacity / 2, 256u << 10}}),
                  OffsetsAndLengths(info.vecExtents));
        EXPECT_EQ(disk.ullCapacity, info.ullLength);
        std::string mode;
        ASSERT_TRUE(svc.GetTransportMode(vm, mode));
        EXPECT_EQ("LAN", mode);
        ASSERT_TRUE(svc.CloseDisks(vm));
        ASSERT_TRUE(svc.Disconnect(vm));
    }
    fcsim::CFsVolumeStore store(sim.StateDir());
    EXPECT_TRUE(store.List().empty()) << "every volume was detached and deleted";
    store.DetachAll();
    EXPECT_TRUE(bridge.DeleteVMSnapshot(vm, snap));
}

}  // namespace
