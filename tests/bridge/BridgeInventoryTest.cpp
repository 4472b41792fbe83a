// Inventory answers the bridge does not take on trust, and per-thread error texts.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FakeService.h"
#include "FusionComputeSDKCppBridge.h"

using namespace FusionComputeSDKCppBridge;
using bridgetest::CFakeService;
using bridgetest::FastOptions;

namespace {

std::vector<std::string> Ids(const std::vector<SInventoryInfo>& nodes) {
    std::vector<std::string> ids;
    for (const SInventoryInfo& n : nodes) ids.push_back(n.strID);
    return ids;
}

// A service that ignores the parent filter and lists every VM folder, the asked one among them.
const char* const kAllFolders =
    R"({"folders":[)"
    R"({"urn":"urn:sites:1:folders:7","name":"top","type":1,"parentObjUrn":"urn:sites:1"},)"
    R"({"urn":"urn:sites:1:folders:8","name":"child","type":1,)"
    R"("parentObjUrn":"urn:sites:1:folders:7"},)"
    R"({"urn":"urn:sites:1:folders:9","name":"grandchild","type":1,)"
    R"("parentObjUrn":"urn:sites:1:folders:8"},)"
    R"({"urn":"urn:sites:1:folders:5","name":"loose","type":1}]})";

TEST(BridgeInventory, VMFolderListKeepsOnlyTheAskedFoldersChildren) {
    CFakeService svc;
    svc.Reply("GET", "/service/sites/1/folder", 200, kAllFolders);
    CFusionComputeSDKCppBridge bridge(FastOptions());
    ASSERT_TRUE(bridge.Connect(svc.URL(), svc.strUser, svc.strPassword)) << bridge.GetLastError();

    std::vector<SInventoryInfo> sub;
    ASSERT_TRUE(bridge.GetVMFolderInfoList("urn:sites:1:folders:7", sub)) << bridge.GetLastError();
    // Not the folder itself (that would make the tree a cycle), nor anything further down.
    EXPECT_EQ(Ids(sub), (std::vector<std::string>{"urn:sites:1:folders:8"}));
    ASSERT_TRUE(bridge.GetVMFolderInfoList("urn:sites:1:folders:8", sub));
    EXPECT_EQ(Ids(sub), (std::vector<std::string>{"urn:sites:1:folders:9"}));
    ASSERT_TRUE(bridge.GetVMFolderInfoList("urn:sites:1:folders:9", sub));
    EXPECT_TRUE(sub.empty());
    // The top level: folders whose parent is the site, or that name none.
    ASSERT_TRUE(bridge.GetVMFolderInfoList("", sub));
    EXPECT_EQ(Ids(sub),
              (std::vector<std::string>{"urn:sites:1:folders:7", "urn:sites:1:folders:5"}));
}

// Thread ids are reused once a thread has ended, and a bridge may be made where an ended one
// lived: neither a new thread nor a new bridge reads a failure that an ended one left behind.
TEST(BridgeInventory, ErrorsAreKeptPerBridgeAndPerThread) {
    // Never connected: every lookup fails.
    auto first = std::make_unique<CFusionComputeSDKCppBridge>(FastOptions());
    int inherited = 0;
    for (int i = 0; i < 50; ++i) {
        std::string before, after;
        std::thread([&] {
            before = first->GetLastError();
            std::vector<SHostInfo> hosts;
            first->GetHostInfoList(hosts, 0);
            after = first->GetLastError();
        }).join();
        EXPECT_FALSE(after.empty());
        if (!before.empty()) ++inherited;
    }
    EXPECT_EQ(inherited, 0);
    std::vector<SHostInfo> hosts;
    EXPECT_FALSE(first->GetHostInfoList(hosts, 0));
    CFusionComputeSDKCppBridge second(FastOptions());
    EXPECT_EQ(second.GetLastError(), "");
    first.reset();
    first = std::make_unique<CFusionComputeSDKCppBridge>(FastOptions());
    EXPECT_EQ(first->GetLastError(), "");
}

}  // namespace
