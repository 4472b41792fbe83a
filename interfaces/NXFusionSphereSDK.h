// The backup SDK's eleven C entry points, listed once. The plug-in's loader expands the list
// into function-pointer slots resolved with dlsym; our SDK expands it into its exported
// declarations, so the two cannot drift. Order is load order.
#pragma once

#include <cstdint>

extern "C" {
typedef void (*NXFusionSphereSDK_LogFunc)(const char* text);
}

// X(name, result, parameter list)
#define NXFUSIONSPHERESDK_ENTRY_POINTS(X)                                                         \
    X(NXFusionSphereSDK_SetupLogging, void,                                                       \
      (NXFusionSphereSDK_LogFunc error1, NXFusionSphereSDK_LogFunc error2,                        \
       NXFusionSphereSDK_LogFunc error3, NXFusionSphereSDK_LogFunc debug1,                        \
       NXFusionSphereSDK_LogFunc debug2, NXFusionSphereSDK_LogFunc trace))                        \
    X(NXFusionSphereSDK_InitialSDK, void, (int arg1, int arg2, int arg3))                         \
    X(NXFusionSphereSDK_VerifyLUNAttached, bool, (const char** luns))                             \
    X(NXFusionSphereSDK_CreateInstance, void*, (int32_t lanTransport))                            \
    X(NXFusionSphereSDK_DestroyInstance, void, (void* instance))                                  \
    X(NXFusionSphereSDK_ConnectCNA, bool,                                                         \
      (void* instance, const char* cnaAddress, uint32_t cnaPort, const char* token, int32_t arg5, \
       const char* arg6))                                                                         \
    X(NXFusionSphereSDK_DisConnectCNA, void, (void* instance))                                    \
    X(NXFusionSphereSDK_OpenDisk, bool,                                                           \
      (void* instance, const char** luns, const char* targetFile, int32_t writable,               \
       uint32_t* outHandle, int32_t lanTransport))                                                \
    X(NXFusionSphereSDK_CloseDisk, void, (void* instance, uint32_t handle))                       \
    X(NXFusionSphereSDK_ReadDisk, bool,                                                           \
      (void* instance, uint32_t handle, uint64_t offset, uint64_t count, void* buffer,            \
       uint64_t* inOutCount))                                                                     \
    X(NXFusionSphereSDK_WriteDisk, bool,                                                          \
      (void* instance, uint32_t handle, uint64_t offset, uint64_t count, const void* buffer,      \
       uint64_t* inOutCount))

// Function-pointer types, e.g. NXFusionSphereSDK_ReadDisk_Fn.
#define NXFUSIONSPHERESDK_DECLARE_FN_TYPE(name, result, params) \
    extern "C" {                                                \
    typedef result(*name##_Fn) params;                          \
    }
NXFUSIONSPHERESDK_ENTRY_POINTS(NXFUSIONSPHERESDK_DECLARE_FN_TYPE)
#undef NXFUSIONSPHERESDK_DECLARE_FN_TYPE

#define NXFUSIONSPHERESDK_LIBRARY_NAME "libNXFusionSphereSDK.so"
