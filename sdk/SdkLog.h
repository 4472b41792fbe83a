// The SDK's messages go to the six callbacks the host registered with SetupLogging
// (three error, two debug, one trace); before that they are dropped.
#pragma once

#include "NXFusionSphereSDK.h"

namespace nxsdk {

void SetLogCallbacks(const NXFusionSphereSDK_LogFunc callbacks[6]);
void LogError(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LogDebug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LogTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace nxsdk
