// Configuration numbers from the INI file, the focus client and the home folders.
#include <gtest/gtest.h>

#include "EvDebug.h"
#include "NxPlatformInfo.h"
#include "TempDir.h"
#include "WzUtil.h"

TEST(ConfigTest, KeysAndTheFileReadOnEveryCall) {
    CTempDir dir;
    std::string path = dir.Write("fc.ini",
                                 "; comment\n"
                                 "[Other]\n"
                                 "DiskIORetries=99\n"
                                 "[ VirtualServer ]\r\n"
                                 "  DiskIORetries = 3 \r\n"
                                 "nExpireSnapshotHours=0\n"
                                 "Big=18446744073709551615\n"
                                 "TooBig=18446744073709551616\n"
                                 "Hex=0x1F\n"
                                 "Negative=-5\n"
                                 "Words=ten\n"
                                 "Empty=\n"
                                 "# DiskIORetryDelay=7\n"
                                 "Twice=1\n"
                                 "Twice=2\n");
    CScopedEnv env("FC_CONFIG_FILE", path.c_str());

    // Names compare ignoring case; a zero is a value like any other, not "absent"; the last of
    // a repeated key counts.
    const struct {
        const char *szSection, *szKey;
        uint64_t nValue;
    } present[] = {{"VirtualServer", "DiskIORetries", 3},
                   {"virtualserver", "diskioretries", 3},
                   {"VirtualServer", "nExpireSnapshotHours", 0},
                   {"VirtualServer", "Big", UINT64_MAX},
                   {"VirtualServer", "Hex", 31},
                   {"VirtualServer", "Twice", 2},
                   {"Other", "DiskIORetries", 99}};
    uint64_t value = 0;
    for (const auto& c : present) {
        value = c.nValue + 1;
        EXPECT_NE(NXPlatformInfo::getNumber(c.szSection, c.szKey, value), 0) << c.szKey;
        EXPECT_EQ(value, c.nValue) << c.szSection << "/" << c.szKey;
    }
    EvLogCapture capture;
    for (const char* key :
         {"DiskIORetryDelay", "Missing", "TooBig", "Negative", "Words", "Empty"}) {
        value = 10;
        EXPECT_EQ(NXPlatformInfo::getNumber("VirtualServer", key, value), 0) << key;
        EXPECT_EQ(value, 10u) << key << ": the default must stay";
    }
    EXPECT_TRUE(capture.Contains("[ten]")) << capture.Dump();
    EXPECT_EQ(NXPlatformInfo::getNumber("Nowhere", "DiskIORetries", value), 0);

    std::string text;
    EXPECT_NE(NXPlatformInfo::getString("VirtualServer", "Words", text), 0);
    EXPECT_EQ(text, "ten");

    // The file is read again on every call, and may be absent.
    dir.Write("fc.ini", "[VirtualServer]\nDiskIORetries=1\n");
    EXPECT_NE(NXPlatformInfo::getNumber("VirtualServer", "DiskIORetries", value), 0);
    EXPECT_EQ(value, 1u);
    FXPath::RemoveAll(path);
    value = 5;
    EXPECT_EQ(NXPlatformInfo::getNumber("VirtualServer", "DiskIORetries", value), 0);
    EXPECT_EQ(value, 5u);
    // No file named at all: every key is absent.
    CScopedEnv none("FC_CONFIG_FILE", nullptr);
    EXPECT_EQ(NXPlatformInfo::getNumber("VirtualServer", "nMaxQueryBitMapAttempts", value), 0);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(NXPlatformInfo::getNumber(nullptr, nullptr, value), 0);
}

TEST(ConfigTest, FocusClientAndItsHostName) {
    CTempDir dir;
    std::string path = dir.Write("fc.ini", "[proxy1]\nHostName=proxy1.lab\n");
    CScopedEnv config("FC_CONFIG_FILE", path.c_str());
    {
        CScopedEnv client("FC_CLIENT_NAME", nullptr);
        EXPECT_FALSE(NXPI_Focus::getFocus());
        EXPECT_EQ(NXPI_Focus::getFocusClientName(true), "");
    }
    CScopedEnv client("FC_CLIENT_NAME", "proxy1.example.com");
    EXPECT_TRUE(NXPI_Focus::getFocus());
    EXPECT_EQ(NXPI_Focus::getFocusClientName(false), "proxy1.example.com");
    EXPECT_EQ(NXPI_Focus::getFocusClientName(true), "proxy1");
    EXPECT_EQ(EvDebug::getClientName(), "proxy1.example.com");
    EXPECT_EQ(NXPlatformInfo::getClientHostName(NXPI_Focus::getFocusClientName(true)),
              "proxy1.lab");
    EXPECT_EQ(NXPlatformInfo::getClientHostName("other"), "");
    CScopedEnv address("FC_CLIENT_NAME", "10.1.2.3");
    EXPECT_EQ(NXPI_Focus::getFocusClientName(true), "10.1.2.3");
}

TEST(ConfigTest, HomeFolders) {
    std::string home;
    {
        CScopedEnv base("FC_HOME", "/opt/fc");
        CScopedEnv agent("FC_AGENT_HOME", nullptr);
        EXPECT_TRUE(NXPI_PlatformBase::getBaseHomeDirectory(home));
        EXPECT_EQ(home, "/opt/fc");
        home.clear();
        EXPECT_TRUE(NXPI_Base::getHomeDirectory(home));  // falls back to the base home
        EXPECT_EQ(home, "/opt/fc");
    }
    {
        CScopedEnv base("FC_HOME", "");
        CScopedEnv agent("FC_AGENT_HOME", "/opt/agent");
        home = "unchanged";
        EXPECT_FALSE(NXPI_PlatformBase::getBaseHomeDirectory(home));
        EXPECT_EQ(home, "unchanged");
        EXPECT_TRUE(NXPI_Base::getHomeDirectory(home));
        EXPECT_EQ(home, "/opt/agent");
    }
    {
        // Unset: the folder the framework library was loaded from.
        CScopedEnv base("FC_HOME", nullptr);
        EXPECT_TRUE(NXPI_PlatformBase::getBaseHomeDirectory(home));
        EXPECT_TRUE(CWzPath::Exists(CWzPath::Append(home, "libfc_framework.so"))) << home;
        CScopedEnv agent("FC_AGENT_HOME", "");
        EXPECT_FALSE(NXPI_Base::getHomeDirectory(home));
    }
}
