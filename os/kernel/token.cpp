#include "os/kernel/token.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "os/kernel/kernel_handles.h"

namespace os {
namespace {

// What a token says of its process, taken when it is opened.
struct TOKEN {
    std::vector<uint8_t> userSid;
    uint32_t sessionId = 0;
    uint64_t authenticationId = 0;
    uint64_t tokenId = 0;
};

uint64_t NextTokenId() {
    static std::atomic<uint64_t> next{0x100000};
    return next.fetch_add(1);
}

// Fixed-size classes: the structure is copied when the buffer holds it.
template <typename T>
NTSTATUS CopyFixed(const T& value, void* information, uint32_t length, uint32_t* returnLength) {
    if (returnLength != nullptr) {
        *returnLength = sizeof(T);
    }
    if (information == nullptr || length < sizeof(T)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    std::memcpy(information, &value, sizeof(T));
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PsLookupProcessByProcessId(uint64_t processId, std::shared_ptr<PROCESS>* process) {
    if (process == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<PROCESS> found;
    if (processId <= UINT32_MAX) {
        found = LookupProcess(static_cast<uint32_t>(processId));
    }
    if (!found) {
        return STATUS_INVALID_CID;
    }
    *process = std::move(found);
    return STATUS_SUCCESS;
}

NTSTATUS ObOpenObjectByPointer(const std::shared_ptr<PROCESS>& process, uint32_t attributes,
                               uint32_t desiredAccess, KPROCESSOR_MODE, HANDLE* handle) {
    if (!process || handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *handle = 0;
    HANDLE opened = InsertHandleFor(attributes, process, ObjectType::Process, desiredAccess);
    if (opened == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *handle = opened;
    return STATUS_SUCCESS;
}

NTSTATUS ZwOpenProcessTokenEx(HANDLE processHandle, uint32_t desiredAccess, uint32_t attributes,
                              HANDLE* tokenHandle) {
    if (tokenHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *tokenHandle = 0;
    std::shared_ptr<PROCESS> process;
    if (processHandle == NtCurrentProcess()) {
        process = CurrentProcess();
        if (!process) {
            return STATUS_INVALID_HANDLE;
        }
    } else {
        // Either query right will do; the handle table checks one set of bits at a time.
        NTSTATUS status = ReferenceAnyObject(processHandle, PROCESS_QUERY_INFORMATION,
                                             ObjectType::Process, &process);
        if (status == STATUS_ACCESS_DENIED) {
            status = ReferenceAnyObject(processHandle, PROCESS_QUERY_LIMITED_INFORMATION,
                                        ObjectType::Process, &process);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    auto token = std::make_shared<TOKEN>();
    token->userSid = process->UserSid();
    token->sessionId = process->SessionId();
    token->authenticationId = process->AuthenticationId();
    token->tokenId = NextTokenId();
    HANDLE opened = InsertHandleFor(attributes, std::move(token), ObjectType::Token, desiredAccess);
    if (opened == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *tokenHandle = opened;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryInformationToken(HANDLE tokenHandle, TOKEN_INFORMATION_CLASS informationClass,
                                 void* information, uint32_t length, uint32_t* returnLength) {
    std::shared_ptr<TOKEN> token;
    NTSTATUS status = ReferenceAnyObject(tokenHandle, TOKEN_QUERY, ObjectType::Token, &token);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    switch (informationClass) {
        case TokenUser: {
            const size_t needed = sizeof(TOKEN_USER) + token->userSid.size();
            if (returnLength != nullptr) {
                *returnLength = static_cast<uint32_t>(needed);
            }
            if (information == nullptr || length < needed) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            auto* user = static_cast<TOKEN_USER*>(information);
            auto* sid = reinterpret_cast<uint8_t*>(user + 1);
            if (!token->userSid.empty()) {
                std::memcpy(sid, token->userSid.data(), token->userSid.size());
            }
            user->User.Sid = sid;
            user->User.Attributes = 0;
            return STATUS_SUCCESS;
        }
        case TokenSessionId:
            return CopyFixed(token->sessionId, information, length, returnLength);
        case TokenStatistics: {
            TOKEN_STATISTICS statistics;
            statistics.TokenId = LuidOf(token->tokenId);
            statistics.AuthenticationId = LuidOf(token->authenticationId);
            statistics.ModifiedId = LuidOf(token->tokenId);
            return CopyFixed(statistics, information, length, returnLength);
        }
        case TokenOrigin:
            return CopyFixed(TOKEN_ORIGIN{LuidOf(token->authenticationId)}, information, length,
                             returnLength);
    }
    return STATUS_INVALID_INFO_CLASS;
}

bool RtlValidSid(const void* sid) {
    if (sid == nullptr) {
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(sid);
    return bytes[0] == 1 && bytes[1] <= 15;
}

uint32_t RtlLengthSid(const void* sid) {
    return 8u + 4u * static_cast<const uint8_t*>(sid)[1];
}

}  // namespace os
