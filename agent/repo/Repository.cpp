#include "Repository.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "BackupImpl.h"
#include "ChunkStore.h"
#include "Manifest.h"
#include "RepoFiles.h"

using nlohmann::json;

namespace {
constexpr const char* kRepoFormat = "fc-backup-repository";
constexpr int kRepoVersion = 1;

std::string ConfigPath(const std::string& strRoot) {
    return strRoot + "/repository.json";
}

bool MakeDir(const std::string& strPath, std::string& strError) {
    if (::mkdir(strPath.c_str(), 0755) == 0 || errno == EEXIST) return true;
    strError = ErrnoText("cannot create", strPath);
    return false;
}

bool Unlink(const std::string& strPath, std::string& strError) {
    if (::unlink(strPath.c_str()) == 0 || errno == ENOENT) return true;
    strError = ErrnoText("cannot remove", strPath);
    return false;
}

// Removes temporary files from a folder, counting them.
bool RemoveTemps(const std::string& strDir, const std::vector<std::string>& vecNames,
                 SGcReport& report, std::string& strError) {
    for (const std::string& strName : vecNames) {
        if (strName.rfind(kTempPrefix, 0) != 0) continue;
        if (!Unlink(strDir + "/" + strName, strError)) return false;
        ++report.ullTempFilesRemoved;
    }
    return true;
}
}  // namespace

CRepository::CRepository(std::string strRoot, SRepositoryOptions options)
    : m_strRoot(std::move(strRoot)), m_options(options) {}

bool CRepository::Create(const std::string& strPath, const SRepositoryOptions& options,
                         std::unique_ptr<CRepository>& pOut, std::string& strError) {
    if (options.ullChunkSize < 4096 || options.ullChunkSize > (1ull << 30) ||
        options.ullChunkSize % 4096 != 0) {
        strError = "the chunk size must be a multiple of 4 KiB up to 1 GiB";
        return false;
    }
    std::vector<std::string> vecNames;
    if (!MakeDir(strPath, strError)) return false;
    if (!ListDir(strPath, vecNames, strError)) return false;
    if (!vecNames.empty()) {
        strError = "cannot create a repository in " + strPath + ": the folder is not empty";
        return false;
    }
    if (!MakeDir(strPath + "/chunks", strError) || !MakeDir(strPath + "/backups", strError) ||
        !WriteFileDurable(strPath + "/lock", "", strError))
        return false;
    const json j = {{"format", kRepoFormat},
                    {"version", kRepoVersion},
                    {"chunk_size", options.ullChunkSize},
                    {"compress", options.bCompress}};
    // Written last: a folder without it is not a repository, however far creation went.
    if (!WriteFileDurable(ConfigPath(strPath), j.dump(1) + "\n", strError)) return false;
    pOut.reset(new CRepository(strPath, options));
    return true;
}

bool CRepository::Open(const std::string& strPath, std::unique_ptr<CRepository>& pOut,
                       std::string& strError) {
    std::string strText;
    if (!ReadWholeFile(ConfigPath(strPath), strText, strError)) {
        strError = strPath + " is not a backup repository (" + strError + ")";
        return false;
    }
    SRepositoryOptions options;
    try {
        const json j = json::parse(strText);
        if (j.value("format", "") != kRepoFormat || j.value("version", 0) != kRepoVersion)
            throw std::runtime_error("unknown format or version");
        options.ullChunkSize = j.at("chunk_size").get<uint64_t>();
        options.bCompress = j.at("compress").get<bool>();
        if (options.ullChunkSize == 0) throw std::runtime_error("zero chunk size");
    } catch (const std::exception& e) {
        strError = strPath + " is not a valid backup repository: " + e.what();
        return false;
    }
    if (!CheckRepoFolders(strPath, strError)) return false;
    pOut.reset(new CRepository(strPath, options));
    return true;
}

bool CRepository::ListBackups(std::vector<SBackupInfo>& vecOut, std::string& strError) const {
    std::vector<SManifest> vecManifests;
    if (!LoadAllManifests(m_strRoot, vecManifests, strError)) return false;
    vecOut.clear();
    for (SManifest& m : vecManifests) vecOut.push_back(std::move(m.info));
    return true;
}

bool CRepository::StartBackup(const SVmRecord& vm, const SBackupOptions& options,
                              std::unique_ptr<CBackupWriter>& pOut, std::string& strError) const {
    if (vm.strName.empty() && vm.strGuid.empty()) {
        strError = "a backup needs the VM's name or GUID";
        return false;
    }
    return MakeBackupWriter(m_strRoot, m_options, vm, options, pOut, strError);
}

bool CRepository::OpenBackup(const std::string& strId, std::unique_ptr<CBackupReader>& pOut,
                             std::string& strError) const {
    return MakeBackupReader(m_strRoot, strId, pOut, strError);
}

bool CRepository::Prune(const std::string& strVmNameOrGuid, size_t nKeepLast, SGcReport& report,
                        std::string& strError) const {
    report = SGcReport();
    CRepoLock lock;
    if (!lock.Acquire(m_strRoot, true, strError)) return false;
    std::vector<SManifest> vecManifests;
    if (!LoadAllManifests(m_strRoot, vecManifests, strError)) return false;
    std::vector<std::string> vecIds;
    for (const SManifest& m : vecManifests)
        if (m.info.vm.strName == strVmNameOrGuid || m.info.vm.strGuid == strVmNameOrGuid)
            vecIds.push_back(m.info.strId);
    if (vecIds.empty()) {
        strError = "the repository holds no backup of " + strVmNameOrGuid;
        return false;
    }
    for (size_t i = 0; i + nKeepLast < vecIds.size(); ++i) {
        if (!Unlink(ManifestPath(m_strRoot, vecIds[i]), strError)) return false;
        ++report.ullBackupsRemoved;
    }
    // The removals must be durable before any chunk goes, or a crash could bring back a
    // manifest whose chunks are gone.
    if (!FsyncDir(m_strRoot + "/backups", strError)) return false;
    return CollectLocked(report, strError);
}

bool CRepository::CollectGarbage(SGcReport& report, std::string& strError) const {
    report = SGcReport();
    CRepoLock lock;
    return lock.Acquire(m_strRoot, true, strError) && CollectLocked(report, strError);
}

bool CRepository::CollectLocked(SGcReport& report, std::string& strError) const {
    // A manifest that cannot be read may still reference chunks, so nothing is collected.
    std::vector<SManifest> vecManifests;
    if (!LoadAllManifests(m_strRoot, vecManifests, strError)) {
        strError = "garbage collection refused: " + strError;
        return false;
    }
    std::set<std::string> setUsed;
    for (const SManifest& m : vecManifests) {
        for (const auto& vecIndex : m.vecIndexes) setUsed.insert(vecIndex.begin(), vecIndex.end());
        for (const TPatchMap& mapPatches : m.vecPatches)
            for (const auto& entry : mapPatches)
                for (const SPatch& p : entry.second) setUsed.insert(p.strHash);
    }
    std::vector<std::string> vecNames, vecFans;
    const std::string strBackups = m_strRoot + "/backups", strChunks = m_strRoot + "/chunks";
    if (!ListDir(strBackups, vecNames, strError) ||
        !RemoveTemps(strBackups, vecNames, report, strError) ||
        !ListDir(strChunks, vecFans, strError))
        return false;
    for (const std::string& strFan : vecFans) {
        const std::string strDir = strChunks + "/" + strFan;
        if (strFan.size() != 2) continue;
        if (!ListDir(strDir, vecNames, strError) ||
            !RemoveTemps(strDir, vecNames, report, strError))
            return false;
        for (const std::string& strName : vecNames) {
            if (!IsChunkHash(strName) || strName.compare(0, 2, strFan) != 0) continue;
            if (setUsed.count(strName)) {
                ++report.ullChunksKept;
                continue;
            }
            if (!Unlink(strDir + "/" + strName, strError)) return false;
            ++report.ullChunksRemoved;
        }
    }
    return true;
}
