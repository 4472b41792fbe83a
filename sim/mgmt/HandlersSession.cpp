// Version list, login and logout, tasks.
#include <openssl/evp.h>

#include "MgmtInternal.h"

namespace fcsim {

namespace {

std::string Sha256Hex(const std::string& text) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr);
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out.push_back(kDigits[md[i] >> 4]);
        out.push_back(kDigits[md[i] & 0xf]);
    }
    return out;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Compares without an early exit, so the time taken says nothing about the secret.
bool SameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    }
    return diff == 0;
}

json Versions(CMgmtService::CImpl& d, SReq&) {
    int v = d.Settings().nVersion;
    std::string own = "v" + std::to_string(v / 10) + "." + std::to_string(v % 10);
    json list = json::array();
    list.push_back({{"version", "v1.0"}, {"loginUri", "/service/session"}});
    if (own != "v1.0") list.push_back({{"version", own}, {"loginUri", "/service/session"}});
    return {{"versions", list}};
}

json Login(CMgmtService::CImpl& d, SReq& r) {
    std::string user = r.pRaw->get_header_value("X-Auth-User");
    std::string key = r.pRaw->get_header_value("X-Auth-Key");
    if (user.empty() || key.empty()) Fail("10000001", "X-Auth-User and X-Auth-Key are required.");
    std::string algo = r.pRaw->get_header_value("X-ENCRIPT-ALGORITHM");
    if (algo.empty()) algo = r.pRaw->get_header_value("X-ENCRYPT-ALGORITHM");
    SMgmtSettings s = d.Settings();
    bool ok = SameSecret(user, s.strUser) &&
              (algo == "1" ? SameSecret(key, s.strPassword)
                           : SameSecret(Lower(key), Sha256Hex(s.strPassword)));
    if (!ok) Fail("10100103", "The user name or password is wrong.");
    std::string token = d.OpenSession();
    r.vecRespHeaders.emplace_back("X-Auth-Token", token);
    return {{"validity", s.llSessionIdleSecs * 1000},
            {"userId", "1"},
            {"userName", s.strUser},
            {"roleList", json::array({"administrator"})},
            {"privilegeIds", json::array()},
            {"rightType", 1}};
}

json Logout(CMgmtService::CImpl& d, SReq& r) {
    d.CloseSession(r.pRaw->get_header_value("X-Auth-Token"));
    return nullptr;
}

json GetTask(CMgmtService::CImpl& d, SReq& r) {
    json& t = d.Inv().Obj("tasks", r.vecArgs[1], "10000008", "task");
    int polls = t.value("pollsLeft", 0);
    bool bRunning = polls > 0;
    if (bRunning) {
        t["pollsLeft"] = polls - 1;
        d.Inv().Touch();
    }
    std::string id = t["id"];
    return {{"urn", d.Inv().Urn("tasks", id)},
            {"uri", d.Inv().Uri("tasks", id)},
            {"type", t["type"]},
            {"entityUrn", t["entityUrn"]},
            {"status", bRunning ? "running" : t["status"].get<std::string>()},
            {"progress", bRunning ? 50 : 100},
            {"reason", bRunning ? "" : t["reason"].get<std::string>()},
            {"reasonDes", bRunning ? "" : t["reasonDes"].get<std::string>()},
            {"startTime", std::to_string(t["startMs"].get<int64_t>())},
            {"finishTime", bRunning ? "" : std::to_string(t["finishMs"].get<int64_t>())},
            {"user", "admin"},
            {"cancelable", false},
            {"cancelled", false}};
}

}  // namespace

void AddSessionRoutes(std::vector<SRoute>& routes) {
    routes.push_back(Route("GET", "/service/versions", "Versions", Versions, false));
    routes.push_back(Route("POST", "/service/session", "Login", Login, false));
    routes.push_back(Route("DELETE", "/service/session", "Logout", Logout));
    routes.push_back(Route("GET", FC_SITE "/tasks/{}", "GetTask", GetTask));
}

}  // namespace fcsim
