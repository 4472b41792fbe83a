// Incrementals that write part of a chunk store only the bytes written, as patches over the
// parent's chunk; patches stack across a chain, fold into a whole chunk past their bounds,
// and are read, verified and kept by collection like any chunk.
#include <fstream>
#include <set>

#include "ChunkStore.h"
#include "Manifest.h"
#include "RepoTestUtil.h"

namespace {

class CPatchTest : public CRepoTest {
protected:
    std::set<std::string> Files() const {
        const auto vec = ChunkFiles();
        return {vec.begin(), vec.end()};
    }
    // The chunk files a step added, and their bytes together.
    uint64_t AddedBytes(const std::set<std::string>& before, size_t& nAdded) const {
        uint64_t ullBytes = 0;
        nAdded = 0;
        for (const std::string& f : Files())
            if (!before.count(f)) ullBytes += std::filesystem::file_size(f), ++nAdded;
        return ullBytes;
    }
    int Version(const std::string& strId) const {
        return nlohmann::json::parse(
            fctest::ReadWholeFile(m_strRoot + "/backups/" + strId + ".json"))["version"];
    }
    void ExpectWhole(const std::string& strId, const std::string& strImage) {
        EXPECT_TRUE(ReadDisk(strId, "d", strImage.size()) == strImage);
        std::unique_ptr<CBackupReader> pReader;
        std::string strError;
        ASSERT_TRUE(m_pRepo->OpenBackup(strId, pReader, strError)) << strError;
        ASSERT_TRUE(pReader->ExportDisk("d", m_dir.File("d.raw"), strError)) << strError;
        EXPECT_TRUE(fctest::ReadWholeFile(m_dir.File("d.raw")) == strImage);
        SVerifyReport report;
        EXPECT_TRUE(pReader->Verify(report)) << report.vecErrors.front();
    }
};

TEST_F(CPatchTest, PartWrittenChunksStoreOnlyTheirBytesAndStackAcrossAChain) {
    std::mt19937 rng(31);
    std::string strImage = RandomImage(2 * kTestChunk + 300, 30);
    std::string strId = Backup({{"d", &strImage}}, {{{0, strImage.size()}}});
    const std::vector<std::vector<SExtent>> steps = {
        {{10, 100}, {kTestChunk + 7, 50}},  // two chunks patched
        {{50, 100}, {2 * kTestChunk, 20}},  // overlaps the first patch; the short last chunk
        {{kTestChunk + 7, 50}},             // the same place again
    };
    for (const auto& extents : steps) {
        const auto before = Files();
        Scribble(strImage, extents, rng);
        strId = Backup({{"d", &strImage}}, {extents}, strId);
        size_t nAdded = 0;
        EXPECT_LT(AddedBytes(before, nAdded), 1024u) << "a whole chunk was stored again";
        EXPECT_EQ(nAdded, extents.size());
        EXPECT_EQ(Version(strId), 2);
        ExpectWhole(strId, strImage);
    }
    // A grown disk stores its patched last chunk whole at the new length.
    strImage.resize(3 * kTestChunk, '\0');
    strId = Backup({{"d", &strImage}}, {{}}, strId);
    ExpectWhole(strId, strImage);
    // Collection keeps the bases and patches the last backup still reads through.
    SGcReport report;
    std::string strError;
    ASSERT_TRUE(m_pRepo->Prune("vm1", 1, report, strError)) << strError;
    EXPECT_GT(report.ullChunksRemoved, 0u);
    ExpectWhole(strId, strImage);
}

TEST_F(CPatchTest, AZeroChunkWrittenInPartIsPatchedOverAParentAndStoredWholeWithout) {
    std::mt19937 rng(36);
    std::string strImage(3 * kTestChunk, '\0');
    const std::vector<SExtent> first = {{kTestChunk + 10, 100}};
    Scribble(strImage, first, rng);
    std::string strId = Backup({{"d", &strImage}}, {first});
    EXPECT_EQ(Version(strId), 1);  // no parent: the chunk is stored whole
    ExpectWhole(strId, strImage);
    // The first and last chunks are zero in the parent; a block of each becomes a patch.
    const std::vector<SExtent> part = {{20, 64}, {2 * kTestChunk + 5, 40}};
    const auto before = Files();
    Scribble(strImage, part, rng);
    strId = Backup({{"d", &strImage}}, {part}, strId);
    size_t nAdded = 0;
    EXPECT_LT(AddedBytes(before, nAdded), 1024u) << "a whole chunk was stored";
    EXPECT_EQ(nAdded, 2u);
    EXPECT_EQ(Version(strId), 2);
    ExpectWhole(strId, strImage);
}

TEST_F(CPatchTest, PatchesPastTheirBoundsFoldIntoAWholeChunk) {
    std::mt19937 rng(32);
    std::string strImage = RandomImage(kTestChunk, 33);
    std::string strId = Backup({{"d", &strImage}}, {{{0, strImage.size()}}});
    // Eight one-byte patches are kept; the ninth folds the chunk.
    for (uint64_t i = 0; i < 9; ++i) {
        const std::vector<SExtent> one = {{i * 1000, 1}};
        Scribble(strImage, one, rng);
        strId = Backup({{"d", &strImage}}, {one}, strId);
        EXPECT_EQ(Version(strId), i < 8 ? 2 : 1) << i;
    }
    ExpectWhole(strId, strImage);
    // So does a single write of half the chunk or more.
    const std::vector<SExtent> half = {{1, kTestChunk / 2}};
    Scribble(strImage, half, rng);
    strId = Backup({{"d", &strImage}}, {half}, strId);
    EXPECT_EQ(Version(strId), 1);
    ExpectWhole(strId, strImage);
}

TEST_F(CPatchTest, ADamagedPatchIsCaught) {
    std::string strImage = RandomImage(kTestChunk, 34);
    const std::string strFull = Backup({{"d", &strImage}}, {{{0, strImage.size()}}});
    const auto before = Files();
    const std::vector<SExtent> part = {{100, 200}};
    std::mt19937 rng(35);
    Scribble(strImage, part, rng);
    const std::string strId = Backup({{"d", &strImage}}, {part}, strFull);
    for (const std::string& f : Files()) {
        if (before.count(f)) continue;
        std::fstream file(f, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(20);
        file.put('\x7f');
    }
    std::unique_ptr<CBackupReader> pReader;
    std::string strError, strOut(kTestChunk, '\0');
    ASSERT_TRUE(m_pRepo->OpenBackup(strId, pReader, strError)) << strError;
    EXPECT_FALSE(pReader->ReadAt("d", 0, strOut.data(), strOut.size(), strError));
    SVerifyReport report;
    EXPECT_FALSE(pReader->Verify(report));
    EXPECT_EQ(report.ullChunksChecked, 2u);
    ASSERT_EQ(report.vecErrors.size(), 1u);
    EXPECT_NE(report.vecErrors[0].find("at offset 100:"), std::string::npos) << report.vecErrors[0];
}

TEST(Manifest, PatchesThatDoNotFitOrPredateTheirVersionAreRefused) {
    SManifest m;
    m.info.strId = "b1";
    m.info.ullChunkSize = 4096;
    m.info.bComplete = true;
    m.info.vecDisks = {{"d", 5000, ""}};
    m.vecIndexes = {{std::string(64, 'a'), ""}};
    const std::string strHash(64, 'b');
    SManifest out;
    std::string strError;
    for (const SPatch& p :
         {SPatch{0, 4096, strHash}, SPatch{903, 1, strHash}, SPatch{0, 904, strHash}}) {
        m.vecPatches = {{{1, {p}}}};  // the last chunk is 904 bytes
        const bool bFits = p.ullWithin + p.ullLength <= 904;
        EXPECT_EQ(bFits, ManifestFromText(ManifestToText(m), "b1", out, strError)) << strError;
        if (bFits) {
            EXPECT_EQ(out.vecPatches[0].at(1).at(0).ullLength, p.ullLength);
        }
    }
    // The same entries under version 1 would read as bases without their patches.
    std::string strText = ManifestToText(m);
    nlohmann::json j = nlohmann::json::parse(strText);
    j["version"] = 1;
    j.erase("sha256");
    j["sha256"] = Sha256Hex(j.dump().data(), j.dump().size());
    EXPECT_FALSE(ManifestFromText(j.dump(), "b1", out, strError));
    EXPECT_NE(strError.find("index entry 1 is malformed"), std::string::npos) << strError;
}

}  // namespace
