// The SDK's exported C entry points. Each runs its body (NXFusionSphereSDK.cpp) and turns any
// exception into the failure its contract names: false, a null instance, or nothing for the
// entry points without a result. The exception is reported as an error line when the host's
// error callback still works.
#include <exception>

#include "NXFusionSphereSDK.h"
#include "SdkEntryBodies.h"
#include "SdkLog.h"

#define NXSDK_DECLARE_EXPORT(name, result, params) \
    extern "C" __attribute__((visibility("default"))) result name params noexcept;
NXFUSIONSPHERESDK_ENTRY_POINTS(NXSDK_DECLARE_EXPORT)
#undef NXSDK_DECLARE_EXPORT

namespace {

void ReportEscape(const char* entry, const char* what) noexcept {
    try {
        nxsdk::LogError("%s failed: %s", entry, what);
    } catch (...) {
        // The error callback is what threw; there is no one left to tell.
    }
}

template <typename R, typename F>
R Guarded(const char* entry, R onFailure, F&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        ReportEscape(entry, e.what());
    } catch (...) {
        ReportEscape(entry, "unknown exception");
    }
    return onFailure;
}

template <typename F>
void Guarded(const char* entry, F&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        ReportEscape(entry, e.what());
    } catch (...) {
        ReportEscape(entry, "unknown exception");
    }
}

}  // namespace

namespace b = nxsdk::body;

void NXFusionSphereSDK_SetupLogging(NXFusionSphereSDK_LogFunc error1,
                                    NXFusionSphereSDK_LogFunc error2,
                                    NXFusionSphereSDK_LogFunc error3,
                                    NXFusionSphereSDK_LogFunc debug1,
                                    NXFusionSphereSDK_LogFunc debug2,
                                    NXFusionSphereSDK_LogFunc trace) noexcept {
    Guarded("SetupLogging", [&] {
        b::NXFusionSphereSDK_SetupLogging(error1, error2, error3, debug1, debug2, trace);
    });
}

void NXFusionSphereSDK_InitialSDK(int arg1, int arg2, int arg3) noexcept {
    Guarded("InitialSDK", [&] { b::NXFusionSphereSDK_InitialSDK(arg1, arg2, arg3); });
}

bool NXFusionSphereSDK_VerifyLUNAttached(const char** luns) noexcept {
    return Guarded("VerifyLUNAttached", false,
                   [&] { return b::NXFusionSphereSDK_VerifyLUNAttached(luns); });
}

void* NXFusionSphereSDK_CreateInstance(int32_t lanTransport) noexcept {
    return Guarded("CreateInstance", static_cast<void*>(nullptr),
                   [&] { return b::NXFusionSphereSDK_CreateInstance(lanTransport); });
}

void NXFusionSphereSDK_DestroyInstance(void* instance) noexcept {
    Guarded("DestroyInstance", [&] { b::NXFusionSphereSDK_DestroyInstance(instance); });
}

bool NXFusionSphereSDK_ConnectCNA(void* instance, const char* cnaAddress, uint32_t cnaPort,
                                  const char* token, int32_t arg5, const char* arg6) noexcept {
    return Guarded("ConnectCNA", false, [&] {
        return b::NXFusionSphereSDK_ConnectCNA(instance, cnaAddress, cnaPort, token, arg5, arg6);
    });
}

void NXFusionSphereSDK_DisConnectCNA(void* instance) noexcept {
    Guarded("DisConnectCNA", [&] { b::NXFusionSphereSDK_DisConnectCNA(instance); });
}

bool NXFusionSphereSDK_OpenDisk(void* instance, const char** luns, const char* targetFile,
                                int32_t writable, uint32_t* outHandle,
                                int32_t lanTransport) noexcept {
    return Guarded("OpenDisk", false, [&] {
        return b::NXFusionSphereSDK_OpenDisk(instance, luns, targetFile, writable, outHandle,
                                             lanTransport);
    });
}

void NXFusionSphereSDK_CloseDisk(void* instance, uint32_t handle) noexcept {
    Guarded("CloseDisk", [&] { b::NXFusionSphereSDK_CloseDisk(instance, handle); });
}

bool NXFusionSphereSDK_ReadDisk(void* instance, uint32_t handle, uint64_t offset, uint64_t count,
                                void* buffer, uint64_t* inOutCount) noexcept {
    return Guarded("ReadDisk", false, [&] {
        return b::NXFusionSphereSDK_ReadDisk(instance, handle, offset, count, buffer, inOutCount);
    });
}

bool NXFusionSphereSDK_WriteDisk(void* instance, uint32_t handle, uint64_t offset, uint64_t count,
                                 const void* buffer, uint64_t* inOutCount) noexcept {
    return Guarded("WriteDisk", false, [&] {
        return b::NXFusionSphereSDK_WriteDisk(instance, handle, offset, count, buffer, inOutCount);
    });
}
