// The CVMInfo base: last error, caches and discovery checks, filters, failure lists.
#include "VMInfo.h"

#include <algorithm>

using namespace VMInfoStructs;

CVMInfo::CVMInfo(VirtualServerInstanceType type) : m_eType(type) {}

CVMInfo::~CVMInfo() = default;

int CVMInfo::Init(unsigned long flags) {
    m_ulInitFlags = flags;
    return 1;
}

bool CVMInfo::IsDiskFiltered(MountCtx& ctx, const SDisk& disk) {
    for (const SDiskFilterRule& rule : ctx.vecDiskFilters) {
        bool filtered = false;
        switch (rule.eKind) {
            case DISK_FILTER_PATH:
                filtered = IsDiskFilteredByPath(rule.strRule, disk);
                break;
            case DISK_FILTER_LABEL:
                filtered = IsDiskFilteredByLabel(rule.strRule, disk);
                break;
            case DISK_FILTER_TYPE:
                filtered = IsDiskFilteredByType(rule.strRule, disk);
                break;
            case DISK_FILTER_INDEX_PATH:
                filtered = IsDiskFilteredByIndexPath(rule.strRule, disk);
                break;
            case DISK_FILTER_TAG:
                filtered = IsDiskFilteredByTag(rule.strRule, disk);
                break;
            case DISK_FILTER_PATTERN:
                filtered = IsDiskFilteredByPattern(rule.strRule, disk);
                break;
            case DISK_FILTER_VIRTUAL_DEVICE_NODE:
                filtered = IsDiskFilteredByVirtualDeviceNode(rule.strRule, disk);
                break;
            case DISK_FILTER_DATASTORE:
                filtered = IsDiskFilteredByDatastore(ctx, rule.strRule, disk);
                break;
            default:
                log.Error("bool CVMInfo::IsDiskFiltered(MountCtx&, const VMInfoStructs::SDisk&)",
                          "Unknown disk filter kind [%d] with rule [%s] ignored",
                          static_cast<int>(rule.eKind), rule.strRule.c_str());
                break;
        }
        if (filtered) return true;
    }
    return false;
}

bool CVMInfo::IsDiskFilteredByPattern(const string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByVirtualDeviceNode(const string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByDatastore(MountCtx&, const string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByPath(const string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByLabel(const string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByType(const string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByIndexPath(const string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByTag(const string&, const SDisk&) {
    return false;
}

bool CVMInfo::_RefreshHostInfoCache(UINT64 flags, int request) {
    m_bHostCacheValid = true;
    m_ullLastHostFlags = flags;
    m_nLastHostRequest = request;
    return true;
}

bool CVMInfo::_RefreshDSInfoCache(UINT64 flags, int request) {
    ullLastDSFlags = flags;
    nLastDSRequest = request;
    return true;
}

bool CVMInfo::_RefreshClusterInfoCache(UINT64 flags, int request) {
    // The plug-in calls this after refilling the datastore cache.
    return CVMInfo::_RefreshDSInfoCache(flags, request);
}

void CVMInfo::SetLastVMError(EVMInfoError code) {
    std::lock_guard<std::mutex> guard(m_errorLock);
    m_eLastError = code;
    if (code == VMINFO_ERR_NONE) m_strLastErrorDetails.clear();
}

void CVMInfo::SetLastVMError(EVMInfoError code, const string& details) {
    std::lock_guard<std::mutex> guard(m_errorLock);
    m_eLastError = code;
    m_strLastErrorDetails = code == VMINFO_ERR_NONE ? string() : details;
}

void CVMInfo::SetLastVMErrorDetails(const string& details) {
    std::lock_guard<std::mutex> guard(m_errorLock);
    m_strLastErrorDetails = details;
}

EVMInfoError CVMInfo::GetLastVMError() {
    std::lock_guard<std::mutex> guard(m_errorLock);
    return m_eLastError;
}

string CVMInfo::GetLastVMErrorDetails() {
    std::lock_guard<std::mutex> guard(m_errorLock);
    return m_strLastErrorDetails;
}

bool CVMInfo::IsNewHostDiscoveryReq(UINT64 flags, int request) {
    return !m_bHostCacheValid || vecHostInfoCache.empty() || request == 0 ||
           flags != m_ullLastHostFlags || request != m_nLastHostRequest;
}

bool CVMInfo::IsNewDiscoveryReq(size_t cacheSize, UINT64 lastFlags, int lastRequest, UINT64 flags,
                                int request) {
    return cacheSize == 0 || request == 0 || flags != lastFlags || request != lastRequest;
}

void CVMInfo::ResetCaches() {
    vecHostInfoCache.clear();
    vecDSInfoCache.clear();
    m_bHostCacheValid = false;
    m_ullLastHostFlags = 0;
    m_nLastHostRequest = 0;
    ullLastDSFlags = 0;
    nLastDSRequest = 0;
}

std::vector<SVMInfo> CVMInfo::_FilterVMInfoList(const std::vector<SVMInfo>& vms,
                                                const std::vector<string>& names,
                                                EFilterType filterType) {
    if (filterType != FILTER_TYPE_INCLUDE_BY_NAME && filterType != FILTER_TYPE_EXCLUDE_BY_NAME) {
        return vms;
    }
    const bool include = filterType == FILTER_TYPE_INCLUDE_BY_NAME;
    std::vector<SVMInfo> out;
    for (const SVMInfo& vm : vms) {
        bool listed = std::find(names.begin(), names.end(), vm.strName) != names.end();
        if (listed == include) out.push_back(vm);
    }
    return out;
}

void CVMInfo::AddMountFailure(MountCtx& ctx, const string& item, const string& reason,
                              bool ignorable) {
    ctx.vecMountFailures.push_back(SJobFailure{item, reason, ignorable});
}

void CVMInfo::AddRestoreFailure(RestoreCtx& ctx, const string& item, const string& reason,
                                bool ignorable) {
    ctx.vecRestoreFailures.push_back(SJobFailure{item, reason, ignorable});
}

bool CVMInfo::IsJobCancelled() {
    return m_bCancelled.load();
}

void CVMInfo::SetJobCancelled(bool cancelled) {
    m_bCancelled.store(cancelled);
}
