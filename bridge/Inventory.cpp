// Inventory operations: sites, clusters, hosts, datastores, VMs and folders.
#include "Ops.h"
#include "Records.h"

namespace FusionComputeSDKCppBridge {

using namespace ops;

namespace {

bool Connected(CImpl& impl) {
    if (!impl.Site().empty()) return true;
    return impl.Fail("not connected to the management service");
}

template <typename R, typename F>
bool FillAll(CImpl& impl, const std::vector<json>& items, uint64_t flags, std::vector<R>& out,
             F fill) {
    std::vector<R> result;
    result.reserve(items.size());
    for (const auto& it : items) {
        R r;
        if (!fill(impl, it, flags, r)) return false;
        result.push_back(std::move(r));
    }
    out = std::move(result);
    return true;
}

}  // namespace

bool CFusionComputeSDKCppBridge::GetSiteInfoList(std::vector<SDataCenterInfo>& out,
                                                 uint64_t flags) {
    return m_pImpl->Run("GetSiteInfoList", [&] {
        std::vector<json> items;
        return Connected(*m_pImpl) && ListAll(*m_pImpl, "/service/sites", "", "sites", items) &&
               FillAll(*m_pImpl, items, flags, out, FillSite);
    });
}

bool CFusionComputeSDKCppBridge::GetClusterInfoList(std::vector<SClusterInfo>& out,
                                                    uint64_t flags) {
    return m_pImpl->Run("GetClusterInfoList", [&] {
        std::vector<json> items;
        return Connected(*m_pImpl) &&
               ListAll(*m_pImpl, m_pImpl->Site() + "/clusters", "", "clusters", items) &&
               FillAll(*m_pImpl, items, flags, out, FillCluster);
    });
}

bool CFusionComputeSDKCppBridge::GetHostInfoList(std::vector<SHostInfo>& out, uint64_t flags) {
    return m_pImpl->Run("GetHostInfoList", [&] {
        std::vector<json> items;
        return Connected(*m_pImpl) &&
               ListAll(*m_pImpl, m_pImpl->Site() + "/hosts", "", "hosts", items) &&
               FillAll(*m_pImpl, items, flags, out, FillHost);
    });
}

bool CFusionComputeSDKCppBridge::GetDataStoreInfoList(std::vector<SDatastoreInfo>& out,
                                                      uint64_t flags) {
    return m_pImpl->Run("GetDataStoreInfoList", [&] {
        std::vector<json> items;
        return Connected(*m_pImpl) &&
               ListAll(*m_pImpl, m_pImpl->Site() + "/datastores", "", "datastores", items) &&
               FillAll(*m_pImpl, items, flags, out, FillDatastore);
    });
}

bool CFusionComputeSDKCppBridge::GetVMInfoList(std::vector<SVMInfo>& out, uint64_t flags) {
    return m_pImpl->Run("GetVMInfoList", [&] {
        std::vector<SVMInfo> vms;
        if (!Connected(*m_pImpl) || !FillVMList(*m_pImpl, "", flags, vms)) return false;
        out = std::move(vms);
        return true;
    });
}

bool CFusionComputeSDKCppBridge::GetSiteInfo(const std::string& name, const std::string& guid,
                                             SDataCenterInfo& out, uint64_t flags) {
    return m_pImpl->Run("GetSiteInfo", [&] {
        std::vector<json> items;
        if (!Connected(*m_pImpl) || !ListAll(*m_pImpl, "/service/sites", "", "sites", items))
            return false;
        const std::string key = guid.empty() ? name : guid;
        if (key.empty()) return m_pImpl->Fail("no name or identifier given for the site");
        for (const auto& it : items) {
            const std::string urn = JStr(it, "urn");
            const bool match = guid.empty() ? (JStr(it, "name") == name || urn == name)
                                            : (urn == guid || UrnId(urn) == guid);
            if (match) {
                SDataCenterInfo site;
                if (!FillSite(*m_pImpl, it, flags, site)) return false;
                out = std::move(site);
                return true;
            }
        }
        return m_pImpl->Fail("Site [" + key + "] not found");
    });
}

bool CFusionComputeSDKCppBridge::GetClusterInfo(const std::string& name, const std::string& guid,
                                                SClusterInfo& out, uint64_t flags) {
    return m_pImpl->Run("GetClusterInfo", [&] {
        json j;
        SClusterInfo c;
        if (!FindObject(*m_pImpl, "clusters", "clusters", "cluster", name, guid, j) ||
            !FillCluster(*m_pImpl, j, flags, c))
            return false;
        out = std::move(c);
        return true;
    });
}

bool CFusionComputeSDKCppBridge::GetHostInfo(const std::string& name, const std::string& guid,
                                             SHostInfo& out, uint64_t flags) {
    return m_pImpl->Run("GetHostInfo", [&] {
        json j;
        SHostInfo h;
        if (!FindObject(*m_pImpl, "hosts", "hosts", "host", name, guid, j) ||
            !FillHost(*m_pImpl, j, flags, h))
            return false;
        out = std::move(h);
        return true;
    });
}

bool CFusionComputeSDKCppBridge::GetDataStoreInfo(const std::string& name, const std::string& guid,
                                                  SDatastoreInfo& out, uint64_t flags) {
    return m_pImpl->Run("GetDataStoreInfo", [&] {
        json j;
        SDatastoreInfo d;
        if (!FindObject(*m_pImpl, "datastores", "datastores", "datastore", name, guid, j) ||
            !FillDatastore(*m_pImpl, j, flags, d))
            return false;
        out = std::move(d);
        return true;
    });
}

bool CFusionComputeSDKCppBridge::GetVMInfo(const std::string& name, const std::string&,
                                           const std::string& guid, SVMInfo& out, uint64_t flags) {
    return m_pImpl->Run("GetVMInfo", [&] {
        json j;
        SVMInfo vm;
        if (!FindVM(*m_pImpl, name, guid, j) || !FillVM(*m_pImpl, j, flags, vm)) return false;
        out = std::move(vm);
        return true;
    });
}

namespace {

bool ListFolders(CImpl& impl, int type, const std::string& parent, EInventoryType eType,
                 bool bOnlyChildren, std::vector<SInventoryInfo>& out) {
    if (!Connected(impl)) return false;
    std::string query = "?type=" + std::to_string(type);
    if (!parent.empty()) query += "&parentObjUrn=" + UrlEncode(parent);
    std::vector<json> items;
    if (!ListAll(impl, impl.Site() + "/folder", query, "folders", items)) return false;
    std::vector<SInventoryInfo> result;
    const std::string site = SiteURN(impl);
    for (const auto& it : items) {
        // Keep only the folders directly below the one asked for, whether or not the service
        // applied the filter: a folder listed below itself would make the tree a cycle.
        const std::string p = JStr(it, "parentObjUrn");
        if (bOnlyChildren && (parent.empty() ? !(p.empty() || p == site) : p != parent)) continue;
        SInventoryInfo node;
        std::string why;
        if (!MapFolder(it, eType, node, why)) return impl.Fail(why);
        result.push_back(std::move(node));
    }
    out = std::move(result);
    return true;
}

}  // namespace

bool CFusionComputeSDKCppBridge::GetClusterFolderInfoList(std::vector<SInventoryInfo>& out) {
    return m_pImpl->Run("GetClusterFolderInfoList", [&] {
        return ListFolders(*m_pImpl, 0, std::string(), INVENTORY_TYPE_CLUSTER_FOLDER, false, out);
    });
}

bool CFusionComputeSDKCppBridge::GetVMFolderInfoList(const std::string& folderID,
                                                     std::vector<SInventoryInfo>& out) {
    return m_pImpl->Run("GetVMFolderInfoList", [&] {
        return ListFolders(*m_pImpl, 1, folderID, INVENTORY_TYPE_VM_FOLDER, true, out);
    });
}

bool CFusionComputeSDKCppBridge::GetClusterInfoListForFolder(const std::string& folderID,
                                                             std::vector<SClusterInfo>& out,
                                                             uint64_t flags) {
    return m_pImpl->Run("GetClusterInfoListForFolder", [&] {
        if (!Connected(*m_pImpl)) return false;
        // The site itself stands for "in no folder".
        const std::string parent = folderID.empty() ? SiteURN(*m_pImpl) : folderID;
        std::vector<json> items, inFolder;
        if (!ListAll(*m_pImpl, m_pImpl->Site() + "/clusters", "?parentObjUrn=" + UrlEncode(parent),
                     "clusters", items))
            return false;
        // Keep only what the filter asked for, whether or not the service applied it.
        for (auto& it : items) {
            const std::string p = JStr(it, "parentObjUrn");
            if (folderID.empty() ? (p.empty() || p == parent) : p == folderID)
                inFolder.push_back(std::move(it));
        }
        return FillAll(*m_pImpl, inFolder, flags, out, FillCluster);
    });
}

bool CFusionComputeSDKCppBridge::GetHostInfoListForCluster(const std::string& clusterID,
                                                           std::vector<SHostInfo>& out,
                                                           uint64_t flags) {
    return m_pImpl->Run("GetHostInfoListForCluster", [&] {
        if (!Connected(*m_pImpl)) return false;
        std::vector<json> items, selected;
        const std::string query = clusterID.empty() ? "" : "?scope=" + UrlEncode(clusterID);
        if (!ListAll(*m_pImpl, m_pImpl->Site() + "/hosts", query, "hosts", items)) return false;
        for (auto& it : items)
            if (JStr(it, "clusterUrn") == clusterID) selected.push_back(std::move(it));
        return FillAll(*m_pImpl, selected, flags, out, FillHost);
    });
}

bool CFusionComputeSDKCppBridge::GetVMInfoListForFolder(const std::string& folderID,
                                                        std::vector<SVMInfo>& out, uint64_t flags) {
    return m_pImpl->Run("GetVMInfoListForFolder", [&] {
        if (!Connected(*m_pImpl)) return false;
        std::vector<SVMInfo> vms, selected;
        const std::string site = SiteURN(*m_pImpl);
        const std::string query = folderID.empty() ? "" : "?scope=" + UrlEncode(folderID);
        if (!FillVMList(*m_pImpl, query, flags, vms)) return false;
        for (auto& vm : vms) {
            const bool inNoFolder = vm.strFolderID.empty() || vm.strFolderID == site;
            if (folderID.empty() ? inNoFolder : vm.strFolderID == folderID)
                selected.push_back(std::move(vm));
        }
        out = std::move(selected);
        return true;
    });
}

}  // namespace FusionComputeSDKCppBridge
