// Disk files of the simulator: sparse creation, sparse-preserving copies (snapshots), data
// extents (allocated blocks) and the block bitmaps answered by getcbt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fcsim {

constexpr uint64_t kCbtBlockBytes = 65536;  // one bit of a change bitmap
constexpr uint32_t kCbtSectorsPerBlock = 128;

// Owns a file descriptor: closed when it goes.
class CFd {
public:
    explicit CFd(int fd) : m_nFd(fd) {}
    ~CFd();
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_nFd; }
    int Release() {
        int fd = m_nFd;
        m_nFd = -1;
        return fd;
    }

private:
    int m_nFd;
};

// Creates (or truncates to) a sparse file of the given size.
bool CreateSparseFile(const std::string& path, uint64_t size, std::string& err);
bool FileSize(const std::string& path, uint64_t& size);
// Copies src to dst keeping holes: a reflink when the file system offers one, else only the
// data extents. dst is written under a temporary name and renamed, so a failed copy leaves
// nothing behind.
bool CopySparse(const std::string& src, const std::string& dst, std::string& err);
// The data extents (offset, length) of a file, ascending; a file system without hole
// reporting yields one extent covering the whole file.
bool DataExtents(const std::string& path, std::vector<std::pair<uint64_t, uint64_t>>& out,
                 std::string& err);
// Copies the data regions of in within [offset, offset + length) to the same offsets of out,
// leaving its holes untouched. buf is scratch space, sized on first use.
bool CopyData(int in, int out, uint64_t offset, uint64_t length, std::vector<char>& buf);
bool WriteAt(const std::string& path, uint64_t offset, const std::string& data, std::string& err);
// "what: <the text of errno>".
std::string ErrnoText(const std::string& what);
bool IsAllZero(const char* p, size_t n);

class CBlockBitmap {
public:
    explicit CBlockBitmap(uint64_t diskBytes);
    uint64_t Bits() const { return m_vecBits.size(); }
    // Sets every block that the byte range touches; ranges past the end are cut.
    void SetRange(uint64_t offset, uint64_t length);
    bool Test(uint64_t bit) const { return bit < m_vecBits.size() && m_vecBits[bit]; }
    // Bits [start, start + count) as upper-case hex, most significant bit first; count is cut
    // at the end. Returns the number of bits covered and the set ones.
    std::string Hex(uint64_t start, uint64_t count, uint64_t& bitNum, uint64_t& bit1Num) const;

private:
    std::vector<bool> m_vecBits;
};

}  // namespace fcsim
