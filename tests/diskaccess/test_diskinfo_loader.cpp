// The backup SDK loader, the SDK's string lists and log callbacks.
#include <gtest/gtest.h>

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
    EXPECT_EQ(1u, capture.Count("Failed to load NXFusionSphereSDK_OpenDisk Error="));
    EXPECT_EQ(1u, capture.Lines().size()) << capture.Dump();
}

// Our SDK loads whole; the loader's own names: the OpenSSL 1.0.0 libraries are made from the
// candidates it knows.
TEST_F(LoaderTest, LoadingLinksTheOpenSslNamesFromTheirCandidates) {
    CTempDir system;
    system.Touch("libssl.so.1.0.2k");
    system.Touch("libcrypto.so.1.0.1e");
    system.Touch("libcrypto.so.1.0.2k");
    service.strSystemLibDirectory = system.Path();
    CScopedEnv home("FC_HOME", FC_TEST_SDK_DIR);
    ASSERT_TRUE(service.ImportSDK());
    EXPECT_EQ(11u, CountResolved()) << "our SDK has every entry point";
    // Its messages reach the service's log callbacks through the pointers.
    EvLogCapture capture;
    NXFusionSphereSDK_SetupLogging_Ptr(
        CFusionComputeDiskInfo::LogFunc_Error, CFusionComputeDiskInfo::LogFunc_Error,
        CFusionComputeDiskInfo::LogFunc_Error, CFusionComputeDiskInfo::LogFunc_Debug,
        CFusionComputeDiskInfo::LogFunc_Debug, CFusionComputeDiskInfo::LogFunc_Trace);
    NXFusionSphereSDK_InitialSDK_Ptr(0, 0, 0);
    EXPECT_TRUE(capture.Contains("Backup SDK initialised (0, 0, 0)")) << capture.Dump();
    EXPECT_EQ(system.File("libssl.so.1.0.2k"),
              std::filesystem::read_symlink(system.File("libssl.so.1.0.0")));
    EXPECT_EQ(system.File("libcrypto.so.1.0.1e"),
              std::filesystem::read_symlink(system.File("libcrypto.so.1.0.0")));
}

TEST_F(LoaderTest, MissingLibraryOrHomeFails) {
    CTempDir empty;
    const std::pair<std::string, std::string> cases[] = {
        {empty.Path(), "Failed to load [" + empty.Path() + "/libNXFusionSphereSDK.so], "},
        {"", "Failed to get base home directory."}};
    for (const auto& [home, message] : cases) {
        CScopedEnv env("FC_HOME", home);
        EvLogCapture capture;
        EXPECT_FALSE(service.ImportSDK());
        EXPECT_TRUE(capture.Contains(message)) << capture.Dump();
    }
}

TEST(PrepareRequiredLibrary, LinksTheFirstCandidateThatExistsOrOnlyLogs) {
    CTempDir dir;
    CFusionComputeDiskInfo service{nullptr};
    EvLogCapture capture;
    // Makes lib.so.1.0.0 from lib.so.1.0.1e or else lib.so.1.0.2k, with a fresh log.
    auto prepare = [&](const std::string& lib) {
        capture.Clear();
        service.PrepareRequiredLibrary(dir.Path(), lib + ".so.1.0.0",
                                       {lib + ".so.1.0.1e", lib + ".so.1.0.2k"});
    };

    prepare("libz");
    EXPECT_TRUE(
        capture.Contains("target library [" + dir.File("libz.so.1.0.0") + "] does not exist"));
    EXPECT_FALSE(std::filesystem::is_symlink(dir.File("libz.so.1.0.0")));

    // Only the later candidate. (The link's full path, and the first of both candidates:
    // LoaderTest.LoadingLinksTheOpenSslNamesFromTheirCandidates.)
    dir.Touch("libssl.so.1.0.2k");
    prepare("libssl");
    EXPECT_TRUE(capture.Contains("library [" + dir.File("libssl.so.1.0.0") +
                                 "] does not exist, linking from [" + dir.File("libssl.so.1.0.2k") +
                                 "]"));

    // Already there (now as a link): nothing created, nothing logged.
    prepare("libssl");
    EXPECT_TRUE(capture.Lines().empty()) << capture.Dump();
    EXPECT_FALSE(std::filesystem::exists(dir.File("libssl.so.1.0.1e")));

    // A dangling link in the way: the required name does not resolve, and the new link
    // cannot be made over it.
    std::filesystem::create_symlink(dir.File("gone"), dir.File("libz.so.1.0.0"));
    dir.Touch("libz.so.1.0.1e");
    prepare("libz");
    EXPECT_TRUE(capture.Contains("failed to link [" + dir.File("libz.so.1.0.1e") + "] to [" +
                                 dir.File("libz.so.1.0.0") + "], 17"))
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
    std::vector<std::string> lines;
    for (const SEvLogLine& l : capture.Lines())
        lines.push_back((l.bError ? "error " : "level " + std::to_string(l.nLevel) + " ") +
                        l.strText);
    EXPECT_EQ((std::vector<std::string>{"error 100%s %n done", "level 0 debug %d", "level 1 "}),
              lines);
}

}  // namespace
