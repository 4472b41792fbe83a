// Recording stand-ins for FusionStorage's tools, for the runner's unit tests: a temporary
// folder with a "vbs_cli" script first on PATH, two "java" scripts below a Java search folder,
// and an agent home. Each script records its arguments (NUL-separated) and working folder and
// prints a canned answer; the folder and the environment are restored by the destructor.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "TempDir.h"

class CFusionStorageCLI;

class CFsFakeTools {
public:
    CFsFakeTools();

    const std::string& Dir() const { return m_dir.Path(); }
    // Writes a file below the folder (an executable one for a tool); its path.
    std::string Write(const std::string& name, const std::string& text,
                      bool executable = false) const;
    std::string ToolsDir() const { return m_dir.Path() + "/home/Huawei/FusionStorage"; }
    std::string GreatestJava() const { return m_dir.Path() + "/zk/data/jre/bin/java"; }

    // Points the runner at the fake Java folder and a system Java that does not exist.
    void Prepare(CFusionStorageCLI& cli) const;

    // What the next runs print and exit with.
    void SetVbsCli(const std::string& output, int status = 0);
    void SetJava(const std::string& output, int status = 0);
    // The next queryBitmapVolume runs of java answer status=1 this many times, then status=0.
    void SetBitmapNotReady(int count);

    // The arguments of the last run, and how many runs there were.
    std::vector<std::string> VbsCliArgs() const;
    std::vector<std::string> JavaArgs() const;
    std::string JavaCwd() const;
    int VbsCliRuns() const;
    int JavaRuns() const;
    void ClearRuns();

    // A configuration file with these VirtualServer keys, installed through FC_CONFIG_FILE.
    void SetConfig(const std::map<std::string, std::string>& keys);

private:
    CTempDir m_dir;
    CScopedEnvs m_env;  // restored before the folder goes
};

// The arguments the runner starts Java with, for these addresses and this operation.
std::vector<std::string> FsJavaArgs(const std::string& mng, const std::string& dsa,
                                    const std::vector<std::string>& operation);
// Whether the capture holds an error line of exactly this text.
bool FsLoggedError(const EvLogCapture& log, const std::string& text);
