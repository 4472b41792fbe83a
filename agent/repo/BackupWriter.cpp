#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>

#include "BackupImpl.h"
#include "ChunkStore.h"
#include "Manifest.h"
#include "RepoFiles.h"

bool IsZeroBlock(const void* pData, size_t nLength) {
    // The first byte is zero and every byte equals the one before it: memcmp goes a vector
    // at a time, where a loop that stops at the first non-zero byte goes a byte at a time.
    const char* p = static_cast<const char*>(pData);
    return nLength == 0 || (p[0] == 0 && std::memcmp(p, p + 1, nLength - 1) == 0);
}

struct CBackupWriter::SImpl {
    std::string strRoot;
    CRepoLock lock;
    CChunkStore store;
    CChunkBatch batch{store};  // the chunks written, named when the backup commits
    SManifest manifest;
    SManifest parent;
    bool bCompress = false;
    bool bCommitted = false;
    // Guards everything below and the manifest's disk list while disk writers run.
    std::mutex mutex;
    bool bFailed = false;
    std::vector<bool> vecClosed;  // per disk slot of the manifest: its writer has closed
    size_t nOpen = 0;
    std::unique_ptr<CDiskWriter> pCurrent;  // the disk of BeginDisk / WriteAt / EndDisk

    explicit SImpl(const std::string& strRootIn) : strRoot(strRootIn), store(strRootIn) {}

    void MarkFailed() {
        std::lock_guard<std::mutex> guard(mutex);
        bFailed = true;
    }
    bool Usable(std::string& strError) {
        std::lock_guard<std::mutex> guard(mutex);
        if (bCommitted)
            strError = "the backup is already committed";
        else if (bFailed)
            strError = "the backup failed earlier and cannot continue";
        else
            return true;
        return false;
    }
};

struct CDiskWriter::SImpl {
    // A chunk written in part gets patches rather than being read, patched and stored again;
    // past these bounds it is stored whole, so that reading it stays cheap.
    static constexpr size_t c_nMaxPatches = 8;
    static constexpr uint64_t c_ullMaxPatchShare = 2;  // patches under 1/2 of the chunk

    CBackupWriter::SImpl& backup;
    size_t nSlot = 0;
    SDiskRecord disk;
    const std::vector<std::string>* pParentIndex = nullptr;
    const TPatchMap* pParentPatches = nullptr;
    uint64_t ullParentCapacity = 0;
    std::vector<std::string> vecIndex;
    TPatchMap mapPatches;
    // The one chunk held in memory while extents land in it. Only the ranges in vecWritten
    // hold data: with bPatching the base was not loaded; without, the rest is zero, filled in
    // when the chunk is stored (a chunk written start to end is never zeroed first).
    int64_t llOpen = -1;
    std::string strBuf;
    bool bPatching = false;
    std::vector<std::pair<uint64_t, uint64_t>> vecWritten;  // [begin, end), sorted, disjoint
    bool bClosed = false;
    bool bFailed = false;
    // Chunks stored whole are hashed by the batch's threads; their index entries are known
    // once the group is waited for, which happens before one of them is read.
    CChunkBatch::SGroup hashing;
    std::set<uint64_t> setHashing;  // the chunks put since the last wait

    explicit SImpl(CBackupWriter::SImpl& backupIn) : backup(backupIn) {}
    ~SImpl() {
        std::string strIgnored;  // the backup fails anyway, or already has the error
        backup.batch.Wait(hashing, strIgnored);
    }

    uint64_t ChunkSize() const { return backup.manifest.info.ullChunkSize; }
    uint64_t ChunkLen(uint64_t ullCapacity, uint64_t ullIdx) const {
        return std::min(ChunkSize(), ullCapacity - ullIdx * ChunkSize());
    }
    bool Fail(std::string& strError, const std::string& strWhy) {
        if (!strWhy.empty()) strError = strWhy;
        bFailed = true;
        backup.MarkFailed();
        return false;
    }
    bool Usable(std::string& strError) {
        if (bClosed) {
            strError = "disk " + disk.strName + " is already closed";
            return false;
        }
        if (bFailed) {
            strError = "disk " + disk.strName + " failed earlier and cannot continue";
            return false;
        }
        return backup.Usable(strError);
    }
    const std::vector<SPatch>& PatchesOf(uint64_t ullIdx) const {
        static const std::vector<SPatch> none;
        const auto it = mapPatches.find(ullIdx);
        return it == mapPatches.end() ? none : it->second;
    }
    // The chunk's current content (base and patches) at nLength bytes.
    bool LoadChunk(uint64_t ullIdx, size_t nLength, std::string& strOut,
                   std::string& strError) const {
        const CChunkBatch& batch = backup.batch;
        return ComposeChunk(
            vecIndex[ullIdx], PatchesOf(ullIdx), nLength,
            [&](const std::string& h, std::string& c, std::string& e) {
                return batch.Get(h, c, e);
            },
            strOut, strError);
    }
    void MarkWritten(uint64_t ullBegin, uint64_t ullEnd) {
        auto it = vecWritten.begin();
        while (it != vecWritten.end() && it->second < ullBegin) ++it;
        while (it != vecWritten.end() && it->first <= ullEnd) {
            ullBegin = std::min(ullBegin, it->first);
            ullEnd = std::max(ullEnd, it->second);
            it = vecWritten.erase(it);
        }
        vecWritten.insert(it, {ullBegin, ullEnd});
    }
    // The open chunk's written ranges become patches, unless that passes the bounds; then the
    // chunk is loaded, patched in memory and stored whole.
    bool FlushPatches(size_t nIdx, std::string& strError) {
        std::vector<SPatch>& vecPatches = mapPatches[nIdx];
        uint64_t ullPatched = 0;
        for (const SPatch& p : vecPatches) ullPatched += p.ullLength;
        for (const auto& range : vecWritten) ullPatched += range.second - range.first;
        if (vecPatches.size() + vecWritten.size() <= c_nMaxPatches &&
            ullPatched * c_ullMaxPatchShare < strBuf.size()) {
            for (const auto& range : vecWritten) {
                SPatch patch{range.first, range.second - range.first, std::string()};
                if (!backup.batch.Put(strBuf.substr(range.first, range.second - range.first),
                                      backup.bCompress, patch.strHash, strError))
                    return false;
                vecPatches.push_back(std::move(patch));
            }
            return true;
        }
        std::string strWhole;
        if (!LoadChunk(nIdx, strBuf.size(), strWhole, strError)) return false;
        for (const auto& range : vecWritten)
            strWhole.replace(range.first, range.second - range.first, strBuf, range.first,
                             range.second - range.first);
        strBuf.swap(strWhole);
        return FlushWhole(nIdx, strError);
    }
    bool FlushWhole(size_t nIdx, std::string& strError) {
        mapPatches.erase(nIdx);
        if (IsZeroBlock(strBuf.data(), strBuf.size())) {
            vecIndex[nIdx].clear();
            return true;
        }
        setHashing.insert(nIdx);
        return backup.batch.PutHashing(strBuf, backup.bCompress, hashing, &vecIndex[nIdx],
                                       strError);
    }
    bool WaitHashes(std::string& strError) {
        setHashing.clear();
        return backup.batch.Wait(hashing, strError);
    }
    bool Flush(std::string& strError) {
        if (llOpen < 0) return true;
        const size_t nIdx = static_cast<size_t>(llOpen);
        llOpen = -1;
        if (!bPatching) {
            ZeroUnwritten();
            return FlushWhole(nIdx, strError);
        }
        const bool bWhole = vecWritten.size() == 1 && vecWritten[0].first == 0 &&
                            vecWritten[0].second == strBuf.size();
        return bWhole ? FlushWhole(nIdx, strError) : FlushPatches(nIdx, strError);
    }
    void ZeroUnwritten() {
        uint64_t ullAt = 0;
        for (const auto& range : vecWritten) {
            std::memset(&strBuf[ullAt], 0, range.first - ullAt);
            ullAt = range.second;
        }
        std::memset(&strBuf[0] + ullAt, 0, strBuf.size() - ullAt);
    }
    // Opens chunk ullIdx of nLength bytes for a write of [ullWithin, ullWithin + n).
    bool Open(uint64_t ullIdx, uint64_t ullWithin, uint64_t n, uint64_t ullLen,
              std::string& strError) {
        if (!Flush(strError)) return false;
        if (setHashing.count(ullIdx) && !WaitHashes(strError)) return false;
        const bool bZeroBase = vecIndex[ullIdx].empty() && PatchesOf(ullIdx).empty();
        const bool bPart = !(ullWithin == 0 && n == ullLen);
        // Over a parent's chunk, a zero one too, the ranges written become patches: an
        // incremental that touches a block of a sparse region must not store the region's
        // whole chunk. A disk written from a zero base (no parent) stores its chunks whole.
        bPatching = bPart && (!bZeroBase || pParentIndex != nullptr);
        vecWritten.clear();
        strBuf.resize(ullLen);
        llOpen = static_cast<int64_t>(ullIdx);
        return true;
    }
    bool InheritFromParent(std::string& strError) {
        const uint64_t ullShared =
            std::min<uint64_t>(vecIndex.size(), pParentIndex ? pParentIndex->size() : 0);
        for (uint64_t i = 0; i < ullShared; ++i) {
            vecIndex[i] = (*pParentIndex)[i];
            const auto it = pParentPatches->find(i);
            if (it != pParentPatches->end()) mapPatches[i] = it->second;
            // A disk that grew or shrank changes its last chunk's length; that chunk is stored
            // again at the new length so every chunk matches its place in the index.
            const uint64_t ullOld = ChunkLen(ullParentCapacity, i);
            if (ullOld == ChunkLen(disk.ullCapacity, i) ||
                (vecIndex[i].empty() && PatchesOf(i).empty()))
                continue;
            if (!LoadChunk(i, ullOld, strBuf, strError)) return false;
            strBuf.resize(ChunkLen(disk.ullCapacity, i), '\0');
            llOpen = static_cast<int64_t>(i);
            bPatching = false;
            vecWritten.assign(1, {0, strBuf.size()});
            if (!Flush(strError)) return false;
        }
        return true;
    }
};

CDiskWriter::CDiskWriter(std::unique_ptr<SImpl> pImpl) : m_pImpl(std::move(pImpl)) {}

CDiskWriter::~CDiskWriter() {
    if (m_pImpl->bClosed) return;
    std::lock_guard<std::mutex> guard(m_pImpl->backup.mutex);
    m_pImpl->backup.bFailed = true;  // a disk with unwritten extents: never commit the backup
    --m_pImpl->backup.nOpen;
}

bool CDiskWriter::WriteAt(uint64_t ullOffset, const void* pData, size_t nLength,
                          std::string& strError) {
    SImpl& s = *m_pImpl;
    if (!s.Usable(strError)) return false;
    if (ullOffset > s.disk.ullCapacity || nLength > s.disk.ullCapacity - ullOffset) {
        strError = "write beyond the end of disk " + s.disk.strName;
        return false;
    }
    const char* p = static_cast<const char*>(pData);
    while (nLength > 0) {
        const uint64_t ullIdx = ullOffset / s.ChunkSize();
        const uint64_t ullWithin = ullOffset % s.ChunkSize();
        const uint64_t ullLen = s.ChunkLen(s.disk.ullCapacity, ullIdx);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(nLength, ullLen - ullWithin));
        if (s.llOpen != static_cast<int64_t>(ullIdx) &&
            !s.Open(ullIdx, ullWithin, n, ullLen, strError))
            return s.Fail(strError, "");
        std::memcpy(&s.strBuf[ullWithin], p, n);
        s.MarkWritten(ullWithin, ullWithin + n);
        // A write that reaches the chunk's end is taken as done with it, which bounds the
        // memory to one chunk for callers that go forward.
        if (ullWithin + n == ullLen && !s.Flush(strError)) return s.Fail(strError, "");
        p += n;
        ullOffset += n;
        nLength -= n;
    }
    return true;
}

bool CDiskWriter::Close(std::string& strError) {
    SImpl& s = *m_pImpl;
    if (!s.Usable(strError)) return false;
    if (!s.Flush(strError) || !s.WaitHashes(strError)) return s.Fail(strError, "");
    std::lock_guard<std::mutex> guard(s.backup.mutex);
    s.backup.manifest.vecIndexes[s.nSlot] = std::move(s.vecIndex);
    s.backup.manifest.vecPatches[s.nSlot] = std::move(s.mapPatches);
    s.backup.vecClosed[s.nSlot] = true;
    --s.backup.nOpen;
    s.bClosed = true;
    return true;
}

CBackupWriter::CBackupWriter(std::unique_ptr<SImpl> pImpl) : m_pImpl(std::move(pImpl)) {}
CBackupWriter::~CBackupWriter() = default;

const std::string& CBackupWriter::Id() const {
    return m_pImpl->manifest.info.strId;
}

bool CBackupWriter::OpenDisk(const std::string& strName, uint64_t ullCapacity,
                             const std::string& strChangeToken, EDiskBase eBase,
                             std::unique_ptr<CDiskWriter>& pOut, std::string& strError) {
    SImpl& s = *m_pImpl;
    if (!s.Usable(strError)) return false;
    if (!IsPlainName(strName)) {
        strError = "invalid disk name '" + strName + "'";
        return false;
    }
    if (ullCapacity == 0) {
        strError = "disk " + strName + " has no capacity";
        return false;
    }
    auto pDisk = std::make_unique<CDiskWriter::SImpl>(s);
    pDisk->disk = SDiskRecord{strName, ullCapacity, strChangeToken};
    pDisk->vecIndex.assign(ChunkCount(ullCapacity, s.manifest.info.ullChunkSize), std::string());
    const auto& parentDisks = s.parent.info.vecDisks;
    for (size_t i = 0; eBase == EDiskBase::Parent && i < parentDisks.size(); ++i)
        if (parentDisks[i].strName == strName) {
            pDisk->pParentIndex = &s.parent.vecIndexes[i];
            pDisk->pParentPatches = &s.parent.vecPatches[i];
            pDisk->ullParentCapacity = parentDisks[i].ullCapacity;
        }
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        auto& disks = s.manifest.info.vecDisks;
        if (std::any_of(disks.begin(), disks.end(),
                        [&](const SDiskRecord& d) { return d.strName == strName; })) {
            strError = "disk " + strName + " is already in the backup";
            return false;
        }
        pDisk->nSlot = disks.size();
        disks.push_back(pDisk->disk);
        s.manifest.vecIndexes.emplace_back();
        s.manifest.vecPatches.emplace_back();
        s.vecClosed.push_back(false);
        ++s.nOpen;
    }
    CDiskWriter::SImpl& disk = *pDisk;
    pOut = std::make_unique<CDiskWriter>(std::move(pDisk));
    if (disk.InheritFromParent(strError)) return true;
    disk.Fail(strError, "");
    pOut.reset();
    return false;
}

bool CBackupWriter::BeginDisk(const std::string& strName, uint64_t ullCapacity,
                              const std::string& strChangeToken, std::string& strError) {
    if (m_pImpl->pCurrent) {
        strError = "a disk is still open";
        return false;
    }
    return OpenDisk(strName, ullCapacity, strChangeToken, EDiskBase::Parent, m_pImpl->pCurrent,
                    strError);
}

bool CBackupWriter::WriteAt(uint64_t ullOffset, const void* pData, size_t nLength,
                            std::string& strError) {
    if (!m_pImpl->pCurrent) {
        strError = "no disk is open";
        return false;
    }
    return m_pImpl->pCurrent->WriteAt(ullOffset, pData, nLength, strError);
}

bool CBackupWriter::EndDisk(std::string& strError) {
    if (!m_pImpl->pCurrent) {
        strError = "no disk is open";
        return false;
    }
    const bool bOk = m_pImpl->pCurrent->Close(strError);
    if (bOk) m_pImpl->pCurrent.reset();
    return bOk;
}

bool CBackupWriter::Commit(std::string& strError) {
    SImpl& s = *m_pImpl;
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.bCommitted) {
        strError = "the backup is already committed";
        return false;
    }
    if (s.bFailed) {
        strError = "the backup failed earlier and cannot continue";
        return false;
    }
    if (s.nOpen != 0) {
        strError = "a disk is still open";
        return false;
    }
    if (s.manifest.info.vecDisks.empty()) {
        strError = "a backup needs at least one disk";
        return false;
    }
    s.manifest.info.bComplete = true;
    if (!s.batch.Publish(strError) ||
        !WriteFileDurable(ManifestPath(s.strRoot, s.manifest.info.strId),
                          ManifestToText(s.manifest), strError)) {
        s.manifest.info.bComplete = false;
        s.bFailed = true;
        return false;
    }
    s.bCommitted = true;
    s.lock = CRepoLock();
    return true;
}

bool MakeBackupWriter(const std::string& strRoot, const SRepositoryOptions& repoOptions,
                      const SVmRecord& vm, const SBackupOptions& options,
                      std::unique_ptr<CBackupWriter>& pOut, std::string& strError) {
    auto pImpl = std::make_unique<CBackupWriter::SImpl>(strRoot);
    if (!pImpl->lock.Acquire(strRoot, false, strError)) return false;
    SBackupInfo& info = pImpl->manifest.info;
    info.ullCreatedUs =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    if (!options.strParentId.empty()) {
        SManifest& parent = pImpl->parent;
        if (!LoadManifest(strRoot, options.strParentId, parent, strError)) return false;
        if (!parent.info.bComplete || parent.info.vm.strGuid != vm.strGuid ||
            parent.info.ullChunkSize != repoOptions.ullChunkSize) {
            strError = "backup " + options.strParentId + " cannot be the parent of this backup";
            return false;
        }
        info.eKind = EBackupKind::Incremental;
        info.strParentId = options.strParentId;
        // Listing orders by creation time; a child never sorts before its parent.
        info.ullCreatedUs = std::max(info.ullCreatedUs, parent.info.ullCreatedUs + 1);
    }
    info.vm = vm;
    info.ullChunkSize = repoOptions.ullChunkSize;
    pImpl->bCompress = options.optCompress.value_or(repoOptions.bCompress);
    info.bCompressed = pImpl->bCompress;
    info.strId = NewBackupId(info.ullCreatedUs);
    pOut = std::make_unique<CBackupWriter>(std::move(pImpl));
    return true;
}
