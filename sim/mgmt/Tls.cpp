#include "Tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace fcsim {

namespace {

struct SPkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct SX509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct SFileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};

std::string OpenSslError(const char* what) {
    char buf[256] = {0};
    ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
    return std::string(what) + ": " + buf;
}

bool AddExt(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

}  // namespace

bool GenerateSelfSignedCert(const std::string& certPath, const std::string& keyPath,
                            std::string& err) {
    std::unique_ptr<EVP_PKEY, SPkeyFree> key(EVP_RSA_gen(2048));
    if (!key) {
        err = OpenSslError("key generation failed");
        return false;
    }
    std::unique_ptr<X509, SX509Free> cert(X509_new());
    if (!cert) {
        err = OpenSslError("certificate allocation failed");
        return false;
    }
    unsigned char serial[8];
    FILE* ur = std::fopen("/dev/urandom", "rb");
    bool bSerial = ur && std::fread(serial, 1, sizeof serial, ur) == sizeof serial;
    if (ur) std::fclose(ur);
    long nSerial = 1;
    if (bSerial) {
        nSerial = 0;
        for (unsigned char c : serial) nSerial = (nSerial << 8) | c;
        nSerial &= 0x7fffffffffffffL;
    }
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), nSerial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("fcsim"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (!AddExt(cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
        !AddExt(cert.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") ||
        !AddExt(cert.get(), NID_key_usage,
                "critical,digitalSignature,keyEncipherment,keyCertSign") ||
        !AddExt(cert.get(), NID_subject_key_identifier, "hash")) {
        err = OpenSslError("certificate extension failed");
        return false;
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
        err = OpenSslError("certificate signing failed");
        return false;
    }
    int kfd = ::open(keyPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (kfd < 0) {
        err = "cannot create " + keyPath;
        return false;
    }
    std::unique_ptr<FILE, SFileClose> kf(::fdopen(kfd, "wb"));
    if (!kf) {
        ::close(kfd);
        err = "cannot open " + keyPath;
        return false;
    }
    if (PEM_write_PrivateKey(kf.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        err = OpenSslError("cannot write the key");
        return false;
    }
    kf.reset();
    std::unique_ptr<FILE, SFileClose> cf(std::fopen(certPath.c_str(), "wb"));
    if (!cf || PEM_write_X509(cf.get(), cert.get()) != 1) {
        err = "cannot write " + certPath;
        return false;
    }
    return true;
}

}  // namespace fcsim
