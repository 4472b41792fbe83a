// Our backup SDK loaded the way the plug-in loads it (dlopen, dlsym by name), with its error
// lines captured.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "NXFusionSphereSDK.h"

struct SSdkUnderTest {
#define SDK_TEST_SLOT(name, result, params) name##_Fn name = nullptr;
    NXFUSIONSPHERESDK_ENTRY_POINTS(SDK_TEST_SLOT)
#undef SDK_TEST_SLOT
    void* pLibrary = nullptr;

    SSdkUnderTest() {
        pLibrary = dlopen(FC_TEST_SDK_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!pLibrary) return;
#define SDK_TEST_LOAD(name, result, params) \
    name = reinterpret_cast<name##_Fn>(dlsym(pLibrary, #name));
        NXFUSIONSPHERESDK_ENTRY_POINTS(SDK_TEST_LOAD)
#undef SDK_TEST_LOAD
        NXFusionSphereSDK_SetupLogging(OnError, OnError, OnError, OnDebug, OnDebug, OnDebug);
    }
    ~SSdkUnderTest() {
        if (pLibrary) dlclose(pLibrary);
    }

    static void OnError(const char* text) {
        std::lock_guard<std::mutex> g(s_lock);
        s_log += std::string(text) + "\n";
    }
    static void OnDebug(const char*) {}
    // Every error line logged so far, one a line.
    static std::string AllErrors() {
        std::lock_guard<std::mutex> g(s_lock);
        return s_log;
    }
    static bool ErrorContains(const std::string& fragment) {
        return AllErrors().find(fragment) != std::string::npos;
    }

private:
    static inline std::mutex s_lock;
    static inline std::string s_log;
};
