// What a request of this shape costs at the least on this machine: one synchronous client and
// one server thread on loopback, no protocol beyond offset, length and a status.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "Bench.h"

namespace fcbench {

namespace {

struct SHeader {
    uint64_t ullOffset;
    uint32_t nLength;
    uint32_t nOp;  // 0 read, 1 write, 2 end
};

bool Full(int fd, void* p, size_t n, bool bSend) {
    char* c = static_cast<char*>(p);
    while (n) {
        const ssize_t k = bSend ? ::send(fd, c, n, MSG_NOSIGNAL) : ::recv(fd, c, n, MSG_WAITALL);
        if (k <= 0) return false;
        c += k;
        n -= size_t(k);
    }
    return true;
}

void NoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

void Serve(int listener, int file) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    NoDelay(fd);
    std::vector<char> buf(64u << 20);
    SHeader h;
    while (Full(fd, &h, sizeof(h), false) && h.nOp != 2 && h.nLength <= buf.size()) {
        if (h.nOp == 0) {
            const ssize_t n = ::pread(file, buf.data(), h.nLength, off_t(h.ullOffset));
            h.nOp = n == ssize_t(h.nLength) ? 0 : 1;
            iovec v[2] = {{&h, sizeof(h)}, {buf.data(), h.nLength}};
            msghdr m{};
            m.msg_iov = v;
            m.msg_iovlen = 2;
            // One gathered send; a short one is finished by plain sends.
            const ssize_t k = ::sendmsg(fd, &m, MSG_NOSIGNAL);
            if (k <= 0) break;
            size_t sent = size_t(k);
            if (sent < sizeof(h) &&
                !Full(fd, reinterpret_cast<char*>(&h) + sent, sizeof(h) - sent, true))
                break;
            sent = sent < sizeof(h) ? 0 : sent - sizeof(h);
            if (sent < h.nLength && !Full(fd, buf.data() + sent, h.nLength - sent, true)) break;
        } else {
            if (!Full(fd, buf.data(), h.nLength, false)) break;
            const ssize_t n = ::pwrite(file, buf.data(), h.nLength, off_t(h.ullOffset));
            h.nOp = n == ssize_t(h.nLength) ? 0 : 1;
            h.nLength = 0;
            if (!Full(fd, &h, sizeof(h), true)) break;
        }
    }
    ::close(fd);
}

double Rate(const std::string& strFile, uint64_t ullBytes, uint32_t nRequest) {
    CCeiling ceiling(strFile, false);
    const double secs = ceiling.Transfer(0, ullBytes, nRequest);
    return secs > 0 ? double(ullBytes) / secs : 0;
}

}  // namespace

CCeiling::CCeiling(const std::string& strFile, bool bWrite) : m_bWrite(bWrite) {
    m_nFile = ::open(strFile.c_str(), bWrite ? O_RDWR : O_RDONLY);
    m_nListener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (m_nFile < 0 || m_nListener < 0 ||
        ::bind(m_nListener, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(m_nListener, 1) != 0 ||
        ::getsockname(m_nListener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return;
    m_server = std::thread(Serve, m_nListener, m_nFile);
    m_nFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(m_nFd, reinterpret_cast<sockaddr*>(&a), len) == 0) {
        NoDelay(m_nFd);
        m_bConnected = true;
    }
}

CCeiling::~CCeiling() {
    SHeader end{0, 0, 2};
    if (m_bConnected) Full(m_nFd, &end, sizeof(end), true);
    if (m_nFd >= 0) ::close(m_nFd);
    // A server still waiting for its client (the connect failed) is woken by the shutdown.
    if (m_nListener >= 0) ::shutdown(m_nListener, SHUT_RDWR);
    if (m_server.joinable()) m_server.join();
    if (m_nListener >= 0) ::close(m_nListener);
    if (m_nFile >= 0) ::close(m_nFile);
}

double CCeiling::Transfer(uint64_t ullFrom, uint64_t ullTo, uint32_t nRequest) {
    if (!m_bConnected) return 0;
    if (m_buffer.size() != nRequest) m_buffer.assign(nRequest, 'w');
    const auto t0 = std::chrono::steady_clock::now();
    bool ok = true;
    for (uint64_t off = ullFrom; ok && off < ullTo; off += nRequest) {
        SHeader h{off, uint32_t(std::min<uint64_t>(nRequest, ullTo - off)), m_bWrite ? 1u : 0u};
        const uint32_t n = h.nLength;
        if (m_bWrite) {
            iovec v[2] = {{&h, sizeof(h)}, {m_buffer.data(), n}};
            ok = ::writev(m_nFd, v, 2) == ssize_t(sizeof(h) + n) &&
                 Full(m_nFd, &h, sizeof(h), false);
        } else {
            ok = Full(m_nFd, &h, sizeof(h), true) && Full(m_nFd, &h, sizeof(h), false) &&
                 Full(m_nFd, m_buffer.data(), n, false);
        }
        ok = ok && h.nOp == 0;
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m_bConnected = ok;
    return ok && secs > 0 ? secs : 0;
}

double CeilingRead(const std::string& strFile, uint64_t ullBytes, uint32_t nRequest) {
    return Rate(strFile, ullBytes, nRequest);
}

double PlainRead(const std::string& strFile, uint64_t ullBytes, uint32_t nRequest) {
    const int file = ::open(strFile.c_str(), O_RDONLY);
    if (file < 0) return 0;
    std::vector<char> buf(nRequest);
    const auto t0 = std::chrono::steady_clock::now();
    uint64_t done = 0;
    for (uint64_t off = 0; off < ullBytes; off += nRequest) {
        const ssize_t n =
            ::pread(file, buf.data(), std::min<uint64_t>(nRequest, ullBytes - off), off_t(off));
        if (n <= 0) break;
        done += uint64_t(n);
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::close(file);
    return secs > 0 ? double(done) / secs : 0;
}

}  // namespace fcbench
