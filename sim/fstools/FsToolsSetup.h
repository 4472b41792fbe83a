// Preparing a machine for the FusionStorage tool stand-ins, as the simulator's host and the
// tests do: the VrmVBSTools class in an agent home, and a block client cluster information
// file. vbs_cli and fcsim_vrmvbstools must also be on PATH, and FCSIM_STATE_DIR set, for
// whoever runs the tools.
#pragma once

#include <string>

namespace fcsim {

// Copies the compiled VrmVBSTools class into <agentHome>/Huawei/FusionStorage.
bool FsInstallVrmVBSTools(const std::string& agentHome, const std::string& classFile,
                          std::string& error);

// Writes a cluster information file naming the manager addresses (comma-separated).
bool FsWriteClusterInfo(const std::string& path, const std::string& managerIps, std::string& error);

}  // namespace fcsim
