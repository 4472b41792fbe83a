// The plug-in with the real bridge against the simulator's management service on loopback:
// browsing the demo inventory through every view.
#include <memory>
#include <set>

#include "PluginTestUtil.h"
#include "Simulator.h"

using namespace fcplugintest;

namespace {

class SimulatorTest : public ::testing::Test {
protected:
    fcsim::CSimulator sim;
    std::unique_ptr<CFusionComputeInfo> plugin;

    void SetUp() override {
        fcsim::SSimOptions options;
        options.bStartCna = false;
        std::string err;
        ASSERT_TRUE(sim.Start(options, err)) << err;
        // The bridge trusts the simulator's own certificate, and nothing else.
        {
            CScopedEnv ca("FC_BRIDGE_CAFILE", sim.CAFile());
            plugin.reset(new CFusionComputeInfo(VSINSTANCE_FUSIONCOMPUTE));
        }
        ASSERT_EQ(1, plugin->Init(0));
        ASSERT_EQ(1, plugin->Connect(sim.Url(), sim.User(), sim.Password()))
            << plugin->GetLastVMErrorDetails();
    }

    // Opens every node that has children, depth first, and collects the VM nodes it meets.
    // chain: the nodes from the site down to the node to open.
    void Walk(const std::string& path, const std::vector<SInventoryInfo>& chain,
              std::set<std::string>& vms, int depth) {
        ASSERT_LT(depth, 12) << "inventory deeper than expected at " << path;
        std::vector<SInventoryInfo> children;
        ASSERT_EQ(1, plugin->BrowseInventory(path, Chain(chain), children, 0, 0)) << path;
        for (size_t i = 1; i < children.size(); ++i)
            EXPECT_FALSE(
                CFusionComputeInfo::SortInventoryList_Compare(children[i], children[i - 1]))
                << "unsorted level " << path;
        for (const SInventoryInfo& child : children) {
            switch (child.eType) {
                case INVENTORY_TYPE_VM:
                    vms.insert(child.strName);
                    break;
                case INVENTORY_TYPE_DATACENTER:
                case INVENTORY_TYPE_CLUSTER:
                case INVENTORY_TYPE_HOST:
                case INVENTORY_TYPE_DATASTORE:
                case INVENTORY_TYPE_VM_FOLDER:
                case INVENTORY_TYPE_CLUSTER_FOLDER: {
                    std::vector<SInventoryInfo> deeper = chain;
                    deeper.push_back(child);
                    Walk(path + "\\" + child.strName, deeper, vms, depth + 1);
                    break;
                }
                default:
                    ADD_FAILURE() << "unexpected node kind " << child.eType << " at " << path;
            }
        }
    }
};

TEST_F(SimulatorTest, EveryViewReachesEveryVM) {
    std::vector<SVMInfo> all;
    ASSERT_EQ(1, plugin->GetVMInfoList(all, 0, 0, nullptr, FILTER_TYPE_NONE));
    std::set<std::string> expected;
    for (const SVMInfo& vm : all) expected.insert(vm.strName);
    ASSERT_GE(expected.size(), 3u);

    std::vector<SInventoryInfo> views;
    ASSERT_EQ(1, plugin->BrowseInventory("", SInventoryInfo(), views, 0, 0));
    ASSERT_EQ(3u, views.size());
    for (const SInventoryInfo& view : views) {
        // The first level of a view lists the sites; the site's own level needs no chain.
        std::vector<SInventoryInfo> sites;
        ASSERT_EQ(1, plugin->BrowseInventory(view.strName, SInventoryInfo(), sites, 0, 0));
        ASSERT_EQ(1u, sites.size()) << view.strName;
        std::set<std::string> found;
        std::string sitePath = view.strName + "\\" + sites[0].strName;
        std::vector<SInventoryInfo> level;
        ASSERT_EQ(1, plugin->BrowseInventory(sitePath, sites[0], level, 0, 0));
        for (const SInventoryInfo& node : level) {
            if (node.eType == INVENTORY_TYPE_VM)
                found.insert(node.strName);
            else
                Walk(sitePath + "\\" + node.strName, {node}, found, 1);
        }
        EXPECT_EQ(expected, found) << "view " << view.strName;
    }
}

}  // namespace
