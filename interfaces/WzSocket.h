// TCP sockets and addresses of the agent's utility library. Every call returns a CWzError.
// No call raises SIGPIPE. Reads no environment variable.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "NxExport.h"
#include "WzError.h"

// An IPv4 or IPv6 address with a port.
class NX_EXPORT CWzIPAddr {
public:
    CWzIPAddr();

    // Sets the address from a numeric address ("127.0.0.1", "::1") or, failing that, from a
    // host name (first result of the resolver). The port is kept.
    CWzError SetAddressString(const std::string& host);
    void SetPortNumber(uint16_t port);
    uint16_t GetPortNumber() const;
    // The numeric address text (no port).
    CWzError GetAddressString(std::string& text) const;

    // Resolves host with the given address family (2 = AF_INET, 10 = AF_INET6, 0 = any) and
    // keeps the first address. The port is kept.
    CWzError GetByName(const std::string& host, int family);
    // This machine's host name (gethostname).
    static CWzError GetLocalHost(std::string& hostName);

    bool IsSet() const { return m_nLength != 0; }
    const sockaddr* SockAddr() const { return reinterpret_cast<const sockaddr*>(&m_addr); }
    socklen_t SockAddrLength() const { return m_nLength; }
    void SetSockAddr(const sockaddr* addr, socklen_t length);

private:
    sockaddr_storage m_addr;
    socklen_t m_nLength = 0;
};

// One TCP connection (or a listening socket). Owns its descriptor; the destructor closes it.
// Time-outs are in milliseconds, 0 meaning no limit, and count real time (they bound a wait
// for the peer; nothing here sleeps).
class NX_EXPORT CWzSocket {
public:
    CWzSocket() = default;
    ~CWzSocket();
    CWzSocket(const CWzSocket&) = delete;
    CWzSocket& operator=(const CWzSocket&) = delete;

    CWzError Connect(const CWzIPAddr& address, uint32_t timeoutMs = 30000);
    CWzError Connect(const std::string& host, uint16_t port, uint32_t timeoutMs = 30000);

    // Server side: binds to address (port 0 picks a free port; see GetLocalPort) and listens.
    CWzError Listen(const CWzIPAddr& address, int backlog = 16);
    // Waits for one connection and hands it to client. WZ_E_TIMEOUT when none arrives in time.
    CWzError Accept(CWzSocket& client, uint32_t timeoutMs = 0);
    uint16_t GetLocalPort() const;

    // Default time-outs of Send/SendGather and Recv (both 0 after construction).
    void SetTimeouts(uint32_t sendTimeoutMs, uint32_t recvTimeoutMs);
    CWzError SetNoDelay(bool noDelay);

    // Sends all count bytes. A partial transfer is an error (WZ_E_CLOSED or WZ_E_SYSTEM).
    CWzError Send(const void* buffer, size_t count);
    // Sends the buffers in order as one gathered write (writev semantics), all bytes of all.
    CWzError SendGather(const struct iovec* buffers, int count);
    // Receives exactly count bytes. WZ_E_CLOSED when the peer closes first, WZ_E_TIMEOUT when
    // the time-out passes with bytes still missing. timeoutMs = UINT32_MAX: the default.
    CWzError Recv(void* buffer, size_t count, uint32_t timeoutMs = UINT32_MAX);
    // Receives whatever is available (at least one byte, at most count); received gives the
    // number. WZ_E_CLOSED at end of stream.
    CWzError RecvSome(void* buffer, size_t count, size_t& received,
                      uint32_t timeoutMs = UINT32_MAX);

    // Takes over a connected stream descriptor (one end of a socketpair, say) in place of
    // Connect, closing any earlier one; the descriptor is switched to non-blocking and is
    // closed by this object from now on. WZ_E_SYSTEM (and fd closed) when it cannot be used.
    CWzError Adopt(int fd);

    // Shuts the connection down and closes the descriptor; harmless when not open.
    void Close();
    bool IsConnected() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

private:
    CWzError WaitFor(short events, uint32_t timeoutMs, uint64_t deadlineMs);

    int m_fd = -1;
    uint32_t m_nSendTimeoutMs = 0;
    uint32_t m_nRecvTimeoutMs = 0;
};
