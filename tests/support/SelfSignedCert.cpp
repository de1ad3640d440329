#include "SelfSignedCert.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace {

std::string sFailure(const std::string& step)
{
    char text[256] = "no reason given";
    if (unsigned long code = ERR_get_error())
        ERR_error_string_n(code, text, sizeof text);
    return step + ": " + text;
}

bool sWritePem(const std::string& path, const std::function<int(FILE*)>& write)
{
    FILE* f = fopen(path.c_str(), "w");
    if (!f)
        return false;
    bool written = write(f) == 1;
    return fclose(f) == 0 && written;
}

} // namespace

bool MakeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile,
                               const std::string& altNames, std::string* why)
{
    auto fail = [why](const std::string& text) {
        *why = text;
        return false;
    };
    ERR_clear_error();
    // EVP_EC_gen() without its macro, which casts the curve name's const away.
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
    if (!key)
        return fail(sFailure("key"));
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    uint64_t serial = 0;
    if (!cert || RAND_bytes((unsigned char*)&serial, sizeof serial) != 1)
        return fail(sFailure("certificate"));
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_set_version(cert.get(), 2) != 1 ||
        ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial >> 1) != 1 ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400) ||
        X509_set_pubkey(cert.get(), key.get()) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   (const unsigned char*)"update server emulator", -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1)
        return fail(sFailure("certificate fields"));

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    const std::pair<int, std::string> extensions[] = {
        {NID_basic_constraints, "critical,CA:TRUE"},
        {NID_subject_key_identifier, "hash"},
        {NID_subject_alt_name, altNames},
    };
    for (const auto& e : extensions) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, e.first, e.second.c_str());
        bool added = ext && X509_add_ext(cert.get(), ext, -1) == 1;
        X509_EXTENSION_free(ext);
        if (!added)
            return fail(sFailure("extension " + e.second));
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        return fail(sFailure("signature"));

    if (!sWritePem(keyFile, [&](FILE* f) {
            return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        }))
        return fail("cannot write " + keyFile);
    if (!sWritePem(certFile, [&](FILE* f) { return PEM_write_X509(f, cert.get()); }))
        return fail("cannot write " + certFile);
    return true;
}
