#include "tools/peers/peer_tls.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <stdexcept>

namespace wexo::peers {
namespace {

[[noreturn]] void Fail(const char* what) {
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof(text));
    throw std::runtime_error(std::string(what) + ": " + text);
}

std::shared_ptr<EVP_PKEY> NewKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (key == nullptr) {
        Fail("EC key generation failed");
    }
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

bool IsAddress(const std::string& name) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (extension == nullptr) {
        Fail("certificate extension rejected");
    }
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    if (added != 1) {
        Fail("certificate extension not added");
    }
}

std::string AltNames(const CertificateOptions& options) {
    std::vector<std::string> names = options.altNames;
    if (names.empty()) {
        names.push_back(options.commonName);
    }
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty()) {
            text += ",";
        }
        text += (IsAddress(name) ? "IP:" : "DNS:") + name;
    }
    return text;
}

// Builds and signs one certificate. `issuer` null: self-signed with `key`.
std::shared_ptr<X509> MakeCertificate(const CertificateOptions& options, EVP_PKEY* key,
                                      const TlsIdentity* issuer, bool authority) {
    std::shared_ptr<X509> certificate(X509_new(), X509_free);
    if (!certificate) {
        Fail("X509_new failed");
    }
    X509* cert = certificate.get();
    X509_set_version(cert, 2);

    // Random serials: a client that meets two certificates from the same issuer with the same
    // serial may refuse the second.
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof(serial)) != 1) {
        Fail("RAND_bytes failed");
    }
    serial[0] &= 0x7F;
    BIGNUM* number = BN_bin2bn(serial, sizeof(serial), nullptr);
    if (number == nullptr || BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert)) == nullptr) {
        BN_free(number);
        Fail("serial number not set");
    }
    BN_free(number);

    constexpr long kDay = 24 * 60 * 60;
    if (options.expired) {
        X509_gmtime_adj(X509_getm_notBefore(cert), -2 * kDay);
        X509_gmtime_adj(X509_getm_notAfter(cert), -1 * kDay);
    } else {
        X509_gmtime_adj(X509_getm_notBefore(cert), -60 * 60);
        X509_gmtime_adj(X509_getm_notAfter(cert), options.validDays * kDay);
    }

    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Wexo Test Peers"), -1, -1,
                               0);
    if (X509_NAME_add_entry_by_txt(
            subject, "CN", MBSTRING_UTF8,
            reinterpret_cast<const unsigned char*>(options.commonName.c_str()), -1, -1, 0) != 1) {
        Fail("common name rejected");
    }
    X509* issuerCert = issuer != nullptr ? issuer->certificate.get() : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
    if (X509_set_pubkey(cert, key) != 1) {
        Fail("public key not set");
    }

    if (authority) {
        AddExtension(cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert, issuerCert, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert, issuerCert, NID_key_usage, "critical,digitalSignature");
        AddExtension(cert, issuerCert, NID_ext_key_usage, "serverAuth");
        AddExtension(cert, issuerCert, NID_subject_alt_name, AltNames(options));
    }
    AddExtension(cert, issuerCert, NID_subject_key_identifier, "hash");
    if (issuer != nullptr) {
        AddExtension(cert, issuerCert, NID_authority_key_identifier, "keyid:always");
    }

    EVP_PKEY* signingKey = issuer != nullptr ? issuer->key.get() : key;
    if (X509_sign(cert, signingKey, EVP_sha256()) == 0) {
        Fail("certificate signing failed");
    }
    return certificate;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(length));
    BIO_free(bio);
    return text;
}

}  // namespace

std::string TlsIdentity::CertificatePem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr || PEM_write_bio_X509(bio, certificate.get()) != 1) {
        BIO_free(bio);
        Fail("certificate not written");
    }
    return BioText(bio);
}

std::string TlsIdentity::KeyPem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr ||
        PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        BIO_free(bio);
        Fail("key not written");
    }
    return BioText(bio);
}

std::string TlsIdentity::PublicKeyPin() const {
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), &der);
    if (length <= 0) {
        return {};
    }
    unsigned char digest[32];
    unsigned int digestLength = 0;
    EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    unsigned char text[64] = {};
    const int written = EVP_EncodeBlock(text, digest, static_cast<int>(digestLength));
    return std::string(reinterpret_cast<char*>(text), static_cast<size_t>(written));
}

std::string TlsIdentity::CommonName() const {
    char text[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate.get()), NID_commonName, text,
                              sizeof(text));
    return text;
}

TlsIdentity MakeSelfSignedIdentity(const CertificateOptions& options) {
    TlsIdentity identity;
    identity.key = NewKey();
    identity.certificate = MakeCertificate(options, identity.key.get(), nullptr, false);
    return identity;
}

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName) {
    CertificateOptions options;
    options.commonName = commonName;
    options.validDays = 365;
    root_.key = NewKey();
    root_.certificate = MakeCertificate(options, root_.key.get(), nullptr, true);
}

TlsIdentity TestCertificateAuthority::Issue(const CertificateOptions& options) const {
    TlsIdentity identity;
    identity.key = NewKey();
    identity.certificate = MakeCertificate(options, identity.key.get(), &root_, false);
    return identity;
}

bool TestCertificateAuthority::WriteCertificateFile(const std::string& path) const {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << root_.CertificatePem();
    return static_cast<bool>(file.flush());
}

}  // namespace wexo::peers
