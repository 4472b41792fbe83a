// The inventory node helpers of the shared records.
#include <gtest/gtest.h>

#include "Named.h"
#include "VMInfoStructs.h"

using namespace VMInfoStructs;

TEST(RecordsTest, InventoryNodesCarryNameIdentifierAndKind) {
    std::vector<SInventoryInfo> out;
    out.push_back(SInventoryInfo());  // nodes are appended, never replacing what is there
    out[0].strName = "existing";

    SVMInfo vm;
    vm.strName = "vm-a";
    vm.strGUID = "guid-a";  // a VM's node is identified by its GUID
    SInventoryInfo::FillInventoryInfoListFromVMInfoList({vm}, out);
    SInventoryInfo::FillInventoryInfoListFromHostInfoList({Named<SHostInfo>("cna-1", "host-id-1")},
                                                          out);
    SInventoryInfo::FillInventoryInfoListFromClusterInfoList(
        {Named<SClusterInfo>("cluster-1", "cl-1")}, out);
    SInventoryInfo::FillInventoryInfoListFromDatastoreInfoList(
        {Named<SDatastoreInfo>("ds-1", "ds-id-1")}, out);
    const SDataCenterInfo site = Named<SDataCenterInfo>("site-1", "site-id-1");
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
