// File-based shared state of the simulator. Every record is a small file written whole and
// renamed into place, and every read-modify-write runs under an flock on "<root>/lock", so the
// management service, the CNA server and the tool stand-ins may live in different processes.
#include "SimState.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "KeyValues.h"

namespace fcsim {

namespace {

std::atomic<int64_t> g_llNowOverride{0};
std::atomic<uint64_t> g_ullTempCounter{0};

void MakeDir(const std::string& path) {
    ::mkdir(path.c_str(), 0755);
}

bool HasNewline(const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
}

bool ParseU64(const std::string& s, uint64_t& out) {
    return CSimState::ParseDecimal(s, out);
}

bool ParseI64(const std::string& s, int64_t& out) {
    bool neg = !s.empty() && s[0] == '-';
    uint64_t v = 0;
    if (!ParseU64(neg ? s.substr(1) : s, v) || v > static_cast<uint64_t>(INT64_MAX)) return false;
    out = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

std::string LeaseText(const SLease& l) {
    std::ostringstream o;
    o << "accessID=" << l.strAccessID << "\ntoken=" << l.strToken << "\ndiskID=" << l.strDiskID
      << "\npath=" << l.strPath << "\nwritable=" << (l.bWritable ? 1 : 0)
      << "\nexpires=" << l.tExpires << "\n";
    return o.str();
}

bool LeaseFromText(const std::string& text, SLease& out) {
    CKeyValues kv = CKeyValues::FromRecord(text);
    SLease l;
    l.strAccessID = kv.Get("accessID");
    l.strToken = kv.Get("token");
    l.strDiskID = kv.Get("diskID");
    l.strPath = kv.Get("path");
    l.bWritable = kv.Get("writable") == "1";
    if (l.strAccessID.empty() || !ParseI64(kv.Get("expires"), l.tExpires)) return false;
    out = l;
    return true;
}

// The last "seq offset length" line of a journal, read from its tail so that a long journal
// costs nothing to consult.
uint64_t LastSeq(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st {};
    uint64_t seq = 0;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        off_t want = st.st_size < 256 ? st.st_size : 256;
        std::string tail(static_cast<size_t>(want), '\0');
        ssize_t got = ::pread(fd, &tail[0], tail.size(), st.st_size - want);
        if (got > 0) {
            tail.resize(static_cast<size_t>(got));
            while (!tail.empty() && tail.back() == '\n') tail.pop_back();
            auto nl = tail.rfind('\n');
            std::string last = nl == std::string::npos ? tail : tail.substr(nl + 1);
            std::istringstream in(last);
            std::string first;
            in >> first;
            if (!ParseU64(first, seq)) seq = 0;
        }
    }
    ::close(fd);
    return seq;
}

}  // namespace

CSimState::CSimState(std::string root) : m_strRoot(std::move(root)) {
    while (m_strRoot.size() > 1 && m_strRoot.back() == '/') m_strRoot.pop_back();
    MakeDir(m_strRoot);
    for (const char* sub :
         {"disks", "snapshots", "cow", "cbt", "leases", "fssnap", "volumes", "faults"}) {
        MakeDir(m_strRoot + "/" + sub);
    }
    // The lock file exists before anyone flocks it, so opening it never races with creation.
    int fd = ::open((m_strRoot + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

bool CSimState::IsSafeName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name[0] == '.') return false;
    for (char c : name) {
        if (c == '/' || c == '\0' || c == '\n' || c == '\r' || c == '\\') return false;
    }
    return true;
}

std::string CSimState::DiskPath(const std::string& diskID) const {
    return m_strRoot + "/disks/" + diskID + ".img";
}

std::string CSimState::SnapshotDiskPath(const std::string& snapID,
                                        const std::string& diskID) const {
    return m_strRoot + "/snapshots/" + snapID + "/" + diskID + ".img";
}

bool CSimState::WriteFileAtomic(const std::string& path, const std::string& data) {
    std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." +
                      std::to_string(g_ullTempCounter.fetch_add(1));
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool CSimState::ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return false;
    out = ss.str();
    return true;
}

CSimState::CLock::CLock(const CSimState& state, bool bExclusive, const char* szFile) {
    m_nFd = ::open((state.Root() + "/" + szFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_nFd < 0) return;
    while (::flock(m_nFd, bExclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            ::close(m_nFd);
            m_nFd = -1;
            return;
        }
    }
}

CSimState::CLock::~CLock() {
    if (m_nFd >= 0) ::close(m_nFd);  // closing the description drops the flock
}

bool CSimState::PutLease(const SLease& lease) {
    if (!IsSafeName(lease.strAccessID) || HasNewline(lease.strToken) ||
        HasNewline(lease.strDiskID) || HasNewline(lease.strPath)) {
        return false;
    }
    CLock lock(*this);
    return lock.Held() &&
           WriteFileAtomic(m_strRoot + "/leases/" + lease.strAccessID, LeaseText(lease));
}

bool CSimState::GetLease(const std::string& accessID, SLease& out) const {
    if (!IsSafeName(accessID)) return false;
    CLock lock(*this, false);
    std::string text;
    return ReadFile(m_strRoot + "/leases/" + accessID, text) && LeaseFromText(text, out);
}

bool CSimState::HasLease(const std::string& accessID) const {
    struct stat st;
    return IsSafeName(accessID) && ::stat((m_strRoot + "/leases/" + accessID).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

bool CSimState::DeleteLease(const std::string& accessID) {
    if (!IsSafeName(accessID)) return false;
    CLock lock(*this);
    return ::unlink((m_strRoot + "/leases/" + accessID).c_str()) == 0;
}

std::vector<SLease> CSimState::ListLeases() const {
    std::vector<SLease> out;
    CLock lock(*this, false);
    DIR* d = ::opendir((m_strRoot + "/leases").c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (!IsSafeName(name) || name.find(".tmp.") != std::string::npos) continue;
        std::string text;
        SLease l;
        if (ReadFile(m_strRoot + "/leases/" + name, text) && LeaseFromText(text, l)) {
            out.push_back(l);
        }
    }
    ::closedir(d);
    return out;
}

bool CSimState::PutFsSnapshot(const SFsSnapshot& snap) {
    if (!IsSafeName(snap.strName) || HasNewline(snap.strDiskID) || HasNewline(snap.strPath)) {
        return false;
    }
    std::ostringstream o;
    o << "name=" << snap.strName << "\ndiskID=" << snap.strDiskID << "\npath=" << snap.strPath
      << "\nchangeSeq=" << snap.ullChangeSeq << "\nsize=" << snap.ullSize << "\n";
    CLock lock(*this);
    return lock.Held() && WriteFileAtomic(m_strRoot + "/fssnap/" + snap.strName, o.str());
}

bool CSimState::GetFsSnapshot(const std::string& name, SFsSnapshot& out) const {
    if (!IsSafeName(name)) return false;
    std::string text;
    {
        CLock lock(*this, false);
        if (!ReadFile(m_strRoot + "/fssnap/" + name, text)) return false;
    }
    CKeyValues kv = CKeyValues::FromRecord(text);
    SFsSnapshot s;
    s.strName = kv.Get("name");
    s.strDiskID = kv.Get("diskID");
    s.strPath = kv.Get("path");
    if (s.strName.empty() || !kv.GetNumber("changeSeq", UINT64_MAX, s.ullChangeSeq) ||
        !kv.GetNumber("size", UINT64_MAX, s.ullSize)) {
        return false;
    }
    out = s;
    return true;
}

bool CSimState::DeleteFsSnapshot(const std::string& name) {
    if (!IsSafeName(name)) return false;
    CLock lock(*this);
    return ::unlink((m_strRoot + "/fssnap/" + name).c_str()) == 0;
}

uint64_t CSimState::MarkWritten(const std::string& diskID, uint64_t offset, uint64_t length) {
    if (!IsSafeName(diskID)) return 0;
    std::string path = m_strRoot + "/cbt/" + diskID + ".log";
    CLock lock(*this);
    uint64_t seq = LastSeq(path) + 1;
    std::string line =
        std::to_string(seq) + " " + std::to_string(offset) + " " + std::to_string(length) + "\n";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    ssize_t n = ::write(fd, line.data(), line.size());
    ::close(fd);
    return n == static_cast<ssize_t>(line.size()) ? seq : 0;
}

uint64_t CSimState::ChangeSeq(const std::string& diskID) const {
    if (!IsSafeName(diskID)) return 0;
    CLock lock(*this, false);
    return LastSeq(m_strRoot + "/cbt/" + diskID + ".log");
}

std::vector<SWrite> CSimState::WritesBetween(const std::string& diskID, uint64_t fromSeq,
                                             uint64_t toSeq) const {
    std::vector<SWrite> out;
    if (!IsSafeName(diskID) || toSeq <= fromSeq) return out;
    CLock lock(*this, false);
    std::ifstream in(m_strRoot + "/cbt/" + diskID + ".log");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string a, b, c;
        SWrite w;
        if (!(ls >> a >> b >> c) || !ParseU64(a, w.ullSeq) || !ParseU64(b, w.ullOffset) ||
            !ParseU64(c, w.ullLength)) {
            continue;  // a torn last line from a crashed writer names no write
        }
        if (w.ullSeq > toSeq) break;
        if (w.ullSeq > fromSeq) out.push_back(w);
    }
    return out;
}

bool CSimState::DropJournal(const std::string& diskID) {
    if (!IsSafeName(diskID)) return false;
    CLock lock(*this);
    // A baseline of the deleted disk must never be compared with a new disk of the same id.
    ::unlink((m_strRoot + "/cbt/" + diskID + ".watch").c_str());
    return ::unlink((m_strRoot + "/cbt/" + diskID + ".log").c_str()) == 0 || errno == ENOENT;
}

int64_t CSimState::Now() {
    int64_t o = g_llNowOverride.load();
    return o != 0 ? o : static_cast<int64_t>(::time(nullptr));
}

void CSimState::SetNowForTest(int64_t seconds) {
    g_llNowOverride.store(seconds);
}

bool CSimState::ParseDecimal(const std::string& text, uint64_t& out) {
    return fcsim::ParseDecimal(text, out);
}

}  // namespace fcsim
