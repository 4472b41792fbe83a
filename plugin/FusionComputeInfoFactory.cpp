// The library's entry point: the agent asks it for the plug-in object.
#include <new>

#include "FusionComputeInfo.h"
#include "FusionComputeInfoUtils.h"

extern "C" FC_PLUGIN_EXPORT int CreateFusionComputeInfoObject(VirtualServerInstanceType type,
                                                              IVMInfo** out) {
    EvDebug localLog;
    localLog.DebugLvl("int CreateFusionComputeInfoObject(VirtualServerInstanceType, IVMInfo**)", 2,
                      "Creating FusionComputeInfo object");
    if (out == nullptr) return 0;  // nowhere to hand the object to
    // Allocation failure is reported as a null object, not as an exception across the C
    // boundary; a failing constructor still propagates (new releases the memory).
    CFusionComputeInfo* pInfo = new (std::nothrow) CFusionComputeInfo(type);
    *out = pInfo;
    return pInfo != nullptr ? 1 : 0;
}
