// Signed software updates: the Ed25519 public key an administrator gives in the product key's
// "UpdatePublicKey" value, and the check of a package against its detached signature (the raw 64
// bytes of an Ed25519 signature over the whole package file, served beside it as "<URL>.sig").
//
// The key is written either as 64 hexadecimal digits (its 32 raw bytes) or as a PEM public key
// ("-----BEGIN PUBLIC KEY-----" ... "-----END PUBLIC KEY-----", the SubjectPublicKeyInfo of an
// Ed25519 key); blanks around the text, and line breaks inside the PEM text written as blanks
// (as a one-line registry value may carry them), are allowed.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace wexo::svc {

constexpr size_t kUpdateSignatureBytes = 64;
constexpr char kUpdateSignatureSuffix[] = ".sig";

using UPDATE_PUBLIC_KEY = std::array<uint8_t, 32>;

// False with the reason in *reason when the text is neither form of an Ed25519 public key.
bool ParseUpdatePublicKey(std::string_view text, UPDATE_PUBLIC_KEY* key, std::string* reason);

// Whether `signature` is the key's Ed25519 signature of `content`; false with the reason.
bool VerifyUpdateSignature(const UPDATE_PUBLIC_KEY& key, std::string_view content,
                           std::string_view signature, std::string* reason);

}  // namespace wexo::svc
