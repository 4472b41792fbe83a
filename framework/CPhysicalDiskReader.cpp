// Byte-addressed access to a block device or an image file.
#include "CPhysicalDiskReader.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

CPhysicalDiskReader::~CPhysicalDiskReader() {
    Close();
}

CWzError CPhysicalDiskReader::Open(const std::string& devicePath, bool writable) {
    Close();
    int fd = ::open(devicePath.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return CWzError::FromErrno(errno, "open " + devicePath);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        CWzError e = CWzError::FromErrno(errno, "stat " + devicePath);
        ::close(fd);
        return e;
    }
    uint64_t size = 0;
    if (S_ISBLK(st.st_mode)) {
        if (::ioctl(fd, BLKGETSIZE64, &size) != 0) {
            CWzError e = CWzError::FromErrno(errno, "BLKGETSIZE64 " + devicePath);
            ::close(fd);
            return e;
        }
    } else if (S_ISREG(st.st_mode)) {
        size = static_cast<uint64_t>(st.st_size);
    } else {
        ::close(fd);
        return CWzError(WZ_E_INVALID, devicePath + " is neither a block device nor a file");
    }
    m_fd = fd;
    m_bWritable = writable;
    m_bBlockDevice = S_ISBLK(st.st_mode);
    m_ullSize = size;
    m_strPath = devicePath;
    return CWzError();
}

static CWzError CheckRange(uint64_t offset, size_t length, uint64_t size, const std::string& path) {
    if (offset > size || length > size - offset) {
        return CWzError(WZ_E_OUT_OF_RANGE, "range " + std::to_string(offset) + "+" +
                                               std::to_string(length) + " is outside " + path +
                                               " of " + std::to_string(size) + " bytes");
    }
    return CWzError();
}

CWzError CPhysicalDiskReader::Read(uint64_t offset, void* buffer, size_t length) {
    if (m_fd < 0) return CWzError(WZ_E_INVALID, "disk reader is not open");
    CWzError e = CheckRange(offset, length, m_ullSize, m_strPath);
    if (e.IsError()) return e;
    char* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(m_fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return CWzError::FromErrno(errno, "read " + m_strPath);
        if (n == 0) return CWzError(WZ_E_CLOSED, "unexpected end of " + m_strPath);  // shrunk
        done += static_cast<size_t>(n);
    }
    return CWzError();
}

CWzError CPhysicalDiskReader::Write(uint64_t offset, const void* buffer, size_t length) {
    if (m_fd < 0) return CWzError(WZ_E_INVALID, "disk reader is not open");
    if (!m_bWritable) return CWzError(WZ_E_INVALID, m_strPath + " is open read-only");
    CWzError e = CheckRange(offset, length, m_ullSize, m_strPath);
    if (e.IsError()) return e;
    const char* p = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(m_fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return CWzError::FromErrno(errno, "write " + m_strPath);
        if (n == 0) return CWzError(WZ_E_FAIL, "no progress writing " + m_strPath);
        done += static_cast<size_t>(n);
    }
    return CWzError();
}

CWzError CPhysicalDiskReader::SetSectorSize(uint32_t sectorSize) {
    if (sectorSize < 512 || sectorSize > 65536 || (sectorSize & (sectorSize - 1)) != 0) {
        return CWzError(WZ_E_INVALID, "bad sector size " + std::to_string(sectorSize));
    }
    m_nSectorSize = sectorSize;
    return CWzError();
}

CWzError CPhysicalDiskReader::Close() {
    if (m_fd < 0) return CWzError();
    CWzError e;
    if (m_bWritable && ::fsync(m_fd) != 0) e = CWzError::FromErrno(errno, "flush " + m_strPath);
    ::close(m_fd);
    m_fd = -1;
    m_ullSize = 0;
    m_bWritable = false;
    m_bBlockDevice = false;
    return e;
}
