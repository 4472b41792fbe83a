#include "FsFakeTools.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "FusionStorageCLI.h"

std::vector<std::string> FsJavaArgs(const std::string& mng, const std::string& dsa,
                                    const std::vector<std::string>& operation) {
    std::vector<std::string> args = {"VrmVBSTools", "--mngIp", mng, "--dsaIp", dsa};
    args.insert(args.begin(), {"-classpath", ".:dsware-api-V100R006C00.jar:log4j-1.2.16.jar"});
    args.insert(args.end(), operation.begin(), operation.end());
    return args;
}

bool FsLoggedError(const EvLogCapture& log, const std::string& text) {
    for (const SEvLogLine& line : log.Lines())
        if (line.bError && line.strText == text) return true;
    return false;
}

namespace {

std::vector<std::string> SplitNul(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, '\0');) out.push_back(item);
    return out;
}

int CountLines(const std::string& path) {
    const std::string text = fctest::ReadWholeFile(path);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A recording tool: arguments, working folder and a run count go to files named after it (N),
// in the folder D.
std::string ToolScript(const std::string& dir, const std::string& name, bool bitmapCounter) {
    std::string s = R"(#!/bin/sh
d='D'
printf '%s\0' "$@" > "$d/N.args"
pwd > "$d/N.cwd"
echo run >> "$d/N.runs"
)";
    if (bitmapCounter) {
        s += R"(if [ -f "$d/notready" ]; then
  case "$*" in *queryBitmapVolume*)
    n=$(cat "$d/notready")
    if [ "$n" -gt 0 ]; then echo $((n - 1)) > "$d/notready"; echo 'status=1,block_size=512'; else echo 'status=0,block_size=512'; fi
    exit 0;;
  esac
fi
)";
    }
    s += R"(cat "$d/N.out" 2>/dev/null
exit $(cat "$d/N.rc" 2>/dev/null || echo 0)
)";
    for (size_t at; (at = s.find("/N.")) != std::string::npos;) s.replace(at + 1, 1, name);
    s.replace(s.find("'D'"), 3, "'" + dir + "'");
    return s;
}

}  // namespace

CFsFakeTools::CFsFakeTools() {
    Write("bin/vbs_cli", ToolScript(m_dir.Path(), "vbs_cli", false), true);
    // Several Java runtimes. A folder listing gives "jre" before "jre-17", but as whole paths
    // "jre/bin/java" sorts after "jre-17/bin/java" ('/' > '-'): the runner must take that one.
    for (const char* jre : {"jre-17", "jre", "jre-11"}) {
        Write(std::string("zk/data/") + jre + "/bin/java", ToolScript(m_dir.Path(), "java", true),
              true);
    }
    // "java" through the search path, for a runner that found no Java.
    Write("bin/java", ToolScript(m_dir.Path(), "java", true), true);
    Write("home/Huawei/FusionStorage/.keep", "");

    const char* path = std::getenv("PATH");
    m_env.Set("PATH", m_dir.Path() + "/bin:" + (path ? path : "/usr/bin:/bin"));
    m_env.Set("FC_AGENT_HOME", m_dir.Path() + "/home");
    m_env.Set("FC_CONFIG_FILE", "");
    SetVbsCli("ret_code=0,ret_desc=success\n");
    SetJava("ret_code=0\n");
}

std::string CFsFakeTools::Write(const std::string& name, const std::string& text,
                                bool executable) const {
    const std::string path = m_dir.Write(name, text);
    if (executable) ::chmod(path.c_str(), 0755);
    return path;
}

void CFsFakeTools::Prepare(CFusionStorageCLI& cli) const {
    cli.SetJavaSearchFolder(m_dir.Path() + "/zk/data");
    cli.SetSystemJava(m_dir.Path() + "/no/such/java");
}

void CFsFakeTools::SetVbsCli(const std::string& output, int status) {
    Write("vbs_cli.out", output);
    Write("vbs_cli.rc", std::to_string(status) + "\n");
}

void CFsFakeTools::SetJava(const std::string& output, int status) {
    Write("java.out", output);
    Write("java.rc", std::to_string(status) + "\n");
}

void CFsFakeTools::SetBitmapNotReady(int count) {
    Write("notready", std::to_string(count) + "\n");
}

std::vector<std::string> CFsFakeTools::VbsCliArgs() const {
    return SplitNul(fctest::ReadWholeFile(m_dir.Path() + "/vbs_cli.args"));
}

std::vector<std::string> CFsFakeTools::JavaArgs() const {
    return SplitNul(fctest::ReadWholeFile(m_dir.Path() + "/java.args"));
}

std::string CFsFakeTools::JavaCwd() const {
    std::string cwd = fctest::ReadWholeFile(m_dir.Path() + "/java.cwd");
    while (!cwd.empty() && cwd.back() == '\n') cwd.pop_back();
    return cwd;
}

int CFsFakeTools::VbsCliRuns() const {
    return CountLines(m_dir.Path() + "/vbs_cli.runs");
}
int CFsFakeTools::JavaRuns() const {
    return CountLines(m_dir.Path() + "/java.runs");
}

void CFsFakeTools::ClearRuns() {
    for (const char* f : {"/vbs_cli.runs", "/java.runs", "/vbs_cli.args", "/java.args"}) {
        ::unlink((m_dir.Path() + f).c_str());
    }
}

void CFsFakeTools::SetConfig(const std::map<std::string, std::string>& keys) {
    std::string text = "[VirtualServer]\n";
    for (const auto& [k, v] : keys) text += k + "=" + v + "\n";
    Write("config.ini", text);
    m_env.Set("FC_CONFIG_FILE", m_dir.Path() + "/config.ini");
}
