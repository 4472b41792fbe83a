#include "RepoFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

CFd& CFd::operator=(CFd&& other) noexcept {
    if (this != &other) {
        Reset();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

void CFd::Reset() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

namespace {
constexpr const char* kLinkRefused = " is a symbolic link; the repository does not follow links";
}

std::string ErrnoText(const std::string& strWhat, const std::string& strPath) {
    // O_NOFOLLOW fails with ELOOP on a link, O_DIRECTORY | O_NOFOLLOW with ENOTDIR.
    struct stat st;
    const int nErrno = errno;
    if ((nErrno == ELOOP || nErrno == ENOTDIR) && ::lstat(strPath.c_str(), &st) == 0 &&
        S_ISLNK(st.st_mode))
        return strWhat + " " + strPath + ":" + kLinkRefused;
    return strWhat + " " + strPath + ": " + std::strerror(nErrno);
}

bool CheckRealFolder(const std::string& strDir, std::string& strError) {
    struct stat st;
    if (::lstat(strDir.c_str(), &st) != 0) {
        strError = ErrnoText("cannot find", strDir);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        strError = strDir + kLinkRefused;
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        strError = strDir + " is not a folder";
        return false;
    }
    return true;
}

bool CheckRepoFolders(const std::string& strRoot, std::string& strError) {
    return CheckRealFolder(strRoot + "/backups", strError) &&
           CheckRealFolder(strRoot + "/chunks", strError);
}

bool ReadWholeFile(const std::string& strPath, std::string& strOut, std::string& strError) {
    CFd fd(::open(strPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid()) {
        strError = ErrnoText("cannot open", strPath);
        return false;
    }
    strOut.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            strError = ErrnoText("cannot read", strPath);
            return false;
        }
        if (n == 0) return true;
        strOut.append(buf, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, const void* pData, size_t nLength, uint64_t ullOffset,
              std::string& strError) {
    const char* p = static_cast<const char*>(pData);
    while (nLength > 0) {
        ssize_t n = ::pwrite(fd, p, nLength, static_cast<off_t>(ullOffset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            strError = std::string("write failed: ") + std::strerror(errno);
            return false;
        }
        p += n;
        nLength -= static_cast<size_t>(n);
        ullOffset += static_cast<uint64_t>(n);
    }
    return true;
}

bool ListDir(const std::string& strDir, std::vector<std::string>& vecNames, std::string& strError) {
    vecNames.clear();
    CFd fd(::open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::unique_ptr<DIR, int (*)(DIR*)> dir(fd.Valid() ? ::fdopendir(fd.Get()) : nullptr,
                                            ::closedir);
    if (!dir) {
        strError = ErrnoText("cannot list", strDir);
        return false;
    }
    fd.Release();  // the stream owns it now
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string strName = e->d_name;
        if (strName != "." && strName != "..") vecNames.push_back(strName);
    }
    return true;
}

bool FsyncDir(const std::string& strDir, std::string& strError) {
    CFd fd(::open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid() || ::fsync(fd.Get()) != 0) {
        strError = ErrnoText("cannot sync folder", strDir);
        return false;
    }
    return true;
}

std::string TempPathIn(const std::string& strDir) {
    static std::atomic<uint64_t> s_ullCounter{0};
    return strDir + "/" + kTempPrefix + std::to_string(::getpid()) + "-" +
           std::to_string(++s_ullCounter);
}

CAlignedBuffer::~CAlignedBuffer() {
    std::free(m_p);
}

char* CAlignedBuffer::Reserve(size_t nBytes) {
    if (nBytes <= m_nCapacity) return m_p;
    void* p = nullptr;
    if (::posix_memalign(&p, c_nAlign, nBytes) != 0) throw std::bad_alloc();
    std::free(m_p);
    m_p = static_cast<char*>(p);
    m_nCapacity = nBytes;
    return m_p;
}

bool WriteNewFile(const std::string& strPath, const char* pData, size_t nLength, bool bSync,
                  std::string& strError) {
    CFd fd(::open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.Valid()) {
        strError = ErrnoText("cannot create", strPath);
        return false;
    }
    // Written through the page cache, new data costs a copy into newly allocated pages and
    // their writeback later; direct, the disk takes it from the caller's buffer.
    size_t nDirect = reinterpret_cast<uintptr_t>(pData) % CAlignedBuffer::c_nAlign == 0
                         ? nLength / CAlignedBuffer::c_nAlign * CAlignedBuffer::c_nAlign
                         : 0;
    const int nFlags = ::fcntl(fd.Get(), F_GETFL);
    bool bOk = true;
    if (nDirect > 0 && nFlags >= 0 && ::fcntl(fd.Get(), F_SETFL, nFlags | O_DIRECT) == 0) {
        std::string strIgnored;
        // A refusal (a block size past the alignment, say) leaves the page cache to write it all.
        if (!WriteAll(fd.Get(), pData, nDirect, 0, strIgnored)) nDirect = 0;
        if (::fcntl(fd.Get(), F_SETFL, nFlags) != 0) {
            strError = ErrnoText("cannot write", strPath);
            bOk = false;
        }
    } else {
        nDirect = 0;
    }
    bOk = bOk && WriteAll(fd.Get(), pData + nDirect, nLength - nDirect, nDirect, strError);
    if (bOk && bSync && ::fsync(fd.Get()) != 0) {
        strError = ErrnoText("cannot sync", strPath);
        bOk = false;
    }
    if (!bOk) ::unlink(strPath.c_str());
    return bOk;
}

bool WriteFileDurable(const std::string& strPath, const std::string& strData,
                      std::string& strError) {
    const size_t nSlash = strPath.rfind('/');
    const std::string strDir = nSlash == std::string::npos ? "." : strPath.substr(0, nSlash);
    const std::string strTemp = TempPathIn(strDir);
    if (!WriteNewFile(strTemp, strData.data(), strData.size(), true, strError)) return false;
    if (::rename(strTemp.c_str(), strPath.c_str()) != 0) {
        strError = ErrnoText("cannot rename to", strPath);
        ::unlink(strTemp.c_str());
        return false;
    }
    return FsyncDir(strDir, strError);
}

bool CRepoLock::Acquire(const std::string& strRoot, bool bExclusive, std::string& strError) {
    const std::string strPath = strRoot + "/lock";
    CFd fd(::open(strPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid()) {
        strError = ErrnoText("cannot open lock file", strPath);
        return false;
    }
    if (::flock(fd.Get(), (bExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        strError = errno == EWOULDBLOCK
                       ? std::string(bExclusive ? "the repository is in use by a backup or reader"
                                                : "the repository is being pruned or collected")
                       : ErrnoText("cannot lock", strPath);
        return false;
    }
    m_fd = std::move(fd);
    return CheckRepoFolders(strRoot, strError);
}
