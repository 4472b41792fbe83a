// The whole chain on loopback for writes over SAN: the simulator's management service
// prepares access to a disk (through the bridge), our backup SDK writes the disk file itself,
// and the changed blocks the service reports name exactly what it wrote. Whole-disk reads and
// restores over every transport: plugin/test_flows_e2e.
#include <gtest/gtest.h>

#include <algorithm>

#include "../diskaccess/Ranges.h"
#include "CnaServer.h"
#include "FusionComputeDiskInfo.h"
#include "FusionComputeSDKCppBridge.h"
#include "SdkUnderTest.h"
#include "SimSession.h"
#include "Simulator.h"
#include "TempDir.h"

namespace {

using namespace VMInfoStructs;

// Over SAN the SDK writes around the CNA; the changed blocks still name exactly what it wrote,
// whether a snapshot comes while the restore's access is held or after its release.
TEST(TransportsEndToEnd, SanWritesAreReportedAsChangedBlocks) {
    // The simulator's disks lie on the storage the SAN device folder presents.
    CTempDir devDir;
    CScopedEnv devices("FC_SAN_DEVICE_DIR", devDir.Path());
    fcsim::SSimOptions options;
    options.strStateDir = devDir.File("sim");
    fcsim::CSimulator sim;
    std::string err;
    ASSERT_TRUE(sim.Start(options, err)) << err;
    auto bridge = fctest::ConnectToSim(sim);
    ASSERT_TRUE(bridge);
    SVMInfo vm;
    ASSERT_TRUE(bridge->GetVMInfo("web-01", "", "", vm, 0)) << bridge->GetLastError();
    std::vector<SSnapshot> snaps(3);
    std::vector<std::string> tokens(3);
    SDatastoreInfo ds;
    std::string diskKey;
    auto snapshot = [&](int i) {
        std::vector<SDisk> disks;
        ASSERT_TRUE(
            bridge->CreateVMSnapshot(vm, "s", "", false, false, false, true, snaps[i], disks))
            << bridge->GetLastError();
        // The disk on a datastore with LUNs.
        auto disk = std::find_if(disks.begin(), disks.end(), [&](const SDisk& d) {
            return bridge->GetDataStoreInfo(d.strDatastore, "", ds, 0) && !ds.vecLuns.empty() &&
                   ds.strType != "DSWARE";
        });
        ASSERT_NE(disks.end(), disk);
        diskKey = disk->strName;
        ASSERT_TRUE(bridge->GetDiskChangeToken(diskKey, snaps[i].strID, tokens[i]))
            << bridge->GetLastError();
    };
    auto changed = [&](int from, int to) {
        std::string hex;
        int sectors = 0;
        EXPECT_TRUE(
            bridge->QueryDiskChangedBlocks(diskKey, snaps[to].strID, tokens[from], hex, sectors))
            << bridge->GetLastError();
        EXPECT_EQ(128, sectors);
        SDiskChangeInfo info;
        CFusionComputeDiskInfo::ProcessCBTBitmap(hex, sectors, 512, info);
        return OffsetsAndLengths(info.vecExtents);
    };
    ASSERT_NO_FATAL_FAILURE(snapshot(0));

    std::string accessID, host, port, token, path;
    ASSERT_TRUE(bridge->PrepareDiskAccess(diskKey, "", "127.0.0.1", true, accessID, host, port,
                                          token, path))
        << bridge->GetLastError();
    ASSERT_TRUE(fcsim::ExposeSanLuns(devDir.Path(), ds.vecLuns, err)) << err;
    CFusionSphereDiskInfoStringArray luns(ds.vecLuns);
    SSdkUnderTest sdk;
    void* inst = sdk.NXFusionSphereSDK_CreateInstance(0);
    uint32_t h = 0;
    ASSERT_TRUE(sdk.NXFusionSphereSDK_ConnectCNA(inst, host.c_str(), 1, token.c_str(), 0, ""));
    ASSERT_TRUE(sdk.NXFusionSphereSDK_OpenDisk(inst, luns.Get(), path.c_str(), 1, &h, 0))
        << SSdkUnderTest::AllErrors();
    auto write = [&](uint64_t offset, const std::string& bytes) {
        uint64_t n = 0;
        ASSERT_TRUE(
            sdk.NXFusionSphereSDK_WriteDisk(inst, h, offset, bytes.size(), bytes.data(), &n))
            << SSdkUnderTest::AllErrors();
    };
    write(3 * 65536 + 100, "over seeded data");  // block 3
    write(40 * 65536, std::string(65536, 'x'));  // exactly block 40
    ASSERT_NO_FATAL_FAILURE(snapshot(1));        // the access is still held
    write(71 * 65536 - 2, "span");               // blocks 70 and 71
    sdk.NXFusionSphereSDK_DestroyInstance(inst);
    ASSERT_TRUE(bridge->ReleaseDiskAccess(accessID)) << bridge->GetLastError();
    ASSERT_NO_FATAL_FAILURE(snapshot(2));

    const uint64_t block = 65536;
    EXPECT_EQ(changed(0, 1), (Ranges{{3 * block, block}, {40 * block, block}}));
    EXPECT_EQ(changed(1, 2), (Ranges{{70 * block, 2 * block}}));
    for (SSnapshot& s : snaps) EXPECT_TRUE(bridge->DeleteVMSnapshot(vm, s));
}

}  // namespace
