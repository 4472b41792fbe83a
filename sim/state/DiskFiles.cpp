#include "DiskFiles.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace fcsim {

namespace {

std::string ErrText(const std::string& what, const std::string& path) {
    return ErrnoText(what + " " + path);
}

bool CopyRange(int in, int out, uint64_t off, uint64_t len, std::vector<char>& buf) {
    // In the kernel first: no trip of every byte through this process.
    while (len > 0) {
        loff_t from = static_cast<loff_t>(off), to = static_cast<loff_t>(off);
        ssize_t n = ::copy_file_range(in, &from, out, &to, static_cast<size_t>(len), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // not supported here, or the source ended: copy by hand
        off += static_cast<uint64_t>(n);
        len -= static_cast<uint64_t>(n);
    }
    while (len > 0) {
        size_t want = len < buf.size() ? static_cast<size_t>(len) : buf.size();
        ssize_t n = ::pread(in, buf.data(), want, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        size_t done = 0;
        while (done < static_cast<size_t>(n)) {
            ssize_t w = ::pwrite(out, buf.data() + done, static_cast<size_t>(n) - done,
                                 static_cast<off_t>(off + done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += static_cast<size_t>(w);
        }
        off += static_cast<uint64_t>(n);
        len -= static_cast<uint64_t>(n);
    }
    return true;
}

std::atomic<uint64_t> g_ullCopyCounter{0};

}  // namespace

bool CopyData(int in, int out, uint64_t offset, uint64_t length, std::vector<char>& buf) {
    if (buf.empty()) buf.resize(1 << 20);
    struct stat st {};
    if (::fstat(in, &st) != 0) return false;
    const uint64_t end = std::min<uint64_t>(offset + length < offset ? UINT64_MAX : offset + length,
                                            static_cast<uint64_t>(st.st_size));
    uint64_t pos = offset;
    while (pos < end) {
        off_t data = ::lseek(in, static_cast<off_t>(pos), SEEK_DATA);
        if (data < 0 && errno == ENXIO) return true;  // only a hole remains
        if (data < 0) return errno == EINVAL && CopyRange(in, out, pos, end - pos, buf);
        if (static_cast<uint64_t>(data) >= end) return true;
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        uint64_t stop = hole < 0 ? end : std::min<uint64_t>(end, static_cast<uint64_t>(hole));
        if (!CopyRange(in, out, static_cast<uint64_t>(data), stop - data, buf)) return false;
        pos = stop;
    }
    return true;
}

CFd::~CFd() {
    if (m_nFd >= 0) ::close(m_nFd);
}

std::string ErrnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool IsAllZero(const char* p, size_t n) {
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

bool CreateSparseFile(const std::string& path, uint64_t size, std::string& err) {
    CFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (fd.Get() < 0) {
        err = ErrText("cannot create", path);
        return false;
    }
    if (::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0) {
        err = ErrText("cannot size", path);
        return false;
    }
    return true;
}

bool FileSize(const std::string& path, uint64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool DataExtents(const std::string& path, std::vector<std::pair<uint64_t, uint64_t>>& out,
                 std::string& err) {
    out.clear();
    CFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) {
        err = ErrText("cannot open", path);
        return false;
    }
    off_t end = st.st_size;
    off_t pos = 0;
    while (pos < end) {
        off_t data = ::lseek(fd.Get(), pos, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // only a hole remains
            if (errno == EINVAL) {      // no hole reporting here: all of it is data
                out.clear();
                out.emplace_back(0, static_cast<uint64_t>(end));
                return true;
            }
            err = ErrText("cannot seek", path);
            return false;
        }
        off_t hole = ::lseek(fd.Get(), data, SEEK_HOLE);
        if (hole < 0) hole = end;
        if (hole > data) out.emplace_back(static_cast<uint64_t>(data), hole - data);
        pos = hole;
    }
    return true;
}

bool CopySparse(const std::string& src, const std::string& dst, std::string& err) {
    CFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (in.Get() < 0 || ::fstat(in.Get(), &st) != 0) {
        err = ErrText("cannot open", src);
        return false;
    }
    std::string tmp = dst + ".part." + std::to_string(::getpid()) + "." +
                      std::to_string(g_ullCopyCounter.fetch_add(1));
    CFd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (out.Get() < 0) {
        err = ErrText("cannot create", tmp);
        return false;
    }
    bool ok = ::ioctl(out.Get(), FICLONE, in.Get()) == 0;
    if (!ok) {
        std::vector<char> buf;
        ok = ::ftruncate(out.Get(), static_cast<off_t>(st.st_size)) == 0 &&
             CopyData(in.Get(), out.Get(), 0, static_cast<uint64_t>(st.st_size), buf);
        if (!ok) err = ErrText("cannot copy to", tmp);
    }
    if (ok && ::close(out.Release()) != 0) {
        ok = false;
        err = ErrText("cannot write", tmp);
    }
    if (ok && ::rename(tmp.c_str(), dst.c_str()) != 0) {
        ok = false;
        err = ErrText("cannot rename to", dst);
    }
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

bool WriteAt(const std::string& path, uint64_t offset, const std::string& data, std::string& err) {
    CFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        err = ErrText("cannot open", path);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::pwrite(fd.Get(), data.data() + done, data.size() - done,
                             static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = ErrText("cannot write", path);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

CBlockBitmap::CBlockBitmap(uint64_t diskBytes)
    : m_vecBits((diskBytes + kCbtBlockBytes - 1) / kCbtBlockBytes, false) {}

void CBlockBitmap::SetRange(uint64_t offset, uint64_t length) {
    if (length == 0) return;
    uint64_t first = offset / kCbtBlockBytes;
    uint64_t last = (offset + length - 1) / kCbtBlockBytes;
    if (offset + length < offset) last = UINT64_MAX / kCbtBlockBytes;  // wrapped: to the end
    for (uint64_t b = first; b <= last && b < m_vecBits.size(); ++b) m_vecBits[b] = true;
}

std::string CBlockBitmap::Hex(uint64_t start, uint64_t count, uint64_t& bitNum,
                              uint64_t& bit1Num) const {
    static const char kDigits[] = "0123456789ABCDEF";
    uint64_t total = m_vecBits.size();
    bitNum = start >= total ? 0 : (count == 0 || count > total - start ? total - start : count);
    bit1Num = 0;
    std::string hex;
    hex.reserve(static_cast<size_t>((bitNum + 3) / 4));
    for (uint64_t i = 0; i < bitNum; i += 4) {
        unsigned v = 0;
        for (unsigned k = 0; k < 4; ++k) {
            bool b = i + k < bitNum && m_vecBits[start + i + k];
            if (b) {
                v |= 8u >> k;
                ++bit1Num;
            }
        }
        hex.push_back(kDigits[v]);
    }
    return hex;
}

}  // namespace fcsim
