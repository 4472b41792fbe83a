// The CVMInfo base: last error, discovery checks, filter dispatch, mount folder, BIOS identity.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "StubVMInfo.h"
#include "TempDir.h"
#include "VMInfo.h"
#include "WzUtil.h"

using namespace VMInfoStructs;

namespace {

// The IVMInfo operations are the plug-in's; a test object only needs them to exist.
class CTestVMInfo : public fctest::CStubVMInfo {
public:
    std::vector<std::string> calls;

    // Records which virtual each rule reached; a rule text "hit" filters the disk.
    bool IsDiskFilteredByPattern(const string& r, const SDisk&) override {
        return Note("pattern", r);
    }
    bool IsDiskFilteredByVirtualDeviceNode(const string& r, const SDisk&) override {
        return Note("node", r);
    }
    bool IsDiskFilteredByDatastore(MountCtx&, const string& r, const SDisk&) override {
        return Note("ds", r);
    }
    bool IsDiskFilteredByPath(const string& r, const SDisk&) override { return Note("path", r); }
    bool IsDiskFilteredByLabel(const string& r, const SDisk&) override { return Note("label", r); }
    bool IsDiskFilteredByType(const string& r, const SDisk&) override { return Note("type", r); }
    bool IsDiskFilteredByIndexPath(const string& r, const SDisk&) override {
        return Note("index", r);
    }
    bool IsDiskFilteredByTag(const string& r, const SDisk&) override { return Note("tag", r); }

    std::vector<SHostInfo>& Hosts() { return vecHostInfoCache; }
    std::vector<SDatastoreInfo>& Datastores() { return vecDSInfoCache; }
    UINT64 LastDSFlags() const { return ullLastDSFlags; }
    int LastDSRequest() const { return nLastDSRequest; }

private:
    bool Note(const char* kind, const string& rule) {
        calls.push_back(std::string(kind) + ":" + rule);
        return rule == "hit";
    }
};

}  // namespace

TEST(VMInfoTest, LastErrorAndDetails) {
    CTestVMInfo info;
    auto last = [&] {
        return std::to_string(info.GetLastVMError()) + " [" + info.GetLastVMErrorDetails() + "]";
    };
    EXPECT_EQ(info.Init(0), 1);
    EXPECT_EQ(last(), "0 []");
    info.SetLastVMError(VMINFO_ERR_SNAPSHOT, "quota exceeded");
    EXPECT_EQ(last(), "39 [quota exceeded]");
    info.SetLastVMError(VMINFO_ERR_HOST_DS_QUERY);
    EXPECT_EQ(last(), "6 [quota exceeded]") << "a code alone keeps the details";
    info.SetLastVMErrorDetails("bridge text");
    EXPECT_EQ(last(), "6 [bridge text]");
    info.SetLastVMError(VMINFO_ERR_NONE);
    EXPECT_EQ(last(), "0 []") << "code 0 resets";
    info.SetLastVMError(VMINFO_ERR_NONE, "ignored");
    EXPECT_EQ(last(), "0 []");
}

TEST(VMInfoTest, HostDiscoveryRequests) {
    CTestVMInfo info;
    EXPECT_TRUE(info.IsNewHostDiscoveryReq(0x2000000, 5)) << "empty cache";
    info.Hosts().push_back(SHostInfo());
    EXPECT_TRUE(info.IsNewHostDiscoveryReq(0x2000000, 5)) << "no request recorded yet";
    EXPECT_TRUE(info.CVMInfo::_RefreshHostInfoCache(0x2000000, 5));
    EXPECT_FALSE(info.IsNewHostDiscoveryReq(0x2000000, 5));
    EXPECT_FALSE(info.IsNewHostDiscoveryReq(0x2000000, 5)) << "the check itself records nothing";
    // (Another request number: QueryTest.RefillsRunOnlyForNewRequestsAndClearFirst.)
    EXPECT_TRUE(info.IsNewHostDiscoveryReq(0x2000001, 5));
    info.Hosts().clear();
    EXPECT_TRUE(info.IsNewHostDiscoveryReq(0x2000000, 5)) << "a cleared cache must be refilled";
    info.Hosts().push_back(SHostInfo());
    info.ResetCaches();
    EXPECT_TRUE(info.Hosts().empty());
    info.Hosts().push_back(SHostInfo());
    EXPECT_TRUE(info.IsNewHostDiscoveryReq(0x2000000, 5))
        << "ResetCaches forgets the recorded request";
    EXPECT_TRUE(info.CVMInfo::_RefreshHostInfoCache(0, 0));
    EXPECT_TRUE(info.IsNewHostDiscoveryReq(0, 0)) << "request 0 is never answered from the cache";
}

TEST(VMInfoTest, DatastoreDiscoveryRequests) {
    CTestVMInfo info;
    EXPECT_TRUE(info.IsNewDiscoveryReq(0, 4, 7, 4, 7)) << "empty cache";
    EXPECT_FALSE(info.IsNewDiscoveryReq(3, 4, 7, 4, 7));
    EXPECT_TRUE(info.IsNewDiscoveryReq(3, 4, 7, 5, 7));
    EXPECT_TRUE(info.IsNewDiscoveryReq(3, 4, 7, 4, 8));
    EXPECT_TRUE(info.IsNewDiscoveryReq(3, 4, 0, 4, 0));

    // The base refills record the request that the datastore cache now answers.
    info.Datastores().resize(2);
    EXPECT_TRUE(info.CVMInfo::_RefreshClusterInfoCache(0x400000000ULL, 12));
    EXPECT_EQ(info.LastDSFlags(), 0x400000000ULL);
    EXPECT_EQ(info.LastDSRequest(), 12);
    EXPECT_FALSE(info.IsNewDiscoveryReq(info.Datastores().size(), info.LastDSFlags(),
                                        info.LastDSRequest(), 0x400000000ULL, 12));
    info.ResetCaches();
    EXPECT_TRUE(info.Datastores().empty());
    EXPECT_EQ(info.LastDSFlags(), 0u);
    EXPECT_EQ(info.LastDSRequest(), 0);
}

TEST(VMInfoTest, DiskFilterRulesDispatchByKindInOrder) {
    CTestVMInfo info;
    MountCtx ctx;
    SDisk disk;
    EXPECT_FALSE(info.IsDiskFiltered(ctx, disk)) << "no rules: nothing filtered";
    ctx.vecDiskFilters = {{DISK_FILTER_PATH, "p"},
                          {DISK_FILTER_LABEL, "l"},
                          {DISK_FILTER_TYPE, "t"},
                          {DISK_FILTER_INDEX_PATH, "i"},
                          {DISK_FILTER_TAG, "g"},
                          {DISK_FILTER_PATTERN, "pat"},
                          {DISK_FILTER_VIRTUAL_DEVICE_NODE, "n"},
                          {DISK_FILTER_DATASTORE, "d"},
                          {static_cast<EDiskFilterKind>(99), "odd"}};
    EXPECT_FALSE(info.IsDiskFiltered(ctx, disk));
    EXPECT_EQ(info.calls, (std::vector<std::string>{"path:p", "label:l", "type:t", "index:i",
                                                    "tag:g", "pattern:pat", "node:n", "ds:d"}));

    info.calls.clear();
    ctx.vecDiskFilters = {{DISK_FILTER_DATASTORE, "miss"},
                          {DISK_FILTER_PATTERN, "hit"},
                          {DISK_FILTER_TAG, "never reached"}};
    EXPECT_TRUE(info.IsDiskFiltered(ctx, disk));
    EXPECT_EQ(info.calls, (std::vector<std::string>{"ds:miss", "pattern:hit"}));
    EXPECT_FALSE(info.CVMInfo::IsDiskFilteredByPattern("*", disk)) << "the base excludes nothing";
}

TEST(VMInfoTest, MountFolderIsCreatedEmptiedAndRemoved) {
    CTempDir dir;
    CTestVMInfo info;
    std::string mount = dir.File("jobs/17/mount");
    ASSERT_EQ(info._PrepareMountPathDirectory(mount, true), 1);
    EXPECT_TRUE(CWzPath::IsDirectory(mount));

    // Left-overs of an earlier job are removed; what a link points to is not.
    CTempDir outside;
    std::string precious = outside.Write("precious", "keep");
    dir.Write("jobs/17/mount/old.ovf", "x");
    dir.Write("jobs/17/mount/.hidden", "x");
    dir.Write("jobs/17/mount/sub/deeper/file", "x");
    ASSERT_EQ(::symlink(outside.Path().c_str(), dir.File("jobs/17/mount/link").c_str()), 0);
    ASSERT_EQ(::symlink(outside.Path().c_str(), dir.File("jobs/17/mount/sub/link").c_str()), 0);
    ASSERT_EQ(info._PrepareMountPathDirectory(mount, true), 1);
    EXPECT_TRUE(std::filesystem::is_empty(mount));
    EXPECT_TRUE(CWzPath::IsFile(precious));

    dir.Write("jobs/17/mount/new.json", "{}");
    ASSERT_EQ(info._PrepareMountPathDirectory(mount, false), 1);
    EXPECT_FALSE(CWzPath::Exists(mount));
    EXPECT_TRUE(CWzPath::IsDirectory(dir.File("jobs/17"))) << "only the mount folder goes";
    EXPECT_EQ(info._PrepareMountPathDirectory(mount, false), 1) << "already gone is fine";

    EvLogCapture capture;
    // Only the empty path here: the root cases are proved on FXPath::IsRootFolder, so that a
    // broken guard can never make this test empty the machine's root folder.
    EXPECT_EQ(info._PrepareMountPathDirectory("", true), 0);
    EXPECT_EQ(info._PrepareMountPathDirectory("", false), 0);
    EXPECT_TRUE(capture.Contains("Refusing mount path"));
    std::string file = dir.Write("a-file", "x");
    EXPECT_EQ(info._PrepareMountPathDirectory(file, true), 0);
    EXPECT_EQ(info._PrepareMountPathDirectory(file + "/sub", true), 0);
    EXPECT_TRUE(CWzPath::IsFile(file)) << "a file in the way is left alone";
}

// (No vendor file, and each value read without its line feed:
// PluginLifecycle.ConstructorLogsAndNonXenOrMissingBiosLeavesNoGuid.)
TEST(VMInfoTest, BiosInfoFromDmiFolder) {
    CTempDir dir;
    CScopedEnv env("FC_DMI_DIR", dir.Path().c_str());
    std::string vendor = "x", serial = "x", uuid = "x", product = "x";
    dir.Write("sys_vendor", "Xen\n");
    dir.Write("product_name", "HVM domU\n");
    ASSERT_TRUE(CVMInfo::getBiosInfo(vendor, serial, uuid, product));
    EXPECT_EQ(serial, "") << "an unreadable serial is empty";
    EXPECT_EQ(uuid, "");
    EXPECT_EQ(product, "HVM domU");
}
