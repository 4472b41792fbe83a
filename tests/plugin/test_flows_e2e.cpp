// Backups through the plug-in's interface alone, driven as the agent drives it, against the
// whole simulator on loopback: factory, Init, Connect, MountVM, GetFullMountInfo, OpenVmdk,
// GetVmdkExtents, ReadVmdk, CloseVmdk, UnmountVM. Each disk must read as the simulator holds it
// at the snapshot, an incremental must read exactly the changed extents, and nothing (snapshot,
// lease, volume) may be left behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "CnaServer.h"
#include "FsToolsSetup.h"
#include "FsVolumeStore.h"
#include "FusionComputeDiskInfo.h"
#include "FusionComputeInfoUtils.h"
#include "SimSession.h"
#include "Simulator.h"
#include "TempDir.h"
#include "WzFile.h"

using namespace VMInfoStructs;

namespace {

const uint32_t kRequestSectors = 2048;  // 1 MiB requests

// What one backup of a VM gave: per disk key, the image read and the change token for the next.
struct SBackup {
    std::map<std::string, std::string> images;
    std::map<std::string, std::string> tokens;
    std::map<std::string, std::string> frozen;  // the simulator's disk at the snapshot
    uint64_t ullBytesRead = 0;
    std::string strTransport;
    std::string strCBT;
    size_t nFiles = 0;
};

class FlowsEndToEnd : public ::testing::TestWithParam<int> {
protected:
    fcsim::CSimulator sim;
    CTempDir tmp;
    std::unique_ptr<CScopedEnv> client, config, home, devices, path, state, agentHome, cluster;
    CVMInfo* plugin = nullptr;  // the factory makes a CVMInfo; the agent reads errors there
    std::unique_ptr<FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge> bridge;

    void SetUp() override {
        fcsim::SSimOptions options;
        options.settings.nVersion = GetParam();
        std::string err;
        ASSERT_TRUE(sim.Start(options, err)) << err;
        tmp.Touch("fc.ini", "[fctest]\nHostName=localhost\n");
        client = std::make_unique<CScopedEnv>("FC_CLIENT_NAME", "fctest");
        config = std::make_unique<CScopedEnv>("FC_CONFIG_FILE", tmp.Path() + "/fc.ini");
        home = std::make_unique<CScopedEnv>("FC_HOME", FC_TEST_SDK_DIR);
        devices = std::make_unique<CScopedEnv>("FC_SAN_DEVICE_DIR", tmp.Path());
        ASSERT_TRUE(fcsim::ExposeSanLuns(tmp.Path(), {"6888603000000001", "6888603000000002"}, err))
            << err;
        // FusionStorage's tools, as the disk access service finds them.
        if (!std::string(FCSIM_VRMVBSTOOLS_CLASS).empty()) {
            ASSERT_TRUE(
                fcsim::FsInstallVrmVBSTools(tmp.Path() + "/agent", FCSIM_VRMVBSTOOLS_CLASS, err))
                << err;
            ASSERT_TRUE(fcsim::FsWriteClusterInfo(tmp.Path() + "/cluster", "127.0.0.1,", err))
                << err;
            const char* old = std::getenv("PATH");
            path = std::make_unique<CScopedEnv>(
                "PATH", std::string(FCSIM_BIN_DIR) + ":" + (old ? old : "/usr/bin:/bin"));
            state = std::make_unique<CScopedEnv>("FCSIM_STATE_DIR", sim.StateDir());
            agentHome = std::make_unique<CScopedEnv>("FC_AGENT_HOME", tmp.Path() + "/agent");
            cluster = std::make_unique<CScopedEnv>("FC_FS_CLUSTER_INFO", tmp.Path() + "/cluster");
        }
        {
            CScopedEnv ca("FC_BRIDGE_CAFILE", sim.CAFile());
            IVMInfo* made = nullptr;
            ASSERT_EQ(1, CreateFusionComputeInfoObject(VSINSTANCE_FUSIONCOMPUTE, &made));
            plugin = dynamic_cast<CVMInfo*>(made);
        }
        ASSERT_NE(nullptr, plugin);
        ASSERT_EQ(1, plugin->Init(0));
        ASSERT_EQ(1, plugin->Connect(sim.Url(), sim.User(), sim.Password()))
            << plugin->GetLastVMErrorDetails();
        bridge = fctest::ConnectToSim(sim);
        ASSERT_TRUE(bridge);
    }
    void TearDown() override {
        delete plugin;
        plugin = nullptr;
        bridge.reset();
        if (sim.Running()) {
            EXPECT_TRUE(sim.State().ListLeases().empty()) << "a disk-access lease was left";
            fcsim::CFsVolumeStore volumes(sim.StateDir());
            EXPECT_TRUE(volumes.List().empty()) << "a FusionStorage volume was left";
            volumes.DetachAll();
        }
        sim.Stop();
    }

    SVMInfo Record(const std::string& name) {
        SVMInfo vm;
        EXPECT_EQ(1, plugin->GetVMInfoForVM(name, "", "", 0x38, 0, vm));
        return vm;
    }

    // One backup as the agent runs it: every disk read whole, or only its changed extents
    // (applied onto the previous images) when tokens are given.
    void Backup(const std::string& vmName, const SBackup* previous, SBackup& out) {
        const SVMInfo vm = Record(vmName);
        MountCtx ctx;
        ctx.strVMName = vm.strName;
        ctx.strVMGUID = vm.strGUID;
        ctx.strMountPath = tmp.Path() + "/mount-" + vm.strGUID;
        ctx.bUseCBT = true;
        ASSERT_EQ(1, plugin->MountVM(ctx))
            << plugin->GetLastVMErrorDetails() << " error " << plugin->GetLastVMError();
        out.strTransport = ctx.strTransportMode;
        out.strCBT = ctx.strCBTStatus;
        std::vector<SMountInfoFull> info;
        ASSERT_EQ(1, plugin->GetFullMountInfo(ctx, info));
        for (const SMountInfoFull& entry : info) {
            const SDisk& disk = entry.vecDisks.at(0);
            if (entry.nType == 0) {
                ++out.nFiles;
                continue;
            }
            VmdkHandle h;
            ASSERT_EQ(1, plugin->OpenVmdk(ctx.strVMName, ctx.strVMGUID, disk.strName, h));
            UINT64 capacity = 0;
            ASSERT_EQ(1, plugin->GetVmdkCapacity(h, capacity));
            const std::string token = previous && previous->tokens.count(disk.strName)
                                          ? previous->tokens.at(disk.strName)
                                          : "";
            std::string image =
                token.empty() ? std::string(capacity, '\0') : previous->images.at(disk.strName);
            SDiskChangeInfo extents;
            ASSERT_EQ(1, plugin->GetVmdkExtents(h, token, 0, extents));
            for (const SDiskChangeExtent& e : extents.vecExtents) {
                ASSERT_LE(e.ullOffset + e.ullLength, capacity);
                for (uint64_t off = e.ullOffset; off < e.ullOffset + e.ullLength;) {
                    const uint32_t sectors = static_cast<uint32_t>(std::min<uint64_t>(
                        kRequestSectors, (e.ullOffset + e.ullLength - off) / 512));
                    ASSERT_EQ(1, plugin->ReadVmdk(h, off / 512, sectors,
                                                  reinterpret_cast<unsigned char*>(&image[off])));
                    off += uint64_t(sectors) * 512;
                    out.ullBytesRead += uint64_t(sectors) * 512;
                }
            }
            out.frozen[disk.strName] = Frozen(h, disk, capacity);
            ASSERT_EQ(1, plugin->CloseVmdk(h));
            out.images[disk.strName] = image;
            for (const SDisk& d : ctx.vmInfo.vecDisks)
                if (d.strName == disk.strName) out.tokens[disk.strName] = d.strChangeToken;
        }
        EXPECT_EQ(1, plugin->UnmountVM(ctx));
        EXPECT_TRUE(ctx.strSnapshotID.empty()) << "the backup snapshot was deleted";
        EXPECT_FALSE(CWzPath::Exists(ctx.strMountPath));
    }

    // The disk's content at the snapshot, as the simulator keeps it.
    std::string Frozen(VmdkHandle h, const SDisk& disk, uint64_t capacity) {
        auto* handle = static_cast<FusionComputeDiskInfo::DiskHandle*>(h.pDiskHandle);
        if (!handle->pDiskReader)
            return fctest::ReadWholeFile(handle->strTargetFile).substr(0, capacity);
        fcsim::SFsSnapshot snap;
        EXPECT_TRUE(sim.State().GetFsSnapshot(handle->diskRecord.strSnapshotDiskID, snap))
            << disk.strName;
        return fctest::ReadWholeFile(snap.strPath).substr(0, capacity);
    }
};

TEST_P(FlowsEndToEnd, FullThenIncrementalBackupReadsTheDisksAsTheyWere) {
    SBackup full;
    ASSERT_NO_FATAL_FAILURE(Backup("web-01", nullptr, full));
    ASSERT_EQ(2u, full.images.size());
    EXPECT_EQ(2u, full.nFiles) << "the two descriptors";
    EXPECT_EQ("Used", full.strCBT);
    // Only the first disk is open at mount time (the others open on first use); it is on a
    // datastore without LUNs.
    EXPECT_EQ("LAN", full.strTransport);
    for (const auto& disk : full.images) {
        EXPECT_TRUE(disk.second == full.frozen.at(disk.first)) << disk.first;
        EXPECT_FALSE(full.tokens.at(disk.first).empty()) << disk.first;
    }

    // The guest writes 4 KiB into one disk and 192 KiB into the other.
    std::string err;
    auto first = full.images.begin();
    auto second = std::next(first);
    ASSERT_NE(0u, sim.GuestWrite(first->first, 5 << 20, std::string(4096, 'a'), err)) << err;
    ASSERT_NE(0u, sim.GuestWrite(second->first, 3 << 20, std::string(3 << 16, 'b'), err)) << err;

    SBackup incremental;
    ASSERT_NO_FATAL_FAILURE(Backup("web-01", &full, incremental));
    for (const auto& disk : incremental.images)
        EXPECT_TRUE(disk.second == incremental.frozen.at(disk.first)) << disk.first;
    // Exactly the changed blocks (64 KiB each) were read, not the disks.
    EXPECT_EQ(uint64_t(64 << 10) + uint64_t(3 << 16), incremental.ullBytesRead);
    EXPECT_NE(first->second, incremental.images.at(first->first));
}

TEST_P(FlowsEndToEnd, FusionStorageDiskReadsAsItsSnapshot) {
    if (std::string(FCSIM_VRMVBSTOOLS_CLASS).empty())
        GTEST_SKIP() << "the VrmVBSTools stand-in was not built (no javac)";
    SBackup full;
    ASSERT_NO_FATAL_FAILURE(Backup("fs-01", nullptr, full));
    ASSERT_FALSE(full.images.empty());
    for (const auto& disk : full.images)
        EXPECT_TRUE(disk.second == full.frozen.at(disk.first)) << disk.first;
    // Its FusionStorage disk carries no change token, its other disk does.
    EXPECT_EQ("Partially Used", full.strCBT);
}

INSTANTIATE_TEST_SUITE_P(Versions, FlowsEndToEnd, ::testing::Values(62, 63),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return p.param > 62 ? std::string("SocketProtocol")
                                                 : std::string("BackupSdk");
                         });

}  // namespace
