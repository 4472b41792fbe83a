// The CNA socket client against a scripted peer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <functional>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "FakeCnaPeer.h"
#include "FusionComputeSocket.h"

namespace {

using rawcna::Bytes;

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t n) {
    return std::vector<uint8_t>(v.begin() + from, v.begin() + from + n);
}
std::string Text(const std::vector<uint8_t>& v, size_t from, size_t n) {
    return std::string(v.begin() + from, v.begin() + from + n);
}

// Lets `talk` use a client connected to a scripted peer; the requests the peer received.
std::vector<SFakeRequest> Exchange(const std::function<void(CFusionComputeSocket&)>& talk,
                                   CFakeCnaPeer::Responder answer = WellBehavedAnswer) {
    CFakeCnaPeer peer(std::move(answer));
    CFusionComputeSocket client;
    EXPECT_TRUE(client.Connect("127.0.0.1", peer.Port()));
    talk(client);
    client.Disconnect();
    peer.Finish();
    return peer.Requests();
}

TEST(FusionComputeSocketWire, ReadRequestMatchesTheDocumentedBytes) {
    auto reqs = Exchange([](CFusionComputeSocket& client) {
        std::vector<uint8_t> buf(4096);
        // Sequences 0..6 go to other requests; the eighth request carries 7.
        for (int i = 0; i < 7; ++i)
            EXPECT_TRUE(client.ReadFromRemoteDiskFile(1, 0, 16, buf.data()));
        EXPECT_TRUE(client.ReadFromRemoteDiskFile(3, 1048576, 4096, buf.data()));
        EXPECT_EQ(std::vector<uint8_t>(4096, 0x5A), buf);
        EXPECT_EQ(8u, client.GetSequence());
        // Nagle is off, so that small requests do not wait for acknowledgements.
        int value = 0;
        socklen_t len = sizeof(value);
        ASSERT_EQ(0, getsockopt(client.NativeHandle(), IPPROTO_TCP, TCP_NODELAY, &value, &len));
        EXPECT_NE(0, value);
    });
    ASSERT_EQ(8u, reqs.size());
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(i, reqs[i].nSequence);
    std::vector<uint8_t> expected =
        Bytes({0x35, 0x35, 0x00, 0x00, 0x03, 0x00, 0x07, 0x00, 0x00, 0x00,
               0x10, 0x00, 0x00, 0x00, 0xa7, 0xe8, 0x73, 0x55,  // CRC-32 of the 14 bytes before
               0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x10, 0x00, 0x00});
    EXPECT_EQ(expected, reqs[7].vecBytes);
}

// A write's header counts only its fixed body; open carries path, token and access mode;
// close has a four-byte body.
TEST(FusionComputeSocketWire, WriteOpenAndCloseRequests) {
    std::vector<uint8_t> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 1);
    EvLogCapture capture;
    auto reqs = Exchange(
        [&](CFusionComputeSocket& client) {
            EXPECT_TRUE(client.WriteToRemoteDiskFile(9, 4096, uint32_t(data.size()), data.data()));
            EXPECT_TRUE(client.WriteZeroToRemoteDiskFile(9, 8192, 512, nullptr));
            uint32_t handle = 99;
            EXPECT_TRUE(client.OpenRemoteDiskFile("/data/disk.img", "tok", true, handle));
            EXPECT_EQ(3u, handle);
            EXPECT_TRUE(client.OpenRemoteDiskFile(std::string(256, 'p'), std::string(128, 't'),
                                                  false, handle));
            EXPECT_TRUE(client.CloseRemoteDiskFile(0x01020304));
        },
        // "No such handle" to the close: only logged.
        [](const SFakeRequest& r) {
            return r.nBodyLength == 4 ? FakeAnswer(1, r.nSequence, 5) : WellBehavedAnswer(r);
        });
    ASSERT_EQ(5u, reqs.size());
    const auto& w = reqs[0].vecBytes;
    EXPECT_EQ(Bytes({0x35, 0x35, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
                     0x00, 0xc7, 0xfa, 0x6a, 0xbd}),
              Slice(w, 0, 18));
    EXPECT_EQ(Bytes({9, 0, 0, 0, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00}),
              Slice(w, 18, 16));
    ASSERT_EQ(18u + 16u + data.size(), w.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), w.begin() + 34));

    const auto& z = reqs[1].vecBytes;
    EXPECT_EQ(5, reqs[1].nOpcode);
    ASSERT_EQ(34u, z.size());  // no data follows a write-zeroes request
    EXPECT_EQ(Bytes({9, 0, 0, 0, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0x00, 0x02, 0, 0}),
              Slice(z, 18, 16));

    EXPECT_EQ(1, reqs[2].nOpcode);
    EXPECT_EQ(386u, reqs[2].nBodyLength);
    // Path, token and mode (0 read-only, 1 read-write) in fields padded with zeros; a field
    // filled to the last byte goes without a terminating zero.
    auto padded = [](const std::string& text, size_t n) {
        return text + std::string(n - text.size(), '\0');
    };
    EXPECT_EQ(padded("/data/disk.img", 256) + padded("tok", 128) + std::string(2, '\0'),
              Text(reqs[2].vecBytes, 18, 386));
    EXPECT_EQ(std::string(256, 'p') + std::string(128, 't') + std::string("\1\0", 2),
              Text(reqs[3].vecBytes, 18, 386));

    EXPECT_EQ(1, reqs[4].nOpcode);
    EXPECT_EQ(4u, reqs[4].nBodyLength);
    EXPECT_EQ(Bytes({4, 3, 2, 1}), Slice(reqs[4].vecBytes, 18, 4));
    EXPECT_TRUE(capture.Contains("CloseDisk result [5]"));
}

TEST(FusionComputeSocketWire, OversizedPathOrTokenIsRefusedBeforeAnythingIsSent) {
    EvLogCapture capture;
    auto reqs = Exchange([](CFusionComputeSocket& client) {
        uint32_t handle = 42;
        EXPECT_FALSE(client.OpenRemoteDiskFile(std::string(300, 'a'), "tok", true, handle));
        EXPECT_EQ(0u, handle);
        EXPECT_FALSE(client.OpenRemoteDiskFile("/d", std::string(129, 'x'), true, handle));
        EXPECT_FALSE(client.OpenRemoteDiskFile(std::string("/a\0b", 4), "tok", true, handle));
        EXPECT_EQ(0u, client.GetSequence());
    });
    EXPECT_EQ(1u, capture.Count("Disk path of 300 bytes does not fit"));
    EXPECT_EQ(1u, capture.Count("Access token of 129 bytes does not fit"));
    EXPECT_TRUE(reqs.empty());
}

// (An answer to another request or a short one, and each request's error status:
// SocketAgainstCna.InjectedFaultsFailTheRightRequest and LeaseTokenModeAndRangesAreChecked.)
TEST(FusionComputeSocketSequence, FailedSendsConnectsAndAttachesConsumeNoNumber) {
    CFusionComputeSocket client;
    std::vector<uint8_t> buf(16);
    EvLogCapture capture;
    // Not connected: the header cannot leave.
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(1, 0, 16, buf.data()));
    EXPECT_TRUE(capture.Contains("Failed to send header - "));
    EXPECT_EQ(0u, client.GetSequence());
    // A failed connect or attach names its cause.
    const uint16_t port = CFakeCnaPeer(WellBehavedAnswer).Port();  // closed again at once
    EXPECT_FALSE(client.Connect("127.0.0.1", port));
    EXPECT_TRUE(capture.Contains("Failed to connect to 127.0.0.1:" + std::to_string(port) + " - "))
        << capture.Dump();
    EXPECT_FALSE(client.Attach(-1));
    EXPECT_TRUE(capture.Contains("Failed to take over socket -1")) << capture.Dump();
    EXPECT_EQ(0u, client.GetSequence());
    // (Numbers counting on across connections: SocketAgainstCna.InjectedFaultsFailTheRightRequest.)
}

// A write leaves in one send, its data with it: a socket that keeps sends apart shows one. The
// socket is attached, its answer queued before the request and numbered 0. (Answers' handles
// and data: the Wire tests; a stream that ends:
// SocketAgainstCna.InjectedFaultsFailTheRightRequest.)
TEST(FusionComputeSocketTransport, WriteLeavesInOneSend) {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds));
    // The answer's header and status as the client reads them, one record each.
    const std::vector<uint8_t> answer = FakeAnswer(4, 0, 0);
    ASSERT_EQ(18, send(fds[1], answer.data(), 18, 0));
    ASSERT_EQ(2, send(fds[1], answer.data() + 18, 2, 0));
    CFusionComputeSocket client;
    ASSERT_TRUE(client.Attach(fds[0]));
    const std::vector<uint8_t> data(4096, 0x77);
    ASSERT_TRUE(client.WriteToRemoteDiskFile(2, 0, uint32_t(data.size()), data.data()));
    std::vector<uint8_t> first(2 * (18 + 16 + data.size()));
    EXPECT_EQ(ssize_t(18 + 16 + data.size()), recv(fds[1], first.data(), first.size(), 0));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), first.begin() + 34));
    client.Disconnect();
    close(fds[1]);
}

}  // namespace
