// The HTTP side of the management service: listener, routing, version and token checks, fault
// injection, and the translation of handler results and errors into answers.
#include "MgmtService.h"

#include <sys/stat.h>

#include <chrono>

#include "MgmtInternal.h"
#include "Tls.h"

namespace fcsim {

void AddSessionRoutes(std::vector<SRoute>& routes);

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// The version parameter of an Accept header ("application/json;version=6.3;charset=UTF-8"),
// or "" when there is none.
std::string AcceptVersion(const std::string& accept) {
    size_t pos = 0;
    while (pos <= accept.size()) {
        size_t semi = accept.find(';', pos);
        std::string part =
            Trim(accept.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos));
        size_t eq = part.find('=');
        if (eq != std::string::npos && Lower(Trim(part.substr(0, eq))) == "version") {
            return Trim(part.substr(eq + 1));
        }
        if (semi == std::string::npos) break;
        pos = semi + 1;
    }
    return "";
}

void SendError(httplib::Response& res, int http, const std::string& code, const std::string& des) {
    res.status = http;
    json body = {{"errorCode", code}, {"errorDes", des}};
    res.set_content(body.dump(), "application/json; charset=UTF-8");
}

// What a call that was made to fail through its task answers, by operation.
struct STaskOp {
    const char* szOp;
    const char* szType;
    const char* szKind;  // kind of the created object, "" when the call creates none
};
const STaskOp kTaskOps[] = {
    {"CreateVm", "CreateVmTask", "vms"},
    {"ImportOvf", "ImportTemplate", "vms"},
    {"DeleteVm", "DeleteVmTask", ""},
    {"StartVm", "StartVmTask", ""},
    {"StopVm", "StopVmTask", ""},
    {"AttachVolume", "AttachVolumeTask", ""},
    {"DetachVolume", "DetachVolumeTask", ""},
    {"AddNic", "UpdateVNic", ""},
    {"DeleteNic", "DeleteNicTask", ""},
    {"CreateSnapshot", "CreateVMSnapshotTask", "snapshots"},
    {"DeleteSnapshot", "DeleteVMSnapshotTask", ""},
    {"CreateVolume", "CreateVolumeTask", "volumes"},
    {"DeleteVolume", "DeleteVolumeTask", ""},
    {"PrepareBackupResource", "CBTBackup", ""},
};

}  // namespace

CMgmtService::CMgmtService(CSimState& state, CFaultTable& faults, const SMgmtSettings& settings)
    : m_pImpl(new CImpl(state, faults, settings)) {
    AddSessionRoutes(m_pImpl->m_vecRoutes);
    AddInventoryRoutes(m_pImpl->m_vecRoutes);
    AddVmRoutes(m_pImpl->m_vecRoutes);
    AddSnapshotRoutes(m_pImpl->m_vecRoutes);
    AddVolumeRoutes(m_pImpl->m_vecRoutes);
    AddRestoreRoutes(m_pImpl->m_vecRoutes);
    AddControlRoutes(m_pImpl->m_vecRoutes);
}

CMgmtService::~CMgmtService() {
    Stop();
}

bool CMgmtService::Open(std::string& err) {
    std::lock_guard<std::mutex> g(m_pImpl->m_mtxInventory);
    return m_pImpl->m_inventory.Load(m_pImpl->m_state, err);
}

bool CMgmtService::SeedDemo(std::string& err) {
    std::lock_guard<std::mutex> g(m_pImpl->m_mtxInventory);
    return m_pImpl->SeedDemo(err) && m_pImpl->m_inventory.Save(m_pImpl->m_state, err);
}

bool CMgmtService::Start(const std::string& bind, uint16_t port, bool https, std::string& err) {
    CImpl& d = *m_pImpl;
    if (d.m_pServer) {
        err = "already started";
        return false;
    }
    if (https) {
        std::string dir = d.m_state.Root() + "/tls";
        ::mkdir(dir.c_str(), 0700);
        std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
        if (!GenerateSelfSignedCert(cert, key, err)) return false;
        auto srv = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
        if (!srv->is_valid()) {
            err = "the TLS listener could not load its certificate";
            return false;
        }
        d.m_pServer = std::move(srv);
        d.m_strCAFile = cert;
    } else {
        d.m_pServer = std::make_unique<httplib::Server>();
        d.m_strCAFile.clear();
    }
    d.m_bHttps = https;
    auto handler = [&d](const httplib::Request& req, httplib::Response& res) {
        d.Dispatch(req, res);
    };
    d.m_pServer->Get(".*", handler);
    d.m_pServer->Post(".*", handler);
    d.m_pServer->Put(".*", handler);
    d.m_pServer->Delete(".*", handler);
    d.m_pServer->set_read_timeout(30, 0);
    d.m_pServer->set_write_timeout(30, 0);
    // A client may keep its connection for a whole job, as it would with the platform.
    d.m_pServer->set_keep_alive_max_count(10000);
    // An answer leaves in two writes (head, body); with Nagle on, the body waits for the
    // client's delayed acknowledgement, some 40 ms per call.
    d.m_pServer->set_tcp_nodelay(true);
    int bound = port == 0 ? d.m_pServer->bind_to_any_port(bind.c_str())
                          : (d.m_pServer->bind_to_port(bind.c_str(), port) ? port : -1);
    if (bound <= 0) {
        err = "cannot listen on " + bind + ":" + std::to_string(port);
        d.m_pServer.reset();
        return false;
    }
    d.m_nPort = bound;
    d.m_thServer = std::thread([&d] { d.m_pServer->listen_after_bind(); });
    // stop() only ends a loop that has started, so Start returns once it runs.
    for (int i = 0; i < 5000 && !d.m_pServer->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void CMgmtService::Stop() {
    CImpl& d = *m_pImpl;
    if (!d.m_pServer) return;
    d.m_pServer->stop();
    if (d.m_thServer.joinable()) d.m_thServer.join();
    d.m_pServer.reset();
    d.m_nPort = 0;
}

uint16_t CMgmtService::Port() const {
    return static_cast<uint16_t>(m_pImpl->m_nPort);
}

std::string CMgmtService::Url() const {
    return std::string(m_pImpl->m_bHttps ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(m_pImpl->m_nPort);
}

std::string CMgmtService::CAFile() const {
    return m_pImpl->m_strCAFile;
}

SMgmtSettings CMgmtService::Settings() const {
    return m_pImpl->Settings();
}

void CMgmtService::SetSettings(const SMgmtSettings& settings) {
    m_pImpl->SetSettings(settings);
}

void CMgmtService::SetCnaFaultControl(ICnaFaultControl* control) {
    m_pImpl->SetCnaFaults(control);
}

uint64_t CMgmtService::GuestWrite(const std::string& volume, uint64_t offset,
                                  const std::string& data, std::string& err) {
    std::lock_guard<std::mutex> g(m_pImpl->m_mtxInventory);
    std::string id = m_pImpl->m_inventory.IdFromUrn(volume, "volumes");
    return m_pImpl->GuestWrite(id.empty() ? volume : id, offset, data, err);
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> segs;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        segs.push_back(path.substr(pos, slash - pos));
        pos = slash + 1;
    }
    if (!path.empty() && path.back() == '/') segs.push_back("");
    return segs;
}

bool MatchRoute(const SRoute& route, const std::vector<std::string>& segs,
                std::vector<std::string>& args) {
    if (route.vecSegs.size() != segs.size()) return false;
    args.clear();
    for (size_t i = 0; i < segs.size(); ++i) {
        if (route.vecSegs[i] == "{}") {
            if (segs[i].empty()) return false;
            args.push_back(segs[i]);
        } else if (route.vecSegs[i] != segs[i]) {
            return false;
        }
    }
    return true;
}

json CMgmtService::CImpl::FailThroughTask(const SRoute& route, const SReq& r,
                                          const SFaultRule& fault) {
    const STaskOp* op = nullptr;
    for (const STaskOp& t : kTaskOps) {
        if (route.strOp == t.szOp) op = &t;
    }
    if (!op) Fail(fault.strErrorCode, fault.strErrorDes, fault.nHttpStatus);  // no task: at once
    // The task is about the object the URI names; a creation's URI names its collection.
    std::string path = r.strPath;
    const std::string coll = "/snapshots";
    bool bSnap = std::string(op->szKind) == "snapshots";
    if (bSnap && path.size() > coll.size() &&
        path.compare(path.size() - coll.size(), coll.size(), coll) == 0) {
        path.resize(path.size() - coll.size());
    }
    std::string entity = path.size() > 8 ? "urn" + path.substr(8) : "";
    for (char& c : entity) c = c == '/' ? ':' : c;
    json out = NewTask(op->szType, entity, fault.strErrorCode, fault.strErrorDes);
    std::string id = out["taskUri"].get<std::string>();
    id = id.substr(id.rfind('/') + 1);
    if (bSnap) {
        out["urn"] = entity + ":snapshots:" + id;
        out["uri"] = path + "/snapshots/" + id;
    } else if (*op->szKind) {
        out["urn"] = m_inventory.Urn(op->szKind, id);
        out["uri"] = m_inventory.Uri(op->szKind, id);
    }
    if (route.strOp == "PrepareBackupResource" && r.vecArgs.size() > 1) {
        m_inventory.Create("resources", {{"id", id},
                                         {"volId", r.vecArgs[1]},
                                         {"failed", true},
                                         {"reason", fault.strErrorCode},
                                         {"reasonDes", fault.strErrorDes},
                                         {"pollsLeft", Settings().nTaskPolls}});
    }
    return out;
}

void CMgmtService::CImpl::Dispatch(const httplib::Request& req, httplib::Response& res) {
    SReq r;
    r.strMethod = req.method;
    r.strPath = req.path;
    r.pRaw = &req;
    const SRoute* route = nullptr;
    bool bPathKnown = false;
    std::vector<std::string> segs = SplitPath(req.path);
    for (const SRoute& cand : m_vecRoutes) {
        std::vector<std::string> args;
        if (!MatchRoute(cand, segs, args)) continue;
        bPathKnown = true;
        if (cand.strMethod != req.method) continue;
        route = &cand;
        r.vecArgs = std::move(args);
        break;
    }
    if (!route) {
        if (bPathKnown)
            SendError(res, 405, "10000001", "The method is not allowed here.");
        else
            SendError(res, 404, "10000001", "No such URI.");
        return;
    }
    bool bService = req.path.compare(0, 9, "/service/") == 0;
    if (bService && route->strOp != "Versions") {
        std::string v = AcceptVersion(req.get_header_value("Accept"));
        if (!v.empty() && v[0] == 'v') v = v.substr(1);
        int ver = Settings().nVersion;
        std::string own = std::to_string(ver / 10) + "." + std::to_string(ver % 10);
        if (!v.empty() && v != "1.0" && v != own) {
            SendError(res, 400, "10000022", "Unsupported interface version " + v + ".");
            return;
        }
    }
    if (req.path.compare(0, 15, "/service/sites/") == 0 && !r.vecArgs.empty()) {
        std::lock_guard<std::mutex> g(m_mtxInventory);
        if (r.vecArgs[0] != m_inventory.Site()) {
            SendError(res, 400, "10000020", "The site does not exist.");
            return;
        }
    }
    if (route->bNeedsAuth) {
        if (!RenewSession(req.get_header_value("X-Auth-Token"))) {
            SendError(res, 401, "10000002", "Not logged in, or the session has timed out.");
            return;
        }
    }

    SFaultRule fault;
    bool bFault = m_faults.Match(route->strOp, req.method, req.path, fault);
    if (bFault && fault.eAction == EFaultAction::Delay) {
        std::this_thread::sleep_for(std::chrono::milliseconds(fault.nDelayMs));
        bFault = false;
    }
    if (bFault && fault.eAction == EFaultAction::BadJson) {
        res.status = 200;
        res.set_content("{\"this is\": not json", "application/json; charset=UTF-8");
        return;
    }
    if (bFault && fault.eAction == EFaultAction::Drop) {
        // The head goes out promising a body that never comes: the provider's refusal makes
        // the server close the connection, as a service that goes away mid-answer does.
        res.status = 200;
        res.set_content_provider(1024, "application/json; charset=UTF-8",
                                 [](size_t, size_t, httplib::DataSink&) { return false; });
        return;
    }
    if (bFault && fault.eAction == EFaultAction::Error) {
        SendError(res, fault.nHttpStatus, fault.strErrorCode, fault.strErrorDes);
        return;
    }

    if (!req.body.empty()) {
        r.body = json::parse(req.body, nullptr, false);
        if (r.body.is_discarded()) {
            SendError(res, 400, "10000001", "The request body is not JSON.");
            return;
        }
    }

    std::lock_guard<std::mutex> g(m_mtxInventory);
    json out;
    try {
        if (bFault && fault.eAction == EFaultAction::TaskFail) {
            out = FailThroughTask(*route, r, fault);
        } else {
            out = route->fn(*this, r);
        }
    } catch (const CApiError& e) {
        SendError(res, e.Http(), e.Code(), e.what());
        std::string err;
        if (m_inventory.Dirty()) m_inventory.Save(m_state, err);
        return;
    } catch (const std::exception& e) {
        SendError(res, 500, "10000010", std::string("Internal error: ") + e.what());
        std::string err;
        if (m_inventory.Dirty()) m_inventory.Save(m_state, err);
        return;
    }
    std::string err;
    if (m_inventory.Dirty() && !m_inventory.Save(m_state, err)) {
        SendError(res, 500, "10000004", err);
        return;
    }
    res.status = 200;
    for (const auto& h : r.vecRespHeaders) res.set_header(h.first.c_str(), h.second);
    if (!out.is_null()) res.set_content(out.dump(), "application/json; charset=UTF-8");
}

}  // namespace fcsim
