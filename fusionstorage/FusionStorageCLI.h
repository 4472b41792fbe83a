// The runner of FusionStorage's command-line tools on the proxy: the block client "vbs_cli"
// (found through the shell's search path) and the Java management tool "VrmVBSTools" (started
// from the agent home's "Huawei/FusionStorage" folder). It builds their command lines, runs them
// through the shell, logs every command line with its result on its own log and on a shared
// FusionStorage log, and reads their key=value output.
//
// Every value placed on a command line is quoted for the shell, so no volume, snapshot, folder
// or address text can end a word or start a command; ordinary names appear exactly as given.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "EvDebug.h"

class CFusionStorageCLI : public EvDebug {
public:
    typedef std::map<std::string, std::string> ValueMap;

    CFusionStorageCLI();
    ~CFusionStorageCLI() override;
    CFusionStorageCLI(const CFusionStorageCLI&) = delete;
    CFusionStorageCLI& operator=(const CFusionStorageCLI&) = delete;

    // Stores the addresses, finds Java and the tools folder, and proves both tools start by
    // running their help commands. True when ready.
    bool Initialize(const std::string& dsaIp, const std::string& mngIp);

    // The Java launcher: the greatest path named "java" below the FusionStorage agent's data
    // folder, else "/usr/bin/java" when present, else empty.
    std::string FindJava();

    // Runs "program arguments" through the shell, standard output into output. Returns the
    // exit status (0 = success).
    int Execute(const std::string& program, const std::string& arguments, std::string& output);

    bool ExecuteVbsCliCommand(const std::string& arguments, ValueMap& values);
    bool ExecuteVrmVbsToolsCommand(const std::string& arguments, bool parseOutput,
                                   ValueMap& values);
    bool ExecuteVrmVbsToolsCommand(const std::string& arguments);

    // Always true; see FusionStorageParser.h for the reading rules.
    bool ParseCommandOutput(const std::string& output, ValueMap& values);

    // vbs_cli volume commands on this proxy.
    bool AttachVolume(const std::string& volumeName, std::string& devicePath);
    bool DetatchVolume(const std::string& volumeName);
    bool DeleteVolume(const std::string& volumeName);
    bool QueryVolume(const std::string& volumeName, uint64_t& volumeSize);

    // VrmVBSTools operations on the FusionStorage manager.
    bool CreateVolumeFromSnapshot(const std::string& volumeName, const std::string& snapshotName,
                                  uint64_t volumeSize);
    bool CreateBitmapVolume(const std::string& volumeName, const std::string& snapshotFrom,
                            const std::string& snapshotTo);
    bool QueryBitmapVolume(const std::string& volumeName, uint32_t& status, uint32_t& blockSize);

    // Where FindJava looks for Java runtimes; FusionStorage's agent installs its own there.
    // Replaceable for installations in other places and for tests.
    void SetJavaSearchFolder(const std::string& folder) { strJavaSearchFolder = folder; }
    void SetSystemJava(const std::string& path) { strSystemJava = path; }

    const std::string& GetJavaPath() const { return javaPath; }
    const std::string& GetToolsDirectory() const { return toolsDirectory; }

    static const char* const c_szVbsCli;
    static const char* const c_szVrmVbsToolsClass;
    static const char* const c_szVrmVbsToolsClassPath;
    static const char* const c_szDefaultJavaSearchFolder;
    static const char* const c_szDefaultSystemJava;

    static EvDebug c_Log;
    static EvDebugFileInstance c_LogFileInstance;

private:
    // A vbs_cli command whose result is judged by "ret_code"; failureText names the command
    // in the error line.
    bool _RunVbsCliVolumeCommand(const char* tag, const std::string& arguments,
                                 const char* failureText, ValueMap& values);

    std::string dsaIp;
    std::string mngIp;
    std::string javaPath;
    std::string toolsDirectory;
    std::string strJavaSearchFolder;
    std::string strSystemJava;
};
