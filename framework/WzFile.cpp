// Files, paths and folder creation and removal.
#include "WzFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

CWzError NotOpen() {
    return CWzError(WZ_E_INVALID, "file is not open");
}

bool ParseMode(const char* mode, int& flags) {
    if (!mode || !*mode) return false;
    bool plus = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
        case 'r':
            flags = plus ? O_RDWR : O_RDONLY;
            break;
        case 'w':
            flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
            break;
        case 'a':
            flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
            break;
        default:
            return false;
    }
    flags |= O_CLOEXEC;
    return true;
}

CWzError SizeOfFd(int fd, const std::string& path, uint64_t& size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return CWzError::FromErrno(errno, "stat " + path);
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
            return CWzError::FromErrno(errno, "BLKGETSIZE64 " + path);
        }
        size = bytes;
    } else {
        size = static_cast<uint64_t>(st.st_size);
    }
    return CWzError();
}

}  // namespace

CWzFile::~CWzFile() {
    Close();
}

CWzError CWzFile::Open(const std::string& path, const char* mode) {
    Close();
    int flags = 0;
    if (!ParseMode(mode, flags))
        return CWzError(WZ_E_INVALID, std::string("bad open mode for ") + path);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) return CWzError::FromErrno(errno, "open " + path);
    m_fd = fd;
    m_strPath = path;
    return CWzError();
}

CWzError CWzFile::Close() {
    if (m_fd < 0) return CWzError();
    int rc = ::close(m_fd);
    m_fd = -1;
    // The descriptor is gone whatever close() says; only report the failure.
    return rc == 0 ? CWzError() : CWzError::FromErrno(errno, "close " + m_strPath);
}

CWzError CWzFile::Read(void* buffer, size_t count, size_t& bytesRead) {
    bytesRead = 0;
    if (m_fd < 0) return NotOpen();
    char* p = static_cast<char*>(buffer);
    while (bytesRead < count) {
        ssize_t n = ::read(m_fd, p + bytesRead, count - bytesRead);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return CWzError::FromErrno(errno, "read " + m_strPath);
        if (n == 0) break;
        bytesRead += static_cast<size_t>(n);
    }
    return CWzError();
}

CWzError CWzFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
    if (m_fd < 0) return NotOpen();
    char* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(m_fd, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return CWzError::FromErrno(errno, "read " + m_strPath);
        if (n == 0) return CWzError(WZ_E_CLOSED, "end of file reading " + m_strPath);
        done += static_cast<size_t>(n);
    }
    return CWzError();
}

CWzError CWzFile::Write(const void* buffer, size_t count) {
    if (m_fd < 0) return NotOpen();
    const char* p = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::write(m_fd, p + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return CWzError::FromErrno(errno, "write " + m_strPath);
        if (n == 0) return CWzError(WZ_E_FAIL, "no progress writing " + m_strPath);
        done += static_cast<size_t>(n);
    }
    return CWzError();
}

CWzError CWzFile::WriteAt(uint64_t offset, const void* buffer, size_t count) {
    if (m_fd < 0) return NotOpen();
    const char* p = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::pwrite(m_fd, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return CWzError::FromErrno(errno, "write " + m_strPath);
        if (n == 0) return CWzError(WZ_E_FAIL, "no progress writing " + m_strPath);
        done += static_cast<size_t>(n);
    }
    return CWzError();
}

CWzError CWzFile::Seek(int64_t offset, int whence, uint64_t* newPosition) {
    if (m_fd < 0) return NotOpen();
    off_t pos = ::lseek(m_fd, static_cast<off_t>(offset), whence);
    if (pos < 0) return CWzError::FromErrno(errno, "seek " + m_strPath);
    if (newPosition) *newPosition = static_cast<uint64_t>(pos);
    return CWzError();
}

CWzError CWzFile::GetSize(uint64_t& size) {
    if (m_fd < 0) return NotOpen();
    return SizeOfFd(m_fd, m_strPath, size);
}

CWzError CWzFile::Flush() {
    if (m_fd < 0) return NotOpen();
    if (::fsync(m_fd) != 0) return CWzError::FromErrno(errno, "fsync " + m_strPath);
    return CWzError();
}

std::string CWzPath::Append(const std::string& dir, const std::string& name) {
    size_t first = name.find_first_not_of('/');
    std::string tail = first == std::string::npos ? std::string() : name.substr(first);
    if (dir.empty()) return name;
    if (tail.empty()) return dir;
    if (dir.back() == '/') return dir + tail;
    return dir + "/" + tail;
}

std::string CWzPath::GetFileName(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return std::string();
    size_t slash = path.rfind('/', end);
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end + 1 - start);
}

std::string CWzPath::GetDirectory(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? std::string() : "/";
    size_t slash = path.rfind('/', end);
    if (slash == std::string::npos) return std::string();
    size_t keep = path.find_last_not_of('/', slash);
    return keep == std::string::npos ? "/" : path.substr(0, keep + 1);
}

std::string CWzPath::GetExt(const std::string& path) {
    std::string name = GetFileName(path);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return std::string();
    return name.substr(dot + 1);
}

bool CWzPath::Exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool CWzPath::IsDirectory(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CWzPath::IsFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace FXPath {

std::string& Append(std::string& path, const std::string& component) {
    path = CWzPath::Append(path, component);
    return path;
}

bool DoesPathExist(const std::string& path) {
    return CWzPath::Exists(path);
}

CWzError CreateDirectories(const std::string& path) {
    if (path.empty()) return CWzError(WZ_E_INVALID, "empty folder path");
    if (CWzPath::IsDirectory(path)) return CWzError();
    std::string parent = CWzPath::GetDirectory(path);
    if (!parent.empty() && parent != path) {
        CWzError e = CreateDirectories(parent);
        if (e.IsError()) return e;
    }
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        return CWzError::FromErrno(errno, "create folder " + path);
    }
    if (!CWzPath::IsDirectory(path))
        return CWzError(WZ_E_INVALID, path + " exists and is not a folder");
    return CWzError();
}

bool IsRootFolder(const std::string& path) {
    if (path.empty()) return false;
    if (path.find_first_not_of('/') == std::string::npos) return true;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) return std::string(resolved) == "/";
    // A path that does not resolve (yet) is judged by its spelling alone.
    std::vector<std::string> kept;
    for (const std::string& part :
         FXString::Split(path, "/", FXString::FXSTRING_SPLIT_SKIP_EMPTY)) {
        if (part == ".") continue;
        if (part == "..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(part);
    }
    return path[0] == '/' && kept.empty();
}

namespace {
CWzError RemoveTree(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return CWzError();
        return CWzError::FromErrno(errno, "stat " + path);
    }
    if (S_ISDIR(st.st_mode)) {
        DIR* dir = ::opendir(path.c_str());
        if (!dir) return CWzError::FromErrno(errno, "open folder " + path);
        std::vector<std::string> names;
        while (dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            names.push_back(entry->d_name);
        }
        ::closedir(dir);
        for (const std::string& name : names) {
            CWzError e = RemoveTree(CWzPath::Append(path, name));
            if (e.IsError()) return e;
        }
        if (::rmdir(path.c_str()) != 0 && errno != ENOENT) {
            return CWzError::FromErrno(errno, "remove folder " + path);
        }
        return CWzError();
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return CWzError::FromErrno(errno, "remove " + path);
    }
    return CWzError();
}
}  // namespace

CWzError RemoveAll(const std::string& path) {
    if (path.empty()) return CWzError(WZ_E_INVALID, "empty path");
    if (IsRootFolder(path)) return CWzError(WZ_E_INVALID, "refusing to remove the root folder");
    return RemoveTree(path);
}

}  // namespace FXPath

namespace FXFile {

CWzError NXGetFileSize(const std::string& path, uint64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return CWzError::FromErrno(errno, "stat " + path);
    if (!S_ISBLK(st.st_mode)) {
        size = static_cast<uint64_t>(st.st_size);
        return CWzError();
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return CWzError::FromErrno(errno, "open " + path);
    CWzError e = SizeOfFd(fd, path, size);
    ::close(fd);
    return e;
}

}  // namespace FXFile
