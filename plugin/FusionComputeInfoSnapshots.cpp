// Backup snapshots: the retrying snapshot request, the backup snapshot and its removal, the
// removal of backup snapshots that earlier jobs left behind, and the datastore space check.
#include <cstdint>
#include <set>

#include "FusionComputeInfo.h"
#include "NxClock.h"
#include "NxPlatformInfo.h"
#include "WzUtil.h"

using namespace VMInfoStructs;

namespace {
const char* const kSection = "VirtualServer";
const char* const kTagCreateForBackup =
    "bool CFusionComputeInfo::CreateVMSnapshotForBackup(MountCtx&)";
const char* const kTagCleanup = "void CFusionComputeInfo::CleanupSnapshot(MountCtx&)";
const char* const kTagCleanupExpired =
    "bool CFusionComputeInfo::CleanupExpiredSnapshots(VMInfoStructs::SVMInfo&)";
const char* const kTagFreeSpace = "bool CFusionComputeInfo::CheckDatastoreFreespace(MountCtx&)";

// The configured value, or the default when the key is absent. Read on every call so that a
// changed setting applies to the next job without a restart.
uint64_t ConfigNumber(const char* key, uint64_t defaultValue) {
    uint64_t value = defaultValue;
    if (NXPlatformInfo::getNumber(kSection, key, value) == 0) value = defaultValue;
    return value;
}
}  // namespace

bool CFusionComputeInfo::CreateVMSnapshot(const SVMInfo& vm, const string& name,
                                          const string& description, bool flag1, bool flag2,
                                          bool flag3, bool flag4, SSnapshot& outSnapshot,
                                          std::vector<SDisk>& outDisks) {
    uint64_t intervalSecs = ConfigNumber("nCreateSnapshotRetryIntervalSecs", 10);
    uint64_t retries = ConfigNumber("nCreateSnapshotRetryAttempts", 5);

    bool retryable = false;
    for (uint64_t attempt = 1;; ++attempt) {
        if (bridge->CreateVMSnapshot(vm, name, description, flag1, flag2, flag3, flag4, outSnapshot,
                                     outDisks))
            return true;
        retryable = bridge->IsCreateVMSnapshotErrorRetryable();
        if (!retryable || attempt > retries) break;
        WZSLEEP(static_cast<uint32_t>(intervalSecs * 1000));
    }
    // 205 carries no text of its own; the details are emptied so that whatever an earlier
    // failure left there is not read as the reason.
    if (retryable)
        SetLastVMError(VMINFO_ERR_RETRYABLE, string());
    else
        SetLastVMError(VMINFO_ERR_SNAPSHOT, bridge->GetLastError());
    return false;
}

bool CFusionComputeInfo::CreateVMSnapshotForBackup(MountCtx& ctx) {
    string description =
        FXString::Format("Snapshot Created for backup job %lld from %s",
                         static_cast<long long>(log.getJobId()), EvDebug::getClientName().c_str());
    log.Debug(kTagCreateForBackup, "Creating Snapshot of VM [%s] Guid [%s]", ctx.strVMName.c_str(),
              ctx.strVMGUID.c_str());

    SSnapshot snapshot;
    std::vector<SDisk> snapshotDisks;
    if (!CreateVMSnapshot(ctx.vmInfo, c_strBackupSnapshotName, description, false,
                          ctx.bSnapshotFlag2, true, ctx.bUseCBT, snapshot, snapshotDisks)) {
        // A condition the platform asked us to retry later is not helped by a plainer request.
        if (GetLastVMError() == VMINFO_ERR_RETRYABLE) return false;
        if (!ctx.bSnapshotFlag2) return false;
        if (!CreateVMSnapshot(ctx.vmInfo, c_strBackupSnapshotName, description, false, false, true,
                              ctx.bUseCBT, snapshot, snapshotDisks))
            return false;
    }
    log.Debug(kTagCreateForBackup, "Successfully created Snapshot [%s] of VM [%s] Guid [%s]",
              snapshot.strID.c_str(), ctx.strVMName.c_str(), ctx.strVMGUID.c_str());
    ctx.strSnapshotID = snapshot.strID;

    // The disks are read through their references inside the snapshot.
    for (const SDisk& snapshotDisk : snapshotDisks)
        for (SDisk& disk : ctx.vmInfo.vecDisks)
            if (disk.strName == snapshotDisk.strName)
                disk.strSnapshotDiskID = snapshotDisk.strSnapshotDiskID;
    return true;
}

void CFusionComputeInfo::CleanupSnapshot(MountCtx& ctx) {
    if (ctx.strSnapshotID.empty()) return;
    SSnapshot snapshot;
    snapshot.strID = ctx.strSnapshotID;
    log.Debug(kTagCleanup, "Deleting Snapshot [%s] of VM [%s] Guid [%s]", ctx.strSnapshotID.c_str(),
              ctx.strVMName.c_str(), ctx.strVMGUID.c_str());
    if (bridge->DeleteVMSnapshot(ctx.strVMName, "", ctx.strVMGUID, snapshot)) {
        log.Debug(kTagCleanup, "Successfully deleted Snapshot [%s] of VM [%s] Guid [%s]",
                  ctx.strSnapshotID.c_str(), ctx.strVMName.c_str(), ctx.strVMGUID.c_str());
        ctx.strSnapshotID.clear();
        return;
    }
    // The identifier stays, so that a later unmount or clean-up tries again.
    log.Error(kTagCleanup, "Failed to delete snapshot [%s] of VM [%s] Guid [%s], %s",
              ctx.strSnapshotID.c_str(), ctx.strVMName.c_str(), ctx.strVMGUID.c_str(),
              bridge->GetLastError().c_str());
}

bool CFusionComputeInfo::CleanupExpiredSnapshots(SVMInfo& vm) {
    uint64_t hours = ConfigNumber("nExpireSnapshotHours", 24);
    if (hours == 0) return true;
    // A limit too large to count in seconds means nothing is old enough; letting the product
    // wrap would make every backup snapshot look expired.
    if (hours > static_cast<uint64_t>(INT64_MAX) / 3600) return true;
    const int64_t maxAge = static_cast<int64_t>(hours * 3600);

    auto it = vm.vecSnapshots.begin();
    while (it != vm.vecSnapshots.end()) {
        // Only the exact name marks a snapshot as ours; anything else belongs to someone else.
        if (it->strName == c_strBackupSnapshotName) {
            int64_t age = NxClock::Now() - it->tCreateTime;
            if (age > maxAge) {
                log.Debug(kTagCleanupExpired, "Snapshot [%s] is expired - %s", it->strID.c_str(),
                          it->strDescription.c_str());
                if (bridge->DeleteVMSnapshot(vm, *it)) {
                    it = vm.vecSnapshots.erase(it);
                    continue;
                }
            }
        }
        ++it;
    }
    return true;
}

bool CFusionComputeInfo::CheckDatastoreFreespace(MountCtx& ctx) {
    if (ctx.nMinFreeSpacePercent == 0) return true;

    std::set<string> checked;
    bool result = true;
    for (const SDisk& disk : ctx.vmInfo.vecDisks) {
        if (disk.nDiskType != 1 || disk.bIsIndependent) continue;
        if (checked.count(disk.strDatastore) != 0) continue;

        SDatastoreInfo datastore;
        if (!bridge->GetDataStoreInfo(disk.strDatastore, "", datastore, 0)) {
            log.Error(kTagFreeSpace, "Failed to get datastore info for [%s]",
                      disk.strDatastore.c_str());
            return false;
        }
        // A datastore that reports no capacity has no room; dividing by it would give a NaN
        // that passes every comparison.
        float percent = 0.0f;
        if (datastore.llCapacity > 0)
            percent = static_cast<float>(datastore.llFreeSpace) /
                      static_cast<float>(datastore.llCapacity) * 100;
        log.Debug(kTagFreeSpace,
                  "Datastore: [%s] has %2.3f%% free space     (%llu bytes remaining of %llu "
                  "total bytes)",
                  datastore.strName.c_str(), static_cast<double>(percent),
                  static_cast<unsigned long long>(datastore.llFreeSpace),
                  static_cast<unsigned long long>(datastore.llCapacity));
        // Keep checking: the log then names every datastore that is short of space.
        if (static_cast<float>(ctx.nMinFreeSpacePercent) > percent) result = false;
        checked.insert(disk.strDatastore);
    }
    return result;
}
