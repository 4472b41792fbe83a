// A repository whose folders or files were replaced by symbolic links to the outside: nothing
// is read, written or removed through them, and each refusal says that a link was met.
#include <map>

#include "RepoTestUtil.h"

namespace {

namespace fs = std::filesystem;

// Every file below a folder with its content, to prove the folder was left alone.
std::map<std::string, std::string> Snapshot(const std::string& strDir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(strDir))
        if (e.is_regular_file())
            files[e.path().string()] = fctest::ReadWholeFile(e.path().string());
    return files;
}

class RepoLinks : public CRepoTest {
protected:
    // Moves the repository's entry strRel outside and puts a link to it in its place. A chunk
    // nothing references is put beside the moved chunks, so that a collection that followed
    // the link would remove it.
    std::string LinkOut(const std::string& strRel) {
        const std::string strOutside = m_dir.File("outside" + std::to_string(m_nRepos));
        fs::create_directories(strOutside);
        const std::string strTarget = strOutside + "/" + fs::path(strRel).filename().string();
        fs::copy(m_strRoot + "/" + strRel, strTarget, fs::copy_options::recursive);
        fs::remove_all(m_strRoot + "/" + strRel);
        fs::create_symlink(strTarget, m_strRoot + "/" + strRel);
        for (const auto& e : fs::recursive_directory_iterator(strOutside)) {
            const std::string strName = e.path().filename().string();
            if (e.is_directory() && strName.size() == 2)
                std::ofstream(e.path().string() + "/" + strName + std::string(62, '0')) << "junk";
        }
        return strOutside;
    }
};

TEST_F(RepoLinks, NoLinkOutOfTheRepositoryIsFollowed) {
    const std::string strImage(2 * kTestChunk, 'a');
    const std::string strOther(kTestChunk, 'b');
    // The entries replaced in turn: a chunk folder, a chunk, the chunks, a manifest, the
    // manifests, the lock.
    for (int nTarget = 0; nTarget < 6; ++nTarget) {
        CreateRepo(false);
        const std::string strId = Backup({{"d", &strImage}}, {{{0, strImage.size()}}});
        ASSERT_EQ(1u, ChunkFiles().size());
        const fs::path chunk = ChunkFiles()[0];
        const std::string strFan = "chunks/" + chunk.parent_path().filename().string();
        const std::string strRel =
            std::vector<std::string>{strFan,    strFan + "/" + chunk.filename().string(),
                                     "chunks",  "backups/" + strId + ".json",
                                     "backups", "lock"}[nTarget];
        const std::string strOutside = LinkOut(strRel);
        const auto before = Snapshot(strOutside);

        // Reading, verifying and exporting the backup fail on the link.
        std::string strError, strWhy;
        std::vector<SBackupInfo> vecList;
        std::unique_ptr<CBackupReader> pReader;
        SVerifyReport report;
        std::string strData(strImage.size(), '\0');
        const bool bRead = m_pRepo->ListBackups(vecList, strError) &&
                           m_pRepo->OpenBackup(strId, pReader, strError) &&
                           pReader->ReadAt("d", 0, strData.data(), strData.size(), strError) &&
                           pReader->ExportDisk("d", m_dir.File("export.img"), strError) &&
                           pReader->Verify(report);
        if (!report.Ok()) strError = report.vecErrors[0];
        EXPECT_FALSE(bRead) << strRel;
        EXPECT_NE(strError.find("is a symbolic link"), std::string::npos)
            << strRel << ": " << strError;
        pReader.reset();

        // A backup of new data and a collection change nothing outside.
        std::unique_ptr<CBackupWriter> pWriter;
        static_cast<void>(m_pRepo->StartBackup({"vm1", "g", {}}, {}, pWriter, strWhy) &&
                          pWriter->BeginDisk("d", strOther.size(), "t", strWhy) &&
                          pWriter->WriteAt(0, strOther.data(), strOther.size(), strWhy) &&
                          pWriter->EndDisk(strWhy) && pWriter->Commit(strWhy));
        pWriter.reset();
        SGcReport gc;
        m_pRepo->CollectGarbage(gc, strWhy);
        EXPECT_TRUE(Snapshot(strOutside) == before) << strRel;
    }
}

}  // namespace
