#include "CnaServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CnaServerImpl.h"
#include "SimState.h"

namespace fcsim {

CCnaServer::CImpl::CImpl(CSimState& state) : m_state(state) {}

CCnaServer::CImpl::~CImpl() {
    Stop();
}

bool CCnaServer::CImpl::Start(const std::string& bind, uint16_t port) {
    if (m_nListenFd >= 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, bind.c_str(), &addr.sin_addr) != 1) return false;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    socklen_t len = sizeof(addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return false;
    }
    m_nStopFd = eventfd(0, EFD_CLOEXEC);
    if (m_nStopFd < 0) {
        close(fd);
        return false;
    }
    m_nListenFd = fd;
    m_nPort = ntohs(addr.sin_port);
    m_bStopping = false;
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void CCnaServer::CImpl::Stop() {
    if (m_nListenFd < 0) return;
    m_bStopping = true;
    uint64_t one = 1;
    (void)!write(m_nStopFd, &one, sizeof(one));
    if (m_acceptThread.joinable()) m_acceptThread.join();
    std::list<std::unique_ptr<SConn>> conns;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        // Unblocks the connection threads' receives; each thread closes its own socket.
        for (auto& c : m_lstConns)
            if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
        conns.swap(m_lstConns);
    }
    for (auto& c : conns)
        if (c->thread.joinable()) c->thread.join();
    close(m_nListenFd);
    close(m_nStopFd);
    m_nListenFd = -1;
    m_nStopFd = -1;
}

void CCnaServer::CImpl::ReapFinished() {
    for (auto it = m_lstConns.begin(); it != m_lstConns.end();) {
        if ((*it)->bDone) {
            if ((*it)->thread.joinable()) (*it)->thread.join();
            it = m_lstConns.erase(it);
        } else {
            ++it;
        }
    }
}

void CCnaServer::CImpl::AcceptLoop() {
    while (!m_bStopping) {
        pollfd fds[2] = {{m_nListenFd, POLLIN, 0}, {m_nStopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) break;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++m_ullConnections;
        std::lock_guard<std::mutex> guard(m_lock);
        ReapFinished();
        auto conn = std::make_unique<SConn>();
        SConn* p = conn.get();
        p->fd = fd;
        m_lstConns.push_back(std::move(conn));
        p->thread = std::thread([this, p] {
            ServeCnaConnection(*this, p->fd);
            std::lock_guard<std::mutex> g(m_lock);
            close(p->fd);
            p->fd = -1;
            p->bDone = true;
        });
    }
}

static bool Overlaps(const SCnaFaultRule& r, const cnawire::SIoRequest* io) {
    if (r.ullTo == 0) return true;
    if (!io) return false;
    uint64_t end = io->ullOffset + io->nLength;
    return io->ullOffset < r.ullTo && end > r.ullFrom;
}

CCnaServer::CImpl::SFault CCnaServer::CImpl::TakeFault(ECnaOp op, const cnawire::SIoRequest* io) {
    SFault out;
    std::lock_guard<std::mutex> guard(m_faultLock);
    const SCnaFaultRule* fired = FireFirst(m_vecRules, [&](const SCnaFaultRule& r) {
        return (r.eOp == ECnaOp::Any || r.eOp == op) && Overlaps(r, io);
    });
    if (fired != nullptr) {
        out.bFires = true;
        out.rule = *fired;
    }
    return out;
}

bool CCnaServer::CImpl::Stall(int fd, uint32_t ms) {
    pollfd fds[2] = {{fd, POLLRDHUP, 0}, {m_nStopFd, POLLIN, 0}};
    int rc = poll(fds, 2, ms == 0 ? -1 : static_cast<int>(ms));
    return rc == 0;
}

bool CCnaServer::CImpl::FindLeaseByToken(const std::string& token, SLease& out) const {
    if (token.empty()) return false;
    for (const SLease& lease : m_state.ListLeases()) {
        if (lease.strToken != token) continue;
        if (lease.tExpires <= CSimState::Now()) return false;
        out = lease;
        return true;
    }
    return false;
}

bool CCnaServer::CImpl::LeaseStillValid(const std::string& accessID, int64_t& tKnownEnd) const {
    const int64_t now = CSimState::Now();
    if (tKnownEnd > now) return m_state.HasLease(accessID);
    SLease lease;
    if (!m_state.GetLease(accessID, lease)) return false;
    tKnownEnd = lease.tExpires;
    return lease.tExpires > now;
}

CCnaServer::CCnaServer(CSimState& state) : m_pImpl(std::make_unique<CImpl>(state)) {}
CCnaServer::~CCnaServer() {
    Stop();
}
bool CCnaServer::Start(const std::string& bind, uint16_t port) {
    return m_pImpl->Start(bind, port);
}
uint16_t CCnaServer::Port() const {
    return m_pImpl->m_nPort;
}
void CCnaServer::Stop() {
    m_pImpl->Stop();
}

void CCnaServer::AddFault(const SCnaFaultRule& rule) {
    SCnaFaultRule fresh = rule;
    fresh.window.Restart();
    std::lock_guard<std::mutex> guard(m_pImpl->m_faultLock);
    m_pImpl->m_vecRules.push_back(fresh);
}

void CCnaServer::ClearFaults() {
    std::lock_guard<std::mutex> guard(m_pImpl->m_faultLock);
    m_pImpl->m_vecRules.clear();
}

std::vector<SCnaFaultRule> CCnaServer::ListFaults() const {
    std::lock_guard<std::mutex> guard(m_pImpl->m_faultLock);
    return m_pImpl->m_vecRules;
}

SCnaServerStats CCnaServer::Stats() const {
    SCnaServerStats s;
    s.ullConnections = m_pImpl->m_ullConnections;
    s.ullRequests = m_pImpl->m_ullRequests;
    s.ullOpenHandles = m_pImpl->m_ullOpenHandles;
    return s;
}

}  // namespace fcsim
