// The simulator's CNA server decoding requests. The input is a list of records
//   flags u8 | length u16 | length bytes
// whose bytes, one record after the other, are the request stream a client sends. The server
// hangs up on a header whose CRC is wrong, so the harness can mend headers for the fuzzer:
//   flags & 1: the record starts with a header; its CRC is recomputed
//   flags & 2: the record is a header and an open body; the body's path is set to the served
//              disk (whose folder differs from run to run)
// The server serves one connection per input on a socketpair, against a state folder with a
// 64 KiB disk and two leases: "token-rw" (writable) and "token-ro"; the first open of an input
// gets handle 1.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "CnaProtocol.h"
#include "CnaServerImpl.h"
#include "CnaWire.h"
#include "DiskFiles.h"
#include "FuzzCommon.h"
#include "SimState.h"

namespace {

namespace P = CnaProtocol;

constexpr uint64_t kDiskSize = 64 * 1024;
constexpr const char* kDiskID = "disk-1";

struct SWorld {
    std::string strRoot;
    std::unique_ptr<fcsim::CSimState> pState;
    unsigned nRuns = 0;
};

SWorld* g_world = nullptr;

void RemoveWorld() {
    std::error_code ec;
    if (g_world) std::filesystem::remove_all(g_world->strRoot, ec);
}

void MakeWorld() {
    char root[] = "/tmp/fcbackup-fuzz-cna-XXXXXX";
    fuzz::Require(::mkdtemp(root) != nullptr, "state folder");
    g_world = new SWorld;
    g_world->strRoot = root;
    std::atexit(RemoveWorld);
    g_world->pState = std::make_unique<fcsim::CSimState>(root);
    std::string err;
    const std::string path = g_world->pState->DiskPath(kDiskID);
    fuzz::Require(fcsim::CreateSparseFile(path, kDiskSize, err), "disk file");
    const int64_t expires = fcsim::CSimState::Now() + 10 * 365 * 86400;
    fuzz::Require(
        g_world->pState->PutLease({"access-rw", "token-rw", kDiskID, path, true, expires}),
        "writable lease");
    fuzz::Require(
        g_world->pState->PutLease({"access-ro", "token-ro", kDiskID, path, false, expires}),
        "read-only lease");
}

std::vector<uint8_t> RequestStream(const uint8_t* data, size_t size) {
    fuzz::CInput in(data, size);
    const std::string path = g_world->pState->DiskPath(kDiskID);
    std::vector<uint8_t> out;
    while (in.Left() > 0) {
        const uint8_t flags = in.U8();
        const size_t length = in.U16();
        const size_t at = out.size();
        const size_t n = std::min(length, in.Left());
        out.insert(out.end(), in.Rest(), in.Rest() + n);
        in.Skip(n);
        if ((flags & 2) && n >= P::kHeaderSize + P::kPathSize) {
            uint8_t* field = out.data() + at + P::kHeaderSize;
            std::memset(field, 0, P::kPathSize);
            std::memcpy(field, path.data(), std::min<size_t>(path.size(), P::kPathSize));
        }
        if ((flags & 1) && n >= P::kHeaderSize)
            fcsim::cnawire::Put32(out.data() + at + P::kCrcCoveredBytes,
                                  fcsim::cnawire::Crc32(out.data() + at, P::kCrcCoveredBytes));
    }
    return out;
}

// The client's side: sends the stream, then shuts its sending half, and takes every answer
// off the socket until the server hangs up, so that the server never waits on a full buffer.
void Client(int fd, const std::vector<uint8_t>& stream) {
    size_t sent = 0;
    bool shut = false;
    std::vector<uint8_t> sink(64 * 1024);
    for (;;) {
        if (sent == stream.size() && !shut) {
            ::shutdown(fd, SHUT_WR);
            shut = true;
        }
        pollfd p{fd, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
        if (::poll(&p, 1, -1) < 0) continue;
        if (p.revents & POLLOUT) {
            ssize_t n =
                ::send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                sent = stream.size();  // the server hung up
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = ::recv(fd, sink.data(), sink.size(), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietLogs();
    MakeWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> stream = RequestStream(data, size);
    int fds[2];
    fuzz::Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
    std::thread client(Client, fds[0], std::cref(stream));
    // A server of its own per input: handles are numbered from 1 again, as in the seeds.
    fcsim::CCnaServer::CImpl server(*g_world->pState);
    fcsim::ServeCnaConnection(server, fds[1]);
    ::close(fds[1]);
    client.join();
    ::close(fds[0]);
    // Every write is journalled; forget the journal now and then so that it stays small.
    if (++g_world->nRuns % 1024 == 0) g_world->pState->DropJournal(kDiskID);
    return 0;
}
