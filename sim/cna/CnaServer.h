// The simulator's compute node agent (CNA) disk-file server: the server side of the CNA
// socket protocol (diskaccess/CnaProtocol.h), serving the simulator's disk files.
//
// What it checks, as a real peer would: the header's magic and CRC (a bad one drops the
// connection, since framing can no longer be trusted), an open's token against the disk-access
// leases of the shared state (the lease must exist, must not have run out by CSimState::Now(),
// and must name the requested file), read-only versus read-write (a read-write open needs a
// writable lease; writes through a read-only handle fail), and every I/O range against the
// disk's size. The lease is checked again on every request, so a released or expired lease
// stops the connection's I/O with "bad token". Writes are journalled for change tracking.
//
// Each connection has its own thread; handles are numbered server-wide from 1, so a handle
// opened on one connection is unknown on another.
//
// Faults are injected by rules (AddFault): a rule matches an operation (and a byte range), and
// the shared window (FaultWindow.h) says which of the matching requests it fires on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FaultWindow.h"

namespace fcsim {

class CSimState;

enum class ECnaOp { Any, Open, Close, Read, Write, WriteZero };

enum class ECnaFaultAction {
    DropConnection,  // close the connection instead of answering
    Stall,           // wait nStallMs (0: until the connection or the server goes away), then answer
    WrongSequence,   // answer with the request's sequence number plus one
    ShortLength,     // a read answers status 0 with half the requested length and that much data;
                     // other operations send half of their response, then drop the connection
    ErrorStatus,     // answer with nStatus (a read then carries length 0 and no data)
};

struct SCnaFaultRule {
    ECnaOp eOp = ECnaOp::Any;
    SFaultWindow window;  // which matching requests it fires on, and its counts so far
    // Optional byte range for read, write and write-zeroes requests: the rule matches only
    // requests that overlap [ullFrom, ullTo). ullTo == 0 means no range test.
    uint64_t ullFrom = 0;
    uint64_t ullTo = 0;
    ECnaFaultAction eAction = ECnaFaultAction::ErrorStatus;
    uint16_t nStatus = 8;
    uint32_t nStallMs = 0;
};

struct SCnaServerStats {
    uint64_t ullConnections = 0;  // accepted so far
    uint64_t ullRequests = 0;     // decoded requests
    uint64_t ullOpenHandles = 0;  // currently open
};

class CCnaServer {
public:
    explicit CCnaServer(CSimState& state);
    ~CCnaServer();  // stops the server
    CCnaServer(const CCnaServer&) = delete;
    CCnaServer& operator=(const CCnaServer&) = delete;

    // Listens on bind:port (port 0 picks an ephemeral one). False when already started or
    // the address cannot be bound.
    bool Start(const std::string& bind, uint16_t port);
    uint16_t Port() const;
    // Closes the listener and every connection, and joins their threads. Idempotent.
    void Stop();

    void AddFault(const SCnaFaultRule& rule);
    void ClearFaults();
    std::vector<SCnaFaultRule> ListFaults() const;
    SCnaServerStats Stats() const;

    // Largest data length accepted in one read or write request; a larger write cannot be
    // buffered and drops the connection, a larger read is answered with "read failure".
    static constexpr uint32_t kMaxIoLength = 64u << 20;

    class CImpl;

private:
    std::unique_ptr<CImpl> m_pImpl;
};

const char* CnaOpName(ECnaOp op);

// Fault rules as text (KeyValues.h), for control interfaces and command lines, every key
// optional: op=any|open|close|read|write|writezero nth=N times=N from=BYTE to=BYTE
// action=drop|stall|wrongseq|short|error status=N stall_ms=N. Unknown keys, bad numbers and
// bad names are refused with a reason.
bool ParseCnaFaultRule(const std::string& text, SCnaFaultRule& out, std::string& error);
std::string FormatCnaFaultRule(const SCnaFaultRule& rule);

// Makes the datastore's LUNs look attached to this machine for our backup SDK's SAN
// transport: creates "<deviceDir>/<lun>" for each LUN identifier (an empty file; the SDK only
// tests that the name exists). The SDK then opens the disk file the management service handed
// out only when it lies inside deviceDir, the storage presented to this machine, so the
// simulator's state folder must lie inside deviceDir too (SSimOptions::strStateDir). LUN
// identifiers that are not plain file names are refused.
bool ExposeSanLuns(const std::string& deviceDir, const std::vector<std::string>& luns,
                   std::string& error);

}  // namespace fcsim
