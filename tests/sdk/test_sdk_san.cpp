// Our backup SDK without a CNA: its exports, the LUN test, SAN I/O on a local disk file,
// and the refusal of bad arguments.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "SdkUnderTest.h"
#include "TempDir.h"

namespace {

class SdkSan : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, sdk.pLibrary) << dlerror();
        std::filesystem::create_directories(root + "/dev");
        std::ofstream(root + "/dev/lun-1") << "";
        std::ofstream(root + "/dev/lun-2") << "";
        devices = std::make_unique<CScopedEnv>("FC_SAN_DEVICE_DIR", root + "/dev");
        // The disk lies on the storage the device folder presents.
        disk = root + "/dev/disk.img";
        content.resize(1 << 20);
        for (size_t i = 0; i < content.size(); ++i) content[i] = uint8_t(i * 3 + (i >> 12));
        std::ofstream(disk, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
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
    std::string root = tmp.Path(), disk;
    std::unique_ptr<CScopedEnv> devices;
    std::vector<uint8_t> content;
    const char* luns[3] = {"lun-1", "lun-2", nullptr};
};

TEST_F(SdkSan, LunsAttachOnlyWhenEveryOneResolvesInTheDeviceFolder) {
    EXPECT_TRUE(sdk.NXFusionSphereSDK_VerifyLUNAttached(luns));
    const char* missing[] = {"lun-1", "lun-3", nullptr};
    EXPECT_FALSE(sdk.NXFusionSphereSDK_VerifyLUNAttached(missing));
    const char* none[] = {nullptr};
    EXPECT_FALSE(sdk.NXFusionSphereSDK_VerifyLUNAttached(none));
    EXPECT_FALSE(sdk.NXFusionSphereSDK_VerifyLUNAttached(nullptr));
    // A LUN identifier cannot point outside the device folder.
    std::ofstream(root + "/escape") << "";
    const char* hostile[] = {"../escape", nullptr};
    EXPECT_FALSE(sdk.NXFusionSphereSDK_VerifyLUNAttached(hostile));
    const char* dots[] = {"..", nullptr};
    EXPECT_FALSE(sdk.NXFusionSphereSDK_VerifyLUNAttached(dots));
    unsetenv("FC_SAN_DEVICE_DIR");
    EXPECT_FALSE(sdk.NXFusionSphereSDK_VerifyLUNAttached(luns));
}

TEST_F(SdkSan, ReadsAndWritesTheDiskFileDirectly) {
    uint32_t h = 0;
    void* inst = OpenSan(true, h);
    EXPECT_NE(0u, h);
    std::vector<uint8_t> buf(content.size());
    uint64_t count = buf.size();
    ASSERT_TRUE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 0, buf.size(), buf.data(), &count));
    EXPECT_EQ(buf.size(), count);
    EXPECT_EQ(Fnv1a(content), Fnv1a(buf));

    std::vector<uint8_t> block(4096, 0xC3);
    ASSERT_TRUE(sdk.NXFusionSphereSDK_WriteDisk(inst, h, 8192, block.size(), block.data(), &count));
    std::vector<uint8_t> back(4096);
    ASSERT_TRUE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 8192, back.size(), back.data(), &count));
    EXPECT_EQ(block, back);

    // Past the end: refused, the disk does not grow.
    EXPECT_FALSE(
        sdk.NXFusionSphereSDK_ReadDisk(inst, h, content.size() - 512, 1024, buf.data(), &count));
    EXPECT_FALSE(
        sdk.NXFusionSphereSDK_WriteDisk(inst, h, content.size() - 512, 1024, buf.data(), &count));
    EXPECT_EQ(content.size(), std::filesystem::file_size(disk));
    // More than a 32-bit count in one call is refused before any I/O.
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 0, 1ull << 32, buf.data(), &count));
    EXPECT_TRUE(SSdkUnderTest::ErrorContains("Transfer of 4294967296 bytes is too large"));

    sdk.NXFusionSphereSDK_CloseDisk(inst, h);
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 0, 512, buf.data(), &count));
    sdk.NXFusionSphereSDK_DisConnectCNA(inst);
    sdk.NXFusionSphereSDK_DestroyInstance(inst);
}

// Whatever path the service names, only a file inside the device folder opens: every link is
// resolved before the test, and a folder named like it does not count.
TEST_F(SdkSan, TargetsOutsideTheDeviceFolderAreRefused) {
    namespace fs = std::filesystem;
    std::ofstream(root + "/outside.img") << std::string(4096, 'o');
    fs::create_directories(root + "/dev2");
    std::ofstream(root + "/dev2/disk.img") << std::string(4096, 'o');
    fs::create_directories(root + "/dev/sub");
    std::ofstream(root + "/dev/sub/disk.img") << std::string(4096, 'i');
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
    // The device folder itself may be named through a link.
    CScopedEnv linked("FC_SAN_DEVICE_DIR", root + "/dev-link");
    uint32_t h = 0;
    void* inst = OpenSan(false, h);
    sdk.NXFusionSphereSDK_DestroyInstance(inst);
}

TEST_F(SdkSan, ReadOnlyOpenCannotWrite) {
    uint32_t h = 0;
    void* inst = OpenSan(false, h);
    std::vector<uint8_t> block(512, 1);
    uint64_t count = 512;
    EXPECT_FALSE(sdk.NXFusionSphereSDK_WriteDisk(inst, h, 0, 512, block.data(), &count));
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
    EXPECT_FALSE(sdk.NXFusionSphereSDK_OpenDisk(inst, luns, (root + "/dev").c_str(), 0, &h, 0));
    EXPECT_EQ(77u, h);
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ConnectCNA(nullptr, "127.0.0.1", 1, "t", 0, ""));
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", 70000, "t", 0, ""));
    sdk.NXFusionSphereSDK_DestroyInstance(inst);
    sdk.NXFusionSphereSDK_DestroyInstance(nullptr);
}

}  // namespace
