// The plug-in's CNA client, and the backup SDK's LAN client, against the simulator's CNA server.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "../sdk/SdkUnderTest.h"
#include "CnaServer.h"
#include "EvDebug.h"
#include "FusionComputeSocket.h"
#include "Ranges.h"
#include "SimDisk.h"
#include "SimState.h"
#include "TempDir.h"

namespace {

constexpr uint64_t kDiskSize = 8ull << 20;

fcsim::SCnaFaultRule Rule(const std::string& text) {
    fcsim::SCnaFaultRule rule;
    std::string error;
    EXPECT_TRUE(fcsim::ParseCnaFaultRule(text, rule, error)) << error;
    return rule;
}

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
    CTempDir root;
    std::unique_ptr<fcsim::CSimState> state;
    std::unique_ptr<fcsim::CCnaServer> server;
    std::string disk;
    std::vector<uint8_t> original;
    CFusionComputeSocket client;
};

TEST_F(SocketAgainstCna, DataWrittenIsReadBackAndTracked) {
    uint32_t h = 0;
    ASSERT_TRUE(client.OpenRemoteDiskFile(disk, "tok-1", false, h));
    uint64_t before = state->ChangeSeq("disk-1");
    std::vector<uint8_t> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + 5);
    ASSERT_TRUE(client.WriteToRemoteDiskFile(h, 1 << 20, uint32_t(data.size()), data.data()));
    ASSERT_TRUE(client.WriteZeroToRemoteDiskFile(h, 4096, 8192, nullptr));

    std::vector<uint8_t> back(data.size());
    ASSERT_TRUE(client.ReadFromRemoteDiskFile(h, 1 << 20, uint32_t(back.size()), back.data()));
    EXPECT_EQ(data, back);
    std::vector<uint8_t> around(16384), expected(original.begin(), original.begin() + 16384);
    std::fill(expected.begin() + 4096, expected.begin() + 12288, 0);
    ASSERT_TRUE(client.ReadFromRemoteDiskFile(h, 0, uint32_t(around.size()), around.data()));
    EXPECT_EQ(expected, around);

    EXPECT_EQ(
        (Ranges{{1 << 20, 1 << 20}, {4096, 8192}}),
        OffsetsAndLengths(state->WritesBetween("disk-1", before, state->ChangeSeq("disk-1"))));
}

// The server's answers to refused opens and requests reach the client as failures, each with
// its status, and the stream stays in step after them. (The lease's expiry: sim_cna's
// CnaServerTest.TokensAndLeaseExpiryAreCheckedAtOpenAndOnEveryRequest.)
TEST_F(SocketAgainstCna, LeaseTokenModeAndRangesAreChecked) {
    ASSERT_TRUE(fctest::LeaseSimDisk(*state, "acc-ro", "tok-ro", "disk-1", false));
    EvLogCapture capture;
    uint32_t h = 0;
    const struct {
        std::string strPath, strToken;
        bool bReadOnly;
        const char* szMessage;
    } refusals[] = {{disk, "not-the-token", true, "Open disk failed - 3"},
                    {disk + ".other", "tok-1", true, "Open disk failed - 2"},
                    {disk, "tok-ro", false, "Open disk failed - 4"}};
    for (const auto& c : refusals) {
        EXPECT_FALSE(client.OpenRemoteDiskFile(c.strPath, c.strToken, c.bReadOnly, h));
        EXPECT_TRUE(capture.Contains(c.szMessage)) << c.szMessage;
    }
    EXPECT_TRUE(capture.Contains("OpenDisk result [3] File Handle [0] "));
    ASSERT_TRUE(client.OpenRemoteDiskFile(disk, "tok-ro", true, h));
    std::vector<uint8_t> buf(1024, 1);
    EXPECT_FALSE(client.WriteToRemoteDiskFile(h, 0, 512, buf.data()));
    EXPECT_FALSE(client.WriteZeroToRemoteDiskFile(h, 0, 512, nullptr));
    EXPECT_EQ(2u, capture.Count("write disk failed - 10"));
    // Past the end, starting at the end, and an unknown handle.
    const struct {
        uint32_t nHandle;
        uint64_t ullOffset;
        uint32_t nLength;
        const char* szMessage;
    } reads[] = {{h, kDiskSize - 512, 1024, "Read disk failed - 7"},
                 {h, kDiskSize, 512, "Read disk failed - 6"},
                 {h + 1000, 0, 512, "Read disk failed - 5"}};
    for (const auto& c : reads) {
        EXPECT_FALSE(client.ReadFromRemoteDiskFile(c.nHandle, c.ullOffset, c.nLength, buf.data()));
        EXPECT_TRUE(capture.Contains(c.szMessage)) << c.szMessage;
    }
    // A released lease ends the access of a handle opened under it.
    ASSERT_TRUE(client.ReadFromRemoteDiskFile(h, 0, 512, buf.data()));
    ASSERT_TRUE(state->DeleteLease("acc-ro"));
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, 0, 512, buf.data()));
}

TEST_F(SocketAgainstCna, InjectedFaultsFailTheRightRequest) {
    uint32_t h = 0;
    // A fresh connection with the disk open, the faults of the connection before cleared.
    auto reconnect = [&] {
        server->ClearFaults();
        ASSERT_TRUE(client.Connect("127.0.0.1", server->Port()));
        ASSERT_TRUE(client.OpenRemoteDiskFile(disk, "tok-1", true, h));
    };
    ASSERT_TRUE(client.OpenRemoteDiskFile(disk, "tok-1", true, h));
    std::vector<uint8_t> buf(4096);
    EvLogCapture capture;

    // A short answer, and one to another request: the read fails, the buffer stays alone. The
    // sequence numbers keep counting on the next connection.
    server->AddFault(Rule("op=read action=short"));
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));
    EXPECT_TRUE(capture.Contains("Read disk size mismatch - expected [4096] received [2048]"));
    reconnect();
    server->AddFault(Rule("op=read action=wrongseq"));
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));
    EXPECT_TRUE(capture.Contains("Sequence number mismatch - expected [3] received [4]"));
    EXPECT_EQ(std::vector<uint8_t>(4096, 0), buf) << "neither answer was copied";

    reconnect();
    server->AddFault(Rule("op=read from=1048576 to=2097152 action=error status=8"));
    EXPECT_TRUE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));  // outside the range
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, (1 << 20) + 4096, 4096, buf.data()));
    EXPECT_TRUE(capture.Contains("Read disk failed - 8"));
    EXPECT_TRUE(client.ReadFromRemoteDiskFile(h, (1 << 20) + 4096, 4096, buf.data()));  // once

    server->AddFault(Rule("op=any nth=3 action=drop"));
    EXPECT_TRUE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));
    EXPECT_TRUE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, 0, 4096, buf.data()));
    EXPECT_TRUE(capture.Contains("Failed to recv response header - ")) << capture.Dump();

    // A stalled server runs into the receive timeout.
    reconnect();
    server->AddFault(Rule("op=read action=stall"));  // until the connection goes away
    client.SetTimeouts(1000, 1000, 200);
    capture.Clear();
    EXPECT_FALSE(client.ReadFromRemoteDiskFile(h, 0, 512, buf.data()));
    EXPECT_TRUE(capture.Contains("Failed to recv response header - ")) << capture.Dump();
}

// The backup SDK's LAN transport reports the CNA's refusals and faults as failures. (Its data
// over LAN: the backups and restores with the backup SDK in plugin/test_flows_e2e.)
TEST_F(SocketAgainstCna, BackupSdkOverLanFailsOnRefusalsAndFaults) {
    SSdkUnderTest sdk;
    ASSERT_NE(nullptr, sdk.pLibrary) << dlerror();
    void* inst = sdk.NXFusionSphereSDK_CreateInstance(1);
    ASSERT_TRUE(
        sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", server->Port(), "wrong-token", 0, ""));
    uint32_t h = 0;
    EXPECT_FALSE(sdk.NXFusionSphereSDK_OpenDisk(inst, nullptr, disk.c_str(), 0, &h, 1));
    EXPECT_TRUE(SSdkUnderTest::ErrorContains("status 3")) << SSdkUnderTest::AllErrors();
    sdk.NXFusionSphereSDK_DestroyInstance(inst);

    inst = sdk.NXFusionSphereSDK_CreateInstance(1);
    ASSERT_TRUE(
        sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", server->Port(), "tok-1", 0, ""));
    ASSERT_TRUE(sdk.NXFusionSphereSDK_OpenDisk(inst, nullptr, disk.c_str(), 0, &h, 1));
    server->AddFault(Rule("op=read action=wrongseq"));
    std::vector<uint8_t> buf(4096);
    uint64_t count = buf.size();
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 0, buf.size(), buf.data(), &count));
    EXPECT_TRUE(SSdkUnderTest::ErrorContains("CNA answered sequence"));
    // The connection was dropped: the next read fails at once instead of reading stale bytes.
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ReadDisk(inst, h, 0, buf.size(), buf.data(), &count));
    sdk.NXFusionSphereSDK_DestroyInstance(inst);

    // Nothing listens on a stopped server.
    const uint16_t port = server->Port();
    server->Stop();
    inst = sdk.NXFusionSphereSDK_CreateInstance(1);
    EXPECT_FALSE(sdk.NXFusionSphereSDK_ConnectCNA(inst, "127.0.0.1", port, "tok-1", 0, ""));
    sdk.NXFusionSphereSDK_DestroyInstance(inst);
}

}  // namespace
