// A scripted CNA peer for client tests: accepts one connection on 127.0.0.1, records each
// request's raw bytes, and sends whatever the responder returns.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "../sim_cna/RawCna.h"

struct SFakeRequest {
    std::vector<uint8_t> vecBytes;  // everything the client sent for this request
    uint16_t nOpcode = 0;
    uint32_t nSequence = 0;
    uint32_t nBodyLength = 0;
};

using fcsim::cnawire::Get16;
using fcsim::cnawire::Get32;

// An answer as a CNA sends it (the client looks only at the sequence in the header) with its
// status; open and read answers add a value, the handle or length, and the data.
inline std::vector<uint8_t> FakeAnswer(uint16_t opcode, uint32_t sequence, uint16_t status,
                                       std::optional<uint32_t> value = std::nullopt,
                                       const std::vector<uint8_t>& data = {}) {
    std::vector<uint8_t> v = rawcna::Header(opcode, sequence, (value ? 6 : 2) + data.size());
    rawcna::Put(v, status, 2);
    if (value) rawcna::Put(v, *value, 4);
    v.insert(v.end(), data.begin(), data.end());
    return v;
}

class CFakeCnaPeer {
public:
    // Returns the bytes to answer with; an empty answer closes the connection.
    using Responder = std::function<std::vector<uint8_t>(const SFakeRequest&)>;

    explicit CFakeCnaPeer(Responder responder) : m_responder(std::move(responder)) {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        listen(m_listen, 1);
        m_thread = std::thread([this] { Run(); });
    }
    // No client is awaited any more; one that came is still served until it goes.
    ~CFakeCnaPeer() {
        shutdown(m_listen, SHUT_RDWR);
        Finish();
    }

    uint16_t Port() const { return m_port; }
    // Waits until the client has gone (closed its side) and the peer thread ended.
    void Finish() {
        if (m_thread.joinable()) m_thread.join();
        if (m_listen >= 0) close(m_listen);
        m_listen = -1;
    }
    // What the client sent; read after Finish, when the peer thread has ended.
    const std::vector<SFakeRequest>& Requests() const { return m_requests; }

private:
    static bool ReadN(int fd, uint8_t* p, size_t n) { return rawcna::RecvUpTo(fd, p, n) == n; }
    void Run() {
        int fd = accept(m_listen, nullptr, nullptr);
        if (fd < 0) return;
        for (;;) {
            SFakeRequest r;
            uint8_t h[18];
            if (!ReadN(fd, h, 18)) break;
            r.nOpcode = Get16(h + 4);
            r.nSequence = Get32(h + 6);
            r.nBodyLength = Get32(h + 10);
            r.vecBytes.assign(h, h + 18);
            std::vector<uint8_t> body(r.nBodyLength);
            if (!ReadN(fd, body.data(), body.size())) break;
            r.vecBytes.insert(r.vecBytes.end(), body.begin(), body.end());
            if (r.nOpcode == 4 && r.nBodyLength == 16) {
                std::vector<uint8_t> data(Get32(body.data() + 12));
                if (!ReadN(fd, data.data(), data.size())) break;
                r.vecBytes.insert(r.vecBytes.end(), data.begin(), data.end());
            }
            m_requests.push_back(r);
            std::vector<uint8_t> answer = m_responder(r);
            if (answer.empty()) break;
            if (send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) != ssize_t(answer.size()))
                break;
        }
        close(fd);
    }

    Responder m_responder;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::vector<SFakeRequest> m_requests;
};

// Answers as a well-behaved CNA: open gives handle 3, reads give `length` bytes of 0x5A.
inline std::vector<uint8_t> WellBehavedAnswer(const SFakeRequest& r) {
    if (r.nOpcode == 1 && r.nBodyLength == 386) return FakeAnswer(1, r.nSequence, 0, 3);
    if (r.nOpcode != 3) return FakeAnswer(r.nOpcode, r.nSequence, 0);
    const uint32_t length = Get32(r.vecBytes.data() + 18 + 12);
    return FakeAnswer(3, r.nSequence, 0, length, std::vector<uint8_t>(length, 0x5A));
}
