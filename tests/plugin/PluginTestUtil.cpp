#include "PluginTestUtil.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

namespace fcplugintest {

namespace {
void SetEnv(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

void Restore(const char* name, bool hadOld, const std::string& old) {
    if (hadOld)
        setenv(name, old.c_str(), 1);
    else
        unsetenv(name);
}

bool Save(const char* name, std::string& old) {
    const char* value = getenv(name);
    if (value) old = value;
    return value != nullptr;
}
}  // namespace

// Death-test children end with std::exit, which skips the destructors of the folders they
// (and main) created; the folders still alive at exit are removed by an exit handler instead.
namespace {
std::mutex g_liveDirsLock;
std::set<std::string>& LiveDirs() {
    static std::set<std::string>* dirs = new std::set<std::string>();
    return *dirs;
}
void RemoveLiveDirs() {
    std::lock_guard<std::mutex> guard(g_liveDirsLock);
    for (const std::string& dir : LiveDirs()) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    LiveDirs().clear();
}
}  // namespace

CTempDir::CTempDir() {
    static const int registered = std::atexit(RemoveLiveDirs);
    (void)registered;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "fcplugin-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (!made) throw std::runtime_error("cannot create a temporary folder");
    m_strPath = made;
    std::lock_guard<std::mutex> guard(g_liveDirsLock);
    LiveDirs().insert(m_strPath);
}

CTempDir::~CTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_strPath, ec);
    std::lock_guard<std::mutex> guard(g_liveDirsLock);
    LiveDirs().erase(m_strPath);
}

std::string CTempDir::Write(const std::string& name, const std::string& content) const {
    std::string path = m_strPath + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

CScopedConfig::CScopedConfig(const std::string& lines) {
    m_bHadOld = Save("FC_CONFIG_FILE", m_strOld);
    Set(lines);
}

CScopedConfig::~CScopedConfig() {
    Restore("FC_CONFIG_FILE", m_bHadOld, m_strOld);
}

void CScopedConfig::Set(const std::string& lines) {
    SetEnv("FC_CONFIG_FILE", m_dir.Write("fcbackup.ini", "[VirtualServer]\n" + lines + "\n"));
}

CScopedBios::CScopedBios(const std::string& vendor, const std::string& uuid) {
    m_bHadOld = Save("FC_DMI_DIR", m_strOld);
    m_dir.Write("sys_vendor", vendor + "\n");
    m_dir.Write("product_serial", "SN-0001\n");
    m_dir.Write("product_uuid", uuid + "\n");
    m_dir.Write("product_name", "Test Machine\n");
    SetEnv("FC_DMI_DIR", m_dir.Path());
}

CScopedBios::~CScopedBios() {
    Restore("FC_DMI_DIR", m_bHadOld, m_strOld);
}

SInventoryInfo Node(const std::string& name, EInventoryType type, const std::string& id) {
    SInventoryInfo node;
    node.strName = name;
    node.eType = type;
    node.strID = id;
    return node;
}

SVMInfo VM(const std::string& name, const std::string& guid) {
    SVMInfo vm;
    vm.strName = name;
    vm.strGUID = guid.empty() ? name + "-guid" : guid;
    return vm;
}

}  // namespace fcplugintest

// Every test runs on a machine that is no FusionCompute VM and without configuration, whatever
// the real machine is; a test that needs other BIOS data or settings installs its own.
int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    fcplugintest::CTempDir logs;
    setenv("FC_LOG_DIR", logs.Path().c_str(), 1);
    fcplugintest::CScopedBios bios("QEMU", "00000000-0000-0000-0000-000000000000");
    fcplugintest::CScopedConfig config;
    return RUN_ALL_TESTS();
}
