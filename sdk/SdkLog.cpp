#include "SdkLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace nxsdk {

namespace {
std::mutex g_lock;
NXFusionSphereSDK_LogFunc g_callbacks[6] = {};
enum { kError = 0, kDebug = 3, kTrace = 5 };

void Emit(int slot, const char* fmt, va_list args) {
    NXFusionSphereSDK_LogFunc cb;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        cb = g_callbacks[slot];
    }
    if (!cb) return;
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), fmt, args);
    text.resize(static_cast<size_t>(n));
    cb(text.c_str());
}
}  // namespace

void SetLogCallbacks(const NXFusionSphereSDK_LogFunc callbacks[6]) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (int i = 0; i < 6; ++i) g_callbacks[i] = callbacks[i];
}

#define NXSDK_LOG_FN(fn, slot)      \
    void fn(const char* fmt, ...) { \
        va_list args;               \
        va_start(args, fmt);        \
        Emit(slot, fmt, args);      \
        va_end(args);               \
    }
NXSDK_LOG_FN(LogError, kError)
NXSDK_LOG_FN(LogDebug, kDebug)
NXSDK_LOG_FN(LogTrace, kTrace)

}  // namespace nxsdk
