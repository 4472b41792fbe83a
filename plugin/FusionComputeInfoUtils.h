// Free functions of the plug-in. IsFusionStorageDatastore is exported: the agent and the disk
// layer use it to route disks on FusionStorage datastores.
#pragma once

#include "VMInfo.h"
#include "VMInfoStructs.h"

// The only symbols of the plug-in that leave the library.
#define FC_PLUGIN_EXPORT __attribute__((visibility("default")))

extern "C" FC_PLUGIN_EXPORT int CreateFusionComputeInfoObject(VirtualServerInstanceType type,
                                                              IVMInfo** out);

// True exactly when the datastore's type is "DSWARE" (whole string, letter case included).
FC_PLUGIN_EXPORT bool IsFusionStorageDatastore(const VMInfoStructs::SDatastoreInfo& datastore);
