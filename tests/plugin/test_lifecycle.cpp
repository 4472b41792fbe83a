// The plug-in object's life: connection, its error reporting, and the proxy VM's identity.
#include <atomic>
#include <memory>
#include <thread>

#include "PluginTestUtil.h"

using namespace fcplugintest;

namespace {

const char* const kPassword = "pa%ss-W0rd!";

// An override of the four-argument form, which the three-argument form reaches through the
// virtual table.
struct CCountingPlugin : CTestPlugin {
    using CTestPlugin::CTestPlugin;
    int nCalls = 0;
    size_t nCredentials = 99;
    int Connect(const string& u, const string& n, const string& p,
                const std::vector<SHostCredentials>& c) override {
        ++nCalls;
        nCredentials = c.size();
        return CTestPlugin::Connect(u, n, p, c);
    }
    using CTestPlugin::Connect;
};

// The password never reaches the log.
TEST(PluginConnect, StoresAndResetsEvenWhenRefusedAndReconnectsThroughTheOverride) {
    auto* bridge = new StrictMock<CMockBridge>();
    CCountingPlugin plugin(bridge);
    plugin.vecHostInfoCache.push_back(SHostInfo());
    plugin.vecDSInfoCache.push_back(SDatastoreInfo());
    EXPECT_CALL(*bridge, Connect("https://fc.example:7443", "backup", kPassword))
        .WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillRepeatedly(Return("401 Unauthorized: bad login"));

    EvLogCapture capture;
    EXPECT_EQ(0, plugin.Connect("https://fc.example:7443", "backup", kPassword));
    EXPECT_EQ(std::string("https://fc.example:7443 backup ") + kPassword,
              plugin.strURL + " " + plugin.strUser + " " + plugin.strPassword);
    EXPECT_TRUE(plugin.vecHostInfoCache.empty());
    EXPECT_TRUE(plugin.vecDSInfoCache.empty());
    EXPECT_EQ(SFailure(VMINFO_ERR_CONNECT, "401 Unauthorized: bad login"), LastFailure(plugin));
    EXPECT_TRUE(capture.Contains("Connect failed [401 Unauthorized: bad login]")) << capture.Dump();
    EXPECT_TRUE(capture.Contains("Connecting to Url=[https://fc.example:7443] User=[backup]"));
    EXPECT_FALSE(capture.Contains("pa%ss")) << capture.Dump();

    EXPECT_CALL(*bridge, Connect("https://two", "b", kPassword)).WillOnce(Return(true));
    EXPECT_EQ(0, plugin.Disconnect());
    capture.Clear();
    plugin.SetLastVMError(VMINFO_ERR_SNAPSHOT);
    EXPECT_EQ(1, plugin.Connect("https://two", "b", kPassword));
    EXPECT_EQ("https://two", plugin.strURL);
    EXPECT_EQ(2, plugin.nCalls);
    EXPECT_EQ(0u, plugin.nCredentials);
    EXPECT_EQ(VMINFO_ERR_SNAPSHOT, plugin.GetLastVMError());
    EXPECT_FALSE(capture.Contains("Connect failed"));
    EXPECT_FALSE(capture.Contains("pa%ss")) << capture.Dump();
    EXPECT_EQ(1, plugin.DeInit(true));
}

TEST(PluginLifecycle, ConstructorLogsAndNonXenOrMissingBiosLeavesNoGuid) {
    EvLogCapture capture;
    {
        CScopedBios bios("VMware, Inc.", "4c4c4544-0000-1111-2222-333333333333");
        CTestPlugin plugin(new StrictMock<CMockBridge>());
        EXPECT_EQ(1, plugin.Init(0));
        EXPECT_EQ(VSINSTANCE_FUSIONCOMPUTE, plugin.GetInstanceType());
        SVMInfo vm;
        // No local GUID: no bridge call (the strict double would fail) and no error.
        EXPECT_EQ(0, plugin.GetLocalVMInfo(vm, 0, 0));
        EXPECT_EQ(VMINFO_ERR_NONE, plugin.GetLastVMError());
    }
    EXPECT_EQ(1u, capture.Count("Start >>>"));
    EXPECT_EQ(1u, capture.Count("End <<<"));
    EXPECT_TRUE(
        capture.Contains("Bios Manufacturer [VMware, Inc.]  Serial Number [SN-0001]  UUID "
                         "[4c4c4544-0000-1111-2222-333333333333]"))
        << capture.Dump();
    EXPECT_FALSE(capture.Contains("Local VM Guid"));

    CTempDir empty;
    std::unique_ptr<CScopedEnv> dmi = std::make_unique<CScopedEnv>("FC_DMI_DIR", empty.Path());
    CTestPlugin plugin(new StrictMock<CMockBridge>());
    dmi.reset();
    EXPECT_TRUE(capture.Contains("Unable to get BIOS Serial Number")) << capture.Dump();
    EXPECT_EQ(1, plugin.Init(0));
}

// Each Xen case runs in a fresh process: the detected GUID is process-wide and never reset.
// The child exits 0 when every check holds and prints what went wrong otherwise.
[[noreturn]] void XenChild(const std::string& vendor, const std::string& expectedGuid) {
    CScopedBios bios(vendor, "6f1d0f4e-6a33-4f55-9d3c-2b8a2e8c1a01");
    {
        EvLogCapture capture;
        CTestPlugin first(new StrictMock<CMockBridge>());
        CTestPlugin second(new StrictMock<CMockBridge>());
        EXPECT_EQ(expectedGuid, CFusionComputeInfo::GetLocalVMGuid());
        // Once detected, later objects do not ask the BIOS again; until then each one does.
        EXPECT_EQ(expectedGuid.empty() ? 2u : 1u, capture.Count("Bios Manufacturer ["));
        EXPECT_EQ(!expectedGuid.empty(),
                  capture.Contains("Local VM Guid [6f1d0f4e-6a33-4f55-9d3c-2b8a2e8c1a01]"))
            << capture.Dump();
    }
    std::exit(::testing::Test::HasFailure() ? 1 : 0);
}

TEST(PluginLocalVMDeathTest, XenInAnyLetterCaseAndOnlyTheWholeNameIsRecognised) {
    const char* const guid = "6f1d0f4e-6a33-4f55-9d3c-2b8a2e8c1a01";
    const std::pair<const char*, const char*> cases[] = {
        {"Xen", guid}, {"XEN", guid}, {"xen", guid}, {"Xen HVM domU", ""}, {"Xe", ""}};
    for (const auto& c : cases)
        EXPECT_EXIT(XenChild(c.first, c.second), ::testing::ExitedWithCode(0), "") << c.first;
}

// Objects created at once on several threads share one BIOS query and all see the same GUID;
// readers that run meanwhile see either no GUID or the whole one, never a part. Then the local
// VM and host are looked up with it.
[[noreturn]] void ConcurrentChild() {
    const std::string kGuid = "0a0b0c0d-1111-2222-3333-444455556666";
    CScopedBios bios("Xen", kGuid);
    EvLogCapture capture;
    const int kCreators = 6, kReaders = 3;
    std::atomic<bool> go{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    std::vector<std::string> seen(kCreators);
    for (int i = 0; i < kReaders; ++i)
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int n = 0; n < 200000; ++n) {
                std::string guid = CFusionComputeInfo::GetLocalVMGuid();
                if (!guid.empty() && guid != kGuid) ++torn;
                if (guid == kGuid) break;
            }
        });
    for (int i = 0; i < kCreators; ++i)
        threads.emplace_back([i, &seen, &go] {
            while (!go) std::this_thread::yield();
            for (int round = 0; round < 5; ++round) {
                CTestPlugin plugin(new ::testing::NiceMock<CMockBridge>());
                std::string guid = CFusionComputeInfo::GetLocalVMGuid();
                if (!guid.empty()) seen[i] = guid;
            }
        });
    go = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(1u, capture.Count("Bios Manufacturer ["));
    EXPECT_EQ(std::vector<std::string>(kCreators, kGuid), seen);
    EXPECT_EQ(0, torn.load()) << "partial reads";

    // With the GUID detected, the local VM is looked up by it with bit 0 set, and the local host
    // by the VM's host name with the caller's flags only.
    auto* bridge = new StrictMock<CMockBridge>();
    {
        CTestPlugin plugin(bridge);
        SVMInfo local = VM("proxy", kGuid);
        local.strHostName = "cna-07";
        ::testing::InSequence order;
        EXPECT_CALL(*bridge, GetVMInfo("", "", kGuid, _, 0x1u)).WillOnce(Gives<3>(local));
        EXPECT_CALL(*bridge, GetHostInfo("cna-07", "", _, 0x2000000u)).WillOnce(Return(true));
        EXPECT_CALL(*bridge, GetVMInfo("", "", kGuid, _, 0x41u)).WillOnce(Return(false));
        EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("VM gone"));
        SHostInfo host;
        EXPECT_EQ(1, plugin.GetLocalHostInfo(host, 0x2000000, 7));
        SVMInfo vm;
        EXPECT_EQ(0, plugin.GetLocalVMInfo(vm, 0x40, 3));
        EXPECT_EQ(SFailure(VMINFO_ERR_GET_VM_INFO, "VM gone"), LastFailure(plugin));
    }
    std::exit(::testing::Test::HasFailure() ? 1 : 0);
}

TEST(PluginLocalVMDeathTest, OneBiosQueryAcrossThreadsAndTheLocalVMFoundByIt) {
    EXPECT_EXIT(ConcurrentChild(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
