// Sites, clusters, hosts, datastores, port groups and folders.
#include "MgmtInternal.h"

namespace fcsim {

namespace {

using CImpl = CMgmtService::CImpl;

json ListSites(CImpl& d, SReq&) {
    return {{"sites", json::array({d.Render().Site()})}};
}

json GetSite(CImpl& d, SReq&) {
    return d.Render().Site();
}

json ListClusters(CImpl& d, SReq& r) {
    std::string parent = r.Query("parentObjUrn");
    std::string folderFilter;
    bool bTop = parent == d.Inv().SiteUrn();
    if (!parent.empty() && !bTop) {
        folderFilter = d.Inv().IdFromUrn(parent, "folders");
        if (folderFilter.empty()) Fail("10000001", "parentObjUrn is not a folder or the site.");
    }
    std::string name = r.Query("name");
    json out = json::array();
    for (json* c : d.Inv().Sorted("clusters")) {
        std::string folder = c->value("folderId", "");
        if (bTop && !folder.empty()) continue;
        if (!folderFilter.empty() && folder != folderFilter) continue;
        if (!name.empty() && (*c)["name"] != name) continue;
        out.push_back(d.Render().Cluster(*c));
    }
    return {{"clusters", out}};
}

json GetCluster(CImpl& d, SReq& r) {
    return d.Render().Cluster(d.Inv().Obj("clusters", r.vecArgs[1], "10300028", "cluster"));
}

json ListHosts(CImpl& d, SReq& r) {
    std::string scope = r.Query("scope"), name = r.Query("name");
    std::string clusterId, dsId;
    if (!scope.empty()) {
        clusterId = d.Inv().IdFromUrn(scope, "clusters");
        dsId = d.Inv().IdFromUrn(scope, "datastores");
        if (clusterId.empty() && dsId.empty()) Fail("10000001", "Unsupported scope.");
        if (!clusterId.empty()) d.Inv().Obj("clusters", clusterId, "10300028", "cluster");
    }
    json* ds = dsId.empty() ? nullptr : &d.Inv().Obj("datastores", dsId, "10410006", "datastore");
    std::vector<json> items;
    for (json* h : d.Inv().Sorted("hosts")) {
        if (!clusterId.empty() && h->value("clusterId", "") != clusterId) continue;
        if (ds) {
            bool bOn = false;
            for (auto& id : (*ds)["hostIds"]) bOn = bOn || id == (*h)["id"];
            if (!bOn) continue;
        }
        if (!name.empty() && (*h)["name"] != name) continue;
        items.push_back(d.Render().Host(*h));
    }
    return Page(items, r, "hosts");
}

json GetHost(CImpl& d, SReq& r) {
    return d.Render().Host(d.Inv().Obj("hosts", r.vecArgs[1], "10300027", "host"));
}

json ListDatastores(CImpl& d, SReq& r) {
    std::string scope = r.Query("scope"), name = r.Query("name");
    std::vector<std::string> hostIds;  // attached to any of these; empty = all
    if (!scope.empty()) {
        std::string clusterId = d.Inv().IdFromUrn(scope, "clusters");
        std::string hostId = d.Inv().IdFromUrn(scope, "hosts");
        if (!clusterId.empty()) {
            d.Inv().Obj("clusters", clusterId, "10300028", "cluster");
            for (json* h : d.Inv().Sorted("hosts")) {
                if (h->value("clusterId", "") == clusterId) hostIds.push_back((*h)["id"]);
            }
            if (hostIds.empty()) return Page({}, r, "datastores");
        } else if (!hostId.empty()) {
            d.Inv().Obj("hosts", hostId, "10300027", "host");
            hostIds.push_back(hostId);
        } else {
            Fail("10000001", "Unsupported scope.");
        }
    }
    std::vector<json> items;
    for (json* ds : d.Inv().Sorted("datastores")) {
        if (!hostIds.empty()) {
            bool bOn = false;
            for (auto& id : (*ds)["hostIds"]) {
                for (auto& h : hostIds) bOn = bOn || id == h;
            }
            if (!bOn) continue;
        }
        if (!name.empty() && (*ds)["name"] != name) continue;
        items.push_back(d.Render().Datastore(*ds));
    }
    return Page(items, r, "datastores");
}

json GetDatastore(CImpl& d, SReq& r) {
    return d.Render().Datastore(d.Inv().Obj("datastores", r.vecArgs[1], "10410006", "datastore"));
}

json ListDvSwitches(CImpl& d, SReq&) {
    json out = json::array();
    for (json* s : d.Inv().Sorted("dvswitchs")) {
        out.push_back({{"urn", d.Inv().Urn("dvswitchs", (*s)["id"])},
                       {"uri", d.Inv().Uri("dvswitchs", (*s)["id"])},
                       {"name", (*s)["name"]}});
    }
    return {{"dvSwitchs", out}};
}

json ListPortGroups(CImpl& d, SReq& r) {
    d.Inv().Obj("dvswitchs", r.vecArgs[1], "10000008", "distributed switch");
    json out = json::array();
    for (json* p : d.Inv().Sorted("portgroups")) {
        if ((*p)["dvsId"] == r.vecArgs[1]) out.push_back(d.Render().PortGroup(*p));
    }
    return {{"portGroups", out}};
}

json ListFolders(CImpl& d, SReq& r) {
    std::string type = r.Query("type");
    if (type != "0" && type != "1" && !type.empty()) Fail("10000001", "type must be 0 or 1.");
    std::string parent = r.Query("parentObjUrn");
    std::string parentId;
    if (!parent.empty() && parent != d.Inv().SiteUrn()) {
        parentId = d.Inv().IdFromUrn(parent, "folders");
        d.Inv().Obj("folders", parentId, "10300621", "folder");
    }
    json out = json::array();
    for (json* f : d.Inv().Sorted("folders")) {
        if (f->value("parentId", "") != parentId) continue;
        if (!type.empty() && (*f)["type"].get<int>() != std::stoi(type)) continue;
        out.push_back(d.Render().Folder(*f));
    }
    return {{"folders", out}};
}

json GetFolder(CImpl& d, SReq& r) {
    return d.Render().Folder(d.Inv().Obj("folders", r.vecArgs[1], "10300621", "folder"));
}

}  // namespace

void AddInventoryRoutes(std::vector<SRoute>& routes) {
    routes.push_back(Route("GET", "/service/sites", "ListSites", ListSites));
    routes.push_back(Route("GET", FC_SITE, "GetSite", GetSite));
    routes.push_back(Route("GET", FC_SITE "/clusters", "ListClusters", ListClusters));
    routes.push_back(Route("GET", FC_SITE "/clusters/{}", "GetCluster", GetCluster));
    routes.push_back(Route("GET", FC_SITE "/hosts", "ListHosts", ListHosts));
    routes.push_back(Route("GET", FC_SITE "/hosts/{}", "GetHost", GetHost));
    routes.push_back(Route("GET", FC_SITE "/datastores", "ListDatastores", ListDatastores));
    routes.push_back(Route("GET", FC_SITE "/datastores/{}", "GetDatastore", GetDatastore));
    routes.push_back(Route("GET", FC_SITE "/dvswitchs", "ListDvSwitches", ListDvSwitches));
    routes.push_back(
        Route("GET", FC_SITE "/dvswitchs/{}/portgroups", "ListPortGroups", ListPortGroups));
    routes.push_back(Route("GET", FC_SITE "/folder", "ListFolders", ListFolders));
    routes.push_back(Route("GET", FC_SITE "/folders/{}", "GetFolder", GetFolder));
    routes.push_back(Route("GET", FC_SITE "/folder/{}", "GetFolder", GetFolder));
}

}  // namespace fcsim
