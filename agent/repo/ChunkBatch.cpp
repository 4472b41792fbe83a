#include <fcntl.h>
#include <unistd.h>

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

CChunkBatch::~CChunkBatch() {
    for (const auto& pending : m_mapPending) ::unlink(pending.second.c_str());
}

bool CChunkBatch::Put(const std::string& strContent, bool bCompress, std::string& strHash,
                      std::string& strError) {
    strHash = Sha256Hex(strContent.data(), strContent.size());
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_mapPending.count(strHash)) return true;
    }
    if (m_store.Has(strHash)) return true;
    if (!m_store.MakeFolder(strHash, strError)) return false;
    const std::string strTemp = TempPathIn(m_store.FanOf(strHash));
    if (!WriteNewFile(strTemp, CChunkStore::Encode(strContent, bCompress), false, strError))
        return false;
    // Two disk writers may store the same content at once; one file is kept.
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_mapPending.emplace(strHash, strTemp).second) ::unlink(strTemp.c_str());
    return true;
}

bool CChunkBatch::Get(const std::string& strHash, std::string& strContent,
                      std::string& strError) const {
    std::string strPath;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_mapPending.find(strHash);
        strPath = it == m_mapPending.end() ? m_store.PathOf(strHash) : it->second;
    }
    return m_store.ReadFile(strPath, strHash, strContent, strError);
}

bool CChunkBatch::Publish(std::string& strError) {
    std::lock_guard<std::mutex> guard(m_mutex);
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
