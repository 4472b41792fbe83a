#include "CnaWire.h"

#include <cstring>

#include "CnaProtocol.h"

namespace fcsim {
namespace cnawire {

namespace {
struct SCrcTable {
    uint32_t n[256];
    SCrcTable() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (CnaProtocol::kCrcPolynomial ^ (c >> 1)) : (c >> 1);
            n[i] = c;
        }
    }
};
}  // namespace

uint32_t Crc32(const uint8_t* data, size_t length) {
    static const SCrcTable table;
    uint32_t crc = CnaProtocol::kCrcPreset;
    for (size_t i = 0; i < length; ++i) crc = table.n[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

SHeader DecodeHeader(const uint8_t* b) {
    SHeader h;
    h.nMagic = Get16(b);
    h.nReserved = Get16(b + 2);
    h.nOpcode = Get16(b + 4);
    h.nSequence = Get32(b + 6);
    h.nBodyLength = Get32(b + 10);
    h.nCrc = Get32(b + 14);
    h.bCrcValid = h.nCrc == Crc32(b, CnaProtocol::kCrcCoveredBytes);
    return h;
}

static std::string FixedText(const uint8_t* p, size_t size) {
    const void* zero = std::memchr(p, 0, size);
    size_t n = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - p) : size;
    return std::string(reinterpret_cast<const char*>(p), n);
}

SOpenRequest DecodeOpen(const uint8_t* b) {
    SOpenRequest r;
    r.strPath = FixedText(b, CnaProtocol::kPathSize);
    r.strToken = FixedText(b + CnaProtocol::kPathSize, CnaProtocol::kTokenSize);
    r.nMode = Get16(b + CnaProtocol::kPathSize + CnaProtocol::kTokenSize);
    return r;
}

SIoRequest DecodeIo(const uint8_t* b) {
    SIoRequest r;
    r.nHandle = Get32(b);
    r.ullOffset = Get64(b + 4);
    r.nLength = Get32(b + 12);
    return r;
}

uint32_t DecodeHandle(const uint8_t* b) {
    return Get32(b);
}

void EncodeHeader(uint8_t* out, uint16_t opcode, uint32_t sequence, uint32_t bodyLength) {
    Put16(out, CnaProtocol::kMagic);
    Put16(out + 2, 0);
    Put16(out + 4, opcode);
    Put32(out + 6, sequence);
    Put32(out + 10, bodyLength);
    Put32(out + 14, Crc32(out, CnaProtocol::kCrcCoveredBytes));
}

}  // namespace cnawire
}  // namespace fcsim
