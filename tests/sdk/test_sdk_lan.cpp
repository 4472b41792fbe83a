// Our backup SDK against the simulator's CNA server: LAN writes land on the disk and are
// seen over SAN; the CNA's refusals and faults come back as failures. (Whole-disk reads over
// every transport: diskaccess/test_diskinfo_sim.)
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "CnaServer.h"
#include "SdkUnderTest.h"
#include "SimDisk.h"
#include "SimState.h"
#include "TempDir.h"

namespace {

constexpr uint64_t kDiskSize = 16ull << 20;

class SdkLan : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, sdk.pLibrary) << dlerror();
        // The simulator's state lies on the storage the SAN device folder presents.
        std::filesystem::create_directories(root + "/dev");
        state = std::make_unique<fcsim::CSimState>(root + "/dev/state");
        disk = fctest::WriteSimDisk(*state, "vm-disk-0", {});
        std::filesystem::resize_file(disk, kDiskSize);
        ASSERT_TRUE(fctest::LeaseSimDisk(*state, "acc", "tok", "vm-disk-0", true));
        server = std::make_unique<fcsim::CCnaServer>(*state);
        ASSERT_TRUE(server->Start("127.0.0.1", 0));
        std::string error;
        ASSERT_TRUE(fcsim::ExposeSanLuns(root + "/dev", {"lun-A"}, error)) << error;
        devices = std::make_unique<CScopedEnv>("FC_SAN_DEVICE_DIR", root + "/dev");
    }
    void TearDown() override { server->Stop(); }
    void* Open(bool lan, bool writable, uint32_t& handle, const char* token = "tok") {
        void* inst = sdk.NXFusionSphereSDK_CreateInstance(lan ? 1 : 0);
        if (!inst) return nullptr;
        if (!sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", server->Port(), token, 0, "") ||
            !sdk.NXFusionSphereSDK_OpenDisk(inst, luns, disk.c_str(), writable ? 1 : 0, &handle,
                                            lan ? 1 : 0)) {
            sdk.NXFusionSphereSDK_DestroyInstance(inst);
            return nullptr;
        }
        return inst;
    }
    void Close(void* inst, uint32_t handle) {
        sdk.NXFusionSphereSDK_CloseDisk(inst, handle);
        sdk.NXFusionSphereSDK_DisConnectCNA(inst);
        sdk.NXFusionSphereSDK_DestroyInstance(inst);
    }

    SSdkUnderTest sdk;
    CTempDir tmp;
    std::string root = tmp.Path(), disk;
    std::unique_ptr<CScopedEnv> devices;
    std::unique_ptr<fcsim::CSimState> state;
    std::unique_ptr<fcsim::CCnaServer> server;
    const char* luns[2] = {"lun-A", nullptr};
};

TEST_F(SdkLan, LanWritesReachTheDiskAndAreTracked) {
    uint32_t h = 0;
    void* lan = Open(true, true, h);
    ASSERT_NE(nullptr, lan) << SSdkUnderTest::AllErrors();
    std::vector<uint8_t> block(64 * 1024);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i ^ 0xA5);
    uint64_t count = block.size();
    uint64_t before = state->ChangeSeq("vm-disk-0");
    ASSERT_TRUE(
        sdk.NXFusionSphereSDK_WriteDisk(lan, h, 5 << 20, block.size(), block.data(), &count));
    EXPECT_EQ(block.size(), count);
    Close(lan, h);
    EXPECT_EQ(1u, state->WritesBetween("vm-disk-0", before, state->ChangeSeq("vm-disk-0")).size());

    uint32_t sh = 0;
    void* san = Open(false, false, sh);
    ASSERT_NE(nullptr, san);
    std::vector<uint8_t> back(block.size());
    ASSERT_TRUE(sdk.NXFusionSphereSDK_ReadDisk(san, sh, 5 << 20, back.size(), back.data(), &count));
    EXPECT_EQ(block, back);
    Close(san, sh);
}

TEST_F(SdkLan, RefusalsAndFaultsComeBackAsFailures) {
    uint32_t h = 0;
    EXPECT_EQ(nullptr, Open(true, false, h, "wrong-token"));
    EXPECT_TRUE(SSdkUnderTest::ErrorContains("status 3")) << SSdkUnderTest::AllErrors();

    void* lan = Open(true, false, h);
    ASSERT_NE(nullptr, lan);
    fcsim::SCnaFaultRule wrong;
    wrong.eOp = fcsim::ECnaOp::Read;
    wrong.eAction = fcsim::ECnaFaultAction::WrongSequence;
    server->AddFault(wrong);
    std::vector<uint8_t> buf(4096);
    uint64_t count = buf.size();
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(lan, h, 0, buf.size(), buf.data(), &count));
    EXPECT_TRUE(SSdkUnderTest::ErrorContains("CNA answered sequence"));
    // The connection was dropped: the next read fails at once instead of reading stale bytes.
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(lan, h, 0, buf.size(), buf.data(), &count));
    Close(lan, h);

    // Nothing listens on a stopped server.
    uint16_t port = server->Port();
    server->Stop();
    void* inst = sdk.NXFusionSphereSDK_CreateInstance(1);
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", port, "tok", 0, ""));
    sdk.NXFusionSphereSDK_DestroyInstance(inst);
}

}  // namespace
