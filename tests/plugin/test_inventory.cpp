// Inventory browsing: the three views, expansion by kind, the sort, and failure reporting.
#include <stdexcept>

#include "Named.h"
#include "PluginTestUtil.h"

using namespace fcplugintest;

namespace {

std::vector<int> Kinds(const std::vector<SInventoryInfo>& list) {
    std::vector<int> kinds;
    for (const SInventoryInfo& node : list) kinds.push_back(node.eType);
    return kinds;
}

class BrowseTest : public CStrictPluginTest {
protected:
    std::vector<SInventoryInfo> out;
};

TEST_F(BrowseTest, RootListsTheThreeViewsUnsortedAndEachListsTheSites) {
    for (const char* path : {"", "\\"}) {
        out.clear();
        EXPECT_EQ(1, plugin.BrowseInventory(path, SInventoryInfo(), out, 0, 0));
        EXPECT_EQ((std::vector<std::string>{"VMs", "Hosts", "Datastores"}), Names(out)) << path;
        EXPECT_EQ((std::vector<int>{0, 0, 0}), Kinds(out));
        EXPECT_EQ("", out[0].strID + out[1].strID + out[2].strID);
    }
    out.clear();
    EXPECT_EQ(1, plugin.BrowseInventory("Networks", SInventoryInfo(), out, 0, 0));
    EXPECT_TRUE(out.empty());

    std::vector<SDataCenterInfo> sites = {Named<SDataCenterInfo>("site-b", "s2"),
                                          Named<SDataCenterInfo>("Site-A", "s1")};
    EXPECT_CALL(*bridge, GetSiteInfoList(_, 0x77u)).Times(3).WillRepeatedly(Gives<0>(sites));
    for (const char* path : {"vms", "HOSTS", "DataStores"}) {
        out.clear();
        EXPECT_EQ(1, plugin.BrowseInventory(path, SInventoryInfo(), out, 0x77, 0));
        EXPECT_EQ((std::vector<std::string>{"Site-A", "site-b"}), Names(out)) << path;
        EXPECT_EQ((std::vector<int>{2, 2}), Kinds(out));
        EXPECT_EQ("s1", out[0].strID);
    }
}

TEST_F(BrowseTest, HostsSecondLevelSortsByKindThenNameIgnoringCaseAndCatchesExceptions) {
    std::vector<SInventoryInfo> folders = {Node("zeta", INVENTORY_TYPE_NONE, "f2"),
                                           Node("Alpha", INVENTORY_TYPE_NONE, "f1")};
    std::vector<SClusterInfo> clusters = {Named<SClusterInfo>("beta"),
                                          Named<SClusterInfo>("Alpha")};
    std::vector<SHostInfo> hosts = {Named<SHostInfo>("b-host"), Named<SHostInfo>("A-host")};
    EXPECT_CALL(*bridge, GetClusterFolderInfoList(_)).WillOnce(Gives<0>(folders));
    EXPECT_CALL(*bridge, GetClusterInfoListForFolder("", _, 5u)).WillOnce(Gives<1>(clusters));
    EXPECT_CALL(*bridge, GetHostInfoListForCluster("", _, 5u)).WillOnce(Gives<1>(hosts));

    EXPECT_EQ(1, plugin.BrowseInventory("Hosts\\site", SInventoryInfo(), out, 5, 0));
    EXPECT_EQ((std::vector<std::string>{"Alpha", "beta", "A-host", "b-host", "Alpha", "zeta"}),
              Names(out));
    EXPECT_EQ((std::vector<int>{4, 4, 5, 5, 23, 23}), Kinds(out));

    out.clear();
    folders = {Node("kept", INVENTORY_TYPE_NONE)};
    EXPECT_CALL(*bridge, GetClusterFolderInfoList(_)).WillOnce(Gives<0>(folders));
    EXPECT_CALL(*bridge, GetClusterInfoListForFolder(_, _, _))
        .WillOnce(::testing::Throw(std::runtime_error("boom")));
    EvLogCapture capture;
    EXPECT_EQ(0, plugin.BrowseInventory("Hosts\\s", SInventoryInfo(), out, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"kept"}), Names(out));
    ASSERT_EQ(1u, capture.Count("Caught unhandled exception")) << capture.Dump();
    for (const SEvLogLine& line : capture.Lines())
        if (line.strText == "Caught unhandled exception") {
            EXPECT_TRUE(line.bError);
            EXPECT_EQ(0u, line.strTag.find("virtual int CFusionComputeInfo::BrowseInventory("));
        }
}

TEST(BrowseSort, DepthFirstAndCaseInsensitive) {
    SInventoryInfo folder = Node("folder", INVENTORY_TYPE_VM_FOLDER);
    folder.vecChildren = {Node("b-vm", INVENTORY_TYPE_VM), Node("A-vm", INVENTORY_TYPE_VM),
                          Node("sub", INVENTORY_TYPE_VM_FOLDER)};
    std::vector<SInventoryInfo> list = {folder, Node("B", INVENTORY_TYPE_HOST),
                                        Node("a", INVENTORY_TYPE_HOST)};
    CFusionComputeInfo::SortInventoryList(list);
    EXPECT_EQ((std::vector<std::string>{"a", "B", "folder"}), Names(list));
    EXPECT_EQ((std::vector<std::string>{"A-vm", "b-vm", "sub"}), Names(list[2].vecChildren));
    EXPECT_TRUE(CFusionComputeInfo::SortInventoryList_Compare(Node("A", INVENTORY_TYPE_VM),
                                                              Node("b", INVENTORY_TYPE_VM)));
    EXPECT_FALSE(CFusionComputeInfo::SortInventoryList_Compare(Node("a", INVENTORY_TYPE_VM),
                                                               Node("A", INVENTORY_TYPE_VM)));
}

TEST_F(BrowseTest, EachKindAsksForItsNestedListAndTheChainsDeepestNodeIsExpanded) {
    SDataCenterInfo site;
    site.vecClusters = {Named<SClusterInfo>("c")};
    SHostInfo host;
    host.vecVMs = {VM("on-host")};
    SDatastoreInfo datastore;
    datastore.vecVMs = {VM("on-ds")};
    std::vector<SClusterInfo> folderClusters = {Named<SClusterInfo>("in-folder")};
    EXPECT_CALL(*bridge, GetSiteInfo("S", "s", _, 0x1000000000002u)).WillOnce(Gives<2>(site));
    EXPECT_CALL(*bridge, GetHostInfo("H", "h", _, 0x20000002u)).WillOnce(Gives<2>(host));
    EXPECT_CALL(*bridge, GetDataStoreInfo("D", "d", _, 0x400000002u)).WillOnce(Gives<2>(datastore));
    EXPECT_CALL(*bridge, GetClusterInfoListForFolder("f", _, 2u))
        .WillOnce(Gives<1>(folderClusters));

    struct {
        const char* path;
        SInventoryInfo node;
        const char* child;
    } cases[] = {{"VMs\\s\\x", Node("S", INVENTORY_TYPE_DATACENTER, "s"), "c"},
                 {"Hosts\\s\\x", Node("H", INVENTORY_TYPE_HOST, "h"), "on-host"},
                 {"Datastores\\s\\x", Node("D", INVENTORY_TYPE_DATASTORE, "d"), "on-ds"},
                 {"Hosts\\s\\x", Node("F", INVENTORY_TYPE_CLUSTER_FOLDER, "f"), "in-folder"}};
    for (auto& c : cases) {
        out.clear();
        EXPECT_EQ(1, plugin.BrowseInventory(c.path, c.node, out, 2, 0)) << c.child;
        EXPECT_EQ((std::vector<std::string>{c.child}), Names(out));
    }

    out.clear();
    SClusterInfo cluster = Named<SClusterInfo>("cl", "c1");
    cluster.vecHosts = {Named<SHostInfo>("h2"), Named<SHostInfo>("h1")};
    cluster.vecVMs = {VM("vm-b"), VM("VM-a")};
    EXPECT_CALL(*bridge, GetClusterInfo("cl", "c1", _, 0x30000000000001u))
        .WillOnce(Gives<2>(cluster));
    // The path past the view names nothing that is looked up; the chain the agent hands over
    // (view, site, cluster) decides.
    SInventoryInfo parent = Node("Hosts", INVENTORY_TYPE_NONE);
    parent.vecChildren = {Node("site", INVENTORY_TYPE_DATACENTER, "s1")};
    parent.vecChildren[0].vecChildren = {Node("cl", INVENTORY_TYPE_CLUSTER, "c1")};
    EXPECT_EQ(1, plugin.BrowseInventory("HOSTS\\x\\y", parent, out, 1, 0));
    EXPECT_EQ((std::vector<std::string>{"h1", "h2", "VM-a", "vm-b"}), Names(out));
    EXPECT_EQ((std::vector<int>{5, 5, 10, 10}), Kinds(out));
}

TEST_F(BrowseTest, VMFolderShowsItsVMsEvenWhenSubFoldersFail) {
    std::vector<SVMInfo> vms = {VM("vm1", "v1")};
    EXPECT_CALL(*bridge, GetVMFolderInfoList("", _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetVMInfoListForFolder("", _, 9u)).WillOnce(Gives<1>(vms));
    EXPECT_EQ(1, plugin.BrowseInventory("VMs\\site", SInventoryInfo(), out, 9, 0));
    EXPECT_EQ((std::vector<std::string>{"vm1"}), Names(out));

    // Sub-folders come back as folder nodes, whatever kind the service gave them.
    std::vector<SInventoryInfo> subFolders = {Node("sub", INVENTORY_TYPE_FOLDER, "f9")};
    EXPECT_CALL(*bridge, GetVMFolderInfoList("f1", _)).WillOnce(Gives<1>(subFolders));
    EXPECT_CALL(*bridge, GetVMInfoListForFolder("f1", _, 9u)).WillOnce(Gives<1>(vms));
    out.clear();
    EXPECT_EQ(1, plugin.BrowseInventory("VMs\\site\\f", Node("f", INVENTORY_TYPE_VM_FOLDER, "f1"),
                                        out, 9, 0));
    // Sorted by kind: VMs (10) before folders (17).
    EXPECT_EQ((std::vector<std::string>{"vm1", "sub"}), Names(out));
    EXPECT_EQ((std::vector<int>{10, 17}), Kinds(out));

    // Deeper paths open the last node of the chain the agent hands over.
    SInventoryInfo chain = Node("f", INVENTORY_TYPE_VM_FOLDER, "f1");
    chain.vecChildren = {Node("sub", INVENTORY_TYPE_VM_FOLDER, "f9")};
    EXPECT_CALL(*bridge, GetVMFolderInfoList("f9", _)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, GetVMInfoListForFolder("f9", _, 9u)).WillOnce(Gives<1>(vms));
    out.clear();
    EXPECT_EQ(1, plugin.BrowseInventory("VMs\\site\\f\\sub", chain, out, 9, 0));
    EXPECT_EQ((std::vector<std::string>{"vm1"}), Names(out));
}

TEST_F(BrowseTest, AFailingLevelReportsFailureAndKeepsWhatItHas) {
    EXPECT_CALL(*bridge, GetDataStoreInfoList(_, _)).WillOnce(Return(false));
    EXPECT_EQ(0, plugin.BrowseInventory("Datastores\\site", SInventoryInfo(), out, 0, 0));
    EXPECT_TRUE(out.empty());

    EXPECT_CALL(*bridge, GetHostInfo(_, _, _, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("host vanished"));
    EvLogCapture capture;
    out = {Node("kept", INVENTORY_TYPE_VM)};
    EXPECT_EQ(
        0, plugin.BrowseInventory("Hosts\\s\\h", Node("H", INVENTORY_TYPE_HOST, "h"), out, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"kept"}), Names(out));
    EXPECT_TRUE(capture.Contains("host vanished")) << capture.Dump();
    EXPECT_EQ(VMINFO_ERR_NONE, plugin.GetLastVMError());

    // A kind that has no children to list is a failure without a bridge call.
    out.clear();
    EXPECT_EQ(0,
              plugin.BrowseInventory("VMs\\s\\v", Node("vm", INVENTORY_TYPE_VM, "v"), out, 0, 0));

    // A dead connection at the first level, or at the Hosts view's second, is a failure with the
    // service's reason, not an empty platform; whatever did list is kept.
    EXPECT_CALL(*bridge, GetSiteInfoList(_, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillRepeatedly(Return("connection reset"));
    EXPECT_EQ(0, plugin.BrowseInventory("VMs", SInventoryInfo(), out, 0, 0));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ("connection reset", plugin.GetLastVMErrorDetails());

    plugin.SetLastVMError(VMINFO_ERR_NONE);
    std::vector<SHostInfo> hosts = {Named<SHostInfo>("h1")};
    EXPECT_CALL(*bridge, GetClusterFolderInfoList(_)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, GetClusterInfoListForFolder("", _, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetHostInfoListForCluster("", _, _)).WillOnce(Gives<1>(hosts));
    EXPECT_EQ(0, plugin.BrowseInventory("Hosts\\site", SInventoryInfo(), out, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"h1"}), Names(out));
    EXPECT_EQ("connection reset", plugin.GetLastVMErrorDetails());
}

TEST_F(BrowseTest, InventoryListIsClustersThenFreeHostsWithFixedFlags) {
    std::vector<SClusterInfo> clusters = {Named<SClusterInfo>("z-cluster")};
    std::vector<SHostInfo> hosts = {Named<SHostInfo>("a-host")};
    EXPECT_CALL(*bridge, GetClusterInfoList(_, 0x20000000000000u))
        .WillOnce(Gives<0>(clusters))
        .WillOnce(Return(false))
        .WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetHostInfoListForCluster("", _, 0u))
        .WillOnce(Gives<1>(hosts))
        .WillOnce(Gives<1>(hosts))
        .WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("service down"));

    EXPECT_EQ(1, plugin.GetInventoryInfoList(out, 0xFFFF, 4));
    EXPECT_EQ((std::vector<std::string>{"z-cluster", "a-host"}), Names(out));
    out.clear();
    EXPECT_EQ(1, plugin.GetInventoryInfoList(out, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"a-host"}), Names(out));
    EXPECT_EQ("", plugin.GetLastVMErrorDetails());
    out.clear();
    EXPECT_EQ(0, plugin.GetInventoryInfoList(out, 0, 0));
    EXPECT_EQ("service down", plugin.GetLastVMErrorDetails());
    EXPECT_EQ(VMINFO_ERR_NONE, plugin.GetLastVMError());
}

}  // namespace
