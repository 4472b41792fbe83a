#include "FakeService.h"

#include <stdexcept>

#include "Sha256.h"
#include "Tls.h"

namespace bridgetest {
namespace {
void Answer(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    if (!body.empty()) res.set_content(body, "application/json");
}
}  // namespace

CTempCert::CTempCert() : m_strCert(m_dir.File("cert.pem")), m_strKey(m_dir.File("key.pem")) {
    std::string err;
    if (!fcsim::GenerateSelfSignedCert(m_strCert, m_strKey, err)) throw std::runtime_error(err);
}

CFakeService::CFakeService(const CTempCert* tls) {
    if (tls) {
        m_pServer.reset(new httplib::SSLServer(tls->CertPath().c_str(), tls->KeyPath().c_str()));
        m_bTLS = true;
    } else {
        m_pServer.reset(new httplib::Server());
    }
    auto h = [this](const httplib::Request& req, httplib::Response& res) { _Dispatch(req, res); };
    m_pServer->Get(".*", h);
    m_pServer->Post(".*", h);
    m_pServer->Put(".*", h);
    m_pServer->Delete(".*", h);

    Reply("GET", "/service/versions", 200,
          R"({"versions":[{"version":"v6.3","loginUri":"/service/session"},)"
          R"({"version":"v8.1","loginUri":"/service/session"}]})");
    On("POST", "/service/session", [this](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> g(m_lock);
        if (req.get_header_value("X-Auth-User") != strUser ||
            req.get_header_value("X-Auth-Key") != fctest::Sha256Hex(strPassword)) {
            return Answer(
                res, 400,
                R"({"errorCode":"10100103","errorDes":"The user name or password is incorrect."})");
        }
        m_strToken = "tok-" + std::to_string(++m_nTokenSeq);
        res.set_header("X-Auth-Token", m_strToken);
        res.set_content(R"({"validity":600000,"userName":"admin"})", "application/json");
    });
    On("DELETE", "/service/session",
       [](const httplib::Request&, httplib::Response& res) { res.status = 200; });
    Reply("GET", "/service/sites", 200,
          R"({"sites":[{"urn":"urn:sites:9","uri":"/service/sites/9","name":"other"},)"
          R"({"urn":"urn:sites:1","uri":"/service/sites/1","name":"site1","isSelf":true}]})");

    m_nPort = m_pServer->bind_to_any_port("127.0.0.1");
    if (m_nPort <= 0) throw std::runtime_error("cannot bind the fake service");
    m_thread = std::thread([this] { m_pServer->listen_after_bind(); });
    // A stop that comes before the listening loop runs is lost, and the join never returns.
    while (!m_pServer->is_running()) std::this_thread::yield();
}

CFakeService::~CFakeService() {
    m_pServer->stop();
    if (m_thread.joinable()) m_thread.join();
}

std::string CFakeService::URL() const {
    return std::string(m_bTLS ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_nPort);
}

void CFakeService::On(const std::string& method, const std::string& path, Handler h) {
    std::lock_guard<std::mutex> g(m_lock);
    m_handlers[method + " " + path] = std::move(h);
}

void CFakeService::Reply(const std::string& method, const std::string& path, int status,
                         const std::string& body) {
    On(method, path, [status, body](const httplib::Request&, httplib::Response& res) {
        Answer(res, status, body);
    });
}

std::vector<SRecorded> CFakeService::Requests() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_requests;
}

int CFakeService::Count(const std::string& method, const std::string& path) const {
    std::lock_guard<std::mutex> g(m_lock);
    int n = 0;
    for (const auto& r : m_requests)
        if (r.strMethod == method && r.strPath.substr(0, r.strPath.find('?')) == path) ++n;
    return n;
}

void CFakeService::ExpireToken() {
    std::lock_guard<std::mutex> g(m_lock);
    m_strToken = "expired-" + std::to_string(m_nTokenSeq);
}

void CFakeService::_Dispatch(const httplib::Request& req, httplib::Response& res) {
    Handler h;
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_requests.push_back(
            {req.method, req.target, {req.headers.begin(), req.headers.end()}, req.body});
        const bool open = req.path == "/service/versions" ||
                          (req.path == "/service/session" && req.method == "POST");
        if (!open && (m_strToken.empty() || req.get_header_value("X-Auth-Token") != m_strToken))
            return Answer(
                res, 401,
                R"({"errorCode":"10000002","errorDes":"The user is not logged in or the session has timed out."})");
        auto it = m_handlers.find(req.method + " " + req.path);
        if (it == m_handlers.end())
            return Answer(res, 404, R"({"errorCode":"10000008","errorDes":"No such resource."})");
        h = it->second;
    }
    h(req, res);
}

}  // namespace bridgetest
