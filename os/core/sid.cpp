#include "os/core/sid.h"

namespace os {

std::vector<uint8_t> MakeSid(uint64_t authority, std::span<const uint32_t> subAuthorities) {
    std::vector<uint8_t> sid;
    sid.push_back(kSidRevision);
    sid.push_back(static_cast<uint8_t>(subAuthorities.size()));
    // The 48-bit authority is big-endian, the sub-authorities little-endian.
    for (int shift = 40; shift >= 0; shift -= 8) {
        sid.push_back(static_cast<uint8_t>(authority >> shift));
    }
    for (uint32_t sub : subAuthorities) {
        for (int shift = 0; shift < 32; shift += 8) {
            sid.push_back(static_cast<uint8_t>(sub >> shift));
        }
    }
    return sid;
}

std::vector<uint8_t> UnixUserSid(uint32_t uid) {
    const uint32_t sub[] = {kUnixUserSubAuthority, uid};
    return MakeSid(kUnixUserAuthority, sub);
}

}  // namespace os
