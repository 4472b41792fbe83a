// Construction, options, error state, connection and version.
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <map>

#include "BridgeImpl.h"

namespace FusionComputeSDKCppBridge {

namespace {

STransportOptions ToTransport(const SBridgeOptions& o) {
    STransportOptions t;
    t.bVerifyPeer = o.bVerifyPeer;
    t.strCAFile = o.strCAFile;
    t.nTimeoutSecs = o.nTimeoutSecs;
    t.nConnectTimeoutSecs = o.nConnectTimeoutSecs;
    return t;
}

// A whole number from 1 to max in the variable; false when it is unset, and false with the
// problem told when it is not such a number.
bool NumberFromEnvironment(const char* name, long max, const char* unit, long& out,
                           std::string& problem) {
    const char* text = getenv(name);
    if (!text) return false;
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v <= 0 || v > max) {
        problem = std::string(name) + "=[" + text + "] is not a number of " + unit +
                  " between 1 and " + std::to_string(max);
        return false;
    }
    out = v;
    return true;
}

// Options from the environment; a value that cannot be read is reported, not guessed at.
SBridgeOptions OptionsFromEnvironment(std::string& problem) {
    SBridgeOptions o;
    if (const char* ca = getenv("FC_BRIDGE_CAFILE")) o.strCAFile = ca;
    if (const char* insecure = getenv("FC_BRIDGE_INSECURE")) {
        const std::string v = insecure;
        if (v == "1" || v == "true" || v == "yes") {
            o.bVerifyPeer = false;
        } else if (!(v.empty() || v == "0" || v == "false" || v == "no")) {
            problem = "FC_BRIDGE_INSECURE=[" + v + "] is neither 1 nor 0";
        }
    }
    long v = 0;
    if (NumberFromEnvironment("FC_BRIDGE_TIMEOUT", 86400, "seconds", v, problem)) {
        o.nTimeoutSecs = v;
        if (o.nConnectTimeoutSecs > v) o.nConnectTimeoutSecs = v;
    }
    if (NumberFromEnvironment("FC_BRIDGE_TASK_POLL_MS", 60000, "milliseconds", v, problem))
        o.nTaskPollMillis = static_cast<uint32_t>(v);
    return o;
}

std::string CheckOptions(const SBridgeOptions& o) {
    if (o.nTimeoutSecs <= 0 || o.nConnectTimeoutSecs <= 0 || o.nTaskTimeoutSecs <= 0)
        return "bridge time-outs must be positive";
    if (!o.strCAFile.empty() && access(o.strCAFile.c_str(), R_OK) != 0)
        return "the CA file [" + o.strCAFile + "] cannot be read";
    return std::string();
}

}  // namespace

namespace {

struct SThreadError {
    std::string strLastError;
    bool bSnapshotRetryable = false;
};

std::atomic<uint64_t> g_ullNextSerial{1};
// This thread's error state, per bridge. An entry exists only while it holds something, so a
// long-lived thread keeps none for the many bridges whose last call on it succeeded.
thread_local std::map<uint64_t, SThreadError> t_mapErrors;

SThreadError* FindError(uint64_t serial) {
    auto it = t_mapErrors.find(serial);
    return it == t_mapErrors.end() ? nullptr : &it->second;
}

void DropIfEmpty(uint64_t serial) {
    auto it = t_mapErrors.find(serial);
    if (it != t_mapErrors.end() && it->second.strLastError.empty() &&
        !it->second.bSnapshotRetryable)
        t_mapErrors.erase(it);
}

}  // namespace

CBridgeCore::CBridgeCore(const SBridgeOptions& options)
    : m_ullSerial(g_ullNextSerial.fetch_add(1)),
      m_options(options),
      m_session(ToTransport(options), options.nTaskTimeoutSecs) {
    m_session.SetTaskPollMillis(options.nTaskPollMillis);
}

CBridgeCore::~CBridgeCore() {
    t_mapErrors.erase(m_ullSerial);
}

std::string CBridgeCore::LastError() {
    const SThreadError* p = FindError(m_ullSerial);
    return p ? p->strLastError : std::string();
}

void CBridgeCore::ClearError() {
    if (SThreadError* p = FindError(m_ullSerial)) p->strLastError.clear();
    DropIfEmpty(m_ullSerial);
}

bool CBridgeCore::Fail(const std::string& text) {
    t_mapErrors[m_ullSerial].strLastError = text;
    return false;
}

bool CBridgeCore::Fail(const SCallError& err) {
    return Fail(err.strText);
}

bool CBridgeCore::Fail(const std::string& context, const SCallError& err) {
    return Fail(context + ": " + err.strText);
}

void CBridgeCore::LogFailure(const char* op) {
    const std::string tag = std::string("bool CFusionComputeSDKCppBridge::") + op + "()";
    m_log.Error(tag.c_str(), "%s", LastError().c_str());
}

void CBridgeCore::SetSnapshotRetryable(bool retryable) {
    if (retryable) {
        t_mapErrors[m_ullSerial].bSnapshotRetryable = true;
        return;
    }
    if (SThreadError* p = FindError(m_ullSerial)) p->bSnapshotRetryable = false;
    DropIfEmpty(m_ullSerial);
}

bool CBridgeCore::SnapshotRetryable() {
    const SThreadError* p = FindError(m_ullSerial);
    return p && p->bSnapshotRetryable;
}

bool CBridgeCore::Get(const std::string& path, json& out) {
    return Send("GET", path, nullptr, out);
}

bool CBridgeCore::Send(const std::string& method, const std::string& path, const json* body,
                       json& out) {
    SCallError err;
    if (!m_session.Call(method, path, body, out, err)) return Fail(err);
    return true;
}

bool CBridgeCore::SendAndWait(const std::string& method, const std::string& path, const json* body,
                              json& answer, STaskResult* pTask) {
    SCallError err;
    if (!m_session.Call(method, path, body, answer, err)) return Fail(err);
    STaskResult task;
    if (!m_session.WaitTask(answer, task, err)) return Fail(err);
    if (pTask) *pTask = std::move(task);
    return true;
}

void CBridgeCore::RememberAccess(const std::string& accessID, const std::string& volumeUri) {
    std::lock_guard<std::mutex> g(m_accessLock);
    m_mapAccess[accessID] = volumeUri;
}

void CBridgeCore::ForgetAccess(const std::string& accessID) {
    std::lock_guard<std::mutex> g(m_accessLock);
    m_mapAccess.erase(accessID);
}

bool CBridgeCore::AccessUri(const std::string& accessID, std::string& uri) {
    {
        std::lock_guard<std::mutex> g(m_accessLock);
        auto it = m_mapAccess.find(accessID);
        if (it != m_mapAccess.end()) {
            uri = it->second + "/backupresources/" + accessID;
            return true;
        }
    }
    // A resource URN names its volume itself.
    const std::string full = UrnToUri(accessID);
    const std::string prefix = Site() + "/volumes/";
    const size_t mid = full.find("/backupresources/");
    if (!Site().empty() && full.rfind(prefix, 0) == 0 && mid != std::string::npos &&
        full.find('/', prefix.size()) == mid && full.find('/', mid + 17) == std::string::npos) {
        uri = full;
        return true;
    }
    return Fail("unknown disk access id [" + accessID + "]");
}

CFusionComputeSDKCppBridge::CFusionComputeSDKCppBridge() {
    std::string problem;
    SBridgeOptions options = OptionsFromEnvironment(problem);
    m_pImpl.reset(new CImpl(options));
    m_pImpl->strConfigError = problem;
}

CFusionComputeSDKCppBridge::CFusionComputeSDKCppBridge(const SBridgeOptions& options)
    : m_pImpl(new CImpl(options)) {}

CFusionComputeSDKCppBridge::~CFusionComputeSDKCppBridge() = default;

std::string CFusionComputeSDKCppBridge::GetLastError() {
    return m_pImpl->LastError();
}

bool CFusionComputeSDKCppBridge::Connect(const std::string& url, const std::string& user,
                                         const std::string& password) {
    return m_pImpl->Run("Connect", [&] {
        if (!m_pImpl->strConfigError.empty())
            return m_pImpl->Fail("bridge configuration: " + m_pImpl->strConfigError);
        const std::string bad = CheckOptions(m_pImpl->Options());
        if (!bad.empty()) return m_pImpl->Fail("bridge configuration: " + bad);
        std::string base, why;
        if (!NormaliseBaseURL(url, base, why)) return m_pImpl->Fail(why);
        m_pImpl->Log().DebugLvl("bool CFusionComputeSDKCppBridge::Connect()", 2,
                                "Connecting to [%s] as [%s]", base.c_str(), user.c_str());
        SCallError err;
        if (!m_pImpl->Session().Connect(url, user, password, err)) return m_pImpl->Fail(err);
        return true;
    });
}

bool CFusionComputeSDKCppBridge::CheckConnection() {
    return m_pImpl->Run("CheckConnection", [&] {
        json out;
        // Any authenticated read proves the session; the site list is the cheapest.
        return m_pImpl->Get("/service/sites", out);
    });
}

bool CFusionComputeSDKCppBridge::GetManagementVersionNumber(int& version) {
    return m_pImpl->Run("GetManagementVersionNumber", [&] {
        if (!m_pImpl->Session().IsConnected())
            return m_pImpl->Fail("not connected to the management service");
        const std::string v = m_pImpl->Session().InterfaceVersion();
        const size_t dot = v.find('.');
        const int major = atoi(v.substr(0, dot).c_str());
        const int minor = dot == std::string::npos ? 0 : atoi(v.substr(dot + 1).c_str());
        version = major * 10 + minor;
        return true;
    });
}

}  // namespace FusionComputeSDKCppBridge
