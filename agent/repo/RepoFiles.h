// File primitives of the repository: an owned descriptor, durable writes and the lock file.
#pragma once

#include <cstddef>
#include <cstdint>
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

private:
    int m_fd = -1;
};

// Temporary files start with this prefix, which no chunk or manifest name can have.
constexpr const char* kTempPrefix = ".tmp-";

// A name for a new temporary file in strDir, unique within this machine's running processes.
std::string TempPathIn(const std::string& strDir);
std::string ErrnoText(const std::string& strWhat, const std::string& strPath);
bool ReadWholeFile(const std::string& strPath, std::string& strOut, std::string& strError);
bool WriteAll(int fd, const void* pData, size_t nLength, uint64_t ullOffset, std::string& strError);
// The entries of a folder other than "." and "..", in no particular order.
bool ListDir(const std::string& strDir, std::vector<std::string>& vecNames, std::string& strError);
bool FsyncDir(const std::string& strDir, std::string& strError);
// Writes a temporary file in the same folder, fsyncs it, renames it over strPath and fsyncs
// the folder: a reader sees the old file or the whole new one, also after a crash.
bool WriteFileDurable(const std::string& strPath, const std::string& strData,
                      std::string& strError);

// An flock on the repository's lock file, released when the object goes.
class CRepoLock {
public:
    bool Acquire(const std::string& strRoot, bool bExclusive, std::string& strError);

private:
    CFd m_fd;
};
