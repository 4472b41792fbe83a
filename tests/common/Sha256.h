// The SHA-256 digest of a text in hexadecimal, as the management service's login compares it.
#pragma once

#include <openssl/evp.h>

#include <string>

namespace fctest {

inline std::string Sha256Hex(const std::string& text, bool upperCase = false) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), digest, &n, EVP_sha256(), nullptr);
    const char* const hex = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

}  // namespace fctest
