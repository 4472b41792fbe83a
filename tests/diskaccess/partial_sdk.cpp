// A backup SDK that lacks NXFusionSphereSDK_OpenDisk, for the loader's tests: every entry point
// of the list is exported and does nothing, but OpenDisk is exported under another name.
#include "NXFusionSphereSDK.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

template <typename T>
T Nothing() {
    return T();
}

#define NXFusionSphereSDK_OpenDisk PartialSdk_NotTheOpenDiskEntryPoint
#define PARTIAL_SDK_STUB(name, result, params)                             \
    extern "C" __attribute__((visibility("default"))) result name params { \
        return Nothing<result>();                                          \
    }
NXFUSIONSPHERESDK_ENTRY_POINTS(PARTIAL_SDK_STUB)
