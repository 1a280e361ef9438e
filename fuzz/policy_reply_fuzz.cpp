// What the decision takes from a policy server's answer: the policy reply (size limit, root,
// required BlockOnFailure, defaults for unreadable fields) and the redirect URL made safe for the
// Location line of the response the driver injects. Whatever the bytes, the reply never carries a
// negative cache lifetime and its redirect URL never a byte that could end or split a header line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/policy/redirect_query.h"
#include "service/policy/url_caches.h"
#include "service/support/debug_log.h"

namespace {

bool SafeForHeader(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace wexo::svc;
    static const bool kHooked = [] {
        DebugSetMode(DEBUG_OUTPUT_XML | DEBUG_OUTPUT_VERBOSE);
        DebugSetOutputHook([](uint32_t, std::string_view) {});
        return true;
    }();
    (void)kHooked;

    const std::string_view input(reinterpret_cast<const char*>(data), size);
    POLICY_REPLY reply;
    if (ParsePolicyReply(input, &reply)) {
        if (reply.cacheTimeout < 0 || !SafeForHeader(reply.redirectUrl) ||
            input.size() > kMaxPolicyReplyBytes) {
            __builtin_trap();
        }
    }
    if (!SafeForHeader(SafeRedirectUrl(input))) {
        __builtin_trap();
    }
    // The input as a lookup URL against its own first line as a cache key and a server name.
    const size_t newline = input.find('\n');
    if (newline != std::string_view::npos) {
        const std::string_view head = input.substr(0, newline);
        const std::string_view url = input.substr(newline + 1);
        const std::string_view key = AllowedCacheKey(StripScheme(head));
        if (AllowedKeyMatches(key, url) && key.find('/') == std::string_view::npos &&
            url.size() > key.size() && url[key.size()] != '/' && url[key.size()] != ':') {
            __builtin_trap();
        }
        IsOnPolicyServer(url, head);
        ServerHostName(head);
    }
    return 0;
}
