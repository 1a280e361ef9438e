#include "common/caller_auth.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <vector>

namespace wexo {

AuthMac ComputeAuthResponse(std::span<const uint8_t> secret, const AuthNonce& nonce,
                            uint32_t threadId, uint32_t function) {
    static constexpr char kLabel[] = "WexoWfp-auth";
    std::vector<uint8_t> message(kLabel, kLabel + sizeof kLabel - 1);
    message.insert(message.end(), nonce.begin(), nonce.end());
    for (uint32_t value : {threadId, function}) {
        for (int shift = 0; shift < 32; shift += 8) {
            message.push_back(static_cast<uint8_t>(value >> shift));
        }
    }
    AuthMac mac{};
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), message.data(),
         message.size(), mac.data(), &length);
    return mac;
}

}  // namespace wexo
