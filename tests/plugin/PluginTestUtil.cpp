#include "PluginTestUtil.h"

#include <stdlib.h>

namespace fcplugintest {

void CScopedConfig::Set(const std::string& lines) {
    setenv("FC_CONFIG_FILE",
           m_dir.Write("fcbackup.ini", "[VirtualServer]\n" + lines + "\n").c_str(), 1);
}

CScopedBios::CScopedBios(const std::string& vendor, const std::string& uuid)
    : m_env("FC_DMI_DIR", m_dir.Path()) {
    m_dir.Write("sys_vendor", vendor + "\n");
    m_dir.Write("product_serial", "SN-0001\n");
    m_dir.Write("product_uuid", uuid + "\n");
    m_dir.Write("product_name", "Test Machine\n");
}

}  // namespace fcplugintest

// Every test runs on a machine that is no FusionCompute VM and without configuration, whatever
// the real machine is; a test that needs other BIOS data or settings installs its own.
int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CTempDir logs;
    setenv("FC_LOG_DIR", logs.Path().c_str(), 1);
    fcplugintest::CScopedBios bios("QEMU", "00000000-0000-0000-0000-000000000000");
    fcplugintest::CScopedConfig config;
    return RUN_ALL_TESTS();
}
