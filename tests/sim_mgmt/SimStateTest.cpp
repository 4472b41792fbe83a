// The shared state folder's records and change journal, and the disk watch.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <vector>

#include "DiskFiles.h"
#include "DiskWatch.h"
#include "SimState.h"
#include "TempDir.h"

using fcsim::CSimState;

namespace {

using RowsT = std::vector<std::tuple<uint64_t, uint64_t, uint64_t>>;

// Journal entries as (sequence, offset, length).
RowsT Rows(const std::vector<fcsim::SWrite>& w) {
    RowsT out;
    for (const fcsim::SWrite& e : w) out.emplace_back(e.ullSeq, e.ullOffset, e.ullLength);
    return out;
}

// A lease's fields as the state keeps them: CDiskFixture.DiskAccessLeasesPrepareExtendExpireRelease
// reads every one back (and a value with '=' in it: KeyValues.RecordsTakeTheRestOfTheLine...).
TEST(SimState, LeaseAndFsSnapshotRoundTripAndHostileNames) {
    CTempDir dir;
    CSimState st(dir.Path());
    fcsim::SLease l, got;
    l.strAccessID = "a1";
    ASSERT_TRUE(st.PutLease(l));
    EXPECT_TRUE(st.DeleteLease("a1"));
    EXPECT_FALSE(st.GetLease("a1", got));
    EXPECT_FALSE(st.DeleteLease("a1"));
    for (const char* bad : {"", "..", "../x", "a/b", ".hidden"}) {
        l.strAccessID = bad;
        EXPECT_FALSE(st.PutLease(l)) << bad;
        EXPECT_FALSE(st.GetLease(bad, got)) << bad;
    }
    l.strAccessID = "a2";
    l.strToken = "x\nexpires=99999999999";  // a newline would forge a field
    EXPECT_FALSE(st.PutLease(l));

    fcsim::SFsSnapshot s;
    s.strName = "fs-snap-1";
    s.strDiskID = "d1";
    s.strPath = "/p";
    s.ullChangeSeq = 7;
    s.ullSize = 1ull << 33;
    ASSERT_TRUE(st.PutFsSnapshot(s));
    fcsim::SFsSnapshot gs;
    ASSERT_TRUE(st.GetFsSnapshot("fs-snap-1", gs));
    EXPECT_EQ(std::tie(gs.strName, gs.strDiskID, gs.strPath, gs.ullChangeSeq, gs.ullSize),
              std::tie(s.strName, s.strDiskID, s.strPath, s.ullChangeSeq, s.ullSize));
    EXPECT_TRUE(st.DeleteFsSnapshot("fs-snap-1"));
    EXPECT_FALSE(st.GetFsSnapshot("fs-snap-1", gs));
}

TEST(SimState, JournalNumbersWritesAndAnswersRanges) {
    CTempDir dir;
    CSimState st(dir.Path());
    EXPECT_EQ(st.ChangeSeq("d1"), 0u);
    EXPECT_EQ(st.MarkWritten("d1", 0, 512), 1u);
    EXPECT_EQ(st.MarkWritten("d1", 65536, 10), 2u);
    EXPECT_EQ(st.MarkWritten("d2", 5, 5), 1u);  // each disk has its own history
    EXPECT_EQ(st.MarkWritten("d1", 1ull << 40, 4096), 3u);
    EXPECT_EQ(st.ChangeSeq("d1"), 3u);

    EXPECT_EQ(Rows(st.WritesBetween("d1", 1, 3)), (RowsT{{2, 65536, 10}, {3, 1ull << 40, 4096}}));
    EXPECT_TRUE(st.WritesBetween("d1", 3, 3).empty());
    EXPECT_TRUE(st.WritesBetween("d1", 3, 1).empty());
    EXPECT_EQ(st.WritesBetween("d1", 0, 1).size(), 1u);

    // A second handle on the same folder (another process, in effect) sees the same history.
    CSimState other(dir.Path());
    EXPECT_EQ(other.ChangeSeq("d1"), 3u);
    EXPECT_TRUE(st.DropJournal("d1"));
    EXPECT_EQ(other.ChangeSeq("d1"), 0u);
    EXPECT_EQ(st.MarkWritten("../evil", 0, 1), 0u);
}

TEST(SimState, ConcurrentWritersGetDistinctPositions) {
    CTempDir dir;
    CSimState a(dir.Path()), b(dir.Path());
    auto run = [](CSimState* s) {
        for (int i = 0; i < 200; ++i) s->MarkWritten("d", static_cast<uint64_t>(i), 1);
    };
    std::thread t1(run, &a), t2(run, &b);
    t1.join();
    t2.join();
    EXPECT_EQ(a.ChangeSeq("d"), 400u);
    auto w = a.WritesBetween("d", 0, 400);
    ASSERT_EQ(w.size(), 400u);
    for (size_t i = 0; i < w.size(); ++i) EXPECT_EQ(w[i].ullSeq, i + 1);
}

TEST(SimState, NowOverride) {
    CSimState::SetNowForTest(12345);
    EXPECT_EQ(CSimState::Now(), 12345);
    CSimState::SetNowForTest(0);
    EXPECT_GT(CSimState::Now(), 1600000000);
}

// A restore's writer dies with the disk watched: once its lease has run out, the next fold
// journals exactly the chunks whose content it changed and ends the watch.
TEST(DiskWatch, ExpiredWriterIsFoldedAndLetGo) {
    CTempDir dir;
    CSimState st(dir.Path());
    const uint64_t chunk = fcsim::CDiskWatch::c_ullChunkBytes;
    std::string err;
    auto put = [&](uint64_t offset, const std::string& bytes) {
        ASSERT_TRUE(fcsim::WriteAt(st.DiskPath("d1"), offset, bytes, err)) << err;
    };
    ASSERT_TRUE(fcsim::CreateSparseFile(st.DiskPath("d1"), 16 * chunk, err)) << err;
    put(0, std::string(chunk, 'a'));
    put(5 * chunk, "data");
    fcsim::SLease l;
    l.strAccessID = "a1";
    l.tExpires = CSimState::Now() + 100;
    ASSERT_TRUE(st.PutLease(l));
    fcsim::CDiskWatch watch(st);
    ASSERT_TRUE(watch.Begin("d1", fcsim::CDiskWatch::LeaseHolder("a1"), err)) << err;

    put(0, std::string(chunk, 'a'));  // as it was
    put(3 * chunk + 7, "x");
    put(5 * chunk, std::string(4, '\0'));       // back to zeros
    ASSERT_TRUE(watch.Fold("d2", err)) << err;  // not watched: nothing to do
    CSimState::SetNowForTest(l.tExpires + 1);
    ASSERT_TRUE(watch.Fold("d1", err)) << err;
    CSimState::SetNowForTest(0);
    EXPECT_EQ(Rows(st.WritesBetween("d1", 0, st.ChangeSeq("d1"))),
              (RowsT{{1, 3 * chunk, chunk}, {2, 5 * chunk, chunk}}));
    EXPECT_FALSE(watch.Watched("d1"));
}

}  // namespace
