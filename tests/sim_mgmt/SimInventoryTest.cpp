// The management service's inventory model on its own.
#include <gtest/gtest.h>

#include "ApiError.h"
#include "Inventory.h"
#include "Render.h"
#include "SimState.h"
#include "TempDir.h"

namespace {

using fcsim::CApiError;
using fcsim::CInventory;
using fcsim::json;

class InventoryModel : public ::testing::Test {
protected:
    CTempDir m_dir;
    CInventory inv{"5D1C0A7E"};
};

// Lists in the order of their numbers ("9" before "10"): the hosts of
// InventoryTest.DemoTopologyFiltersAndVmFields.
TEST_F(InventoryModel, RecordsAreFoundByKindAndDeleted) {
    inv.Create("volumes", {{"id", "10"}, {"vmId", ""}});
    ASSERT_NE(inv.Find("volumes", "10"), nullptr);
    EXPECT_EQ(inv.Find("vms", "10"), nullptr);
    inv.Delete("volumes", "10");
    EXPECT_EQ(inv.Find("volumes", "10"), nullptr);
    try {
        inv.Obj("volumes", "10", "10420004", "volume");
        ADD_FAILURE() << "a missing record must be an API error";
    } catch (const CApiError& e) {
        EXPECT_EQ(e.Code(), "10420004");
        EXPECT_STREQ(e.what(), "The volume does not exist.");
    }
}

TEST_F(InventoryModel, IdentifiersFollowTheUrnRule) {
    EXPECT_EQ(inv.Urn("vms", "i-1"), "urn:sites:5D1C0A7E:vms:i-1");
    EXPECT_EQ(inv.Uri("vms", "i-1"), "/service/sites/5D1C0A7E/vms/i-1");
    EXPECT_EQ(inv.IdFromUrn("urn:sites:5D1C0A7E:vms:i-1", "vms"), "i-1");
    EXPECT_EQ(inv.IdFromUrn("urn:sites:5D1C0A7E:vms:i-1:nics:2", "vms"), "");
    EXPECT_EQ(inv.IdFromUrn("urn:sites:OTHER:vms:i-1", "vms"), "");
    std::string first = inv.NewId();
    EXPECT_EQ(std::stoull(inv.NewId()), std::stoull(first) + 1);
    EXPECT_EQ(inv.NewVmId().size(), 10u);
}

TEST_F(InventoryModel, VolumesTakeFreeSlotsAndNicsUniqueMacs) {
    json& vm = inv.Create("vms", {{"id", "i-00000001"}, {"nics", json::array()}});
    json& a = inv.Create("volumes", {{"id", "1"}, {"vmId", ""}, {"seq", 0}});
    json& b = inv.Create("volumes", {{"id", "2"}, {"vmId", ""}, {"seq", 0}});
    json& c = inv.Create("volumes", {{"id", "3"}, {"vmId", ""}, {"seq", 0}});
    inv.AttachVolume(vm, a, 2, "");
    inv.AttachVolume(vm, b, 0, "SCSI");
    EXPECT_EQ(b["seq"], 1);
    EXPECT_THROW(inv.AttachVolume(vm, c, 2, ""), CApiError);  // slot in use
    // (A volume attached already: RestoreTest.VolumesVmsAndNics.)
    std::vector<std::string> order;
    for (const json* v : inv.VolumesOf("i-00000001")) order.push_back((*v)["id"]);
    EXPECT_EQ(order, (std::vector<std::string>{"2", "1"}));
    inv.DetachVolume(a);
    EXPECT_EQ(inv.VolumesOf("i-00000001").size(), 1u);

    inv.AddNic(vm, "", "7", "28:6e:d4:00:00:01", -1);
    EXPECT_TRUE(inv.MacInUse("28:6e:d4:00:00:01"));
    EXPECT_THROW(inv.AddNic(vm, "x", "7", "28:6e:d4:00:00:01", -1), CApiError);
    json& second = inv.AddNic(vm, "", "7", "", -1);
    EXPECT_EQ(second["seq"], 1);
    EXPECT_EQ(second["name"], "nic2");
}

TEST_F(InventoryModel, SavedInventoryLoadsBackAndABrokenFileIsRefused) {
    fcsim::CSimState state(m_dir.Path());
    CInventory fresh("5D1C0A7E");
    std::string err;
    EXPECT_TRUE(fresh.Load(state, err));  // no file yet: a new state folder
    inv.Create("folders", {{"id", "4"}, {"name", "f"}, {"type", 1}, {"parentId", ""}});
    EXPECT_TRUE(inv.Dirty());
    ASSERT_TRUE(inv.Save(state, err)) << err;
    EXPECT_FALSE(inv.Dirty());
    ASSERT_TRUE(fresh.Load(state, err)) << err;
    ASSERT_NE(fresh.Find("folders", "4"), nullptr);
    EXPECT_EQ(fcsim::CRender(fresh, state).Folder(*fresh.Find("folders", "4"))["parentObjUrn"],
              "urn:sites:5D1C0A7E");

    ASSERT_TRUE(
        fcsim::CSimState::WriteFileAtomic(m_dir.Path() + "/inventory.json", "{\"vms\": 1}"));
    EXPECT_FALSE(fresh.Load(state, err));
    EXPECT_FALSE(err.empty());
}

}  // namespace
