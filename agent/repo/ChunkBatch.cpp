#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "ChunkStore.h"
#include "RepoFiles.h"

namespace {
// Every dirty page and entry of the repository's file system reaches the disk.
bool SyncFileSystem(const std::string& strRoot, std::string& strError) {
    CFd fd(::open(strRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid() || ::syncfs(fd.Get()) != 0) {
        strError = ErrnoText("cannot sync the file system of", strRoot);
        return false;
    }
    return true;
}
bool SyncFile(const std::string& strPath, std::string& strError) {
    CFd fd(::open(strPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid() || ::fdatasync(fd.Get()) != 0) {
        strError = ErrnoText("cannot sync", strPath);
        return false;
    }
    return true;
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
    bool bNewDir = false;
    if (!m_store.MakeFolder(strHash, bNewDir, strError)) return false;
    const std::string strFile = CChunkStore::Encode(strContent, bCompress);
    const std::string strPath = m_store.PathOf(strHash);
    const std::string strTemp = TempPathIn(strPath.substr(0, strPath.rfind('/')));
    {
        CFd fd(::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd.Valid()) {
            strError = ErrnoText("cannot create", strTemp);
            return false;
        }
        if (!WriteAll(fd.Get(), strFile.data(), strFile.size(), 0, strError)) {
            ::unlink(strTemp.c_str());
            return false;
        }
    }
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
        setFolders.insert(pending.second.substr(0, pending.second.rfind('/')));
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
