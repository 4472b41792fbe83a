#include "ChunkStore.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "RepoFiles.h"

namespace {
constexpr char kMagic[8] = {'F', 'C', 'C', 'H', 'U', 'N', 'K', '1'};
constexpr size_t kHeaderSize = 16;
constexpr uint8_t kFlagCompressed = 1;
// Fast levels: the chunks are disk data read once per backup, and most of the gain comes
// from the first levels.
constexpr int kZstdLevel = 3;

void PutLe32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}
uint32_t GetLe32(const char* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(p[i])) << (8 * i);
    return v;
}

}  // namespace

std::string Sha256Hex(const void* pData, size_t nLength) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int nDigest = 0;
    EVP_Digest(pData, nLength, digest, &nDigest, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string str;
    for (unsigned int i = 0; i < nDigest; ++i) {
        str += kHex[digest[i] >> 4];
        str += kHex[digest[i] & 15];
    }
    return str;
}

bool IsChunkHash(const std::string& str) {
    if (str.size() != 64) return false;
    for (char c : str)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string CChunkStore::FanOf(const std::string& strHash) const {
    return m_strRoot + "/chunks/" + strHash.substr(0, 2);
}

std::string CChunkStore::PathOf(const std::string& strHash) const {
    return FanOf(strHash) + "/" + strHash;
}

bool CChunkStore::MakeFolder(const std::string& strHash, std::string& strError) const {
    const std::string strDir = FanOf(strHash);
    if (::mkdir(strDir.c_str(), 0755) != 0 && errno != EEXIST) {
        strError = ErrnoText("cannot create", strDir);
        return false;
    }
    return CheckRealFolder(strDir, strError);
}

bool CChunkStore::Has(const std::string& strHash) const {
    // Only a real file counts as present; publishing replaces anything else.
    struct stat st;
    return ::lstat(PathOf(strHash).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

size_t CChunkStore::Encode(const std::string& strContent, bool bCompress, CAlignedBuffer& out) {
    const size_t nBound = bCompress ? ZSTD_compressBound(strContent.size()) : 0;
    char* p = out.Reserve(kHeaderSize + std::max(strContent.size(), nBound));
    size_t nPayload = 0;
    uint8_t nFlags = 0;
    if (bCompress) {
        nPayload = ZSTD_compress(p + kHeaderSize, nBound, strContent.data(), strContent.size(),
                                 kZstdLevel);
        // Data that does not shrink is kept raw, so reading it costs no decompression.
        if (!ZSTD_isError(nPayload) && nPayload < strContent.size()) nFlags = kFlagCompressed;
    }
    if (!nFlags) {
        nPayload = strContent.size();
        std::memcpy(p + kHeaderSize, strContent.data(), nPayload);
    }
    std::memset(p, 0, kHeaderSize);
    std::memcpy(p, kMagic, sizeof kMagic);
    p[8] = static_cast<char>(nFlags);
    PutLe32(p + 12, static_cast<uint32_t>(strContent.size()));
    return kHeaderSize + nPayload;
}

bool CChunkStore::Get(const std::string& strHash, std::string& strContent,
                      std::string& strError) const {
    return ReadFile(PathOf(strHash), strHash, strContent, strError);
}

bool CChunkStore::ReadFile(const std::string& strPath, const std::string& strHash,
                           std::string& strContent, std::string& strError) const {
    std::string strFile;
    if (!CheckRealFolder(FanOf(strHash), strError) || !ReadWholeFile(strPath, strFile, strError))
        return false;
    if (strFile.size() < kHeaderSize || std::memcmp(strFile.data(), kMagic, sizeof kMagic) != 0) {
        strError = "chunk " + strHash + " has no valid header";
        return false;
    }
    const uint8_t nFlags = static_cast<uint8_t>(strFile[8]);
    const uint32_t nRaw = GetLe32(&strFile[12]);
    if ((nFlags & ~kFlagCompressed) != 0) {
        strError = "chunk " + strHash + " has unknown flags";
        return false;
    }
    if (nFlags & kFlagCompressed) {
        strContent.resize(nRaw);
        size_t n = ZSTD_decompress(strContent.data(), nRaw, strFile.data() + kHeaderSize,
                                   strFile.size() - kHeaderSize);
        if (ZSTD_isError(n) || n != nRaw) {
            strError = "chunk " + strHash + " does not decompress";
            return false;
        }
    } else {
        strContent.assign(strFile, kHeaderSize, std::string::npos);
        if (strContent.size() != nRaw) {
            strError = "chunk " + strHash + " has the wrong length";
            return false;
        }
    }
    if (Sha256Hex(strContent.data(), strContent.size()) != strHash) {
        strError = "chunk " + strHash + " does not match its hash";
        return false;
    }
    return true;
}
