// A test's session with the simulator through the real bridge.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "FusionComputeSDKCppBridge.h"
#include "Simulator.h"
#include "TempDir.h"
#include "VMInfoStructs.h"

namespace fctest {

// A bridge logged on to sim; null (with a test failure added) when the log-on fails.
std::unique_ptr<FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge> ConnectToSim(
    const fcsim::CSimulator& sim);

// Takes the snapshot a backup takes. The snapshot's disk list names the disks; their capacity
// and volume name are copied in from the VM record. snapID is the identity disk access uses.
// False, with a test failure added, when the service refuses.
bool TakeBackupSnapshot(FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge& bridge,
                        const VMInfoStructs::SVMInfo& vm, const std::string& label,
                        VMInfoStructs::SSnapshot& snap, std::vector<VMInfoStructs::SDisk>& disks,
                        std::string& snapID);

}  // namespace fctest
