#include <fcntl.h>
#include <unistd.h>

#include <new>
#include <set>

#include "ChunkStore.h"
#include "RepoFiles.h"

namespace {
// Opens strPath with nFlags and syncs it: its data (fdatasync) or its whole file system.
bool Sync(const std::string& strPath, int nFlags, int (*pSync)(int), const char* szWhat,
          std::string& strError) {
    CFd fd(::open(strPath.c_str(), nFlags | O_RDONLY | O_CLOEXEC));
    if (!fd.Valid() || pSync(fd.Get()) != 0) {
        strError = ErrnoText(szWhat, strPath);
        return false;
    }
    return true;
}
bool SyncFile(const std::string& strPath, std::string& strError) {
    return Sync(strPath, O_NOFOLLOW, ::fdatasync, "cannot sync", strError);
}
// Every dirty page and entry of the repository's file system reaches the disk.
bool SyncFileSystem(const std::string& strRoot, std::string& strError) {
    return Sync(strRoot, O_DIRECTORY, ::syncfs, "cannot sync the file system of", strError);
}
}  // namespace

CChunkBatch::CChunkBatch(const CChunkStore& store, size_t nSyncEachBelow)
    : m_store(store), m_nSyncEachBelow(nSyncEachBelow) {
    // One buffer more than writers: the next chunk is encoded while they write.
    for (size_t i = 0; i <= c_nWriteThreads; ++i)
        m_vecFree.push_back(std::make_unique<CAlignedBuffer>());
    for (size_t i = 0; i < c_nWriteThreads; ++i)
        m_vecThreads.emplace_back([this] { WriteFiles(); });
}

CChunkBatch::~CChunkBatch() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_bStopping = true;
    }
    m_changed.notify_all();
    for (std::thread& t : m_vecThreads) t.join();
    for (const auto& pending : m_mapPending) ::unlink(pending.second.c_str());
}

void CChunkBatch::WriteFiles() {
    CAlignedBuffer buffer;  // this thread's, for the chunks it hashes and encodes
    std::unique_lock<std::mutex> guard(m_mutex);
    for (;;) {
        m_changed.wait(guard, [&] { return m_bStopping || !m_queue.empty(); });
        if (m_queue.empty()) return;  // stopping, and everything written
        SJob job = std::move(m_queue.front());
        m_queue.pop_front();
        if (job.pGroup) {
            --m_nQueuedHashing;
            m_changed.notify_all();
            guard.unlock();
            HashAndWrite(job, buffer);
            guard.lock();
            continue;
        }
        guard.unlock();
        std::string strError;
        const bool bOk = WriteNewFile(job.strPath, job.pFile->Data(), job.nLength, false, strError);
        guard.lock();
        m_setUnwritten.erase(job.strPath);
        if (!bOk) SetError(strError);
        m_vecFree.push_back(std::move(job.pFile));
        m_changed.notify_all();
    }
}

void CChunkBatch::HashAndWrite(SJob& job, CAlignedBuffer& buffer) {
    const std::string strHash = Sha256Hex(job.strContent.data(), job.strContent.size());
    std::string strError;
    bool bWrite = !m_store.Has(strHash);
    const bool bOk = !bWrite || m_store.MakeFolder(strHash, strError);
    const std::string strTemp = TempPathIn(m_store.FanOf(strHash));
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        *job.pHash = strHash;
        --job.pGroup->nHashing;
        --m_nHashing;
        // Two chunks of the same content may be hashed at once; one file is written.
        bWrite = bOk && bWrite && m_mapPending.emplace(strHash, strTemp).second;
        if (bWrite) m_setUnwritten.insert(strTemp);
        if (!bOk) SetError(strError);
        m_changed.notify_all();
    }
    size_t nLength = 0;
    if (bWrite) {
        try {
            nLength = CChunkStore::Encode(job.strContent, job.bCompress, buffer);
        } catch (const std::bad_alloc&) {
            strError = "out of memory for a chunk file";
        }
    }
    const bool bWritten =
        bWrite && nLength > 0 && WriteNewFile(strTemp, buffer.Data(), nLength, false, strError);
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_vecSpare.size() <= c_nWriteThreads + 1) m_vecSpare.push_back(std::move(job.strContent));
    if (bWrite) {
        m_setUnwritten.erase(strTemp);
        if (!bWritten) SetError(strError);
    }
    m_changed.notify_all();
}

void CChunkBatch::SetError(const std::string& strError) {
    if (m_strWriteError.empty()) m_strWriteError = strError;
}

bool CChunkBatch::Drained(std::unique_lock<std::mutex>& guard, std::string& strError) const {
    m_changed.wait(guard, [&] { return m_setUnwritten.empty() && m_nHashing == 0; });
    if (m_strWriteError.empty()) return true;
    strError = m_strWriteError;
    return false;
}

bool CChunkBatch::Put(const std::string& strContent, bool bCompress, std::string& strHash,
                      std::string& strError) {
    strHash = Sha256Hex(strContent.data(), strContent.size());
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_strWriteError.empty()) {
            strError = m_strWriteError;
            return false;
        }
        if (m_mapPending.count(strHash)) return true;
    }
    if (m_store.Has(strHash)) return true;
    if (!m_store.MakeFolder(strHash, strError)) return false;
    std::unique_lock<std::mutex> guard(m_mutex);
    m_changed.wait(guard, [&] { return !m_vecFree.empty() || !m_strWriteError.empty(); });
    if (!m_strWriteError.empty()) {
        strError = m_strWriteError;
        return false;
    }
    std::unique_ptr<CAlignedBuffer> pFile = std::move(m_vecFree.back());
    m_vecFree.pop_back();
    guard.unlock();
    size_t nLength = 0;
    try {
        nLength = CChunkStore::Encode(strContent, bCompress, *pFile);
    } catch (const std::bad_alloc&) {
        strError = "out of memory for a chunk file";
    }
    const std::string strTemp = TempPathIn(m_store.FanOf(strHash));
    guard.lock();
    // Two disk writers may store the same content at once; one file is written.
    if (nLength == 0 || !m_mapPending.emplace(strHash, strTemp).second) {
        m_vecFree.push_back(std::move(pFile));
    } else {
        m_setUnwritten.insert(strTemp);
        SJob job;
        job.strPath = strTemp;
        job.pFile = std::move(pFile);
        job.nLength = nLength;
        m_queue.push_back(std::move(job));
    }
    m_changed.notify_all();
    return nLength > 0;
}

bool CChunkBatch::PutHashing(std::string& strContent, bool bCompress, SGroup& group,
                             std::string* pHash, std::string& strError) {
    std::unique_lock<std::mutex> guard(m_mutex);
    // One chunk at most waits for a thread, which bounds the memory the batch holds.
    m_changed.wait(guard, [&] { return m_nQueuedHashing == 0 || !m_strWriteError.empty(); });
    if (!m_strWriteError.empty()) {
        strError = m_strWriteError;
        return false;
    }
    SJob job;
    job.strContent.swap(strContent);
    if (!m_vecSpare.empty()) {
        strContent.swap(m_vecSpare.back());
        m_vecSpare.pop_back();
    }
    job.bCompress = bCompress;
    job.pGroup = &group;
    job.pHash = pHash;
    ++group.nHashing;
    ++m_nHashing;
    ++m_nQueuedHashing;
    m_queue.push_back(std::move(job));
    m_changed.notify_all();
    return true;
}

bool CChunkBatch::Wait(SGroup& group, std::string& strError) const {
    std::unique_lock<std::mutex> guard(m_mutex);
    m_changed.wait(guard, [&] { return group.nHashing == 0; });
    if (m_strWriteError.empty()) return true;
    strError = m_strWriteError;
    return false;
}

bool CChunkBatch::Get(const std::string& strHash, std::string& strContent,
                      std::string& strError) const {
    std::string strPath;
    {
        std::unique_lock<std::mutex> guard(m_mutex);
        auto it = m_mapPending.find(strHash);
        strPath = it == m_mapPending.end() ? m_store.PathOf(strHash) : it->second;
        // This batch's chunk is read once its own file is written.
        m_changed.wait(guard, [&] { return !m_setUnwritten.count(strPath); });
    }
    return m_store.ReadFile(strPath, strHash, strContent, strError);
}

bool CChunkBatch::Publish(std::string& strError) {
    std::unique_lock<std::mutex> guard(m_mutex);
    if (!Drained(guard, strError)) return false;
    if (m_mapPending.empty()) return true;
    const bool bEach = m_mapPending.size() < m_nSyncEachBelow;
    std::set<std::string> setFolders;  // those whose entries change
    for (const auto& pending : m_mapPending) {
        if (bEach && !SyncFile(pending.second, strError)) return false;
        setFolders.insert(m_store.FanOf(pending.first));
    }
    if (!bEach && !SyncFileSystem(m_store.Root(), strError)) return false;
    for (auto it = m_mapPending.begin(); it != m_mapPending.end();) {
        const std::string strPath = m_store.PathOf(it->first);
        if (::rename(it->second.c_str(), strPath.c_str()) != 0) {
            strError = ErrnoText("cannot rename to", strPath);
            return false;
        }
        it = m_mapPending.erase(it);
    }
    if (!bEach) return SyncFileSystem(m_store.Root(), strError);
    // A new fan-out folder's own entry lives in chunks/.
    setFolders.insert(m_store.Root() + "/chunks");
    for (const std::string& strDir : setFolders)
        if (!FsyncDir(strDir, strError)) return false;
    return true;
}
