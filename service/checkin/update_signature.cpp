#include "service/checkin/update_signature.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace wexo::svc {
namespace {

constexpr std::string_view kPemBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemEnd = "-----END PUBLIC KEY-----";

using PKEY = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ParseHexKey(std::string_view text, UPDATE_PUBLIC_KEY* key) {
    if (text.size() != 2 * key->size()) {
        return false;
    }
    for (size_t i = 0; i < key->size(); ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        (*key)[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

// The DER bytes of the PEM text's base64 body, whatever blanks or line breaks it was cut into.
bool PemBody(std::string_view text, std::vector<unsigned char>* der, std::string* reason) {
    const size_t end = text.find(kPemEnd);
    if (end == std::string_view::npos) {
        *reason = "the PEM key has no \"" + std::string(kPemEnd) + "\" line";
        return false;
    }
    std::string base64;
    for (char c : text.substr(kPemBegin.size(), end - kPemBegin.size())) {
        if (!IsSpace(c)) {
            base64 += c;
        }
    }
    if (base64.empty() || base64.size() % 4 != 0) {
        *reason = "the PEM key's body is not base64";
        return false;
    }
    der->resize(base64.size() / 4 * 3);
    const int decoded =
        EVP_DecodeBlock(der->data(), reinterpret_cast<const unsigned char*>(base64.data()),
                        static_cast<int>(base64.size()));
    if (decoded < 0) {
        *reason = "the PEM key's body is not base64";
        return false;
    }
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t length = static_cast<size_t>(decoded);
    for (size_t i = base64.size(); i > 0 && base64[i - 1] == '=' && length > 0; --i) {
        --length;
    }
    der->resize(length);
    return true;
}

bool ParsePemKey(std::string_view text, UPDATE_PUBLIC_KEY* key, std::string* reason) {
    std::vector<unsigned char> der;
    if (!PemBody(text, &der, reason)) {
        return false;
    }
    const unsigned char* cursor = der.data();
    PKEY parsed(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())), &EVP_PKEY_free);
    if (!parsed || cursor != der.data() + der.size()) {
        *reason = "the PEM key is not a public key";
        return false;
    }
    if (EVP_PKEY_get_base_id(parsed.get()) != EVP_PKEY_ED25519) {
        *reason = "the PEM key is not an Ed25519 key";
        return false;
    }
    size_t length = key->size();
    if (EVP_PKEY_get_raw_public_key(parsed.get(), key->data(), &length) != 1 ||
        length != key->size()) {
        *reason = "the PEM key's bytes cannot be read";
        return false;
    }
    return true;
}

}  // namespace

bool ParseUpdatePublicKey(std::string_view text, UPDATE_PUBLIC_KEY* key, std::string* reason) {
    while (!text.empty() && IsSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsSpace(text.back())) {
        text.remove_suffix(1);
    }
    UPDATE_PUBLIC_KEY parsed{};
    if (text.starts_with(kPemBegin)) {
        if (!ParsePemKey(text, &parsed, reason)) {
            ERR_clear_error();  // the reason says it; the queue is not this thread's next error
            return false;
        }
    } else if (!ParseHexKey(text, &parsed)) {
        *reason = "the public key is neither 64 hexadecimal digits nor a PEM public key";
        return false;
    }
    *key = parsed;
    return true;
}

bool VerifyUpdateSignature(const UPDATE_PUBLIC_KEY& key, std::string_view content,
                           std::string_view signature, std::string* reason) {
    if (signature.size() != kUpdateSignatureBytes) {
        *reason = "the signature has " + std::to_string(signature.size()) + " bytes, not " +
                  std::to_string(kUpdateSignatureBytes);
        return false;
    }
    PKEY publicKey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()),
                   &EVP_PKEY_free);
    if (!publicKey) {
        *reason = "the public key cannot be used";
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    // Ed25519 hashes the message itself: no digest is named, and the whole package is given
    // at once.
    if (!context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1) {
        *reason = "the public key cannot be used";
        return false;
    }
    const int verified = EVP_DigestVerify(
        context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
        reinterpret_cast<const unsigned char*>(content.data()), content.size());
    ERR_clear_error();
    if (verified != 1) {
        *reason = "the signature does not match the package";
        return false;
    }
    return true;
}

}  // namespace wexo::svc
