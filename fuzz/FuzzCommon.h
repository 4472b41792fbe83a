// Helpers shared by the fuzz targets.
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// The code under test logs every refused input; the lines would fill the disk over a long run.
// No folder can be made below /dev/null, so the logger finds no file and drops its output.
inline void QuietLogs() {
    setenv("FC_LOG_DIR", "/dev/null/fcbackup-fuzz", 1);
}

// A property of the code under test that must hold for every input.
inline void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Sends all of the bytes on a blocking socket; false when the peer went away.
inline bool SendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads little-endian integers from the front of the input, zero past its end.
class CInput {
public:
    CInput(const uint8_t* data, size_t size) : m_p(data), m_end(data + size) {}
    uint8_t U8() { return m_p < m_end ? *m_p++ : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    uint64_t U64() { return U32() | (static_cast<uint64_t>(U32()) << 32); }
    const uint8_t* Rest() const { return m_p; }
    size_t Left() const { return static_cast<size_t>(m_end - m_p); }
    void Skip(size_t n) { m_p += n < Left() ? n : Left(); }

private:
    const uint8_t* m_p;
    const uint8_t* m_end;
};

}  // namespace fuzz
