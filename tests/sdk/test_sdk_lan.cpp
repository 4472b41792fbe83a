// Our backup SDK's LAN transport against the simulator's CNA server: the CNA's refusals and
// faults come back as failures. (Data over LAN: the backups and restores with the backup SDK
// in plugin/test_flows_e2e; writes the CNA tracks: diskaccess/test_socket_against_cna.)
#include <gtest/gtest.h>

#include "CnaServer.h"
#include "SdkUnderTest.h"
#include "SimDisk.h"
#include "SimState.h"
#include "TempDir.h"

namespace {

TEST(SdkLan, RefusalsAndFaultsComeBackAsFailures) {
    SSdkUnderTest sdk;
    ASSERT_NE(nullptr, sdk.pLibrary) << dlerror();
    CTempDir tmp;
    fcsim::CSimState state(tmp.Path());
    const std::string disk = fctest::WriteSimDisk(state, "vm-disk-0", std::vector<uint8_t>(8192));
    ASSERT_TRUE(fctest::LeaseSimDisk(state, "acc", "tok", "vm-disk-0", true));
    fcsim::CCnaServer server(state);
    ASSERT_TRUE(server.Start("127.0.0.1", 0));
    void* inst = sdk.NXFusionSphereSDK_CreateInstance(1);
    ASSERT_TRUE(
        sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", server.Port(), "wrong-token", 0, ""));
    uint32_t h = 0;
    EXPECT_FALSE(sdk.NXFusionSphereSDK_OpenDisk(inst, nullptr, disk.c_str(), 0, &h, 1));
    EXPECT_TRUE(SSdkUnderTest::ErrorContains("status 3")) << SSdkUnderTest::AllErrors();
    sdk.NXFusionSphereSDK_DestroyInstance(inst);

    inst = sdk.NXFusionSphereSDK_CreateInstance(1);
    ASSERT_TRUE(sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", server.Port(), "tok", 0, ""));
    ASSERT_TRUE(sdk.NXFusionSphereSDK_OpenDisk(inst, nullptr, disk.c_str(), 0, &h, 1));
    fcsim::SCnaFaultRule wrong;
    wrong.eOp = fcsim::ECnaOp::Read;
    wrong.eAction = fcsim::ECnaFaultAction::WrongSequence;
    server.AddFault(wrong);
    std::vector<uint8_t> buf(4096);
    uint64_t count = buf.size();
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 0, buf.size(), buf.data(), &count));
    EXPECT_TRUE(SSdkUnderTest::ErrorContains("CNA answered sequence"));
    // The connection was dropped: the next read fails at once instead of reading stale bytes.
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 0, buf.size(), buf.data(), &count));
    sdk.NXFusionSphereSDK_DestroyInstance(inst);

    // Nothing listens on a stopped server.
    const uint16_t port = server.Port();
    server.Stop();
    inst = sdk.NXFusionSphereSDK_CreateInstance(1);
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", port, "tok", 0, ""));
    sdk.NXFusionSphereSDK_DestroyInstance(inst);
}

}  // namespace
