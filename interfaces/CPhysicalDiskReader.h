// Reader (and writer) of a block device or a disk image file, by byte offset.
// Reads no environment variable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "NxExport.h"
#include "WzError.h"

class NX_EXPORT CPhysicalDiskReader {
public:
    CPhysicalDiskReader() = default;
    virtual ~CPhysicalDiskReader();  // closes the device
    CPhysicalDiskReader(const CPhysicalDiskReader&) = delete;
    CPhysicalDiskReader& operator=(const CPhysicalDiskReader&) = delete;

    // Opens the device read-only, or read-write when writable. The size is taken at open:
    // BLKGETSIZE64 for a block device, the file size for a regular file; any other kind of
    // file is refused. Opening an open reader closes it first.
    virtual CWzError Open(const std::string& devicePath, bool writable);
    // Reads exactly length bytes at offset. A range that goes past the size is
    // WZ_E_OUT_OF_RANGE and nothing is read.
    virtual CWzError Read(uint64_t offset, void* buffer, size_t length);
    // Writes exactly length bytes at offset; only on a writable reader; the range must lie
    // within the size.
    virtual CWzError Write(uint64_t offset, const void* buffer, size_t length);
    // Records the sector size (a power of two from 512 to 65536). Reads and writes are not
    // required to be aligned to it.
    virtual CWzError SetSectorSize(uint32_t sectorSize);
    // Flushes written data (fsync) and closes; the flush's failure is reported.
    virtual CWzError Close();

    uint64_t GetDiskSize() const { return m_ullSize; }
    uint32_t GetSectorSize() const { return m_nSectorSize; }
    bool IsOpen() const { return m_fd >= 0; }
    bool IsBlockDevice() const { return m_bBlockDevice; }

private:
    int m_fd = -1;
    bool m_bWritable = false;
    bool m_bBlockDevice = false;
    uint64_t m_ullSize = 0;
    uint32_t m_nSectorSize = 512;
    std::string m_strPath;
};
