// Entity queries: single VMs, hosts and datastores, VM lists under any inventory object, the
// proxy's own VM and host, and the framework's cache refills.
#include <set>

#include "FusionComputeInfo.h"

using namespace VMInfoStructs;
using namespace FusionComputeSDKCppBridge;

namespace {
const char* const kTagListForObject =
    "virtual int CFusionComputeInfo::GetVMInfoListForInventoryObject(const string&, "
    "VMInfoStructs::EInventoryType, UINT64, int, std::vector<VMInfoStructs::SVMInfo>&)";

const char* const kTagListForVMFolder =
    "int CFusionComputeInfo::GetVMInfoListForVMFolder(const string&, UINT64, int, "
    "std::vector<VMInfoStructs::SVMInfo>&)";

// Far deeper than any folder tree a person builds; a deeper answer is the service's fault.
const size_t kMaxVMFolderDepth = 32;

void Append(std::vector<SVMInfo>& out, const std::vector<SVMInfo>& vms) {
    out.insert(out.end(), vms.begin(), vms.end());
}
}  // namespace

int CFusionComputeInfo::GetVMInfoForVM(const string& name, const string& guid,
                                       const string& /*other*/, UINT64 flags, int /*request*/,
                                       SVMInfo& out) {
    if (bridge->GetVMInfo(name, "", guid, out, flags)) return 1;
    SetLastVMError(VMINFO_ERR_GET_VM_INFO, bridge->GetLastError());
    return 0;
}

int CFusionComputeInfo::GetHostInfoForHost(const string& name, UINT64 flags, int /*request*/,
                                           SHostInfo& out) {
    if (bridge->GetHostInfo(name, "", out, flags)) return 1;
    SetLastVMError(VMINFO_ERR_HOST_DS_QUERY, bridge->GetLastError());
    return 0;
}

int CFusionComputeInfo::GetDSInfoForDS(const string& name, const string& guid,
                                       const string& /*other*/, UINT64 flags, int /*request*/,
                                       SDatastoreInfo& out) {
    if (bridge->GetDataStoreInfo(name, guid, out, flags)) return 1;
    SetLastVMError(VMINFO_ERR_HOST_DS_QUERY, bridge->GetLastError());
    return 0;
}

int CFusionComputeInfo::GetVMInfoList(std::vector<SVMInfo>& out, UINT64 flags, int /*request*/,
                                      const std::vector<string>* names, EFilterType filterType) {
    std::vector<SVMInfo> vms;
    if (!bridge->GetVMInfoList(vms, flags)) return 0;
    if (names == nullptr || filterType == FILTER_TYPE_NONE)
        out = vms;
    else
        out = _FilterVMInfoList(vms, *names, filterType);
    return 1;
}

int CFusionComputeInfo::GetVMInfoListForInventoryObject(const string& guid, EInventoryType type,
                                                        UINT64 flags, int request,
                                                        std::vector<SVMInfo>& out) {
    log.Debug(kTagListForObject, "GetVMInfoListForInventoryObject for GUID [%s]", guid.c_str());
    bool ok = false;
    switch (type) {
        case INVENTORY_TYPE_VIRTUAL_SERVER:
            ok = bridge->GetVMInfoList(out, flags);
            break;
        case INVENTORY_TYPE_DATACENTER: {
            // Hosts in no cluster are not reached from a site.
            SDataCenterInfo site;
            ok = bridge->GetSiteInfo("", guid, site,
                                     flags | FC_FILL_SITE_CLUSTERS | FC_FILL_CLUSTER_VMS);
            if (ok)
                for (const SClusterInfo& cluster : site.vecClusters) Append(out, cluster.vecVMs);
            break;
        }
        case INVENTORY_TYPE_CLUSTER: {
            SClusterInfo cluster;
            ok = bridge->GetClusterInfo("", guid, cluster, flags | FC_FILL_CLUSTER_VMS);
            if (ok) out = cluster.vecVMs;
            break;
        }
        case INVENTORY_TYPE_HOST: {
            SHostInfo host;
            ok = bridge->GetHostInfo("", guid, host, flags | FC_FILL_HOST_VMS);
            if (ok) out = host.vecVMs;
            break;
        }
        case INVENTORY_TYPE_DATASTORE: {
            SDatastoreInfo datastore;
            ok = bridge->GetDataStoreInfo("", guid, datastore, flags | FC_FILL_DATASTORE_VMS);
            if (ok) out = datastore.vecVMs;
            break;
        }
        case INVENTORY_TYPE_VM_FOLDER:
            return GetVMInfoListForVMFolder(guid, flags, request, out) != 0 ? 1 : 0;
        case INVENTORY_TYPE_CLUSTER_FOLDER: {
            // Only the clusters directly in the folder; sub-folders are not visited.
            std::vector<SClusterInfo> clusters;
            ok = bridge->GetClusterInfoListForFolder(guid, clusters, flags | FC_FILL_CLUSTER_VMS);
            if (ok)
                for (const SClusterInfo& cluster : clusters) Append(out, cluster.vecVMs);
            break;
        }
        default:
            log.Error(kTagListForObject, "Unsupported inventory type [%d]", static_cast<int>(type));
            return 0;
    }
    if (ok) return 1;
    SetLastVMErrorDetails(bridge->GetLastError());
    return 0;
}

int CFusionComputeInfo::GetVMInfoListForVMFolder(const string& folderID, UINT64 flags,
                                                 int /*request*/, std::vector<SVMInfo>& out) {
    // The walk keeps its own stack instead of recursing: the tree's shape comes from the
    // service, and a folder listed below itself must end in an error, not in a stack overflow.
    struct SLevel {
        string strID;
        std::vector<SInventoryInfo> vecSubFolders;
        size_t nNext = 0;
    };
    std::vector<SLevel> path;
    std::set<string> visited;
    auto fail = [&](const string& details) {
        log.Error(kTagListForVMFolder, "%s", details.c_str());
        SetLastVMErrorDetails(details);
        return 0;
    };
    auto enter = [&](const string& id) {
        SLevel level;
        level.strID = id;
        if (!bridge->GetVMFolderInfoList(id, level.vecSubFolders)) {
            SetLastVMErrorDetails(bridge->GetLastError());
            return false;
        }
        path.push_back(std::move(level));
        return true;
    };
    visited.insert(folderID);
    if (!enter(folderID)) return 0;
    while (!path.empty()) {
        SLevel& level = path.back();
        // Sub-folders first, each fully, in the order the service lists them.
        if (level.nNext < level.vecSubFolders.size()) {
            const string child = level.vecSubFolders[level.nNext++].strID;
            for (const SLevel& above : path)
                if (above.strID == child)
                    return fail("VM folder [" + child + "] is listed below itself ([" +
                                level.strID + "]): the folder tree has a cycle");
            if (!visited.insert(child).second) continue;  // already walked through another parent
            if (path.size() >= kMaxVMFolderDepth)
                return fail("VM folder tree below [" + folderID + "] is more than " +
                            std::to_string(kMaxVMFolderDepth) + " levels deep");
            if (!enter(child)) return 0;
            continue;
        }
        std::vector<SVMInfo> vms;
        if (!bridge->GetVMInfoListForFolder(level.strID, vms, flags)) {
            SetLastVMErrorDetails(bridge->GetLastError());
            return 0;
        }
        Append(out, vms);
        path.pop_back();
    }
    return 1;
}

int CFusionComputeInfo::GetDSInfoListForHost(const string& name, std::vector<SDatastoreInfo>& out,
                                             UINT64 flags, int request) {
    SHostInfo host;
    if (GetHostInfoForHost(name, flags | FC_FILL_HOST_DATASTORES, request, host) != 0) {
        out = host.vecDatastores;
        return 1;
    }
    // Not a host: the name may be a cluster's, whose hosts often share datastores.
    SClusterInfo cluster;
    if (!bridge->GetClusterInfo(name, "", cluster,
                                flags | FC_FILL_CLUSTER_HOSTS | FC_FILL_HOST_DATASTORES))
        return 0;
    std::set<string> seen;
    for (const SHostInfo& clusterHost : cluster.vecHosts)
        for (const SDatastoreInfo& datastore : clusterHost.vecDatastores)
            if (seen.insert(datastore.strName).second) out.push_back(datastore);
    return 1;
}

int CFusionComputeInfo::GetLocalVMInfo(SVMInfo& out, UINT64 flags, int request) {
    string localGuid = GetLocalVMGuid();
    if (localGuid.empty()) return 0;
    return GetVMInfoForVM("", localGuid, "", flags | 1, request, out) != 0 ? 1 : 0;
}

int CFusionComputeInfo::GetLocalHostInfo(SHostInfo& out, UINT64 flags, int request) {
    SVMInfo localVM;
    if (GetLocalVMInfo(localVM, 0, 0) == 0) return 0;
    return GetHostInfoForHost(localVM.strHostName, flags, request, out) != 0 ? 1 : 0;
}

bool CFusionComputeInfo::_RefreshHostInfoCache(UINT64 flags, int request) {
    if (!IsNewHostDiscoveryReq(flags, request)) return true;
    // Cleared first: a failed refill must not leave the previous service's hosts behind.
    vecHostInfoCache.clear();
    if (!bridge->GetHostInfoList(vecHostInfoCache, flags)) {
        SetLastVMError(VMINFO_ERR_HOST_DS_QUERY, bridge->GetLastError());
        return false;
    }
    CVMInfo::_RefreshHostInfoCache(flags, request);
    return true;
}

bool CFusionComputeInfo::_RefreshDSInfoCache(UINT64 flags, int request) {
    if (!IsNewDiscoveryReq(vecDSInfoCache.size(), ullLastDSFlags, nLastDSRequest, flags, request))
        return true;
    vecDSInfoCache.clear();
    if (!bridge->GetDataStoreInfoList(vecDSInfoCache, flags)) {
        SetLastVMError(VMINFO_ERR_HOST_DS_QUERY);
        SetLastVMErrorDetails(bridge->GetLastError());
        return false;
    }
    CVMInfo::_RefreshClusterInfoCache(flags, request);
    return true;
}

bool CFusionComputeInfo::_RefreshClusterInfoCache(UINT64 /*flags*/, int /*request*/) {
    return false;
}
