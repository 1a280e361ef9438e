// The caller authentication that lets one thread use one privileged control code (driver update,
// uninstall, suspend protection). The driver hands out a fresh random challenge; a client that
// holds the installation's secret answers with an HMAC over the challenge, its thread id and the
// code it wants. Without the secret nobody can answer, and each answer is good for one request
// only.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace wexo {

constexpr size_t kAuthNonceSize = 32;
constexpr size_t kAuthMacSize = 32;
constexpr size_t kAuthSecretMinSize = 16;

using AuthNonce = std::array<uint8_t, kAuthNonceSize>;
using AuthMac = std::array<uint8_t, kAuthMacSize>;

// QRN_AUTH_RESPONSE input: the function number of the privileged code, then the MAC.
struct QRN_AUTH_RESPONSE_REQUEST {
    uint32_t function;
    uint8_t mac[kAuthMacSize];
};
static_assert(sizeof(QRN_AUTH_RESPONSE_REQUEST) == 36);

// HMAC-SHA256(secret, "WexoWfp-auth" || nonce || le32(threadId) || le32(function)).
AuthMac ComputeAuthResponse(std::span<const uint8_t> secret, const AuthNonce& nonce,
                            uint32_t threadId, uint32_t function);

}  // namespace wexo
