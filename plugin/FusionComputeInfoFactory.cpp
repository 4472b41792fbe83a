// The library's entry point: the agent asks it for the plug-in object.
#include <exception>

#include "FusionComputeInfo.h"
#include "FusionComputeInfoUtils.h"

namespace {
const char* const kTagFactory =
    "int CreateFusionComputeInfoObject(VirtualServerInstanceType, IVMInfo**)";

// Logging itself may be what fails (it allocates); the entry point must return all the same.
void LogFailure(const char* what) noexcept {
    try {
        EvDebug localLog;
        localLog.Error(kTagFactory, "Failed to create FusionComputeInfo object, %s", what);
    } catch (...) {
    }
}
}  // namespace

// A C entry point: no exception may leave it. Whatever fails while the object is built (memory
// running out included) comes back as no object and 0.
extern "C" FC_PLUGIN_EXPORT int CreateFusionComputeInfoObject(VirtualServerInstanceType type,
                                                              IVMInfo** out) {
    try {
        EvDebug localLog;
        localLog.DebugLvl(kTagFactory, 2, "Creating FusionComputeInfo object");
        if (out == nullptr) return 0;  // nowhere to hand the object to
        *out = nullptr;
        *out = new CFusionComputeInfo(type);
        return 1;
    } catch (const std::exception& e) {
        LogFailure(e.what());
    } catch (...) {
        LogFailure("unknown exception");
    }
    if (out != nullptr) *out = nullptr;
    return 0;
}
