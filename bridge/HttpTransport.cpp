#include "HttpTransport.h"

#include <curl/curl.h>
#include <string.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

namespace FusionComputeSDKCppBridge {

void WipeString(std::string& s) {
    if (!s.empty()) explicit_bzero(&s[0], s.size());
    s.clear();
}

std::string SHttpResponse::Header(const std::string& lowerName) const {
    for (const auto& h : vecHeaders)
        if (h.first == lowerName) return h.second;
    return std::string();
}

namespace {

// curl_global_init is not thread-safe in every libcurl build; run it once.
void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A header list whose text lives in our own buffers, so secret values (the login key) can be
// wiped when the request is over; curl_slist_append would keep copies we cannot reach.
class CHeaderList {
public:
    explicit CHeaderList(const std::vector<SHttpHeader>& headers) {
        m_vecText.reserve(headers.size() + 1);
        for (const auto& h : headers) m_vecText.push_back(h.strName + ": " + h.strValue);
        // Without this libcurl sends "Expect: 100-continue" and waits on larger bodies.
        m_vecText.push_back("Expect:");
        m_vecNodes.resize(m_vecText.size());
        for (size_t i = 0; i < m_vecText.size(); ++i) {
            m_vecNodes[i].data = &m_vecText[i][0];
            m_vecNodes[i].next = i + 1 < m_vecText.size() ? &m_vecNodes[i + 1] : nullptr;
        }
    }
    ~CHeaderList() {
        for (auto& t : m_vecText) WipeString(t);
    }
    CHeaderList(const CHeaderList&) = delete;
    CHeaderList& operator=(const CHeaderList&) = delete;
    curl_slist* Get() { return m_vecNodes.empty() ? nullptr : &m_vecNodes[0]; }

private:
    std::vector<std::string> m_vecText;
    std::vector<curl_slist> m_vecNodes;
};

struct SReadState {
    const std::string* pBody = nullptr;
    size_t nPos = 0;
};

struct SWriteState {
    SHttpResponse* pResponse = nullptr;
    size_t nMax = 0;
    bool bTooLarge = false;
};

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
    auto* st = static_cast<SWriteState*>(user);
    const size_t n = size * count;
    if (st->pResponse->strBody.size() + n > st->nMax) {
        st->bTooLarge = true;
        return 0;  // aborts the transfer
    }
    st->pResponse->strBody.append(data, n);
    return n;
}

size_t OnRead(char* buffer, size_t size, size_t count, void* user) {
    auto* st = static_cast<SReadState*>(user);
    const size_t n = std::min(size * count, st->pBody->size() - st->nPos);
    memcpy(buffer, st->pBody->data() + st->nPos, n);
    st->nPos += n;
    return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* resp = static_cast<SHttpResponse*>(user);
    const size_t n = size * count;
    std::string line(data, n);
    // A new status line (after a 100 Continue, say) starts a fresh header set.
    if (line.rfind("HTTP/", 0) == 0) {
        resp->vecHeaders.clear();
        return n;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return n;
    std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    value.erase(value.begin(), std::find_if(value.begin(), value.end(), notSpace));
    value.erase(std::find_if(value.rbegin(), value.rend(), notSpace).base(), value.end());
    resp->vecHeaders.emplace_back(std::move(name), std::move(value));
    return n;
}

struct SCurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

const size_t kMaxIdleHandles = 8;

}  // namespace

CHttpTransport::CHttpTransport(STransportOptions options) : m_options(std::move(options)) {
    GlobalInitOnce();
}

CHttpTransport::~CHttpTransport() {
    for (void* h : m_vecIdle) curl_easy_cleanup(static_cast<CURL*>(h));
}

void* CHttpTransport::Acquire() const {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_vecIdle.empty()) {
            void* h = m_vecIdle.back();
            m_vecIdle.pop_back();
            return h;
        }
    }
    return curl_easy_init();
}

void CHttpTransport::GiveBack(void* pHandle) const {
    CURL* c = static_cast<CURL*>(pHandle);
    curl_easy_reset(c);  // options go; the connection and the TLS session stay
    std::lock_guard<std::mutex> g(m_lock);
    if (m_vecIdle.size() < kMaxIdleHandles) {
        m_vecIdle.push_back(c);
        return;
    }
    curl_easy_cleanup(c);
}

bool CHttpTransport::Send(const SHttpRequest& request, SHttpResponse& response) const {
    response = SHttpResponse();
    std::unique_ptr<CURL, SCurlDeleter> curl(static_cast<CURL*>(Acquire()));
    if (!curl) {
        response.strTransportError = "cannot create an HTTP handle";
        return false;
    }
    CURL* c = curl.get();
    char errbuf[CURL_ERROR_SIZE] = {0};
    CHeaderList headers(request.vecHeaders);
    SReadState readState{&request.strBody, 0};
    SWriteState writeState{&response, m_options.nMaxBodyBytes, false};

    curl_easy_setopt(c, CURLOPT_URL, request.strURL.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // signals and threads do not mix
    curl_easy_setopt(c, CURLOPT_TIMEOUT, m_options.nTimeoutSecs);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, m_options.nConnectTimeoutSecs);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.Get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &writeState);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &response);
    if (m_options.bVerifyPeer) {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!m_options.strCAFile.empty())
            curl_easy_setopt(c, CURLOPT_CAINFO, m_options.strCAFile.c_str());
    } else {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    }

    const std::string& method = request.strMethod;
    if (method == "GET") {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else if (method == "POST" || method == "PUT" || method == "DELETE") {
        if (method == "POST") {
            curl_easy_setopt(c, CURLOPT_POST, 1L);
        } else {
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
            if (request.bHasBody) curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        }
        if (method == "POST") {
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.strBody.size()));
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.strBody.c_str());
        } else if (request.bHasBody) {
            curl_easy_setopt(c, CURLOPT_READFUNCTION, OnRead);
            curl_easy_setopt(c, CURLOPT_READDATA, &readState);
            curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE,
                             static_cast<curl_off_t>(request.strBody.size()));
        }
    } else {
        response.strTransportError = "unsupported HTTP method " + method;
        return false;
    }

    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        response.nStatus = 0;
        response.strBody.clear();
        if (writeState.bTooLarge) {
            response.strTransportError =
                "the answer is larger than " + std::to_string(m_options.nMaxBodyBytes) + " bytes";
        } else {
            response.strTransportError = std::string(curl_easy_strerror(rc));
            if (errbuf[0] != '\0') response.strTransportError += std::string(": ") + errbuf;
        }
        return false;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    response.nStatus = status;
    GiveBack(curl.release());
    return true;
}

}  // namespace FusionComputeSDKCppBridge
