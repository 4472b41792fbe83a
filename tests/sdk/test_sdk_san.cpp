// Our backup SDK without a CNA: LUNs, SAN I/O on a local file, bad arguments, throwing loggers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "SdkUnderTest.h"
#include "TempDir.h"

namespace {

class SdkSan : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, sdk.pLibrary) << dlerror();
        tmp.Touch("dev/lun-1", "");
        tmp.Touch("dev/lun-2", "");
        // The disk lies on the storage the device folder presents.
        content.resize(1 << 20);
        for (size_t i = 0; i < content.size(); ++i) content[i] = char(i * 3 + (i >> 12));
        disk = tmp.Write("dev/disk.img", content);
    }
    void* OpenSan(bool writable, uint32_t& handle) {
        void* inst = sdk.NXFusionSphereSDK_CreateInstance(0);
        EXPECT_NE(nullptr, inst);
        EXPECT_TRUE(sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", 1, "token", 0, ""));
        EXPECT_TRUE(
            sdk.NXFusionSphereSDK_OpenDisk(inst, luns, disk.c_str(), writable ? 1 : 0, &handle, 0))
            << SSdkUnderTest::AllErrors();
        return inst;
    }

    SSdkUnderTest sdk;
    CTempDir tmp;
    std::string root = tmp.Path(), disk, content;
    CScopedEnv devices{"FC_SAN_DEVICE_DIR", root + "/dev"};
    const char* luns[3] = {"lun-1", "lun-2", nullptr};
};

TEST_F(SdkSan, LunsAttachOnlyWhenEveryOneResolvesInTheDeviceFolder) {
    EXPECT_TRUE(sdk.NXFusionSphereSDK_VerifyLUNAttached(luns));
    // A LUN identifier cannot point outside the device folder.
    tmp.Touch("escape", "");
    const char* refused[][3] = {
        {"lun-1", "lun-3", nullptr}, {nullptr}, {"../escape", nullptr}, {"..", nullptr}};
    for (const char** list : refused) EXPECT_FALSE(sdk.NXFusionSphereSDK_VerifyLUNAttached(list));
    // (No list at all: AThrowingLogCallbackNeverLeavesAnEntryPoint.)
    unsetenv("FC_SAN_DEVICE_DIR");
    EXPECT_FALSE(sdk.NXFusionSphereSDK_VerifyLUNAttached(luns));
}

TEST_F(SdkSan, ReadsAndWritesTheDiskFileDirectly) {
    uint32_t h = 0;
    void* inst = OpenSan(true, h);
    EXPECT_NE(0u, h);
    std::string buf(content.size(), '\0');
    uint64_t count = buf.size();
    ASSERT_TRUE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 0, buf.size(), &buf[0], &count));
    EXPECT_EQ(buf.size(), count);
    EXPECT_TRUE(content == buf);

    const std::string block(4096, '\xC3');
    std::string back(4096, '\0');
    ASSERT_TRUE(sdk.NXFusionSphereSDK_WriteDisk(inst, h, 8192, block.size(), block.data(), &count));
    ASSERT_TRUE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 8192, back.size(), &back[0], &count));
    EXPECT_EQ(block, back);

    // Past the end: refused, the disk does not grow.
    EXPECT_FALSE(
        sdk.NXFusionSphereSDK_ReadDisk(inst, h, content.size() - 512, 1024, &buf[0], &count));
    EXPECT_FALSE(
        sdk.NXFusionSphereSDK_WriteDisk(inst, h, content.size() - 512, 1024, &buf[0], &count));
    EXPECT_EQ(content.size(), std::filesystem::file_size(disk));
    // More than a 32-bit count in one call is refused before any I/O.
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 0, 1ull << 32, &buf[0], &count));
    EXPECT_TRUE(SSdkUnderTest::ErrorContains("Transfer of 4294967296 bytes is too large"));

    sdk.NXFusionSphereSDK_CloseDisk(inst, h);
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 0, 512, &buf[0], &count));
    sdk.NXFusionSphereSDK_DisConnectCNA(inst);
    sdk.NXFusionSphereSDK_DestroyInstance(inst);
}

// Whatever path the service names, only a file inside the device folder opens: every link is
// resolved before the test, and a folder named like it does not count.
TEST_F(SdkSan, TargetsOutsideTheDeviceFolderAreRefused) {
    namespace fs = std::filesystem;
    tmp.Touch("outside.img", std::string(4096, 'o'));
    tmp.Touch("dev2/disk.img", std::string(4096, 'o'));
    tmp.Touch("dev/sub/disk.img", std::string(4096, 'i'));
    fs::create_symlink(root + "/outside.img", root + "/dev/link-out.img");
    fs::create_symlink("/etc/passwd", root + "/dev/link-passwd");
    fs::create_symlink(root, root + "/dev/up");
    fs::create_symlink("sub/disk.img", root + "/dev/link-in.img");
    fs::create_symlink(root + "/dev", root + "/dev-link");
    const struct {
        std::string strTarget;
        bool bOpens;
    } cases[] = {
        {"/etc/passwd", false},
        {root + "/outside.img", false},
        {root + "/dev/../outside.img", false},
        {root + "/dev/sub/../../outside.img", false},
        {root + "/dev2/disk.img", false},
        {root + "/dev/link-out.img", false},
        {root + "/dev/link-passwd", false},
        {root + "/dev/up/outside.img", false},
        {root + "/dev", false},
        {root + "/dev/missing.img", false},
        {disk, true},
        {root + "/dev/sub/disk.img", true},
        {root + "/dev/sub/../disk.img", true},
        {root + "/dev/link-in.img", true},
        {root + "/dev-link/disk.img", true},
    };
    for (const auto& c : cases) {
        for (int writable : {0, 1}) {
            void* inst = sdk.NXFusionSphereSDK_CreateInstance(0);
            ASSERT_TRUE(sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", 1, "t", 0, ""));
            uint32_t h = 77;
            EXPECT_EQ(c.bOpens, sdk.NXFusionSphereSDK_OpenDisk(inst, luns, c.strTarget.c_str(),
                                                               writable, &h, 0))
                << c.strTarget << " writable " << writable << "\n"
                << SSdkUnderTest::AllErrors();
            if (!c.bOpens) {
                EXPECT_EQ(77u, h) << c.strTarget;
            }
            sdk.NXFusionSphereSDK_DestroyInstance(inst);
        }
    }
    EXPECT_TRUE(SSdkUnderTest::ErrorContains("lies outside the SAN device folder"));
    EXPECT_EQ(std::string(4096, 'o'), fctest::ReadWholeFile(root + "/outside.img"));
    // The device folder itself may be named through a link; a read-only open cannot write.
    CScopedEnv linked("FC_SAN_DEVICE_DIR", root + "/dev-link");
    uint32_t h = 0;
    void* inst = OpenSan(false, h);
    uint64_t count = 512;
    EXPECT_FALSE(sdk.NXFusionSphereSDK_WriteDisk(inst, h, 0, 512, content.data(), &count));
    sdk.NXFusionSphereSDK_DestroyInstance(inst);  // closes what is still open
}

TEST_F(SdkSan, BadArgumentsAreRefused) {
    void* inst = sdk.NXFusionSphereSDK_CreateInstance(0);
    uint32_t h = 77;
    // Not connected yet.
    EXPECT_FALSE(sdk.NXFusionSphereSDK_OpenDisk(inst, luns, disk.c_str(), 0, &h, 0));
    EXPECT_TRUE(sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", 1, "t", 0, ""));
    EXPECT_FALSE(sdk.NXFusionSphereSDK_OpenDisk(inst, luns, disk.c_str(), 0, nullptr, 0));
    EXPECT_FALSE(sdk.NXFusionSphereSDK_OpenDisk(inst, luns, disk.c_str(), 0, &h, 1));
    EXPECT_TRUE(SSdkUnderTest::ErrorContains("does not match the instance's SAN"));
    const char* missing[] = {"lun-9", nullptr};
    EXPECT_FALSE(sdk.NXFusionSphereSDK_OpenDisk(inst, missing, disk.c_str(), 0, &h, 0));
    EXPECT_EQ(77u, h);
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ConnectCNA(nullptr, "127.0.0.1", 1, "t", 0, ""));
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", 70000, "t", 0, ""));
    sdk.NXFusionSphereSDK_DestroyInstance(inst);
    sdk.NXFusionSphereSDK_DestroyInstance(nullptr);
}

void ThrowingSink(const char*) {
    throw std::runtime_error("the log sink is broken");
}

// Every entry point fails as its contract says while each error line it logs throws; an
// exception that left one (they are noexcept) would end the test program.
TEST_F(SdkSan, AThrowingLogCallbackNeverLeavesAnEntryPoint) {
    // An instance made while logging still works, to reach the later entry points.
    void* inst = sdk.NXFusionSphereSDK_CreateInstance(1);
    ASSERT_NE(nullptr, inst);
    sdk.NXFusionSphereSDK_SetupLogging(ThrowingSink, ThrowingSink, ThrowingSink, ThrowingSink,
                                       ThrowingSink, ThrowingSink);
    sdk.NXFusionSphereSDK_InitialSDK(1, 2, 3);
    EXPECT_FALSE(sdk.NXFusionSphereSDK_VerifyLUNAttached(nullptr));
    EXPECT_EQ(nullptr, sdk.NXFusionSphereSDK_CreateInstance(0));
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ConnectCNA(nullptr, nullptr, 0, nullptr, 0, ""));
    uint32_t h = 0;
    EXPECT_FALSE(sdk.NXFusionSphereSDK_OpenDisk(inst, nullptr, nullptr, 0, &h, 1));
    // Counts the protocol cannot carry are refused with an error line.
    char buffer[16] = {};
    uint64_t count = 0;
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(inst, 1, 0, 1ull << 33, buffer, &count));
    EXPECT_FALSE(sdk.NXFusionSphereSDK_WriteDisk(inst, 1, 0, 1ull << 33, buffer, &count));
    sdk.NXFusionSphereSDK_CloseDisk(inst, 1);
    sdk.NXFusionSphereSDK_DisConnectCNA(inst);
    sdk.NXFusionSphereSDK_DestroyInstance(inst);  // (the next test's SDK logs to OnError again)
}

}  // namespace
