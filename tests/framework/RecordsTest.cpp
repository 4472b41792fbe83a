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

    const struct {
        const char *szName, *szID;
        int nType;
    } expected[] = {{"vm-a", "guid-a", 10}, {"cna-1", "host-id-1", 5},  {"cluster-1", "cl-1", 4},
                    {"ds-1", "ds-id-1", 9}, {"site-1", "site-id-1", 2}, {"site-1", "site-id-1", 2}};
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[0].strName, "existing");
    for (size_t i = 1; i < out.size(); ++i) {
        EXPECT_EQ(out[i].strName, expected[i - 1].szName) << i;
        EXPECT_EQ(out[i].strID, expected[i - 1].szID) << i;
        EXPECT_EQ(out[i].eType, expected[i - 1].nType) << i;
        EXPECT_TRUE(out[i].vecChildren.empty()) << i;
    }
}
