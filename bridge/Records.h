// JSON objects of the management service -> the agent's records. Only the record's own
// fields are mapped here; nested lists (a host's VMs, a cluster's hosts...) are filled by the
// inventory code, which knows which flag bits ask for them.
#pragma once

#include <string>
#include <vector>

#include "FusionComputeSDKCppBridge.h"
#include "JsonUtil.h"

namespace FusionComputeSDKCppBridge {

// Each returns false with a reason when a field the bridge cannot do without is missing.
bool MapSite(const json& j, SDataCenterInfo& out, std::string& why);
bool MapCluster(const json& j, SClusterInfo& out, std::string& why);
bool MapHost(const json& j, SHostInfo& out, std::string& why);
bool MapDatastore(const json& j, SDatastoreInfo& out, std::string& why);
bool MapFolder(const json& j, EInventoryType eType, SInventoryInfo& out, std::string& why);
// The VM's own fields; disks and network cards only when asked for (and present).
bool MapVM(const json& j, bool bDisks, bool bNics, SVMInfo& out, std::string& why);
bool MapDisk(const json& j, const std::string& vmURN, SDisk& out, std::string& why);
bool MapNic(const json& j, SVMNetworkCard& out, std::string& why);
// One snapshot of a list or a single GET, without its children.
bool MapSnapshot(const json& j, SSnapshot& out, std::string& why);
// The snapshot tree of GET <vm>/snapshots, flattened parent first, so that a walk over the
// list meets every snapshot however deep it sits; strParentID links a child to its parent.
bool MapSnapshotTree(const json& j, std::vector<SSnapshot>& out, std::string& why);

// "YYYY-MM-DD HH:MM:SS" (UTC) -> seconds since the epoch; false when malformed.
bool ParseUtcTime(const std::string& text, int64_t& out);

}  // namespace FusionComputeSDKCppBridge
