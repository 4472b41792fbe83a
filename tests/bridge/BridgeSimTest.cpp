// Every bridge operation against the in-process simulator over HTTPS; tasks polled on a fake clock.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "FusionComputeSDKCppBridge.h"
#include "Named.h"
#include "NxClock.h"
#include "SimSession.h"
#include "Simulator.h"

using namespace FusionComputeSDKCppBridge;

namespace {

const uint64_t kDetail = FC_FILL_VM_DISKS | FC_FILL_VM_SNAPSHOTS | FC_FILL_VM_NICS;
using Strs = std::vector<std::string>;

// A record tree in one line: a VM is its name, followed by the sizes of its disk, NIC and
// snapshot lists when any is filled; other records are their name and their lists in brackets,
// each list sorted by name.
std::string Shape(const SVMInfo& v) {
    if (v.vecDisks.empty() && v.vecNetworkCards.empty() && v.vecSnapshots.empty()) return v.strName;
    return v.strName + "(" + std::to_string(v.vecDisks.size()) + "," +
           std::to_string(v.vecNetworkCards.size()) + "," + std::to_string(v.vecSnapshots.size()) +
           ")";
}
template <typename T>
std::string Shape(const std::vector<T>& v);
std::string Shape(const SDatastoreInfo& d) {
    return d.strName + Shape(d.vecVMs);
}
std::string Shape(const SHostInfo& h) {
    return h.strName + Shape(h.vecDatastores) + Shape(h.vecVMs);
}
std::string Shape(const SClusterInfo& c) {
    return c.strName + Shape(c.vecHosts) + Shape(c.vecVMs);
}
std::string Shape(const SDataCenterInfo& s) {
    return s.strName + Shape(s.vecClusters);
}
template <typename T>
std::string Shape(const std::vector<T>& v) {
    Strs parts;
    for (const auto& x : v) parts.push_back(Shape(x));
    std::sort(parts.begin(), parts.end());
    std::string out = "[";
    for (const auto& p : parts) out += (out.size() > 1 ? " " : "") + p;
    return out + "]";
}

// The call failed, and the bridge's text carries what the service said (its error code).
::testing::AssertionResult Refused(CFusionComputeSDKCppBridge& b, bool ok, const char* text) {
    if (!ok && b.GetLastError().find(text) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (ok ? "succeeded" : b.GetLastError());
}

class BridgeSim : public ::testing::Test {
protected:
    void SetUp() override {
        fcsim::SSimOptions options;
        options.bStartCna = false;
        options.settings.nCnaPort = 40123;  // handed out with disk access, never dialled
        std::string err;
        ASSERT_TRUE(m_sim.Start(options, err)) << err;
        m_pBridge = fctest::ConnectToSim(m_sim);
        ASSERT_TRUE(m_pBridge);
    }
    SVMInfo VM(const std::string& name, uint64_t flags = kDetail) {
        SVMInfo vm;
        EXPECT_TRUE(m_pBridge->GetVMInfo(name, "", "", vm, flags)) << m_pBridge->GetLastError();
        return vm;
    }

    CFakeClock m_clock;
    fcsim::CSimulator m_sim;
    std::unique_ptr<CFusionComputeSDKCppBridge> m_pBridge;
};

}  // namespace

TEST_F(BridgeSim, FlagBitsLookupsAndFolders) {
    CFusionComputeSDKCppBridge& b = *m_pBridge;
    int version = 0;
    ASSERT_TRUE(b.GetManagementVersionNumber(version));
    EXPECT_EQ(version, 63);

    std::vector<SDataCenterInfo> sites;
    const std::pair<uint64_t, const char*> siteCases[] = {
        {0, "[site-demo[]]"},
        {FC_FILL_SITE_CLUSTERS, "[site-demo[cluster-a[][] cluster-b[][]]]"},
        {FC_FILL_SITE_CLUSTERS | FC_FILL_CLUSTER_VMS,
         "[site-demo[cluster-a[][db-01 tpl-linux web-01] cluster-b[][app-01 fs-01]]]"}};
    for (const auto& c : siteCases) {
        ASSERT_TRUE(b.GetSiteInfoList(sites, c.first)) << b.GetLastError();
        EXPECT_EQ(Shape(sites), c.second) << c.first;
    }
    std::vector<SClusterInfo> clusters;
    ASSERT_TRUE(b.GetClusterInfoList(clusters, FC_FILL_CLUSTER_HOSTS | FC_FILL_HOST_DATASTORES));
    EXPECT_EQ(
        Shape(clusters),
        "[cluster-a[cna-01[ds-fusionstorage[] ds-local[] ds-san[]][] cna-02[ds-fusionstorage[] "
        "ds-local[] ds-san[]][]][] cluster-b[cna-03[ds-fusionstorage[] ds-san[]][]][]]");
    std::vector<SHostInfo> hosts;
    ASSERT_TRUE(b.GetHostInfoList(hosts, FC_FILL_HOST_VMS));
    EXPECT_EQ(Shape(hosts),
              "[cna-01[][tpl-linux web-01] cna-02[][db-01] cna-03[][app-01 fs-01] cna-spare[][]]");

    std::vector<SDatastoreInfo> dss;
    ASSERT_TRUE(b.GetDataStoreInfoList(dss, FC_FILL_DATASTORE_VMS | FC_FILL_VM_DISKS));
    EXPECT_EQ(Shape(dss),
              "[ds-fusionstorage[fs-01(2,0,0)] ds-local[db-01(3,0,0) fs-01(2,0,0) web-01(2,0,0)] "
              "ds-san[app-01(1,0,0) db-01(3,0,0) tpl-linux(1,0,0) web-01(2,0,0)]]");
    // Per datastore: type, capacity in GiB and storage units.
    Strs details;
    for (const auto& d : dss) {
        details.push_back(d.strName + " " + d.strType + " " + std::to_string(d.llCapacity >> 30));
        for (const auto& lun : d.vecLuns) details.back() += " " + lun;
    }
    EXPECT_EQ(details,
              (Strs{"ds-local local 500", "ds-san san 1024 6888603000000001 6888603000000002",
                    "ds-fusionstorage DSWARE 2048 fs-pool-1"}));

    std::vector<SVMInfo> vms;
    ASSERT_TRUE(b.GetVMInfoList(vms, 0));
    EXPECT_EQ(Shape(vms), "[app-01 db-01 fs-01 tpl-linux web-01]");
    ASSERT_TRUE(b.GetVMInfoList(vms, FC_FILL_VM_NICS));
    EXPECT_EQ(Shape(vms),
              "[app-01(0,1,0) db-01(0,1,0) fs-01(0,1,0) tpl-linux(0,1,0) web-01(0,2,0)]");

    // The service's fields as the bridge reads them (each field's mapping:
    // BridgeRecords.VMWithDisksNicsAndFlagsControllingLists): power, host, and per disk its
    // unit, size and provisioning.
    SVMInfo web = VM("web-01");
    std::string fields = Shape(web) + " " + std::to_string(web.nPowerState) + " " + web.strHostName;
    for (const SDisk& d : web.vecDisks)
        fields += " " + std::to_string(d.nUnitNumber) + ":" + std::to_string(d.ullCapacity >> 20) +
                  "M:" + std::to_string(d.nProvisioningType);
    EXPECT_EQ(fields, "web-01(2,2,0) 1 cna-01 1:64M:2 2:32M:1");

    std::string upper = web.strGUID;
    for (auto& c : upper) c = static_cast<char>(toupper(c));
    SVMInfo byGuid;
    ASSERT_TRUE(b.GetVMInfo("", "", upper, byGuid, 0)) << b.GetLastError();
    EXPECT_EQ(byGuid.strURN, web.strURN);
    EXPECT_EQ(Shape(byGuid), "web-01");
    ASSERT_TRUE(b.GetVMInfo("", "", web.strURN, byGuid, FC_FILL_VM_DISKS));
    EXPECT_EQ(Shape(byGuid), "web-01(2,0,0)");

    SVMInfo none;
    EXPECT_TRUE(
        Refused(b, b.GetVMInfo("no-such-vm", "", "", none, 0), "VM [no-such-vm] not found"));
    EXPECT_FALSE(b.GetVMInfo("", "", "00000000-0000-0000-0000-000000000000", none, 0));
    EXPECT_FALSE(b.GetVMInfo("", "", "", none, 0));
    EXPECT_TRUE(Refused(b, b.GetVMInfo("", "", "urn:sites:5D1C0A7E:vms:i-7FFFFFFF", none, 0),
                        "(error 10000008)"));

    SDatastoreInfo ds;
    ASSERT_TRUE(b.GetDataStoreInfo(web.vecDisks[0].strDatastore, "", ds, ~0ULL))
        << b.GetLastError();
    EXPECT_EQ(Shape(ds), "ds-local[db-01(3,1,0) fs-01(2,1,0) web-01(2,2,0)]");
    EXPECT_GT(ds.llFreeSpace, 0);
    ASSERT_TRUE(b.GetDataStoreInfo("ds-san", "", ds, 0));
    EXPECT_EQ(Shape(ds), "ds-san[]");
    EXPECT_TRUE(Refused(b, b.GetDataStoreInfo("urn:sites:5D1C0A7E:datastores:999999", "", ds, 0),
                        "10410006"));

    SHostInfo host, again;
    ASSERT_TRUE(b.GetHostInfo("cna-01", "", host, FC_FILL_HOST_DATASTORES));
    EXPECT_EQ(Shape(host), "cna-01[ds-fusionstorage[] ds-local[] ds-san[]][]");
    ASSERT_TRUE(b.GetHostInfo("", host.strID, again, 0));
    EXPECT_EQ(again.strName, "cna-01");
    EXPECT_TRUE(Refused(b, b.GetHostInfo("cna-99", "", again, 0), "Host [cna-99] not found"));

    SClusterInfo cl;
    ASSERT_TRUE(b.GetClusterInfo("cluster-b", "", cl, FC_FILL_CLUSTER_VMS));
    EXPECT_EQ(Shape(cl), "cluster-b[][app-01 fs-01]");
    ASSERT_TRUE(b.GetClusterInfo("", cl.strID, cl, 0));
    EXPECT_EQ(cl.strName, "cluster-b");

    SDataCenterInfo site;
    ASSERT_TRUE(
        b.GetSiteInfo("", sites[0].strID, site, FC_FILL_SITE_CLUSTERS | FC_FILL_CLUSTER_VMS));
    EXPECT_EQ(site.vecClusters.size(), 2u);
    EXPECT_FALSE(b.GetSiteInfo("", "urn:sites:NOPE", site, 0));

    std::vector<SInventoryInfo> pools;
    ASSERT_TRUE(b.GetClusterFolderInfoList(pools)) << b.GetLastError();
    ASSERT_EQ(Names(pools), (Strs{"compute-pool"}));
    EXPECT_EQ(pools[0].eType, INVENTORY_TYPE_CLUSTER_FOLDER);

    ASSERT_TRUE(b.GetClusterInfoListForFolder(pools[0].strID, clusters, 0));
    EXPECT_EQ(Shape(clusters), "[cluster-a[][]]");
    ASSERT_TRUE(b.GetClusterInfoListForFolder("", clusters, FC_FILL_CLUSTER_HOSTS));
    EXPECT_EQ(Shape(clusters), "[cluster-b[cna-03[][]][]]");

    ASSERT_TRUE(b.GetHostInfoListForCluster("", hosts, 0));
    EXPECT_EQ(Names(hosts), (Strs{"cna-spare"}));
    SClusterInfo a;
    ASSERT_TRUE(b.GetClusterInfo("cluster-a", "", a, 0));
    ASSERT_TRUE(b.GetHostInfoListForCluster(a.strID, hosts, 0));
    EXPECT_EQ(Names(hosts), (Strs{"cna-01", "cna-02"}));

    std::vector<SInventoryInfo> folders, sub;
    ASSERT_TRUE(b.GetVMFolderInfoList("", folders));
    ASSERT_EQ(Names(folders), (Strs{"production", "test"}));
    for (const auto& f : folders) EXPECT_EQ(f.eType, INVENTORY_TYPE_VM_FOLDER);
    const std::string prod = folders[0].strID;
    ASSERT_TRUE(b.GetVMFolderInfoList(prod, sub));
    EXPECT_EQ(Names(sub), (Strs{"web"}));

    const std::pair<std::string, const char*> folderVMs[] = {
        {prod, "[db-01 fs-01]"}, {sub[0].strID, "[web-01]"}, {"", "[tpl-linux]"}};
    for (const auto& c : folderVMs) {
        std::vector<SVMInfo> vms;
        ASSERT_TRUE(b.GetVMInfoListForFolder(c.first, vms, 0)) << c.first;
        EXPECT_EQ(Shape(vms), c.second) << c.first;
    }
    EXPECT_TRUE(
        Refused(b, b.GetVMFolderInfoList("urn:sites:5D1C0A7E:folders:999999", sub), "10300621"));
}

// The snapshot's change tokens and changed blocks, the disk access it is read through and its
// descriptors are read by every backup of FlowsEndToEnd (plug-in tests); here what a backup
// does not show: the snapshot listed with its description, the allocated blocks exactly, a
// lease holding its snapshot, and its deletion by the VM's record.
TEST_F(BridgeSim, BackupCycle) {
    CFusionComputeSDKCppBridge& b = *m_pBridge;
    SVMInfo web = VM("web-01");
    const SDisk disk = web.vecDisks[0];
    SSnapshot snap1;
    std::vector<SDisk> disks;
    ASSERT_TRUE(b.CreateVMSnapshot(web, "__VQ_BACKUP__", "Snapshot Created for backup job 1 from p",
                                   false, true, true, true, snap1, disks))
        << b.GetLastError();
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(snap1.strName, "__VQ_BACKUP__");
    EXPECT_LE(std::llabs(snap1.tCreateTime - static_cast<long long>(time(nullptr))), 120);
    SVMInfo withSnaps = VM("web-01");
    ASSERT_EQ(withSnaps.vecSnapshots.size(), 1u);
    EXPECT_EQ(withSnaps.vecSnapshots[0].strID, snap1.strID);
    EXPECT_EQ(withSnaps.vecSnapshots[0].strDescription, "Snapshot Created for backup job 1 from p");

    // Allocated blocks of the seeded disk: its first MiB (blocks 0-15) and 256 KiB in the middle.
    std::string bitmap;
    int spb = 0;
    ASSERT_TRUE(b.QueryDiskAllocatedBlocks(disk.strName, snap1.strID, bitmap, spb))
        << b.GetLastError();
    EXPECT_EQ(spb, 128);
    ASSERT_EQ(bitmap.size(), 256u);           // 64 MiB in 64 KiB blocks, 4 per digit
    EXPECT_EQ(bitmap.substr(0, 5), "FFFF0");  // (the rest: CDiskFixture.SnapshotFreezes...)

    // While a lease is open the snapshot cannot go.
    std::string id, host, port, token, file;
    ASSERT_TRUE(b.PrepareDiskAccess(disk.strName, snap1.strID, "127.0.0.1", false, id, host, port,
                                    token, file))
        << b.GetLastError();
    // (The CNA's address handed out and dialled: every backup of FlowsEndToEnd.)
    EXPECT_EQ(access(file.c_str(), R_OK), 0) << file;
    // An admin thread extends the lease while the job thread reads; each keeps its own error.
    std::atomic<int> failures{0};
    std::string adminError = "unset";
    std::thread admin([&] {
        for (int i = 0; i < 15; ++i)
            if (!b.ExtendDiskAccess(id, 300)) ++failures;
        EXPECT_FALSE(b.ExtendDiskAccess("no-such-lease", 300));
        adminError = b.GetLastError();
    });
    for (int i = 0; i < 5; ++i) {
        std::string t;
        if (!b.GetDiskChangeToken(disk.strName, snap1.strID, t)) ++failures;
        if (Shape(VM("db-01")) != "db-01(3,1,0)") ++failures;
    }
    admin.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_NE(adminError.find("unknown disk access id"), std::string::npos);
    EXPECT_EQ(b.GetLastError(), "");
    EXPECT_TRUE(Refused(b, b.DeleteVMSnapshot(web, snap1), "10430031"));
    EXPECT_TRUE(b.ReleaseDiskAccess(id)) << b.GetLastError();

    // (The by-name form, as the plug-in deletes its snapshot: every backup of FlowsEndToEnd,
    // which leaves none behind.)
    EXPECT_TRUE(b.DeleteVMSnapshot(web, snap1)) << b.GetLastError();
    EXPECT_TRUE(VM("web-01").vecSnapshots.empty());
    EXPECT_FALSE(b.DeleteVMSnapshot(web, snap1));
}

// The restores of FlowsEndToEnd (plug-in tests) build VMs from the record and from the OVF
// descriptor through the bridge and check their disks and networks; the service's refusals are
// the simulator's tests'. Here: thin provisioning per datastore, the bridge's own refusals, a
// NIC's new MAC address, power on and off done twice.
TEST_F(BridgeSim, RestoreFromRecord) {
    CFusionComputeSDKCppBridge& b = *m_pBridge;
    SDatastoreInfo local, san;
    ASSERT_TRUE(b.GetDataStoreInfo("ds-local", "", local, 0));
    ASSERT_TRUE(b.GetDataStoreInfo("ds-san", "", san, 0));
    bool thin = false;
    for (const auto& ds : {std::make_pair(local, true), std::make_pair(san, false)}) {
        ASSERT_TRUE(b.CheckDatastoreThinSupport(ds.first, "", thin)) << ds.first.strName;
        EXPECT_EQ(thin, ds.second) << ds.first.strName;
    }
    EXPECT_FALSE(b.CheckDatastoreThinSupport(SDatastoreInfo(), "", thin));

    SDisk disk;
    disk.strDisplayName = "web-01-disk1";
    disk.ullCapacity = 8u << 20;
    disk.strDatastore = local.strURN;
    disk.nProvisioningType = 2;
    disk.bIsNew = true;
    ASSERT_TRUE(b.CreateDisk(disk, false)) << b.GetLastError();
    EXPECT_FALSE(disk.strGUID.empty());
    SDisk noSize;
    noSize.strDatastore = local.strURN;
    EXPECT_TRUE(Refused(b, b.CreateDisk(noSize, false), "has no size"));

    SVMInfo source = VM("web-01");
    SVMInfo vm;
    vm.strName = "restored";
    vm.strHostName = "cna-02";
    vm.strGUID = "11111111-2222-3333-4444-555555555555";
    ASSERT_TRUE(b.CreateVM(vm)) << b.GetLastError();
    EXPECT_EQ(vm.strGUID + " " + vm.strHostName, "11111111-2222-3333-4444-555555555555 cna-02");
    EXPECT_EQ(vm.nPowerState, 0);
    ASSERT_TRUE(b.AddDiskToVM(vm, disk, false)) << b.GetLastError();
    // The source VM still uses its MAC address: the card gets a new one.
    ASSERT_TRUE(b.AddNicToVM(vm, source.vecNetworkCards[0])) << b.GetLastError();
    SVMInfo restored = VM("restored");
    EXPECT_EQ(Shape(restored), "restored(1,1,0)");
    EXPECT_NE(restored.vecNetworkCards[0].strMACAddress, source.vecNetworkCards[0].strMACAddress);

    ASSERT_TRUE(b.PowerOnVM(vm.strName, vm.strURN, vm.strGUID)) << b.GetLastError();
    EXPECT_TRUE(b.PowerOnVM(vm.strName, "", vm.strGUID));  // already on
    ASSERT_TRUE(b.PowerOffVM(vm.strName, vm.strURN, "")) << b.GetLastError();
    EXPECT_EQ(VM("restored", 0).nPowerState, 0);
    EXPECT_TRUE(b.PowerOffVM("restored", "", ""));

    // A VM named only by its name is never deleted; by its GUID it goes, with its disks.
    SVMInfo byName;
    byName.strName = "restored";
    EXPECT_TRUE(Refused(b, b.DeleteVM(byName, true), "refusing"));
    SVMInfo byGuid;
    byGuid.strGUID = vm.strGUID;
    ASSERT_TRUE(b.DeleteVM(byGuid, true)) << b.GetLastError();
    SVMInfo gone;
    EXPECT_FALSE(b.GetVMInfo("restored", "", "", gone, 0));
    EXPECT_FALSE(b.DeleteDisk(disk));
    SVMInfo nowhere;
    nowhere.strName = "nowhere";
    EXPECT_TRUE(
        Refused(b, b.CreateVMFromOVFDescriptor("<ovf/>", nowhere, {}), "no host or cluster"));
}
