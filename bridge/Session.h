// The management-service session: base address, interface version, login token, and the one
// place every REST call goes through. A call that finds the session expired (HTTP 401 or the
// service's "not logged in" code) logs in again once and repeats itself once.
//
// The password is turned into the login key (its SHA-256 hex) at Connect; only the key is
// kept, in a buffer that is wiped when it is replaced and when the session ends. Neither the
// key nor the token is ever written to a log or an error text.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "HttpTransport.h"
#include "JsonUtil.h"

namespace FusionComputeSDKCppBridge {

// What went wrong with one call, in the service's own words where it gave any.
struct SCallError {
    long nHttpStatus = 0;  // 0: no HTTP answer
    std::string strCode;   // the service's errorCode (or a task's reason code)
    std::string strText;   // complete text for GetLastError
};

struct STaskResult {
    std::string strEntityURN;  // the object the task worked on, when the task says so
    json jTask;                // the last task document
};

class CSession {
public:
    CSession(STransportOptions transport, long nTaskTimeoutSecs);
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // Logs in; a live earlier session is logged out first.
    bool Connect(const std::string& url, const std::string& user, const std::string& password,
                 SCallError& err);
    bool IsConnected() const;
    // Best effort; the session is forgotten even when the service does not answer.
    void Logout();

    // method and path ("/service/..."; query included). body may be null. On success out holds
    // the parsed answer (null for an empty one).
    bool Call(const std::string& method, const std::string& path, const json* body, json& out,
              SCallError& err);
    // Follows an answer that carries taskUri (or taskUrn) until the task ends. An answer without
    // a task is taken as already done.
    bool WaitTask(const json& answer, STaskResult& result, SCallError& err);

    // "/service/sites/<id>" of the chosen site; empty when not connected.
    std::string SiteURI() const;
    // The interface version in use, e.g. "8.1" (from GET /service/versions).
    std::string InterfaceVersion() const;

    // Milliseconds between task polls; the first poll comes at once.
    void SetTaskPollMillis(uint32_t ms) { m_nPollMs = ms; }

private:
    bool _Send(const std::string& method, const std::string& url, const json* body,
               const std::string& token, bool bLogin, SHttpResponse& resp, SCallError& err) const;
    bool _Login(SCallError& err);  // with m_loginLock held
    bool _DiscoverVersion(const std::string& base, std::string& version, SCallError& err) const;
    bool _ChooseSite(SCallError& err);
    static bool _IsExpired(const SHttpResponse& resp, const json& body);
    static void _FillError(const std::string& what, const SHttpResponse& resp, const json& body,
                           bool bJsonOk, SCallError& err);

    CHttpTransport m_transport;
    long m_nTaskTimeoutSecs;
    uint32_t m_nPollMs = 1000;

    std::mutex m_loginLock;  // one login at a time; taken before m_stateLock
    mutable std::mutex m_stateLock;
    std::string m_strBase;  // scheme://host:port
    std::string m_strUser;
    std::string m_strKey;  // SHA-256 hex of the password; wiped
    std::string m_strVersion;
    std::string m_strToken;      // wiped
    uint64_t m_ullTokenGen = 0;  // bumped at every login, so concurrent expiries log in once
    std::string m_strSiteURI;
    bool m_bConnected = false;
};

// SHA-256 of the text as lower-case hex.
std::string Sha256Hex(const std::string& text);
// Normalises "host", "host:port", "https://host[:port][/]" to "scheme://host:port"; false
// when the text cannot be an address of the service.
bool NormaliseBaseURL(const std::string& url, std::string& base, std::string& err);

}  // namespace FusionComputeSDKCppBridge
