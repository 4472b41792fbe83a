// Disk filters: letter-case rules of the three overrides and how the framework reaches them.
#include "PluginTestUtil.h"

using namespace fcplugintest;

namespace {

class FilterTest : public ::testing::Test {
protected:
    CTestPlugin plugin{new StrictMock<CMockBridge>()};
    MountCtx ctx;
    SDisk disk;

    void SetUp() override {
        disk.strName = "disk-key";
        disk.strDisplayName = "Data_Disk-01";
        disk.strDatastore = "SAN-Store";
        disk.strControllerType = "scsi";
        disk.nUnitNumber = 3;
    }
};

TEST_F(FilterTest, DatastoreIgnoresLetterCase) {
    EvLogCapture capture;
    EXPECT_TRUE(plugin.IsDiskFilteredByDatastore(ctx, "san-store", disk));
    EXPECT_TRUE(capture.Contains("Disk [Data_Disk-01][disk-key] is filtered by [san-store]"));
    EXPECT_FALSE(plugin.IsDiskFilteredByDatastore(ctx, "SAN-Store2", disk));
    EXPECT_FALSE(plugin.IsDiskFilteredByDatastore(ctx, "", disk));
}

TEST_F(FilterTest, DeviceNodeIgnoresLetterCaseButNotTheNumberText) {
    EvLogCapture capture;
    EXPECT_TRUE(plugin.IsDiskFilteredByVirtualDeviceNode("SCSI.3", disk));
    EXPECT_TRUE(capture.Contains(
        "Disk [Data_Disk-01][disk-key] is filtered by Virtual Device Node [SCSI.3]"));
    EXPECT_FALSE(plugin.IsDiskFilteredByVirtualDeviceNode("scsi.03", disk));
    EXPECT_FALSE(plugin.IsDiskFilteredByVirtualDeviceNode("scsi", disk));
    disk.nUnitNumber = -2;
    EXPECT_TRUE(plugin.IsDiskFilteredByVirtualDeviceNode("scsi.-2", disk));
}

TEST_F(FilterTest, PatternIsCaseSensitive) {
    EvLogCapture capture;
    EXPECT_TRUE(plugin.IsDiskFilteredByPattern("Data_*", disk));
    EXPECT_TRUE(capture.Contains("Disk [Data_Disk-01][disk-key] is filtered by pattern [Data_*]"));
    EXPECT_TRUE(plugin.IsDiskFilteredByPattern("Data_Disk-0?", disk));
    EXPECT_FALSE(plugin.IsDiskFilteredByPattern("data_disk-01", disk));
    EXPECT_FALSE(plugin.IsDiskFilteredByPattern("DATA_*", disk));
    // The whole display name must match, not a part of it.
    EXPECT_FALSE(plugin.IsDiskFilteredByPattern("Data_Disk", disk));
    EXPECT_FALSE(plugin.IsDiskFilteredByPattern("Disk-01", disk));
    EXPECT_FALSE(plugin.IsDiskFilteredByPattern("Data_Disk-01x", disk));
    EXPECT_TRUE(plugin.IsDiskFilteredByPattern("*Disk-01", disk));
}

TEST_F(FilterTest, EmptyDiskMatchesOnlyAnEmptyDatastoreRule) {
    SDisk empty;
    EXPECT_TRUE(plugin.IsDiskFilteredByDatastore(ctx, "", empty));
    EXPECT_FALSE(plugin.IsDiskFilteredByVirtualDeviceNode("", empty));
    EXPECT_TRUE(plugin.IsDiskFilteredByVirtualDeviceNode(".0", empty));
}

}  // namespace
