// Requests of the CNA socket protocol built byte by byte, apart from the server's encoder, and a
// raw connection that sends them and reads the answers.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CnaWire.h"
#include "WzUtil.h"

namespace rawcna {

using Bytes = std::vector<uint8_t>;

// A little-endian field of n bytes. (Answers are read with the server's own CnaWire.h
// getters: the golden frames of test_cna_server.cpp pin the byte order they read.)
inline void Put(Bytes& b, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline uint16_t Get16(const Bytes& b, size_t at) {
    return fcsim::cnawire::Get16(b.data() + at);
}
inline uint32_t Get32(const Bytes& b, size_t at) {
    return fcsim::cnawire::Get32(b.data() + at);
}

inline Bytes Header(uint16_t op, uint32_t seq, uint32_t length) {
    Bytes b;
    Put(b, 0x3535, 2);
    Put(b, 0, 2);
    Put(b, op, 2);
    Put(b, seq, 4);
    Put(b, length, 4);
    Put(b, CWzCRC32::Compute(b.data(), 14), 4);
    return b;
}

inline Bytes OpenRequest(uint32_t seq, const std::string& path, const std::string& token,
                         uint16_t mode) {
    Bytes b = Header(1, seq, 386);
    Bytes body(386, 0);
    std::copy(path.begin(), path.end(), body.begin());
    std::copy(token.begin(), token.end(), body.begin() + 256);
    body[384] = uint8_t(mode);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

inline Bytes IoRequest(uint16_t op, uint32_t seq, uint32_t handle, uint64_t offset,
                       uint32_t length) {
    Bytes b = Header(op, seq, 16);
    Put(b, handle, 4);
    Put(b, offset, 8);
    Put(b, length, 4);
    return b;
}

// Up to n bytes from a socket, fewer when the peer hangs up; how many arrived.
inline size_t RecvUpTo(int fd, uint8_t* p, size_t n) {
    size_t got = 0;
    for (ssize_t r; got < n && (r = recv(fd, p + got, n - got, 0)) > 0;) got += size_t(r);
    return got;
}

class CRawConn {
public:
    explicit CRawConn(uint16_t port) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bOk = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~CRawConn() { close(m_fd); }
    bool Ok() const { return m_bOk; }
    void Send(const Bytes& b) {
        ASSERT_EQ(ssize_t(b.size()), send(m_fd, b.data(), b.size(), MSG_NOSIGNAL));
    }
    // Exactly n bytes, or fewer when the server hangs up.
    Bytes Recv(size_t n) {
        Bytes b(n);
        b.resize(RecvUpTo(m_fd, b.data(), n));
        return b;
    }
    // The status of the next answer of n bytes; 0xFFFF when it did not arrive whole.
    uint16_t Status(size_t n) {
        Bytes r = Recv(n);
        return r.size() == n ? Get16(r, 18) : 0xFFFF;
    }
    bool ClosedByPeer() {
        uint8_t c;
        return recv(m_fd, &c, 1, 0) <= 0;  // end of stream or reset: either way, gone
    }
    uint32_t Open(uint32_t seq, const std::string& path, const std::string& token, uint16_t mode,
                  uint16_t* status = nullptr) {
        Send(OpenRequest(seq, path, token, mode));
        Bytes r = Recv(24);
        if (r.size() != 24) return 0;
        if (status) *status = Get16(r, 18);
        return Get16(r, 18) == 0 ? Get32(r, 20) : 0;
    }

private:
    int m_fd;
    bool m_bOk = false;
};

}  // namespace rawcna
