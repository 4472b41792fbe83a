#include "FsVolumeStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>
#include <vector>

#include "DiskFiles.h"
#include "DiskWatch.h"
#include "FsLoop.h"
#include "KeyValues.h"
#include "SimState.h"

namespace fcsim {

namespace {

const char* const c_szRecordExt = ".vol";
const char* const c_szDiskVolumePrefix = "fsvol-";
const size_t c_nCopyBuffer = 1 << 20;

uint32_t Number32(const CKeyValues& kv, const char* key, uint32_t def) {
    uint64_t v = 0;
    return kv.GetNumber(key, UINT32_MAX, v) ? static_cast<uint32_t>(v) : def;
}

std::string Errno(const std::string& what) {
    return ErrnoText(what);
}

// Copies the data regions of the snapshot file (open as src) into dst at dstOffset + their
// offset; holes, and data that is all zeros, stay holes.
bool CopySnapshotInto(const std::string& srcPath, int src, uint64_t srcSize, int dst,
                      uint64_t dstOffset, std::string& error) {
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    if (!DataExtents(srcPath, extents, error)) return false;
    std::string buf(c_nCopyBuffer, '\0');
    for (const auto& e : extents) {
        const uint64_t end = std::min(srcSize, e.first + e.second);
        for (uint64_t at = e.first; at < end;) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(end - at, buf.size()));
            ssize_t got = ::pread(src, &buf[0], want, static_cast<off_t>(at));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                error = got < 0 ? Errno("reading snapshot") : "snapshot shorter than its size";
                return false;
            }
            if (!IsAllZero(buf.data(), static_cast<size_t>(got))) {
                ssize_t put = ::pwrite(dst, buf.data(), static_cast<size_t>(got),
                                       static_cast<off_t>(dstOffset + at));
                if (put != got) {
                    error = Errno("writing volume");
                    return false;
                }
            }
            at += static_cast<uint64_t>(got);
        }
    }
    return true;
}

// Marks the chunks of bitmap that volume bytes [begin, end) touch.
void MarkRange(std::string& bitmap, uint64_t chunk, uint64_t begin, uint64_t end) {
    if (end <= begin) return;
    for (uint64_t i = begin / chunk; i <= (end - 1) / chunk && i < bitmap.size(); ++i) {
        bitmap[i] = 1;
    }
}

// Marks the chunks holding non-zero bytes of the file (at volume offset dataOffset).
bool MarkData(std::string& bitmap, uint64_t chunk, const std::string& path, uint64_t dataOffset,
              std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = Errno("opening snapshot " + path);
        return false;
    }
    struct stat st {};
    ::fstat(fd, &st);
    std::string buf(c_nCopyBuffer, '\0');
    off_t pos = 0;
    bool ok = true;
    while (pos < st.st_size && ok) {
        off_t data = ::lseek(fd, pos, SEEK_DATA);
        if (data < 0) break;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) hole = st.st_size;
        for (off_t at = data; at < hole;) {
            size_t want = static_cast<size_t>(std::min<off_t>(hole - at, buf.size()));
            ssize_t got = ::pread(fd, &buf[0], want, at);
            if (got <= 0) {
                error = Errno("reading snapshot " + path);
                ok = false;
                break;
            }
            for (ssize_t i = 0; i < got; ++i) {
                if (buf[static_cast<size_t>(i)] != 0) {
                    uint64_t v = dataOffset + static_cast<uint64_t>(at + i);
                    MarkRange(bitmap, chunk, v, v + 1);
                    // Skip to the next chunk: this one is marked already.
                    uint64_t next = (v / chunk + 1) * chunk - dataOffset;
                    i = static_cast<ssize_t>(next) - static_cast<ssize_t>(at) - 1;
                }
            }
            at += got;
        }
        pos = hole;
    }
    ::close(fd);
    return ok;
}

}  // namespace

class CFsVolumeStore::CLock {
public:
    explicit CLock(const std::string& folder) {
        m_nFd = ::open((folder + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        while (m_nFd >= 0 && ::flock(m_nFd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(m_nFd);
                m_nFd = -1;
            }
        }
    }
    ~CLock() {
        if (m_nFd >= 0) ::close(m_nFd);
    }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;
    bool Held() const { return m_nFd >= 0; }

private:
    int m_nFd = -1;
};

CFsVolumeStore::CFsVolumeStore(std::string stateRoot) : m_strRoot(std::move(stateRoot)) {
    CSimState state(m_strRoot);  // creates the state's folders, volumes/ among them
    m_strRoot = state.Root();
    m_strFolder = m_strRoot + "/volumes";
    ::mkdir(m_strFolder.c_str(), 0755);
}

std::string CFsVolumeStore::EncodeName(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string CFsVolumeStore::RecordPath(const std::string& name) const {
    return m_strFolder + "/" + EncodeName(name) + c_szRecordExt;
}

std::string CFsVolumeStore::DataPath(const std::string& name) const {
    return m_strFolder + "/" + EncodeName(name) + ".img";
}

SFsToolsConfig CFsVolumeStore::Config() const {
    SFsToolsConfig config;
    std::string text;
    if (!CSimState::ReadFile(m_strFolder + "/config", text)) return config;
    CKeyValues kv = CKeyValues::FromRecord(text);
    kv.GetNumber("data_offset", UINT64_MAX, config.ullDataOffset);
    config.nBitmapBlockSize = Number32(kv, "bitmap_block_size", config.nBitmapBlockSize);
    if (config.nBitmapBlockSize == 0) config.nBitmapBlockSize = 4096;
    config.nBitmapNotReady = Number32(kv, "bitmap_not_ready", config.nBitmapNotReady);
    if (kv.Has("use_loop")) config.bUseLoop = kv.Get("use_loop") != "0";
    return config;
}

bool CFsVolumeStore::SetConfig(const SFsToolsConfig& config) {
    std::ostringstream o;
    o << "data_offset=" << config.ullDataOffset << "\nbitmap_block_size=" << config.nBitmapBlockSize
      << "\nbitmap_not_ready=" << config.nBitmapNotReady
      << "\nuse_loop=" << (config.bUseLoop ? 1 : 0) << "\n";
    CLock lock(m_strFolder);
    return lock.Held() && CSimState::WriteFileAtomic(m_strFolder + "/config", o.str());
}

bool CFsVolumeStore::Load(const std::string& name, SFsVolume& out) const {
    std::string text;
    if (!CSimState::ReadFile(RecordPath(name), text)) return false;
    CKeyValues kv = CKeyValues::FromRecord(text);
    SFsVolume v;
    v.strName = name;
    v.strKind = kv.Get("kind");
    v.strSource = kv.Get("source");
    v.strDataPath = kv.Get("data");
    v.strDevice = kv.Get("device");
    v.bLoop = kv.Get("loop") == "1";
    v.nBlockSize = Number32(kv, "block_size", 0);
    v.nNotReady = Number32(kv, "not_ready", 0);
    if (v.strKind.empty() || !kv.GetNumber("size", UINT64_MAX, v.ullSize)) return false;
    out = v;
    return true;
}

bool CFsVolumeStore::Save(const SFsVolume& v) const {
    // The name is kept percent-encoded in the file name only; the record holds no name, so
    // no text of the caller ever becomes a line of it.
    for (const std::string* s : {&v.strSource, &v.strDataPath, &v.strDevice}) {
        if (s->find_first_of("\r\n") != std::string::npos) return false;
    }
    std::ostringstream o;
    o << "kind=" << v.strKind << "\nsource=" << v.strSource << "\ndata=" << v.strDataPath
      << "\nsize=" << v.ullSize << "\ndevice=" << v.strDevice << "\nloop=" << (v.bLoop ? 1 : 0)
      << "\nblock_size=" << v.nBlockSize << "\nnot_ready=" << v.nNotReady << "\n";
    return CSimState::WriteFileAtomic(RecordPath(v.strName), o.str());
}

bool CFsVolumeStore::Resolve(const std::string& name, SFsVolume& out,
                             const SFsToolsConfig& config) const {
    if (Load(name, out)) return true;
    // A disk's own volume: "fsvol-" and the disk id, as the management service names it.
    if (name.compare(0, 6, c_szDiskVolumePrefix) != 0) return false;
    const std::string diskID = name.substr(6);
    if (!CSimState::IsSafeName(diskID)) return false;
    CSimState state(m_strRoot);
    std::string path = state.DiskPath(diskID);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    SFsVolume v;
    v.strName = name;
    v.strKind = "disk";
    v.strSource = diskID;
    v.strDataPath = path;
    v.ullSize = config.ullDataOffset + static_cast<uint64_t>(st.st_size);
    out = v;
    return true;
}

int CFsVolumeStore::CheckName(const std::string& name, std::string& error) const {
    if (name.empty() || name.size() > c_nMaxNameLength || name.find('\0') != std::string::npos) {
        error = "invalid volume name";
        return FS_E_INVALID;
    }
    return FS_OK;
}

int CFsVolumeStore::CreateFromSnapshot(const std::string& name, uint64_t size,
                                       const std::string& snapshot, std::string& error) {
    if (int rc = CheckName(name, error)) return rc;
    CLock lock(m_strFolder);
    if (!lock.Held()) {
        error = "cannot lock the volume store";
        return FS_E_IO;
    }
    SFsToolsConfig config = Config();
    SFsVolume existing;
    if (Resolve(name, existing, config)) {
        error = "volume already exists";
        return FS_E_EXISTS;
    }
    SFsSnapshot snap;
    if (!CSimState(m_strRoot).GetFsSnapshot(snapshot, snap)) {
        error = "snapshot does not exist";
        return FS_E_NOT_FOUND;
    }
    uint64_t need = config.ullDataOffset + snap.ullSize;
    if (size < need) {
        error = "volume size " + std::to_string(size) + " is smaller than the snapshot (" +
                std::to_string(need) + ")";
        return FS_E_INVALID;
    }
    std::string data = DataPath(name);
    int dst = ::open(data.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (dst < 0) {
        error = Errno("creating volume");
        return FS_E_IO;
    }
    int src = ::open(snap.strPath.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = src >= 0;
    if (!ok) error = Errno("opening snapshot");
    if (ok && ::ftruncate(dst, static_cast<off_t>(size)) != 0) {
        error = Errno("sizing volume");
        ok = false;
    }
    if (ok)
        ok = CopySnapshotInto(snap.strPath, src, snap.ullSize, dst, config.ullDataOffset, error);
    if (src >= 0) ::close(src);
    if (::close(dst) != 0 && ok) {
        error = Errno("closing volume");
        ok = false;
    }
    SFsVolume v;
    v.strName = name;
    v.strKind = "snapshot";
    v.strSource = snapshot;
    v.strDataPath = data;
    v.ullSize = size;
    if (ok && !Save(v)) {
        error = "cannot write the volume record";
        ok = false;
    }
    if (!ok) {
        ::unlink(data.c_str());
        return FS_E_IO;
    }
    return FS_OK;
}

int CFsVolumeStore::CreateBitmap(const std::string& name, const std::string& snapshotTo,
                                 const std::string& snapshotFrom, int notReady,
                                 std::string& error) {
    if (int rc = CheckName(name, error)) return rc;
    CLock lock(m_strFolder);
    if (!lock.Held()) {
        error = "cannot lock the volume store";
        return FS_E_IO;
    }
    SFsToolsConfig config = Config();
    SFsVolume existing;
    if (Resolve(name, existing, config)) {
        error = "volume already exists";
        return FS_E_EXISTS;
    }
    CSimState state(m_strRoot);
    SFsSnapshot to;
    SFsSnapshot from;
    if (!state.GetFsSnapshot(snapshotTo, to)) {
        error = "snapshot does not exist";
        return FS_E_NOT_FOUND;
    }
    if (!snapshotFrom.empty()) {
        if (!state.GetFsSnapshot(snapshotFrom, from)) {
            error = "older snapshot does not exist";
            return FS_E_NOT_FOUND;
        }
        if (from.strDiskID != to.strDiskID || from.ullChangeSeq > to.ullChangeSeq) {
            error = "the snapshots are not of the same disk in that order";
            return FS_E_INVALID;
        }
    }
    const uint64_t chunk = 8ull * config.nBitmapBlockSize;
    const uint64_t volumeBytes = config.ullDataOffset + to.ullSize;
    uint64_t length = (volumeBytes + chunk - 1) / chunk;
    length = (length + 511) / 512 * 512;
    std::string bitmap(length, '\0');

    uint64_t fromSeq = snapshotFrom.empty() ? 0 : from.ullChangeSeq;
    for (const SWrite& w : state.WritesBetween(to.strDiskID, fromSeq, to.ullChangeSeq)) {
        uint64_t end = std::min(w.ullOffset + w.ullLength, to.ullSize);
        if (w.ullOffset >= end) continue;
        MarkRange(bitmap, chunk, config.ullDataOffset + w.ullOffset, config.ullDataOffset + end);
    }
    // Everything held by the newer snapshot counts as changed when there is no older one,
    // also data that was never journalled (a disk created with content).
    if (snapshotFrom.empty() && !MarkData(bitmap, chunk, to.strPath, config.ullDataOffset, error)) {
        return FS_E_IO;
    }

    SFsVolume v;
    v.strName = name;
    v.strKind = "bitmap";
    v.strSource = snapshotTo;
    v.strDataPath = DataPath(name);
    v.ullSize = length;
    v.nBlockSize = config.nBitmapBlockSize;
    v.nNotReady = notReady < 0 ? config.nBitmapNotReady : static_cast<uint32_t>(notReady);
    if (!CSimState::WriteFileAtomic(v.strDataPath, bitmap) || !Save(v)) {
        ::unlink(v.strDataPath.c_str());
        error = "cannot write the bitmap volume";
        return FS_E_IO;
    }
    return FS_OK;
}

int CFsVolumeStore::QueryBitmap(const std::string& name, uint32_t& status, uint32_t& blockSize,
                                std::string& error) {
    if (int rc = CheckName(name, error)) return rc;
    CLock lock(m_strFolder);
    SFsVolume v;
    if (!Load(name, v) || v.strKind != "bitmap") {
        error = "bitmap volume does not exist";
        return FS_E_NOT_FOUND;
    }
    status = v.nNotReady > 0 ? 1 : 0;
    blockSize = v.nBlockSize;
    if (v.nNotReady > 0) {
        --v.nNotReady;
        if (!Save(v)) {
            error = "cannot write the volume record";
            return FS_E_IO;
        }
    }
    return FS_OK;
}

int CFsVolumeStore::Query(const std::string& name, uint64_t& size, std::string& error) {
    if (int rc = CheckName(name, error)) return rc;
    CLock lock(m_strFolder);
    SFsVolume v;
    if (!Resolve(name, v, Config())) {
        error = "volume does not exist";
        return FS_E_NOT_FOUND;
    }
    size = v.ullSize;
    return FS_OK;
}

int CFsVolumeStore::Attach(const std::string& name, std::string& device, std::string& error) {
    if (int rc = CheckName(name, error)) return rc;
    CLock lock(m_strFolder);
    SFsToolsConfig config = Config();
    SFsVolume v;
    if (!Resolve(name, v, config)) {
        error = "volume does not exist";
        return FS_E_NOT_FOUND;
    }
    if (!v.strDevice.empty()) {
        device = v.strDevice;
        return FS_OK;
    }
    if (v.strKind == "disk" && config.ullDataOffset != 0) {
        // The disk file has no header in front of its data, so it cannot stand for a volume
        // whose data starts further in.
        error = "a disk volume cannot be attached with a data offset";
        return FS_E_UNSUPPORTED;
    }
    // Whoever attaches a disk's volume may write the disk around its change journal; the
    // watch starts before the device exists, so no write can come before its baseline.
    CSimState state(m_strRoot);
    const bool bWatch = v.strKind == "disk";
    if (bWatch && !CDiskWatch(state).Begin(v.strSource, CDiskWatch::c_szVolumeHolder, error)) {
        return FS_E_IO;
    }
    std::string loopError;
    if (config.bUseLoop && FsLoopPossible() &&
        FsLoopAttach(v.strDataPath, v.strDevice, loopError)) {
        v.bLoop = true;
    } else {
        v.strDevice = v.strDataPath;
        v.bLoop = false;
    }
    if (!Save(v)) {
        std::string ignored;
        if (v.bLoop) FsLoopDetach(v.strDevice, ignored);
        if (bWatch) CDiskWatch(state).End(v.strSource, CDiskWatch::c_szVolumeHolder, ignored);
        error = "cannot write the volume record";
        return FS_E_IO;
    }
    device = v.strDevice;
    return FS_OK;
}

bool CFsVolumeStore::DetachDevice(SFsVolume& v, std::string& error) const {
    if (v.bLoop && !FsLoopDetach(v.strDevice, error)) return false;
    v.strDevice.clear();
    v.bLoop = false;
    // A disk's own volume is stored only while attached. What was written through it is
    // journalled once the device is gone (its cached writes are in the file by then); should
    // that fail, the watch stays and the next fold of the disk catches up.
    if (v.strKind == "disk") {
        if (::unlink(RecordPath(v.strName).c_str()) != 0 && errno != ENOENT) {
            error = Errno("removing the volume record");
            return false;
        }
        CSimState state(m_strRoot);
        return CDiskWatch(state).End(v.strSource, CDiskWatch::c_szVolumeHolder, error);
    }
    if (!Save(v)) {
        error = "cannot write the volume record";
        return false;
    }
    return true;
}

int CFsVolumeStore::Detach(const std::string& name, std::string& error) {
    if (int rc = CheckName(name, error)) return rc;
    CLock lock(m_strFolder);
    SFsVolume v;
    if (!Resolve(name, v, Config())) {
        error = "volume does not exist";
        return FS_E_NOT_FOUND;
    }
    if (v.strDevice.empty()) return FS_OK;  // detaching twice is harmless
    return DetachDevice(v, error) ? FS_OK : FS_E_IO;
}

int CFsVolumeStore::Delete(const std::string& name, std::string& error) {
    if (int rc = CheckName(name, error)) return rc;
    CLock lock(m_strFolder);
    SFsVolume v;
    if (!Resolve(name, v, Config())) {
        error = "volume does not exist";
        return FS_E_NOT_FOUND;
    }
    if (v.strKind == "disk") {
        error = "a disk's own volume is deleted with its disk";
        return FS_E_UNSUPPORTED;
    }
    if (!v.strDevice.empty()) {
        error = "volume is attached";
        return FS_E_BUSY;
    }
    if (::unlink(v.strDataPath.c_str()) != 0 && errno != ENOENT) {
        error = Errno("removing volume data");
        return FS_E_IO;
    }
    if (::unlink(RecordPath(name).c_str()) != 0) {
        error = Errno("removing the volume record");
        return FS_E_IO;
    }
    return FS_OK;
}

bool CFsVolumeStore::Get(const std::string& name, SFsVolume& out) const {
    CLock lock(m_strFolder);
    return Load(name, out);
}

std::vector<SFsVolume> CFsVolumeStore::List() const {
    std::vector<SFsVolume> out;
    CLock lock(m_strFolder);
    DIR* d = ::opendir(m_strFolder.c_str());
    if (d == nullptr) return out;
    while (dirent* e = ::readdir(d)) {
        std::string file = e->d_name;
        size_t ext = file.size() >= 4 ? file.size() - 4 : std::string::npos;
        if (ext == std::string::npos || file.compare(ext, 4, c_szRecordExt) != 0) continue;
        std::string name;
        for (size_t i = 0; i < ext; ++i) {
            if (file[i] == '%' && i + 2 < ext) {
                name.push_back(static_cast<char>(std::stoi(file.substr(i + 1, 2), nullptr, 16)));
                i += 2;
            } else {
                name.push_back(file[i]);
            }
        }
        SFsVolume v;
        if (Load(name, v)) out.push_back(v);
    }
    ::closedir(d);
    return out;
}

void CFsVolumeStore::DetachAll() {
    for (SFsVolume v : List()) {
        if (v.strDevice.empty()) continue;
        CLock lock(m_strFolder);
        std::string ignored;
        DetachDevice(v, ignored);
    }
}

void CFsVolumeStore::LogCall(const std::string& tool, const std::string& cwd,
                             const std::string& classPath, const std::vector<std::string>& args) {
    auto escape = [](const std::string& s) {
        std::string out;
        for (char c : s) {
            if (c == '\\')
                out += "\\\\";
            else if (c == '\t')
                out += "\\t";
            else if (c == '\n')
                out += "\\n";
            else
                out.push_back(c);
        }
        return out;
    };
    std::string line = escape(tool) + "\t" + escape(cwd) + "\t" + escape(classPath);
    for (const std::string& a : args) line += "\t" + escape(a);
    line += "\n";
    CLock lock(m_strFolder);
    int fd = ::open((m_strFolder + "/calls.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                    0644);
    if (fd < 0) return;
    ssize_t n = ::write(fd, line.data(), line.size());
    (void)n;
    ::close(fd);
}

}  // namespace fcsim
