// The FusionStorage facade, under a fake clock: nothing really sleeps.
#include <gtest/gtest.h>

#include "EvDebug.h"
#include "FsFakeTools.h"
#include "FusionStorageAPI.h"
#include "NxClock.h"
#include "WzUtil.h"

namespace {

class FusionStorageAPITest : public ::testing::Test {
protected:
    void SetUp() override {
        tools.Prepare(api.GetCLI());
        clusterInfo = tools.Dir() + "/vbs_cluster_info";
        api.SetClusterInfoFile(clusterInfo);
    }

    void Initialize() {
        tools.Write("vbs_cluster_info", "vbs_manager_ips=10.0.0.1,10.0.0.2\n");
        ASSERT_TRUE(api.Initialize("192.168.0.9")) << log.Dump();
        tools.ClearRuns();
        log.Clear();
    }

    std::string ManagerIps(const std::string& fileText) {
        tools.Write("vbs_cluster_info", fileText);
        EXPECT_TRUE(api.LoadClusterInfo()) << log.Dump();
        return api.GetManagerIps();
    }

    CFsFakeTools tools;
    CFusionStorageAPI api;
    std::string clusterInfo;
    EvLogCapture log;
};

}  // namespace

TEST_F(FusionStorageAPITest, ClusterInfo) {
    EXPECT_EQ(ManagerIps("[vbs]\nvbs_manager_ips=10.0.0.1,10.0.0.2,\nvbs_port=10001\n"),
              "10.0.0.1,10.0.0.2");
    EXPECT_TRUE(log.Contains("FusionStorage Management Cluster IPs: [10.0.0.1,10.0.0.2]"));
    // The last line without a line feed is read to the end; every trailing comma goes.
    EXPECT_EQ(ManagerIps("a=1\nvbs_manager_ips=10.0.0.3,,"), "10.0.0.3");
    // Only commas are trimmed: a carriage return before the line feed stays.
    EXPECT_EQ(ManagerIps("vbs_manager_ips=10.0.0.4\r\n"), "10.0.0.4\r");
    // The first entry counts; an empty one is accepted.
    EXPECT_EQ(ManagerIps("vbs_manager_ips=\nvbs_manager_ips=10.0.0.5\n"), "");
}

TEST_F(FusionStorageAPITest, ClusterInfoFailures) {
    // No file: false, and nothing logged.
    EXPECT_FALSE(api.LoadClusterInfo());
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();

    tools.Write("vbs_cluster_info", "vbs_manager_ip=10.0.0.1\n");
    EXPECT_FALSE(api.LoadClusterInfo());
    EXPECT_TRUE(FsLoggedError(
        log, "Failed to find vbs manager ip in cluster info file [" + clusterInfo + "]"))
        << log.Dump();

    // A folder in the file's place cannot be read.
    FXPath::RemoveAll(clusterInfo);
    FXPath::CreateDirectories(clusterInfo);
    EXPECT_FALSE(api.LoadClusterInfo());
    EXPECT_TRUE(log.Contains("Failed to read cluster info file [" + clusterInfo + "]"));
}

// Without a file set or named by FC_FS_CLUSTER_INFO (which diskaccess/test_diskinfo_fusionstorage
// uses), the cluster information is read where the storage's tools keep it.
TEST(FusionStorageAPIClusterInfo, FileIsTheToolsOwnByDefault) {
    EXPECT_EQ(CFusionStorageAPI().GetClusterInfoFile(),
              std::string(CFusionStorageAPI::c_szClusterInfoFile));
}

TEST_F(FusionStorageAPITest, Initialize) {
    // Without cluster information nothing runs.
    EXPECT_FALSE(api.Initialize("192.168.0.9"));
    EXPECT_FALSE(api.IsInitialized());
    EXPECT_EQ(tools.VbsCliRuns() + tools.JavaRuns(), 0);

    // A tool that does not start leaves the facade unavailable.
    tools.Write("vbs_cluster_info", "vbs_manager_ips=10.0.0.1,10.0.0.2,\n");
    tools.SetJava("", 1);
    EXPECT_FALSE(api.Initialize("192.168.0.9"));
    EXPECT_FALSE(api.IsInitialized());

    tools.SetJava("");
    EXPECT_TRUE(api.Initialize("192.168.0.9"));
    EXPECT_TRUE(api.IsInitialized());  // the addresses it passes on: ForwardsTheBitmapQuery
}

// The operations the disk access service calls are seen forwarded in its FusionStorage test
// (diskaccess/test_diskinfo_fusionstorage); the service never queries a bitmap volume itself.
TEST_F(FusionStorageAPITest, ForwardsTheBitmapQuery) {
    Initialize();
    uint32_t status = 5;
    uint32_t blockSize = 0;
    tools.SetJava("status=0,block_size=1024\n");
    EXPECT_TRUE(api.QueryBitmapVolume("b", status, blockSize));
    EXPECT_EQ(blockSize, 1024u);
    EXPECT_EQ(tools.JavaArgs(), FsJavaArgs("10.0.0.1,10.0.0.2", "192.168.0.9",
                                           {"--op", "queryBitmapVolume", "--volName", "b"}));
}

// The wait queries once more than its limit allows pauses for (22 queries by default), pausing
// 10 s between queries, and stops at the first ready answer.
TEST_F(FusionStorageAPITest, BitmapWaitIsBoundedByItsLimit) {
    struct SCase {
        const char* name;
        const char* limit;  // nMaxQueryBitMapAttempts, or null for the default
        int notReady;       // queries answered "not ready" before the ready one
        bool ready;
        int queries;
        size_t pauses;
    };
    const std::vector<SCase> cases = {{"default limit", nullptr, 1000, false, 22, 21},
                                      {"limit zero", "0", 1000, false, 2, 1},
                                      {"ready in time", "5", 3, true, 4, 3}};
    for (const SCase& c : cases) {
        Initialize();
        if (c.limit) tools.SetConfig({{"nMaxQueryBitMapAttempts", c.limit}});
        CFakeClock clock;
        tools.SetBitmapNotReady(c.notReady);
        uint32_t blockSize = 0;
        EXPECT_EQ(api.CreateBitmapVolume("s-bitmap", "r", "s", blockSize), c.ready) << c.name;
        if (c.ready) {
            EXPECT_EQ(blockSize, 512u) << c.name;
        }
        EXPECT_EQ(tools.JavaRuns(), 1 + c.queries) << c.name;  // the creation, then the queries
        EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>(c.pauses, 10000u)) << c.name;
        EXPECT_EQ(tools.JavaArgs()[8], "queryBitmapVolume") << c.name;
        // A volume that never became ready is deleted; a ready one is the caller's.
        EXPECT_EQ(tools.VbsCliRuns(), c.ready ? 0 : 1) << c.name;
        if (!c.ready) {
            EXPECT_EQ(tools.VbsCliArgs(),
                      std::vector<std::string>({"-c", "deletevolume", "-v", "s-bitmap"}));
        }
    }
}

TEST_F(FusionStorageAPITest, BitmapWaitStopsOnFailures) {
    Initialize();
    CFakeClock clock;
    uint32_t blockSize = 0;
    // The creation fails: no query.
    tools.SetJava("", 1);
    EXPECT_FALSE(api.CreateBitmapVolume("s-bitmap", "", "s", blockSize));
    EXPECT_EQ(tools.JavaRuns(), 1);
    // A query fails: no further query, no pause.
    tools.ClearRuns();
    tools.SetJava("status=ready\n");
    EXPECT_FALSE(api.CreateBitmapVolume("s-bitmap", "", "s", blockSize));
    EXPECT_EQ(tools.JavaRuns(), 2);
    EXPECT_TRUE(clock.Sleeps().empty());
    // Only the volume that was created is deleted.
    EXPECT_EQ(tools.VbsCliRuns(), 1);
}
