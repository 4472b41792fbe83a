// Entity queries: what reaches the bridge, what comes back, what is recorded on failure.
#include <functional>

#include "Named.h"
#include "PluginTestUtil.h"

using namespace fcplugintest;
using ::testing::AllOf;
using ::testing::HasSubstr;

namespace {

std::vector<SVMInfo> VMs(std::initializer_list<const char*> names) {
    std::vector<SVMInfo> vms;
    for (const char* name : names) vms.push_back(VM(name));
    return vms;
}

class QueryTest : public CStrictPluginTest {
protected:
    std::vector<SVMInfo> out;

    // Each folder lists these sub-folders, once.
    void Tree(const std::vector<std::pair<const char*, std::vector<const char*>>>& folders) {
        for (const auto& f : folders) {
            std::vector<SInventoryInfo> subs;
            for (const char* id : f.second) subs.push_back(Node(id, INVENTORY_TYPE_VM_FOLDER, id));
            EXPECT_CALL(*bridge, GetVMFolderInfoList(f.first, _)).WillOnce(Gives<1>(subs));
        }
    }
    // Each folder holds one VM of the given name, asked for once with these flags.
    void FolderVMs(const std::vector<std::pair<const char*, const char*>>& vms, uint64_t flags) {
        for (const auto& v : vms)
            EXPECT_CALL(*bridge, GetVMInfoListForFolder(v.first, _, flags))
                .WillOnce(Gives<1>(VMs({v.second})));
    }
};

TEST_F(QueryTest, SingleLookupsRecordTheirCodeWithTheBridgeText) {
    EXPECT_CALL(*bridge, GetVMInfo("vm", "", "g", _, 4u)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetHostInfo("h", "", _, 4u)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetDataStoreInfo("d", "dg", _, 4u)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError())
        .WillOnce(Return("no vm"))
        .WillOnce(Return("no host"))
        .WillOnce(Return("no ds"));
    SVMInfo vm;
    SHostInfo host;
    SDatastoreInfo ds;
    EXPECT_EQ(0, plugin.GetVMInfoForVM("vm", "g", "unused", 4, 1, vm));
    EXPECT_EQ(SFailure(VMINFO_ERR_GET_VM_INFO, "no vm"), LastFailure(plugin));
    EXPECT_EQ(0, plugin.GetHostInfoForHost("h", 4, 1, host));
    EXPECT_EQ(SFailure(VMINFO_ERR_HOST_DS_QUERY, "no host"), LastFailure(plugin));
    EXPECT_EQ(0, plugin.GetDSInfoForDS("d", "dg", "unused", 4, 1, ds));
    EXPECT_EQ(SFailure(VMINFO_ERR_HOST_DS_QUERY, "no ds"), LastFailure(plugin));
}

// Names match exactly, and every VM of a name counts.
TEST_F(QueryTest, VMListFilterAppliesOnlyWithNamesAndAFilterType) {
    const std::vector<SVMInfo> all = VMs({"web", "db", "Web", "web"});
    EXPECT_CALL(*bridge, GetVMInfoList(_, 3u)).Times(5).WillRepeatedly(Gives<0>(all));
    const std::vector<std::string> names = {"web", "cache"}, none;
    const struct {
        const std::vector<std::string>* names;
        EFilterType type;
        std::vector<std::string> expected;
    } cases[] = {{&names, FILTER_TYPE_NONE, Names(all)},
                 {nullptr, FILTER_TYPE_INCLUDE_BY_NAME, Names(all)},
                 {&names, FILTER_TYPE_INCLUDE_BY_NAME, {"web", "web"}},
                 {&names, FILTER_TYPE_EXCLUDE_BY_NAME, {"db", "Web"}},
                 {&none, FILTER_TYPE_INCLUDE_BY_NAME, {}}};
    for (const auto& c : cases) {
        EXPECT_EQ(1, plugin.GetVMInfoList(out, 3, 0, c.names, c.type));
        EXPECT_EQ(c.expected, Names(out)) << c.type;
    }
    EXPECT_EQ(4u, plugin._FilterVMInfoList(all, names, FILTER_TYPE_NONE).size());

    EXPECT_CALL(*bridge, GetVMInfoList(_, 0u)).WillOnce(Return(false));
    EXPECT_EQ(0, plugin.GetVMInfoList(out, 0, 0, nullptr, FILTER_TYPE_NONE));
    EXPECT_EQ(VMINFO_ERR_NONE, plugin.GetLastVMError());
}

TEST_F(QueryTest, InventoryObjectKindsOrTheirFlagBitsIn) {
    SDataCenterInfo site;
    SClusterInfo c1, c2;
    c1.vecVMs = VMs({"c1-a", "c1-b"});
    c2.vecVMs = VMs({"c2-a"});
    site.vecClusters = {c1, c2};
    SHostInfo host;
    host.vecVMs = VMs({"h"});
    SDatastoreInfo ds;
    ds.vecVMs = VMs({"d"});
    EXPECT_CALL(*bridge, GetVMInfoList(_, 0x100u)).WillOnce(Gives<0>(VMs({"all"})));
    EXPECT_CALL(*bridge, GetSiteInfo("", "S", _, 0x11000000000100u)).WillOnce(Gives<2>(site));
    EXPECT_CALL(*bridge, GetClusterInfo("", "C", _, 0x10000000000100u)).WillOnce(Gives<2>(c2));
    EXPECT_CALL(*bridge, GetHostInfo("", "H", _, 0x20000100u)).WillOnce(Gives<2>(host));
    EXPECT_CALL(*bridge, GetDataStoreInfo("", "D", _, 0x400000100u)).WillOnce(Gives<2>(ds));
    EXPECT_CALL(*bridge, GetClusterInfoListForFolder("F", _, 0x10000000000100u))
        .WillOnce(Gives<1>(std::vector<SClusterInfo>{c2, c1}));

    struct {
        std::string guid;
        EInventoryType type;
        std::vector<std::string> expected;
    } cases[] = {{"", INVENTORY_TYPE_VIRTUAL_SERVER, {"all"}},
                 {"S", INVENTORY_TYPE_DATACENTER, {"c1-a", "c1-b", "c2-a"}},
                 {"C", INVENTORY_TYPE_CLUSTER, {"c2-a"}},
                 {"H", INVENTORY_TYPE_HOST, {"h"}},
                 {"D", INVENTORY_TYPE_DATASTORE, {"d"}},
                 {"F", INVENTORY_TYPE_CLUSTER_FOLDER, {"c2-a", "c1-a", "c1-b"}}};
    for (auto& c : cases) {
        out.clear();
        EXPECT_EQ(1, plugin.GetVMInfoListForInventoryObject(c.guid, c.type, 0x100, 0, out));
        EXPECT_EQ(c.expected, Names(out)) << c.type;
    }

    // A failure records the bridge's text, and leaves the code as it was.
    plugin.SetLastVMError(VMINFO_ERR_SNAPSHOT);
    EXPECT_CALL(*bridge, GetHostInfo(_, _, _, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("host query failed"));
    EXPECT_EQ(0, plugin.GetVMInfoListForInventoryObject("H", INVENTORY_TYPE_HOST, 0, 0, out));
    EXPECT_EQ(SFailure(VMINFO_ERR_SNAPSHOT, "host query failed"), LastFailure(plugin));
}

TEST_F(QueryTest, UnsupportedKindsAreLoggedWithTheirNumber) {
    EvLogCapture capture;
    for (int kind : {0, 3, 6, 10, 24}) {
        EXPECT_EQ(0, plugin.GetVMInfoListForInventoryObject("x", static_cast<EInventoryType>(kind),
                                                            0, 0, out));
        EXPECT_EQ(1u, capture.Count("Unsupported inventory type [" + std::to_string(kind) + "]"))
            << capture.Dump();
    }
    EXPECT_TRUE(capture.Contains("GetVMInfoListForInventoryObject for GUID [x]"));
}

// root -> [a -> [a1 -> [a1x]], b]; VMs of a folder come after those of its sub-folders. A folder
// reached through two parents is walked once, so its VMs are listed once.
TEST_F(QueryTest, FolderWalkIsDepthFirstSubFoldersFirstAndOncePerFolder) {
    Tree({{"root", {"a", "b"}}, {"a", {"a1"}}, {"a1", {"a1x"}}, {"a1x", {}}, {"b", {}}});
    FolderVMs(
        {{"a1x", "deepest"}, {"a1", "in-a1"}, {"a", "in-a"}, {"b", "in-b"}, {"root", "in-root"}},
        8);
    EXPECT_EQ(1,
              plugin.GetVMInfoListForInventoryObject("root", INVENTORY_TYPE_VM_FOLDER, 8, 0, out));
    EXPECT_EQ((std::vector<std::string>{"deepest", "in-a1", "in-a", "in-b", "in-root"}),
              Names(out));

    out.clear();
    Tree({{"root", {"a", "b"}}, {"a", {"shared"}}, {"b", {"shared"}}, {"shared", {}}});
    FolderVMs({{"root", "root"}, {"a", "a"}, {"b", "b"}, {"shared", "shared"}}, 0);
    EXPECT_EQ(1, plugin.GetVMInfoListForVMFolder("root", 0, 0, out));
    EXPECT_EQ((std::vector<std::string>{"shared", "a", "b", "root"}), Names(out));
}

TEST_F(QueryTest, FolderWalkStopsAtTheFirstFailingSiblingACycleOrTheDepthLimit) {
    Tree({{"root", {"a", "b", "c"}}, {"a", {}}, {"b", {}}});
    FolderVMs({{"a", "in-a"}}, 0);
    EXPECT_CALL(*bridge, GetVMInfoListForFolder("b", _, 0u)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("folder b is gone"));
    // Neither "c" nor the root's own VMs are asked for.
    EXPECT_EQ(0, plugin.GetVMInfoListForVMFolder("root", 0, 0, out));
    EXPECT_EQ((std::vector<std::string>{"in-a"}), Names(out));
    EXPECT_EQ("folder b is gone", plugin.GetLastVMErrorDetails());

    // A service that lists a folder below itself must not take the agent down with it. Then
    // root -> a -> b -> a: the VMs found before the cycle stay, nothing is asked twice.
    out.clear();
    Tree({{"self", {"self"}}});
    EvLogCapture capture;
    EXPECT_EQ(0,
              plugin.GetVMInfoListForInventoryObject("self", INVENTORY_TYPE_VM_FOLDER, 0, 0, out));
    EXPECT_TRUE(out.empty());
    EXPECT_THAT(plugin.GetLastVMErrorDetails(), AllOf(HasSubstr("[self]"), HasSubstr("cycle")));
    EXPECT_TRUE(capture.Contains("cycle")) << capture.Dump();

    Tree({{"root", {"first", "a"}}, {"first", {}}, {"a", {"b"}}, {"b", {"a"}}});
    FolderVMs({{"first", "in-first"}}, 0);
    EXPECT_EQ(0, plugin.GetVMInfoListForVMFolder("root", 0, 0, out));
    EXPECT_EQ((std::vector<std::string>{"in-first"}), Names(out));
    EXPECT_THAT(plugin.GetLastVMErrorDetails(), HasSubstr("[a]"));

    // A service that invents a new sub-folder on every level ends in a clear error.
    out.clear();
    int listed = 0;
    EXPECT_CALL(*bridge, GetVMFolderInfoList(_, _))
        .WillRepeatedly([&](const std::string& id, std::vector<SInventoryInfo>& subs) {
            ++listed;
            subs = {Node(id + "/x", INVENTORY_TYPE_VM_FOLDER, id + "/x")};
            return true;
        });
    EXPECT_EQ(0, plugin.GetVMInfoListForVMFolder("root", 0, 0, out));
    EXPECT_TRUE(out.empty());
    EXPECT_LE(listed, 64);
    EXPECT_GE(listed, 8);
    EXPECT_THAT(plugin.GetLastVMErrorDetails(), HasSubstr("deep"));
}

TEST_F(QueryTest, DatastoresOfAClusterAreDeduplicatedByExactNameAndOfAHostReplaceTheList) {
    using D = SDatastoreInfo;
    SHostInfo h1, h2;
    h1.vecDatastores = {Named<D>("shared"), Named<D>("DS")};
    h2.vecDatastores = {Named<D>("shared"), Named<D>("ds"), Named<D>("own")};
    SClusterInfo cluster;
    cluster.vecHosts = {h1, h2};
    InSequence order;
    EXPECT_CALL(*bridge, GetHostInfo("cl", "", _, 0x2000010u)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("not a host"));
    EXPECT_CALL(*bridge, GetClusterInfo("cl", "", _, 0x20000002000010u))
        .WillOnce(Gives<2>(cluster));
    std::vector<SDatastoreInfo> list(1);
    list[0].strName = "shared";  // entries already there are not compared
    EXPECT_EQ(1, plugin.GetDSInfoListForHost("cl", list, 0x10, 0));
    EXPECT_EQ((std::vector<std::string>{"shared", "shared", "DS", "ds", "own"}), Names(list));
    EXPECT_EQ(VMINFO_ERR_HOST_DS_QUERY, plugin.GetLastVMError());

    // A host's datastores replace the list; no host and no cluster of that name is a failure
    // that leaves the list alone.
    plugin.SetLastVMError(VMINFO_ERR_NONE);
    SHostInfo host;
    host.vecDatastores = {Named<SDatastoreInfo>("a"), Named<SDatastoreInfo>("b")};
    EXPECT_CALL(*bridge, GetHostInfo("h1", "", _, 0x2000000u)).WillOnce(Gives<2>(host));
    EXPECT_EQ(1, plugin.GetDSInfoListForHost("h1", list, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), Names(list));
    EXPECT_EQ(VMINFO_ERR_NONE, plugin.GetLastVMError());

    EXPECT_CALL(*bridge, GetHostInfo("nobody", "", _, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("not found"));
    EXPECT_CALL(*bridge, GetClusterInfo("nobody", "", _, _)).WillOnce(Return(false));
    EXPECT_EQ(0, plugin.GetDSInfoListForHost("nobody", list, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), Names(list));
}

TEST_F(QueryTest, RefillsRunOnlyForNewRequestsAndClearFirst) {
    EXPECT_CALL(*bridge, GetHostInfoList(_, 0x5u))
        .WillOnce(Gives<0>(std::vector<SHostInfo>(2)))
        .WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetDataStoreInfoList(_, 0x9u))
        .WillOnce(Gives<0>(std::vector<SDatastoreInfo>(3)))
        .WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError())
        .WillOnce(Return("hosts failed"))
        .WillOnce(Return("datastores failed"));
    const struct {
        std::function<bool(int)> refresh;
        std::function<size_t()> size;
        size_t nFilled;
        const char* szError;
    } caches[] = {{[&](int r) { return plugin._RefreshHostInfoCache(0x5, r); },
                   [&] { return plugin.vecHostInfoCache.size(); }, 2, "hosts failed"},
                  {[&](int r) { return plugin._RefreshDSInfoCache(0x9, r); },
                   [&] { return plugin.vecDSInfoCache.size(); }, 3, "datastores failed"}};
    for (const auto& c : caches) {
        SCOPED_TRACE(c.szError);
        EXPECT_TRUE(c.refresh(1));
        EXPECT_EQ(c.nFilled, c.size());
        // The same request again: no bridge call (the strict double would fail), cache kept.
        EXPECT_TRUE(c.refresh(1));
        EXPECT_EQ(c.nFilled, c.size());
        EXPECT_FALSE(c.refresh(2));
        EXPECT_EQ(0u, c.size());
        EXPECT_EQ(SFailure(VMINFO_ERR_HOST_DS_QUERY, c.szError), LastFailure(plugin));
    }
    EXPECT_FALSE(plugin._RefreshClusterInfoCache(0, 0));
}

}  // namespace
