// One HTTP exchange over libcurl. Any number of threads may send at once: each call takes an
// easy handle of its own from a small pool and gives it back when the exchange succeeded, so
// the next call reuses its connection and TLS session instead of a handshake per call. A
// handle whose exchange failed at the transport level is dropped with its connection, so a
// broken connection never serves the next request.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace FusionComputeSDKCppBridge {

struct STransportOptions {
    bool bVerifyPeer = true;
    std::string strCAFile;
    long nTimeoutSecs = 60;
    long nConnectTimeoutSecs = 15;
    size_t nMaxBodyBytes = 64u << 20;  // a hostile or broken peer cannot exhaust memory
};

struct SHttpHeader {
    std::string strName;
    std::string strValue;
    bool bSecret = false;  // wiped from our buffers once the request is done
};

struct SHttpRequest {
    std::string strMethod;  // GET, POST, PUT, DELETE
    std::string strURL;     // absolute
    std::vector<SHttpHeader> vecHeaders;
    std::string strBody;
    bool bHasBody = false;
};

struct SHttpResponse {
    long nStatus = 0;  // 0 when no HTTP answer arrived
    std::string strBody;
    std::vector<std::pair<std::string, std::string>> vecHeaders;  // names lower-cased
    std::string strTransportError;                                // set when nStatus is 0

    // First header of that (lower-case) name, or empty.
    std::string Header(const std::string& lowerName) const;
};

class CHttpTransport {
public:
    explicit CHttpTransport(STransportOptions options);
    ~CHttpTransport();
    CHttpTransport(const CHttpTransport&) = delete;
    CHttpTransport& operator=(const CHttpTransport&) = delete;
    const STransportOptions& Options() const { return m_options; }

    // False when no complete HTTP answer arrived (refused, time-out, TLS failure, oversized
    // body); the reason is in response.strTransportError.
    bool Send(const SHttpRequest& request, SHttpResponse& response) const;

private:
    void* Acquire() const;  // a CURL handle
    void GiveBack(void* pHandle) const;

    STransportOptions m_options;
    mutable std::mutex m_lock;
    mutable std::vector<void*> m_vecIdle;
};

// Overwrites a buffer in a way the compiler may not drop.
void WipeString(std::string& s);

}  // namespace FusionComputeSDKCppBridge
