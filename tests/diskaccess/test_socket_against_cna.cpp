// The plug-in's CNA client against the simulator's CNA server on loopback: leases, access
// modes, ranges, data round trips, and the server's injected faults.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CnaServer.h"
#include "EvDebug.h"
#include "FusionComputeSocket.h"
#include "SimDisk.h"
#include "SimState.h"
#include "TempDir.h"

namespace {

constexpr uint64_t kDiskSize = 8ull << 20;

class SocketAgainstCna : public ::testing::Test {
protected:
    void SetUp() override {
        state = std::make_unique<fcsim::CSimState>(root.Path());
        original.resize(kDiskSize);
        for (size_t i = 0; i < original.size(); ++i) original[i] = uint8_t((i >> 9) ^ (i * 31));
        disk = fctest::WriteSimDisk(*state, "disk-1", original);
        ASSERT_TRUE(fctest::LeaseSimDisk(*state, "acc-1", "tok-1", "disk-1", true));
        server = std::make_unique<fcsim::CCnaServer>(*state);
        ASSERT_TRUE(server->Start("127.0.0.1", 0));
        ASSERT_TRUE(client.Connect("127.0.0.1", server->Port()));
    }
    void TearDown() override {
        client.Disconnect();
        server->Stop();
        fcsim::CSimState::SetNowForTest(0);
    }
    uint32_t OpenRW() {
        uint32_t handle = 0;
        EXPECT_TRUE(client.OpenRemoteDiskFile(disk, "tok-1", false, handle));
        EXPECT_NE(0u, handle);
        return handle;
    }

    CTempDir root;
    std::unique_ptr<fcsim::CSimState> state;
    std::unique_ptr<fcsim::CCnaServer> server;
    std::string disk;
    std::vector<uint8_t> original;
    CFusionComputeSocket client;
};

TEST_F(SocketAgainstCna, DataWrittenIsReadBackAndTracked) {
    uint32_t h = OpenRW();
    uint64_t before = state->ChangeSeq("disk-1");
    std::vector<uint8_t> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + 5);
    ASSERT_TRUE(client.WriteToRemoteDiskFile(h, 1 << 20, uint32_t(data.size()), data.data()));
    ASSERT_TRUE(client.WriteZeroToRemoteDiskFile(h, 4096, 8192, nullptr));

    std::vector<uint8_t> back(data.size());
    ASSERT_TRUE(client.ReadFromRemoteDiskFile(h, 1 << 20, uint32_t(back.size()), back.data()));
    EXPECT_EQ(data, back);
    std::vector<uint8_t> around(16384);
    ASSERT_TRUE(client.ReadFromRemoteDiskFile(h, 0, uint32_t(around.size()), around.data()));
    EXPECT_TRUE(std::equal(around.begin(), around.begin() + 4096, original.begin()));
    EXPECT_EQ(std::vector<uint8_t>(8192, 0),
              std::vector<uint8_t>(around.begin() + 4096, around.begin() + 12288));
    EXPECT_TRUE(std::equal(around.begin() + 12288, around.end(), original.begin() + 12288));

    auto writes = state->WritesBetween("disk-1", before, state->ChangeSeq("disk-1"));
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(1u << 20, writes[0].ullOffset);
    EXPECT_EQ(1u << 20, writes[0].ullLength);
    EXPECT_EQ(4096u, writes[1].ullOffset);
    EXPECT_EQ(8192u, writes[1].ullLength);

    EXPECT_TRUE(client.CloseRemoteDiskFile(h));
    EXPECT_EQ(0u, server->Stats().ullOpenHandles);
}

TEST_F(SocketAgainstCna, LeaseTokenAndModeAreChecked) {
    EvLogCapture capture;
    uint32_t h = 0;
    EXPECT_FALSE(client.OpenRemoteDiskFile(disk, "not-the-token", true, h));
    EXPECT_TRUE(capture.Contains("Open disk failed - 3"));
    EXPECT_FALSE(client.OpenRemoteDiskFile(disk + ".other", "tok-1", true, h));
    EXPECT_TRUE(capture.Contains("Open disk failed - 2"));

    ASSERT_TRUE(fctest::LeaseSimDisk(*state, "acc-ro", "tok-ro", "disk-1", false));
    EXPECT_FALSE(client.OpenRemoteDiskFile(disk, "tok-ro", false, h));
    EXPECT_TRUE(capture.Contains("Open disk failed - 4"));
    ASSERT_TRUE(client.OpenRemoteDiskFile(disk, "tok-ro", true, h));
    std::vector<uint8_t> buf(512, 1);
    EXPECT_FALSE(client.WriteToRemoteDiskFile(h, 0, 512, buf.data()));
    EXPECT_TRUE(capture.Contains("write disk failed - 10"));

    // Ranges: past the end, and starting at the end.
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, kDiskSize - 512, 1024, buf.data()));
    EXPECT_TRUE(capture.Contains("Read disk failed - 7"));
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, kDiskSize, 512, buf.data()));
    EXPECT_TRUE(capture.Contains("Read disk failed - 6"));
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h + 1000, 0, 512, buf.data()));
    EXPECT_TRUE(capture.Contains("Read disk failed - 5"));
}

TEST_F(SocketAgainstCna, ExpiredLeaseIsRefusedAtOpenAndMidSession) {
    fcsim::SLease lease;
    ASSERT_TRUE(state->GetLease("acc-1", lease));
    uint32_t h = 0;
    ASSERT_TRUE(client.OpenRemoteDiskFile(disk, "tok-1", true, h));
    std::vector<uint8_t> buf(512);
    ASSERT_TRUE(client.ReadFromRemoteDiskFile(h, 0, 512, buf.data()));

    fcsim::CSimState::SetNowForTest(lease.tExpires);
    EvLogCapture capture;
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, 0, 512, buf.data()));
    EXPECT_TRUE(capture.Contains("Read disk failed - 3"));
    uint32_t h2 = 0;
    EXPECT_FALSE(client.OpenRemoteDiskFile(disk, "tok-1", true, h2));
    EXPECT_TRUE(capture.Contains("Open disk failed - 3"));

    // A released lease ends access just the same.
    fcsim::CSimState::SetNowForTest(0);
    ASSERT_TRUE(state->DeleteLease("acc-1"));
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, 0, 512, buf.data()));
}

TEST_F(SocketAgainstCna, InjectedFaultsFailTheRightRequest) {
    uint32_t h = 0;
    ASSERT_TRUE(client.OpenRemoteDiskFile(disk, "tok-1", true, h));
    std::vector<uint8_t> buf(4096);
    EvLogCapture capture;

    fcsim::SCnaFaultRule shortRead;
    shortRead.eOp = fcsim::ECnaOp::Read;
    shortRead.eAction = fcsim::ECnaFaultAction::ShortLength;
    server->AddFault(shortRead);
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));
    EXPECT_TRUE(capture.Contains("Read disk size mismatch - expected [4096] received [2048]"));

    server->ClearFaults();
    ASSERT_TRUE(client.Connect("127.0.0.1", server->Port()));
    ASSERT_TRUE(client.OpenRemoteDiskFile(disk, "tok-1", true, h));
    fcsim::SCnaFaultRule status;
    status.eOp = fcsim::ECnaOp::Read;
    status.ullFrom = 1 << 20;
    status.ullTo = 2 << 20;
    status.eAction = fcsim::ECnaFaultAction::ErrorStatus;
    status.nStatus = 8;
    server->AddFault(status);
    EXPECT_TRUE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));  // outside the range
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, (1 << 20) + 4096, 4096, buf.data()));
    EXPECT_TRUE(capture.Contains("Read disk failed - 8"));
    EXPECT_TRUE(client.ReadFromRemoteDiskFile(h, (1 << 20) + 4096, 4096, buf.data()));  // once

    fcsim::SCnaFaultRule drop;
    drop.eOp = fcsim::ECnaOp::Any;
    drop.window.nNth = 3;
    drop.eAction = fcsim::ECnaFaultAction::DropConnection;
    server->AddFault(drop);
    EXPECT_TRUE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));
    EXPECT_TRUE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));
    EXPECT_TRUE(capture.Contains("Failed to recv response header - ")) << capture.Dump();
}

TEST_F(SocketAgainstCna, StalledServerRunsIntoTheReceiveTimeout) {
    uint32_t h = 0;
    ASSERT_TRUE(client.OpenRemoteDiskFile(disk, "tok-1", true, h));
    fcsim::SCnaFaultRule stall;
    stall.eOp = fcsim::ECnaOp::Read;
    stall.eAction = fcsim::ECnaFaultAction::Stall;  // until the connection goes away
    server->AddFault(stall);
    client.SetTimeouts(1000, 1000, 200);
    EvLogCapture capture;
    std::vector<uint8_t> buf(512);
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, 0, 512, buf.data()));
    EXPECT_TRUE(capture.Contains("Failed to recv response header - ")) << capture.Dump();
}

}  // namespace
