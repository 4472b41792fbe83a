// Finding and running FusionStorage's tools. The volume commands built on top live in
// FusionStorageCommands.cpp.
#include "FusionStorageCLI.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "FusionStorageParser.h"
#include "NxPlatformInfo.h"
#include "NxProcess.h"
#include "WzUtil.h"

using FusionStorage::ShellInDoubleQuotes;
using FusionStorage::ShellWord;

const char* const CFusionStorageCLI::c_szVbsCli = "vbs_cli";
const char* const CFusionStorageCLI::c_szVrmVbsToolsClass = "VrmVBSTools";
const char* const CFusionStorageCLI::c_szVrmVbsToolsClassPath =
    ".:dsware-api-V100R006C00.jar:log4j-1.2.16.jar";
const char* const CFusionStorageCLI::c_szDefaultJavaSearchFolder = "/opt/dsware/agent/zk/data";
const char* const CFusionStorageCLI::c_szDefaultSystemJava = "/usr/bin/java";

namespace {

const uint32_t c_nLogId = 0x7E5894FE;

// The shared command log sits beside the framework's default log file.
std::string CommandLogFile() {
    return CWzPath::Append(CWzPath::GetDirectory(EvDebugFileInstance().FileName()),
                           "FusionStorageCLI.log");
}

}  // namespace

// The file instance must exist before the logger that is bound to it, and both for as long as
// the library is loaded: they are defined in this order in this one file.
EvDebugFileInstance CFusionStorageCLI::c_LogFileInstance(CommandLogFile());
EvDebug CFusionStorageCLI::c_Log;

CFusionStorageCLI::CFusionStorageCLI()
    : strJavaSearchFolder(c_szDefaultJavaSearchFolder), strSystemJava(c_szDefaultSystemJava) {}

CFusionStorageCLI::~CFusionStorageCLI() = default;

bool CFusionStorageCLI::Initialize(const std::string& dsaIp_, const std::string& mngIp_) {
    static const char* const tag =
        "bool CFusionStorageCLI::Initialize(const std::string&, const std::string&)";
    // Every runner binds the shared log the same way; binding it once keeps runners that
    // initialise on several threads from racing on it.
    static std::once_flag s_logBound;
    std::call_once(s_logBound,
                   [] { c_Log.initialize(&c_LogFileInstance, c_nLogId, 0, false, ""); });

    dsaIp = dsaIp_;
    mngIp = mngIp_;

    javaPath = FindJava();
    if (javaPath.empty()) javaPath = "java";

    // Without an agent home the tools folder would be relative to whatever folder the agent
    // runs in, and the management tool could be started from the wrong place.
    std::string strHome;
    if (!NXPI_Base::getHomeDirectory(strHome) || strHome.empty()) {
        Error(tag, "Failed to determine the agent home directory");
        return false;
    }
    toolsDirectory = strHome;
    FXPath::Append(toolsDirectory, "Huawei/FusionStorage");

    Debug(tag, "Running vbs_cli help command");
    std::string strOutput;
    if (Execute(c_szVbsCli, "-help", strOutput) != 0) {
        Debug(tag, "help command failed");
        return false;
    }

    Debug(tag, "Running VrmVbsTools help command");
    if (!ExecuteVrmVbsToolsCommand("--help")) {
        Debug(tag, "help command failed");
        return false;
    }
    Debug(tag, "CLI initialization complete");
    return true;
}

std::string CFusionStorageCLI::FindJava() {
    std::vector<std::string> vecFiles;
    if (GetFilesListOfFolder(strJavaSearchFolder, "java", true, vecFiles) && !vecFiles.empty()) {
        std::sort(vecFiles.begin(), vecFiles.end());
        return vecFiles.back();
    }
    if (FXPath::DoesPathExist(strSystemJava)) return strSystemJava;
    return std::string();
}

int CFusionStorageCLI::Execute(const std::string& program, const std::string& arguments,
                               std::string& output) {
    static const char* const tag =
        "int CFusionStorageCLI::Execute(const std::string&, const std::string&, std::string&)";
    std::string strCommand = program + " " + arguments;
    output.clear();

    // The shell would see the line only up to a NUL byte, which could cut a quoted value short
    // and leave the rest of the line to be read as commands.
    if (strCommand.find('\0') != std::string::npos) {
        Error(tag, "Failed to execute command [%s], it contains a NUL byte", strCommand.c_str());
        c_Log.Error(tag, "Failed to execute command [%s], it contains a NUL byte",
                    strCommand.c_str());
        return NxProcess::c_nStartFailed;
    }

    DebugLvl(tag, 2, "Executing: %s", strCommand.c_str());
    c_Log.DebugJob(tag, CurrentJobId(), "Executing: %s", strCommand.c_str());

    std::string strErrorOutput;
    int nStatus = NxProcess::system(strCommand, output, strErrorOutput, 0, true);
    if (nStatus != 0) {
        Error(tag, "Failed to execute command [%s], %d\n%s", strCommand.c_str(), nStatus,
              output.c_str());
        c_Log.Error(tag, "Failed to execute command [%s], %d\n%s", strCommand.c_str(), nStatus,
                    output.c_str());
        // The tools explain most failures on standard error; keep that next to the status.
        if (!strErrorOutput.empty()) {
            Error(tag, "Error output of [%s]:\n%s", strCommand.c_str(), strErrorOutput.c_str());
            c_Log.Error(tag, "Error output of [%s]:\n%s", strCommand.c_str(),
                        strErrorOutput.c_str());
        }
    } else {
        DebugLvl(tag, 2, "Successfully executed command command [%s]\n%s", strCommand.c_str(),
                 output.c_str());
        c_Log.DebugJob(tag, CurrentJobId(), "Successfully executed command command [%s]\n%s",
                       strCommand.c_str(), output.c_str());
    }
    return nStatus;
}

bool CFusionStorageCLI::ExecuteVbsCliCommand(const std::string& arguments, ValueMap& values) {
    std::string strOutput;
    if (Execute(c_szVbsCli, arguments, strOutput) != 0 || strOutput.empty()) return false;
    return ParseCommandOutput(strOutput, values);
}

bool CFusionStorageCLI::ExecuteVrmVbsToolsCommand(const std::string& arguments, bool parseOutput,
                                                  ValueMap& values) {
    // The class path is relative: the tool only starts from its own folder.
    std::string strArguments = std::string("-classpath \"") + c_szVrmVbsToolsClassPath + "\" " +
                               c_szVrmVbsToolsClass + " --mngIp \"" + ShellInDoubleQuotes(mngIp) +
                               "\" --dsaIp \"" + ShellInDoubleQuotes(dsaIp) + "\" " + arguments;
    std::string strProgram = "cd " + ShellWord(toolsDirectory) + "; " + ShellWord(javaPath);

    std::string strOutput;
    if (Execute(strProgram, strArguments, strOutput) != 0) return false;
    if (!parseOutput) return true;
    return ParseCommandOutput(strOutput, values);
}

bool CFusionStorageCLI::ExecuteVrmVbsToolsCommand(const std::string& arguments) {
    ValueMap scratch;
    return ExecuteVrmVbsToolsCommand(arguments, false, scratch);
}

bool CFusionStorageCLI::ParseCommandOutput(const std::string& output, ValueMap& values) {
    FusionStorage::ParseToolOutput(output, values);
    return true;
}
