#include <sys/stat.h>

#include "RepoTestUtil.h"

namespace {
const uint64_t kSizeA = 10 * kTestChunk + 12345;  // the last chunk is partial
const uint64_t kSizeB = 6 * kTestChunk;

struct SPoint {
    std::string strId, strA, strB;
};
}  // namespace

// A full backup of a two-disk VM and two incrementals, the extents starting and ending inside
// chunks. Every point reads and exports as the source was; reads beyond a disk or of a disk
// that is not there are refused; after a prune, the kept backup still reads back.
TEST_F(CRepoTest, EveryPointReadsAndExportsAsTheSourceAndPruneKeepsTheLast) {
    std::mt19937 rng(7);
    std::string strA(kSizeA, '\0'), strB(kSizeB, '\0');
    // Disk A leaves chunk 4 all zero; disk B is written in odd-sized pieces.
    std::vector<SExtent> vecA = {{0, 4 * kTestChunk}, {5 * kTestChunk, kSizeA - 5 * kTestChunk}};
    std::vector<SExtent> vecB;
    for (uint64_t o = 0; o < kSizeB; o += 40000)
        vecB.push_back({o, static_cast<size_t>(std::min<uint64_t>(40000, kSizeB - o))});
    Scribble(strA, vecA, rng);
    Scribble(strB, vecB, rng);
    std::vector<SPoint> vecPoints;
    vecPoints.push_back({Backup({{"a", &strA}, {"b", &strB}}, {vecA, vecB}), strA, strB});
    const std::vector<std::vector<SExtent>> vecChanges = {
        {{100, 7}, {3 * kTestChunk - 10, 20}, {kSizeA - 5, 5}},
        {{4 * kTestChunk + 1000, 3000}, {2 * kTestChunk, kTestChunk + 1}}};
    const std::vector<SExtent> vecBChanges = {{kTestChunk + 333, 2 * kTestChunk}};
    for (const auto& vecChange : vecChanges) {
        Scribble(strA, vecChange, rng);
        Scribble(strB, vecBChanges, rng);
        vecPoints.push_back(
            {Backup({{"a", &strA}, {"b", &strB}}, {vecChange, vecBChanges}, vecPoints.back().strId),
             strA, strB});
    }

    std::vector<SBackupInfo> vecList;
    ASSERT_TRUE(m_pRepo->ListBackups(vecList, strError)) << strError;
    ASSERT_EQ(vecList.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(vecList[i].strId, vecPoints[i].strId);
        EXPECT_EQ(vecList[i].eKind, i == 0 ? EBackupKind::Full : EBackupKind::Incremental);
        EXPECT_EQ(vecList[i].strParentId, i == 0 ? "" : vecPoints[i - 1].strId);
        EXPECT_EQ(vecList[i].vm.jInfo.at("disks"), 2);
    }
    for (const SPoint& point : vecPoints) {
        EXPECT_TRUE(ReadDisk(point.strId, "a", kSizeA) == point.strA);
        EXPECT_TRUE(ReadDisk(point.strId, "b", kSizeB) == point.strB);
        std::unique_ptr<CBackupReader> pReader;
        ASSERT_TRUE(m_pRepo->OpenBackup(point.strId, pReader, strError)) << strError;
        // A range that starts and ends inside chunks, across three of them.
        std::string strSlice(2 * kTestChunk + 2, '\0');
        ASSERT_TRUE(
            pReader->ReadAt("a", kTestChunk - 1, strSlice.data(), strSlice.size(), strError));
        EXPECT_TRUE(strSlice == point.strA.substr(kTestChunk - 1, strSlice.size()));
        EXPECT_FALSE(pReader->ReadAt("a", kSizeA, strSlice.data(), 1, strError));
        EXPECT_FALSE(pReader->ReadAt("c", 0, strSlice.data(), 1, strError));
        EXPECT_NE(strError.find("no disk c"), std::string::npos);
        const std::string strFile = m_dir.File(point.strId + ".raw");
        ASSERT_TRUE(pReader->ExportDisk("a", strFile, strError)) << strError;
        EXPECT_TRUE(fctest::ReadWholeFile(strFile) == point.strA);
        SVerifyReport report;
        EXPECT_TRUE(pReader->Verify(report));
        EXPECT_GT(report.ullChunksChecked, 10u);
    }

    const size_t nChunksBefore = ChunkFiles().size();
    SGcReport report;
    ASSERT_TRUE(m_pRepo->Prune("guid-vm1", 1, report, strError)) << strError;
    EXPECT_EQ(report.ullBackupsRemoved, 2u);
    EXPECT_GT(report.ullChunksRemoved, 0u);
    EXPECT_EQ(ChunkFiles().size(), nChunksBefore - report.ullChunksRemoved);
    ASSERT_TRUE(m_pRepo->ListBackups(vecList, strError));
    ASSERT_EQ(vecList.size(), 1u);
    EXPECT_EQ(vecList[0].strId, vecPoints[2].strId);
    EXPECT_TRUE(ReadDisk(vecPoints[2].strId, "a", kSizeA) == vecPoints[2].strA);
    EXPECT_TRUE(ReadDisk(vecPoints[2].strId, "b", kSizeB) == vecPoints[2].strB);
    std::unique_ptr<CBackupReader> pReader;
    EXPECT_FALSE(m_pRepo->OpenBackup(vecPoints[0].strId, pReader, strError));
}

// The writer reuses its chunk buffers, which still hold earlier chunks' bytes: a chunk written
// in part must read zero in its gaps. A chunk reopened after it was stored (the caller went
// back) builds on what was stored, whose hash another thread may still be taking.
TEST_F(CRepoTest, ChunksWrittenInPiecesAndOutOfOrderReadBackWithZeroGaps) {
    const uint64_t c = kTestChunk;
    std::string strImage(12 * c, '\0');
    std::vector<SExtent> vecExtents;
    for (uint64_t o = 0; o < 6 * c; o += c / 4) vecExtents.push_back({o, c / 4});
    const std::vector<SExtent> vecOdd = {
        {6 * c + 100, 100}, {6 * c + 5000, 1000}, {7 * c + c / 2, c / 2}, {8 * c, c},
        {7 * c, 10},        {8 * c + 7, 3000},    {11 * c - 1, 1}};
    vecExtents.insert(vecExtents.end(), vecOdd.begin(), vecOdd.end());
    std::mt19937 rng(11);
    Scribble(strImage, vecExtents, rng);
    const std::string strId = Backup({{"d", &strImage}}, {vecExtents});
    EXPECT_TRUE(ReadDisk(strId, "d", strImage.size()) == strImage);
}

TEST_F(CRepoTest, ZeroChunksAreNotStoredAndExportAsHoles) {
    std::string strImage(4 * kTestChunk, '\0');
    strImage[2 * kTestChunk + 5] = 'x';
    // The caller writes all of it, zeros included.
    const std::string strId = Backup({{"d", &strImage}}, {{{0, strImage.size()}}});
    EXPECT_EQ(ChunkFiles().size(), 1u);
    EXPECT_TRUE(ReadDisk(strId, "d", strImage.size()) == strImage);
    std::unique_ptr<CBackupReader> pReader;
    ASSERT_TRUE(m_pRepo->OpenBackup(strId, pReader, strError));
    const std::string strFile = m_dir.File("d.raw");
    ASSERT_TRUE(pReader->ExportDisk("d", strFile, strError)) << strError;
    EXPECT_TRUE(fctest::ReadWholeFile(strFile) == strImage);
    struct stat st;
    ASSERT_EQ(::stat(strFile.c_str(), &st), 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 2 * kTestChunk);
}

TEST_F(CRepoTest, CompressedChunksRoundTripAndARawBackupStaysRaw) {
    CreateRepo(true);
    std::string strImage(3 * kTestChunk, '\0');
    for (size_t i = 0; i < strImage.size(); ++i) strImage[i] = "compressible 16b"[i % 16];
    const std::string strId = Backup({{"d", &strImage}}, {{{0, strImage.size()}}});
    EXPECT_TRUE(ReadDisk(strId, "d", strImage.size()) == strImage);
    auto vecFiles = ChunkFiles();
    ASSERT_EQ(vecFiles.size(), 1u);  // the three chunks are alike
    for (const auto& strFile : vecFiles) EXPECT_LT(std::filesystem::file_size(strFile), 4096u);

    strImage[5] = 'X';
    std::unique_ptr<CBackupWriter> pWriter;
    ASSERT_TRUE(m_pRepo->StartBackup({"vm1", "guid-vm1", {}}, {strId, false}, pWriter, strError));
    ASSERT_TRUE(pWriter->BeginDisk("d", strImage.size(), "t2", strError));
    ASSERT_TRUE(pWriter->WriteAt(0, strImage.data(), kTestChunk, strError));
    ASSERT_TRUE(pWriter->EndDisk(strError) && pWriter->Commit(strError)) << strError;
    EXPECT_EQ(ChunkFiles().size(), 2u);
    EXPECT_TRUE(ReadDisk(pWriter->Id(), "d", strImage.size()) == strImage);
    uint64_t ullLargest = 0;
    for (const auto& strFile : ChunkFiles())
        ullLargest = std::max<uint64_t>(ullLargest, std::filesystem::file_size(strFile));
    EXPECT_GT(ullLargest, kTestChunk);
}

TEST_F(CRepoTest, AGrownDiskKeepsItsOldTailAndReadsZeroBeyond) {
    std::string strImage = RandomImage(kTestChunk + 100, 9);
    const std::string strFull = Backup({{"d", &strImage}}, {{{0, strImage.size()}}});
    strImage.resize(3 * kTestChunk, '\0');  // grown; nothing new written
    const std::string strInc = Backup({{"d", &strImage}}, {{}}, strFull);
    EXPECT_TRUE(ReadDisk(strInc, "d", strImage.size()) == strImage);
    std::unique_ptr<CBackupReader> pReader;
    ASSERT_TRUE(m_pRepo->OpenBackup(strInc, pReader, strError));
    SVerifyReport report;
    EXPECT_TRUE(pReader->Verify(report)) << (report.Ok() ? "" : report.vecErrors[0]);
}
