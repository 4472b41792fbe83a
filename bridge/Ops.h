// Helpers shared by the files that implement the bridge's operations. Each records its failure
// as the calling thread's last error and returns false.
#pragma once

#include <string>
#include <vector>

#include "BridgeImpl.h"

namespace FusionComputeSDKCppBridge {
namespace ops {

using CImpl = CBridgeCore;

// Flag bits of a VM record's own lists; see FusionComputeSDKCppBridge.h.
inline bool WantDisks(uint64_t f) {
    return (f & FC_FILL_VM_DISKS) != 0;
}
inline bool WantSnapshots(uint64_t f) {
    return (f & FC_FILL_VM_SNAPSHOTS) != 0;
}
inline bool WantNics(uint64_t f) {
    return (f & FC_FILL_VM_NICS) != 0;
}

// "urn:sites:<id>" of the site in use.
std::string SiteURN(CImpl& impl);

// Every item of a list, page by page when the service pages it. query starts with '?' or is
// empty.
bool ListAll(CImpl& impl, const std::string& path, const std::string& query, const char* key,
             std::vector<json>& out);

// The URI of an object of the site's collection ("vms", "hosts", ...) named by a URN or a bare
// id; refuses anything that would leave that collection.
bool ObjectUri(CImpl& impl, const char* collection, const std::string& key, std::string& uri);

// One object of a collection by GUID/URN/id (preferred) or by exact name.
bool FindObject(CImpl& impl, const char* collection, const char* itemsKey, const char* what,
                const std::string& name, const std::string& id, json& out);

// One VM by GUID (uuid), URN or exact name, with its disks (detail 2).
bool FindVM(CImpl& impl, const std::string& name, const std::string& guidOrUrn, json& out);
// The URI of a VM given any of its keys.
bool VMUri(CImpl& impl, const std::string& name, const std::string& urn, const std::string& guid,
           std::string& uri);

// Records with the nested lists the flag word asks for.
bool FillVM(CImpl& impl, const json& j, uint64_t flags, SVMInfo& out);
bool FillVMList(CImpl& impl, const std::string& query, uint64_t flags, std::vector<SVMInfo>& out);
bool FillHost(CImpl& impl, const json& j, uint64_t flags, SHostInfo& out);
bool FillCluster(CImpl& impl, const json& j, uint64_t flags, SClusterInfo& out);
bool FillDatastore(CImpl& impl, const json& j, uint64_t flags, SDatastoreInfo& out);
bool FillSite(CImpl& impl, const json& j, uint64_t flags, SDataCenterInfo& out);

// A VM snapshot's URI from its id (the snapshot URN).
bool SnapshotUri(CImpl& impl, const std::string& snapshotID, std::string& uri);
// The volsnapshots entry of one disk (by volume URN) in a snapshot.
bool SnapshotDiskEntry(CImpl& impl, const std::string& snapshotID, const std::string& diskKey,
                       json& entry);

}  // namespace ops
}  // namespace FusionComputeSDKCppBridge
