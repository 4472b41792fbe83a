#include "Cli.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "EvDebug.h"
#include "WzFile.h"

namespace fcbackup {

void AddCommon(CLI::App& cmd, SCommon& common) {
    cmd.add_flag("--json", common.bJson, "Print one JSON object on standard output");
    cmd.add_flag("--no-progress", common.bNoProgress, "Print no progress");
}

void AddConnect(CLI::App& cmd, SConnectOptions& conn) {
    cmd.add_option("--url", conn.strUrl, "Management service, e.g. https://vrm.example:7443")
        ->required();
    cmd.add_option("--user", conn.strUser, "User to log on as")->required();
    cmd.add_option("--password-file", conn.strPasswordFile,
                   "File whose first line is the password (else FC_PASSWORD, else a prompt)");
    cmd.add_option("--ca-file", conn.strCAFile, "Certificate (PEM) to trust for the service");
    cmd.add_flag("--insecure", conn.bInsecure, "Do not verify the service's certificate");
}

namespace {

bool PromptPassword(std::string& strPassword) {
    if (!::isatty(STDIN_FILENO)) return false;
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    termios old{};
    const bool bEcho = ::tcgetattr(STDIN_FILENO, &old) == 0;
    if (bEcho) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool ok = static_cast<bool>(std::getline(std::cin, strPassword));
    if (bEcho) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    std::fputc('\n', stderr);
    return ok;
}

}  // namespace

bool ReadPassword(const SConnectOptions& conn, std::string& strPassword, std::string& strError) {
    if (!conn.strPasswordFile.empty()) {
        std::string text;
        CWzError why;
        if (!ReadWholeFile(conn.strPasswordFile, text, &why)) {
            strError = "cannot read the password file " + conn.strPasswordFile;
            return false;
        }
        strPassword = text.substr(0, text.find_first_of("\r\n"));
        return true;
    }
    if (const char* env = std::getenv("FC_PASSWORD")) {
        strPassword = env;
        return true;
    }
    if (PromptPassword(strPassword)) return true;
    strError = "no password: give --password-file FILE, set FC_PASSWORD, or run on a terminal";
    return false;
}

bool ConnectPlatform(const fcagent::SConnection& conn, std::unique_ptr<fcagent::CPluginHost>& pOut,
                     std::string& strError) {
    std::unique_ptr<fcagent::CPluginHost> host;
    if (!fcagent::CPluginHost::Load(fcagent::CPluginHost::DefaultLibrary(), conn, host, strError) ||
        !host->Connect(conn, strError))
        return false;
    pOut = std::move(host);
    return true;
}

bool ConnectPlatform(const SConnectOptions& opts, std::unique_ptr<fcagent::CPluginHost>& pOut,
                     std::string& strError) {
    fcagent::SConnection conn;
    conn.strUrl = opts.strUrl;
    conn.strUser = opts.strUser;
    conn.strCAFile = opts.strCAFile;
    conn.bInsecure = opts.bInsecure;
    if (!ReadPassword(opts, conn.strPassword, strError)) return false;
    return ConnectPlatform(conn, pOut, strError);
}

bool OpenRepository(const std::string& strPath, bool bCreate, bool bCompress,
                    std::unique_ptr<CRepository>& pOut, std::string& strError) {
    std::error_code ec;
    const bool bNew =
        !std::filesystem::exists(strPath, ec) ||
        (std::filesystem::is_directory(strPath, ec) && std::filesystem::is_empty(strPath, ec));
    if (bCreate && bNew) {
        SRepositoryOptions options;
        options.bCompress = bCompress;
        return CRepository::Create(strPath, options, pOut, strError);
    }
    if (!std::filesystem::exists(strPath, ec)) {
        strError = "no backup repository at " + strPath;
        return false;
    }
    return CRepository::Open(strPath, pOut, strError);
}

CWorkDir::~CWorkDir() {
    if (!m_strPath.empty()) FXPath::RemoveAll(m_strPath);
}

bool CWorkDir::Create(const std::string& strPrefix, std::string& strError) {
    std::error_code ec;
    std::string tmpl =
        (std::filesystem::temp_directory_path(ec) / (strPrefix + ".XXXXXX")).string();
    if (ec || !::mkdtemp(&tmpl[0])) {
        strError = "cannot create a temporary folder for " + strPrefix;
        return false;
    }
    m_strPath = tmpl;
    return true;
}

int Done(const SCommon& common, const nlohmann::json& j, const std::string& strText) {
    if (common.bJson)
        std::cout << j.dump() << std::endl;
    else
        std::cout << strText << std::flush;
    return EXIT_DONE;
}

int Failed(const SCommon& common, const std::string& strError) {
    const std::string log = EvDebugFileInstance::Default().FileName();
    std::cerr << "fcbackup: " << strError << "\n";
    if (!log.empty()) std::cerr << "fcbackup: details are in the log " << log << "\n";
    if (common.bJson) std::cout << nlohmann::json{{"error", strError}, {"log", log}}.dump() << "\n";
    std::cout.flush();
    return EXIT_FAILED;
}

}  // namespace fcbackup
