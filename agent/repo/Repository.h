// The backup repository: a folder of content-addressed chunks and one manifest per backup.
//
// Every manifest is a complete image of its point in time (each disk's full index of chunks),
// so any backup restores, exports and verifies on its own; a chunk is stored once however many
// backups, disks or VMs hold it. The layout on disk is described in docs/repository.md.
//
// Calls return false with a readable error text and throw nothing. Writers and readers hold a
// shared lock on the repository for their lifetime; Prune and CollectGarbage take it exclusive
// and refuse (rather than wait) while any writer or reader is open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

// True when the nLength bytes at pData are all zero (a zero chunk is not stored).
bool IsZeroBlock(const void* pData, size_t nLength);

struct SRepositoryOptions {
    uint64_t ullChunkSize = 4ull << 20;
    bool bCompress = false;  // default for backups that do not choose
};

struct SVmRecord {
    std::string strName;
    std::string strGuid;
    nlohmann::json jInfo;  // the caller's own description (descriptors, disk list), kept as given
};

enum class EBackupKind { Full, Incremental };

struct SDiskRecord {
    std::string strName;
    uint64_t ullCapacity = 0;
    std::string strChangeToken;
};

struct SBackupInfo {
    std::string strId;
    SVmRecord vm;
    EBackupKind eKind = EBackupKind::Full;
    std::string strParentId;    // empty for a full backup
    uint64_t ullCreatedUs = 0;  // microseconds since the epoch
    bool bComplete = false;
    bool bCompressed = false;
    uint64_t ullChunkSize = 0;
    std::vector<SDiskRecord> vecDisks;
};

struct SBackupOptions {
    std::string strParentId;          // empty: a full backup
    std::optional<bool> optCompress;  // unset: the repository's default
};

struct SVerifyReport {
    uint64_t ullChunksChecked = 0;  // distinct chunks read, decompressed and hashed
    std::vector<std::string> vecErrors;
    bool Ok() const { return vecErrors.empty(); }
};

struct SGcReport {
    uint64_t ullBackupsRemoved = 0;
    uint64_t ullChunksRemoved = 0;
    uint64_t ullChunksKept = 0;
    uint64_t ullTempFilesRemoved = 0;
};

// One disk of a backup being written. Disk writers of one backup may be used from different
// threads at once; each one is used by one thread at a time.
class CDiskWriter {
public:
    struct SImpl;
    explicit CDiskWriter(std::unique_ptr<SImpl> pImpl);
    ~CDiskWriter();  // without Close the disk is lost and the backup can no longer commit
    CDiskWriter(const CDiskWriter&) = delete;
    CDiskWriter& operator=(const CDiskWriter&) = delete;

    bool WriteAt(uint64_t ullOffset, const void* pData, size_t nLength, std::string& strError);
    bool Close(std::string& strError);

private:
    std::unique_ptr<SImpl> m_pImpl;
};

// How a disk starts before the caller's writes land in it.
enum class EDiskBase {
    Parent,  // the parent backup's disk of the same name (zero where it has none)
    Zero,    // all zero: the caller writes every non-zero byte
};

class CBackupWriter {
public:
    struct SImpl;
    explicit CBackupWriter(std::unique_ptr<SImpl> pImpl);
    ~CBackupWriter();  // without Commit nothing becomes visible
    CBackupWriter(const CBackupWriter&) = delete;
    CBackupWriter& operator=(const CBackupWriter&) = delete;

    const std::string& Id() const;
    // Disks are listed in the manifest in the order they are opened. With EDiskBase::Parent,
    // chunks the caller does not write are inherited from the parent's disk of the same name
    // (zero without a parent) and a chunk written in part keeps the parent's other bytes.
    bool OpenDisk(const std::string& strName, uint64_t ullCapacity,
                  const std::string& strChangeToken, EDiskBase eBase,
                  std::unique_ptr<CDiskWriter>& pOut, std::string& strError);
    // One disk at a time, on the writer itself (EDiskBase::Parent).
    bool BeginDisk(const std::string& strName, uint64_t ullCapacity,
                   const std::string& strChangeToken, std::string& strError);
    bool WriteAt(uint64_t ullOffset, const void* pData, size_t nLength, std::string& strError);
    bool EndDisk(std::string& strError);
    // Refused after any failed call and while a disk is open: a backup with a lost extent
    // must not look complete.
    bool Commit(std::string& strError);

private:
    std::unique_ptr<SImpl> m_pImpl;
};

class CBackupReader {
public:
    struct SImpl;
    explicit CBackupReader(std::unique_ptr<SImpl> pImpl);
    ~CBackupReader();
    CBackupReader(const CBackupReader&) = delete;
    CBackupReader& operator=(const CBackupReader&) = delete;

    const SBackupInfo& Info() const;
    bool ReadAt(const std::string& strDisk, uint64_t ullOffset, void* pBuffer, size_t nLength,
                std::string& strError);
    // A sparse raw image: the file is sized first and zero chunks are left as holes.
    bool ExportDisk(const std::string& strDisk, const std::string& strPath, std::string& strError);
    // Every chunk the backup references must exist, decompress and hash to its name; false
    // when any does not, with one error per damaged chunk in the report.
    bool Verify(SVerifyReport& report);

private:
    std::unique_ptr<SImpl> m_pImpl;
};

// A name no path can be made of: not empty, no control character, '/' or '\\', not "." or
// "..". Disk names in manifests must be one, so that no consumer of a hostile manifest can turn
// one into a path.
bool IsPlainName(const std::string& str);

class CRepository {
public:
    static bool Create(const std::string& strPath, const SRepositoryOptions& options,
                       std::unique_ptr<CRepository>& pOut, std::string& strError);
    static bool Open(const std::string& strPath, std::unique_ptr<CRepository>& pOut,
                     std::string& strError);

    const std::string& Path() const { return m_strRoot; }
    const SRepositoryOptions& Options() const { return m_options; }

    // Committed backups only, oldest first.
    bool ListBackups(std::vector<SBackupInfo>& vecOut, std::string& strError) const;
    bool StartBackup(const SVmRecord& vm, const SBackupOptions& options,
                     std::unique_ptr<CBackupWriter>& pOut, std::string& strError) const;
    bool OpenBackup(const std::string& strId, std::unique_ptr<CBackupReader>& pOut,
                    std::string& strError) const;
    // Keeps the newest nKeepLast backups of the VM (matched by name or GUID), then collects.
    bool Prune(const std::string& strVmNameOrGuid, size_t nKeepLast, SGcReport& report,
               std::string& strError) const;
    // Removes chunks no manifest references and temporary files left by interrupted writes.
    bool CollectGarbage(SGcReport& report, std::string& strError) const;

private:
    CRepository(std::string strRoot, SRepositoryOptions options);
    bool CollectLocked(SGcReport& report, std::string& strError) const;

    std::string m_strRoot;
    SRepositoryOptions m_options;
};
