// The simulator's CNA server spoken to in raw bytes (RawCna.h), so that neither the plug-in's
// client nor the server's own encoder is trusted by these tests.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "CnaServer.h"
#include "RawCna.h"
#include "SimDisk.h"
#include "SimState.h"
#include "TempDir.h"

namespace {

using namespace rawcna;

// A write of 512 bytes of 0xEE.
Bytes WriteRequest(uint32_t seq, uint32_t handle, uint64_t offset) {
    Bytes b = IoRequest(4, seq, handle, offset, 512);
    b.insert(b.end(), 512, 0xEE);
    return b;
}

class CnaServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        state = std::make_unique<fcsim::CSimState>(tmp.Path());
        data.resize(1 << 20);
        for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i % 251);
        disk = fctest::WriteSimDisk(*state, "d1", data);
        ASSERT_TRUE(fctest::LeaseSimDisk(*state, "a1", "t1", "d1", true));
        server = std::make_unique<fcsim::CCnaServer>(*state);
        ASSERT_TRUE(server->Start("127.0.0.1", 0));
    }
    void TearDown() override {
        server->Stop();
        fcsim::CSimState::SetNowForTest(0);
    }
    CTempDir tmp;
    std::string disk;
    Bytes data;
    std::unique_ptr<fcsim::CSimState> state;
    std::unique_ptr<fcsim::CCnaServer> server;
};

Bytes FromHex(const std::string& hex) {
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return b;
}

// Whole response frames, byte for byte, as a client of the protocol expects them; the header
// CRCs were computed apart from this code base. A read's body length counts its data too.
TEST_F(CnaServerTest, ResponseFramesAreExactlyTheProtocolsBytes) {
    CRawConn c(server->Port());
    ASSERT_TRUE(c.Ok());
    c.Send(OpenRequest(7, disk, "wrong", 0));
    EXPECT_EQ(FromHex("3535000001000700000006000000d930f424"
                      "0300"
                      "00000000"),
              c.Recv(24));

    c.Send(OpenRequest(41, disk, "t1", 1));
    const Bytes open = c.Recv(24);
    ASSERT_EQ(24u, open.size());
    EXPECT_EQ(FromHex("3535000001002900000006000000bd4008c8"
                      "0000"),
              Bytes(open.begin(), open.begin() + 20));
    const uint32_t handle = Get32(open, 20);

    c.Send(IoRequest(3, 42, handle, 2, 4));
    EXPECT_EQ(FromHex("3535000003002a0000000a000000db28a408"
                      "0000"
                      "04000000"
                      "02030405"),
              c.Recv(28));

    Bytes write = IoRequest(4, 43, handle, 0, 2);
    write.push_back(0xAB);
    write.push_back(0xCD);
    c.Send(write);
    EXPECT_EQ(FromHex("3535000004002b00000002000000d31b66e3"
                      "0000"),
              c.Recv(20));
}

TEST_F(CnaServerTest, CloseIsAcceptedWithEitherOperationCode) {
    CRawConn c(server->Port());
    for (uint16_t op : {uint16_t(1), uint16_t(2)}) {
        uint32_t h = c.Open(0, disk, "t1", 0);
        ASSERT_NE(0u, h);
        EXPECT_EQ(1u, server->Stats().ullOpenHandles);
        Bytes req = Header(op, 1, 4);
        Put(req, h, 4);
        c.Send(req);
        EXPECT_EQ(0, c.Status(20)) << "close with opcode " << op;
        EXPECT_EQ(0u, server->Stats().ullOpenHandles);
        c.Send(req);  // the handle is gone now
        EXPECT_EQ(5, c.Status(20));
    }
}

TEST_F(CnaServerTest, UntrustworthyHeadersDropTheConnection) {
    // A broken CRC; a wrong magic, whatever the CRC.
    for (const auto& breakIt : {+[](Bytes& req) { req[14] ^= 0xFF; },
                                +[](Bytes& req) {
                                    req[0] = 0x36;
                                    req[14] = 0;
                                }}) {
        CRawConn c(server->Port());
        Bytes req = IoRequest(3, 0, 1, 0, 16);
        breakIt(req);
        c.Send(req);
        EXPECT_TRUE(c.ClosedByPeer());
    }
    // An unknown operation is answered and the connection stays usable.
    CRawConn c(server->Port());
    Bytes req = Header(9, 5, 4);
    Put(req, 0, 4);
    c.Send(req);
    EXPECT_EQ(1, c.Status(20));
    EXPECT_NE(0u, c.Open(6, disk, "t1", 0));
}

// (A write through a read-only handle: SocketAgainstCna.LeaseTokenModeAndRangesAreChecked.)
TEST_F(CnaServerTest, RefusedOpensAndRequestsChangeNothing) {
    CRawConn c(server->Port()), other(server->Port());
    uint16_t status = 0;
    EXPECT_EQ(0u, c.Open(0, disk, "t1", 7, &status));
    EXPECT_EQ(4, status);  // no such mode
    // A handle belongs to its connection; a refused read carries no data.
    const uint32_t h = c.Open(1, disk, "t1", 1);
    ASSERT_NE(0u, h);
    other.Send(IoRequest(3, 0, h, 0, 512));
    Bytes r = other.Recv(24);
    ASSERT_EQ(24u, r.size());
    EXPECT_EQ(5, Get16(r, 18));
    EXPECT_EQ(0u, Get32(r, 20));
    // A write that would run past the end changes nothing.
    c.Send(WriteRequest(2, h, (1 << 20) - 256));
    EXPECT_EQ(9, c.Status(20));
    EXPECT_TRUE(fctest::ReadWholeFile(disk) == std::string(data.begin(), data.end()));
}

// The token must be a live lease's; the lease's clock is read at the open and again on every
// request of an open handle. (A lease of another file: SocketAgainstCna.LeaseTokenModeAndRanges.)
TEST_F(CnaServerTest, TokensAndLeaseExpiryAreCheckedAtOpenAndOnEveryRequest) {
    fcsim::SLease lease;
    ASSERT_TRUE(state->GetLease("a1", lease));
    const struct {
        const char* szWhat;
        std::string strToken;
        int64_t tNow;  // 0: the real time
        uint16_t nStatus;
    } opens[] = {
        {"a prefix of the token", "t", 0, 3},
        {"no token", "", 0, 3},
        {"the lease's end", "t1", lease.tExpires, 3},
        {"the lease's last second", "t1", lease.tExpires - 1, 0},
    };
    for (const auto& c : opens) {
        fcsim::CSimState::SetNowForTest(c.tNow);
        CRawConn conn(server->Port());
        uint16_t status = 99;
        conn.Open(0, disk, c.strToken, 1, &status);
        EXPECT_EQ(c.nStatus, status) << c.szWhat;
    }
    fcsim::CSimState::SetNowForTest(0);
    CRawConn conn(server->Port());
    const uint32_t h = conn.Open(0, disk, "t1", 1);
    ASSERT_NE(0u, h);
    auto readStatus = [&](uint32_t nSeq) {
        conn.Send(IoRequest(3, nSeq, h, 0, 512));
        Bytes r = conn.Recv(24);
        if (r.size() == 24 && Get16(r, 18) == 0) conn.Recv(512);
        return r.size() == 24 ? Get16(r, 18) : -1;
    };
    EXPECT_EQ(0, readStatus(1));
    fcsim::CSimState::SetNowForTest(lease.tExpires);
    EXPECT_EQ(3, readStatus(2)) << "read after the lease's end";
    conn.Send(WriteRequest(2, h, 0));
    EXPECT_EQ(3, conn.Status(20)) << "write after the lease's end";
    EXPECT_TRUE(fctest::ReadWholeFile(disk) == std::string(data.begin(), data.end()));
    // An extension past the end first read counts; a release counts at once, before the end.
    fcsim::SLease extended = lease;
    extended.tExpires += 100;
    ASSERT_TRUE(state->PutLease(extended));
    EXPECT_EQ(0, readStatus(4)) << "read after the first end of an extended lease";
    fcsim::CSimState::SetNowForTest(0);
    EXPECT_EQ(0, readStatus(5));
    ASSERT_TRUE(state->DeleteLease("a1"));
    EXPECT_EQ(3, readStatus(6)) << "read after the lease was released";
}

TEST_F(CnaServerTest, ServesManyConnectionsAtOnce) {
    constexpr int kClients = 4;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            CRawConn c(server->Port());
            uint32_t h = c.Open(0, disk, "t1", 0);
            if (!h) return;
            bool ok = true;
            for (uint32_t k = 0; k < 50 && ok; ++k) {
                uint64_t off = (uint64_t(i) * 50 + k) * 1024;
                c.Send(IoRequest(3, k + 1, h, off, 1024));
                Bytes r = c.Recv(18 + 6 + 1024);
                ok = r.size() == 1048 && Get32(r, 6) == k + 1 &&
                     std::equal(r.begin() + 24, r.end(), data.begin() + off);
            }
            if (ok) ++good;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(kClients, good.load());
    EXPECT_EQ(uint64_t(kClients), server->Stats().ullConnections);
}

TEST_F(CnaServerTest, StopEndsStalledConnectionsAndStartsOnlyOnce) {
    EXPECT_FALSE(server->Start("127.0.0.1", 0));
    fcsim::SCnaFaultRule stall;
    stall.eAction = fcsim::ECnaFaultAction::Stall;  // for ever
    server->AddFault(stall);
    CRawConn c(server->Port());
    c.Send(OpenRequest(0, disk, "t1", 0));
    server->Stop();  // must not wait for the stall
    EXPECT_TRUE(c.Recv(24).empty());
    server->Stop();

    fcsim::CCnaServer bad(*state);
    EXPECT_FALSE(bad.Start("not-an-address", 0));
}

TEST(CnaFaultRuleText, RoundTripsAndRefusesBadInput) {
    fcsim::SCnaFaultRule rule;
    std::string error;
    // Every field read lands where the text is written from (the defaults' text:
    // CnaFaultTest.RulesAddedListedFiredAndCleared); the read rule at work on the wire:
    // SocketAgainstCna's fault tests.
    const std::string text =
        "op=read nth=4 times=0 from=4096 to=8192 action=error status=7 stall_ms=25";
    ASSERT_TRUE(fcsim::ParseCnaFaultRule(text, rule, error)) << error;
    EXPECT_EQ(fcsim::FormatCnaFaultRule(rule), text);

    // (Duplicate keys and open quotes: KeyValues.RuleLinesQuoteWhatNeedsIt.)
    for (const char* bad : {"op=delete", "status=70000", "nth=-1", "skip=3", "from=10 to=5",
                            "stall", "action=drop junk=1"}) {
        EXPECT_FALSE(fcsim::ParseCnaFaultRule(bad, rule, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(CnaSanExposure, CreatesPlainLunNamesOnly) {
    CTempDir tmp;
    const std::string& root = tmp.Path();
    std::string error;
    // (The devices made for the LUNs: TransportsEndToEnd.SanWritesAreReportedAsChangedBlocks
    // opens a disk through them.)
    EXPECT_TRUE(fcsim::ExposeSanLuns(root + "/dev", {"lun-1", "6005-08b4"}, error)) << error;
    for (const char* bad : {"../evil", ".."})
        EXPECT_FALSE(fcsim::ExposeSanLuns(root + "/dev", {bad}, error)) << bad;
    EXPECT_FALSE(std::filesystem::exists(root + "/evil"));
}

}  // namespace
