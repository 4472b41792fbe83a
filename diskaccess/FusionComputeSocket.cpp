#include "FusionComputeSocket.h"

#include <sys/uio.h>

#include <cstring>

#include "CnaProtocol.h"
#include "WzUtil.h"

#define FCS_TAG __PRETTY_FUNCTION__

CFusionComputeSocket::CFusionComputeSocket() : nSequence(0) {}

void CFusionComputeSocket::SetTimeouts(uint32_t connectMs, uint32_t sendMs, uint32_t recvMs) {
    nConnectTimeoutMs = connectMs;
    nSendTimeoutMs = sendMs;
    nRecvTimeoutMs = recvMs;
    socket.SetTimeouts(nSendTimeoutMs, nRecvTimeoutMs);
}

bool CFusionComputeSocket::Connect(const std::string& host, uint16_t port) {
    socket.Close();
    CWzIPAddr address;
    // A bad address shows as a failed connect below.
    address.SetAddressString(host);
    address.SetPortNumber(port);
    CWzError err = socket.Connect(address, nConnectTimeoutMs);
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to connect to %s:%d - %s", host.c_str(), port, err.AsString());
        return false;
    }
    socket.SetTimeouts(nSendTimeoutMs, nRecvTimeoutMs);
    err = socket.SetNoDelay(true);
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to connect to %s:%d - %s", host.c_str(), port, err.AsString());
        socket.Close();
        return false;
    }
    return true;
}

bool CFusionComputeSocket::Attach(int fd) {
    CWzError err = socket.Adopt(fd);
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to take over socket %d - %s", fd, err.AsString());
        return false;
    }
    socket.SetTimeouts(nSendTimeoutMs, nRecvTimeoutMs);
    return true;
}

bool CFusionComputeSocket::Disconnect() {
    socket.Close();
    return true;
}

FusionComputeSocketMessage_Header CFusionComputeSocket::NextHeader(uint16_t opcode,
                                                                   uint32_t bodyLength) const {
    FusionComputeSocketMessage_Header header;
    header.nMagic = CnaProtocol::kMagic;
    header.nReserved = 0;
    header.nOpcode = opcode;
    header.nSequence = nSequence;
    header.nBodyLength = bodyLength;
    header.nCrc = CWzCRC32::Compute(&header, CnaProtocol::kCrcCoveredBytes);
    return header;
}

bool CFusionComputeSocket::SendHeader(uint16_t opcode, uint32_t bodyLength, uint32_t& sequence) {
    FusionComputeSocketMessage_Header header = NextHeader(opcode, bodyLength);
    CWzError err = socket.Send(&header, sizeof(header));
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to send header - %s", err.AsString());
        return false;
    }
    sequence = nSequence++;
    return true;
}

bool CFusionComputeSocket::RecvHeader(uint32_t expectedSequence) {
    FusionComputeSocketMessage_Header header;
    CWzError err = socket.Recv(&header, sizeof(header));
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to recv response header - %s", err.AsString());
        return false;
    }
    // Only the sequence is examined: it ties the answer to the request just sent.
    if (header.nSequence != expectedSequence) {
        log.Error(FCS_TAG, "Sequence number mismatch - expected [%d] received [%d]",
                  static_cast<int>(expectedSequence), static_cast<int>(header.nSequence));
        return false;
    }
    return true;
}

bool CFusionComputeSocket::OpenRemoteDiskFile(const std::string& path, const std::string& token,
                                              bool readOnly, uint32_t& handle) {
    handle = 0;
    // A cut path would name another file and a cut token would be refused for an unclear
    // reason, so neither is sent when it does not fit its field.
    if (path.size() > CnaProtocol::kPathSize || path.find('\0') != std::string::npos) {
        log.Error(FCS_TAG, "Disk path of %zu bytes does not fit the open request (at most %u)",
                  path.size(), CnaProtocol::kPathSize);
        return false;
    }
    if (token.size() > CnaProtocol::kTokenSize || token.find('\0') != std::string::npos) {
        log.Error(FCS_TAG, "Access token of %zu bytes does not fit the open request (at most %u)",
                  token.size(), CnaProtocol::kTokenSize);
        return false;
    }
    FusionComputeSocketMessage_OpenDiskRequest request;
    std::memset(&request, 0, sizeof(request));
    std::memcpy(request.szPath, path.data(), path.size());
    std::memcpy(request.szToken, token.data(), token.size());
    request.nAccessMode = readOnly ? CnaProtocol::kModeReadOnly : CnaProtocol::kModeReadWrite;

    uint32_t sequence = 0;
    if (!SendHeader(CnaProtocol::kOpOpen, sizeof(request), sequence)) return false;
    CWzError err = socket.Send(&request, sizeof(request));
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to send open request - %s", err.AsString());
        return false;
    }
    if (!RecvHeader(sequence)) return false;
    FusionComputeSocketMessage_OpenDiskResponse response;
    err = socket.Recv(&response, sizeof(response));
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to recv open response - %s", err.AsString());
        return false;
    }
    log.Debug(FCS_TAG, "OpenDisk result [%d] File Handle [%d] ", response.nStatus,
              static_cast<int>(response.nHandle));
    if (response.nStatus != CnaProtocol::kStatusOk) {
        log.Error(FCS_TAG, "Open disk failed - %d", response.nStatus);
        return false;
    }
    handle = response.nHandle;
    return true;
}

bool CFusionComputeSocket::CloseRemoteDiskFile(uint32_t handle) {
    FusionComputeSocketMessage_CloseDiskRequest request{handle};
    uint32_t sequence = 0;
    // Close travels with the open's operation code; its 4-byte body tells them apart.
    if (!SendHeader(CnaProtocol::kOpOpen, sizeof(request), sequence)) return false;
    CWzError err = socket.Send(&request, sizeof(request));
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to send close request - %s", err.AsString());
        return false;
    }
    if (!RecvHeader(sequence)) return false;
    FusionComputeSocketMessage_StatusResponse response;
    err = socket.Recv(&response, sizeof(response));
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to recv close response - %s", err.AsString());
        return false;
    }
    log.Debug(FCS_TAG, "CloseDisk result [%d]", response.nStatus);
    return true;
}

bool CFusionComputeSocket::SendIORequest(uint16_t opcode, uint32_t handle, uint64_t offset,
                                         uint32_t length, uint32_t& sequence) {
    FusionComputeSocketMessage_IORequest request;
    request.nHandle = handle;
    request.ullOffset = offset;
    request.nLength = length;
    if (!SendHeader(opcode, sizeof(request), sequence)) return false;
    CWzError err = socket.Send(&request, sizeof(request));
    if (err.IsError()) {
        if (opcode == CnaProtocol::kOpRead)
            log.Error(FCS_TAG, "Failed to send read request - %s", err.AsString());
        else
            log.Error(FCS_TAG, "Failed to send write request - %s", err.AsString());
        return false;
    }
    return true;
}

bool CFusionComputeSocket::ReadFromRemoteDiskFile(uint32_t handle, uint64_t offset, uint32_t length,
                                                  void* buffer) {
    uint32_t sequence = 0;
    if (!SendIORequest(CnaProtocol::kOpRead, handle, offset, length, sequence)) return false;
    if (!RecvHeader(sequence)) return false;
    FusionComputeSocketMessage_ReadResponse response;
    CWzError err = socket.Recv(&response, sizeof(response));
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to recv read disk response - %s", err.AsString());
        return false;
    }
    if (response.nStatus != CnaProtocol::kStatusOk) {
        log.Error(FCS_TAG, "Read disk failed - %d", response.nStatus);
        return false;
    }
    if (response.nLength != length) {
        log.Error(FCS_TAG, "Read disk size mismatch - expected [%d] received [%d]",
                  static_cast<int>(length), static_cast<int>(response.nLength));
        return false;
    }
    if (length == 0) return true;
    err = socket.Recv(buffer, length);
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to receive [%d] bytes of data - %s", static_cast<int>(length),
                  err.AsString());
        return false;
    }
    return true;
}

bool CFusionComputeSocket::WriteToRemoteDiskFile(uint32_t handle, uint64_t offset, uint32_t length,
                                                 const void* buffer) {
    // Header, request and the caller's data leave in one gathered send: one system call, and
    // the peer woken once, for the whole request.
    FusionComputeSocketMessage_IORequest request;
    request.nHandle = handle;
    request.ullOffset = offset;
    request.nLength = length;
    FusionComputeSocketMessage_Header header = NextHeader(CnaProtocol::kOpWrite, sizeof(request));
    const iovec parts[3] = {{&header, sizeof(header)},
                            {&request, sizeof(request)},
                            {const_cast<void*>(buffer), length}};
    CWzError err = socket.SendGather(parts, 3);
    if (err.IsError()) {
        // One send carries the request and its data, so its failure is the request's.
        log.Error(FCS_TAG, "Failed to send write request - %s", err.AsString());
        return false;
    }
    const uint32_t sequence = nSequence++;
    if (!RecvHeader(sequence)) return false;
    FusionComputeSocketMessage_StatusResponse response;
    err = socket.Recv(&response, sizeof(response));
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to recv write disk response - %s", err.AsString());
        return false;
    }
    if (response.nStatus != CnaProtocol::kStatusOk) {
        log.Error(FCS_TAG, "write disk failed - %d", response.nStatus);
        return false;
    }
    return true;
}

bool CFusionComputeSocket::WriteZeroToRemoteDiskFile(uint32_t handle, uint64_t offset,
                                                     uint32_t length, const void* /*buffer*/) {
    uint32_t sequence = 0;
    if (!SendIORequest(CnaProtocol::kOpWriteZero, handle, offset, length, sequence)) return false;
    if (!RecvHeader(sequence)) return false;
    FusionComputeSocketMessage_StatusResponse response;
    CWzError err = socket.Recv(&response, sizeof(response));
    if (err.IsError()) {
        log.Error(FCS_TAG, "Failed to recv write disk response - %s", err.AsString());
        return false;
    }
    if (response.nStatus != CnaProtocol::kStatusOk) {
        log.Error(FCS_TAG, "write disk failed - %d", response.nStatus);
        return false;
    }
    return true;
}
