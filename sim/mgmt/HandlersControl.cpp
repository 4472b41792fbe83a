// The simulator's own control calls under /sim/ (no token; the service listens on loopback).
#include "MgmtInternal.h"

namespace fcsim {

namespace {

using CImpl = CMgmtService::CImpl;

json RuleJson(const SFaultRule& r) {
    return {{"id", r.nID},
            {"op", r.strOp},
            {"path", r.strPath},
            {"method", r.strMethod},
            {"nth", r.window.nNth},
            {"times", r.window.nTimes},
            {"every", r.window.nEvery},
            {"action", CFaultTable::ActionName(r.eAction)},
            {"httpStatus", r.nHttpStatus},
            {"errorCode", r.strErrorCode},
            {"errorDes", r.strErrorDes},
            {"delayMs", r.nDelayMs},
            {"seen", r.window.nSeen},
            {"fired", r.window.nFired}};
}

json Info(CImpl& d, SReq&) {
    SMgmtSettings s = d.Settings();
    return {{"version", s.nVersion},       {"stateDir", d.State().Root()}, {"caFile", d.CAFile()},
            {"cnaHost", s.strCnaHost},     {"cnaPort", s.nCnaPort},        {"user", s.strUser},
            {"siteUrn", d.Inv().SiteUrn()}};
}

json Config(CImpl& d, SReq& r) {
    const json& b = r.body;
    SMgmtSettings s = d.Settings();
    int64_t v = BodyInt(b, "version", s.nVersion);
    if (v < 10 || v > 99) Fail("10000001", "version must be 10 to 99 (63 = v6.3).");
    int64_t polls = BodyInt(b, "taskPolls", s.nTaskPolls);
    int64_t idle = BodyInt(b, "sessionIdleSecs", s.llSessionIdleSecs);
    int64_t lease = BodyInt(b, "leaseSecs", s.llLeaseSecs);
    int64_t port = BodyInt(b, "cnaPort", s.nCnaPort);
    if (polls < 0 || polls > 100 || idle < 1 || lease < 1 || lease > 7200 || port < 0 ||
        port > 65535) {
        Fail("10000001", "A setting is out of range.");
    }
    s.nVersion = static_cast<int>(v);
    s.nTaskPolls = static_cast<int>(polls);
    s.llSessionIdleSecs = idle;
    s.llLeaseSecs = lease;
    s.nCnaPort = static_cast<uint16_t>(port);
    s.strCnaHost = BodyStr(b, "cnaHost", s.strCnaHost);
    d.SetSettings(s);
    return nullptr;
}

bool FromHex(const std::string& hex, std::string& out) {
    if (hex.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int v = 0;
        for (int k = 0; k < 2; ++k) {
            char c = hex[i + k];
            int n = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (n < 0) return false;
            v = v * 16 + n;
        }
        out.push_back(static_cast<char>(v));
    }
    return true;
}

json GuestWrite(CImpl& d, SReq& r) {
    const json& b = r.body;
    std::string urn = BodyStr(b, "volumeUrn");
    std::string volId = d.Inv().IdFromUrn(urn, "volumes");
    d.Inv().Obj("volumes", volId, "10420004", "volume");
    int64_t offset = BodyInt(b, "offset", -1);
    if (offset < 0) Fail("10000001", "offset is required.");
    std::string data;
    if (BodyHas(b, "hex")) {
        if (!FromHex(BodyStr(b, "hex"), data)) Fail("10000001", "hex is not hexadecimal text.");
    } else {
        int64_t len = BodyInt(b, "length", 0), fill = BodyInt(b, "fill", 0);
        if (len <= 0 || len > (64 << 20) || fill < 0 || fill > 255) {
            Fail("10000001", "length (1 to 64 MiB) and fill (0 to 255) are required.");
        }
        data.assign(static_cast<size_t>(len), static_cast<char>(fill));
    }
    std::string err;
    uint64_t seq = d.GuestWrite(volId, static_cast<uint64_t>(offset), data, err);
    if (seq == 0) Fail("10000001", "The write failed: " + err);
    return {{"changeSeq", seq}};
}

json ListFaults(CImpl& d, SReq&) {
    json out = json::array();
    for (const SFaultRule& r : d.Faults().List()) out.push_back(RuleJson(r));
    return {{"faults", out}};
}

// The window goes through the rule-text reader, so that nth and times mean here what they mean
// for every fault engine.
SFaultWindow WindowFromBody(const json& b, SFaultWindow window) {
    CKeyValues items;
    for (const char* key : {"nth", "times", "every"}) {
        if (!BodyHas(b, key)) continue;
        int64_t v = BodyInt(b, key, 0);
        items.Set(key, v < 0 ? std::to_string(v) : std::to_string(static_cast<uint64_t>(v)));
    }
    std::string error;
    if (!TakeFaultWindow(items, window, error)) Fail("10000001", error + ".");
    return window;
}

json AddFault(CImpl& d, SReq& r) {
    const json& b = r.body;
    std::string action = BodyStr(b, "action", "error");
    SFaultRule rule;
    if (action == "snapshot-retryable")
        rule = CFaultTable::SnapshotRetryable();
    else if (action == "snapshot-fatal")
        rule = CFaultTable::SnapshotFatal();
    else if (action == "lease-refused")
        rule = CFaultTable::LeaseRefused();
    else if (!CFaultTable::ParseAction(action, rule.eAction))
        Fail("10000001", "Unknown action.");
    rule.strOp = BodyStr(b, "op", rule.strOp);
    rule.strPath = BodyStr(b, "path", rule.strPath);
    rule.strMethod = BodyStr(b, "method", rule.strMethod);
    if (rule.strOp.empty() && rule.strPath.empty()) Fail("10000001", "op or path is required.");
    rule.window = WindowFromBody(b, rule.window);
    int64_t status = BodyInt(b, "httpStatus", rule.nHttpStatus);
    int64_t delay = BodyInt(b, "delayMs", 0);
    if (status < 100 || status > 599 || delay < 0 || delay > 600000) {
        Fail("10000001", "httpStatus or delayMs is out of range.");
    }
    rule.nHttpStatus = static_cast<int>(status);
    rule.strErrorCode = BodyStr(b, "errorCode", rule.strErrorCode);
    rule.strErrorDes = BodyStr(b, "errorDes", rule.strErrorDes);
    rule.nDelayMs = static_cast<uint32_t>(delay);
    return {{"id", d.Faults().Add(rule)}};
}

json ClearFaults(CImpl& d, SReq&) {
    d.Faults().Clear();
    return nullptr;
}

// The CNA's rules, or the answer that this simulator has none (a management service run
// without the CNA server, or beside a CNA of its own that it cannot reach).
ICnaFaultControl& CnaFaults(CImpl& d) {
    ICnaFaultControl* control = d.CnaFaults();
    if (control == nullptr)
        Fail("10000010", "This simulator runs no CNA server: there are no CNA fault rules.", 409);
    return *control;
}

json ListCnaFaults(CImpl& d, SReq&) {
    json out = json::array();
    for (const auto& rule : CnaFaults(d).List()) {
        out.push_back(
            {{"rule", rule.first}, {"seen", rule.second.nSeen}, {"fired", rule.second.nFired}});
    }
    return {{"faults", out}};
}

json AddCnaFault(CImpl& d, SReq& r) {
    ICnaFaultControl& control = CnaFaults(d);
    const std::string text = BodyStr(r.body, "rule");
    if (text.empty()) Fail("10000001", "rule is required.");
    std::string canonical, error;
    if (!control.Add(text, canonical, error))
        Fail("10000001", "The CNA fault rule is refused: " + error + ".");
    return {{"rule", canonical}};
}

json ClearCnaFaults(CImpl& d, SReq&) {
    CnaFaults(d).Clear();
    return nullptr;
}

}  // namespace

void AddControlRoutes(std::vector<SRoute>& routes) {
    routes.push_back(Route("GET", "/sim/info", "SimInfo", Info, false));
    routes.push_back(Route("POST", "/sim/config", "SimConfig", Config, false));
    routes.push_back(Route("POST", "/sim/guestwrite", "SimGuestWrite", GuestWrite, false));
    routes.push_back(Route("GET", "/sim/faults", "SimListFaults", ListFaults, false));
    routes.push_back(Route("POST", "/sim/faults", "SimAddFault", AddFault, false));
    routes.push_back(Route("DELETE", "/sim/faults", "SimClearFaults", ClearFaults, false));
    routes.push_back(Route("GET", "/sim/cna/faults", "SimListCnaFaults", ListCnaFaults, false));
    routes.push_back(Route("POST", "/sim/cna/faults", "SimAddCnaFault", AddCnaFault, false));
    routes.push_back(
        Route("DELETE", "/sim/cna/faults", "SimClearCnaFaults", ClearCnaFaults, false));
}

}  // namespace fcsim
