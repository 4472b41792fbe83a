// The order of every change keeps a crash harmless: a block is copied into the overlay before
// the map marks it and marked before the live disk changes; a snapshot is registered only once
// its overlay and map exist; a materialized map is set whole before it is removed, so a reader
// still holding it reads the overlay only.
#include "DiskCow.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "DiskFiles.h"

namespace fcsim {

namespace {

constexpr uint64_t c_ullBlock = kCbtBlockBytes;

uint64_t Blocks(uint64_t bytes) {
    return (bytes + c_ullBlock - 1) / c_ullBlock;
}

std::string LockName(const std::string& diskID) {
    return "cow/" + diskID + ".lock";
}

bool PReadAll(int fd, char* p, uint64_t n, uint64_t at) {
    while (n > 0) {
        ssize_t got = ::pread(fd, p, static_cast<size_t>(n), static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) {  // past the end of a sparse file's data: zeros
            std::fill(p, p + n, '\0');
            return true;
        }
        p += got;
        n -= static_cast<uint64_t>(got);
        at += static_cast<uint64_t>(got);
    }
    return true;
}

bool PWriteAll(int fd, const char* p, size_t n, uint64_t at) {
    while (n > 0) {
        ssize_t put = ::pwrite(fd, p, n, static_cast<off_t>(at));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
        at += static_cast<uint64_t>(put);
    }
    return true;
}

// A shared flock on a lock file the reader keeps open: a frozen disk takes it for every
// request, and opening the file each time would cost more than the map's read it guards.
class CSharedFlock {
public:
    explicit CSharedFlock(int fd) {
        while (fd >= 0 && ::flock(fd, LOCK_SH) != 0) {
            if (errno != EINTR) return;
        }
        m_nFd = fd;
    }
    ~CSharedFlock() {
        if (m_nFd >= 0) ::flock(m_nFd, LOCK_UN);
    }
    CSharedFlock(const CSharedFlock&) = delete;
    CSharedFlock& operator=(const CSharedFlock&) = delete;
    bool Held() const { return m_nFd >= 0; }

private:
    int m_nFd = -1;
};

uint64_t SizeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

std::string FrozenMapPath(const std::string& frozenPath) {
    const std::string ext = ".img";
    bool img = frozenPath.size() > ext.size() &&
               frozenPath.compare(frozenPath.size() - ext.size(), ext.size(), ext) == 0;
    return (img ? frozenPath.substr(0, frozenPath.size() - ext.size()) : frozenPath) + ".map";
}

CDiskCow::CDiskCow(const CSimState& state, std::string diskID)
    : m_state(state), m_strDiskID(std::move(diskID)) {}

bool CDiskCow::Valid(const std::string& snapID, std::string& err) const {
    if (CSimState::IsSafeName(m_strDiskID) && CSimState::IsSafeName(snapID)) return true;
    err = "invalid disk or snapshot name";
    return false;
}

std::string CDiskCow::EntryPath(const std::string& snapID) const {
    return m_state.Root() + "/cow/" + m_strDiskID + "/" + snapID;
}

std::vector<std::string> CDiskCow::Snapshots() const {
    std::vector<std::string> out;
    DIR* d = ::opendir((m_state.Root() + "/cow/" + m_strDiskID).c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        if (CSimState::IsSafeName(e->d_name)) out.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

bool CDiskCow::Take(const std::string& snapID, std::string& err) {
    if (!Valid(snapID, err)) return false;
    CSimState::CLock lock(m_state, true, LockName(m_strDiskID).c_str());
    uint64_t size = 0;
    if (!lock.Held() || !FileSize(m_state.DiskPath(m_strDiskID), size)) {
        err = ErrnoText("cannot lock or size disk " + m_strDiskID);
        return false;
    }
    const std::string overlay = m_state.SnapshotDiskPath(snapID, m_strDiskID);
    const std::string map = FrozenMapPath(overlay);
    const std::string dir = m_state.Root() + "/cow/" + m_strDiskID;
    ::mkdir(dir.c_str(), 0755);
    if (CreateSparseFile(overlay, size, err) && CreateSparseFile(map, Blocks(size), err)) {
        CFd entry(::open(EntryPath(snapID).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (entry.Get() >= 0) return true;
        err = ErrnoText("cannot register snapshot " + snapID);
    }
    ::unlink(map.c_str());
    ::unlink(overlay.c_str());
    return false;
}

// Copies the live blocks [first, last] that the overlay does not hold yet, and marks them.
// Called with the disk's lock held.
bool CDiskCow::Fill(const std::string& snapID, uint64_t first, uint64_t last, std::string& err) {
    const std::string overlay = m_state.SnapshotDiskPath(snapID, m_strDiskID);
    CFd map(::open(FrozenMapPath(overlay).c_str(), O_RDWR | O_CLOEXEC));
    if (map.Get() < 0) return errno == ENOENT;  // whole already
    const uint64_t blocks = SizeOf(map.Get());
    if (blocks == 0 || first >= blocks) return true;
    last = std::min(last, blocks - 1);
    std::string marks(static_cast<size_t>(last - first + 1), '\0');
    CFd live(::open(m_state.DiskPath(m_strDiskID).c_str(), O_RDONLY | O_CLOEXEC));
    CFd out(::open(overlay.c_str(), O_WRONLY | O_CLOEXEC));
    if (live.Get() < 0 || out.Get() < 0 || !PReadAll(map.Get(), &marks[0], marks.size(), first)) {
        err = ErrnoText("cannot open the copy-on-write files of snapshot " + snapID);
        return false;
    }
    std::vector<char> buf;
    bool changed = false;
    for (size_t i = 0; i < marks.size();) {
        if (marks[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < marks.size() && !marks[j]) ++j;
        if (!CopyData(live.Get(), out.Get(), (first + i) * c_ullBlock, (j - i) * c_ullBlock, buf)) {
            err = ErrnoText("cannot keep the old blocks of snapshot " + snapID);
            return false;
        }
        std::fill(marks.begin() + static_cast<long>(i), marks.begin() + static_cast<long>(j), 1);
        changed = true;
        i = j;
    }
    if (changed && !PWriteAll(map.Get(), marks.data(), marks.size(), first)) {
        err = ErrnoText("cannot mark the kept blocks of snapshot " + snapID);
        return false;
    }
    return true;
}

bool CDiskCow::Materialize(const std::string& snapID, std::string& err) {
    if (!Valid(snapID, err)) return false;
    CSimState::CLock lock(m_state, true, LockName(m_strDiskID).c_str());
    if (!lock.Held()) {
        err = "cannot lock disk " + m_strDiskID;
        return false;
    }
    if (!Fill(snapID, 0, UINT64_MAX, err)) return false;
    ::unlink(FrozenMapPath(m_state.SnapshotDiskPath(snapID, m_strDiskID)).c_str());
    ::unlink(EntryPath(snapID).c_str());
    return true;
}

bool CDiskCow::MaterializeAll(std::string& err) {
    for (const std::string& s : Snapshots()) {
        if (!Materialize(s, err)) return false;
    }
    return true;
}

void CDiskCow::Forget(const std::string& snapID) {
    if (!CSimState::IsSafeName(m_strDiskID) || !CSimState::IsSafeName(snapID)) return;
    CSimState::CLock lock(m_state, true, LockName(m_strDiskID).c_str());
    ::unlink(EntryPath(snapID).c_str());
    ::unlink(FrozenMapPath(m_state.SnapshotDiskPath(snapID, m_strDiskID)).c_str());
}

bool CDiskCow::WriteLive(uint64_t offset, uint64_t length, const std::function<bool()>& write,
                         std::string& err) {
    if (!CSimState::IsSafeName(m_strDiskID)) {
        err = "invalid disk name";
        return false;
    }
    CSimState::CLock lock(m_state, true, LockName(m_strDiskID).c_str());
    if (!lock.Held()) {
        err = "cannot lock disk " + m_strDiskID;
        return false;
    }
    if (length > 0) {
        const uint64_t first = offset / c_ullBlock;
        const uint64_t end = offset + length < offset ? UINT64_MAX : offset + length - 1;
        for (const std::string& s : Snapshots()) {
            if (!Fill(s, first, end / c_ullBlock, err)) return false;
        }
    }
    return write();
}

CFrozenDisk::CFrozenDisk(const CSimState& state, std::string diskID, std::string path)
    : m_state(state), m_strDiskID(std::move(diskID)), m_strPath(std::move(path)) {}

CFrozenDisk::~CFrozenDisk() {
    for (int fd : {m_nOverlay, m_nMap, m_nLive, m_nLock}) {
        if (fd >= 0) ::close(fd);
    }
}

bool CFrozenDisk::Open(std::string& err) {
    if (!CSimState::IsSafeName(m_strDiskID)) {
        err = "invalid disk name";
        return false;
    }
    m_nOverlay = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_nOverlay < 0) {
        err = ErrnoText("cannot open " + m_strPath);
        return false;
    }
    m_ullSize = SizeOf(m_nOverlay);
    const std::string lockPath = m_state.Root() + "/" + LockName(m_strDiskID);
    m_nLock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_nLock < 0) {
        err = ErrnoText("cannot open " + lockPath);
        return false;
    }
    {
        // Under the lock: a materialization either has finished (no map) or has not begun.
        CSharedFlock lock(m_nLock);
        if (!lock.Held()) {
            err = ErrnoText("cannot lock " + lockPath);
            return false;
        }
        m_nMap = ::open(FrozenMapPath(m_strPath).c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (m_nMap < 0) {
        ::close(m_nLock);  // a whole overlay needs no lock; released above, before the close
        m_nLock = -1;
        return true;
    }
    m_nLive = ::open(m_state.DiskPath(m_strDiskID).c_str(), O_RDONLY | O_CLOEXEC);
    if (m_nLive < 0) {
        err = ErrnoText("cannot open the live disk of " + m_strPath);
        return false;
    }
    return true;
}

bool CFrozenDisk::Read(uint64_t offset, uint64_t length, char* out, std::string& err) {
    if (m_nMap < 0) {
        if (PReadAll(m_nOverlay, out, length, offset)) return true;
        err = ErrnoText("cannot read " + m_strPath);
        return false;
    }
    if (length == 0) return true;
    const uint64_t first = offset / c_ullBlock, last = (offset + length - 1) / c_ullBlock;
    std::vector<char>& marks = m_vecMarks;  // kept between requests: no allocation per read
    marks.resize(static_cast<size_t>(last - first + 1));
    CSharedFlock lock(m_nLock);
    bool ok = lock.Held() && PReadAll(m_nMap, marks.data(), marks.size(), first);
    for (uint64_t pos = offset; ok && pos < offset + length;) {
        const char mark = marks[static_cast<size_t>(pos / c_ullBlock - first)];
        uint64_t stop = (pos / c_ullBlock + 1) * c_ullBlock;
        while (stop < offset + length &&
               marks[static_cast<size_t>(stop / c_ullBlock - first)] == mark)
            stop += c_ullBlock;
        stop = std::min(stop, offset + length);
        ok = PReadAll(mark ? m_nOverlay : m_nLive, out + (pos - offset), stop - pos, pos);
        pos = stop;
    }
    if (!ok) err = ErrnoText("cannot read the frozen blocks of " + m_strPath);
    return ok;
}

bool CFrozenDisk::Extents(std::vector<std::pair<uint64_t, uint64_t>>& out, std::string& err) {
    if (m_nMap < 0) return DataExtents(m_strPath, out, err);
    CSharedFlock lock(m_nLock);
    std::string marks(static_cast<size_t>(SizeOf(m_nMap)), '\0');
    std::vector<std::pair<uint64_t, uint64_t>> live, kept;
    if (!PReadAll(m_nMap, &marks[0], marks.size(), 0) ||
        !DataExtents(m_state.DiskPath(m_strDiskID), live, err) ||
        !DataExtents(m_strPath, kept, err)) {
        if (err.empty()) err = ErrnoText("cannot read the map of " + m_strPath);
        return false;
    }
    // Each extent of either file counts in the blocks whose frozen content it holds.
    std::vector<std::pair<uint64_t, uint64_t>> all;
    auto take = [&](const std::vector<std::pair<uint64_t, uint64_t>>& from, char want) {
        for (const auto& e : from) {
            for (uint64_t pos = e.first; pos < e.first + e.second && pos < m_ullSize;) {
                const uint64_t stop =
                    std::min({(pos / c_ullBlock + 1) * c_ullBlock, e.first + e.second, m_ullSize});
                const size_t b = static_cast<size_t>(pos / c_ullBlock);
                if (b < marks.size() && (marks[b] != 0) == (want != 0)) {
                    if (!all.empty() && all.back().first + all.back().second == pos)
                        all.back().second += stop - pos;
                    else
                        all.emplace_back(pos, stop - pos);
                }
                pos = stop;
            }
        }
    };
    take(live, 0);
    take(kept, 1);
    std::sort(all.begin(), all.end());
    out.clear();
    for (const auto& e : all) {
        if (!out.empty() && out.back().first + out.back().second >= e.first) {
            out.back().second = std::max(out.back().first + out.back().second, e.first + e.second) -
                                out.back().first;
        } else {
            out.push_back(e);
        }
    }
    return true;
}

bool ReadFrozen(const CSimState& state, const std::string& diskID, const std::string& path,
                std::string& out, std::string& err) {
    CFrozenDisk disk(state, diskID, path);
    if (!disk.Open(err)) return false;
    out.assign(static_cast<size_t>(disk.Size()), '\0');
    return disk.Read(0, disk.Size(), &out[0], err);
}

}  // namespace fcsim
