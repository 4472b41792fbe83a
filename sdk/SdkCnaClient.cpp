#include "SdkCnaClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CnaProtocol.h"
#include "SdkLog.h"

namespace nxsdk {

namespace P = CnaProtocol;

namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t Crc32(const uint8_t* p, size_t n) {
    uint32_t crc = P::kCrcPreset;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (P::kCrcPolynomial & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace

bool CSdkCnaClient::Fail(const char* what) {
    LogError("CNA %s failed: %s", what, errno ? std::strerror(errno) : "protocol error");
    Disconnect();
    return false;
}

bool CSdkCnaClient::Connect(const std::string& host, uint16_t port) {
    Disconnect();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
    if (rc != 0 || !res) {
        LogError("Cannot resolve CNA address [%s]: %s", host.c_str(), gai_strerror(rc));
        return false;
    }
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        freeaddrinfo(res);
        LogError("Cannot create a socket: %s", std::strerror(errno));
        return false;
    }
    rc = ::connect(fd, res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd pfd{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof(err);
        if (poll(&pfd, 1, kConnectTimeoutMs) == 1 &&
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
            rc = 0;
        } else {
            errno = err ? err : ETIMEDOUT;
        }
    }
    if (rc != 0) {
        LogError("Cannot connect to CNA [%s:%u]: %s", host.c_str(), port, std::strerror(errno));
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    timeval tv{kIoTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    m_fd = fd;
    LogDebug("Connected to CNA [%s:%u]", host.c_str(), port);
    return true;
}

void CSdkCnaClient::Disconnect() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

bool CSdkCnaClient::RecvAll(void* buffer, size_t length) {
    uint8_t* p = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        ssize_t n = recv(m_fd, p, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = ECONNRESET;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool CSdkCnaClient::Exchange(uint16_t opcode, const uint8_t* body, uint32_t bodyLength,
                             const void* data, uint32_t dataLength) {
    if (m_fd < 0) {
        LogError("Not connected to a CNA");
        return false;
    }
    uint8_t header[P::kHeaderSize];
    uint32_t sequence = m_nSequence++;
    Put16(header, P::kMagic);
    Put16(header + 2, 0);
    Put16(header + 4, opcode);
    Put32(header + 6, sequence);
    Put32(header + 10, bodyLength);
    Put32(header + 14, Crc32(header, P::kCrcCoveredBytes));
    iovec iov[3] = {{header, sizeof(header)},
                    {const_cast<uint8_t*>(body), bodyLength},
                    {const_cast<void*>(data), dataLength}};
    iovec* next = iov;
    int count = dataLength ? 3 : 2;
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = next;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t sent = sendmsg(m_fd, &msg, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return Fail("send");
        size_t left = static_cast<size_t>(sent);
        while (count > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<uint8_t*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
    uint8_t response[P::kHeaderSize];
    errno = 0;
    if (!RecvAll(response, sizeof(response))) return Fail("receive");
    if (Get16(response) != P::kMagic ||
        Get32(response + 14) != Crc32(response, P::kCrcCoveredBytes)) {
        errno = 0;
        return Fail("response header check");
    }
    if (Get32(response + 6) != sequence) {
        LogError("CNA answered sequence %u to request %u", Get32(response + 6), sequence);
        Disconnect();
        return false;
    }
    return true;
}

bool CSdkCnaClient::Open(const std::string& path, const std::string& token, bool writable,
                         uint32_t& handle) {
    if (path.size() > P::kPathSize || token.size() > P::kTokenSize ||
        path.find('\0') != std::string::npos || token.find('\0') != std::string::npos) {
        LogError("Disk path (%zu bytes) or token (%zu bytes) too long for the CNA", path.size(),
                 token.size());
        return false;
    }
    uint8_t body[P::kOpenBodySize] = {};
    std::memcpy(body, path.data(), path.size());
    std::memcpy(body + P::kPathSize, token.data(), token.size());
    Put16(body + P::kPathSize + P::kTokenSize, writable ? P::kModeReadWrite : P::kModeReadOnly);
    if (!Exchange(P::kOpOpen, body, sizeof(body), nullptr, 0)) return false;
    uint8_t resp[P::kOpenResponseSize];
    if (!RecvAll(resp, sizeof(resp))) return Fail("open response");
    uint16_t status = Get16(resp);
    if (status != P::kStatusOk) {
        LogError("CNA refused to open [%s]: status %u", path.c_str(), status);
        return false;
    }
    handle = Get32(resp + 2);
    LogDebug("Opened [%s] on the CNA as handle %u", path.c_str(), handle);
    return true;
}

bool CSdkCnaClient::Close(uint32_t handle) {
    uint8_t body[P::kCloseBodySize];
    Put32(body, handle);
    if (!Exchange(P::kOpClose, body, sizeof(body), nullptr, 0)) return false;
    uint8_t resp[P::kStatusResponseSize];
    if (!RecvAll(resp, sizeof(resp))) return Fail("close response");
    uint16_t status = Get16(resp);
    if (status != P::kStatusOk) LogDebug("CNA close of handle %u: status %u", handle, status);
    return status == P::kStatusOk;
}

bool CSdkCnaClient::Read(uint32_t handle, uint64_t offset, uint32_t length, void* buffer) {
    uint8_t body[P::kIoBodySize];
    Put32(body, handle);
    Put64(body + 4, offset);
    Put32(body + 12, length);
    if (!Exchange(P::kOpRead, body, sizeof(body), nullptr, 0)) return false;
    uint8_t resp[P::kReadResponseSize];
    if (!RecvAll(resp, sizeof(resp))) return Fail("read response");
    uint16_t status = Get16(resp);
    uint32_t got = Get32(resp + 2);
    if (status != P::kStatusOk) {
        LogError("CNA read of %u bytes at %llu failed: status %u", length,
                 static_cast<unsigned long long>(offset), status);
        return false;
    }
    if (got != length) {
        // Whatever data follows cannot be matched to a request any more.
        LogError("CNA read of %u bytes at %llu answered %u bytes", length,
                 static_cast<unsigned long long>(offset), got);
        Disconnect();
        return false;
    }
    if (length > 0 && !RecvAll(buffer, length)) return Fail("read data");
    return true;
}

bool CSdkCnaClient::Write(uint32_t handle, uint64_t offset, uint32_t length, const void* buffer) {
    uint8_t body[P::kIoBodySize];
    Put32(body, handle);
    Put64(body + 4, offset);
    Put32(body + 12, length);
    if (!Exchange(P::kOpWrite, body, sizeof(body), buffer, length)) return false;
    uint8_t resp[P::kStatusResponseSize];
    if (!RecvAll(resp, sizeof(resp))) return Fail("write response");
    uint16_t status = Get16(resp);
    if (status != P::kStatusOk) {
        LogError("CNA write of %u bytes at %llu failed: status %u", length,
                 static_cast<unsigned long long>(offset), status);
        return false;
    }
    return true;
}

}  // namespace nxsdk
