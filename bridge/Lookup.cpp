// Finding objects and filling records with the nested lists their flag word asks for.
#include <strings.h>

#include <cctype>

#include "Ops.h"
#include "Records.h"

namespace FusionComputeSDKCppBridge {
namespace ops {

namespace {
constexpr int kPageSize = 100;
constexpr int kMaxPages = 10000;  // a service that never ends its list cannot loop us forever
}  // namespace

std::string SiteURN(CImpl& impl) {
    const std::string uri = impl.Site();
    if (uri.rfind("/service/", 0) != 0) return std::string();
    std::string urn = "urn:" + uri.substr(9);
    for (auto& c : urn)
        if (c == '/') c = ':';
    return urn;
}

bool ListAll(CImpl& impl, const std::string& path, const std::string& query, const char* key,
             std::vector<json>& out) {
    out.clear();
    const std::string sep = query.empty() ? "?" : query + "&";
    for (int page = 0; page < kMaxPages; ++page) {
        json body;
        const std::string q =
            sep + "limit=" + std::to_string(kPageSize) + "&offset=" + std::to_string(out.size());
        if (!impl.Get(path + q, body)) return false;
        if (!body.is_object() || !body.contains(key) || !body[key].is_array())
            return impl.Fail("the answer to GET " + path + " has no '" + key + "' list");
        const json& items = body[key];
        for (const auto& it : items) out.push_back(it);
        // Lists without a total (sites, clusters, folders) come in one piece.
        if (!JHas(body, "total")) return true;
        const int64_t total = JInt(body, "total", -1);
        if (items.empty() || total < 0 || static_cast<int64_t>(out.size()) >= total) return true;
    }
    return impl.Fail("the list at " + path + " does not end");
}

bool ObjectUri(CImpl& impl, const char* collection, const std::string& key, std::string& uri) {
    const std::string site = impl.Site();
    const std::string prefix = site + "/" + collection + "/";
    if (key.rfind("urn:", 0) == 0) {
        uri = UrnToUri(key);
        if (uri.rfind(prefix, 0) == 0 && uri.find('/', prefix.size()) == std::string::npos)
            return true;
        return impl.Fail(std::string("[") + key + "] is not the identifier of one of the site's " +
                         collection);
    }
    if (!IsSafeSegment(key))
        return impl.Fail(std::string("[") + key + "] is not a valid identifier of " + collection);
    uri = prefix + key;
    return true;
}

bool FindObject(CImpl& impl, const char* collection, const char* itemsKey, const char* what,
                const std::string& name, const std::string& id, json& out) {
    if (impl.Site().empty()) return impl.Fail("not connected to the management service");
    const std::string key = id.empty() ? name : id;
    if (key.empty()) return impl.Fail(std::string("no name or identifier given for the ") + what);
    if (!id.empty() || key.rfind("urn:", 0) == 0) {
        std::string uri;
        if (!ObjectUri(impl, collection, key, uri)) return false;
        if (!impl.Get(uri, out)) return false;
        if (!out.is_object())
            return impl.Fail(std::string("the answer for the ") + what + " [" + key +
                             "] is not an object");
        return true;
    }
    std::vector<json> items;
    if (!ListAll(impl, impl.Site() + "/" + collection, "?name=" + UrlEncode(name), itemsKey, items))
        return false;
    for (auto& it : items) {
        if (JStr(it, "name") == name) {
            out = std::move(it);
            return true;
        }
    }
    return impl.Fail(std::string(1, static_cast<char>(std::toupper(what[0]))) + (what + 1) + " [" +
                     name + "] not found");
}

bool FindVM(CImpl& impl, const std::string& name, const std::string& guidOrUrn, json& out) {
    if (impl.Site().empty()) return impl.Fail("not connected to the management service");
    const std::string key = guidOrUrn.empty() ? name : guidOrUrn;
    if (key.empty()) return impl.Fail("no VM name or GUID given");
    if (key.rfind("urn:", 0) == 0) {
        std::string uri;
        if (!ObjectUri(impl, "vms", key, uri) || !impl.Get(uri, out)) return false;
        if (!out.is_object()) return impl.Fail("the answer for VM [" + key + "] is not an object");
        return true;
    }
    const std::string path = impl.Site() + "/vms";
    std::vector<json> items;
    if (!guidOrUrn.empty()) {
        if (!ListAll(impl, path, "?detail=2&uuid=" + UrlEncode(guidOrUrn), "vms", items))
            return false;
        // A GUID read from the BIOS comes in capitals; the service writes it in lower case.
        std::string lower = guidOrUrn;
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (items.empty() && lower != guidOrUrn &&
            !ListAll(impl, path, "?detail=2&uuid=" + UrlEncode(lower), "vms", items))
            return false;
        for (auto& it : items) {
            if (strcasecmp(JStr(it, "uuid").c_str(), guidOrUrn.c_str()) == 0) {
                out = std::move(it);
                return true;
            }
        }
        return impl.Fail("VM with GUID [" + guidOrUrn + "] not found");
    }
    if (!ListAll(impl, path, "?detail=2&name=" + UrlEncode(name), "vms", items)) return false;
    for (auto& it : items) {
        if (JStr(it, "name") == name) {
            out = std::move(it);
            return true;
        }
    }
    return impl.Fail("VM [" + name + "] not found");
}

bool VMUri(CImpl& impl, const std::string& name, const std::string& urn, const std::string& guid,
           std::string& uri) {
    if (!urn.empty()) return ObjectUri(impl, "vms", urn, uri);
    json vm;
    if (!FindVM(impl, name, guid, vm)) return false;
    const std::string vmUrn = JStr(vm, "urn");
    if (vmUrn.empty()) return impl.Fail("the answer for VM [" + name + guid + "] has no 'urn'");
    return ObjectUri(impl, "vms", vmUrn, uri);
}

bool FillVM(CImpl& impl, const json& j, uint64_t flags, SVMInfo& out) {
    std::string why;
    if (!MapVM(j, WantDisks(flags), WantNics(flags), out, why)) return impl.Fail(why);
    if (WantSnapshots(flags)) {
        std::string uri;
        json tree;
        if (!ObjectUri(impl, "vms", out.strURN, uri) || !impl.Get(uri + "/snapshots", tree))
            return false;
        if (!MapSnapshotTree(tree, out.vecSnapshots, why)) return impl.Fail(why);
    }
    return true;
}

bool FillVMList(CImpl& impl, const std::string& query, uint64_t flags, std::vector<SVMInfo>& out) {
    out.clear();
    std::vector<json> items;
    const std::string detail = WantDisks(flags) ? "detail=2" : "detail=1";
    if (!ListAll(impl, impl.Site() + "/vms", (query.empty() ? "?" : query + "&") + detail, "vms",
                 items))
        return false;
    out.reserve(items.size());
    for (const auto& it : items) {
        SVMInfo vm;
        if (!FillVM(impl, it, flags, vm)) return false;
        out.push_back(std::move(vm));
    }
    return true;
}

bool FillDatastore(CImpl& impl, const json& j, uint64_t flags, SDatastoreInfo& out) {
    std::string why;
    if (!MapDatastore(j, out, why)) return impl.Fail(why);
    if (flags & FC_FILL_DATASTORE_VMS)
        return FillVMList(impl, "?scope=" + UrlEncode(out.strURN), flags, out.vecVMs);
    return true;
}

bool FillHost(CImpl& impl, const json& j, uint64_t flags, SHostInfo& out) {
    std::string why;
    if (!MapHost(j, out, why)) return impl.Fail(why);
    if (flags & FC_FILL_HOST_DATASTORES) {
        std::vector<json> items;
        if (!ListAll(impl, impl.Site() + "/datastores", "?scope=" + UrlEncode(out.strURN),
                     "datastores", items))
            return false;
        for (const auto& it : items) {
            SDatastoreInfo ds;
            if (!FillDatastore(impl, it, flags, ds)) return false;
            out.vecDatastores.push_back(std::move(ds));
        }
    }
    if (flags & FC_FILL_HOST_VMS)
        return FillVMList(impl, "?scope=" + UrlEncode(out.strURN), flags, out.vecVMs);
    return true;
}

bool FillCluster(CImpl& impl, const json& j, uint64_t flags, SClusterInfo& out) {
    std::string why;
    if (!MapCluster(j, out, why)) return impl.Fail(why);
    if (flags & FC_FILL_CLUSTER_HOSTS) {
        std::vector<json> items;
        if (!ListAll(impl, impl.Site() + "/hosts", "?scope=" + UrlEncode(out.strURN), "hosts",
                     items))
            return false;
        for (const auto& it : items) {
            SHostInfo host;
            if (!FillHost(impl, it, flags, host)) return false;
            out.vecHosts.push_back(std::move(host));
        }
    }
    if (flags & FC_FILL_CLUSTER_VMS)
        return FillVMList(impl, "?scope=" + UrlEncode(out.strURN), flags, out.vecVMs);
    return true;
}

bool FillSite(CImpl& impl, const json& j, uint64_t flags, SDataCenterInfo& out) {
    std::string why;
    if (!MapSite(j, out, why)) return impl.Fail(why);
    if (flags & FC_FILL_SITE_CLUSTERS) {
        const std::string uri = UrnToUri(out.strURN);
        if (uri.empty()) return impl.Fail("site [" + out.strURN + "] has an invalid URN");
        std::vector<json> items;
        if (!ListAll(impl, uri + "/clusters", "", "clusters", items)) return false;
        for (const auto& it : items) {
            SClusterInfo c;
            if (!FillCluster(impl, it, flags, c)) return false;
            out.vecClusters.push_back(std::move(c));
        }
    }
    return true;
}

bool SnapshotUri(CImpl& impl, const std::string& snapshotID, std::string& uri) {
    uri = UrnToUri(snapshotID);
    const std::string site = impl.Site();
    if (site.empty()) return impl.Fail("not connected to the management service");
    // <site>/vms/<vm>/snapshots/<id>
    const std::string prefix = site + "/vms/";
    const size_t mid = uri.find("/snapshots/", prefix.size());
    if (uri.rfind(prefix, 0) != 0 || mid == std::string::npos ||
        uri.find('/', prefix.size()) != mid || uri.find('/', mid + 11) != std::string::npos)
        return impl.Fail("[" + snapshotID + "] is not a snapshot identifier of this site");
    return true;
}

bool SnapshotDiskEntry(CImpl& impl, const std::string& snapshotID, const std::string& diskKey,
                       json& entry) {
    std::string uri;
    json snap;
    if (!SnapshotUri(impl, snapshotID, uri) || !impl.Get(uri, snap)) return false;
    for (const auto& vs : JArr(snap, "volsnapshots")) {
        if (JStr(vs, "volumeUrn") == diskKey) {
            entry = vs;
            return true;
        }
    }
    return impl.Fail("disk [" + diskKey + "] is not part of snapshot [" + snapshotID + "]");
}

}  // namespace ops
}  // namespace FusionComputeSDKCppBridge
