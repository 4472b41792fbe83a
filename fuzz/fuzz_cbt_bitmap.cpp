// The management service's changed-block bitmap as the disk access service turns it into
// extents. The input is
//   sectors per bit u16 | sector size selector u8 | the bitmap text
// The extents must come out in order, apart, not empty and inside the bitmap's length.
#include "FusionComputeDiskInfo.h"
#include "FuzzCommon.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::CInput in(data, size);
    const uint32_t sectorsPerBit = in.U16() + 1u;
    const uint32_t sectorSize = (in.U8() & 1) ? 4096 : 512;
    const std::string bitmap(reinterpret_cast<const char*>(in.Rest()), in.Left());
    VMInfoStructs::SDiskChangeInfo out;
    CFusionComputeDiskInfo::ProcessCBTBitmap(bitmap, sectorsPerBit, sectorSize, out);
    fuzz::Require(out.ullLength == uint64_t(bitmap.size()) * 4 * sectorsPerBit * sectorSize,
                  "four bits per digit");
    uint64_t end = 0;
    for (size_t i = 0; i < out.vecExtents.size(); ++i) {
        const auto& e = out.vecExtents[i];
        fuzz::Require(e.ullLength > 0, "no empty extent");
        fuzz::Require(i == 0 ? e.ullOffset >= end : e.ullOffset > end, "extents apart, in order");
        end = e.ullOffset + e.ullLength;
        fuzz::Require(end <= out.ullLength, "extents inside the disk");
    }
    return 0;
}
