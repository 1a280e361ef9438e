// Binary SIDs as the token and the account look-ups carry them. A Linux user stands for a Windows
// account as S-1-22-1-<uid>, the rule the driver host, the bridges and the service all apply.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace os {

constexpr uint8_t kSidRevision = 1;
constexpr uint64_t kUnixUserAuthority = 22;
constexpr uint32_t kUnixUserSubAuthority = 1;

std::vector<uint8_t> MakeSid(uint64_t authority, std::span<const uint32_t> subAuthorities);
std::vector<uint8_t> UnixUserSid(uint32_t uid);

}  // namespace os
