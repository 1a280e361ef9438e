// The public key of signed updates in its two written forms, and the check of a package against
// its detached Ed25519 signature.
#include "service/checkin/update_signature.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <string>

#include "tests/service/checkin/update_signing_support.h"

namespace wexo::svc {
namespace {

using testing_signing::TEST_SIGNER;

UPDATE_PUBLIC_KEY Parsed(const std::string& text) {
    UPDATE_PUBLIC_KEY key{};
    std::string reason;
    EXPECT_TRUE(ParseUpdatePublicKey(text, &key, &reason)) << text << ": " << reason;
    return key;
}

std::string Refusal(const std::string& text) {
    UPDATE_PUBLIC_KEY key{};
    key.fill(0xAA);
    std::string reason;
    EXPECT_FALSE(ParseUpdatePublicKey(text, &key, &reason)) << text;
    UPDATE_PUBLIC_KEY untouched{};
    untouched.fill(0xAA);
    EXPECT_EQ(key, untouched) << "a refused text leaves the key as it was";
    return reason;
}

// The PEM text with its line breaks turned into blanks, as a one-line value may hold it.
std::string OneLine(std::string pem) {
    for (char& c : pem) {
        c = c == '\n' ? ' ' : c;
    }
    return pem;
}

TEST(UpdatePublicKeyTest, HexAndPemFormsGiveTheSameKey) {
    const TEST_SIGNER signer;
    const UPDATE_PUBLIC_KEY key = Parsed(signer.PublicKeyHex());
    EXPECT_EQ(Parsed(signer.PublicKeyHex(/*upperCase=*/true)), key);
    EXPECT_EQ(Parsed("  " + signer.PublicKeyHex() + "\r\n"), key);
    EXPECT_EQ(Parsed(signer.PublicKeyPem()), key);
    EXPECT_EQ(Parsed(OneLine(signer.PublicKeyPem())), key);
    EXPECT_EQ(Parsed("\n" + signer.PublicKeyPem() + "\n"), key);

    const std::string package = "PK\x03\x04 the package";
    std::string reason;
    EXPECT_TRUE(VerifyUpdateSignature(key, package, signer.Sign(package), &reason)) << reason;
}

TEST(UpdatePublicKeyTest, TextsThatAreNoEd25519KeyAreRefusedWithTheirReason) {
    const TEST_SIGNER signer;
    const std::string hex = signer.PublicKeyHex();
    const std::string neither =
        "the public key is neither 64 hexadecimal digits nor a PEM public key";
    EXPECT_EQ(Refusal(""), neither);
    EXPECT_EQ(Refusal("   "), neither);
    EXPECT_EQ(Refusal(hex.substr(1)), neither);
    EXPECT_EQ(Refusal(hex + "0"), neither);
    EXPECT_EQ(Refusal("g" + hex.substr(1)), neither);
    EXPECT_EQ(Refusal(hex.substr(0, 32) + " " + hex.substr(32, 31)), neither);
    // The private key is no public key, whatever it holds.
    EXPECT_EQ(Refusal(signer.PrivateKeyPem()), neither);

    const std::string pem = signer.PublicKeyPem();
    EXPECT_EQ(Refusal(pem.substr(0, pem.find("-----END"))),
              "the PEM key has no \"-----END PUBLIC KEY-----\" line");
    std::string damaged = pem;
    damaged[damaged.find('\n') + 3] = '*';
    EXPECT_EQ(Refusal(damaged), "the PEM key's body is not base64");
    EXPECT_EQ(Refusal("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"),
              "the PEM key is not a public key");

    // A PEM public key of another algorithm.
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> ec(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    ASSERT_TRUE(ec);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    ASSERT_EQ(PEM_write_bio_PUBKEY(bio.get(), ec.get()), 1);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    EXPECT_EQ(Refusal(std::string(data, static_cast<size_t>(length))),
              "the PEM key is not an Ed25519 key");
}

TEST(UpdateSignatureTest, OnlyTheKeysSignatureOfTheSameBytesPasses) {
    const TEST_SIGNER signer;
    const TEST_SIGNER other;
    const UPDATE_PUBLIC_KEY key = Parsed(signer.PublicKeyHex());
    const std::string package(5000, 'p');
    const std::string signature = signer.Sign(package);
    std::string reason;
    ASSERT_TRUE(VerifyUpdateSignature(key, package, signature, &reason)) << reason;

    std::string flipped = package;
    flipped[2500] ^= 0x01;
    EXPECT_FALSE(VerifyUpdateSignature(key, flipped, signature, &reason));
    EXPECT_EQ(reason, "the signature does not match the package");
    EXPECT_FALSE(VerifyUpdateSignature(key, package + "x", signature, &reason));
    EXPECT_FALSE(VerifyUpdateSignature(key, package, other.Sign(package), &reason));
    EXPECT_EQ(reason, "the signature does not match the package");
    std::string badSignature = signature;
    badSignature[10] ^= 0x80;
    EXPECT_FALSE(VerifyUpdateSignature(key, package, badSignature, &reason));

    EXPECT_FALSE(VerifyUpdateSignature(key, package, signature.substr(0, 63), &reason));
    EXPECT_EQ(reason, "the signature has 63 bytes, not 64");
    EXPECT_FALSE(VerifyUpdateSignature(key, package, "", &reason));
    EXPECT_EQ(reason, "the signature has 0 bytes, not 64");
    // The signature written out as hex text is no raw signature.
    EXPECT_FALSE(VerifyUpdateSignature(key, package, signer.PublicKeyHex() + signer.PublicKeyHex(),
                                       &reason));
    EXPECT_EQ(reason, "the signature has 128 bytes, not 64");

    // An empty package can be signed too.
    EXPECT_TRUE(VerifyUpdateSignature(key, "", signer.Sign(""), &reason)) << reason;
}

}  // namespace
}  // namespace wexo::svc
