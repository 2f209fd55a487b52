#include "testing/TestCertificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace fuel::test {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File Open(const std::filesystem::path& path) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file)
        throw std::runtime_error("cannot write " + path.string());
    return file;
}

}  // namespace

void WriteSelfSignedCertificate(const std::filesystem::path& directory, KeyKind kind) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        kind == KeyKind::Ec ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
    if (!key || !certificate)
        throw std::runtime_error("OpenSSL cannot make a key");
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24L * 3600);
    X509_set_pubkey(certificate.get(), key.get());
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0) {
        throw std::runtime_error("OpenSSL cannot sign the certificate");
    }
    File keyFile = Open(directory / "key.pem");
    File certificateFile = Open(directory / "certificate.pem");
    if (PEM_write_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1 ||
        PEM_write_X509(certificateFile.get(), certificate.get()) != 1) {
        throw std::runtime_error("cannot write the certificate's files");
    }
}

}  // namespace fuel::test
