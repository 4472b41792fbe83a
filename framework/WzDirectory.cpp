// Folder listings and whole-file helpers.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "CPathMatch.h"
#include "WzFile.h"

namespace {

// Names in a folder other than "." and "..", sorted. False when the folder cannot be read.
CWzError ListNames(const std::string& path, std::vector<std::string>& names) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return CWzError::FromErrno(errno, "open folder " + path);
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.push_back(entry->d_name);
        }
        errno = 0;
    }
    int err = errno;
    ::closedir(dir);
    if (err != 0) return CWzError::FromErrno(err, "read folder " + path);
    std::sort(names.begin(), names.end());
    return CWzError();
}

CPathMatch MakeMatcher(const std::string& pattern) {
    CPathMatch matcher;
    matcher.caseSensitive(true);
    matcher.initialize(pattern, true, false);
    return matcher;
}

void Walk(const std::string& folder, const CPathMatch& matcher, bool recursive,
          std::vector<std::string>& files) {
    std::vector<std::string> names;
    if (ListNames(folder, names).IsError()) return;  // an unreadable sub-folder is passed over
    for (const std::string& name : names) {
        std::string full = CWzPath::Append(folder, name);
        struct stat own {};
        if (::lstat(full.c_str(), &own) != 0) continue;  // vanished meanwhile
        // A symbolic link is judged by its target, but never descended into: that keeps a
        // link cycle from listing a file twice or for ever.
        struct stat target = own;
        if (S_ISLNK(own.st_mode) && ::stat(full.c_str(), &target) != 0) target = own;
        if (S_ISDIR(target.st_mode)) {
            if (recursive && S_ISDIR(own.st_mode)) Walk(full, matcher, recursive, files);
            continue;
        }
        if (matcher.match(name) == 1) files.push_back(full);
    }
}

}  // namespace

CWzError CWzDirectory::Open(const std::string& path, const std::string& pattern, bool filesOnly) {
    Close();
    std::vector<std::string> names;
    CWzError e = ListNames(path, names);
    if (e.IsError()) return e;
    CPathMatch matcher = MakeMatcher(pattern);
    for (const std::string& name : names) {
        if (matcher.match(name) != 1) continue;
        SWzDirEntry entry;
        entry.strName = name;
        entry.strFullPath = CWzPath::Append(path, name);
        struct stat st {};
        if (::stat(entry.strFullPath.c_str(), &st) == 0) {
            entry.bIsDirectory = S_ISDIR(st.st_mode);
            entry.ullSize = entry.bIsDirectory ? 0 : static_cast<uint64_t>(st.st_size);
            entry.tModified = static_cast<int64_t>(st.st_mtime);
        }
        if (filesOnly && entry.bIsDirectory) continue;
        m_vecEntries.push_back(entry);
    }
    m_bOpen = true;
    return CWzError();
}

CWzError CWzDirectory::GetEntry(SWzDirEntry& entry, bool& end) {
    end = false;
    entry = SWzDirEntry();
    if (!m_bOpen) return CWzError(WZ_E_INVALID, "folder is not open");
    if (m_nNext >= m_vecEntries.size()) {
        if (m_nNext == 0) return CWzError(WZ_E_NOT_FOUND, "no matching entry in the folder");
        end = true;
        return CWzError();
    }
    entry = m_vecEntries[m_nNext++];
    return CWzError();
}

void CWzDirectory::Close() {
    m_vecEntries.clear();
    m_nNext = 0;
    m_bOpen = false;
}

bool ReadWholeFile(const std::string& path, std::string& content, CWzError* error) {
    content.clear();
    CWzFile file;
    CWzError e = file.Open(path, "rb");
    std::string data;
    char buffer[65536];
    while (e.Success()) {
        size_t got = 0;
        e = file.Read(buffer, sizeof(buffer), got);
        data.append(buffer, got);
        if (got < sizeof(buffer)) break;
    }
    if (e.IsError()) {
        if (error) *error = e;
        return false;
    }
    content.swap(data);
    return true;
}

bool WriteWholeFile(const std::string& path, const std::string& content, CWzError* error) {
    std::string folder = CWzPath::GetDirectory(path);
    std::string temp = CWzPath::Append(folder.empty() ? "." : folder,
                                       "." + CWzPath::GetFileName(path) + ".tmpXXXXXX");
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    CWzError e;
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        e = CWzError::FromErrno(errno, "create temporary file for " + path);
    } else {
        const char* p = content.data();
        size_t left = content.size();
        while (left > 0 && e.Success()) {
            ssize_t n = ::write(fd, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                e = CWzError::FromErrno(n < 0 ? errno : EIO, "write " + path);
                break;
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
        if (e.Success() && ::fchmod(fd, 0644) != 0) e = CWzError::FromErrno(errno, "chmod " + path);
        if (e.Success() && ::fsync(fd) != 0) e = CWzError::FromErrno(errno, "fsync " + path);
        if (::close(fd) != 0 && e.Success()) e = CWzError::FromErrno(errno, "close " + path);
        if (e.Success() && ::rename(name.data(), path.c_str()) != 0) {
            e = CWzError::FromErrno(errno, "rename over " + path);
        }
        if (e.IsError()) ::unlink(name.data());
    }
    if (e.IsError() && error) *error = e;
    return e.Success();
}

bool GetFirstFileByExtension(const std::string& folder, const std::string& extension,
                             std::string& path) {
    std::string wanted = extension;
    if (!wanted.empty() && wanted[0] == '.') wanted.erase(0, 1);
    std::vector<std::string> names;
    if (ListNames(folder, names).IsError()) return false;
    for (const std::string& name : names) {
        if (FXString::CompareNoCase(CWzPath::GetExt(name), wanted) != 0) continue;
        std::string full = CWzPath::Append(folder, name);
        if (!CWzPath::IsFile(full)) continue;
        path = full;
        return true;
    }
    return false;
}

bool GetFilesListOfFolder(const std::string& folder, const std::string& namePattern, bool recursive,
                          std::vector<std::string>& files) {
    if (!CWzPath::IsDirectory(folder)) return false;
    std::vector<std::string> probe;
    if (ListNames(folder, probe).IsError()) return false;
    Walk(folder, MakeMatcher(namePattern), recursive, files);
    return true;
}
