// The backup host's side of the plug-in boundary. CPluginHost loads the plug-in library and
// holds the one plug-in object; RunBackup and RunRestore drive it through the agent's interface
// only (mount, mount information, disk open/extents/read/write, restore steps), moving disk data
// between the platform and the repository.
//
// Calls return false with a one-line error text and throw nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Repository.h"
#include "VMInfo.h"

namespace fcagent {

struct SConnection {
    std::string strUrl;
    std::string strUser;
    std::string strPassword;
    std::string strCAFile;   // extra certificate to trust
    bool bInsecure = false;  // certificate verification off; only when asked for
};

class CPluginHost {
public:
    // The plug-in next to this executable: <bin>/../lib/libFusionComputeInfo.so.
    static std::string DefaultLibrary();
    // Loads the library, creates the object through its factory and initialises it. The trust
    // settings are taken now: the plug-in's service connection is made with the object.
    static bool Load(const std::string& strLibrary, const SConnection& conn,
                     std::unique_ptr<CPluginHost>& pOut, std::string& strError);
    // Takes an object made some other way (a test's own plug-in); it is deleted with the host.
    static std::unique_ptr<CPluginHost> Adopt(IVMInfo* pInfo);
    ~CPluginHost();
    CPluginHost(const CPluginHost&) = delete;
    CPluginHost& operator=(const CPluginHost&) = delete;

    bool Connect(const SConnection& conn, std::string& strError);
    IVMInfo& Plugin() { return *m_pInfo; }
    // The plug-in's last error as "what: details (error N)".
    std::string LastError(const std::string& strWhat) const;
    int LastErrorCode() const;
    // A VM by name, else by GUID, with its disks.
    bool FindVM(const std::string& strNameOrGuid, VMInfoStructs::SVMInfo& vm,
                std::string& strError);

private:
    CPluginHost() = default;
    void* m_pLibrary = nullptr;
    IVMInfo* m_pInfo = nullptr;
    CVMInfo* m_pBase = nullptr;  // where the agent reads the last error
};

// Progress of a job in bytes. Called from the disk threads.
class IProgress {
public:
    virtual ~IProgress() = default;
    virtual void Begin(const std::string& strWhat) = 0;
    virtual void AddTotal(uint64_t ullBytes) = 0;  // the work grows as disks are looked at
    virtual void Advance(uint64_t ullBytes) = 0;
    virtual void End() = 0;
};

// Text progress on standard error: a bar with bytes, throughput and time left on a terminal,
// a line every tenth of the way otherwise, nothing when quiet.
std::unique_ptr<IProgress> MakeProgress(bool bQuiet);

// Disk requests are whole sectors: false (with the reason) for a size that is not.
bool ValidRequestSize(uint32_t nBytes, std::string& strError);

// "1.5 GiB" and the like.
std::string FormatBytes(uint64_t ullBytes);

struct SBackupRequest {
    std::string strVm;  // name or GUID
    bool bFull = false;
    unsigned nJobs = 1;
    uint32_t nRequestBytes = 1u << 20;              // a multiple of 512
    std::vector<std::string> vecExcludeDisks;       // name patterns
    std::vector<std::string> vecExcludeDatastores;  // datastore names
    int nMinFreePercent = 0;
    std::string strWorkDir;  // where the plug-in may mount the VM's files
};

struct SDiskResult {
    std::string strName;
    uint64_t ullCapacity = 0;
    uint64_t ullBytesRead = 0;
    std::string strTransport;
    std::string strCbt;             // "incremental" or "full"
    std::string strFallbackReason;  // why a disk of an incremental was read in full
    double dSeconds = 0;            // from its open to its close
};

struct SBackupResult {
    std::string strBackupId;
    std::string strVm;
    std::string strVmGuid;
    bool bIncremental = false;
    std::string strParentId;
    std::string strCbtStatus;  // the plug-in's: "Used", "Failed" or "Partially Used"
    uint64_t ullBytesRead = 0;
    uint64_t ullBytesSkipped = 0;
    double dSeconds = 0;
    std::vector<SDiskResult> vecDisks;
    std::vector<std::string> vecSkipped;  // disks left out as allowed, with the reason
};

bool RunBackup(CPluginHost& host, const CRepository& repo, const SBackupRequest& request,
               IProgress& progress, SBackupResult& result, std::string& strError);

struct SRestoreRequest {
    std::string strVm;        // name or GUID of the backed-up VM
    std::string strBackupId;  // empty: the VM's latest backup
    std::string strNewName;   // empty: the backed-up VM's name
    std::string strHost;      // empty: the backed-up VM's host
    std::string strCluster;
    bool bOverwrite = false;
    bool bPowerOn = false;
    bool bFromRecord = false;
    uint32_t nRequestBytes = 1u << 20;
    std::string strWorkDir;  // where the VM's descriptors are laid out for the plug-in
};

struct SRestoreResult {
    std::string strBackupId;
    std::string strVm;
    std::string strGuid;
    std::vector<std::string> vecDisks;
    uint64_t ullBytesWritten = 0;
    double dSeconds = 0;
    double dWriteSeconds = 0;  // creating and writing the disks
};

bool RunRestore(CPluginHost& host, const CRepository& repo, const SRestoreRequest& request,
                IProgress& progress, SRestoreResult& result, std::string& strError);

// The VM's latest complete backup (by name or GUID), or the one named; false when none.
bool FindBackup(const CRepository& repo, const std::string& strVm, const std::string& strId,
                SBackupInfo& out, std::string& strError);

}  // namespace fcagent
