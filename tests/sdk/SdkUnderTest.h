// Our backup SDK loaded the way the plug-in loads it (dlopen, dlsym by name), with its log
// callbacks captured.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

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

    static std::mutex& Lock() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& Errors() {
        static std::vector<std::string> v;
        return v;
    }
    static void OnError(const char* text) {
        std::lock_guard<std::mutex> g(Lock());
        Errors().push_back(text);
    }
    static void OnDebug(const char*) {}
    static bool ErrorContains(const std::string& fragment) {
        std::lock_guard<std::mutex> g(Lock());
        for (const auto& e : Errors())
            if (e.find(fragment) != std::string::npos) return true;
        return false;
    }
    static std::string AllErrors() {
        std::lock_guard<std::mutex> g(Lock());
        std::string s;
        for (const auto& e : Errors()) s += e + "\n";
        return s;
    }
};

// A digest of a buffer (FNV-1a, 64 bits) for comparing whole disks.
inline uint64_t Fnv1a(const std::vector<uint8_t>& data) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : data) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}
