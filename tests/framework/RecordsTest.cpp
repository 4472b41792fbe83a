// The shared records: deep copies, defaults, self-assignment, and the inventory node helpers.
#include <gtest/gtest.h>

#include "VMInfoStructs.h"

using namespace VMInfoStructs;

namespace {

SVMInfo MakeVM() {
    SVMInfo vm;
    vm.strName = "vm-a";
    vm.strGUID = "guid-a";
    vm.strURN = "urn:sites:1:vms:i-0001";
    for (int i = 0; i < 3; ++i) {
        SDisk disk;
        disk.strName = "disk" + std::to_string(i);
        disk.ullCapacity = 1024u * (i + 1);
        disk.strDatastore = "ds" + std::to_string(i);
        vm.vecDisks.push_back(disk);
    }
    SSnapshot snap;
    snap.strID = "snap-1";
    snap.strName = "__VQ_BACKUP__";
    snap.vecDiskIDs = {"d0", "d1"};
    SSnapshot child;
    child.strID = "snap-2";
    snap.vecChildren.push_back(child);
    vm.vecSnapshots.push_back(snap);
    SVMNetworkCard nic;
    nic.strName = "nic0";
    nic.strMACAddress = "28:6e:d4:00:00:01";
    vm.vecNetworkCards.push_back(nic);
    return vm;
}

}  // namespace

TEST(RecordsTest, CopiedVMIsIndependentOfItsSource) {
    SVMInfo source = MakeVM();
    SVMInfo copy = source;
    copy.vecDisks[1].strName = "changed";
    copy.vecDisks[1].ullCapacity = 7;
    copy.vecDisks.push_back(SDisk());
    copy.vecSnapshots[0].vecChildren[0].strID = "other";
    copy.vecSnapshots[0].vecDiskIDs[0] = "x";
    copy.vecNetworkCards[0].strName = "nic9";
    copy.strName = "vm-b";

    EXPECT_EQ(source.strName, "vm-a");
    ASSERT_EQ(source.vecDisks.size(), 3u);
    EXPECT_EQ(source.vecDisks[1].strName, "disk1");
    EXPECT_EQ(source.vecDisks[1].ullCapacity, 2048u);
    EXPECT_EQ(source.vecSnapshots[0].vecChildren[0].strID, "snap-2");
    EXPECT_EQ(source.vecSnapshots[0].vecDiskIDs[0], "d0");
    EXPECT_EQ(source.vecNetworkCards[0].strName, "nic0");

    // Assignment into an existing record replaces every list, not only the first entries.
    SVMInfo target = MakeVM();
    target.vecDisks.resize(10);
    target = source;
    EXPECT_EQ(target.vecDisks.size(), 3u);
    EXPECT_EQ(target.vecDisks[2].strDatastore, "ds2");
}

TEST(RecordsTest, SelfAssignmentChangesNothing) {
    SVMInfo vm = MakeVM();
    SVMInfo& alias = vm;
    vm = alias;
    EXPECT_EQ(vm.strName, "vm-a");
    ASSERT_EQ(vm.vecDisks.size(), 3u);
    EXPECT_EQ(vm.vecDisks[0].strName, "disk0");
    EXPECT_EQ(vm.vecSnapshots[0].vecChildren.size(), 1u);

    SDisk disk = vm.vecDisks[2];
    SDisk& diskAlias = disk;
    disk = diskAlias;
    EXPECT_EQ(disk.strName, "disk2");
    EXPECT_EQ(disk.ullCapacity, 3072u);
}

TEST(RecordsTest, Defaults) {
    SDisk disk;
    EXPECT_EQ(disk.nFileType, 1);
    EXPECT_EQ(disk.nDiskType, 1);
    EXPECT_EQ(disk.nObjectType, 0);
    EXPECT_EQ(disk.ullCapacity, 0u);
    EXPECT_EQ(disk.llSize, 0);
    EXPECT_EQ(disk.nUnitNumber, 0);
    EXPECT_EQ(disk.nProvisioningType, 0);
    EXPECT_EQ(disk.llFileFormat, 0);
    EXPECT_FALSE(disk.bIsIndependent);
    EXPECT_FALSE(disk.bIsNew);
    EXPECT_TRUE(disk.strName.empty() && disk.strGUID.empty() && disk.strSnapshotDiskID.empty());

    SMountInfoFull full;
    EXPECT_EQ(full.nType, 0);
    EXPECT_EQ(full.llReserved, -1);
    EXPECT_TRUE(full.vecDisks.empty());

    SVMInfo vm;
    EXPECT_FALSE(vm.bIsTemplate);
    EXPECT_EQ(vm.nPowerState, 0);

    SDiskChangeExtent extent;
    EXPECT_EQ(extent.ullReserved, 0u);
    EXPECT_EQ(extent.ullOffset, 0u);
    EXPECT_EQ(extent.ullLength, 0u);

    SInventoryInfo node;
    EXPECT_EQ(node.eType, INVENTORY_TYPE_NONE);
    EXPECT_EQ(node.nFlags, 0);
}

TEST(RecordsTest, InventoryNodesCarryNameIdentifierAndKind) {
    std::vector<SInventoryInfo> out;
    out.push_back(SInventoryInfo());  // nodes are appended, never replacing what is there
    out[0].strName = "existing";

    SInventoryInfo::FillInventoryInfoListFromVMInfoList({MakeVM()}, out);
    SHostInfo host;
    host.strName = "cna-1";
    host.strID = "host-id-1";
    SInventoryInfo::FillInventoryInfoListFromHostInfoList({host}, out);
    SClusterInfo cluster;
    cluster.strName = "cluster-1";
    cluster.strID = "cl-1";
    SInventoryInfo::FillInventoryInfoListFromClusterInfoList({cluster}, out);
    SDatastoreInfo ds;
    ds.strName = "ds-1";
    ds.strID = "ds-id-1";
    SInventoryInfo::FillInventoryInfoListFromDatastoreInfoList({ds}, out);
    SDataCenterInfo site;
    site.strName = "site-1";
    site.strID = "site-id-1";
    SInventoryInfo::FillInventoryInfoListFromDataCenterInfoList({site, site}, out);

    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[0].strName, "existing");
    EXPECT_EQ(out[1].strName, "vm-a");
    EXPECT_EQ(out[1].strID, "guid-a");
    EXPECT_EQ(out[1].eType, 10);
    EXPECT_EQ(out[2].strID, "host-id-1");
    EXPECT_EQ(out[2].eType, 5);
    EXPECT_EQ(out[3].strName, "cluster-1");
    EXPECT_EQ(out[3].eType, 4);
    EXPECT_EQ(out[4].strID, "ds-id-1");
    EXPECT_EQ(out[4].eType, 9);
    EXPECT_EQ(out[5].eType, 2);
    EXPECT_EQ(out[6].strID, "site-id-1");
    EXPECT_TRUE(out[1].vecChildren.empty());
}
