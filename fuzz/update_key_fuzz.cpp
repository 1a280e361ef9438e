// The update key an administrator types into the registry, and a signature fetched from the
// network: any text is either a key or a reason, never a crash, and no signature of bytes the
// fuzzer makes up verifies a package.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/checkin/update_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    wexo::svc::UPDATE_PUBLIC_KEY key{};
    std::string reason;
    if (!wexo::svc::ParseUpdatePublicKey(text, &key, &reason)) {
        if (reason.empty()) {
            std::abort();  // a refusal always says why
        }
        return 0;
    }
    const std::string_view signature = text.substr(0, std::min<size_t>(text.size(), 64));
    std::string why;
    wexo::svc::VerifyUpdateSignature(key, "package", signature, &why);
    return 0;
}
