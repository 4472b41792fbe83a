// Disk-access leases: extended by the job thread before each transfer and by the admin thread
// every 30 seconds, sent to the management service only when the last extension is more than
// 150 seconds old.
#include "FusionComputeDiskInfo.h"
#include "NxClock.h"

using FusionComputeDiskInfo::DiskHandle;
using FusionComputeDiskInfo::VMHandle;

void CFusionComputeDiskInfo::_SetLease(DiskHandle* disk, const std::string& accessID, bool active) {
    NxCriticalSectionLock guard(&disk->csLease);
    disk->strAccessID = accessID;
    disk->bLeaseActive = active;
    disk->tLastLeaseExtension = 0;
}

bool CFusionComputeDiskInfo::ExtendDiskLease(VMHandle* vmHandle, DiskHandle* disk) {
    static const char* kTag =
        "bool CFusionComputeDiskInfo::ExtendDiskLease(FusionComputeDiskInfo::VMHandle*, "
        "FusionComputeDiskInfo::DiskHandle*)";
    NxCriticalSectionLock guard(&disk->csLease);
    if (!disk->bLeaseActive) return false;
    const int64_t now = NxClock::Now();
    if (disk->tLastLeaseExtension != 0 &&
        now <= disk->tLastLeaseExtension + static_cast<int64_t>(c_nLeaseRenewSeconds))
        return true;
    const int64_t span =
        disk->tLastLeaseExtension == 0 ? c_nLeaseSeconds : now - disk->tLastLeaseExtension;
    const int32_t seconds = static_cast<int32_t>(span);
    log.Debug(kTag, "Extending disk access lease for [%s] [%s] by %d seconds",
              vmHandle->strName.c_str(), disk->diskRecord.strName.c_str(), seconds);
    if (!bridge->ExtendDiskAccess(disk->strAccessID, static_cast<uint32_t>(seconds))) {
        log.Error(kTag, "Failed to extend disk access lease - %s", bridge->GetLastError().c_str());
        disk->bLeaseActive = false;
        return false;
    }
    disk->tLastLeaseExtension = NxClock::Now();
    return true;
}

bool CFusionComputeDiskInfo::StartAdminThread() {
    static const char* kTag = "bool CFusionComputeDiskInfo::StartAdminThread()";
    if (!adminThread.start([this]() { AdminThreadStatic(this); })) {
        log.Error(kTag, "Failed to start admin thread");
        return false;
    }
    log.Debug(kTag, "Admin thread started");
    return true;
}

void CFusionComputeDiskInfo::StopAdminThread() {
    static const char* kTag = "void CFusionComputeDiskInfo::StopAdminThread()";
    log.Debug(kTag, "Admin thread stopping");
    adminStopEvent.set();
    adminThread.join();
    log.Debug(kTag, "Admin thread stopped");
}

void* CFusionComputeDiskInfo::AdminThreadStatic(void* service) {
    static_cast<CFusionComputeDiskInfo*>(service)->AdminThread();
    return nullptr;
}

uint32_t CFusionComputeDiskInfo::NextAdminWaitMillis(uint64_t passMillis) {
    const uint64_t interval = c_nAdminIntervalSeconds * 1000ull;
    return passMillis > interval ? 1000u : static_cast<uint32_t>(interval - passMillis);
}

void CFusionComputeDiskInfo::AdminThread() {
    static const char* kTag = "void CFusionComputeDiskInfo::AdminThread()";
    adminThreadRunning = true;
    log.Debug(kTag, "Admin thread running");
    uint32_t waitMs = c_nAdminIntervalSeconds * 1000u;
    while (!adminStopEvent.wait(waitMs)) {
        const uint64_t start = NxClock::NowMs();
        ExtendAllDiskLeases();
        waitMs = NextAdminWaitMillis(NxClock::NowMs() - start);
    }
    log.Debug(kTag, "Admin thread exiting");
    adminThreadRunning = false;
}

void CFusionComputeDiskInfo::ExtendAllDiskLeases() {
    NxCriticalSectionLock guard(&vmHandlesLock);
    for (VMHandle* vm : vmHandles)
        for (DiskHandle* disk : vm->lstDisks) ExtendDiskLease(vm, disk);
}
