// A watch file is one text line "holders <h1> <h2> ..." followed by the baseline: one
// SChunkDigest per chunk that held data, ascending, in the machine's byte order (the file never
// leaves the machine). Every change of a watch runs under the flock of cbt/watch.lock, which
// is taken before the state's own lock (MarkWritten, GetLease) and never while holding it.
#include "DiskWatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>
#include <vector>

#include "DiskCow.h"
#include "DiskFiles.h"

namespace fcsim {

namespace {

constexpr const char* c_szLockFile = "cbt/watch.lock";
constexpr uint64_t c_ullChunk = CDiskWatch::c_ullChunkBytes;
constexpr size_t c_nReadBytes = 256 * c_ullChunk;
const std::string c_strHeader = "holders";

struct SChunkDigest {
    uint64_t ullChunk;
    uint64_t ullDigest;
};
using TBaseline = std::vector<SChunkDigest>;

struct SWatch {
    std::vector<std::string> vecHolders;
    TBaseline baseline;
};

uint64_t Mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}

// Each step is a bijection of the running value for the word it takes in, so two chunks that
// differ in a single word never share a digest.
uint64_t Digest(const char* p, size_t n) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    for (size_t i = 0; i < n; i += 8) {
        uint64_t w = 0;
        std::memcpy(&w, p + i, std::min<size_t>(8, n - i));
        h = Mix(h ^ w);
    }
    return h;
}

// Digests of the file's chunks that hold a non-zero byte. Holes are skipped unread.
bool Scan(const std::string& path, TBaseline& out, uint64_t& size, std::string& err) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        err = ErrnoText("cannot open " + path);
        if (fd >= 0) ::close(fd);
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    bool ok = DataExtents(path, extents, err);
    std::vector<char> buf(c_nReadBytes);
    uint64_t pos = 0;  // every chunk before pos has been looked at
    for (size_t e = 0; ok && e < extents.size() && pos < size; ++e) {
        // Whole chunks: a region that starts or ends inside one reads all of it.
        uint64_t at = std::max(pos, extents[e].first / c_ullChunk * c_ullChunk);
        const uint64_t regionEnd = extents[e].first + extents[e].second;
        const uint64_t to = std::min(size, (regionEnd + c_ullChunk - 1) / c_ullChunk * c_ullChunk);
        while (at < to) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), to - at));
            ssize_t got = ::pread(fd, buf.data(), want, static_cast<off_t>(at));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                err = ErrnoText("cannot read " + path);
                ok = false;
                break;
            }
            for (size_t c = 0; c < static_cast<size_t>(got); c += c_ullChunk) {
                size_t n = std::min<size_t>(c_ullChunk, static_cast<size_t>(got) - c);
                if (!IsAllZero(buf.data() + c, n)) {
                    out.push_back({(at + c) / c_ullChunk, Digest(buf.data() + c, n)});
                }
            }
            if (static_cast<size_t>(got) < want) {  // the file ends early
                pos = size;
                break;
            }
            at += static_cast<uint64_t>(got);
        }
        pos = std::max(pos, to);
    }
    ::close(fd);
    return ok;
}

// Byte ranges of the chunks that differ between the two baselines, neighbours joined.
std::vector<std::pair<uint64_t, uint64_t>> Changed(const TBaseline& was, const TBaseline& now,
                                                   uint64_t size) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    auto add = [&](uint64_t chunk) {
        uint64_t off = chunk * c_ullChunk;
        if (off >= size) return;
        uint64_t end = std::min(size, off + c_ullChunk);
        if (!ranges.empty() && ranges.back().first + ranges.back().second == off) {
            ranges.back().second = end - ranges.back().first;
        } else {
            ranges.emplace_back(off, end - off);
        }
    };
    size_t i = 0, j = 0;
    while (i < was.size() || j < now.size()) {
        if (j == now.size() || (i < was.size() && was[i].ullChunk < now[j].ullChunk)) {
            add(was[i++].ullChunk);  // held data, now zeros or a hole
        } else if (i == was.size() || now[j].ullChunk < was[i].ullChunk) {
            add(now[j++].ullChunk);  // newly written
        } else {
            if (was[i].ullDigest != now[j].ullDigest) add(now[j].ullChunk);
            ++i;
            ++j;
        }
    }
    return ranges;
}

bool Load(const std::string& path, SWatch& out, std::string& err) {
    std::string text;
    if (!CSimState::ReadFile(path, text)) {
        err = ErrnoText("cannot read " + path);
        return false;
    }
    size_t nl = text.find('\n');
    std::istringstream header(text.substr(0, nl));
    std::string word;
    size_t body = nl == std::string::npos ? text.size() : nl + 1;
    if (!(header >> word) || word != c_strHeader || (text.size() - body) % sizeof(SChunkDigest)) {
        err = path + " is not a disk watch";
        return false;
    }
    out.vecHolders.clear();
    while (header >> word) out.vecHolders.push_back(word);
    out.baseline.resize((text.size() - body) / sizeof(SChunkDigest));
    if (!out.baseline.empty()) {
        std::memcpy(out.baseline.data(), text.data() + body, text.size() - body);
    }
    return true;
}

// No holder left: the watch ends.
bool Save(const std::string& path, const SWatch& w, std::string& err) {
    if (w.vecHolders.empty()) {
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
        err = ErrnoText("cannot remove " + path);
        return false;
    }
    std::string text = c_strHeader;
    for (const std::string& h : w.vecHolders) text += " " + h;
    text += "\n";
    text.append(reinterpret_cast<const char*>(w.baseline.data()),
                w.baseline.size() * sizeof(SChunkDigest));
    if (CSimState::WriteFileAtomic(path, text)) return true;
    err = "cannot write " + path;
    return false;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string CDiskWatch::WatchPath(const std::string& diskID) const {
    return m_state.Root() + "/cbt/" + diskID + ".watch";
}

bool CDiskWatch::Watched(const std::string& diskID) const {
    return CSimState::IsSafeName(diskID) && Exists(WatchPath(diskID));
}

bool CDiskWatch::Begin(const std::string& diskID, const std::string& holder, std::string& err) {
    if (!CSimState::IsSafeName(diskID) || !CSimState::IsSafeName(holder) ||
        holder.find_first_of(" \t") != std::string::npos) {
        err = "invalid disk or holder name";
        return false;
    }
    CSimState::CLock lock(m_state, true, c_szLockFile);
    if (!lock.Held()) {
        err = "cannot lock the disk watches";
        return false;
    }
    const std::string path = WatchPath(diskID);
    SWatch w;
    uint64_t size = 0;
    if (Exists(path) ? !Load(path, w, err)
                     : !Scan(m_state.DiskPath(diskID), w.baseline, size, err)) {
        return false;
    }
    // The writer's changes will not pass through the simulator: no snapshot may share a block.
    if (!CDiskCow(m_state, diskID).MaterializeAll(err)) return false;
    if (std::find(w.vecHolders.begin(), w.vecHolders.end(), holder) == w.vecHolders.end()) {
        w.vecHolders.push_back(holder);
    }
    return Save(path, w, err);
}

bool CDiskWatch::Freeze(const std::string& diskID, const std::string& snapID, bool bCow,
                        std::string& err) {
    CSimState::CLock lock(m_state, true, c_szLockFile);
    if (!lock.Held()) {
        err = "cannot lock the disk watches";
        return false;
    }
    if (bCow && !Watched(diskID)) return CDiskCow(m_state, diskID).Take(snapID, err);
    return CopySparse(m_state.DiskPath(diskID), m_state.SnapshotDiskPath(snapID, diskID), err);
}

bool CDiskWatch::Fold(const std::string& diskID, std::string& err) {
    return Update(diskID, std::string(), err);
}

bool CDiskWatch::End(const std::string& diskID, const std::string& holder, std::string& err) {
    return Update(diskID, holder, err);
}

bool CDiskWatch::Update(const std::string& diskID, const std::string& dropHolder,
                        std::string& err) {
    if (!CSimState::IsSafeName(diskID)) {
        err = "invalid disk name";
        return false;
    }
    // A watch that does not exist yet has nothing to report, so the unwatched disk, by far the
    // most common, is told apart before any lock.
    const std::string path = WatchPath(diskID);
    if (!Exists(path)) return true;
    CSimState::CLock lock(m_state, true, c_szLockFile);
    if (!Exists(path)) return true;
    if (!lock.Held()) {
        err = "cannot lock the disk watches";
        return false;
    }
    SWatch w;
    TBaseline now;
    uint64_t size = 0;
    if (!Load(path, w, err) || !Scan(m_state.DiskPath(diskID), now, size, err)) return false;
    // Journal first, baseline after: a fold cut short journals the same chunks again next time,
    // which can only repeat a change, never lose one.
    for (const auto& r : Changed(w.baseline, now, size)) {
        if (m_state.MarkWritten(diskID, r.first, r.second) == 0) {
            err = "the change journal of " + diskID + " could not be written";
            return false;
        }
    }
    w.baseline = std::move(now);
    auto gone = [&](const std::string& h) {
        if (h == dropHolder) return true;
        const std::string prefix = LeaseHolder("");
        if (h.compare(0, prefix.size(), prefix) != 0) return false;
        SLease l;
        return !m_state.GetLease(h.substr(prefix.size()), l) || l.tExpires <= CSimState::Now();
    };
    w.vecHolders.erase(std::remove_if(w.vecHolders.begin(), w.vecHolders.end(), gone),
                       w.vecHolders.end());
    return Save(path, w, err);
}

}  // namespace fcsim
