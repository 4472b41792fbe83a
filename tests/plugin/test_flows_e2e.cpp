// Backups through the plug-in's interface alone, driven as the agent drives it, against the
// whole simulator on loopback: factory, Init, Connect, MountVM, GetFullMountInfo, OpenVmdk,
// GetVmdkExtents, ReadVmdk, CloseVmdk, UnmountVM. Each disk must read as the simulator holds it
// at the snapshot, an incremental must read exactly the changed extents, and nothing (snapshot,
// lease, volume) may be left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "CnaServer.h"
#include "DiskCow.h"
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
    SVMInfo vm;                // the record at the backup
    std::vector<SDisk> disks;  // the disk entries the agent was shown
    std::string strConfigDir;  // the descriptors, kept as a repository keeps them
};

struct SRestoreOptions {
    std::string strName;
    bool bFromRecord = false;
    bool bOverwrite = false;
    bool bPowerOn = false;
    std::string strHost;  // empty: the source VM's host
};

class FlowsEndToEnd : public ::testing::TestWithParam<int> {
protected:
    fcsim::CSimulator sim;
    CTempDir tmp;
    std::vector<std::unique_ptr<CScopedEnv>> env;
    CVMInfo* plugin = nullptr;  // the factory makes a CVMInfo; the agent reads errors there
    std::unique_ptr<FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge> bridge;

    void SetUp() override {
        fcsim::SSimOptions options;
        options.settings.nVersion = GetParam();
        // Inside the SAN device folder (tmp), as the storage it presents.
        options.strStateDir = tmp.File("sim");
        std::string err;
        ASSERT_TRUE(sim.Start(options, err)) << err;
        tmp.Touch("fc.ini", "[fctest]\nHostName=localhost\n");
        Env("FC_CLIENT_NAME", "fctest");
        Env("FC_CONFIG_FILE", tmp.Path() + "/fc.ini");
        Env("FC_HOME", FC_TEST_SDK_DIR);
        Env("FC_SAN_DEVICE_DIR", tmp.Path());
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
            Env("PATH", std::string(FCSIM_BIN_DIR) + ":" + (old ? old : "/usr/bin:/bin"));
            Env("FCSIM_STATE_DIR", sim.StateDir());
            Env("FC_AGENT_HOME", tmp.Path() + "/agent");
            Env("FC_FS_CLUSTER_INFO", tmp.Path() + "/cluster");
        }
        {
            CScopedEnv ca("FC_BRIDGE_CAFILE", sim.CAFile());
            CScopedEnv poll("FC_BRIDGE_TASK_POLL_MS", "20");  // the simulator's tasks are quick
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
    void Env(const char* name, const std::string& value) {
        env.push_back(std::make_unique<CScopedEnv>(name, value));
    }
    void TearDown() override {
        delete plugin;
        plugin = nullptr;
        std::vector<SVMInfo> vms;
        if (bridge && bridge->GetVMInfoList(vms, 0x38)) {
            for (const SVMInfo& vm : vms)
                for (const SSnapshot& s : vm.vecSnapshots)
                    EXPECT_NE("__VQ_BACKUP__", s.strName) << "a backup snapshot of " << vm.strName;
        }
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
                out.strConfigDir = tmp.Path() + "/kept-" + vm.strGUID;
                FXPath::CreateDirectories(out.strConfigDir);
                std::string text;
                ASSERT_TRUE(ReadWholeFile(disk.strName, text));
                ASSERT_TRUE(WriteWholeFile(out.strConfigDir + "/" + disk.strFileName, text));
                continue;
            }
            out.disks.push_back(disk);
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
        out.vm = ctx.vmInfo;
        EXPECT_EQ(1, plugin->UnmountVM(ctx));
        EXPECT_TRUE(ctx.strSnapshotID.empty()) << "the backup snapshot was deleted";
        EXPECT_FALSE(CWzPath::Exists(ctx.strMountPath));
    }

    // A restore as the agent runs it: prepare, write every disk, create the VM. 0 when a step
    // failed (the agent's clean-up has run then); the restore context is handed back.
    int Restore(const SBackup& backup, const SRestoreOptions& o, RestoreCtx& r) {
        r.strVMName = o.strName;
        r.strConfigDir = backup.strConfigDir;
        r.strDestHost = o.strHost.empty() ? backup.vm.strHostName : o.strHost;
        r.strDestCluster = o.strHost.empty() ? "" : o.strHost;
        r.strSourceVMName = backup.vm.strName;
        r.strSourceVMGUID = backup.vm.strGUID;
        r.bOverwrite = o.bOverwrite;
        r.bPowerOn = o.bPowerOn;
        r.bBuildFromRecord = o.bFromRecord;
        if (o.bFromRecord) {
            r.newVMInfo = backup.vm;
            r.newVMInfo.vecDisks.clear();
            r.newVMInfo.vecSnapshots.clear();
        }
        // The entries carry the source disks' names until the restore replaces them.
        r.vecRestoreDisks = backup.disks;
        if (plugin->InitRestoreVM(r) != 1) return 0;
        for (size_t i = 0; i < r.vecRestoreDisks.size(); ++i) {
            const SDisk& entry = r.vecRestoreDisks[i];
            const std::string& image = backup.images.at(backup.disks[i].strName);
            VmdkHandle h;
            EXPECT_EQ(
                1, plugin->CreateVmdk(r.strVMName, r.strNewVMGUID, entry.strName, h, image.size()));
            const std::string zeros(kRequestSectors * 512, '\0');
            for (uint64_t off = 0; off < image.size(); off += zeros.size()) {
                const size_t n = std::min<size_t>(zeros.size(), image.size() - off);
                if (image.compare(off, n, zeros, 0, n) == 0) continue;  // a new disk reads zero
                std::string chunk = image.substr(off, n);
                EXPECT_EQ(1, plugin->WriteVmdk(h, off / 512, static_cast<uint32_t>(n / 512),
                                               reinterpret_cast<unsigned char*>(&chunk[0])));
            }
            plugin->CloseVmdk(h);
        }
        if (plugin->PreRestoreVM(r) != 1 || plugin->RestoreVM(r) != 1) {
            r.strCleanupVMGUID = r.strNewVMGUID;
            plugin->CleanupRestoreVM(r);
            return 0;
        }
        return plugin->PostRestoreVM(r);
    }

    static std::vector<std::string> Networks(const SVMInfo& vm) {
        std::vector<std::string> names;
        for (const SVMNetworkCard& nic : vm.vecNetworkCards) names.push_back(nic.strNetworkName);
        return names;
    }

    // The content of a VM's disks as the simulator holds them, in the record's order.
    std::vector<std::string> DiskFiles(const SVMInfo& vm) {
        std::vector<std::string> files;
        for (const SDisk& d : vm.vecDisks) {
            const std::string id = d.strName.substr(d.strName.rfind(':') + 1);
            files.push_back(fctest::ReadWholeFile(sim.State().DiskPath(id)));
        }
        return files;
    }

    // The disk's content at the snapshot, as the simulator keeps it.
    std::string Frozen(VmdkHandle h, const SDisk& disk, uint64_t capacity) {
        auto* handle = static_cast<FusionComputeDiskInfo::DiskHandle*>(h.pDiskHandle);
        if (!handle->pDiskReader) {
            // The snapshot's file; its frozen blocks may still be the live disk's.
            const std::string& target = handle->strTargetFile;
            std::string out, err;
            EXPECT_TRUE(fcsim::ReadFrozen(sim.State(), std::filesystem::path(target).stem(), target,
                                          out, err))
                << err;
            return out.substr(0, capacity);
        }
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

// Restores of the backup under new names, from the descriptor and from the record, with
// overwrite and power-on: the disks come back byte for byte and the NICs are connected.
TEST_P(FlowsEndToEnd, RestoredVMsHoldTheBackedUpDisksAndNetworks) {
    SBackup backup;
    ASSERT_NO_FATAL_FAILURE(Backup("web-01", nullptr, backup));
    std::vector<std::string> source;
    for (const SDisk& d : backup.disks) source.push_back(backup.images.at(d.strName));
    const std::vector<std::string> sourceFiles = DiskFiles(Record("web-01"));

    const SRestoreOptions cases[] = {
        {"web-01-ovf", false, false, false, ""},
        {"web-01-record", true, false, true, ""},
        {"web-01-ovf", false, true, false, ""},  // the first one, overwritten
    };
    for (const SRestoreOptions& o : cases) {
        RestoreCtx r;
        ASSERT_EQ(1, Restore(backup, o, r)) << o.strName << ": " << plugin->GetLastVMError() << " "
                                            << plugin->GetLastVMErrorDetails();
        const SVMInfo vm = Record(o.strName);
        EXPECT_EQ(r.strNewVMGUID, vm.strGUID);
        EXPECT_NE(backup.vm.strGUID, vm.strGUID) << "the source still holds its GUID";
        ASSERT_EQ(source.size(), vm.vecDisks.size()) << o.strName;
        std::vector<std::string> restored = DiskFiles(vm);
        std::vector<std::string> expected = source;
        for (size_t i = 0; i < restored.size(); ++i) restored[i].resize(expected.at(i).size());
        std::sort(restored.begin(), restored.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_TRUE(restored == expected) << o.strName << ": the disks differ from the backup";
        EXPECT_EQ(Networks(backup.vm), Networks(vm)) << o.strName;
        EXPECT_EQ(o.bPowerOn ? 1 : 0, vm.nPowerState != 0 ? 1 : 0) << o.strName;
        for (const SDisk& d : vm.vecDisks)
            EXPECT_EQ(0u, d.strDisplayName.find(o.strName)) << d.strDisplayName;
    }
    // Nothing of the source was touched.
    EXPECT_TRUE(DiskFiles(Record("web-01")) == sourceFiles);
    EXPECT_EQ(backup.disks.size(), Record("web-01").vecDisks.size());
}

// A restore that fails once its disks exist leaves neither disk nor VM, and the source VM's
// disks, whose names the entries carried, are left alone.
TEST_P(FlowsEndToEnd, FailedRestoreLeavesNothingAndSparesTheSource) {
    SBackup backup;
    ASSERT_NO_FATAL_FAILURE(Backup("web-01", nullptr, backup));
    const std::vector<std::string> sourceFiles = DiskFiles(Record("web-01"));
    std::vector<SVMInfo> before;
    ASSERT_TRUE(bridge->GetVMInfoList(before, 0));

    RestoreCtx r;
    SRestoreOptions o{"web-01-lost", false, false, false, "no-such-host"};
    EXPECT_EQ(0, Restore(backup, o, r));
    std::vector<SVMInfo> after;
    ASSERT_TRUE(bridge->GetVMInfoList(after, 0));
    EXPECT_EQ(before.size(), after.size()) << "no VM was left behind";
    SVMInfo lost;
    EXPECT_FALSE(bridge->GetVMInfo("web-01-lost", "", "", lost, 0));
    EXPECT_TRUE(DiskFiles(Record("web-01")) == sourceFiles);
    for (const SDisk& d : r.vecRestoreDisks) {
        const std::string id = d.strName.substr(d.strName.rfind(':') + 1);
        EXPECT_FALSE(CWzPath::Exists(sim.State().DiskPath(id))) << "left behind: " << d.strName;
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, FlowsEndToEnd, ::testing::Values(62, 63),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return p.param > 62 ? std::string("SocketProtocol")
                                                 : std::string("BackupSdk");
                         });

}  // namespace
