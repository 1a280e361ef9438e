#include "service/checkin/identity.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "os/core/status.h"
#include "os/win32/accounts.h"
#include "service/checkin/device_identity.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

using os::kSidRevision;
constexpr size_t kMaxSubAuthorities = 15;
constexpr uint64_t kNtAuthority = 5;
constexpr uint32_t kErrorObjectNotFound = 4312;  // ERROR_OBJECT_NOT_FOUND: the token has no SID

struct SID_FIELDS {
    uint64_t authority = 0;
    std::vector<uint32_t> subAuthorities;
};

bool ParseSid(std::span<const uint8_t> sid, SID_FIELDS* fields) {
    if (sid.size() < 8 || sid[0] != kSidRevision || sid[1] > kMaxSubAuthorities ||
        sid.size() != 8u + 4u * sid[1]) {
        return false;
    }
    fields->authority = 0;
    for (size_t i = 2; i < 8; ++i) {
        fields->authority = (fields->authority << 8) | sid[i];
    }
    fields->subAuthorities.clear();
    for (size_t i = 0; i < sid[1]; ++i) {
        const uint8_t* p = sid.data() + 8 + 4 * i;
        fields->subAuthorities.push_back(
            static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
            static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
    }
    return true;
}

}  // namespace

bool SidToString(std::span<const uint8_t> sid, std::string* text) {
    SID_FIELDS fields;
    if (!ParseSid(sid, &fields)) {
        return false;
    }
    std::string out = "S-1-";
    // Authorities of 2^32 and more are written in hexadecimal, as Windows writes them.
    if (fields.authority >= (1ull << 32)) {
        char hex[24];
        std::snprintf(hex, sizeof hex, "0x%012llX",
                      static_cast<unsigned long long>(fields.authority));
        out += hex;
    } else {
        out += std::to_string(fields.authority);
    }
    for (uint32_t sub : fields.subAuthorities) {
        out += "-" + std::to_string(sub);
    }
    *text = std::move(out);
    return true;
}

std::string ComputerAccountDomain() {
    std::string domain = os::GetComputerName();
    for (char& c : domain) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return domain;
}

bool GetAccountForSid(std::span<const uint8_t> sid, std::string* domain, std::string* user) {
    domain->clear();
    user->clear();
    if (std::string account; GetMicrosoftAccountForSid(sid, &account)) {
        if (size_t at = account.rfind('@'); at != std::string::npos) {
            *domain = account.substr(at + 1);
            *user = std::move(account);
            return true;
        }
    }
    SID_FIELDS fields;
    if (!ParseSid(sid, &fields)) {
        return true;
    }
    std::string name;
    if (fields.authority == kUnixUserAuthority && fields.subAuthorities.size() == 2 &&
        fields.subAuthorities[0] == kUnixUserSubAuthority) {
        const uint32_t error = os::LookupUserName(fields.subAuthorities[1], &name);
        if (error == os::ERROR_SUCCESS) {
            *domain = ComputerAccountDomain();
        } else if (error != os::ERROR_NONE_MAPPED) {
            DebugPrint("Unable to open lookup SID. %s. Error code = %#lx.",
                       os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
            return true;
        }
    } else if (fields.authority == kNtAuthority && fields.subAuthorities.size() == 1) {
        switch (fields.subAuthorities[0]) {
            case 18:
                name = "SYSTEM";
                break;
            case 19:
                name = "LOCAL SERVICE";
                break;
            case 20:
                name = "NETWORK SERVICE";
                break;
            default:
                break;
        }
        if (!name.empty()) {
            *domain = "NT AUTHORITY";
        }
    }
    if (name.empty()) {
        return true;
    }
    *user = domain->empty() ? name : *domain + "\\" + name;
    return true;
}

void ACCOUNT_NAMES::Get(std::span<const uint8_t> sid, std::string* domain, std::string* user) {
    std::string key(reinterpret_cast<const char*>(sid.data()), sid.size());
    const uint64_t now = os::QueryInterruptTime();
    {
        std::lock_guard guard(lock_);
        if (auto found = entries_.find(key);
            found != entries_.end() && now < found->second.expires) {
            *domain = found->second.domain;
            *user = found->second.user;
            return;
        }
    }
    GetAccountForSid(sid, domain, user);
    std::lock_guard guard(lock_);
    if (entries_.size() >= kMaxEntries) {
        std::erase_if(entries_, [now](const auto& entry) { return entry.second.expires <= now; });
        if (entries_.size() >= kMaxEntries) {
            entries_.clear();
        }
    }
    entries_.insert_or_assign(std::move(key), ENTRY{*domain, *user, now + kLifetime});
}

std::unique_ptr<uint8_t[]> TOKEN_HANDLE::GetInformation(uint32_t informationClass,
                                                        uint32_t* length) const {
    auto fail = [informationClass] {
        const uint32_t error = os::GetLastError();
        DebugPrint(
            "TOKEN_HANDLE::GetInformation: GetTokenInformation class = %d failed. %s. Error code "
            "= %lu.",
            static_cast<int>(informationClass), os::SystemMessageText(error).c_str(),
            static_cast<unsigned long>(error));
        return nullptr;
    };
    if (!token_) {
        os::SetLastError(os::ERROR_INVALID_HANDLE);
        return fail();
    }
    uint32_t needed = 0;
    if (!os::GetTokenInformation(*token_, informationClass, nullptr, 0, &needed) &&
        os::GetLastError() != os::ERROR_INSUFFICIENT_BUFFER) {
        return fail();
    }
    auto buffer = std::make_unique<uint8_t[]>(needed);
    if (!os::GetTokenInformation(*token_, informationClass, buffer.get(), needed, &needed)) {
        return fail();
    }
    *length = needed;
    return buffer;
}

bool TOKEN_HANDLE::GetUser(std::vector<uint8_t>* sid) const {
    uint32_t length = 0;
    std::unique_ptr<uint8_t[]> buffer = GetInformation(os::TokenUser, &length);
    if (!buffer) {
        return false;
    }
    const auto* user = reinterpret_cast<const os::TOKEN_USER*>(buffer.get());
    const auto* start = static_cast<const uint8_t*>(user->User.Sid);
    const auto* end = buffer.get() + length;
    if (start == nullptr || start >= end) {
        os::SetLastError(kErrorObjectNotFound);
        return false;
    }
    sid->assign(start, end);
    return true;
}

bool TOKEN_HANDLE::GetSessionId(uint32_t* sessionId) const {
    uint32_t session = 0;
    uint32_t length = 0;
    if (!token_ ||
        !os::GetTokenInformation(*token_, os::TokenSessionId, &session, sizeof session, &length)) {
        if (!token_) {
            os::SetLastError(os::ERROR_INVALID_HANDLE);
        }
        const uint32_t error = os::GetLastError();
        DebugPrint(
            "TOKEN_HANDLE::GetInformation: GetTokenInformation class = %d failed. %s. Error code "
            "= %lu.",
            static_cast<int>(os::TokenSessionId), os::SystemMessageText(error).c_str(),
            static_cast<unsigned long>(error));
        return false;
    }
    *sessionId = session;
    return true;
}

void DEVICE_INFORMATION::SetUniqueDeviceId(std::string_view id) {
    std::lock_guard guard(lock_);
    id_ = std::string(id.substr(0, kDeviceIdLength));
}

void DEVICE_INFORMATION::SetReady() {
    ready_.Set();
}

bool DEVICE_INFORMATION::WaitForDeviceInformation(os::Event& stopEvent) {
    if (testMode_ || ready_.IsSet()) {
        return true;
    }
    DebugPrint("Waiting for WMI query to complete ...");
    os::DispatcherObject* objects[] = {&stopEvent, &ready_};
    uint32_t wait = os::WaitForMultipleObjects(objects, false, os::INFINITE);
    if (wait == os::WAIT_OBJECT_0 + 1) {
        return true;
    }
    if (wait == os::WAIT_OBJECT_0) {
        DebugPrint("waiting for WMI query: Shutting down signaled");
    } else if (wait == os::WAIT_FAILED) {
        uint32_t error = os::GetLastError();
        DebugPrint("WMI query wait failed. %s. Error code = %lu.",
                   os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
    } else {
        DebugPrint("Unexpected WMI query wait result = %ld", static_cast<long>(wait));
    }
    return false;
}

std::string DEVICE_INFORMATION::GetUniqueDeviceId() const {
    std::lock_guard guard(lock_);
    return id_;
}

void DEVICE_INFORMATION::GetUniqueDeviceId(char (&buffer)[kDeviceIdLength + 1]) const {
    std::lock_guard guard(lock_);
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, id_.data(), std::min(id_.size(), kDeviceIdLength));
}

}  // namespace wexo::svc
