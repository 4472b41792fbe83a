// A backup SDK that lacks NXFusionSphereSDK_OpenDisk, for the loader's tests.
#include "NXFusionSphereSDK.h"

#define PARTIAL_SDK_EXPORT extern "C" __attribute__((visibility("default")))
PARTIAL_SDK_EXPORT void NXFusionSphereSDK_SetupLogging(
    NXFusionSphereSDK_LogFunc, NXFusionSphereSDK_LogFunc, NXFusionSphereSDK_LogFunc,
    NXFusionSphereSDK_LogFunc, NXFusionSphereSDK_LogFunc, NXFusionSphereSDK_LogFunc) {}
PARTIAL_SDK_EXPORT void NXFusionSphereSDK_InitialSDK(int, int, int) {}
PARTIAL_SDK_EXPORT bool NXFusionSphereSDK_VerifyLUNAttached(const char**) {
    return false;
}
PARTIAL_SDK_EXPORT void* NXFusionSphereSDK_CreateInstance(int32_t) {
    return nullptr;
}
PARTIAL_SDK_EXPORT void NXFusionSphereSDK_DestroyInstance(void*) {}
PARTIAL_SDK_EXPORT bool NXFusionSphereSDK_ConnectCNA(void*, const char*, uint32_t, const char*,
                                                     int32_t, const char*) {
    return false;
}
PARTIAL_SDK_EXPORT void NXFusionSphereSDK_DisConnectCNA(void*) {}
PARTIAL_SDK_EXPORT void NXFusionSphereSDK_CloseDisk(void*, uint32_t) {}
PARTIAL_SDK_EXPORT bool NXFusionSphereSDK_ReadDisk(void*, uint32_t, uint64_t, uint64_t, void*,
                                                   uint64_t*) {
    return false;
}
PARTIAL_SDK_EXPORT bool NXFusionSphereSDK_WriteDisk(void*, uint32_t, uint64_t, uint64_t,
                                                    const void*, uint64_t*) {
    return false;
}
