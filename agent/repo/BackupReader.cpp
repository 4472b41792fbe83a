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
    const std::string* Chunk(const std::string& strHash, std::string& strError) {
        if (strHash != strCachedHash) {
            strCachedHash.clear();
            if (!store.Get(strHash, strCached, strError)) return nullptr;
            strCachedHash = strHash;
        }
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
    const auto& vecIndex = s.manifest.vecIndexes[nDisk];
    char* p = static_cast<char*>(pBuffer);
    while (nLength > 0) {
        const uint64_t ullIdx = ullOffset / ullChunkSize;
        const uint64_t ullWithin = ullOffset % ullChunkSize;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(nLength, ullChunkSize - ullWithin));
        if (vecIndex[ullIdx].empty()) {
            std::memset(p, 0, n);
        } else {
            const std::string* pChunk = s.Chunk(vecIndex[ullIdx], strError);
            if (!pChunk) return false;
            if (pChunk->size() < ullWithin + n) {
                strError = "chunk " + vecIndex[ullIdx] + " is shorter than its place in the disk";
                return false;
            }
            std::memcpy(p, pChunk->data() + ullWithin, n);
        }
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
    const auto& vecIndex = s.manifest.vecIndexes[nDisk];
    for (size_t i = 0; i < vecIndex.size(); ++i) {
        if (vecIndex[i].empty()) continue;
        const std::string* pChunk = s.Chunk(vecIndex[i], strError);
        if (!pChunk) return false;
        const uint64_t ullOffset = i * ullChunkSize;
        if (pChunk->size() != std::min(ullChunkSize, ullCapacity - ullOffset)) {
            strError = "chunk " + vecIndex[i] + " does not fit its place in the disk";
            return false;
        }
        if (!WriteAll(fd.Get(), pChunk->data(), pChunk->size(), ullOffset, strError)) return false;
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
        const auto& vecIndex = s.manifest.vecIndexes[d];
        for (size_t i = 0; i < vecIndex.size(); ++i) {
            if (vecIndex[i].empty() || !setChecked.insert(vecIndex[i]).second) continue;
            std::string strContent, strWhy;
            ++report.ullChunksChecked;
            const uint64_t ullOffset = i * ullChunkSize;
            if (!s.store.Get(vecIndex[i], strContent, strWhy))
                report.vecErrors.push_back("disk " + disks[d].strName + " at offset " +
                                           std::to_string(ullOffset) + ": " + strWhy);
            else if (strContent.size() != std::min(ullChunkSize, disks[d].ullCapacity - ullOffset))
                report.vecErrors.push_back("disk " + disks[d].strName + " at offset " +
                                           std::to_string(ullOffset) + ": chunk " + vecIndex[i] +
                                           " has the wrong length");
        }
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
