// The CNA disk-access client reading what a peer answers. The input is
//   mode u8 | read length u32 | read offset u64 | the peer's whole answer stream
// The answer stream is queued on one end of a socketpair before the client, attached to the
// other end, opens a disk, reads from it, writes zeroes, writes and closes, as the disk access
// service does; each step runs whatever the one before gave. The peer's end is shut for
// writing, so a client that wants more than was sent sees the end of the stream, not a wait.
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "FusionComputeSocket.h"
#include "FuzzCommon.h"

namespace {
// Most of what a socketpair queues without a reader; a longer input would block the sender.
constexpr size_t kMaxStream = 100 * 1024;
constexpr uint32_t kMaxRead = 64 * 1024;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::CInput in(data, size);
    const uint8_t mode = in.U8();
    const uint32_t length = in.U32() % (kMaxRead + 1);
    const uint64_t offset = in.U64();
    if (in.Left() > kMaxStream) return 0;

    int fds[2];
    fuzz::Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
    fuzz::Require(fuzz::SendAll(fds[1], in.Rest(), in.Left()), "queue the answers");
    ::shutdown(fds[1], SHUT_WR);

    CFusionComputeSocket client;
    client.SetTimeouts(1000, 1000, 1000);
    fuzz::Require(client.Attach(fds[0]), "attach");
    uint32_t handle = 0;
    const bool opened =
        client.OpenRemoteDiskFile("/vol/ds1/vm1-disk0.img", "token-1", (mode & 1) == 0, handle);
    fuzz::Require(opened || handle == 0, "a failed open hands out no handle");
    std::vector<uint8_t> buffer(length);
    client.ReadFromRemoteDiskFile(handle, offset, length, buffer.data());
    if (mode & 2) client.WriteZeroToRemoteDiskFile(handle, offset, length, nullptr);
    if (mode & 4) {
        const std::vector<uint8_t> block(512, 0xA5);
        client.WriteToRemoteDiskFile(handle, offset, static_cast<uint32_t>(block.size()),
                                     block.data());
    }
    client.CloseRemoteDiskFile(handle);
    client.Disconnect();
    ::close(fds[1]);
    return 0;
}
