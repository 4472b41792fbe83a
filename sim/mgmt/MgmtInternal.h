// Inside the management service: the shared core that every handler file works on. Handlers
// run one at a time under m_mtxInventory, read and change the in-memory inventory (persisted
// to <state>/inventory.json after each change), and answer JSON or throw CApiError.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MgmtService.h"

namespace fcsim {

using json = nlohmann::json;

// An answer other than 200: the platform's error body.
class CApiError : public std::runtime_error {
public:
    CApiError(int http, std::string code, const std::string& des)
        : std::runtime_error(des), m_nHttp(http), m_strCode(std::move(code)) {}
    int Http() const { return m_nHttp; }
    const std::string& Code() const { return m_strCode; }

private:
    int m_nHttp;
    std::string m_strCode;
};

[[noreturn]] inline void Fail(const std::string& code, const std::string& des, int http = 400) {
    throw CApiError(http, code, des);
}

struct SReq {
    std::string strMethod;
    std::string strPath;
    std::vector<std::string> vecArgs;  // the route's captures, site id first when it has one
    const httplib::Request* pRaw = nullptr;
    json body;                                                        // null when there was no body
    std::vector<std::pair<std::string, std::string>> vecRespHeaders;  // added to the answer

    std::string Query(const std::string& name) const;
    std::vector<std::string> QueryAll(const std::string& name) const;
    bool HasQuery(const std::string& name) const;
};

// Reading request bodies: absent/null/"" are "not set"; a wrong type is a malformed request.
std::string BodyStr(const json& body, const char* key, const std::string& def = "");
bool BodyBool(const json& body, const char* key, bool def);
int64_t BodyInt(const json& body, const char* key, int64_t def);
bool BodyHas(const json& body, const char* key);

// A page of a list: {"total": n, key: items[offset, offset + limit)}; limit 1..100 (default
// 100), offset >= 0.
json Page(const std::vector<json>& items, const SReq& r, const char* key);

std::string TimeText(int64_t secs);  // "YYYY-MM-DD HH:MM:SS", UTC
std::string RandomHex(size_t bytes);
std::string NewUuid();

using THandler = std::function<json(CMgmtService::CImpl&, SReq&)>;

// A route pattern is a path whose "{}" segments match any one non-empty segment and are
// captured, e.g. "/service/sites/{}/vms/{}".
struct SRoute {
    std::string strMethod;
    std::vector<std::string> vecSegs;
    std::string strOp;
    THandler fn;
    bool bNeedsAuth = true;
};

class CMgmtService::CImpl {
public:
    CImpl(CSimState& state, CFaultTable& faults, const SMgmtSettings& settings);
    ~CImpl();

    CSimState& m_state;
    CFaultTable& m_faults;

    mutable std::mutex m_mtxSettings;
    SMgmtSettings m_settings;
    SMgmtSettings Settings() const {
        std::lock_guard<std::mutex> g(m_mtxSettings);
        return m_settings;
    }

    // The inventory, its lock and persistence.
    std::mutex m_mtxInventory;
    json m_inv;
    bool m_bDirty = false;
    bool Load(std::string& err);
    bool Save(std::string& err);
    void Touch() { m_bDirty = true; }

    // Sessions: token -> last use (CSimState::Now seconds).
    std::mutex m_mtxSessions;
    std::map<std::string, int64_t> m_mapSessions;

    // Server.
    std::unique_ptr<httplib::Server> m_pServer;
    std::thread m_thServer;
    int m_nPort = 0;
    bool m_bHttps = false;
    std::string m_strCAFile;
    std::vector<SRoute> m_vecRoutes;
    void Dispatch(const httplib::Request& req, httplib::Response& res);

    // Identifiers.
    std::string Site() const { return m_inv.value("siteId", std::string("0")); }
    std::string SiteUrn() const { return "urn:sites:" + Site(); }
    std::string SiteUri() const { return "/service/sites/" + Site(); }
    std::string Urn(const std::string& kind, const std::string& id) const {
        return SiteUrn() + ":" + kind + ":" + id;
    }
    std::string Uri(const std::string& kind, const std::string& id) const {
        return SiteUri() + "/" + kind + "/" + id;
    }
    std::string NewId();
    std::string NewVmId();
    // The id from a URN of this site and kind ("urn:sites:S:vms:i-1" -> "i-1"), or "".
    std::string IdFromUrn(const std::string& urn, const std::string& kind) const;

    // Objects by kind ("vms", "volumes", ...): the record, or a CApiError with the code.
    json& Obj(const std::string& kind, const std::string& id, const std::string& code,
              const std::string& what);
    json* Find(const std::string& kind, const std::string& id);
    std::vector<json*> Sorted(const std::string& kind);  // by id, numerically

    // Tasks: created finished; polls report "running" until pollsLeft runs out.
    json NewTask(const std::string& type, const std::string& entityUrn,
                 const std::string& reason = "", const std::string& reasonDes = "");
    std::string m_strForcedTaskId;  // set by the dispatcher for a fault that fails the task

    // Rendering of API objects.
    json RenderCluster(const json& c);
    json RenderHost(const json& h);
    json RenderDatastore(const json& d);
    json RenderFolder(const json& f);
    json RenderPortGroup(const json& p);
    json RenderVm(const json& vm, int detail);
    json RenderDisk(const json& vol);
    json RenderVolume(const json& vol);
    json RenderNic(const json& vm, const json& nic);
    json RenderSnapshotBrief(const json& s);
    json RenderSnapshot(const json& s);

    // Shared operations.
    std::vector<json*> VolumesOf(const std::string& vmId);  // by sequence number
    uint64_t DatastoreUsed(const std::string& dsId);
    json& Placement(const std::string& location, std::string& hostId, std::string& clusterId);
    json& CreateVolumeRecord(const std::string& name, uint64_t capacity, const std::string& dsId,
                             bool thin, int volType, const std::string& uuid);
    void DeleteVolumeRecord(const std::string& volId);
    void DeleteSnapshotRecord(const std::string& snapId);
    void AttachVolume(json& vm, json& vol, int seq, const std::string& pciType);
    json& AddNic(json& vm, const std::string& name, const std::string& pgId, const std::string& mac,
                 int seq);
    std::string PortGroupByUrnOrName(const std::string& urn, const std::string& name);
    bool LeaseAlive(const std::string& accessId);
    uint64_t GuestWrite(const std::string& volId, uint64_t offset, const std::string& data,
                        std::string& err);
    bool SeedDemo(std::string& err);
};

// Route tables, one per handler file.
void AddInventoryRoutes(std::vector<SRoute>& routes);
void AddVmRoutes(std::vector<SRoute>& routes);
void AddSnapshotRoutes(std::vector<SRoute>& routes);
void AddVolumeRoutes(std::vector<SRoute>& routes);
void AddRestoreRoutes(std::vector<SRoute>& routes);
void AddControlRoutes(std::vector<SRoute>& routes);

std::vector<std::string> SplitPath(const std::string& path);
bool MatchRoute(const SRoute& route, const std::vector<std::string>& segs,
                std::vector<std::string>& args);

inline SRoute Route(const std::string& method, const std::string& pattern, const std::string& op,
                    THandler fn, bool bNeedsAuth = true) {
    SRoute r;
    r.strMethod = method;
    r.vecSegs = SplitPath(pattern);
    r.strOp = op;
    r.fn = std::move(fn);
    r.bNeedsAuth = bNeedsAuth;
    return r;
}

// The site segment of route patterns.
#define FC_SITE "/service/sites/{}"

}  // namespace fcsim
