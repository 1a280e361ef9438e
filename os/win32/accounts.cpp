#include "os/win32/accounts.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "os/core/sid.h"
#include "os/core/status.h"
#include "os/win32/process_list.h"

namespace os {

uint32_t LookupUserName(uint32_t uid, std::string* name) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        int error =
            getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        // These say "no such user" as well as no answer does (getpwuid_r(3)).
        if (error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM) {
            if (found == nullptr || found->pw_name == nullptr) {
                return ERROR_NONE_MAPPED;
            }
            *name = found->pw_name;
            return ERROR_SUCCESS;
        }
        return Win32ErrorFromErrno(error);
    }
}

std::string LookupUserName(uint32_t uid) {
    std::string name;
    return LookupUserName(uid, &name) == ERROR_SUCCESS ? name : std::string();
}

std::string GetComputerName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    std::string host(name, strnlen(name, sizeof name));
    return host.substr(0, host.find('.'));
}

bool OpenProcessToken(uint32_t processId, std::unique_ptr<ACCESS_TOKEN>* token,
                      const std::string& procRoot) {
    std::string status;
    uint32_t error = ReadFactFile(procRoot + "/" + std::to_string(processId) + "/status", &status);
    if (error != ERROR_SUCCESS) {
        SetLastError(error == ERROR_FILE_NOT_FOUND ? ERROR_INVALID_PARAMETER : error);
        return false;
    }
    // "Uid:\t<real>\t<effective>\t<saved>\t<filesystem>": the effective user is who it acts as.
    const size_t line = status.find("\nUid:");
    unsigned long real = 0, effective = 0;
    if (line == std::string::npos ||
        std::sscanf(status.c_str() + line + 5, "%lu %lu", &real, &effective) != 2 ||
        effective > UINT32_MAX) {
        SetLastError(13);  // ERROR_INVALID_DATA
        return false;
    }
    auto made = std::make_unique<ACCESS_TOKEN>();
    made->userSid = UnixUserSid(static_cast<uint32_t>(effective));
    uint32_t session = 0;
    made->sessionId =
        ProcessIdToSessionId(processId, &session, procRoot) == ERROR_SUCCESS ? session : 0;
    *token = std::move(made);
    return true;
}

bool GetTokenInformation(const ACCESS_TOKEN& token, uint32_t informationClass, void* buffer,
                         uint32_t length, uint32_t* returnLength) {
    uint32_t needed = 0;
    switch (informationClass) {
        case TokenUser:
            needed = static_cast<uint32_t>(sizeof(TOKEN_USER) + token.userSid.size());
            break;
        case TokenSessionId:
            needed = sizeof(uint32_t);
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
    }
    if (returnLength != nullptr) {
        *returnLength = needed;
    }
    if (buffer == nullptr || length < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    if (informationClass == TokenSessionId) {
        std::memcpy(buffer, &token.sessionId, sizeof token.sessionId);
        return true;
    }
    auto* user = static_cast<TOKEN_USER*>(buffer);
    uint8_t* sid = static_cast<uint8_t*>(buffer) + sizeof(TOKEN_USER);
    if (!token.userSid.empty()) {
        std::memcpy(sid, token.userSid.data(), token.userSid.size());
    }
    user->User.Sid = token.userSid.empty() ? nullptr : sid;
    user->User.Attributes = 0;
    return true;
}

}  // namespace os
