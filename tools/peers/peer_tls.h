// Keys and X.509 certificates made at run time for the HTTPS peers: self-signed ones with a chosen
// common name (optionally already expired), and a small certificate authority whose certificate a
// client can be told to trust, so that a test can reach a server whose certificate verifies.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace wexo::peers {

// A private key and its certificate. Copies share the OpenSSL objects.
struct TlsIdentity {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> certificate;

    std::string CertificatePem() const;
    std::string KeyPem() const;
    // The subject's common name.
    std::string CommonName() const;
    // Base64 of the SHA-256 of the certificate's SubjectPublicKeyInfo: what browsers pin (and
    // Chromium's --ignore-certificate-errors-spki-list takes).
    std::string PublicKeyPin() const;
};

struct CertificateOptions {
    std::string commonName = "127.0.0.1";
    // Subject alternative names: each an IPv4/IPv6 address or a DNS name. Empty: the common name
    // alone (TLS clients check addresses only against address entries, so it is always listed).
    std::vector<std::string> altNames;
    // Valid from two days ago until yesterday instead of from now for `validDays`.
    bool expired = false;
    int validDays = 30;
};

// A self-signed certificate with a fresh P-256 key. Throws std::runtime_error when OpenSSL fails.
TlsIdentity MakeSelfSignedIdentity(const CertificateOptions& options = {});

// A root certificate authority with its own self-signed certificate, issuing leaf certificates.
class TestCertificateAuthority {
  public:
    explicit TestCertificateAuthority(const std::string& commonName = "Wexo Test Root");

    // A leaf certificate signed by this authority. Throws std::runtime_error when OpenSSL fails.
    TlsIdentity Issue(const CertificateOptions& options = {}) const;

    const TlsIdentity& Root() const { return root_; }
    // Writes the root certificate as PEM (what a client takes as its trusted CA file).
    bool WriteCertificateFile(const std::string& path) const;

  private:
    TlsIdentity root_;
};

}  // namespace wexo::peers
