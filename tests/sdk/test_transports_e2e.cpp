// The whole chain on loopback: the simulator's management service prepares access to a disk
// of a VM snapshot (through the bridge), the simulator's CNA serves it, and the disk is read in
// full through the plug-in's socket client and through our backup SDK, loaded by the plug-in's
// loader, over LAN and over SAN. All three give the bytes of the snapshot's disk file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "CnaServer.h"
#include "FusionComputeDiskInfo.h"
#include "FusionComputeSDKCppBridge.h"
#include "SdkUnderTest.h"
#include "SimSession.h"
#include "Simulator.h"
#include "TempDir.h"

namespace {

using namespace VMInfoStructs;

class TransportsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        fcsim::SSimOptions options;
        std::string err;
        ASSERT_TRUE(sim.Start(options, err)) << err;
        devices = std::make_unique<CScopedEnv>("FC_SAN_DEVICE_DIR", devDir.Path());
        home = std::make_unique<CScopedEnv>("FC_HOME", FC_TEST_SDK_DIR);
        bridge = fctest::ConnectToSim(sim);
        ASSERT_TRUE(bridge);
    }
    void TearDown() override {
        bridge.reset();
        devices.reset();
        home.reset();
        sim.Stop();
    }
    // The snapshot's disk on a datastore with LUNs, or null.
    const SDisk* SanDisk(const std::vector<SDisk>& disks, SDatastoreInfo& ds) {
        for (const SDisk& d : disks) {
            if (bridge->GetDataStoreInfo(d.strDatastore, "", ds, 0) && !ds.vecLuns.empty() &&
                ds.strType != "DSWARE") {
                return &d;
            }
        }
        return nullptr;
    }
    fcsim::CSimulator sim;
    CTempDir devDir;
    std::unique_ptr<CScopedEnv> devices, home;
    std::unique_ptr<FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge> bridge;
};

// Exposes the loader's slots (the service's members are protected).
class CLoader : public CFusionComputeDiskInfo {
public:
    explicit CLoader(const std::string& libDir) : CFusionComputeDiskInfo(nullptr) {
        strSystemLibDirectory = libDir;
    }
};

TEST_F(TransportsEndToEnd, SnapshotDiskReadsIdenticallyOverEveryTransport) {
    auto& bridge = *this->bridge;
    SVMInfo vm;
    ASSERT_TRUE(bridge.GetVMInfo("web-01", "", "", vm, 0)) << bridge.GetLastError();
    SSnapshot snap;
    std::vector<SDisk> disks;
    std::string snapID;
    ASSERT_TRUE(fctest::TakeBackupSnapshot(bridge, vm, "e2e", snap, disks, snapID));
    // The disk on the SAN datastore.
    SDatastoreInfo ds;
    const SDisk* disk = SanDisk(disks, ds);
    ASSERT_NE(nullptr, disk) << "no disk on a datastore with LUNs";

    std::string accessID, cnaAddress, cnaPort, token, path;
    ASSERT_TRUE(bridge.PrepareDiskAccess(disk->strName, snapID, "127.0.0.1", false, accessID,
                                         cnaAddress, cnaPort, token, path))
        << bridge.GetLastError();
    EXPECT_EQ(sim.CnaPort(), std::stoi(cnaPort));
    const std::string file = fctest::ReadWholeFile(path);
    const std::vector<uint8_t> expected(file.begin(), file.end());
    // The seeded disk: 32 MiB with data at its start.
    ASSERT_EQ(32u << 20, expected.size())
        << "VM disks: " << vm.vecDisks.size() << ", snapshot disk capacity " << disk->ullCapacity;
    ASSERT_NE(std::vector<uint8_t>(4096, 0),
              std::vector<uint8_t>(expected.begin(), expected.begin() + 4096));
    const uint64_t chunk = 1 << 20;

    // The plug-in's socket client.
    CFusionComputeSocket client;
    ASSERT_TRUE(client.Connect(cnaAddress, uint16_t(std::stoi(cnaPort))));
    uint32_t handle = 0;
    ASSERT_TRUE(client.OpenRemoteDiskFile(path, token, true, handle));
    std::vector<uint8_t> viaSocket(expected.size());
    for (uint64_t off = 0; off < viaSocket.size(); off += chunk)
        ASSERT_TRUE(client.ReadFromRemoteDiskFile(handle, off,
                                                  uint32_t(std::min(chunk, viaSocket.size() - off)),
                                                  viaSocket.data() + off));
    EXPECT_TRUE(client.CloseRemoteDiskFile(handle));
    client.Disconnect();

    // Our SDK through the plug-in's loader, LAN and SAN.
    {
        CTempDir libDir;
        libDir.Touch("libssl.so.1.0.0", "");
        libDir.Touch("libcrypto.so.1.0.0", "");
        CLoader loader(libDir.Path());
        ASSERT_TRUE(loader.ImportSDK());
    }
    NXFusionSphereSDK_SetupLogging_Ptr(SSdkUnderTest::OnError, SSdkUnderTest::OnError,
                                       SSdkUnderTest::OnError, SSdkUnderTest::OnDebug,
                                       SSdkUnderTest::OnDebug, SSdkUnderTest::OnDebug);
    std::string err;
    ASSERT_TRUE(fcsim::ExposeSanLuns(devDir.Path(), ds.vecLuns, err)) << err;
    CFusionSphereDiskInfoStringArray luns(ds.vecLuns);
    ASSERT_TRUE(NXFusionSphereSDK_VerifyLUNAttached_Ptr(luns.Get()));

    for (int lan : {1, 0}) {
        void* inst = NXFusionSphereSDK_CreateInstance_Ptr(lan);
        ASSERT_NE(nullptr, inst);
        ASSERT_TRUE(NXFusionSphereSDK_ConnectCNA_Ptr(
            inst, cnaAddress.c_str(), uint16_t(std::stoi(cnaPort)), token.c_str(), 0, ""));
        uint32_t remote = 0;
        ASSERT_TRUE(NXFusionSphereSDK_OpenDisk_Ptr(inst, luns.Get(), path.c_str(), 0, &remote, lan))
            << SSdkUnderTest::AllErrors();
        std::vector<uint8_t> data(expected.size());
        for (uint64_t off = 0; off < data.size(); off += chunk) {
            uint64_t n = std::min(chunk, data.size() - off);
            ASSERT_TRUE(NXFusionSphereSDK_ReadDisk_Ptr(inst, remote, off, n, data.data() + off, &n))
                << SSdkUnderTest::AllErrors();
        }
        NXFusionSphereSDK_CloseDisk_Ptr(inst, remote);
        NXFusionSphereSDK_DisConnectCNA_Ptr(inst);
        NXFusionSphereSDK_DestroyInstance_Ptr(inst);
        EXPECT_EQ(Fnv1a(expected), Fnv1a(data)) << (lan ? "LAN" : "SAN");
    }
    EXPECT_EQ(Fnv1a(expected), Fnv1a(viaSocket));
    EXPECT_TRUE(bridge.ReleaseDiskAccess(accessID));
    EXPECT_TRUE(bridge.DeleteVMSnapshot(vm, snap)) << bridge.GetLastError();
}

// The blocks (64 KiB) set in a changed-block bitmap.
std::set<uint64_t> SetBlocks(const std::string& hex) {
    std::set<uint64_t> out;
    for (size_t i = 0; i < hex.size(); ++i) {
        int v = std::stoi(hex.substr(i, 1), nullptr, 16);
        for (int k = 0; k < 4; ++k) {
            if (v & (8 >> k)) out.insert(i * 4 + uint64_t(k));
        }
    }
    return out;
}

// Over SAN the SDK writes the disk file itself, around the CNA. The changed blocks still name
// exactly what it wrote, whether a snapshot comes while the restore's access is held or after
// its release.
TEST_F(TransportsEndToEnd, SanWritesAreReportedAsChangedBlocks) {
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
        const SDisk* disk = SanDisk(disks, ds);
        ASSERT_NE(nullptr, disk);
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
        return SetBlocks(hex);
    };
    ASSERT_NO_FATAL_FAILURE(snapshot(0));

    std::string accessID, host, port, token, path, err;
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

    EXPECT_EQ(changed(0, 1), (std::set<uint64_t>{3, 40}));
    EXPECT_EQ(changed(1, 2), (std::set<uint64_t>{70, 71}));
    for (SSnapshot& s : snaps) EXPECT_TRUE(bridge->DeleteVMSnapshot(vm, s));
}

}  // namespace
