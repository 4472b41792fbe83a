// Inside the management service: what every handler file works with. Handlers run one at a
// time under the service's inventory lock, read and change the inventory (persisted to
// <state>/inventory.json after each change) through CImpl's operations, and answer JSON or
// throw CApiError.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "ApiError.h"
#include "Inventory.h"
#include "MgmtService.h"
#include "MgmtText.h"
#include "Render.h"

namespace fcsim {

using json = nlohmann::json;

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
    CImpl(const CImpl&) = delete;
    CImpl& operator=(const CImpl&) = delete;

    // What the handlers work on.
    CInventory& Inv() { return m_inventory; }
    const CRender& Render() const { return m_render; }
    CSimState& State() { return m_state; }
    CFaultTable& Faults() { return m_faults; }
    SMgmtSettings Settings() const;
    void SetSettings(const SMgmtSettings& settings);
    const std::string& CAFile() const { return m_strCAFile; }
    // The CNA's fault rules; null when no CNA is known.
    ICnaFaultControl* CnaFaults() const { return m_pCnaFaults.load(); }
    void SetCnaFaults(ICnaFaultControl* control) { m_pCnaFaults.store(control); }

    // Sessions: a new token (sessions that timed out are forgotten first), and logout.
    std::string OpenSession();
    void CloseSession(const std::string& token);

    // Tasks are created finished; polls report "running" until pollsLeft runs out. A task id
    // may be given when the id must name something else too (a disk access).
    json NewTask(const std::string& type, const std::string& entityUrn,
                 const std::string& reason = "", const std::string& reasonDes = "");
    json NewTaskWithId(const std::string& id, const std::string& type,
                       const std::string& entityUrn);

    // Operations several handlers need.
    json& Placement(const std::string& location, std::string& hostId, std::string& clusterId);
    json& CreateVolumeRecord(const std::string& name, uint64_t capacity, const std::string& dsId,
                             bool thin, int volType, const std::string& uuid);
    void DeleteVolumeRecord(const std::string& volId);
    void DeleteSnapshotRecord(const std::string& snapId);
    std::string PortGroupByUrnOrName(const std::string& urn, const std::string& name);
    bool LeaseAlive(const std::string& accessId);
    uint64_t GuestWrite(const std::string& volId, uint64_t offset, const std::string& data,
                        std::string& err);
    bool SeedDemo(std::string& err);

private:
    friend class CMgmtService;  // the front end: start, stop, open, its own settings

    void Dispatch(const httplib::Request& req, httplib::Response& res);
    bool RenewSession(const std::string& token);
    // A fault rule's failed task in place of the call's own work.
    json FailThroughTask(const SRoute& route, const SReq& r, const SFaultRule& fault);
    json MakeTask(const std::string& id, const std::string& type, const std::string& entityUrn,
                  const std::string& reason, const std::string& reasonDes);

    CSimState& m_state;
    CFaultTable& m_faults;

    mutable std::mutex m_mtxSettings;
    SMgmtSettings m_settings;
    std::atomic<ICnaFaultControl*> m_pCnaFaults{nullptr};

    std::mutex m_mtxInventory;  // held by every handler
    CInventory m_inventory;
    CRender m_render;

    std::mutex m_mtxSessions;
    std::map<std::string, int64_t> m_mapSessions;  // token -> last use (CSimState::Now)

    std::unique_ptr<httplib::Server> m_pServer;
    std::thread m_thServer;
    int m_nPort = 0;
    bool m_bHttps = false;
    std::string m_strCAFile;
    std::vector<SRoute> m_vecRoutes;
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
