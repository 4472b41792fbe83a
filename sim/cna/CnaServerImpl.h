// Inside of CCnaServer: the listener, the connection threads, the fault rules.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CnaServer.h"
#include "CnaWire.h"

namespace fcsim {

class CSimState;
struct SLease;

class CCnaServer::CImpl {
public:
    explicit CImpl(CSimState& state);
    ~CImpl();

    bool Start(const std::string& bind, uint16_t port);
    void Stop();

    // What a matching fault rule asks for one request.
    struct SFault {
        bool bFires = false;
        SCnaFaultRule rule;
    };
    SFault TakeFault(ECnaOp op, const cnawire::SIoRequest* io);
    // Waits ms milliseconds (0: for ever) or until the peer closes fd or the server stops.
    // False when the wait ended because of either of those.
    bool Stall(int fd, uint32_t ms);
    // The lease whose token this is, when it exists and has not run out.
    bool FindLeaseByToken(const std::string& token, SLease& out) const;
    // tKnownEnd is the lease's end as last read for this handle (0: not read yet). The lease
    // is read again only once that end has passed: an extension only moves the end later,
    // and a released lease's file is gone, which a cheaper check sees.
    bool LeaseStillValid(const std::string& accessID, int64_t& tKnownEnd) const;
    uint32_t NextHandle() { return m_nNextHandle.fetch_add(1); }

    CSimState& m_state;
    uint16_t m_nPort = 0;
    std::atomic<uint64_t> m_ullConnections{0};
    std::atomic<uint64_t> m_ullRequests{0};
    std::atomic<uint64_t> m_ullOpenHandles{0};

    std::mutex m_faultLock;
    std::vector<SCnaFaultRule> m_vecRules;

private:
    struct SConn {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> bDone{false};
    };
    void AcceptLoop();
    void ReapFinished();  // joins threads of connections that ended; m_lock held

    int m_nListenFd = -1;
    int m_nStopFd = -1;  // eventfd, readable once Stop began
    std::atomic<bool> m_bStopping{false};
    std::thread m_acceptThread;
    std::mutex m_lock;  // guards m_lstConns and each connection's fd
    std::list<std::unique_ptr<SConn>> m_lstConns;
    std::atomic<uint32_t> m_nNextHandle{1};
};

// Serves one connection until the peer leaves, a fault drops it, or the server stops.
void ServeCnaConnection(CCnaServer::CImpl& server, int fd);

}  // namespace fcsim
