// Accounts and the machine's name: the Linux user database behind the service's account look-ups,
// and access tokens (a user's SID and login session, as a process holds them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/win32/device_facts.h"

namespace os {

constexpr uint32_t ERROR_NONE_MAPPED = 1332;

// The name of a Linux user; empty when the user database does not know the uid.
std::string LookupUserName(uint32_t uid);
// The same with the reason: ERROR_SUCCESS, ERROR_NONE_MAPPED for a uid the database does not
// know, or the mapped errno when the database cannot be read.
uint32_t LookupUserName(uint32_t uid, std::string* name);
// The host name without its domain part; empty when it cannot be read.
std::string GetComputerName();

// GetTokenInformation's classes this system knows.
constexpr uint32_t TokenUser = 1;
constexpr uint32_t TokenSessionId = 12;

struct SID_AND_ATTRIBUTES {
    void* Sid = nullptr;  // into the same buffer, after the structure
    uint32_t Attributes = 0;
};
struct TOKEN_USER {
    SID_AND_ATTRIBUTES User;
};

// An access token: whose it is and the login session it belongs to.
struct ACCESS_TOKEN {
    std::vector<uint8_t> userSid;
    uint32_t sessionId = 0;
};

// The token of a process: its effective user (S-1-22-1-<uid>) and its login session (0 outside
// one, see ProcessIdToSessionId). False with the last error: ERROR_INVALID_PARAMETER for a process
// that is not there.
bool OpenProcessToken(uint32_t processId, std::unique_ptr<ACCESS_TOKEN>* token,
                      const std::string& procRoot = kDefaultProcRoot);

// Windows' two-call form: with too small a buffer, false with ERROR_INSUFFICIENT_BUFFER and the
// size needed in `returnLength`. TokenUser writes a TOKEN_USER followed by the SID it points to;
// TokenSessionId a 4-byte number. Another class: ERROR_INVALID_PARAMETER.
bool GetTokenInformation(const ACCESS_TOKEN& token, uint32_t informationClass, void* buffer,
                         uint32_t length, uint32_t* returnLength);

}  // namespace os
