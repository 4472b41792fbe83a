// The agent's utility library in one include: status and strings (WzError.h), files, paths
// and folders (WzFile.h), sockets and addresses (WzSocket.h), plus GUIDs and CRC-32.
// Reads no environment variable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "NxExport.h"
#include "WzError.h"
#include "WzFile.h"
#include "WzSocket.h"

// A fresh random (version 4) GUID in lower-case text, "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx".
NX_EXPORT std::string CreateGuid();

// CRC-32 with the standard (IEEE 802.3, reflected 0xEDB88320) polynomial. The register starts
// at 0xFFFFFFFF; Final() is its bitwise complement. "123456789" gives 0xCBF43926.
class NX_EXPORT CWzCRC32 {
public:
    CWzCRC32() = default;
    void Reset() { m_nRegister = 0xFFFFFFFFu; }
    // Feeds bytes into the register.
    void Update(const void* data, size_t length) {
        m_nRegister = UpdateRegister(m_nRegister, data, length);
    }
    uint32_t Register() const { return m_nRegister; }
    uint32_t Final() const { return ~m_nRegister; }

    // The raw update step: the register after feeding the bytes, no preset, no complement.
    static uint32_t UpdateRegister(uint32_t reg, const void* data, size_t length);
    // Preset, update, complement in one call.
    static uint32_t Compute(const void* data, size_t length) {
        return ~UpdateRegister(0xFFFFFFFFu, data, length);
    }

private:
    uint32_t m_nRegister = 0xFFFFFFFFu;
};
