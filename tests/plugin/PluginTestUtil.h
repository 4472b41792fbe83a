// Shared pieces of the plug-in's unit tests: a plug-in object that takes a bridge double, a
// temporary folder, configuration and BIOS files.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "FusionComputeInfo.h"
#include "MockBridge.h"
#include "TempDir.h"

namespace fcplugintest {

// The matchers and actions every plug-in test uses.
using ::testing::_;
using ::testing::DoAll;
using ::testing::InSequence;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgReferee;
using ::testing::StrictMock;

// The bridge double's answer: this value in argument N, and success.
template <size_t N, typename T>
auto Gives(T value) {
    return DoAll(SetArgReferee<N>(std::move(value)), Return(true));
}

// The plug-in's last error and its details, as EXPECT_EQ(SFailure(code, text), LastFailure(p)).
using SFailure = std::pair<int, std::string>;
inline SFailure LastFailure(CVMInfo& plugin) {
    return {plugin.GetLastVMError(), plugin.GetLastVMErrorDetails()};
}

// The plug-in with its bridge replaced, and the framework state tests look at made visible.
class CTestPlugin : public CFusionComputeInfo {
public:
    explicit CTestPlugin(CMockBridge* pBridge)
        : CFusionComputeInfo(VSINSTANCE_FUSIONCOMPUTE, pBridge) {}
    using CVMInfo::strPassword;
    using CVMInfo::strURL;
    using CVMInfo::strUser;
    using CVMInfo::vecDSInfoCache;
    using CVMInfo::vecHostInfoCache;
    EvEvent& Log() { return log; }
};

// A plug-in on a strict bridge double: a bridge call no test expects fails the test.
class CStrictPluginTest : public ::testing::Test {
protected:
    StrictMock<CMockBridge>* bridge = new StrictMock<CMockBridge>();
    CTestPlugin plugin{bridge};
};

// Points FC_CONFIG_FILE at an INI file with the "[VirtualServer]" lines last Set (none at first)
// for its lifetime.
class CScopedConfig {
public:
    // The variable is saved (m_env) before Set() points it at the file.
    CScopedConfig() : m_env("FC_CONFIG_FILE", nullptr) { Set(""); }
    void Set(const std::string& virtualServerLines);

private:
    CTempDir m_dir;
    CScopedEnv m_env;
};

// Points FC_DMI_DIR at a folder with the four DMI files for its lifetime.
class CScopedBios {
public:
    CScopedBios(const std::string& vendor, const std::string& uuid);

private:
    CTempDir m_dir;
    CScopedEnv m_env;
};

// Inventory nodes and VM records for the tests.
inline SInventoryInfo Node(const std::string& name, EInventoryType type,
                           const std::string& id = "") {
    SInventoryInfo node;
    node.strName = name;
    node.eType = type;
    node.strID = id;
    return node;
}

inline SVMInfo VM(const std::string& name, const std::string& guid = "") {
    SVMInfo vm;
    vm.strName = name;
    vm.strGUID = guid.empty() ? name + "-guid" : guid;
    return vm;
}

// A job's failures as "item|reason|ignorable" lines, to be compared in one go.
inline std::vector<std::string> Failures(const std::vector<SJobFailure>& list) {
    std::vector<std::string> lines;
    for (const SJobFailure& f : list)
        lines.push_back(f.strItem + "|" + f.strReason + "|" + (f.bIgnorable ? "1" : "0"));
    return lines;
}

}  // namespace fcplugintest
