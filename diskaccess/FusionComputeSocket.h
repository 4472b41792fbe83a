// Client of the CNA disk-file socket protocol: one TCP connection to the compute node agent
// that holds a disk file, one request at a time. Wire constants: CnaProtocol.h.
//
// The socket has TCP_NODELAY set: a request other than a write leaves as a header write
// followed by a body write, and with Nagle's algorithm on the second small write would wait
// for the peer's delayed acknowledgement (tens of milliseconds per request). A write leaves
// in one gathered send, the caller's data included without a copy.
#pragma once

#include <cstdint>
#include <string>

#include "CnaProtocol.h"
#include "EvDebug.h"
#include "WzSocket.h"

// The messages as they travel, packed, little-endian (the host's order; nothing is converted).
#pragma pack(push, 1)
struct FusionComputeSocketMessage_Header {
    uint16_t nMagic;
    uint16_t nReserved;
    uint16_t nOpcode;
    uint32_t nSequence;
    uint32_t nBodyLength;
    uint32_t nCrc;  // CRC-32 of the 14 bytes before it
};
struct FusionComputeSocketMessage_OpenDiskRequest {
    char szPath[CnaProtocol::kPathSize];
    char szToken[CnaProtocol::kTokenSize];
    uint16_t nAccessMode;  // 0 read-only, 1 read-write
};
struct FusionComputeSocketMessage_CloseDiskRequest {
    uint32_t nHandle;
};
struct FusionComputeSocketMessage_IORequest {
    uint32_t nHandle;
    uint64_t ullOffset;
    uint32_t nLength;
};
struct FusionComputeSocketMessage_OpenDiskResponse {
    uint16_t nStatus;
    uint32_t nHandle;
};
struct FusionComputeSocketMessage_StatusResponse {
    uint16_t nStatus;
};
struct FusionComputeSocketMessage_ReadResponse {
    uint16_t nStatus;
    uint32_t nLength;
};
#pragma pack(pop)

static_assert(sizeof(FusionComputeSocketMessage_Header) == CnaProtocol::kHeaderSize,
              "the header struct is the wire header");
static_assert(sizeof(FusionComputeSocketMessage_OpenDiskRequest) == CnaProtocol::kOpenBodySize,
              "the open struct is the wire open body");
static_assert(sizeof(FusionComputeSocketMessage_CloseDiskRequest) == CnaProtocol::kCloseBodySize,
              "the close struct is the wire close body");
static_assert(sizeof(FusionComputeSocketMessage_IORequest) == CnaProtocol::kIoBodySize,
              "the I/O struct is the wire I/O body");
static_assert(sizeof(FusionComputeSocketMessage_OpenDiskResponse) == CnaProtocol::kOpenResponseSize,
              "the open answer struct is the wire open answer");
static_assert(sizeof(FusionComputeSocketMessage_StatusResponse) == CnaProtocol::kStatusResponseSize,
              "the status answer struct is the wire status answer");
static_assert(sizeof(FusionComputeSocketMessage_ReadResponse) == CnaProtocol::kReadResponseSize,
              "the read answer struct is the wire read answer");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire is the host's byte order");

class CFusionComputeSocket {
public:
    // Time-outs in milliseconds, generous because a busy CNA can take long over a large read.
    static constexpr uint32_t kDefaultConnectTimeoutMs = 30000;
    static constexpr uint32_t kDefaultSendTimeoutMs = 120000;
    static constexpr uint32_t kDefaultRecvTimeoutMs = 300000;

    CFusionComputeSocket();
    CFusionComputeSocket(const CFusionComputeSocket&) = delete;
    CFusionComputeSocket& operator=(const CFusionComputeSocket&) = delete;

    bool Connect(const std::string& host, uint16_t port);
    // Speaks the protocol over an already connected stream socket instead of connecting (a
    // local peer, a socketpair); the descriptor belongs to this object from now on.
    bool Attach(int fd);
    bool Disconnect();
    bool OpenRemoteDiskFile(const std::string& path, const std::string& token, bool readOnly,
                            uint32_t& handle);
    bool CloseRemoteDiskFile(uint32_t handle);
    bool ReadFromRemoteDiskFile(uint32_t handle, uint64_t offset, uint32_t length, void* buffer);
    bool WriteToRemoteDiskFile(uint32_t handle, uint64_t offset, uint32_t length,
                               const void* buffer);
    // The buffer is not sent; it is accepted for symmetry with the write.
    bool WriteZeroToRemoteDiskFile(uint32_t handle, uint64_t offset, uint32_t length,
                                   const void* buffer);

    // Applies to the next Connect and, for send and receive, to the current connection.
    void SetTimeouts(uint32_t connectMs, uint32_t sendMs, uint32_t recvMs);
    uint32_t GetSequence() const { return nSequence; }
    int NativeHandle() const { return socket.Fd(); }  // for diagnostics and tests

private:
    // The header of the next request; its number is taken once the request has left.
    FusionComputeSocketMessage_Header NextHeader(uint16_t opcode, uint32_t bodyLength) const;
    bool SendHeader(uint16_t opcode, uint32_t bodyLength, uint32_t& sequence);
    bool RecvHeader(uint32_t expectedSequence);
    // Sends the fixed body of an I/O request after its header; false after logging.
    bool SendIORequest(uint16_t opcode, uint32_t handle, uint64_t offset, uint32_t length,
                       uint32_t& sequence);

    EvDebug log;
    CWzSocket socket;
    uint32_t nSequence;
    uint32_t nConnectTimeoutMs = kDefaultConnectTimeoutMs;
    uint32_t nSendTimeoutMs = kDefaultSendTimeoutMs;
    uint32_t nRecvTimeoutMs = kDefaultRecvTimeoutMs;
};
