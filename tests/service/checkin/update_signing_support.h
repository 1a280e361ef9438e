// A signer of update packages for tests: a fresh Ed25519 key, its signatures, and its public half
// in both forms the service's "UpdatePublicKey" takes.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace wexo::svc::testing_signing {

class TEST_SIGNER {
  public:
    TEST_SIGNER() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {
        if (!key_) {
            throw std::runtime_error("Ed25519 key generation failed");
        }
    }

    // The raw 64-byte signature of the content.
    std::string Sign(std::string_view content) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
        std::string signature(64, '\0');
        size_t length = signature.size();
        if (!context ||
            EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
            EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()),
                           &length, reinterpret_cast<const unsigned char*>(content.data()),
                           content.size()) != 1 ||
            length != signature.size()) {
            throw std::runtime_error("Ed25519 signing failed");
        }
        return signature;
    }

    std::string PublicKeyHex(bool upperCase = false) const {
        unsigned char raw[32];
        size_t length = sizeof(raw);
        if (EVP_PKEY_get_raw_public_key(key_.get(), raw, &length) != 1) {
            throw std::runtime_error("no raw public key");
        }
        std::string hex;
        char digits[3];
        for (unsigned char byte : raw) {
            std::snprintf(digits, sizeof(digits), upperCase ? "%02X" : "%02x", byte);
            hex += digits;
        }
        return hex;
    }
    std::string PublicKeyPem() const {
        return Pem([this](BIO* bio) { return PEM_write_bio_PUBKEY(bio, key_.get()); });
    }
    std::string PrivateKeyPem() const {
        return Pem([this](BIO* bio) {
            return PEM_write_bio_PrivateKey(bio, key_.get(), nullptr, nullptr, 0, nullptr, nullptr);
        });
    }
    EVP_PKEY* Key() const { return key_.get(); }

  private:
    template <typename WRITE>
    static std::string Pem(WRITE write) {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
        if (!bio || write(bio.get()) != 1) {
            throw std::runtime_error("PEM writing failed");
        }
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio.get(), &data);
        return std::string(data, static_cast<size_t>(length));
    }

    std::shared_ptr<EVP_PKEY> key_;
};

}  // namespace wexo::svc::testing_signing
