#include "SimSession.h"

#include <gtest/gtest.h>

namespace fctest {

using FusionComputeSDKCppBridge::CFusionComputeSDKCppBridge;
using namespace VMInfoStructs;

std::unique_ptr<CFusionComputeSDKCppBridge> ConnectToSim(const fcsim::CSimulator& sim) {
    FusionComputeSDKCppBridge::SBridgeOptions options;
    options.strCAFile = sim.CAFile();
    auto bridge = std::make_unique<CFusionComputeSDKCppBridge>(options);
    if (bridge->Connect(sim.Url(), sim.User(), sim.Password())) return bridge;
    ADD_FAILURE() << "cannot log on to the simulator: " << bridge->GetLastError();
    return nullptr;
}

bool TakeBackupSnapshot(CFusionComputeSDKCppBridge& bridge, const SVMInfo& vm,
                        const std::string& label, SSnapshot& snap, std::vector<SDisk>& disks,
                        std::string& snapID) {
    snap = SSnapshot();
    disks.clear();
    if (!bridge.CreateVMSnapshot(vm, "__VQ_BACKUP__", label, false, false, false, false, snap,
                                 disks)) {
        ADD_FAILURE() << "cannot take the backup snapshot: " << bridge.GetLastError();
        return false;
    }
    snapID = snap.strID.empty() ? snap.strURN : snap.strID;
    for (SDisk& d : disks)
        for (const SDisk& v : vm.vecDisks)
            if (v.strName == d.strName) {
                d.ullCapacity = v.ullCapacity;
                d.strStorageVolumeName = v.strStorageVolumeName;
            }
    return true;
}

}  // namespace fctest
