// Copy-on-write snapshots of disk files: a snapshot keeps its content while the live disk is
// written, beside other snapshots, after one is deleted, across a new state object (a restart)
// and once made whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "DiskCow.h"
#include "DiskFiles.h"
#include "DiskWatch.h"
#include "TempDir.h"

namespace {

constexpr uint64_t kBlock = fcsim::kCbtBlockBytes;
constexpr uint64_t kDisk = 64 * kBlock;

class CCowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_state = std::make_unique<fcsim::CSimState>(m_dir.File("state"));
        std::string err;
        ASSERT_TRUE(fcsim::CreateSparseFile(m_state->DiskPath("d"), kDisk, err)) << err;
        Write(0, std::string(kBlock + 100, 'a'));  // block 0 and a piece of block 1
        Write(10 * kBlock, std::string(kBlock, 'b'));
    }
    void Write(uint64_t off, const std::string& data) {
        std::string err;
        ASSERT_TRUE(fcsim::CDiskCow(*m_state, "d")
                        .WriteLive(
                            off, data.size(),
                            [&] { return fcsim::WriteAt(m_state->DiskPath("d"), off, data, err); },
                            err))
            << err;
    }
    // The snapshot's folder, as the management service makes it.
    std::string Folder(const std::string& snap) {
        std::filesystem::create_directories(m_state->Root() + "/snapshots/" + snap);
        return snap;
    }
    void Take(const std::string& snap) {
        Folder(snap);
        std::string err;
        ASSERT_TRUE(fcsim::CDiskCow(*m_state, "d").Take(snap, err)) << err;
    }
    std::string Live() const { return fctest::ReadWholeFile(m_state->DiskPath("d")); }
    std::string Frozen(const std::string& snap) const {
        std::string out, err;
        EXPECT_TRUE(
            fcsim::ReadFrozen(*m_state, "d", m_state->SnapshotDiskPath(snap, "d"), out, err))
            << err;
        return out;
    }
    std::vector<std::pair<uint64_t, uint64_t>> Extents(const std::string& snap) const {
        fcsim::CFrozenDisk disk(*m_state, "d", m_state->SnapshotDiskPath(snap, "d"));
        std::vector<std::pair<uint64_t, uint64_t>> out;
        std::string err;
        EXPECT_TRUE(disk.Open(err) && disk.Extents(out, err)) << err;
        return out;
    }

    CTempDir m_dir;
    std::unique_ptr<fcsim::CSimState> m_state;
};

TEST_F(CCowFixture, WritesAfterTheSnapshotLeaveItsContentAndHoles) {
    const std::string before = Live();
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    std::string err;
    ASSERT_TRUE(fcsim::DataExtents(m_state->DiskPath("d"), extents, err)) << err;
    Take("s1");
    // The snapshot starts empty: nothing is copied until a block is about to change.
    EXPECT_TRUE(fctest::ReadWholeFile(m_state->SnapshotDiskPath("s1", "d")) ==
                std::string(kDisk, 0));
    Write(kBlock + 50, std::string(kBlock, 'x'));  // blocks 1 and 2; block 2 was a hole
    Write(40 * kBlock, std::string(10, 'y'));      // a hole
    EXPECT_TRUE(Frozen("s1") == before);
    EXPECT_TRUE(Live() != before);
    EXPECT_EQ(Live().substr(kBlock + 50, kBlock), std::string(kBlock, 'x'));
    // The allocated regions are those of the disk when it was frozen.
    EXPECT_EQ(Extents("s1"), extents);
    EXPECT_EQ(extents.size(), 2u);
}

TEST_F(CCowFixture, EachOfTwoSnapshotsKeepsItsOwnPoint) {
    const std::string first = Live();
    Take("s1");
    Write(0, std::string(10, 'x'));
    const std::string second = Live();
    Take("s2");
    Write(0, std::string(20, 'z'));           // shared by neither any more
    Write(10 * kBlock, std::string(5, 'w'));  // still shared by both
    EXPECT_TRUE(Frozen("s1") == first);
    EXPECT_TRUE(Frozen("s2") == second);
    EXPECT_EQ(Live().substr(0, 20), std::string(20, 'z'));
}

TEST_F(CCowFixture, ForgettingOneSnapshotLeavesTheOtherAndTheLiveDisk) {
    const std::string first = Live();
    Take("s1");
    Take("s2");
    fcsim::CDiskCow(*m_state, "d").Forget("s1");
    EXPECT_EQ(fcsim::CDiskCow(*m_state, "d").Snapshots(), std::vector<std::string>{"s2"});
    Write(0, std::string(kBlock, 'q'));
    EXPECT_TRUE(Frozen("s2") == first);
    EXPECT_EQ(Live().substr(0, kBlock), std::string(kBlock, 'q'));
    EXPECT_EQ(Live().substr(10 * kBlock, kBlock), std::string(kBlock, 'b'));
}

TEST_F(CCowFixture, AFreshStateOverTheFolderStillKeepsTheFrozenBlocks) {
    const std::string first = Live();
    Take("s1");
    Write(0, std::string(3, 'r'));
    m_state = std::make_unique<fcsim::CSimState>(m_dir.File("state"));  // as after a restart
    Write(10 * kBlock, std::string(3, 'r'));
    EXPECT_TRUE(Frozen("s1") == first);
}

TEST_F(CCowFixture, AMaterializedSnapshotIsAWholeFileThatWritesNoLongerTouch) {
    const std::string first = Live();
    Take("s1");
    Write(0, std::string(3, 'm'));
    std::string err;
    ASSERT_TRUE(fcsim::CDiskCow(*m_state, "d").Materialize("s1", err)) << err;
    EXPECT_TRUE(fcsim::CDiskCow(*m_state, "d").Snapshots().empty());
    Write(10 * kBlock, std::string(kBlock, 'n'));
    EXPECT_TRUE(fctest::ReadWholeFile(m_state->SnapshotDiskPath("s1", "d")) == first);
    EXPECT_TRUE(Frozen("s1") == first);
}

// A reader keeps its handle across requests, as the CNA server does: between two reads the
// disk's writers must get their lock (a read that kept it would hang this test), and what
// they change and make whole meanwhile must not show through.
TEST_F(CCowFixture, AnOpenReaderSeesTheFrozenBlocksAcrossWritesAndMaterialization) {
    const std::string first = Live();
    Take("s1");
    fcsim::CFrozenDisk disk(*m_state, "d", m_state->SnapshotDiskPath("s1", "d"));
    std::string err, got(2 * kBlock, '\0');
    ASSERT_TRUE(disk.Open(err)) << err;
    ASSERT_TRUE(disk.CopyOnWrite());
    auto read = [&](uint64_t off) {
        EXPECT_TRUE(disk.Read(off, got.size(), &got[0], err)) << err;
        return got == first.substr(off, got.size());
    };
    EXPECT_TRUE(read(0));
    Write(kBlock / 2, std::string(kBlock, 'x'));  // blocks 0 and 1
    EXPECT_TRUE(read(0));
    EXPECT_TRUE(read(9 * kBlock));
    ASSERT_TRUE(fcsim::CDiskCow(*m_state, "d").Materialize("s1", err)) << err;
    Write(10 * kBlock, std::string(kBlock, 'y'));
    EXPECT_TRUE(read(9 * kBlock));
    EXPECT_TRUE(read(0));
}

TEST_F(CCowFixture, AWriterAroundTheSimulatorGetsWholeSnapshotsOnly) {
    const std::string first = Live();
    Take("s1");
    fcsim::CDiskWatch watch(*m_state);
    std::string err;
    ASSERT_TRUE(watch.Begin("d", "fsvol", err)) << err;
    EXPECT_TRUE(fcsim::CDiskCow(*m_state, "d").Snapshots().empty());
    ASSERT_TRUE(watch.Freeze("d", Folder("s2"), true, err)) << err;  // while watched: a whole copy
    EXPECT_TRUE(fcsim::CDiskCow(*m_state, "d").Snapshots().empty());
    ASSERT_TRUE(fcsim::WriteAt(m_state->DiskPath("d"), 0, std::string(kBlock, 'v'), err)) << err;
    EXPECT_TRUE(fctest::ReadWholeFile(m_state->SnapshotDiskPath("s1", "d")) == first);
    EXPECT_TRUE(fctest::ReadWholeFile(m_state->SnapshotDiskPath("s2", "d")) == first);
    ASSERT_TRUE(watch.End("d", "fsvol", err)) << err;
    ASSERT_TRUE(watch.Freeze("d", Folder("s3"), true, err))
        << err;  // unwatched again: copy-on-write
    EXPECT_EQ(fcsim::CDiskCow(*m_state, "d").Snapshots(), std::vector<std::string>{"s3"});
}

}  // namespace
