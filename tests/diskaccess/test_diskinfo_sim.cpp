// The disk access service with the real bridge against the simulator on loopback: every disk
// of a snapshot is read in full over the socket protocol, the backup SDK's LAN and its SAN
// transport and compared with the simulator's file; a restore disk is written and read back;
// changed extents after known guest writes; no lease is left behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "CnaServer.h"
#include "DiskCow.h"
#include "FusionComputeDiskInfo.h"
#include "FusionComputeSDKCppBridge.h"
#include "SimSession.h"
#include "Simulator.h"
#include "TempDir.h"

namespace {

using namespace VMInfoStructs;
using FusionComputeDiskInfo::DiskHandle;

enum class ETransport { Socket, SdkLan, SdkSan };

class CService : public CFusionComputeDiskInfo {
public:
    using CFusionComputeDiskInfo::CFusionComputeDiskInfo;
    using CFusionComputeDiskInfo::useBackupSDK;
};

class DiskInfoAgainstSim : public ::testing::TestWithParam<ETransport> {
protected:
    void SetUp() override {
        fcsim::SSimOptions options;
        options.settings.nVersion = GetParam() == ETransport::Socket ? 63 : 62;
        // Inside the SAN device folder (tmp), as the storage it presents.
        options.strStateDir = tmp.File("sim");
        std::string err;
        ASSERT_TRUE(sim.Start(options, err)) << err;
        tmp.Touch("libssl.so.1.0.0");
        tmp.Touch("libcrypto.so.1.0.0");
        tmp.Touch("fc.ini", "[fctest]\nHostName=localhost\n");
        if (GetParam() == ETransport::SdkSan) {
            devices = std::make_unique<CScopedEnv>("FC_SAN_DEVICE_DIR", tmp.Path());
            ASSERT_TRUE(
                fcsim::ExposeSanLuns(tmp.Path(), {"6888603000000001", "6888603000000002"}, err))
                << err;
        }
        bridge = fctest::ConnectToSim(sim);
        ASSERT_TRUE(bridge);
        ASSERT_TRUE(bridge->GetVMInfo("web-01", "", "", vm, 56)) << bridge->GetLastError();
        svc = std::make_unique<CService>(bridge.get());
        svc->strSystemLibDirectory = tmp.Path();
        ASSERT_TRUE(svc->Initialize());
        ASSERT_EQ(GetParam() != ETransport::Socket, svc->useBackupSDK);
    }
    void TearDown() override {
        svc.reset();
        if (bridge && !snap.strName.empty()) bridge->DeleteVMSnapshot(vm, snap);
        sim.Stop();
    }
    std::vector<SDisk> Snapshot() {
        std::vector<SDisk> disks;
        fctest::TakeBackupSnapshot(*bridge, vm, "test", snap, disks, snapID);
        return disks;
    }
    SDatastoreInfo Datastore(const SDisk& disk) {
        SDatastoreInfo ds;
        EXPECT_TRUE(bridge->GetDataStoreInfo(disk.strDatastore, "", ds, 0));
        return ds;
    }
    std::string ReadDisk(VmdkHandle h, uint64_t bytes) {
        std::string data(bytes, '\0');
        const uint32_t chunk = 1u << 20;
        for (uint64_t off = 0; off < bytes; off += chunk) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk, bytes - off));
            EXPECT_TRUE(
                svc->ReadDisk(h, off / 512, n / 512, reinterpret_cast<uint8_t*>(&data[off])));
        }
        return data;
    }

    fcsim::CSimulator sim;
    CTempDir tmp;
    CScopedEnv client{"FC_CLIENT_NAME", "fctest"};
    CScopedEnv config{"FC_CONFIG_FILE", tmp.File("fc.ini")};
    CScopedEnv home{"FC_HOME", FC_TEST_SDK_DIR};
    std::unique_ptr<CScopedEnv> devices;
    std::unique_ptr<FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge> bridge;
    std::unique_ptr<CService> svc;
    SVMInfo vm;
    SSnapshot snap;
    std::string snapID;
};

TEST_P(DiskInfoAgainstSim, SnapshotDisksReadAsTheSimulatorsFiles) {
    std::vector<SDisk> disks = Snapshot();
    ASSERT_EQ(2u, disks.size());
    ASSERT_TRUE(svc->Connect(vm, snapID));
    for (const SDisk& d : disks) ASSERT_TRUE(svc->OpenDisk(vm, d, "", Datastore(d), true, false));
    for (const SDisk& d : disks) {
        VmdkHandle h;
        ASSERT_TRUE(svc->GetDiskHandle(vm.strName, vm.strGUID, d.strName, h));
        // The target file is the snapshot's; its frozen blocks may still be the live disk's.
        const std::string target = static_cast<DiskHandle*>(h.pDiskHandle)->strTargetFile;
        std::string expected, err;
        ASSERT_TRUE(fcsim::ReadFrozen(sim.State(), std::filesystem::path(target).stem(), target,
                                      expected, err))
            << err;
        ASSERT_EQ(d.ullCapacity, expected.size());
        EXPECT_TRUE(ReadDisk(h, d.ullCapacity) == expected) << d.strName;
    }
    std::string mode;
    ASSERT_TRUE(svc->GetTransportMode(vm, mode));
    EXPECT_EQ(GetParam() == ETransport::SdkSan ? "SAN+LAN" : "LAN", mode);
    EXPECT_FALSE(sim.State().ListLeases().empty());
    ASSERT_TRUE(svc->CloseDisks(vm));
    ASSERT_TRUE(svc->Disconnect(vm));
    EXPECT_TRUE(sim.State().ListLeases().empty()) << "every access was released";
}

TEST_P(DiskInfoAgainstSim, ChangedExtentsAreTheChunksTheGuestWrote) {
    std::vector<SDisk> first = Snapshot();
    const SDisk disk = first.at(0);
    std::string token;
    ASSERT_TRUE(bridge->GetDiskChangeToken(disk.strName, snapID, token)) << bridge->GetLastError();
    ASSERT_TRUE(bridge->DeleteVMSnapshot(vm, snap));
    std::string err;
    const uint64_t a = 5ull << 20, b = 20ull << 20;
    ASSERT_NE(0u, sim.GuestWrite(disk.strName, a, std::string(4096, 'a'), err)) << err;
    ASSERT_NE(0u, sim.GuestWrite(disk.strName, b, std::string(3 << 16, 'b'), err)) << err;
    Snapshot();
    std::string bitmap;
    int g = 0;
    ASSERT_TRUE(bridge->QueryDiskChangedBlocks(disk.strName, snapID, token, bitmap, g));
    const uint64_t chunk = uint64_t(g) * 512;
    ASSERT_TRUE(svc->Connect(vm, snapID));
    ASSERT_TRUE(svc->OpenDisk(vm, disk, "", Datastore(disk), true, false));
    VmdkHandle h;
    ASSERT_TRUE(svc->GetDiskHandle(vm.strName, vm.strGUID, disk.strName, h));
    SDiskChangeInfo info;
    ASSERT_TRUE(svc->GetDiskExtents(h, token, 0, info));
    auto aligned = [&](uint64_t off, uint64_t len) {
        uint64_t start = off / chunk * chunk;
        return std::make_pair(start, (off + len + chunk - 1) / chunk * chunk - start);
    };
    std::vector<std::pair<uint64_t, uint64_t>> got;
    for (const SDiskChangeExtent& e : info.vecExtents) got.push_back({e.ullOffset, e.ullLength});
    EXPECT_EQ((std::vector<std::pair<uint64_t, uint64_t>>{aligned(a, 4096), aligned(b, 3 << 16)}),
              got);
    EXPECT_EQ(disk.ullCapacity, info.ullLength);
    ASSERT_TRUE(svc->CloseDisks(vm));
    ASSERT_TRUE(svc->Disconnect(vm));
}

TEST_P(DiskInfoAgainstSim, RestoreDiskWritesLandInTheDiskFile) {
    const SDisk disk = vm.vecDisks.at(0);
    ASSERT_TRUE(svc->Connect(vm, ""));
    ASSERT_TRUE(svc->OpenDisk(vm, disk, "restored", Datastore(disk), false, true));
    VmdkHandle h;
    ASSERT_TRUE(svc->GetDiskHandle(vm.strName, vm.strGUID, disk.strName, h));
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 4096);
    ASSERT_TRUE(svc->WriteDisk(h, 4096, 2048, reinterpret_cast<uint8_t*>(&data[0])));
    std::string back(data.size(), '\0');
    ASSERT_TRUE(svc->ReadDisk(h, 4096, 2048, reinterpret_cast<uint8_t*>(&back[0])));
    EXPECT_TRUE(back == data);
    const std::string file =
        fctest::ReadWholeFile(static_cast<DiskHandle*>(h.pDiskHandle)->strTargetFile);
    EXPECT_TRUE(file.substr(4096 * 512, data.size()) == data);
    ASSERT_TRUE(svc->CloseDisks(vm));
    ASSERT_TRUE(svc->Disconnect(vm));
    EXPECT_TRUE(sim.State().ListLeases().empty());
}

INSTANTIATE_TEST_SUITE_P(Transports, DiskInfoAgainstSim,
                         ::testing::Values(ETransport::Socket, ETransport::SdkLan,
                                           ETransport::SdkSan),
                         [](const ::testing::TestParamInfo<ETransport>& p) {
                             return p.param == ETransport::Socket   ? std::string("Socket")
                                    : p.param == ETransport::SdkLan ? std::string("SdkLan")
                                                                    : std::string("SdkSan");
                         });

}  // namespace
