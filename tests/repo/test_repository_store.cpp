// Deduplication, interrupted backups, garbage collection, damage, bad input, chunk file writes.
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include "ChunkStore.h"
#include "Manifest.h"
#include "RepoFiles.h"
#include "RepoTestUtil.h"

TEST_F(CRepoTest, ASharedChunkIsStoredOnce) {
    const std::string strA = RandomImage(2 * kTestChunk, 1);
    std::string strB = RandomImage(2 * kTestChunk, 2);
    strB.replace(kTestChunk, kTestChunk, strA, 0, kTestChunk);  // B's second chunk is A's first
    const std::string strFull =
        Backup({{"a", &strA}, {"b", &strB}}, {{{0, strA.size()}}, {{0, strB.size()}}});
    EXPECT_EQ(ChunkFiles().size(), 3u);
    // Another VM with the same disk adds nothing.
    Backup({{"x", &strA}}, {{{0, strA.size()}}}, "", "vm2");
    EXPECT_EQ(ChunkFiles().size(), 3u);
    // An incremental that writes nothing inherits every chunk. (That it reads back as its
    // parent: AGrownDiskKeepsItsOldTailAndReadsZeroBeyond.)
    Backup({{"a", &strA}, {"b", &strB}}, {{}, {}}, strFull);
    EXPECT_EQ(ChunkFiles().size(), 3u);
}

TEST_F(CRepoTest, AnInterruptedBackupIsNotListedAndItsChunksAreCollected) {
    const std::string strA = RandomImage(3 * kTestChunk, 3);
    const std::string strFull = Backup({{"a", &strA}}, {{{0, strA.size()}}});
    const std::string strOther = RandomImage(2 * kTestChunk, 4);
    {
        std::unique_ptr<CBackupWriter> pWriter;
        ASSERT_TRUE(
            m_pRepo->StartBackup({"vm1", "guid-vm1", {}}, {strFull, {}}, pWriter, strError));
        ASSERT_TRUE(pWriter->BeginDisk("a", strA.size(), "t", strError));
        ASSERT_TRUE(pWriter->WriteAt(0, strOther.data(), strOther.size(), strError));
        // While a backup runs, nothing may be collected.
        SGcReport report;
        EXPECT_FALSE(m_pRepo->CollectGarbage(report, strError));
        EXPECT_NE(strError.find("in use"), std::string::npos);
    }
    // The abandoned backup's chunk files went with it. What a killed one leaves: temporary
    // files, and chunks named just before its manifest would have been written.
    EXPECT_EQ(ChunkFiles().size(), 3u);
    m_dir.Touch("repo1/backups/.tmp-99-1", "{");
    std::filesystem::create_directories(m_strRoot + "/chunks/ab");
    m_dir.Touch("repo1/chunks/ab/.tmp-99-2", "partial");
    m_dir.Touch("repo1/chunks/ab/ab" + std::string(62, '0'), "orphan");
    m_dir.Touch("repo1/chunks/ab/ab" + std::string(62, '1'), "orphan");

    std::vector<SBackupInfo> vecList;
    ASSERT_TRUE(m_pRepo->ListBackups(vecList, strError)) << strError;
    ASSERT_EQ(vecList.size(), 1u);
    EXPECT_EQ(vecList[0].strId, strFull);

    SGcReport report;
    ASSERT_TRUE(m_pRepo->CollectGarbage(report, strError)) << strError;
    EXPECT_EQ(report.ullChunksRemoved, 2u);
    EXPECT_EQ(report.ullChunksKept, 3u);
    EXPECT_EQ(report.ullTempFilesRemoved, 2u);
    EXPECT_EQ(ChunkFiles().size(), 3u);
    EXPECT_TRUE(ReadDisk(strFull, "a", strA.size()) == strA);
}

// Chunks get their names only when they are published, both by syncing each file and by
// syncing the file system; a chunk still waiting for its name reads back from the batch, and
// a batch dropped unpublished takes its files with it.
TEST_F(CRepoTest, ChunksAreNamedWhenPublished) {
    const CChunkStore store(m_strRoot);
    auto named = [&] {
        size_t n = 0;
        for (const std::string& f : ChunkFiles()) n += IsChunkHash(f.substr(f.rfind('/') + 1));
        return n;
    };
    std::string strHash, strBack;
    for (size_t nSyncEachBelow : {size_t(0), size_t(100)}) {
        SCOPED_TRACE(nSyncEachBelow);
        const size_t nBefore = ChunkFiles().size();
        {
            CChunkBatch dropped(store, nSyncEachBelow);
            ASSERT_TRUE(dropped.Put(RandomImage(100, 50), false, strHash, strError)) << strError;
        }
        EXPECT_EQ(nBefore, ChunkFiles().size());
        CChunkBatch batch(store, nSyncEachBelow);
        for (unsigned i = 0; i < 3; ++i) {
            const std::string strChunk = RandomImage(1000, 60 + unsigned(nSyncEachBelow) + i);
            ASSERT_TRUE(batch.Put(strChunk, i == 1, strHash, strError)) << strError;
            ASSERT_TRUE(batch.Put(strChunk, i == 1, strHash, strError)) << strError;  // once
            ASSERT_TRUE(batch.Get(strHash, strBack, strError)) << strError;
            EXPECT_TRUE(strBack == strChunk);
        }
        EXPECT_EQ(nBefore, named());
        EXPECT_EQ(nBefore + 3, ChunkFiles().size());
        ASSERT_TRUE(batch.Publish(strError)) << strError;
        EXPECT_EQ(nBefore + 3, named());
        EXPECT_EQ(named(), ChunkFiles().size());
        ASSERT_TRUE(store.Get(strHash, strBack, strError)) << strError;
    }
}

TEST_F(CRepoTest, VerifyCatchesAFlippedByte) {
    const std::string strA = RandomImage(3 * kTestChunk, 5);
    const std::string strId = Backup({{"a", &strA}}, {{{0, strA.size()}}});
    const std::string strVictim = ChunkFiles()[0];
    {
        std::fstream f(strVictim, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(1000);
        const char c = static_cast<char>(f.get() ^ 0x01);
        f.seekp(1000);
        f.put(c);
    }
    std::unique_ptr<CBackupReader> pReader;
    ASSERT_TRUE(m_pRepo->OpenBackup(strId, pReader, strError));
    SVerifyReport report;
    EXPECT_FALSE(pReader->Verify(report));
    EXPECT_EQ(report.ullChunksChecked, 3u);
    ASSERT_EQ(report.vecErrors.size(), 1u);
    EXPECT_NE(report.vecErrors[0].find("does not match"), std::string::npos);
    std::string strOut(strA.size(), '\0');
    EXPECT_FALSE(pReader->ReadAt("a", 0, strOut.data(), strOut.size(), strError));
}

TEST_F(CRepoTest, ADamagedManifestIsRefusedAndStopsCollection) {
    const std::string strA = RandomImage(kTestChunk, 6);
    const std::string strId = Backup({{"a", &strA}}, {{{0, strA.size()}}});
    const std::string strManifest = m_strRoot + "/backups/" + strId + ".json";
    std::string strText = fctest::ReadWholeFile(strManifest);
    const size_t nPos = strText.find("\"capacity\": ") + 12;
    strText[nPos] = strText[nPos] == '1' ? '2' : '1';
    std::ofstream(strManifest, std::ios::trunc) << strText;

    std::vector<SBackupInfo> vecList;
    std::unique_ptr<CBackupReader> pReader;
    SGcReport report;
    EXPECT_FALSE(m_pRepo->ListBackups(vecList, strError));
    EXPECT_NE(strError.find("damaged"), std::string::npos) << strError;
    EXPECT_FALSE(m_pRepo->OpenBackup(strId, pReader, strError));
    EXPECT_FALSE(m_pRepo->CollectGarbage(report, strError));
    EXPECT_EQ(ChunkFiles().size(), 1u);
}

TEST_F(CRepoTest, BadInputIsRefused) {
    std::unique_ptr<CRepository> pRepo;
    std::filesystem::create_directories(m_dir.File("plain"));
    m_dir.Touch("plain/file");
    EXPECT_FALSE(CRepository::Open(m_dir.File("plain"), pRepo, strError));
    EXPECT_NE(strError.find("not a backup repository"), std::string::npos);
    EXPECT_FALSE(CRepository::Create(m_dir.File("plain"), {}, pRepo, strError));
    EXPECT_FALSE(CRepository::Create(m_dir.File("odd"), {1000, false}, pRepo, strError));
    ASSERT_TRUE(CRepository::Open(m_strRoot, pRepo, strError)) << strError;
    EXPECT_EQ(pRepo->Options().ullChunkSize, kTestChunk);

    std::unique_ptr<CBackupReader> pReader;
    std::unique_ptr<CBackupWriter> pWriter;
    EXPECT_FALSE(m_pRepo->OpenBackup("../repository", pReader, strError));
    EXPECT_NE(strError.find("invalid backup id"), std::string::npos);
    EXPECT_FALSE(m_pRepo->StartBackup({"vm1", "g", {}}, {"a/b", {}}, pWriter, strError));
    ASSERT_TRUE(m_pRepo->StartBackup({"vm1", "g", {}}, {}, pWriter, strError));
    EXPECT_FALSE(pWriter->Commit(strError));  // no disk
    ASSERT_TRUE(pWriter->BeginDisk("d", kTestChunk, "t", strError));
    EXPECT_FALSE(pWriter->BeginDisk("e", kTestChunk, "t", strError));
    EXPECT_FALSE(pWriter->WriteAt(kTestChunk - 1, "ab", 2, strError));
    EXPECT_NE(strError.find("beyond the end"), std::string::npos);
    ASSERT_TRUE(pWriter->EndDisk(strError));
    EXPECT_FALSE(pWriter->BeginDisk("d", kTestChunk, "t", strError));
    ASSERT_TRUE(pWriter->Commit(strError)) << strError;
    EXPECT_FALSE(pWriter->Commit(strError));
}

// Disks keep the order they were opened in, whatever the order they are closed in; a disk
// writer dropped without closing leaves a backup that cannot commit. (Disk writers side by
// side, and disks that start from zero rather than the parent: the BackupJob tests, through
// the host's pool.)
TEST_F(CRepoTest, DisksKeepTheirOpeningOrderAndAnOpenDiskStopsTheCommit) {
    const std::string strA = RandomImage(3 * kTestChunk, 5), strB = RandomImage(2 * kTestChunk, 6);
    const std::string strFull =
        Backup({{"a", &strA}, {"b", &strB}}, {{{0, strA.size()}}, {{0, strB.size()}}});
    std::unique_ptr<CBackupWriter> pWriter;
    ASSERT_TRUE(m_pRepo->StartBackup({"vm1", "guid-vm1", {}}, {strFull, {}}, pWriter, strError));
    std::unique_ptr<CDiskWriter> pA, pB;
    ASSERT_TRUE(pWriter->OpenDisk("a", strA.size(), "ta", EDiskBase::Parent, pA, strError));
    ASSERT_TRUE(pWriter->OpenDisk("b", strB.size(), "tb", EDiskBase::Parent, pB, strError));
    ASSERT_TRUE(pB->WriteAt(5, "patch", 5, strError) && pB->Close(strError)) << strError;
    ASSERT_TRUE(pA->Close(strError)) << strError;
    ASSERT_TRUE(pWriter->Commit(strError)) << strError;
    std::string strExpectB = strB;
    strExpectB.replace(5, 5, "patch");
    EXPECT_TRUE(ReadDisk(pWriter->Id(), "a", strA.size()) == strA);
    EXPECT_TRUE(ReadDisk(pWriter->Id(), "b", strB.size()) == strExpectB);
    std::vector<SBackupInfo> vecList;
    ASSERT_TRUE(m_pRepo->ListBackups(vecList, strError));
    ASSERT_EQ(vecList.back().vecDisks.size(), 2u);
    EXPECT_EQ(vecList.back().vecDisks[0].strName, "a");
    EXPECT_EQ(vecList.back().vecDisks[1].strChangeToken, "tb");

    std::unique_ptr<CBackupWriter> pLost;
    ASSERT_TRUE(m_pRepo->StartBackup({"vm1", "guid-vm1", {}}, {strFull, {}}, pLost, strError));
    ASSERT_TRUE(pLost->OpenDisk("a", strA.size(), "", EDiskBase::Parent, pA, strError));
    EXPECT_FALSE(pLost->Commit(strError));
    EXPECT_EQ(strError, "a disk is still open");
    pA.reset();
    EXPECT_FALSE(pLost->Commit(strError)) << "a dropped disk must not commit";
}

namespace {
const char* const kManifestId = "20260101T000000-000000-00000000";

// A manifest of one disk of three chunks and a byte, as the writer leaves it.
nlohmann::json SmallManifest() {
    SManifest m;
    m.info.strId = kManifestId;
    m.info.vm = {"web", "6e1b", nlohmann::json::object()};
    m.info.ullCreatedUs = 1767225600000000;
    m.info.bComplete = true;
    m.info.ullChunkSize = kTestChunk;
    m.info.vecDisks.push_back({"d1", 3 * kTestChunk + 1, "ct-1"});
    m.vecIndexes.push_back({Sha256Hex("a", 1), "", Sha256Hex("b", 1), ""});
    return nlohmann::json::parse(ManifestToText(m));
}

// Why an edited manifest, its checksum made right again, is refused.
std::string ManifestError(nlohmann::json j) {
    j.erase("sha256");
    const std::string strBody = j.dump();
    j["sha256"] = Sha256Hex(strBody.data(), strBody.size());
    SManifest m;
    std::string strError;
    EXPECT_FALSE(ManifestFromText(j.dump(1), kManifestId, m, strError));
    return strError;
}
}  // namespace

TEST(Manifest, ACapacityNearTwoToThe64NeedsAFullIndex) {
    EXPECT_EQ(ChunkCount(UINT64_MAX, kTestChunk), (UINT64_MAX >> 16) + 1);
    EXPECT_EQ(ChunkCount(3 * kTestChunk + 1, kTestChunk), 4u);
    EXPECT_EQ(ChunkCount(3 * kTestChunk, kTestChunk), 3u);
    EXPECT_EQ(ChunkCount(0, kTestChunk), 0u);
    nlohmann::json j = SmallManifest();
    j["disks"][0]["capacity"] = UINT64_MAX;
    j["disks"][0]["index"] = nlohmann::json::array();
    EXPECT_NE(ManifestError(j).find("the index does not cover the disk"), std::string::npos);
}

// A manifest is read from a repository that may come from anywhere: a number that is not a
// non-negative integer, and a name that could become a path outside the repository, are
// refused, and each refusal says which.
TEST_F(CRepoTest, ManifestNumbersAndNamesThatCouldMisleadAreRefused) {
    const struct {
        const char* szField;  // a JSON pointer into the manifest
        nlohmann::json value;
        const char* szError;
    } cases[] = {
        {"/created_us", 1e300, "created_us is not a non-negative integer"},
        {"/chunk_size", 65536.5, "chunk_size is not a non-negative integer"},
        {"/disks/0/capacity", -1, "capacity is not a non-negative integer"},
        {"/version", 1.0, "not a backup manifest of a known version"},
        {"/disks/0/index/1/0", 65536.0, "index entry 1 is malformed"},
        {"/disks/0/name", "../../etc/passwd", "invalid disk name '../../etc/passwd'"},
        {"/disks/0/name", "/etc/passwd", "invalid disk name"},
        {"/disks/0/name", "sub/disk", "invalid disk name"},
        {"/disks/0/name", "sub\\disk", "invalid disk name"},
        {"/disks/0/name", "..", "invalid disk name"},
        {"/disks/0/name", ".", "invalid disk name"},
        {"/disks/0/name", "", "invalid disk name"},
        {"/disks/0/name", "d\n1", "invalid disk name"},
        {"/parent", "../../../etc/passwd", "invalid parent id '../../../etc/passwd'"},
        {"/parent", "/tmp/x", "invalid parent id"},
        {"/id", "../20260101T000000-000000-00000000", "names another backup"},
        {"/disks/0/index/0/1", "../../../../etc/passwd", "index entry 0 is malformed"},
    };
    for (const auto& c : cases) {
        nlohmann::json j = SmallManifest();
        j[nlohmann::json::json_pointer(c.szField)] = c.value;
        const std::string strError = ManifestError(j);
        EXPECT_NE(strError.find(c.szError), std::string::npos) << c.value << ": " << strError;
    }
    // What a writer is given obeys the same rule, so it never writes what a reader refuses.
    std::unique_ptr<CBackupWriter> pWriter;
    ASSERT_TRUE(m_pRepo->StartBackup({"vm", "g", {}}, {}, pWriter, strError)) << strError;
    EXPECT_FALSE(pWriter->BeginDisk("../d", kTestChunk, "t", strError));
    EXPECT_NE(strError.find("invalid disk name '../d'"), std::string::npos) << strError;
}

TEST(RepoFiles, DirectWritesKeepEveryByteWhereverTheyGoAndNeverReplaceAFile) {
    CTempDir dir;
    std::vector<std::string> folders = {dir.Path()};
    // tmpfs takes no direct I/O: everything goes through the page cache there.
    std::string strShm = "/dev/shm/fc-test-XXXXXX";
    if (std::filesystem::is_directory("/dev/shm") && ::mkdtemp(strShm.data()))
        folders.push_back(strShm);
    CAlignedBuffer buffer;
    char* p = buffer.Reserve((1u << 20) + 4096);
    for (size_t i = 0; i < (1u << 20) + 4096; ++i) p[i] = static_cast<char>(i * 7 + i / 4096);
    std::string strError;
    int nFile = 0;
    for (const std::string& folder : folders) {
        const std::string strTaken = folder + "/f" + std::to_string(nFile + 1);
        for (const size_t n : {size_t(1), size_t(4095), size_t(4096), size_t(4097),
                               size_t(3 * 4096 + 16), size_t((1u << 20) + 16)}) {
            for (const char* pData : {p, p + 1}) {  // aligned, and not
                const std::string strPath = folder + "/f" + std::to_string(++nFile);
                ASSERT_TRUE(WriteNewFile(strPath, pData, n, false, strError)) << strError;
                EXPECT_TRUE(fctest::ReadWholeFile(strPath) == std::string(pData, n))
                    << strPath << " at " << n << " bytes";
            }
        }
        EXPECT_FALSE(WriteNewFile(strTaken, p, 8192, false, strError));
        EXPECT_NE(strError.find("cannot create"), std::string::npos) << strError;
        EXPECT_TRUE(fctest::ReadWholeFile(strTaken) == std::string(p, 1)) << "replaced";
    }
    if (folders.size() > 1) std::filesystem::remove_all(strShm);
}

// Chunks hashed by the batch's threads: the same content put from two callers at once is one
// file, every caller gets the hash of what it put, its buffer comes back usable, and nothing
// is named before the publish.
TEST(ChunkBatch, ChunksHashedInTheBackgroundGetTheirNamesAndAreStoredOnce) {
    CTempDir dir;
    std::filesystem::create_directories(dir.Path() + "/chunks");
    const CChunkStore store(dir.Path());
    CChunkBatch batch(store);
    CChunkBatch::SGroup groupA, groupB;
    std::vector<std::string> vecHashA(8), vecHashB(8), vecContent;
    std::string strError;
    for (int i = 0; i < 8; ++i) {
        vecContent.push_back(std::string(100000 + i, static_cast<char>('a' + i % 3)));
        std::string strA = vecContent.back(), strB = vecContent.back();
        ASSERT_TRUE(batch.PutHashing(strA, false, groupA, &vecHashA[i], strError)) << strError;
        ASSERT_TRUE(batch.PutHashing(strB, true, groupB, &vecHashB[i], strError)) << strError;
        strA.assign(10, 'z');  // a spare buffer is the caller's to reuse at once
    }
    ASSERT_TRUE(batch.Wait(groupA, strError) && batch.Wait(groupB, strError)) << strError;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(vecHashA[i], Sha256Hex(vecContent[i].data(), vecContent[i].size()));
        EXPECT_EQ(vecHashA[i], vecHashB[i]);
        std::string strBack;
        ASSERT_TRUE(batch.Get(vecHashA[i], strBack, strError)) << strError;
        EXPECT_TRUE(strBack == vecContent[i]);
        EXPECT_FALSE(store.Has(vecHashA[i]));
    }
    ASSERT_TRUE(batch.Publish(strError)) << strError;
    size_t nFiles = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Path() + "/chunks"))
        nFiles += e.is_regular_file();
    EXPECT_EQ(nFiles, 8u);
    for (const std::string& strHash : vecHashA) EXPECT_TRUE(store.Has(strHash));
}

TEST(ChunkBatch, AWriteThatFailsInTheBackgroundFailsThePublishAndLeavesNoFile) {
    for (const bool bHashing : {false, true}) {
        SCOPED_TRACE(bHashing ? "hashed by the batch" : "hashed by the caller");
        CTempDir dir;
        std::filesystem::create_directories(dir.Path() + "/chunks");
        const CChunkStore store(dir.Path());
        rlimit old{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);  // past the limit a write fails
        std::string strError, strHash;
        {
            CChunkBatch batch(store);
            CChunkBatch::SGroup group;
            rlimit small = old;
            small.rlim_cur = 65536;
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
            std::string strContent(1u << 20, 'x');
            const bool bPut =
                bHashing ? batch.PutHashing(strContent, false, group, &strHash, strError) &&
                               batch.Wait(group, strError)
                         : batch.Put(strContent, false, strHash, strError);
            EXPECT_FALSE(bPut && batch.Publish(strError));
            ::setrlimit(RLIMIT_FSIZE, &old);
            ::signal(SIGXFSZ, oldHandler);
            EXPECT_NE(strError.find("File too large"), std::string::npos) << strError;
            // The batch does not go on as if the chunk were stored.
            EXPECT_FALSE(batch.Put(std::string(100, 'y'), false, strHash, strError));
            strContent.assign(100, 'y');
            EXPECT_FALSE(batch.PutHashing(strContent, false, group, &strHash, strError));
            EXPECT_FALSE(batch.Wait(group, strError));
        }
        size_t nFiles = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Path() + "/chunks"))
            nFiles += e.is_regular_file();
        EXPECT_EQ(nFiles, 0u);
    }
}
