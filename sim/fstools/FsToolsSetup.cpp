#include "FsToolsSetup.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "SimState.h"

namespace fcsim {

namespace {

bool MakeDirs(const std::string& path, std::string& error) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

bool FsInstallVrmVBSTools(const std::string& agentHome, const std::string& classFile,
                          std::string& error) {
    std::string folder = agentHome + "/Huawei/FusionStorage";
    std::string bytes;
    if (!CSimState::ReadFile(classFile, bytes) || bytes.empty()) {
        error = "cannot read " + classFile;
        return false;
    }
    if (!MakeDirs(folder, error)) return false;
    if (!CSimState::WriteFileAtomic(folder + "/VrmVBSTools.class", bytes)) {
        error = "cannot write " + folder + "/VrmVBSTools.class";
        return false;
    }
    return true;
}

bool FsWriteClusterInfo(const std::string& path, const std::string& managerIps,
                        std::string& error) {
    if (managerIps.find_first_of("\r\n") != std::string::npos) {
        error = "manager addresses must be one line";
        return false;
    }
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash), error)) {
        return false;
    }
    if (!CSimState::WriteFileAtomic(path, "[vbs]\nvbs_manager_ips=" + managerIps + "\n")) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace fcsim
