#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "BackupImpl.h"
#include "ChunkStore.h"
#include "Manifest.h"
#include "RepoFiles.h"

struct CBackupReader::SImpl {
    CRepoLock lock;
    CChunkStore store;
    SManifest manifest;
    // The last chunk read: callers read a disk forward in pieces smaller than a chunk.
    std::string strCachedHash;
    std::string strCached;

    explicit SImpl(const std::string& strRoot) : store(strRoot) {}

    int FindDisk(const std::string& strDisk, std::string& strError) const {
        const auto& disks = manifest.info.vecDisks;
        for (size_t i = 0; i < disks.size(); ++i)
            if (disks[i].strName == strDisk) return static_cast<int>(i);
        strError = "backup " + manifest.info.strId + " has no disk " + strDisk;
        return -1;
    }
    // Chunk ullIdx of the disk with its patches laid over it; null on error, and with bZero
    // set (and no content) for a zero chunk. Cached under the base and patch names.
    const std::string* Chunk(size_t nDisk, uint64_t ullIdx, bool& bZero, std::string& strError) {
        const std::string& strBase = manifest.vecIndexes[nDisk][ullIdx];
        const TPatchMap& mapPatches = manifest.vecPatches[nDisk];
        const auto it = mapPatches.find(ullIdx);
        bZero = strBase.empty() && it == mapPatches.end();
        if (bZero) return &strCached;
        std::string strKey = strBase;
        if (it != mapPatches.end())
            for (const SPatch& p : it->second)
                strKey += "+" + std::to_string(p.ullWithin) + ":" + p.strHash;
        if (strKey == strCachedHash) return &strCached;
        strCachedHash.clear();
        const uint64_t ullChunkSize = manifest.info.ullChunkSize;
        const size_t nLength = static_cast<size_t>(std::min(
            ullChunkSize, manifest.info.vecDisks[nDisk].ullCapacity - ullIdx * ullChunkSize));
        if (it == mapPatches.end()) {
            if (!store.Get(strBase, strCached, strError)) return nullptr;
            if (strCached.size() != nLength) {
                strError = "chunk " + strBase + " does not fit its place in the disk";
                return nullptr;
            }
        } else if (!ComposeChunk(
                       strBase, it->second, nLength,
                       [&](const std::string& h, std::string& c, std::string& e) {
                           return store.Get(h, c, e);
                       },
                       strCached, strError)) {
            return nullptr;
        }
        strCachedHash = strKey;
        return &strCached;
    }
};

CBackupReader::CBackupReader(std::unique_ptr<SImpl> pImpl) : m_pImpl(std::move(pImpl)) {}
CBackupReader::~CBackupReader() = default;

const SBackupInfo& CBackupReader::Info() const {
    return m_pImpl->manifest.info;
}

bool CBackupReader::ReadAt(const std::string& strDisk, uint64_t ullOffset, void* pBuffer,
                           size_t nLength, std::string& strError) {
    SImpl& s = *m_pImpl;
    const int nDisk = s.FindDisk(strDisk, strError);
    if (nDisk < 0) return false;
    const uint64_t ullCapacity = s.manifest.info.vecDisks[nDisk].ullCapacity;
    if (ullOffset > ullCapacity || nLength > ullCapacity - ullOffset) {
        strError = "read beyond the end of disk " + strDisk;
        return false;
    }
    const uint64_t ullChunkSize = s.manifest.info.ullChunkSize;
    char* p = static_cast<char*>(pBuffer);
    while (nLength > 0) {
        const uint64_t ullIdx = ullOffset / ullChunkSize;
        const uint64_t ullWithin = ullOffset % ullChunkSize;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(nLength, ullChunkSize - ullWithin));
        bool bZero = false;
        const std::string* pChunk = s.Chunk(size_t(nDisk), ullIdx, bZero, strError);
        if (!pChunk) return false;
        if (bZero)
            std::memset(p, 0, n);
        else
            std::memcpy(p, pChunk->data() + ullWithin, n);
        p += n;
        ullOffset += n;
        nLength -= n;
    }
    return true;
}

bool CBackupReader::ExportDisk(const std::string& strDisk, const std::string& strPath,
                               std::string& strError) {
    SImpl& s = *m_pImpl;
    const int nDisk = s.FindDisk(strDisk, strError);
    if (nDisk < 0) return false;
    const uint64_t ullCapacity = s.manifest.info.vecDisks[nDisk].ullCapacity;
    CFd fd(::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.Valid()) {
        strError = ErrnoText("cannot create", strPath);
        return false;
    }
    if (::ftruncate(fd.Get(), static_cast<off_t>(ullCapacity)) != 0) {
        strError = ErrnoText("cannot size", strPath);
        return false;
    }
    const uint64_t ullChunkSize = s.manifest.info.ullChunkSize;
    for (size_t i = 0; i < s.manifest.vecIndexes[nDisk].size(); ++i) {
        bool bZero = false;
        const std::string* pChunk = s.Chunk(size_t(nDisk), i, bZero, strError);
        if (!pChunk) return false;
        if (bZero) continue;
        if (!WriteAll(fd.Get(), pChunk->data(), pChunk->size(), i * ullChunkSize, strError))
            return false;
    }
    if (::fsync(fd.Get()) != 0) {
        strError = ErrnoText("cannot sync", strPath);
        return false;
    }
    return true;
}

bool CBackupReader::Verify(SVerifyReport& report) {
    SImpl& s = *m_pImpl;
    report = SVerifyReport();
    std::set<std::string> setChecked;
    const auto& disks = s.manifest.info.vecDisks;
    const uint64_t ullChunkSize = s.manifest.info.ullChunkSize;
    for (size_t d = 0; d < disks.size(); ++d) {
        // Each distinct chunk is read once, and checked for the length it has at ullOffset.
        auto check = [&](const std::string& strHash, uint64_t ullOffset, uint64_t ullLength) {
            if (strHash.empty() || !setChecked.insert(strHash).second) return;
            std::string strContent, strWhy;
            ++report.ullChunksChecked;
            const std::string strWhere =
                "disk " + disks[d].strName + " at offset " + std::to_string(ullOffset) + ": ";
            if (!s.store.Get(strHash, strContent, strWhy))
                report.vecErrors.push_back(strWhere + strWhy);
            else if (strContent.size() != ullLength)
                report.vecErrors.push_back(strWhere + "chunk " + strHash + " has the wrong length");
        };
        const auto& vecIndex = s.manifest.vecIndexes[d];
        for (size_t i = 0; i < vecIndex.size(); ++i) {
            const uint64_t ullOffset = i * ullChunkSize;
            check(vecIndex[i], ullOffset, std::min(ullChunkSize, disks[d].ullCapacity - ullOffset));
        }
        for (const auto& entry : s.manifest.vecPatches[d])
            for (const SPatch& p : entry.second)
                check(p.strHash, entry.first * ullChunkSize + p.ullWithin, p.ullLength);
    }
    return report.Ok();
}

bool MakeBackupReader(const std::string& strRoot, const std::string& strId,
                      std::unique_ptr<CBackupReader>& pOut, std::string& strError) {
    auto pImpl = std::make_unique<CBackupReader::SImpl>(strRoot);
    if (!pImpl->lock.Acquire(strRoot, false, strError) ||
        !LoadManifest(strRoot, strId, pImpl->manifest, strError))
        return false;
    if (!pImpl->manifest.info.bComplete) {
        strError = "backup " + strId + " is not complete";
        return false;
    }
    pOut = std::make_unique<CBackupReader>(std::move(pImpl));
    return true;
}
