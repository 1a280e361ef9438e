// Processes and their tokens as a driver reaches them: look a process up by id, open it as a
// handle, open its primary token for query and read the token's user SID, session id and logon
// session (authentication id). A token is read when it is opened: what the process holds then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "os/core/process.h"
#include "os/core/status.h"
#include "os/kernel/kernel_handles.h"

namespace os {

constexpr NTSTATUS STATUS_INVALID_INFO_CLASS = MakeStatus(0xC0000003);
constexpr NTSTATUS STATUS_INVALID_CID = MakeStatus(0xC000000B);

constexpr uint32_t PROCESS_QUERY_INFORMATION = 0x0400;
constexpr uint32_t PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
constexpr uint32_t TOKEN_QUERY = 0x0008;

enum class KPROCESSOR_MODE : uint8_t { KernelMode = 0, UserMode = 1 };

struct LUID {
    uint32_t LowPart = 0;
    int32_t HighPart = 0;
};

constexpr LUID LuidOf(uint64_t value) {
    return LUID{static_cast<uint32_t>(value), static_cast<int32_t>(value >> 32)};
}
constexpr uint64_t LuidValue(LUID luid) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(luid.HighPart)) << 32) | luid.LowPart;
}

enum TOKEN_INFORMATION_CLASS : uint32_t {
    TokenUser = 1,
    TokenStatistics = 10,
    TokenSessionId = 12,
    TokenOrigin = 17,
};

struct SID_AND_ATTRIBUTES {
    void* Sid = nullptr;
    uint32_t Attributes = 0;
};

// Followed in the same buffer by the SID that User.Sid points to.
struct TOKEN_USER {
    SID_AND_ATTRIBUTES User;
};

enum TOKEN_TYPE : uint32_t { TokenPrimary = 1, TokenImpersonation = 2 };

struct TOKEN_STATISTICS {
    LUID TokenId;
    LUID AuthenticationId;
    int64_t ExpirationTime = 0;
    TOKEN_TYPE TokenType = TokenPrimary;
    uint32_t ImpersonationLevel = 0;
    uint32_t DynamicCharged = 0;
    uint32_t DynamicAvailable = 0;
    uint32_t GroupCount = 0;
    uint32_t PrivilegeCount = 0;
    LUID ModifiedId;
};

struct TOKEN_ORIGIN {
    LUID OriginatingLogonSession;
};

// PsLookupProcessByProcessId: STATUS_INVALID_CID for an id no process has.
NTSTATUS PsLookupProcessByProcessId(uint64_t processId, std::shared_ptr<PROCESS>* process);
// ObOpenObjectByPointer for a process: a handle (kernel handle with OBJ_KERNEL_HANDLE) granting the
// access asked for.
NTSTATUS ObOpenObjectByPointer(const std::shared_ptr<PROCESS>& process, uint32_t attributes,
                               uint32_t desiredAccess, KPROCESSOR_MODE mode, HANDLE* handle);
// The process's primary token. The process handle (or NtCurrentProcess()) needs
// PROCESS_QUERY_INFORMATION or PROCESS_QUERY_LIMITED_INFORMATION.
NTSTATUS ZwOpenProcessTokenEx(HANDLE processHandle, uint32_t desiredAccess, uint32_t attributes,
                              HANDLE* tokenHandle);
// One class of the token's information. *returnLength is the size the class needs. TokenUser
// (a TOKEN_USER and the SID after it) in a short buffer: STATUS_BUFFER_TOO_SMALL; the fixed-size
// classes (TokenSessionId's 32-bit id, TokenStatistics, TokenOrigin) in a short buffer:
// STATUS_INFO_LENGTH_MISMATCH. The handle needs TOKEN_QUERY.
NTSTATUS ZwQueryInformationToken(HANDLE tokenHandle, TOKEN_INFORMATION_CLASS informationClass,
                                 void* information, uint32_t length, uint32_t* returnLength);

// A SID is revision 1, at most 15 sub-authorities, 8 bytes plus 4 per sub-authority.
constexpr uint32_t SECURITY_MAX_SID_SIZE = 68;
bool RtlValidSid(const void* sid);
// The SID's length from its sub-authority count (the SID must be valid).
uint32_t RtlLengthSid(const void* sid);

}  // namespace os
