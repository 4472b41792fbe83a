// TCP sockets over non-blocking descriptors, so that every wait can have a time-out.
#include "WzSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace {

uint64_t MonotonicMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t DeadlineFor(uint32_t timeoutMs) {
    return timeoutMs ? MonotonicMs() + timeoutMs : 0;
}

CWzError NotConnected() {
    return CWzError(WZ_E_INVALID, "socket is not connected");
}

}  // namespace

CWzIPAddr::CWzIPAddr() {
    std::memset(&m_addr, 0, sizeof(m_addr));
}

void CWzIPAddr::SetSockAddr(const sockaddr* addr, socklen_t length) {
    std::memset(&m_addr, 0, sizeof(m_addr));
    m_nLength = std::min<socklen_t>(length, sizeof(m_addr));
    std::memcpy(&m_addr, addr, m_nLength);
}

CWzError CWzIPAddr::SetAddressString(const std::string& host) {
    uint16_t port = GetPortNumber();
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        SetSockAddr(reinterpret_cast<sockaddr*>(&v4), sizeof(v4));
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        SetSockAddr(reinterpret_cast<sockaddr*>(&v6), sizeof(v6));
    } else {
        CWzError e = GetByName(host, AF_UNSPEC);
        if (e.IsError()) return e;
    }
    SetPortNumber(port);
    return CWzError();
}

void CWzIPAddr::SetPortNumber(uint16_t port) {
    if (m_addr.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&m_addr)->sin6_port = htons(port);
    } else {
        // An address set later keeps this port; until then the slot reads as IPv4.
        reinterpret_cast<sockaddr_in*>(&m_addr)->sin_port = htons(port);
    }
}

uint16_t CWzIPAddr::GetPortNumber() const {
    if (m_addr.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&m_addr)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&m_addr)->sin_port);
}

CWzError CWzIPAddr::GetAddressString(std::string& text) const {
    char buffer[INET6_ADDRSTRLEN] = {0};
    const void* raw = nullptr;
    if (m_nLength == 0) return CWzError(WZ_E_INVALID, "address is not set");
    if (m_addr.ss_family == AF_INET) {
        raw = &reinterpret_cast<const sockaddr_in*>(&m_addr)->sin_addr;
    } else if (m_addr.ss_family == AF_INET6) {
        raw = &reinterpret_cast<const sockaddr_in6*>(&m_addr)->sin6_addr;
    } else {
        return CWzError(WZ_E_INVALID, "unknown address family");
    }
    if (!::inet_ntop(m_addr.ss_family, raw, buffer, sizeof(buffer))) {
        return CWzError::FromErrno(errno, "address to text");
    }
    text = buffer;
    return CWzError();
}

CWzError CWzIPAddr::GetByName(const std::string& host, int family) {
    if (host.empty()) return CWzError(WZ_E_INVALID, "empty host name");
    uint16_t port = GetPortNumber();
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (rc != 0 || !result) {
        if (result) ::freeaddrinfo(result);
        return CWzError(WZ_E_NOT_FOUND,
                        "cannot resolve [" + host + "]: " + ::gai_strerror(rc ? rc : EAI_NONAME));
    }
    SetSockAddr(result->ai_addr, result->ai_addrlen);
    ::freeaddrinfo(result);
    SetPortNumber(port);
    return CWzError();
}

CWzError CWzIPAddr::GetLocalHost(std::string& hostName) {
    char buffer[256] = {0};
    if (::gethostname(buffer, sizeof(buffer) - 1) != 0)
        return CWzError::FromErrno(errno, "gethostname");
    hostName = buffer;
    return CWzError();
}

CWzSocket::~CWzSocket() {
    Close();
}

void CWzSocket::Close() {
    if (m_fd < 0) return;
    ::shutdown(m_fd, SHUT_RDWR);
    ::close(m_fd);
    m_fd = -1;
}

void CWzSocket::SetTimeouts(uint32_t sendTimeoutMs, uint32_t recvTimeoutMs) {
    m_nSendTimeoutMs = sendTimeoutMs;
    m_nRecvTimeoutMs = recvTimeoutMs;
}

CWzError CWzSocket::WaitFor(short events, uint32_t timeoutMs, uint64_t deadlineMs) {
    for (;;) {
        int waitMs = -1;
        if (timeoutMs) {
            uint64_t now = MonotonicMs();
            if (now >= deadlineMs)
                return CWzError(WZ_E_TIMEOUT,
                                "timed out after " + std::to_string(timeoutMs) + " ms");
            waitMs = static_cast<int>(std::min<uint64_t>(deadlineMs - now, 0x7fffffff));
        }
        pollfd fd{m_fd, events, 0};
        int rc = ::poll(&fd, 1, waitMs);
        if (rc > 0) return CWzError();
        if (rc < 0 && errno != EINTR) return CWzError::FromErrno(errno, "poll");
    }
}

CWzError CWzSocket::Connect(const std::string& host, uint16_t port, uint32_t timeoutMs) {
    CWzIPAddr address;
    CWzError e = address.SetAddressString(host);
    if (e.IsError()) return e;
    address.SetPortNumber(port);
    return Connect(address, timeoutMs);
}

CWzError CWzSocket::Connect(const CWzIPAddr& address, uint32_t timeoutMs) {
    Close();
    if (!address.IsSet()) return CWzError(WZ_E_INVALID, "address is not set");
    int fd = ::socket(address.SockAddr()->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return CWzError::FromErrno(errno, "socket");
    m_fd = fd;
    if (::connect(fd, address.SockAddr(), address.SockAddrLength()) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            CWzError e = CWzError::FromErrno(errno, "connect");
            Close();
            return e;
        }
        CWzError e = WaitFor(POLLOUT, timeoutMs, DeadlineFor(timeoutMs));
        int soError = 0;
        socklen_t len = sizeof(soError);
        if (e.Success() && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
            soError = errno;
        if (e.Success() && soError != 0) e = CWzError::FromErrno(soError, "connect");
        if (e.IsError()) {
            Close();
            return e;
        }
    }
    return CWzError();
}

CWzError CWzSocket::Listen(const CWzIPAddr& address, int backlog) {
    Close();
    if (!address.IsSet()) return CWzError(WZ_E_INVALID, "address is not set");
    int fd = ::socket(address.SockAddr()->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return CWzError::FromErrno(errno, "socket");
    m_fd = fd;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (::bind(fd, address.SockAddr(), address.SockAddrLength()) != 0 ||
        ::listen(fd, backlog) != 0) {
        CWzError e = CWzError::FromErrno(errno, "listen");
        Close();
        return e;
    }
    return CWzError();
}

CWzError CWzSocket::Accept(CWzSocket& client, uint32_t timeoutMs) {
    if (m_fd < 0) return NotConnected();
    uint64_t deadline = DeadlineFor(timeoutMs);
    for (;;) {
        CWzError e = WaitFor(POLLIN, timeoutMs, deadline);
        if (e.IsError()) return e;
        int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            client.Close();
            client.m_fd = fd;
            return CWzError();
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            return CWzError::FromErrno(errno, "accept");
        }
    }
}

CWzError CWzSocket::Adopt(int fd) {
    Close();
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        CWzError e = CWzError::FromErrno(errno, "adopt");
        ::close(fd);
        return e;
    }
    m_fd = fd;
    return CWzError();
}

uint16_t CWzSocket::GetLocalPort() const {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    CWzIPAddr ip;
    ip.SetSockAddr(reinterpret_cast<sockaddr*>(&addr), len);
    return ip.GetPortNumber();
}

CWzError CWzSocket::SetNoDelay(bool noDelay) {
    if (m_fd < 0) return NotConnected();
    int value = noDelay ? 1 : 0;
    if (::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value)) != 0) {
        return CWzError::FromErrno(errno, "TCP_NODELAY");
    }
    return CWzError();
}

CWzError CWzSocket::Send(const void* buffer, size_t count) {
    iovec one{const_cast<void*>(buffer), count};
    return SendGather(&one, 1);
}

CWzError CWzSocket::SendGather(const struct iovec* buffers, int count) {
    if (m_fd < 0) return NotConnected();
    if (count < 0 || (count > 0 && !buffers)) return CWzError(WZ_E_INVALID, "bad buffer list");
    std::vector<iovec> left(buffers, buffers + count);
    size_t first = 0;
    uint64_t deadline = DeadlineFor(m_nSendTimeoutMs);
    for (;;) {
        while (first < left.size() && left[first].iov_len == 0) ++first;
        if (first == left.size()) return CWzError();
        msghdr msg{};
        msg.msg_iov = &left[first];
        msg.msg_iovlen = std::min<size_t>(left.size() - first, IOV_MAX);
        ssize_t n = ::sendmsg(m_fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return CWzError::FromErrno(errno, "send");
            CWzError e = WaitFor(POLLOUT, m_nSendTimeoutMs, deadline);
            if (e.IsError()) return e;
            continue;
        }
        size_t sent = static_cast<size_t>(n);
        while (sent > 0) {
            size_t step = std::min(sent, left[first].iov_len);
            left[first].iov_base = static_cast<char*>(left[first].iov_base) + step;
            left[first].iov_len -= step;
            sent -= step;
            if (left[first].iov_len == 0) ++first;
        }
    }
}

CWzError CWzSocket::RecvSome(void* buffer, size_t count, size_t& received, uint32_t timeoutMs) {
    received = 0;
    if (m_fd < 0) return NotConnected();
    if (count == 0) return CWzError();
    if (timeoutMs == UINT32_MAX) timeoutMs = m_nRecvTimeoutMs;
    uint64_t deadline = DeadlineFor(timeoutMs);
    for (;;) {
        ssize_t n = ::recv(m_fd, buffer, count, 0);
        if (n > 0) {
            received = static_cast<size_t>(n);
            return CWzError();
        }
        if (n == 0) return CWzError(WZ_E_CLOSED, "connection closed by the peer");
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return CWzError::FromErrno(errno, "recv");
        CWzError e = WaitFor(POLLIN, timeoutMs, deadline);
        if (e.IsError()) return e;
    }
}

CWzError CWzSocket::Recv(void* buffer, size_t count, uint32_t timeoutMs) {
    if (m_fd < 0) return NotConnected();
    if (timeoutMs == UINT32_MAX) timeoutMs = m_nRecvTimeoutMs;
    uint64_t deadline = DeadlineFor(timeoutMs);
    char* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::recv(m_fd, p + done, count - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            return CWzError(WZ_E_CLOSED, "connection closed by the peer after " +
                                             std::to_string(done) + " of " + std::to_string(count) +
                                             " bytes");
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return CWzError::FromErrno(errno, "recv");
        CWzError e = WaitFor(POLLIN, timeoutMs, deadline);
        if (e.IsError()) return e;
    }
    return CWzError();
}
