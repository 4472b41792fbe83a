// The backup SDK loader, the SDK's string lists and log callbacks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "EvDebug.h"
#include "FusionComputeDiskInfo.h"
#include "TempDir.h"

namespace {

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The OpenSSL names are already there, so the loader has nothing to link.
        libs.Touch("libssl.so.1.0.0");
        libs.Touch("libcrypto.so.1.0.0");
        service.strSystemLibDirectory = libs.Path();
    }
    static size_t CountResolved() {
        size_t n = 0;
#define COUNT_SDK_POINTER(name, result, params) n += name##_Ptr != nullptr;
        NXFUSIONSPHERESDK_ENTRY_POINTS(COUNT_SDK_POINTER)
#undef COUNT_SDK_POINTER
        return n;
    }
    CTempDir libs;
    CFusionComputeDiskInfo service{nullptr};
};

TEST_F(LoaderTest, LibraryMissingOneEntryPointResolvesTheOthersAndFails) {
    CScopedEnv home("FC_HOME", FC_TEST_PARTIAL_SDK_DIR);
    EvLogCapture capture;
    EXPECT_FALSE(service.ImportSDK());
    EXPECT_EQ(10u, CountResolved());
    EXPECT_EQ(nullptr, NXFusionSphereSDK_OpenDisk_Ptr);
    EXPECT_NE(nullptr, NXFusionSphereSDK_WriteDisk_Ptr);  // resolved after the missing one
    EXPECT_EQ(1u, capture.Count("Error=")) << capture.Dump();
    EXPECT_EQ(1u, capture.Count("Failed to load NXFusionSphereSDK_OpenDisk Error="));
    EXPECT_EQ(1u, capture.Lines().size()) << capture.Dump();
}

TEST_F(LoaderTest, OurSdkLoadsWithAllElevenEntryPoints) {
    CScopedEnv home("FC_HOME", FC_TEST_SDK_DIR);
    EvLogCapture capture;
    ASSERT_TRUE(service.ImportSDK()) << capture.Dump();
    EXPECT_EQ(11u, CountResolved());
    // The SDK answers through the pointers: its messages reach the service's log callbacks.
    NXFusionSphereSDK_SetupLogging_Ptr(
        CFusionComputeDiskInfo::LogFunc_Error, CFusionComputeDiskInfo::LogFunc_Error,
        CFusionComputeDiskInfo::LogFunc_Error, CFusionComputeDiskInfo::LogFunc_Debug,
        CFusionComputeDiskInfo::LogFunc_Debug, CFusionComputeDiskInfo::LogFunc_Trace);
    NXFusionSphereSDK_InitialSDK_Ptr(0, 0, 0);
    EXPECT_TRUE(capture.Contains("Backup SDK initialised (0, 0, 0)")) << capture.Dump();
    void* instance = NXFusionSphereSDK_CreateInstance_Ptr(1);
    ASSERT_NE(nullptr, instance);
    NXFusionSphereSDK_DestroyInstance_Ptr(instance);
}

// The loader's own names: the OpenSSL 1.0.0 libraries are made from the candidates it knows.
TEST_F(LoaderTest, LoadingLinksTheOpenSslNamesFromTheirCandidates) {
    CTempDir system;
    system.Touch("libssl.so.1.0.2k");
    system.Touch("libcrypto.so.1.0.1e");
    system.Touch("libcrypto.so.1.0.2k");
    service.strSystemLibDirectory = system.Path();
    CScopedEnv home("FC_HOME", FC_TEST_SDK_DIR);
    ASSERT_TRUE(service.ImportSDK());
    EXPECT_EQ(system.File("libssl.so.1.0.2k"),
              std::filesystem::read_symlink(system.File("libssl.so.1.0.0")));
    EXPECT_EQ(system.File("libcrypto.so.1.0.1e"),
              std::filesystem::read_symlink(system.File("libcrypto.so.1.0.0")));
}

TEST_F(LoaderTest, MissingLibraryOrHomeFails) {
    {
        CTempDir empty;
        CScopedEnv home("FC_HOME", empty.Path());
        EvLogCapture capture;
        EXPECT_FALSE(service.ImportSDK());
        EXPECT_TRUE(
            capture.Contains("Failed to load [" + empty.Path() + "/libNXFusionSphereSDK.so], "))
            << capture.Dump();
    }
    {
        CScopedEnv home("FC_HOME", "");
        EvLogCapture capture;
        EXPECT_FALSE(service.ImportSDK());
        EXPECT_TRUE(capture.Contains("Failed to get base home directory."));
    }
}

TEST(PrepareRequiredLibrary, LinksTheFirstCandidateThatExists) {
    CTempDir dir;
    CFusionComputeDiskInfo service{nullptr};
    EvLogCapture capture;

    // Only the later candidate: the link holds its full path.
    dir.Touch("libssl.so.1.0.2k");
    service.PrepareRequiredLibrary(dir.Path(), "libssl.so.1.0.0",
                                   {"libssl.so.1.0.1e", "libssl.so.1.0.2k"});
    EXPECT_EQ(dir.File("libssl.so.1.0.2k"),
              std::filesystem::read_symlink(dir.File("libssl.so.1.0.0")));
    EXPECT_TRUE(capture.Contains("library [" + dir.File("libssl.so.1.0.0") +
                                 "] does not exist, linking from [" + dir.File("libssl.so.1.0.2k") +
                                 "]"));

    // Both candidates: the first wins.
    dir.Touch("libcrypto.so.1.0.1e");
    dir.Touch("libcrypto.so.1.0.2k");
    service.PrepareRequiredLibrary(dir.Path(), "libcrypto.so.1.0.0",
                                   {"libcrypto.so.1.0.1e", "libcrypto.so.1.0.2k"});
    EXPECT_EQ(dir.File("libcrypto.so.1.0.1e"),
              std::filesystem::read_symlink(dir.File("libcrypto.so.1.0.0")));

    // Already there (now as a link): nothing created, nothing logged.
    capture.Clear();
    service.PrepareRequiredLibrary(dir.Path(), "libssl.so.1.0.0",
                                   {"libssl.so.1.0.1e", "libssl.so.1.0.2k"});
    EXPECT_TRUE(capture.Lines().empty()) << capture.Dump();
    EXPECT_FALSE(std::filesystem::exists(dir.File("libssl.so.1.0.1e")));
}

TEST(PrepareRequiredLibrary, NoCandidateOrFailedLinkIsOnlyLogged) {
    CTempDir dir;
    CFusionComputeDiskInfo service{nullptr};
    EvLogCapture capture;
    service.PrepareRequiredLibrary(dir.Path(), "libssl.so.1.0.0",
                                   {"libssl.so.1.0.1e", "libssl.so.1.0.2k"});
    EXPECT_TRUE(
        capture.Contains("target library [" + dir.File("libssl.so.1.0.0") + "] does not exist"));
    EXPECT_FALSE(std::filesystem::is_symlink(dir.File("libssl.so.1.0.0")));

    // A dangling link in the way: the required name does not resolve, and the new link
    // cannot be made over it.
    std::filesystem::create_symlink(dir.File("gone"), dir.File("libssl.so.1.0.0"));
    dir.Touch("libssl.so.1.0.1e");
    capture.Clear();
    service.PrepareRequiredLibrary(dir.Path(), "libssl.so.1.0.0",
                                   {"libssl.so.1.0.1e", "libssl.so.1.0.2k"});
    EXPECT_TRUE(capture.Contains("failed to link [" + dir.File("libssl.so.1.0.1e") + "] to [" +
                                 dir.File("libssl.so.1.0.0") + "], 17"))
        << capture.Dump();
}

TEST(StringArray, BorrowsTheStringsAndEndsWithNull) {
    std::vector<std::string> none;
    CFusionSphereDiskInfoStringArray empty(none);
    ASSERT_NE(nullptr, empty.Get());
    EXPECT_EQ(nullptr, empty.Get()[0]);

    std::vector<std::string> luns = {"lun-a", "", "lun-c"};
    CFusionSphereDiskInfoStringArray array(luns);
    for (size_t i = 0; i < luns.size(); ++i) EXPECT_EQ(luns[i].c_str(), array.Get()[i]);
    EXPECT_EQ(nullptr, array.Get()[3]);
}

TEST(SdkLogCallbacks, TextIsNeverUsedAsAFormat) {
    EvLogCapture capture;
    CFusionComputeDiskInfo::LogFunc_Error("100%s %n done");
    CFusionComputeDiskInfo::LogFunc_Debug("debug %d");
    CFusionComputeDiskInfo::LogFunc_Trace(nullptr);
    auto lines = capture.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_TRUE(lines[0].bError);
    EXPECT_EQ("100%s %n done", lines[0].strText);
    EXPECT_FALSE(lines[1].bError);
    EXPECT_EQ("debug %d", lines[1].strText);
    EXPECT_EQ(1, lines[2].nLevel);
    EXPECT_EQ("", lines[2].strText);
}

}  // namespace
