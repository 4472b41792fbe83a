// Inventory browsing: the agent's tree with its three views, expanded level by level.
#include <strings.h>

#include <algorithm>

#include "FusionComputeInfo.h"
#include "WzUtil.h"

using namespace VMInfoStructs;

namespace {
const char* const kTagBrowse =
    "virtual int CFusionComputeInfo::BrowseInventory(const string&, const "
    "VMInfoStructs::SInventoryInfo&, std::vector<VMInfoStructs::SInventoryInfo>&, UINT64, int)";
const char* const kTagBrowseObject =
    "int CFusionComputeInfo::BrowseInventoryObject(const VMInfoStructs::SInventoryInfo&, "
    "std::vector<VMInfoStructs::SInventoryInfo>&, UINT64)";

// The views, in the order the root level shows them.
const char* const kViewNames[] = {"VMs", "Hosts", "Datastores"};
const int kViewCount = 3;

void SetKindFrom(std::vector<SInventoryInfo>& out, size_t first, EInventoryType kind) {
    for (size_t i = first; i < out.size(); ++i) out[i].eType = kind;
}
}  // namespace

int CFusionComputeInfo::BrowseInventory(const string& path, const SInventoryInfo& parent,
                                        std::vector<SInventoryInfo>& out, UINT64 flags,
                                        int /*request*/) {
    try {
        std::vector<string> components = CWzString(path.c_str()).Tokenize('\\');
        if (components.empty() || components[0] == "\\" || path == "\\")
            return BrowseViews(components, parent, out, flags);

        int result = 1;
        const string& view = components[0];
        if (FXString::CompareNoCase(view, kViewNames[0]) == 0)
            result = BrowseVMAndTemplate(components, parent, out, flags);
        else if (FXString::CompareNoCase(view, kViewNames[1]) == 0)
            result = BrowseComputePool(components, parent, out, flags);
        else if (FXString::CompareNoCase(view, kViewNames[2]) == 0)
            result = BrowseStoragePool(components, parent, out, flags);
        // A failing level keeps what was found so far, sorted, but says that it is incomplete:
        // an empty or partial level must not pass for the whole truth.
        SortInventoryList(out);
        return result != 0 ? 1 : 0;
    } catch (...) {
        log.Error(kTagBrowse, "Caught unhandled exception");
        return 0;
    }
}

int CFusionComputeInfo::BrowseViews(const std::vector<string>& /*components*/,
                                    const SInventoryInfo& /*parent*/,
                                    std::vector<SInventoryInfo>& out, UINT64 /*flags*/) {
    for (int i = 0; i < kViewCount; ++i) {
        SInventoryInfo view;
        view.strName = kViewNames[i];
        out.push_back(view);
    }
    return 1;
}

int CFusionComputeInfo::_BrowseSites(std::vector<SInventoryInfo>& out, UINT64 flags) {
    std::vector<SDataCenterInfo> sites;
    const bool ok = bridge->GetSiteInfoList(sites, flags);
    SInventoryInfo::FillInventoryInfoListFromDataCenterInfoList(sites, out);
    // A service that cannot be reached must not look like a platform without sites.
    return ok ? 1 : _BrowseFailed("the sites");
}

int CFusionComputeInfo::_BrowseFailed(const char* what) {
    const string text = bridge->GetLastError();
    SetLastVMErrorDetails(text);
    log.Error(kTagBrowse, "Failed to list %s, %s", what, text.c_str());
    return 0;
}

// Sites; then the top-level VM folders and the VMs in no folder; then any object below.
int CFusionComputeInfo::BrowseVMAndTemplate(const std::vector<string>& components,
                                            const SInventoryInfo& parent,
                                            std::vector<SInventoryInfo>& out, UINT64 flags) {
    if (components.size() == 1) return _BrowseSites(out, flags);
    if (components.size() == 2) {
        SInventoryInfo topFolder;
        topFolder.eType = INVENTORY_TYPE_VM_FOLDER;
        return BrowseInventoryObject(topFolder, out, flags);
    }
    return BrowseInventoryObject(parent, out, flags);
}

// Sites; then cluster folders, clusters in no folder and hosts in no cluster; then any object.
int CFusionComputeInfo::BrowseComputePool(const std::vector<string>& components,
                                          const SInventoryInfo& parent,
                                          std::vector<SInventoryInfo>& out, UINT64 flags) {
    if (components.size() == 1) return _BrowseSites(out, flags);
    if (components.size() == 2) {
        // Every listing is tried; what the others found is kept when one fails.
        std::vector<SInventoryInfo> folders;
        bool ok = bridge->GetClusterFolderInfoList(folders);
        size_t first = out.size();
        out.insert(out.end(), folders.begin(), folders.end());
        SetKindFrom(out, first, INVENTORY_TYPE_CLUSTER_FOLDER);

        std::vector<SClusterInfo> clusters;
        ok = bridge->GetClusterInfoListForFolder("", clusters, flags) && ok;
        SInventoryInfo::FillInventoryInfoListFromClusterInfoList(clusters, out);

        std::vector<SHostInfo> hosts;
        ok = bridge->GetHostInfoListForCluster("", hosts, flags) && ok;
        SInventoryInfo::FillInventoryInfoListFromHostInfoList(hosts, out);
        return ok ? 1 : _BrowseFailed("the clusters and free hosts");
    }
    return BrowseInventoryObject(parent, out, flags);
}

// Sites; then datastores; then the VMs on a datastore.
int CFusionComputeInfo::BrowseStoragePool(const std::vector<string>& components,
                                          const SInventoryInfo& parent,
                                          std::vector<SInventoryInfo>& out, UINT64 flags) {
    if (components.size() == 1) return _BrowseSites(out, flags);
    if (components.size() == 2) {
        std::vector<SDatastoreInfo> datastores;
        if (!bridge->GetDataStoreInfoList(datastores, flags)) return 0;
        SInventoryInfo::FillInventoryInfoListFromDatastoreInfoList(datastores, out);
        return 1;
    }
    return BrowseInventoryObject(parent, out, flags);
}

int CFusionComputeInfo::BrowseInventoryObject(const SInventoryInfo& parent,
                                              std::vector<SInventoryInfo>& out, UINT64 flags) {
    // The agent hands the chain from the view down to the node to open; the node is its end.
    const SInventoryInfo* target = &parent;
    while (!target->vecChildren.empty()) target = &target->vecChildren.front();
    const string& name = target->strName;
    const string& id = target->strID;

    bool ok = false;
    switch (target->eType) {
        case INVENTORY_TYPE_DATACENTER: {
            SDataCenterInfo site;
            ok = bridge->GetSiteInfo(name, id, site,
                                     flags | FusionComputeSDKCppBridge::FC_FILL_SITE_CLUSTERS);
            if (ok) SInventoryInfo::FillInventoryInfoListFromClusterInfoList(site.vecClusters, out);
            break;
        }
        case INVENTORY_TYPE_CLUSTER: {
            SClusterInfo cluster;
            ok = bridge->GetClusterInfo(name, id, cluster,
                                        flags | FusionComputeSDKCppBridge::FC_FILL_CLUSTER_HOSTS |
                                            FusionComputeSDKCppBridge::FC_FILL_CLUSTER_VMS);
            if (ok) {
                SInventoryInfo::FillInventoryInfoListFromHostInfoList(cluster.vecHosts, out);
                SInventoryInfo::FillInventoryInfoListFromVMInfoList(cluster.vecVMs, out);
            }
            break;
        }
        case INVENTORY_TYPE_HOST: {
            SHostInfo host;
            ok = bridge->GetHostInfo(name, id, host,
                                     flags | FusionComputeSDKCppBridge::FC_FILL_HOST_VMS);
            if (ok) SInventoryInfo::FillInventoryInfoListFromVMInfoList(host.vecVMs, out);
            break;
        }
        case INVENTORY_TYPE_DATASTORE: {
            SDatastoreInfo datastore;
            ok = bridge->GetDataStoreInfo(name, id, datastore,
                                          flags | FusionComputeSDKCppBridge::FC_FILL_DATASTORE_VMS);
            if (ok) SInventoryInfo::FillInventoryInfoListFromVMInfoList(datastore.vecVMs, out);
            break;
        }
        case INVENTORY_TYPE_VM_FOLDER: {
            // A folder whose sub-folders cannot be listed still shows its VMs.
            std::vector<SInventoryInfo> folders;
            bridge->GetVMFolderInfoList(id, folders);
            size_t first = out.size();
            out.insert(out.end(), folders.begin(), folders.end());
            SetKindFrom(out, first, INVENTORY_TYPE_VM_FOLDER);
            std::vector<SVMInfo> vms;
            bridge->GetVMInfoListForFolder(id, vms, flags);
            SInventoryInfo::FillInventoryInfoListFromVMInfoList(vms, out);
            return 1;
        }
        case INVENTORY_TYPE_CLUSTER_FOLDER: {
            std::vector<SClusterInfo> clusters;
            ok = bridge->GetClusterInfoListForFolder(id, clusters, flags);
            if (ok) SInventoryInfo::FillInventoryInfoListFromClusterInfoList(clusters, out);
            break;
        }
        default:
            return 0;
    }
    if (!ok) {
        log.Error(kTagBrowseObject, "Failed to expand inventory object [%s] of type [%d], %s",
                  name.c_str(), static_cast<int>(target->eType), bridge->GetLastError().c_str());
        return 0;
    }
    return 1;
}

void CFusionComputeInfo::SortInventoryList(std::vector<SInventoryInfo>& list) {
    for (SInventoryInfo& node : list)
        if (!node.vecChildren.empty()) SortInventoryList(node.vecChildren);
    std::sort(list.begin(), list.end(), SortInventoryList_Compare);
}

bool CFusionComputeInfo::SortInventoryList_Compare(const SInventoryInfo& a,
                                                   const SInventoryInfo& b) {
    if (a.eType != b.eType) return static_cast<int>(a.eType) < static_cast<int>(b.eType);
    return strcasecmp(a.strName.c_str(), b.strName.c_str()) < 0;
}

int CFusionComputeInfo::GetInventoryInfoList(std::vector<SInventoryInfo>& out, UINT64 /*flags*/,
                                             int /*request*/) {
    std::vector<SClusterInfo> clusters;
    bool clustersOk =
        bridge->GetClusterInfoList(clusters, FusionComputeSDKCppBridge::FC_FILL_CLUSTER_HOSTS);
    if (clustersOk) SInventoryInfo::FillInventoryInfoListFromClusterInfoList(clusters, out);

    std::vector<SHostInfo> hosts;
    bool hostsOk = bridge->GetHostInfoListForCluster("", hosts, 0);
    if (hostsOk) SInventoryInfo::FillInventoryInfoListFromHostInfoList(hosts, out);

    if (!clustersOk && !hostsOk) {
        SetLastVMErrorDetails(bridge->GetLastError());
        return 0;
    }
    return 1;
}
