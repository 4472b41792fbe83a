// Constants of the CNA disk-file socket protocol. This is the only thing the plug-in's client,
// the simulator's CNA server and our backup SDK share: each side encodes and decodes the wire
// with its own code, so a codec bug on one side shows up as a failure on the other instead of
// cancelling out.
//
// clang-format off
// Wire summary (all integers unsigned little-endian, no padding):
//   header (18 bytes):     magic u16 | reserved u16 | opcode u16 | sequence u32 | body length u32
//                          | CRC-32 u32 of header bytes 0..13 (preset 0xFFFFFFFF, final complement)
//   open   (op 1, 386):    path char[256] | token char[128] | mode u16
//                          -> status u16 | handle u32
//   close  (op 1 or 2, 4): handle u32
//                          -> status u16
//   read   (op 3, 16):     handle u32 | offset u64 | length u32
//                          -> status u16 | length u32 | `length` data bytes
//   write  (op 4, 16):     as read, then `length` data bytes
//                          -> status u16
//   zeroes (op 5, 16):     as read
//                          -> status u16
// The body length of a request counts only the fixed body, never the data of a write.
// clang-format on
#pragma once

#include <cstdint>

namespace CnaProtocol {

constexpr uint16_t kMagic = 0x3535;
constexpr uint32_t kHeaderSize = 18;
constexpr uint32_t kCrcCoveredBytes = 14;

// Operation codes. The plug-in sends close with kOpOpen and a 4-byte body; the published
// protocol gives close its own code, so a server accepts both.
constexpr uint16_t kOpOpen = 1;
constexpr uint16_t kOpClose = 2;
constexpr uint16_t kOpRead = 3;
constexpr uint16_t kOpWrite = 4;
constexpr uint16_t kOpWriteZero = 5;

constexpr uint32_t kOpenBodySize = 386;
constexpr uint32_t kCloseBodySize = 4;
constexpr uint32_t kIoBodySize = 16;
constexpr uint32_t kPathSize = 256;
constexpr uint32_t kTokenSize = 128;

constexpr uint32_t kOpenResponseSize = 6;
constexpr uint32_t kStatusResponseSize = 2;
constexpr uint32_t kReadResponseSize = 6;

constexpr uint16_t kModeReadOnly = 0;
constexpr uint16_t kModeReadWrite = 1;

// Result codes of the published protocol.
constexpr uint16_t kStatusOk = 0;
constexpr uint16_t kStatusBadOpcode = 1;
constexpr uint16_t kStatusNoSuchFile = 2;
constexpr uint16_t kStatusBadToken = 3;
constexpr uint16_t kStatusBadFlags = 4;
constexpr uint16_t kStatusNoSuchHandle = 5;
constexpr uint16_t kStatusStartBeyondEnd = 6;
constexpr uint16_t kStatusReadRangeBeyondEnd = 7;
constexpr uint16_t kStatusReadFailed = 8;
constexpr uint16_t kStatusWriteRangeBeyondEnd = 9;
constexpr uint16_t kStatusWriteFailed = 10;

// CRC-32 of the header: the reflected IEEE polynomial.
constexpr uint32_t kCrcPolynomial = 0xEDB88320u;
constexpr uint32_t kCrcPreset = 0xFFFFFFFFu;

}  // namespace CnaProtocol
