// Sockets over loopback: exact receives, gathered sends, time-outs, closed peers.
#include <gtest/gtest.h>

#include <algorithm>

#include "DeadPort.h"
#include "NxSync.h"
#include "WzSocket.h"

namespace {

// A listening socket on an ephemeral loopback port and one accepted connection.
struct SPair {
    CWzSocket listener, server, client;
    void Open() {
        CWzIPAddr address;
        ASSERT_TRUE(address.SetAddressString("127.0.0.1").Success());
        ASSERT_TRUE(listener.Listen(address).Success());
        uint16_t port = listener.GetLocalPort();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(client.Connect("127.0.0.1", port, 5000).Success());
        ASSERT_TRUE(listener.Accept(server, 5000).Success());
    }
};

}  // namespace

TEST(SocketTest, ExactReceiveAndGatheredSend) {
    SPair pair;
    ASSERT_NO_FATAL_FAILURE(pair.Open());
    EXPECT_TRUE(pair.client.SetNoDelay(true).Success());

    // 4 MiB in one gathered send, then a plain one, while the peer reads on another thread in
    // exact pieces of 18 bytes and of 1 MiB by turns: the sender must cope with a full socket
    // buffer, the receiver with a count that takes many reads.
    std::string header(18, 'H'), body(16, 'B'), big(4u << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + 7);
    iovec parts[3] = {{&header[0], header.size()}, {&body[0], body.size()}, {&big[0], big.size()}};
    const std::string all = header + body + big + "end";
    std::string received(all.size(), '\0');
    CWzError recvResult;
    NxThread reader;
    ASSERT_TRUE(reader.start([&]() {
        for (size_t done = 0, reads = 0; done < received.size() && recvResult.Success(); ++reads) {
            size_t n = std::min<size_t>(reads % 2 ? 1 << 20 : 18, received.size() - done);
            recvResult = pair.server.Recv(&received[done], n, 5000);
            done += n;
        }
    }));
    ASSERT_TRUE(pair.client.SendGather(parts, 3).Success());
    ASSERT_TRUE(pair.client.Send("end", 3).Success());
    reader.join();
    ASSERT_TRUE(recvResult.Success()) << recvResult.AsString();
    EXPECT_TRUE(received == all);
}

TEST(SocketTest, TimeOutsAndClosedPeer) {
    SPair pair;
    ASSERT_NO_FATAL_FAILURE(pair.Open());
    char buffer[8];
    // Part of the count arrives, then nothing: the receive times out instead of hanging.
    ASSERT_TRUE(pair.server.Send("abc", 3).Success());
    CWzError e = pair.client.Recv(buffer, 8, 50);
    EXPECT_EQ(e.Status(), WZ_E_TIMEOUT) << e.AsString();

    pair.client.SetTimeouts(0, 50);
    EXPECT_EQ(pair.client.Recv(buffer, 1).Status(), WZ_E_TIMEOUT);

    ASSERT_TRUE(pair.server.Send("0123", 4).Success());
    pair.server.Close();
    e = pair.client.Recv(buffer, 8, 1000);
    EXPECT_EQ(e.Status(), WZ_E_CLOSED) << "a short transfer is an error";
    // Sending into a closed connection fails and does not kill the process with SIGPIPE.
    std::string chunk(1 << 16, 'x');
    CWzError sent;
    for (int i = 0; i < 64 && sent.Success(); ++i)
        sent = pair.client.Send(chunk.data(), chunk.size());
    EXPECT_TRUE(sent.IsError());

    CWzSocket idle;
    EXPECT_EQ(idle.Send("x", 1).Status(), WZ_E_INVALID);
    EXPECT_EQ(pair.listener.Accept(idle, 20).Status(), WZ_E_TIMEOUT);
}

TEST(SocketTest, ConnectFailuresAndAddresses) {
    CWzSocket socket;
    CWzError e = socket.Connect("127.0.0.1", fctest::DeadLoopbackPort(), 2000);
    EXPECT_TRUE(e.IsError());
    EXPECT_EQ(e.SysError(), ECONNREFUSED) << e.AsString();
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_TRUE(socket.Connect("not a host name.invalid", 80, 2000).IsError());

    CWzIPAddr address;
    address.SetPortNumber(902);
    ASSERT_TRUE(address.SetAddressString("192.0.2.17").Success());
    EXPECT_EQ(address.GetPortNumber(), 902);
    std::string text;
    ASSERT_TRUE(address.GetAddressString(text).Success());
    EXPECT_EQ(text, "192.0.2.17");
    ASSERT_TRUE(address.SetAddressString("::1").Success());
    ASSERT_TRUE(address.GetAddressString(text).Success());
    EXPECT_EQ(text, "::1");
    EXPECT_EQ(address.GetPortNumber(), 902);

    ASSERT_TRUE(address.GetByName("localhost", 2).Success());
    ASSERT_TRUE(address.GetAddressString(text).Success());
    EXPECT_EQ(text, "127.0.0.1");
    CWzIPAddr empty;
    EXPECT_TRUE(empty.GetAddressString(text).IsError());
    std::string host;
    ASSERT_TRUE(CWzIPAddr::GetLocalHost(host).Success());
    EXPECT_FALSE(host.empty());
}
