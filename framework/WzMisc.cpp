// GUIDs and CRC-32.
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "WzUtil.h"

std::string CreateGuid() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof(bytes)) {
        ssize_t n = ::getrandom(bytes + got, sizeof(bytes) - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof(bytes)) {
        // No kernel entropy call (very old kernel, seccomp): the library's device is next best.
        std::random_device device;
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(device());
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof(text),
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

namespace {

struct SCrcTable {
    uint32_t n[256];
    SCrcTable() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            n[i] = c;
        }
    }
};

const SCrcTable& CrcTable() {
    static const SCrcTable table;
    return table;
}

}  // namespace

uint32_t CWzCRC32::UpdateRegister(uint32_t reg, const void* data, size_t length) {
    const SCrcTable& table = CrcTable();
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length; ++i) reg = table.n[(reg ^ p[i]) & 0xFFu] ^ (reg >> 8);
    return reg;
}
