#include "Session.h"

#include <openssl/evp.h>
#include <strings.h>

#include <cctype>

#include "NxClock.h"

namespace FusionComputeSDKCppBridge {

namespace {

const char* kNotLoggedIn = "10000002";

std::string AcceptHeader(const std::string& version) {
    if (version.empty()) return "application/json;charset=UTF-8";
    return "application/json;version=" + version + ";charset=UTF-8";
}

// "v8.1" / "8.1" -> (8, 1); false when not of that shape.
bool ParseVersion(std::string v, int& major, int& minor) {
    if (!v.empty() && (v[0] == 'v' || v[0] == 'V')) v.erase(0, 1);
    const size_t dot = v.find('.');
    const std::string a = v.substr(0, dot);
    const std::string b = dot == std::string::npos ? "0" : v.substr(dot + 1);
    auto digits = [](const std::string& s) {
        if (s.empty() || s.size() > 4) return false;
        for (char c : s)
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        return true;
    };
    if (!digits(a) || !digits(b)) return false;
    major = std::stoi(a);
    minor = std::stoi(b);
    return true;
}

}  // namespace

std::string Sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha256(), nullptr) != 1)
        return std::string();
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(len * 2);
    for (unsigned int i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    OPENSSL_cleanse(digest, sizeof(digest));
    return out;
}

bool NormaliseBaseURL(const std::string& url, std::string& base, std::string& err) {
    std::string rest = url;
    std::string scheme = "https";
    const size_t sep = rest.find("://");
    if (sep != std::string::npos) {
        scheme = rest.substr(0, sep);
        for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        rest = rest.substr(sep + 3);
        if (scheme != "https" && scheme != "http") {
            err = "unsupported scheme in the management address [" + url + "]";
            return false;
        }
    }
    // Anything after the authority (a path such as "/service") is ours to choose.
    const size_t slash = rest.find('/');
    if (slash != std::string::npos) rest = rest.substr(0, slash);
    if (rest.find('@') != std::string::npos) {
        // Not echoed: the text before '@' may be a password.
        err = "the management address must not carry a user name or password";
        return false;
    }
    if (rest.empty() || rest.find_first_of(" \t\r\n?#") != std::string::npos) {
        err = "invalid management address [" + url + "]";
        return false;
    }
    const bool bracketed = rest[0] == '[';
    const size_t colon = rest.rfind(':');
    const bool hasPort = colon != std::string::npos && (!bracketed || rest.find(']') < colon);
    if (hasPort) {
        const std::string port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) == 0 ||
            std::stoi(port) > 65535) {
            err = "invalid port in the management address [" + url + "]";
            return false;
        }
    } else {
        rest += scheme == "https" ? ":7443" : ":7070";
    }
    base = scheme + "://" + rest;
    return true;
}

CSession::CSession(STransportOptions transport, long nTaskTimeoutSecs)
    : m_transport(std::move(transport)), m_nTaskTimeoutSecs(nTaskTimeoutSecs) {}

CSession::~CSession() {
    Logout();
    std::lock_guard<std::mutex> g(m_stateLock);
    WipeString(m_strKey);
    WipeString(m_strToken);
}

bool CSession::IsConnected() const {
    std::lock_guard<std::mutex> g(m_stateLock);
    return m_bConnected;
}

std::string CSession::SiteURI() const {
    std::lock_guard<std::mutex> g(m_stateLock);
    return m_strSiteURI;
}

std::string CSession::InterfaceVersion() const {
    std::lock_guard<std::mutex> g(m_stateLock);
    return m_strVersion;
}

bool CSession::_Send(const std::string& method, const std::string& url, const json* body,
                     const std::string& token, bool bLogin, SHttpResponse& resp,
                     SCallError& err) const {
    SHttpRequest req;
    req.strMethod = method;
    req.strURL = url;
    // Room for every header up front: a reallocation would move short secret values and leave
    // copies behind in freed memory.
    req.vecHeaders.reserve(8);
    std::string version;
    {
        std::lock_guard<std::mutex> g(m_stateLock);
        version = m_strVersion;
    }
    req.vecHeaders.push_back({"Accept", AcceptHeader(version), false});
    req.vecHeaders.push_back({"Accept-Language", "en_US", false});
    if (body) {
        req.strBody = body->dump(-1, ' ', false, json::error_handler_t::replace);
        req.bHasBody = true;
        req.vecHeaders.push_back({"Content-Type", "application/json;charset=UTF-8", false});
    } else if (method == "POST" || method == "PUT") {
        req.strBody = "{}";
        req.bHasBody = true;
        req.vecHeaders.push_back({"Content-Type", "application/json;charset=UTF-8", false});
    }
    if (bLogin) {
        std::lock_guard<std::mutex> g(m_stateLock);
        req.vecHeaders.push_back({"X-Auth-User", m_strUser, false});
        req.vecHeaders.push_back({"X-Auth-Key", m_strKey, true});
        req.vecHeaders.push_back({"X-Auth-UserType", "2", false});
    } else if (!token.empty()) {
        req.vecHeaders.push_back({"X-Auth-Token", token, true});
    }
    const bool ok = m_transport.Send(req, resp);
    for (auto& h : req.vecHeaders)
        if (h.bSecret) WipeString(h.strValue);
    if (!ok) {
        err = SCallError();
        err.strText =
            "no answer from the management service for " + method + " " +
            url.substr(url.find("/service") == std::string::npos ? 0 : url.find("/service")) +
            ": " + resp.strTransportError;
        return false;
    }
    return true;
}

bool CSession::_IsExpired(const SHttpResponse& resp, const json& body) {
    if (resp.nStatus == 401) return JStr(body, "errorCode") != "10000003";
    return JStr(body, "errorCode") == kNotLoggedIn;
}

void CSession::_FillError(const std::string& what, const SHttpResponse& resp, const json& body,
                          bool bJsonOk, SCallError& err) {
    err = SCallError();
    err.nHttpStatus = resp.nStatus;
    err.strCode = JStr(body, "errorCode");
    const std::string des = JStr(body, "errorDes");
    if (!des.empty()) {
        err.strText = des;
        if (!err.strCode.empty()) err.strText += " (error " + err.strCode + ")";
    } else if (!err.strCode.empty()) {
        err.strText = "the management service failed " + what + " with error " + err.strCode;
    } else {
        err.strText = "the management service answered " + what + " with HTTP " +
                      std::to_string(resp.nStatus) +
                      (bJsonOk ? "" : " and a body that is not JSON");
    }
}

bool CSession::_DiscoverVersion(const std::string& base, std::string& version,
                                SCallError& err) const {
    SHttpResponse resp;
    if (!_Send("GET", base + "/service/versions", nullptr, std::string(), false, resp, err))
        return false;
    json body;
    const bool jsonOk = ParseJson(resp.strBody, body);
    if (resp.nStatus != 200) {
        _FillError("GET /service/versions", resp, body, jsonOk, err);
        return false;
    }
    if (!jsonOk) {
        err = SCallError();
        err.nHttpStatus = resp.nStatus;
        err.strText = "invalid JSON in the answer to GET /service/versions";
        return false;
    }
    int bestMajor = -1, bestMinor = -1;
    for (const auto& v : JArr(body, "versions")) {
        int major = 0, minor = 0;
        std::string text = JStr(v, "version");
        if (!ParseVersion(text, major, minor)) continue;
        if (major > bestMajor || (major == bestMajor && minor > bestMinor)) {
            bestMajor = major;
            bestMinor = minor;
            if (!text.empty() && (text[0] == 'v' || text[0] == 'V')) text.erase(0, 1);
            version = text;
        }
    }
    if (bestMajor < 0) {
        err = SCallError();
        err.nHttpStatus = resp.nStatus;
        err.strText = "the management service lists no usable interface version";
        return false;
    }
    return true;
}

bool CSession::_Login(SCallError& err) {
    std::string base;
    {
        std::lock_guard<std::mutex> g(m_stateLock);
        base = m_strBase;
    }
    SHttpResponse resp;
    if (!_Send("POST", base + "/service/session", nullptr, std::string(), true, resp, err))
        return false;
    json body;
    const bool jsonOk = ParseJson(resp.strBody, body);
    std::string token = resp.Header("x-auth-token");
    if (resp.nStatus != 200 || token.empty()) {
        if (resp.nStatus == 200) {
            err = SCallError();
            err.nHttpStatus = resp.nStatus;
            err.strCode = JStr(body, "errorCode");
            err.strText = "login refused: the management service issued no session token";
            const std::string des = JStr(body, "errorDes");
            if (!des.empty()) err.strText += " (" + des + ")";
        } else {
            _FillError("the login", resp, body, jsonOk, err);
            err.strText = "login failed: " + err.strText;
        }
        // The header of a failed exchange is of no use; do not keep it lying around.
        for (auto& h : resp.vecHeaders)
            if (h.first == "x-auth-token") WipeString(h.second);
        return false;
    }
    {
        std::lock_guard<std::mutex> g(m_stateLock);
        WipeString(m_strToken);
        m_strToken = token;
        ++m_ullTokenGen;
    }
    WipeString(token);
    for (auto& h : resp.vecHeaders)
        if (h.first == "x-auth-token") WipeString(h.second);
    return true;
}

bool CSession::_ChooseSite(SCallError& err) {
    json body;
    if (!Call("GET", "/service/sites", nullptr, body, err)) return false;
    const json& sites = JArr(body, "sites");
    std::string chosen;
    for (const auto& s : sites) {
        std::string uri = JStr(s, "uri");
        if (uri.empty()) uri = UrnToUri(JStr(s, "urn"));
        if (uri.empty()) continue;
        if (chosen.empty() || JBool(s, "isSelf", false)) chosen = uri;
        if (JBool(s, "isSelf", false)) break;
    }
    if (chosen.empty()) {
        err = SCallError();
        err.strText = "the management service lists no site";
        return false;
    }
    std::lock_guard<std::mutex> g(m_stateLock);
    m_strSiteURI = chosen;
    return true;
}

bool CSession::Connect(const std::string& url, const std::string& user, const std::string& password,
                       SCallError& err) {
    std::string base, why;
    if (!NormaliseBaseURL(url, base, why)) {
        err = SCallError();
        err.strText = why;
        return false;
    }
    if (user.empty()) {
        err = SCallError();
        err.strText = "no user name given for the management service";
        return false;
    }
    Logout();
    {
        // Released before the site query below: a call that meets an expired session takes
        // this lock itself.
        std::lock_guard<std::mutex> login(m_loginLock);
        std::string version;
        if (!_DiscoverVersion(base, version, err)) return false;
        {
            std::lock_guard<std::mutex> g(m_stateLock);
            m_strBase = base;
            m_strUser = user;
            m_strVersion = version;
            WipeString(m_strKey);
            m_strKey = Sha256Hex(password);
            m_strSiteURI.clear();
            m_bConnected = false;
        }
        if (!_Login(err)) {
            std::lock_guard<std::mutex> g(m_stateLock);
            WipeString(m_strKey);
            return false;
        }
        std::lock_guard<std::mutex> g(m_stateLock);
        m_bConnected = true;
    }
    if (!_ChooseSite(err)) {
        std::lock_guard<std::mutex> g(m_stateLock);
        m_bConnected = false;
        WipeString(m_strKey);
        WipeString(m_strToken);
        return false;
    }
    return true;
}

void CSession::Logout() {
    std::string base, token;
    {
        std::lock_guard<std::mutex> g(m_stateLock);
        if (!m_bConnected) return;
        m_bConnected = false;
        base = m_strBase;
        token = m_strToken;
        WipeString(m_strToken);
        m_strSiteURI.clear();
    }
    SHttpResponse resp;
    SCallError ignored;
    _Send("DELETE", base + "/service/session", nullptr, token, false, resp, ignored);
    WipeString(token);
}

bool CSession::Call(const std::string& method, const std::string& path, const json* body, json& out,
                    SCallError& err) {
    out = json();
    const std::string what = method + " " + path.substr(0, path.find('?'));
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string base, token;
        uint64_t gen = 0;
        {
            std::lock_guard<std::mutex> g(m_stateLock);
            if (!m_bConnected) {
                err = SCallError();
                err.strText = "not connected to the management service";
                return false;
            }
            base = m_strBase;
            token = m_strToken;
            gen = m_ullTokenGen;
        }
        SHttpResponse resp;
        const bool sent = _Send(method, base + path, body, token, false, resp, err);
        WipeString(token);
        if (!sent) return false;
        json answer;
        const bool jsonOk = ParseJson(resp.strBody, answer);
        if (attempt == 0 && _IsExpired(resp, answer)) {
            std::lock_guard<std::mutex> login(m_loginLock);
            bool stale = false;
            {
                std::lock_guard<std::mutex> g(m_stateLock);
                stale = gen == m_ullTokenGen;
            }
            // Another thread may have logged in meanwhile; its token is as good as ours.
            if (stale && !_Login(err)) return false;
            continue;
        }
        if (resp.nStatus < 200 || resp.nStatus > 299) {
            _FillError(what, resp, answer, jsonOk, err);
            return false;
        }
        if (!jsonOk) {
            err = SCallError();
            err.nHttpStatus = resp.nStatus;
            err.strText = "invalid JSON in the answer to " + what;
            return false;
        }
        out = std::move(answer);
        return true;
    }
    return false;  // not reached: the second attempt always returns above
}

bool CSession::WaitTask(const json& answer, STaskResult& result, SCallError& err) {
    result = STaskResult();
    std::string uri = JStr(answer, "taskUri");
    if (uri.empty()) uri = UrnToUri(JStr(answer, "taskUrn"));
    if (uri.empty()) return true;
    if (uri.rfind("/service/", 0) != 0) {
        err = SCallError();
        err.strText = "the management service named an invalid task [" + uri + "]";
        return false;
    }
    const uint64_t deadline = NxClock::NowMs() + static_cast<uint64_t>(m_nTaskTimeoutSecs) * 1000;
    for (;;) {
        json task;
        if (!Call("GET", uri, nullptr, task, err)) return false;
        const std::string status = JStr(task, "status");
        if (strcasecmp(status.c_str(), "success") == 0) {
            result.strEntityURN = JStr(task, "entityUrn");
            result.jTask = std::move(task);
            return true;
        }
        if (strcasecmp(status.c_str(), "failed") == 0 ||
            strcasecmp(status.c_str(), "cancelling") == 0 ||
            strcasecmp(status.c_str(), "cancelled") == 0) {
            err = SCallError();
            err.nHttpStatus = 200;
            err.strCode = JStr(task, "reason");
            const std::string des = JStr(task, "reasonDes");
            if (!des.empty()) {
                err.strText = des;
                if (!err.strCode.empty()) err.strText += " (error " + err.strCode + ")";
            } else {
                err.strText = "task " + UrnId(uri) + " " + status +
                              (err.strCode.empty() ? "" : " with error " + err.strCode);
            }
            result.jTask = std::move(task);
            return false;
        }
        if (status.empty()) {
            err = SCallError();
            err.nHttpStatus = 200;
            err.strText = "the answer for task " + UrnId(uri) + " carries no status";
            return false;
        }
        if (NxClock::NowMs() >= deadline) {
            err = SCallError();
            err.strText = "task " + UrnId(uri) + " did not end within " +
                          std::to_string(m_nTaskTimeoutSecs) + " seconds (last status " + status +
                          ")";
            return false;
        }
        NxClock::Sleep(m_nPollMs);
    }
}

}  // namespace FusionComputeSDKCppBridge
