// Symbols of the agent framework are visible to the plug-in; everything else is hidden.
#pragma once
#define NX_EXPORT __attribute__((visibility("default")))
