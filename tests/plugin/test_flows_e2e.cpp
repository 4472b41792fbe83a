// A backup and restores through the plug-in's interface alone, driven as the agent drives them,
// against the whole simulator on loopback: factory, Init, Connect, MountVM, GetFullMountInfo,
// OpenVmdk, GetVmdkExtents, ReadVmdk, CloseVmdk, UnmountVM, then the restore steps. Each disk
// must read as the simulator holds it, a restored VM must hold the backed-up disks, and nothing
// (snapshot, lease) may be left behind. Both transports: the backup SDK's and the socket's.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "CnaServer.h"
#include "FusionComputeInfoUtils.h"
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
    uint64_t ullBytesRead = 0;
    SVMInfo vm;                // the record at the backup
    std::vector<SDisk> disks;  // the disk entries the agent was shown
    std::string strConfigDir;  // the descriptors, kept as a repository keeps them
};

struct SRestoreOptions {
    std::string strName;
    bool bFromRecord = false;
    bool bOverwrite = false;
    bool bPowerOn = false;
};

class FlowsEndToEnd : public ::testing::TestWithParam<int> {
protected:
    fcsim::CSimulator sim;
    CTempDir tmp;
    CScopedEnvs env;
    CVMInfo* plugin = nullptr;  // the factory makes a CVMInfo; the agent reads errors there

    void SetUp() override {
        fcsim::SSimOptions options;
        options.settings.nVersion = GetParam();
        // Inside the SAN device folder (tmp), as the storage it presents.
        options.strStateDir = tmp.File("sim");
        std::string err;
        ASSERT_TRUE(sim.Start(options, err)) << err;
        tmp.Touch("fc.ini", "[fctest]\nHostName=localhost\n");
        env.Set("FC_CLIENT_NAME", "fctest");
        env.Set("FC_CONFIG_FILE", tmp.Path() + "/fc.ini");
        env.Set("FC_HOME", FC_TEST_SDK_DIR);
        env.Set("FC_SAN_DEVICE_DIR", tmp.Path());
        ASSERT_TRUE(fcsim::ExposeSanLuns(tmp.Path(), {"6888603000000001", "6888603000000002"}, err))
            << err;
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
    }
    void TearDown() override {
        std::vector<SVMInfo> vms;
        if (plugin && plugin->GetVMInfoList(vms, 0x38, 0, nullptr, FILTER_TYPE_NONE) == 1) {
            for (const SVMInfo& vm : vms)
                for (const SSnapshot& s : vm.vecSnapshots)
                    EXPECT_NE("__VQ_BACKUP__", s.strName) << "a backup snapshot of " << vm.strName;
        }
        delete plugin;
        plugin = nullptr;
        if (sim.Running()) {
            EXPECT_TRUE(sim.State().ListLeases().empty()) << "a disk-access lease was left";
        }
        sim.Stop();
    }

    SVMInfo Record(const std::string& name) {
        SVMInfo vm;
        EXPECT_EQ(1, plugin->GetVMInfoForVM(name, "", "", 0x38, 0, vm));
        return vm;
    }

    // One backup as the agent runs it: every disk read whole, or only what changed since the
    // previous one.
    void Backup(const std::string& vmName, SBackup& out, const SBackup* previous = nullptr) {
        const SVMInfo vm = Record(vmName);
        MountCtx ctx;
        ctx.strVMName = vm.strName;
        ctx.strVMGUID = vm.strGUID;
        ctx.strMountPath = tmp.Path() + "/mount-" + vm.strGUID;
        ctx.bUseCBT = true;
        ASSERT_EQ(1, plugin->MountVM(ctx))
            << plugin->GetLastVMErrorDetails() << " error " << plugin->GetLastVMError();
        std::vector<SMountInfoFull> info;
        ASSERT_EQ(1, plugin->GetFullMountInfo(ctx, info));
        for (const SMountInfoFull& entry : info) {
            const SDisk& disk = entry.vecDisks.at(0);
            if (entry.nType == 0) {
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
            ASSERT_EQ(1, plugin->CloseVmdk(h));
            // The guest writes nothing while the backup runs: the disk is as at the snapshot.
            EXPECT_TRUE(image == DiskFile(disk.strName).substr(0, capacity)) << disk.strName;
            out.images[disk.strName] = image;
            for (const SDisk& d : ctx.vmInfo.vecDisks)
                if (d.strName == disk.strName) out.tokens[disk.strName] = d.strChangeToken;
        }
        out.vm = ctx.vmInfo;
        EXPECT_EQ(1, plugin->UnmountVM(ctx));
        EXPECT_FALSE(CWzPath::Exists(ctx.strMountPath));
    }

    // A restore as the agent runs it: prepare, write every disk, create the VM. 0 when a step
    // failed; the restore context is handed back.
    int Restore(const SBackup& backup, const SRestoreOptions& o, RestoreCtx& r) {
        r.strVMName = o.strName;
        r.strConfigDir = backup.strConfigDir;
        r.strDestHost = backup.vm.strHostName;
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
        if (plugin->PreRestoreVM(r) != 1 || plugin->RestoreVM(r) != 1) return 0;
        return plugin->PostRestoreVM(r);
    }

    static std::vector<std::string> Networks(const SVMInfo& vm) {
        std::vector<std::string> names;
        for (const SVMNetworkCard& nic : vm.vecNetworkCards) names.push_back(nic.strNetworkName);
        return names;
    }

    // The content of a disk, or of a VM's disks in the record's order, as the simulator holds it.
    std::string DiskFile(const std::string& name) {
        return fctest::ReadWholeFile(sim.State().DiskPath(name.substr(name.rfind(':') + 1)));
    }
    std::vector<std::string> DiskFiles(const SVMInfo& vm) {
        std::vector<std::string> files;
        for (const SDisk& d : vm.vecDisks) files.push_back(DiskFile(d.strName));
        return files;
    }
};

// A backup, then restores of it under a new name, from the descriptor, then from the record over
// the first with power-on: the disks come back byte for byte, the NICs are connected and nothing
// of the source is touched. Then an incremental backup.
TEST_P(FlowsEndToEnd, BackupReadsTheDisksAndRestoresBringThemBack) {
    SBackup full;
    ASSERT_NO_FATAL_FAILURE(Backup("web-01", full));
    ASSERT_EQ(2u, full.images.size());

    std::vector<std::string> source;
    for (const SDisk& d : full.disks) source.push_back(full.images.at(d.strName));
    const std::vector<std::string> sourceFiles = DiskFiles(Record("web-01"));
    const SRestoreOptions cases[] = {
        {"web-01-copy", false, false, false},
        {"web-01-copy", true, true, true},  // the first one, overwritten
    };
    for (const SRestoreOptions& o : cases) {
        RestoreCtx r;
        ASSERT_EQ(1, Restore(full, o, r)) << o.strName << ": " << plugin->GetLastVMError() << " "
                                          << plugin->GetLastVMErrorDetails();
        const SVMInfo vm = Record(o.strName);
        EXPECT_EQ(r.strNewVMGUID, vm.strGUID);
        EXPECT_NE(full.vm.strGUID, vm.strGUID) << "the source still holds its GUID";
        ASSERT_EQ(source.size(), vm.vecDisks.size()) << o.strName;
        std::vector<std::string> restored = DiskFiles(vm);
        std::vector<std::string> expected = source;
        for (size_t i = 0; i < restored.size(); ++i) restored[i].resize(expected.at(i).size());
        std::sort(restored.begin(), restored.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_TRUE(restored == expected) << o.strName << ": the disks differ from the backup";
        EXPECT_EQ(Networks(full.vm), Networks(vm)) << o.strName;
        EXPECT_EQ(o.bPowerOn ? 1 : 0, vm.nPowerState != 0 ? 1 : 0) << o.strName;
        for (const SDisk& d : vm.vecDisks)
            EXPECT_EQ(0u, d.strDisplayName.find(o.strName)) << d.strDisplayName;
    }
    EXPECT_TRUE(DiskFiles(Record("web-01")) == sourceFiles) << "the source's disks changed";

    // The guest writes 4 KiB into one disk and 192 KiB into the other: an incremental reads
    // exactly the changed 64 KiB blocks and yields the disks as they are now.
    std::string err;
    auto first = full.images.begin();
    auto second = std::next(first);
    ASSERT_NE(0u, sim.GuestWrite(first->first, 5 << 20, std::string(4096, 'a'), err)) << err;
    ASSERT_NE(0u, sim.GuestWrite(second->first, 3 << 20, std::string(3 << 16, 'b'), err)) << err;
    SBackup incremental;
    ASSERT_NO_FATAL_FAILURE(Backup("web-01", incremental, &full));
    EXPECT_EQ(uint64_t(64 << 10) + uint64_t(3 << 16), incremental.ullBytesRead);
    EXPECT_NE(first->second, incremental.images.at(first->first));
}

INSTANTIATE_TEST_SUITE_P(Versions, FlowsEndToEnd, ::testing::Values(62, 63),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return p.param > 62 ? std::string("SocketProtocol")
                                                 : std::string("BackupSdk");
                         });

}  // namespace
