// The bodies of the SDK's entry points, under the entry points' own names in nxsdk::body. They
// may throw (a host's log callback, memory running out); the exported C entry points
// (SdkEntryPoints.cpp) call them behind a catch-all, since no exception may reach a C caller.
#pragma once

#include "NXFusionSphereSDK.h"

namespace nxsdk {
namespace body {

#define NXSDK_DECLARE_BODY(name, result, params) result name params;
NXFUSIONSPHERESDK_ENTRY_POINTS(NXSDK_DECLARE_BODY)
#undef NXSDK_DECLARE_BODY

}  // namespace body
}  // namespace nxsdk
