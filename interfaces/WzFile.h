// Files, paths and folders of the agent's utility library, over POSIX.
// Reads no environment variable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "NxExport.h"
#include "WzError.h"

// An open file descriptor, closed by the destructor. Unbuffered: every call is a system call.
class NX_EXPORT CWzFile {
public:
    CWzFile() = default;
    ~CWzFile();
    CWzFile(const CWzFile&) = delete;
    CWzFile& operator=(const CWzFile&) = delete;

    // mode as for fopen: "r"/"rb" read, "r+"/"r+b" read-write, "w"/"wb" create or truncate for
    // writing, "a"/"ab" append, "w+"/"a+" likewise read-write. The file is opened close-on-exec
    // (never inherited by child processes). Opening an open object closes it first.
    CWzError Open(const std::string& path, const char* mode);
    CWzError Close();  // harmless when not open
    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    const std::string& Path() const { return m_strPath; }

    // Reads up to count bytes at the current position; bytesRead < count only at end of file.
    CWzError Read(void* buffer, size_t count, size_t& bytesRead);
    // Reads exactly count bytes at offset (the position is not moved); reaching the end of
    // the file first is WZ_E_CLOSED.
    CWzError ReadAt(uint64_t offset, void* buffer, size_t count);
    // Writes all count bytes at the current position / at offset.
    CWzError Write(const void* buffer, size_t count);
    CWzError WriteAt(uint64_t offset, const void* buffer, size_t count);
    // whence as for lseek (SEEK_SET, SEEK_CUR, SEEK_END).
    CWzError Seek(int64_t offset, int whence, uint64_t* newPosition = nullptr);
    // Size in bytes: the device size (BLKGETSIZE64) for a block device, else the file size.
    CWzError GetSize(uint64_t& size);
    CWzError Flush();  // fsync

private:
    int m_fd = -1;
    std::string m_strPath;
};

class NX_EXPORT CWzPath {
public:
    // dir + "/" + name with exactly one '/' between them (an empty dir gives name; slashes at
    // the start of name are not doubled).
    static std::string Append(const std::string& dir, const std::string& name);
    // The extension of the last path component without its dot ("a/b.tar.GZ" gives "GZ");
    // empty when there is none. A leading dot alone (".profile") is not an extension.
    static std::string GetExt(const std::string& path);
    // The last component ("a/b/c.txt" gives "c.txt"; trailing slashes are ignored).
    static std::string GetFileName(const std::string& path);
    // Everything before the last component, without the trailing slash ("a/b/c" gives "a/b",
    // "c" gives "", "/c" gives "/").
    static std::string GetDirectory(const std::string& path);
    // Existence tests; they follow symbolic links.
    static bool Exists(const std::string& path);
    static bool IsDirectory(const std::string& path);
    static bool IsFile(const std::string& path);  // a regular file
};

namespace FXPath {
// Appends component to path in place, inserting one '/' (see CWzPath::Append); returns path.
NX_EXPORT std::string& Append(std::string& path, const std::string& component);
NX_EXPORT bool DoesPathExist(const std::string& path);
// Creates a folder and any missing parents (mode 0755 before umask).
NX_EXPORT CWzError CreateDirectories(const std::string& path);
// True when path names the root folder: "/" however spelt ("//", "/.", "/tmp/.."), or an
// existing path that resolves to it (a link to "/").
NX_EXPORT bool IsRootFolder(const std::string& path);
// Removes a file, or a folder with everything below it (symbolic links are removed, never
// followed). A path that does not exist is a success. The root folder is refused.
NX_EXPORT CWzError RemoveAll(const std::string& path);
}  // namespace FXPath

namespace FXFile {
// The size in bytes of a file (or of a block device), following symbolic links.
NX_EXPORT CWzError NXGetFileSize(const std::string& path, uint64_t& size);
}  // namespace FXFile

struct SWzDirEntry {
    std::string strName;      // the entry's name within its folder, never "." or ".."
    std::string strFullPath;  // folder + "/" + name
    bool bIsDirectory = false;
    uint64_t ullSize = 0;   // bytes (0 for folders)
    int64_t tModified = 0;  // seconds since the epoch
};

// One pass over a folder's entries, in ascending byte order of the names. The listing is
// taken when the folder is opened.
class NX_EXPORT CWzDirectory {
public:
    CWzDirectory() = default;
    ~CWzDirectory() = default;
    CWzDirectory(const CWzDirectory&) = delete;
    CWzDirectory& operator=(const CWzDirectory&) = delete;

    // pattern: a CPathMatch wildcard pattern matched case-sensitively against whole names
    // ("*" lists every entry, dot files included). filesOnly = true leaves out sub-folders.
    // "." and ".." are never listed. An error when the folder cannot be read.
    CWzError Open(const std::string& path, const std::string& pattern, bool filesOnly);
    // Gives the next entry. Like a find-first/find-next pair: the first call after Open on a
    // listing with no entry is WZ_E_NOT_FOUND; past the last entry a call succeeds with
    // end = true and an empty entry (so end is never set together with a real entry).
    CWzError GetEntry(SWzDirEntry& entry, bool& end);
    void Close();

private:
    std::vector<SWzDirEntry> m_vecEntries;
    size_t m_nNext = 0;
    bool m_bOpen = false;
};

// Reads the whole file. On failure content is left empty and, when given, *error says why.
NX_EXPORT bool ReadWholeFile(const std::string& path, std::string& content,
                             CWzError* error = nullptr);
// Replaces the file with content. Written to a temporary file in the same folder, flushed and
// renamed over the target, so a failure leaves the previous file (or none) intact.
NX_EXPORT bool WriteWholeFile(const std::string& path, const std::string& content,
                              CWzError* error = nullptr);
// The first regular file (ascending name order) directly in folder whose extension equals
// extension ignoring letter case ("ovf" or ".ovf"). Writes its full path; false when none.
NX_EXPORT bool GetFirstFileByExtension(const std::string& folder, const std::string& extension,
                                       std::string& path);
// Full paths of the non-folder entries below folder whose name matches namePattern (a
// CPathMatch pattern, case-sensitive, whole name), each once; recursive descends into
// sub-folders but never through a symbolic link to a folder. Paths are appended to files in
// ascending order within each folder. False when folder itself cannot be read (unreadable
// sub-folders are skipped).
NX_EXPORT bool GetFilesListOfFolder(const std::string& folder, const std::string& namePattern,
                                    bool recursive, std::vector<std::string>& files);
