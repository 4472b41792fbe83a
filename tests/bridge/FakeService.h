// A scriptable stand-in for the management service, for the bridge's transport tests: answers
// the version list, the login and the site list like the real service, records every request,
// and lets a test script any other route (or replace the standard ones) to misbehave.
#pragma once

#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FusionComputeSDKCppBridge.h"
#include "TempDir.h"

namespace bridgetest {

// Time limits short enough for a scripted service on loopback; task polls every half second.
inline FusionComputeSDKCppBridge::SBridgeOptions FastOptions() {
    FusionComputeSDKCppBridge::SBridgeOptions o;
    o.nTimeoutSecs = 10;
    o.nConnectTimeoutSecs = 5;
    o.nTaskTimeoutSecs = 30;
    o.nTaskPollMillis = 500;
    return o;
}

struct SRecorded {
    std::string strMethod;
    std::string strPath;  // with the query
    std::multimap<std::string, std::string> headers;
    std::string strBody;
};

// A self-signed certificate for 127.0.0.1 in a temporary folder (removed with it).
class CTempCert {
public:
    CTempCert();
    const std::string& CertPath() const { return m_strCert; }
    const std::string& KeyPath() const { return m_strKey; }

private:
    CTempDir m_dir;
    std::string m_strCert, m_strKey;
};

class CFakeService {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // tls: serve HTTPS with the given certificate.
    explicit CFakeService(const CTempCert* tls = nullptr);
    ~CFakeService();

    std::string URL() const;  // scheme://127.0.0.1:port

    // Handles method + exact path (without the query); replaces an earlier handler.
    void On(const std::string& method, const std::string& path, Handler h);
    // Answers with a status and a body.
    void Reply(const std::string& method, const std::string& path, int status,
               const std::string& body);

    std::vector<SRecorded> Requests() const;
    int Count(const std::string& method, const std::string& path) const;
    int Logins() const { return Count("POST", "/service/session"); }

    // Invalidates the current token: the next authenticated call gets 401 10000002.
    void ExpireToken();
    std::string strUser = "admin";
    std::string strPassword = "Secret-Pw#1";

private:
    void _Dispatch(const httplib::Request& req, httplib::Response& res);

    std::unique_ptr<httplib::Server> m_pServer;
    std::thread m_thread;
    int m_nPort = 0;
    bool m_bTLS = false;
    mutable std::mutex m_lock;
    std::map<std::string, Handler> m_handlers;
    std::vector<SRecorded> m_requests;
    std::string m_strToken;
    int m_nTokenSeq = 0;
};

}  // namespace bridgetest
