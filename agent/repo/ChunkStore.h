// The chunk store: chunks/<first two hex digits>/<SHA-256 of the content in hex>.
//
// A chunk file is a 16-byte header (magic "FCCHUNK1", a flags byte whose bit 0 says the
// payload is zstd-compressed, three zero bytes, the raw length as 32-bit little-endian)
// followed by the payload. The name is the hash of the raw content, so a store is idempotent
// and every read can be checked against the name.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RepoFiles.h"

std::string Sha256Hex(const void* pData, size_t nLength);
bool IsChunkHash(const std::string& str);

class CChunkStore {
public:
    explicit CChunkStore(std::string strRoot) : m_strRoot(std::move(strRoot)) {}

    std::string FanOf(const std::string& strHash) const;  // the chunk's folder
    std::string PathOf(const std::string& strHash) const;
    // Reads, decompresses and checks the content against its name.
    bool Get(const std::string& strHash, std::string& strContent, std::string& strError) const;

    const std::string& Root() const { return m_strRoot; }
    // The chunk's folder exists, as a real folder.
    bool MakeFolder(const std::string& strHash, std::string& strError) const;
    // The file's bytes for the content, header and (compressed or raw) payload, into out;
    // returns how many.
    static size_t Encode(const std::string& strContent, bool bCompress, CAlignedBuffer& out);
    // Reads the chunk file at strPath and checks it against strHash.
    bool ReadFile(const std::string& strPath, const std::string& strHash, std::string& strContent,
                  std::string& strError) const;
    // A chunk of that name is stored as a real file.
    bool Has(const std::string& strHash) const;

private:
    std::string m_strRoot;
};

// The chunks of one backup. Their files are written at once under temporary names and become
// chunks only when the backup publishes them: one file-system sync makes them all durable
// before they are named, another makes the names durable (a batch of a few chunks syncs each
// file and folder instead). A backup thus costs a few syncs instead of two per chunk, and a crash
// never leaves a named chunk whose bytes are not on the disk (a later backup would take such a
// chunk as stored). Safe for several disk writers.
//
// The files are written by threads of the batch, so that the next chunk is read while the
// last ones are written. A whole chunk is also hashed there (PutHashing): hashing is the
// costliest step of a backup. Each thread hashes a chunk and then waits for its write, so a
// third thread keeps the cores hashing while two chunks are being written.
// A write that failed fails the next Put and the Publish.
class CChunkBatch {
public:
    // Below nSyncEachBelow chunks, each file and folder is synced instead of the file system,
    // which also waits for whatever else was written to it.
    static constexpr size_t c_nSyncEachBelow = 256;
    static constexpr size_t c_nWriteThreads = 3;
    // The puts of one caller that PutHashing has not named yet.
    struct SGroup {
        size_t nHashing = 0;
    };
    explicit CChunkBatch(const CChunkStore& store, size_t nSyncEachBelow = c_nSyncEachBelow);
    // Waits for the writes; the files of a batch that was never published are removed.
    ~CChunkBatch();
    CChunkBatch(const CChunkBatch&) = delete;
    CChunkBatch& operator=(const CChunkBatch&) = delete;

    // Stores the content unless a chunk of that name is already there; returns its hash.
    bool Put(const std::string& strContent, bool bCompress, std::string& strHash,
             std::string& strError);
    // The same, with the hash taken on a thread of the batch: the content is taken from
    // strContent (which gets a spare buffer of the batch instead), and *pHash is set once
    // Wait(group) returns. *pHash must stay in place until then.
    bool PutHashing(std::string& strContent, bool bCompress, SGroup& group, std::string* pHash,
                    std::string& strError);
    // Waits until every PutHashing of the group has its hash; false with the batch's first
    // failure.
    bool Wait(SGroup& group, std::string& strError) const;
    // A chunk of this batch (once written) or of the store.
    bool Get(const std::string& strHash, std::string& strContent, std::string& strError) const;
    // Waits for the writes, syncs, names every chunk and syncs again; the batch is empty
    // afterwards.
    bool Publish(std::string& strError);

private:
    // An encoded file to write (from Put), or with pGroup a chunk to hash, encode and write.
    struct SJob {
        std::string strPath;
        std::unique_ptr<CAlignedBuffer> pFile;
        size_t nLength = 0;
        std::string strContent;
        bool bCompress = false;
        SGroup* pGroup = nullptr;
        std::string* pHash = nullptr;
    };
    void WriteFiles();  // one writer thread
    void HashAndWrite(SJob& job, CAlignedBuffer& buffer);
    // Holding the lock: the first failure is kept.
    void SetError(const std::string& strError);
    // Holding the lock: waits until nothing is queued or being written; false with the first
    // write's failure.
    bool Drained(std::unique_lock<std::mutex>& guard, std::string& strError) const;

    const CChunkStore& m_store;
    const size_t m_nSyncEachBelow;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::map<std::string, std::string> m_mapPending;         // hash -> its temporary file
    std::vector<std::unique_ptr<CAlignedBuffer>> m_vecFree;  // Put's file buffers not in use
    std::vector<std::string> m_vecSpare;  // content buffers PutHashing hands back, warm
    std::deque<SJob> m_queue;
    size_t m_nHashing = 0;                 // chunks of PutHashing not yet named
    size_t m_nQueuedHashing = 0;           // of those, the ones no thread has taken yet
    std::set<std::string> m_setUnwritten;  // the files queued or being written
    std::string m_strWriteError;           // the first write that failed
    bool m_bStopping = false;
    std::vector<std::thread> m_vecThreads;
};
