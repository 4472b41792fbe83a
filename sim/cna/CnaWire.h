// The server's own encoder and decoder of the CNA wire format. It shares only constants with
// the plug-in's client, so that the two codecs check each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fcsim {
namespace cnawire {

uint32_t Crc32(const uint8_t* data, size_t length);

inline uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const uint8_t* p) {
    return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}
inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct SHeader {
    uint16_t nMagic = 0;
    uint16_t nReserved = 0;
    uint16_t nOpcode = 0;
    uint32_t nSequence = 0;
    uint32_t nBodyLength = 0;
    uint32_t nCrc = 0;
    bool bCrcValid = false;
};

struct SOpenRequest {
    std::string strPath;   // up to the first zero byte, at most 256 bytes
    std::string strToken;  // likewise, at most 128 bytes
    uint16_t nMode = 0;
};

struct SIoRequest {
    uint32_t nHandle = 0;
    uint64_t ullOffset = 0;
    uint32_t nLength = 0;
};

SHeader DecodeHeader(const uint8_t* bytes);     // 18 bytes
SOpenRequest DecodeOpen(const uint8_t* bytes);  // 386 bytes
SIoRequest DecodeIo(const uint8_t* bytes);      // 16 bytes
uint32_t DecodeHandle(const uint8_t* bytes);    // 4 bytes

// A response header (18 bytes) with its CRC.
void EncodeHeader(uint8_t* out, uint16_t opcode, uint32_t sequence, uint32_t bodyLength);

}  // namespace cnawire
}  // namespace fcsim
