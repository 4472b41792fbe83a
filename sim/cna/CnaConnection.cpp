// One connection of the CNA server: decode a request, apply any fault rule, serve it on the
// disk file, answer in one gathered send.
#include <fcntl.h>
#include <linux/falloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <vector>

#include "CnaProtocol.h"
#include "CnaServerImpl.h"
#include "DiskCow.h"
#include "SimState.h"

namespace fcsim {

namespace {

namespace P = CnaProtocol;

bool RecvAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t got = recv(fd, p, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool SendAllV(int fd, iovec* iov, int count) {
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t sent = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        size_t left = static_cast<size_t>(sent);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return true;
}

struct SOpenFile {
    int fd = -1;
    bool bWritable = false;
    std::string strAccessID;
    std::string strDiskID;
    std::shared_ptr<CFrozenDisk> pFrozen;  // a copy-on-write snapshot's blocks, when read-only
    int64_t tLeaseEnd = 0;                 // the lease's end as last read
};

class CConnection {
public:
    CConnection(CCnaServer::CImpl& server, int fd) : m_server(server), m_fd(fd) {}
    ~CConnection() {
        for (auto& h : m_handles) {
            close(h.second.fd);
            --m_server.m_ullOpenHandles;
        }
    }
    void Run();

private:
    bool ServeOne();
    uint16_t Open(const cnawire::SOpenRequest& req, uint32_t& handle);
    uint16_t Close(uint32_t handle);
    uint16_t Read(const cnawire::SIoRequest& io, std::vector<uint8_t>& data);
    uint16_t Write(const cnawire::SIoRequest& io, const uint8_t* data, bool zeroes);
    SOpenFile* Find(uint32_t handle, uint16_t& status);
    bool Reply(uint16_t opcode, uint32_t sequence, const uint8_t* body, uint32_t bodyLength,
               const uint8_t* data, uint32_t dataLength);

    CCnaServer::CImpl& m_server;
    int m_fd;
    std::map<uint32_t, SOpenFile> m_handles;
    std::vector<uint8_t> m_buffer;
};

void CConnection::Run() {
    int one = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    while (ServeOne()) {
    }
}

bool CConnection::ServeOne() {
    uint8_t raw[P::kHeaderSize];
    if (!RecvAll(m_fd, raw, sizeof(raw))) return false;
    cnawire::SHeader h = cnawire::DecodeHeader(raw);
    // A header we cannot trust leaves no way to find the next request: hang up.
    if (h.nMagic != P::kMagic || !h.bCrcValid) return false;
    ++m_server.m_ullRequests;

    ECnaOp op;
    if (h.nOpcode == P::kOpOpen && h.nBodyLength == P::kOpenBodySize)
        op = ECnaOp::Open;
    else if ((h.nOpcode == P::kOpOpen || h.nOpcode == P::kOpClose) &&
             h.nBodyLength == P::kCloseBodySize)
        op = ECnaOp::Close;
    else if (h.nOpcode == P::kOpRead && h.nBodyLength == P::kIoBodySize)
        op = ECnaOp::Read;
    else if (h.nOpcode == P::kOpWrite && h.nBodyLength == P::kIoBodySize)
        op = ECnaOp::Write;
    else if (h.nOpcode == P::kOpWriteZero && h.nBodyLength == P::kIoBodySize)
        op = ECnaOp::WriteZero;
    else {
        // Unknown operation: skip its body when it is of a sane size and say so.
        if (h.nBodyLength > 4096) return false;
        std::vector<uint8_t> skip(h.nBodyLength);
        if (!RecvAll(m_fd, skip.data(), skip.size())) return false;
        uint8_t status[2];
        cnawire::Put16(status, P::kStatusBadOpcode);
        return Reply(h.nOpcode, h.nSequence, status, sizeof(status), nullptr, 0);
    }

    uint8_t body[P::kOpenBodySize];
    if (!RecvAll(m_fd, body, h.nBodyLength)) return false;
    cnawire::SIoRequest io;
    bool bIo = op == ECnaOp::Read || op == ECnaOp::Write || op == ECnaOp::WriteZero;
    if (bIo) io = cnawire::DecodeIo(body);
    if (op == ECnaOp::Write) {
        // The data follows whatever the answer will be; it must be taken off the stream.
        if (io.nLength > CCnaServer::kMaxIoLength) return false;
        m_buffer.resize(io.nLength);
        if (!RecvAll(m_fd, m_buffer.data(), io.nLength)) return false;
    }

    CCnaServer::CImpl::SFault fault = m_server.TakeFault(op, bIo ? &io : nullptr);
    uint32_t sequence = h.nSequence;
    if (fault.bFires) {
        switch (fault.rule.eAction) {
            case ECnaFaultAction::DropConnection:
                return false;
            case ECnaFaultAction::Stall:
                if (!m_server.Stall(m_fd, fault.rule.nStallMs)) return false;
                fault.bFires = false;  // then answer normally
                break;
            case ECnaFaultAction::WrongSequence:
                sequence += 1;
                fault.bFires = false;
                break;
            case ECnaFaultAction::ShortLength:
            case ECnaFaultAction::ErrorStatus:
                break;
        }
    }
    bool bShort = fault.bFires && fault.rule.eAction == ECnaFaultAction::ShortLength;
    bool bForced = fault.bFires && fault.rule.eAction == ECnaFaultAction::ErrorStatus;

    uint8_t resp[P::kOpenResponseSize] = {};
    uint16_t status = P::kStatusOk;
    switch (op) {
        case ECnaOp::Open: {
            uint32_t handle = 0;
            status = bForced ? fault.rule.nStatus : Open(cnawire::DecodeOpen(body), handle);
            cnawire::Put16(resp, status);
            cnawire::Put32(resp + 2, handle);
            uint32_t n = bShort ? P::kOpenResponseSize / 2 : P::kOpenResponseSize;
            return Reply(h.nOpcode, sequence, resp, n, nullptr, 0) && !bShort;
        }
        case ECnaOp::Read: {
            status = bForced ? fault.rule.nStatus : Read(io, m_buffer);
            uint32_t length = status == P::kStatusOk ? io.nLength : 0;
            if (bShort && status == P::kStatusOk) length = io.nLength / 2;
            cnawire::Put16(resp, status);
            cnawire::Put32(resp + 2, length);
            return Reply(h.nOpcode, sequence, resp, P::kReadResponseSize, m_buffer.data(), length);
        }
        case ECnaOp::Close:
            status = bForced ? fault.rule.nStatus : Close(cnawire::DecodeHandle(body));
            break;
        case ECnaOp::Write:
            status = bForced ? fault.rule.nStatus : Write(io, m_buffer.data(), false);
            break;
        case ECnaOp::WriteZero:
            status = bForced ? fault.rule.nStatus : Write(io, nullptr, true);
            break;
        case ECnaOp::Any:
            break;
    }
    cnawire::Put16(resp, status);
    uint32_t n = bShort ? 1 : P::kStatusResponseSize;
    return Reply(h.nOpcode, sequence, resp, n, nullptr, 0) && !bShort;
}

bool CConnection::Reply(uint16_t opcode, uint32_t sequence, const uint8_t* body,
                        uint32_t bodyLength, const uint8_t* data, uint32_t dataLength) {
    uint8_t header[P::kHeaderSize];
    cnawire::EncodeHeader(header, opcode, sequence, bodyLength + dataLength);
    iovec iov[3] = {{header, sizeof(header)},
                    {const_cast<uint8_t*>(body), bodyLength},
                    {const_cast<uint8_t*>(data), dataLength}};
    return SendAllV(m_fd, iov, dataLength ? 3 : 2);
}

uint16_t CConnection::Open(const cnawire::SOpenRequest& req, uint32_t& handle) {
    if (req.nMode != P::kModeReadOnly && req.nMode != P::kModeReadWrite) return P::kStatusBadFlags;
    SLease lease;
    if (!m_server.FindLeaseByToken(req.strToken, lease)) return P::kStatusBadToken;
    // The token grants one file only.
    if (req.strPath != lease.strPath) return P::kStatusNoSuchFile;
    bool bWrite = req.nMode == P::kModeReadWrite;
    if (bWrite && !lease.bWritable) return P::kStatusBadFlags;
    int fd = open(lease.strPath.c_str(), (bWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return P::kStatusNoSuchFile;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return P::kStatusNoSuchFile;
    }
    std::shared_ptr<CFrozenDisk> frozen;
    if (!bWrite) {
        std::string err;
        frozen = std::make_shared<CFrozenDisk>(m_server.m_state, lease.strDiskID, lease.strPath);
        if (!frozen->Open(err)) {
            close(fd);
            return P::kStatusNoSuchFile;
        }
        if (!frozen->CopyOnWrite()) frozen.reset();
    }
    handle = m_server.NextHandle();
    m_handles[handle] = SOpenFile{fd, bWrite, lease.strAccessID, lease.strDiskID, frozen};
    ++m_server.m_ullOpenHandles;
    return P::kStatusOk;
}

uint16_t CConnection::Close(uint32_t handle) {
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) return P::kStatusNoSuchHandle;
    close(it->second.fd);
    m_handles.erase(it);
    --m_server.m_ullOpenHandles;
    return P::kStatusOk;
}

SOpenFile* CConnection::Find(uint32_t handle, uint16_t& status) {
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) {
        status = P::kStatusNoSuchHandle;
        return nullptr;
    }
    // A released or expired lease ends the right to the file, even on an open handle.
    if (!m_server.LeaseStillValid(it->second.strAccessID, it->second.tLeaseEnd)) {
        status = P::kStatusBadToken;
        return nullptr;
    }
    return &it->second;
}

static uint64_t FileSize(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint16_t CConnection::Read(const cnawire::SIoRequest& io, std::vector<uint8_t>& data) {
    uint16_t status = P::kStatusOk;
    SOpenFile* f = Find(io.nHandle, status);
    if (!f) return status;
    uint64_t size = FileSize(f->fd);
    if (io.ullOffset >= size && io.nLength > 0) return P::kStatusStartBeyondEnd;
    if (io.nLength > size - io.ullOffset) return P::kStatusReadRangeBeyondEnd;
    if (io.nLength > CCnaServer::kMaxIoLength) return P::kStatusReadFailed;
    data.resize(io.nLength);
    std::string err;
    if (f->pFrozen) {
        bool ok =
            f->pFrozen->Read(io.ullOffset, io.nLength, reinterpret_cast<char*>(data.data()), err);
        return ok ? P::kStatusOk : P::kStatusReadFailed;
    }
    size_t done = 0;
    while (done < io.nLength) {
        ssize_t n = pread(f->fd, data.data() + done, io.nLength - done,
                          static_cast<off_t>(io.ullOffset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return P::kStatusReadFailed;
        done += static_cast<size_t>(n);
    }
    return P::kStatusOk;
}

uint16_t CConnection::Write(const cnawire::SIoRequest& io, const uint8_t* data, bool zeroes) {
    uint16_t status = P::kStatusOk;
    SOpenFile* f = Find(io.nHandle, status);
    if (!f) return status;
    if (!f->bWritable) return P::kStatusWriteFailed;
    uint64_t size = FileSize(f->fd);
    if (io.ullOffset >= size && io.nLength > 0) return P::kStatusStartBeyondEnd;
    if (io.nLength > size - io.ullOffset) return P::kStatusWriteRangeBeyondEnd;
    // Blocks a snapshot still shares are kept for it before they change.
    auto write = [&] {
        if (zeroes) {
            // Punching keeps the disk file sparse; a file system without holes gets real zeroes.
            if (io.nLength > 0 && fallocate(f->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                            static_cast<off_t>(io.ullOffset), io.nLength) != 0) {
                std::vector<uint8_t> zero(std::min<uint32_t>(io.nLength, 1u << 20), 0);
                for (uint64_t done = 0; done < io.nLength;) {
                    size_t chunk =
                        static_cast<size_t>(std::min<uint64_t>(zero.size(), io.nLength - done));
                    ssize_t n =
                        pwrite(f->fd, zero.data(), chunk, static_cast<off_t>(io.ullOffset + done));
                    if (n < 0 && errno == EINTR) continue;
                    if (n <= 0) return false;
                    done += static_cast<uint64_t>(n);
                }
            }
        } else {
            for (uint64_t done = 0; done < io.nLength;) {
                ssize_t n = pwrite(f->fd, data + done, io.nLength - done,
                                   static_cast<off_t>(io.ullOffset + done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;
                done += static_cast<uint64_t>(n);
            }
        }
        return true;
    };
    std::string err;
    if (!CDiskCow(m_server.m_state, f->strDiskID).WriteLive(io.ullOffset, io.nLength, write, err))
        return P::kStatusWriteFailed;
    if (io.nLength > 0) m_server.m_state.MarkWritten(f->strDiskID, io.ullOffset, io.nLength);
    return P::kStatusOk;
}

}  // namespace

void ServeCnaConnection(CCnaServer::CImpl& server, int fd) {
    CConnection conn(server, fd);
    conn.Run();
}

}  // namespace fcsim
