// The chunk store: chunks/<first two hex digits>/<SHA-256 of the content in hex>.
//
// A chunk file is a 16-byte header (magic "FCCHUNK1", a flags byte whose bit 0 says the
// payload is zstd-compressed, three zero bytes, the raw length as 32-bit little-endian)
// followed by the payload. The name is the hash of the raw content, so a store is idempotent
// and every read can be checked against the name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string Sha256Hex(const void* pData, size_t nLength);
bool IsChunkHash(const std::string& str);

class CChunkStore {
public:
    explicit CChunkStore(std::string strRoot) : m_strRoot(std::move(strRoot)) {}

    std::string FanOf(const std::string& strHash) const;  // the chunk's folder
    std::string PathOf(const std::string& strHash) const;
    // Stores the content unless a chunk of that name is already there; returns its hash.
    bool Put(const std::string& strContent, bool bCompress, std::string& strHash,
             std::string& strError) const;
    // Reads, decompresses and checks the content against its name.
    bool Get(const std::string& strHash, std::string& strContent, std::string& strError) const;

private:
    std::string m_strRoot;
};
