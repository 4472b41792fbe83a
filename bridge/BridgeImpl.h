// The bridge's private half, shared by the files that implement its operations.
//
// Errors: the last error text and the "last snapshot failure was retryable" flag are kept per
// calling thread. A job thread that gets false and then asks GetLastError reads its own
// failure, even when the disk service's admin thread failed a lease extension in between.
// They live in the thread's own storage, under a serial number that no later bridge reuses, so
// an ended thread takes its texts with it and a new thread or a new bridge starts clean.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "EvDebug.h"
#include "FusionComputeSDKCppBridge.h"
#include "JsonUtil.h"
#include "Session.h"

namespace FusionComputeSDKCppBridge {

// The state behind one bridge object. It lives at namespace level so that the helpers of
// every operation file can take it; the class's own CImpl is only its name there.
class CBridgeCore {
public:
    explicit CBridgeCore(const SBridgeOptions& options);
    ~CBridgeCore();
    CBridgeCore(const CBridgeCore&) = delete;
    CBridgeCore& operator=(const CBridgeCore&) = delete;

    CSession& Session() { return m_session; }
    const SBridgeOptions& Options() const { return m_options; }

    // A problem found in the options (e.g. an unreadable time-out in the environment); every
    // Connect reports it until it is fixed.
    std::string strConfigError;

    // Per-thread error state.
    std::string LastError();
    void ClearError();
    bool Fail(const std::string& text);
    bool Fail(const SCallError& err);
    bool Fail(const std::string& context, const SCallError& err);
    void SetSnapshotRetryable(bool retryable);
    bool SnapshotRetryable();

    // REST helpers that record the failure as this thread's last error.
    bool Get(const std::string& path, json& out);
    bool Send(const std::string& method, const std::string& path, const json* body, json& out);
    // Sends, then follows the task the answer names to its end.
    bool SendAndWait(const std::string& method, const std::string& path, const json* body,
                     json& answer, STaskResult* pTask = nullptr);
    std::string Site() { return m_session.SiteURI(); }

    // Disk-access ids name a resource under a volume; the id alone does not say which.
    void RememberAccess(const std::string& accessID, const std::string& resourceVolumeUri);
    void ForgetAccess(const std::string& accessID);
    bool AccessUri(const std::string& accessID, std::string& uri);

    // Runs an operation: clears this thread's error, turns any exception that escapes the
    // mapping code into false with a text, so a malformed answer can never bring the caller
    // down.
    // Every failure is logged with the operation's name; texts never hold the password, the
    // login key or the session token.
    template <typename F>
    bool Run(const char* op, F&& f) {
        ClearError();
        bool ok = false;
        try {
            ok = f();
        } catch (const std::exception& e) {
            ok = Fail(std::string(op) + ": unexpected answer from the management service (" +
                      e.what() + ")");
        } catch (...) {
            ok = Fail(std::string(op) + ": unexpected failure");
        }
        if (!ok) LogFailure(op);
        return ok;
    }
    void LogFailure(const char* op);
    EvDebug& Log() { return m_log; }

private:
    const uint64_t m_ullSerial;  // this bridge's key in each thread's error storage
    SBridgeOptions m_options;
    CSession m_session;
    EvDebug m_log;
    std::mutex m_accessLock;
    std::map<std::string, std::string> m_mapAccess;  // access id -> volume URI
};

class CFusionComputeSDKCppBridge::CImpl : public CBridgeCore {
public:
    using CBridgeCore::CBridgeCore;
};

}  // namespace FusionComputeSDKCppBridge
