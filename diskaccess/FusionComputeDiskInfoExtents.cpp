// Changed and allocated extents from the management service's bitmaps, and the listings of a
// VM handle's disks used by restore.
#include <cstring>

#include "FusionComputeDiskInfo.h"

using FusionComputeDiskInfo::DiskHandle;
using FusionComputeDiskInfo::VMHandle;
using namespace VMInfoStructs;

bool CFusionComputeDiskInfo::GetDiskExtents(VmdkHandle h, const std::string& changeToken,
                                            uint64_t startOffset, SDiskChangeInfo& out) {
    static const char* kTag =
        "bool CFusionComputeDiskInfo::GetDiskExtents(VmdkHandle, std::string, uint64_t, "
        "VMInfoStructs::SDiskChangeInfo&)";
    if (startOffset != 0) {
        log.Error(kTag, "non-zero starting offset is not implemented");
        return false;
    }
    if (!h.pVMHandle || !h.pDiskHandle) return false;
    auto* vmHandle = static_cast<VMHandle*>(h.pVMHandle);
    auto* disk = static_cast<DiskHandle*>(h.pDiskHandle);
    if (disk->pDiskReader)
        return _GetDiskExtents_FusionStorage(vmHandle, disk, changeToken, startOffset, out);
    std::string bitmap;
    int sectorsPerBit = 0;
    const bool ok = changeToken.empty()
                        ? bridge->QueryDiskAllocatedBlocks(disk->strName, vmHandle->strSnapshotID,
                                                           bitmap, sectorsPerBit)
                        : bridge->QueryDiskChangedBlocks(disk->strName, vmHandle->strSnapshotID,
                                                         changeToken, bitmap, sectorsPerBit);
    if (!ok) return false;
    if (sectorsPerBit <= 0 && !bitmap.empty()) {
        // Zero sectors per bit would report every block as unchanged.
        log.Error(kTag, "Disk [%s] bitmap has %d sectors per bit", disk->strName.c_str(),
                  sectorsPerBit);
        return false;
    }
    ProcessCBTBitmap(bitmap, static_cast<uint32_t>(sectorsPerBit), disk->nSectorSize, out);
    return true;
}

namespace {

// Value of a hexadecimal digit; anything else counts as four clear bits.
struct SHexTable {
    uint8_t value[256];
    SHexTable() {
        std::memset(value, 0, sizeof(value));
        for (int c = '0'; c <= '9'; ++c) value[c] = uint8_t(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) value[c] = uint8_t(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c) value[c] = uint8_t(c - 'A' + 10);
    }
};
const SHexTable c_hex;

// Length of the run at p..end of characters equal to c, eight at a time.
size_t RunOf(const char* p, const char* end, char c) {
    const char* start = p;
    uint64_t pattern;
    std::memset(&pattern, c, sizeof(pattern));
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, sizeof(word));
        if (word != pattern) break;
        p += 8;
    }
    while (p < end && *p == c) ++p;
    return static_cast<size_t>(p - start);
}

}  // namespace

void CFusionComputeDiskInfo::ProcessCBTBitmap(const std::string& bitmap, uint32_t g, uint32_t s,
                                              SDiskChangeInfo& out) {
    out.ullStartOffset = 0;
    uint64_t p = 0;  // sectors
    uint64_t start = 0;
    bool open = false;
    auto close = [&]() {
        SDiskChangeExtent e;
        e.ullOffset = uint64_t(s) * start;
        e.ullLength = uint64_t(s) * (p - start);
        out.vecExtents.push_back(e);
        open = false;
    };
    const char* c = bitmap.data();
    const char* end = c + bitmap.size();
    while (c < end) {
        // Whole digits that change nothing: clear ones outside a run, full ones inside.
        size_t skip = RunOf(c, end, open ? 'F' : '0');
        if (!skip && open) skip = RunOf(c, end, 'f');
        if (skip) {
            p += uint64_t(4) * g * skip;
            c += skip;
            continue;
        }
        const uint8_t v = c_hex.value[static_cast<uint8_t>(*c++)];
        for (uint8_t mask = 8; mask; mask >>= 1) {
            if (v & mask) {
                if (!open) {
                    start = p;
                    open = true;
                }
            } else if (open) {
                close();
            }
            p += g;
        }
    }
    if (open) close();
    out.ullLength = uint64_t(s) * p;
}

bool CFusionComputeDiskInfo::GetDisks(const SVMInfo& vm, std::vector<SDisk>& out) {
    VMHandle* vmHandle = FindVMHandle(vm.strGUID);
    if (!vmHandle) return false;
    for (DiskHandle* disk : vmHandle->lstDisks) {
        SDisk d;
        d.strName = disk->strName;
        d.strGUID = disk->strGUID;
        out.push_back(d);
    }
    return true;
}

bool CFusionComputeDiskInfo::GetDiskUuidMap(const SVMInfo& vm,
                                            std::map<std::string, std::string>& out) {
    VMHandle* vmHandle = FindVMHandle(vm.strGUID);
    if (!vmHandle) return false;
    for (DiskHandle* disk : vmHandle->lstDisks) out[disk->strGUID] = disk->strFileName;
    return true;
}
