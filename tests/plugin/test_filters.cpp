// Disk filters: letter-case rules of the three overrides and how the framework reaches them.
#include "PluginTestUtil.h"

using namespace fcplugintest;

namespace {

TEST(FilterTest, DatastoreAndDeviceNodeIgnoreLetterCaseThePatternDoesNot) {
    CTestPlugin plugin{new StrictMock<CMockBridge>()};
    MountCtx ctx;
    SDisk disk;
    disk.strName = "disk-key";
    disk.strDisplayName = "Data_Disk-01";
    disk.strDatastore = "SAN-Store";
    disk.strControllerType = "scsi";
    disk.nUnitNumber = 3;
    EvLogCapture capture;

    EXPECT_TRUE(plugin.IsDiskFilteredByDatastore(ctx, "san-store", disk));
    EXPECT_TRUE(capture.Contains("Disk [Data_Disk-01][disk-key] is filtered by [san-store]"));
    EXPECT_FALSE(plugin.IsDiskFilteredByDatastore(ctx, "SAN-Store2", disk));
    EXPECT_FALSE(plugin.IsDiskFilteredByDatastore(ctx, "", disk));
    EXPECT_TRUE(plugin.IsDiskFilteredByDatastore(ctx, "", SDisk()));

    // The device node's number is compared as text.
    EXPECT_TRUE(plugin.IsDiskFilteredByVirtualDeviceNode("SCSI.3", disk));
    EXPECT_TRUE(capture.Contains(
        "Disk [Data_Disk-01][disk-key] is filtered by Virtual Device Node [SCSI.3]"));
    EXPECT_FALSE(plugin.IsDiskFilteredByVirtualDeviceNode("scsi.03", disk));
    EXPECT_FALSE(plugin.IsDiskFilteredByVirtualDeviceNode("scsi", disk));
    // An empty disk's node is ".0", not the empty text.
    EXPECT_FALSE(plugin.IsDiskFilteredByVirtualDeviceNode("", SDisk()));
    EXPECT_TRUE(plugin.IsDiskFilteredByVirtualDeviceNode(".0", SDisk()));

    EXPECT_TRUE(plugin.IsDiskFilteredByPattern("Data_*", disk));
    EXPECT_TRUE(capture.Contains("Disk [Data_Disk-01][disk-key] is filtered by pattern [Data_*]"));
    for (const char* pattern : {"Data_Disk-0?", "*Disk-01"})
        EXPECT_TRUE(plugin.IsDiskFilteredByPattern(pattern, disk)) << pattern;
    // Letter case counts, and the whole display name must match, not a part of it.
    for (const char* pattern : {"data_disk-01", "DATA_*", "Data_Disk", "Disk-01", "Data_Disk-01x"})
        EXPECT_FALSE(plugin.IsDiskFilteredByPattern(pattern, disk)) << pattern;

    disk.nUnitNumber = -2;
    EXPECT_TRUE(plugin.IsDiskFilteredByVirtualDeviceNode("scsi.-2", disk));
}

}  // namespace
