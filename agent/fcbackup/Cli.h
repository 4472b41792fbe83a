// What the commands of fcbackup share: the options every command takes, the connection to the
// platform, the repository, the output (text or one JSON object) and the exit codes.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "AgentHost.h"
#include "Repository.h"

namespace fcbackup {

enum EExit : int { EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

// A command's work, chosen while the command line is parsed and run after it.
using FRun = std::function<int()>;

struct SCommon {
    bool bJson = false;
    bool bNoProgress = false;
};

struct SConnectOptions {
    std::string strUrl;
    std::string strUser;
    std::string strPasswordFile;
    std::string strCAFile;
    bool bInsecure = false;
};

void AddCommon(CLI::App& cmd, SCommon& common);
void AddConnect(CLI::App& cmd, SConnectOptions& conn);

// The password from --password-file, else FC_PASSWORD, else asked for on the terminal.
bool ReadPassword(const SConnectOptions& conn, std::string& strPassword, std::string& strError);
// Loads the plug-in and logs on.
bool ConnectPlatform(const SConnectOptions& conn, std::unique_ptr<fcagent::CPluginHost>& pOut,
                     std::string& strError);
bool ConnectPlatform(const fcagent::SConnection& conn, std::unique_ptr<fcagent::CPluginHost>& pOut,
                     std::string& strError);

// An existing repository; with bCreate a missing or empty folder becomes a new one.
bool OpenRepository(const std::string& strPath, bool bCreate, bool bCompress,
                    std::unique_ptr<CRepository>& pOut, std::string& strError);

// A private temporary folder, removed with everything in it when the object goes.
class CWorkDir {
public:
    CWorkDir() = default;
    ~CWorkDir();
    CWorkDir(const CWorkDir&) = delete;
    CWorkDir& operator=(const CWorkDir&) = delete;
    bool Create(const std::string& strPrefix, std::string& strError);
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

// Writes the result: the JSON object with --json, the text otherwise. Returns EXIT_DONE.
int Done(const SCommon& common, const nlohmann::json& j, const std::string& strText);
// Reports a failure on standard error (and as {"error": ...} with --json) with where the log
// is. Returns EXIT_FAILED.
int Failed(const SCommon& common, const std::string& strError);

using fcagent::FormatBytes;

void AddPlatformCommands(CLI::App& app, FRun& run);  // browse, vms
void AddJobCommands(CLI::App& app, FRun& run);       // backup, restore
void AddRepoCommands(CLI::App& app, FRun& run);      // list, verify, export, prune
void AddSimCommands(CLI::App& app, FRun& run);       // sim, demo

nlohmann::json BackupToJson(const fcagent::SBackupResult& r);
std::string BackupToText(const fcagent::SBackupResult& r);

}  // namespace fcbackup
