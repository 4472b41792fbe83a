// A repository on a temporary folder, and disk images kept in memory to compare against.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Repository.h"
#include "TempDir.h"

constexpr uint64_t kTestChunk = 64 * 1024;

struct SExtent {
    uint64_t ullOffset;
    size_t nLength;
};

class CRepoTest : public ::testing::Test {
protected:
    void SetUp() override { CreateRepo(false); }

    void CreateRepo(bool bCompress) {
        m_strRoot = m_dir.File("repo" + std::to_string(++m_nRepos));
        ASSERT_TRUE(CRepository::Create(m_strRoot, {kTestChunk, bCompress}, m_pRepo, strError))
            << strError;
    }

    // Fills the extents of the image with random bytes and backs up exactly those extents.
    static void Scribble(std::string& strImage, const std::vector<SExtent>& vecExtents,
                         std::mt19937& rng) {
        for (const SExtent& e : vecExtents)
            for (size_t i = 0; i < e.nLength; ++i)
                strImage[e.ullOffset + i] = static_cast<char>(rng());
    }

    // Random bytes, the same for the same seed.
    static std::string RandomImage(size_t nSize, unsigned nSeed) {
        std::mt19937 rng(nSeed);
        std::string str(nSize, '\0');
        for (char& c : str) c = static_cast<char>(rng());
        return str;
    }

    // One backup of the given disks; each disk is written only at its extents.
    std::string Backup(const std::vector<std::pair<std::string, const std::string*>>& vecDisks,
                       const std::vector<std::vector<SExtent>>& vecExtents,
                       const std::string& strParent = "", const std::string& strVm = "vm1") {
        std::unique_ptr<CBackupWriter> pWriter;
        SVmRecord vm{strVm, "guid-" + strVm, {{"disks", vecDisks.size()}}};
        EXPECT_TRUE(m_pRepo->StartBackup(vm, {strParent, std::nullopt}, pWriter, strError))
            << strError;
        if (!pWriter) return "";
        for (size_t d = 0; d < vecDisks.size(); ++d) {
            const std::string& strImage = *vecDisks[d].second;
            EXPECT_TRUE(pWriter->BeginDisk(vecDisks[d].first, strImage.size(), "token", strError))
                << strError;
            for (const SExtent& e : vecExtents[d])
                EXPECT_TRUE(pWriter->WriteAt(e.ullOffset, strImage.data() + e.ullOffset, e.nLength,
                                             strError))
                    << strError;
            EXPECT_TRUE(pWriter->EndDisk(strError)) << strError;
        }
        EXPECT_TRUE(pWriter->Commit(strError)) << strError;
        return pWriter->Id();
    }

    std::string ReadDisk(const std::string& strId, const std::string& strDisk, uint64_t ullSize) {
        std::unique_ptr<CBackupReader> pReader;
        std::string strOut(ullSize, '\x55');
        EXPECT_TRUE(m_pRepo->OpenBackup(strId, pReader, strError)) << strError;
        if (pReader) {
            EXPECT_TRUE(pReader->ReadAt(strDisk, 0, strOut.data(), ullSize, strError)) << strError;
        }
        return strOut;
    }

    std::vector<std::string> ChunkFiles() const {
        std::vector<std::string> vec;
        for (const auto& e : std::filesystem::recursive_directory_iterator(m_strRoot + "/chunks"))
            if (e.is_regular_file()) vec.push_back(e.path().string());
        return vec;
    }

    CTempDir m_dir;
    int m_nRepos = 0;
    std::string m_strRoot;
    std::unique_ptr<CRepository> m_pRepo;
    std::string strError;  // the last refusal's text
};
