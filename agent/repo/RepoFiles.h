// File primitives of the repository: an owned descriptor, durable writes and the lock file.
//
// The repository never follows a symbolic link: its files are opened with O_NOFOLLOW, its
// folders are listed and synced only when they are real folders, and a folder that a path
// passes through is checked with CheckRealFolder, so a chunk folder, manifest or lock replaced
// by a link cannot lead a read, a write or a removal out of the repository.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

class CFd {
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    CFd& operator=(CFd&& other) noexcept;
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Reset();
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd = -1;
};

// Temporary files start with this prefix, which no chunk or manifest name can have.
constexpr const char* kTempPrefix = ".tmp-";

// A name for a new temporary file in strDir, unique within this machine's running processes.
std::string TempPathIn(const std::string& strDir);
// "<what> <path>: <errno text>", or that the path is a symbolic link when that made it fail.
std::string ErrnoText(const std::string& strWhat, const std::string& strPath);
// True when strDir is a folder and not a symbolic link.
bool CheckRealFolder(const std::string& strDir, std::string& strError);
// The repository's own folders (backups/, chunks/) are real folders.
bool CheckRepoFolders(const std::string& strRoot, std::string& strError);
bool ReadWholeFile(const std::string& strPath, std::string& strOut, std::string& strError);
bool WriteAll(int fd, const void* pData, size_t nLength, uint64_t ullOffset, std::string& strError);
// The entries of a folder other than "." and "..", in no particular order.
bool ListDir(const std::string& strDir, std::vector<std::string>& vecNames, std::string& strError);
bool FsyncDir(const std::string& strDir, std::string& strError);
// Memory aligned for direct I/O, grown when asked for more and kept for reuse.
class CAlignedBuffer {
public:
    static constexpr size_t c_nAlign = 4096;  // a multiple of every common block size
    CAlignedBuffer() = default;
    ~CAlignedBuffer();
    CAlignedBuffer(const CAlignedBuffer&) = delete;
    CAlignedBuffer& operator=(const CAlignedBuffer&) = delete;

    // At least nBytes; what the buffer held is not kept when it grows.
    char* Reserve(size_t nBytes);
    char* Data() const { return m_p; }

private:
    char* m_p = nullptr;
    size_t m_nCapacity = 0;
};
// Creates strPath, which must not exist, with the data (fsynced when bSync); a failure leaves
// no file. Of data in an aligned buffer the whole blocks go to the disk directly (O_DIRECT),
// past the page cache, where the file system allows it; the rest, and all of it elsewhere,
// through the page cache.
bool WriteNewFile(const std::string& strPath, const char* pData, size_t nLength, bool bSync,
                  std::string& strError);
// Writes a temporary file in the same folder, fsyncs it, renames it over strPath and fsyncs
// the folder: a reader sees the old file or the whole new one, also after a crash.
bool WriteFileDurable(const std::string& strPath, const std::string& strData,
                      std::string& strError);

// An flock on the repository's lock file, released when the object goes.
class CRepoLock {
public:
    // Also checks, once locked, that the repository's folders are real folders.
    bool Acquire(const std::string& strRoot, bool bExclusive, std::string& strError);

private:
    CFd m_fd;
};
