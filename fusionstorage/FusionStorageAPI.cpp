#include "FusionStorageAPI.h"

#include <cstdlib>

#include "NxClock.h"
#include "NxPlatformInfo.h"
#include "WzUtil.h"

const char* const CFusionStorageAPI::c_szClusterInfoFile = "/opt/dsware/vbs/conf/vbs_cluster_info";

CFusionStorageAPI::CFusionStorageAPI() = default;

CFusionStorageAPI::~CFusionStorageAPI() = default;

std::string CFusionStorageAPI::GetClusterInfoFile() const {
    if (!strClusterInfoFile.empty()) return strClusterInfoFile;
    const char* pszEnv = std::getenv("FC_FS_CLUSTER_INFO");
    if (pszEnv != nullptr && *pszEnv != '\0') return pszEnv;
    return c_szClusterInfoFile;
}

bool CFusionStorageAPI::Initialize(const std::string& localIp_) {
    localIp = localIp_;
    if (!LoadClusterInfo()) return false;
    if (!cli.Initialize(localIp, managerIps)) return false;
    initialized = true;
    return IsInitialized();
}

bool CFusionStorageAPI::LoadClusterInfo() {
    static const char* const tag = "bool CFusionStorageAPI::LoadClusterInfo()";
    static const char c_szKey[] = "vbs_manager_ips=";
    std::string strPath = GetClusterInfoFile();
    if (!CWzPath::Exists(strPath)) return false;

    std::string strContent;
    if (!ReadWholeFile(strPath, strContent)) {
        Error(tag, "Failed to read cluster info file [%s]", strPath.c_str());
        return false;
    }
    size_t nKey = strContent.find(c_szKey);
    if (nKey == std::string::npos) {
        Error(tag, "Failed to find vbs manager ip in cluster info file [%s]", strPath.c_str());
        return false;
    }
    size_t nStart = nKey + sizeof(c_szKey) - 1;
    size_t nEnd = strContent.find('\n', nStart);
    if (nEnd == std::string::npos) nEnd = strContent.size();
    managerIps = FXString::TrimRight(strContent.substr(nStart, nEnd - nStart), ",");
    Debug(tag, "FusionStorage Management Cluster IPs: [%s]", managerIps.c_str());
    return true;
}

bool CFusionStorageAPI::CreateVolumeFromSnapshot(const std::string& volumeName,
                                                 const std::string& snapshotName,
                                                 uint64_t volumeSize) {
    return cli.CreateVolumeFromSnapshot(volumeName, snapshotName, volumeSize);
}

bool CFusionStorageAPI::DeleteVolume(const std::string& volumeName) {
    return cli.DeleteVolume(volumeName);
}

bool CFusionStorageAPI::AttachVolume(const std::string& volumeName, std::string& devicePath) {
    return cli.AttachVolume(volumeName, devicePath);
}

bool CFusionStorageAPI::QueryVolume(const std::string& volumeName, uint64_t& volumeSize) {
    return cli.QueryVolume(volumeName, volumeSize);
}

bool CFusionStorageAPI::DetatchVolume(const std::string& volumeName) {
    return cli.DetatchVolume(volumeName);
}

bool CFusionStorageAPI::QueryBitmapVolume(const std::string& volumeName, uint32_t& status,
                                          uint32_t& blockSize) {
    return cli.QueryBitmapVolume(volumeName, status, blockSize);
}

bool CFusionStorageAPI::CreateBitmapVolume(const std::string& volumeName,
                                           const std::string& snapshotFrom,
                                           const std::string& snapshotTo, uint32_t& blockSize) {
    if (!cli.CreateBitmapVolume(volumeName, snapshotFrom, snapshotTo)) return false;

    uint64_t ullLimit = c_nDefaultMaxQueryBitMapAttempts;
    NXPlatformInfo::getNumber(NXPI_SECTION_VIRTUAL_SERVER, "nMaxQueryBitMapAttempts", ullLimit);
    const uint32_t nLimit = ullLimit > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ullLimit);

    // The limit counts pauses beyond the first query: the loop gives up once the counter has
    // passed it, so the volume gets limit + 2 queries in all. A volume given up on exists all
    // the same; it is deleted, as no caller holds its name for a later clean-up.
    uint64_t nAttempts = 0;
    for (;;) {
        uint32_t nStatus = 0;
        if (!cli.QueryBitmapVolume(volumeName, nStatus, blockSize)) break;
        if (nStatus == 0) return true;
        if (nAttempts > nLimit) break;
        ++nAttempts;
        WZSLEEP(c_nBitmapQueryPauseMs);
    }
    cli.DeleteVolume(volumeName);
    return false;
}
