// Who a connection belongs to and which device this is, as far as the policy lookup needs them
// now: the account name of a SID, and the unique device ID with the wait for the system-information
// thread that computes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "os/core/clock.h"
#include "os/core/sid.h"
#include "os/core/sync.h"
#include "os/win32/accounts.h"

namespace wexo::svc {

// Binary SIDs (os/core/sid.h). A Linux user is S-1-22-1-<uid>.
using os::kUnixUserAuthority;
using os::kUnixUserSubAuthority;
using os::MakeSid;
using os::UnixUserSid;
// "S-1-22-1-1000"; false for bytes that are not one well-formed SID.
bool SidToString(std::span<const uint8_t> sid, std::string* text);

// The computer's name as an account domain: the host name up to its first ".", in upper case.
std::string ComputerAccountDomain();

// The domain and user of a SID. A Microsoft account ("name@example.com") signed in with it gives
// the text after its last "@" and the whole account. Otherwise "DOMAIN\name" (or the name alone
// without a domain): a Linux user's name from the user database with the computer as its domain,
// and the well-known service accounts of NT AUTHORITY. An invalid or unknown SID, or a user
// database that cannot be read, leaves both empty. Always true.
bool GetAccountForSid(std::span<const uint8_t> sid, std::string* domain, std::string* user);

// GetAccountForSid's answers, each kept for kLifetime: a lookup reads two registry trees (over the
// bridge to the host, several round trips) and the user database, and every connection of a user
// asks for the same SID. An account signed in or renamed is seen within the lifetime. Safe to
// share between threads; two that miss at once both read, and the later answer stays.
class ACCOUNT_NAMES {
  public:
    static constexpr uint64_t kLifetime = 10 * os::kTicksPerSecond;
    static constexpr size_t kMaxEntries = 1024;

    ACCOUNT_NAMES() = default;
    ACCOUNT_NAMES(const ACCOUNT_NAMES&) = delete;
    ACCOUNT_NAMES& operator=(const ACCOUNT_NAMES&) = delete;

    void Get(std::span<const uint8_t> sid, std::string* domain, std::string* user);

  private:
    struct ENTRY {
        std::string domain;
        std::string user;
        uint64_t expires = 0;
    };
    std::mutex lock_;
    std::unordered_map<std::string, ENTRY> entries_;
};

// Owns one access token and lets it go with the object. Its reads log their failures.
class TOKEN_HANDLE {
  public:
    explicit TOKEN_HANDLE(std::unique_ptr<os::ACCESS_TOKEN> token = nullptr)
        : token_(std::move(token)) {}
    TOKEN_HANDLE(TOKEN_HANDLE&&) = default;
    TOKEN_HANDLE& operator=(TOKEN_HANDLE&&) = default;

    bool IsValid() const { return token_ != nullptr; }
    // Asks for the size, allocates, reads. Null (after the line) when either call fails.
    std::unique_ptr<uint8_t[]> GetInformation(uint32_t informationClass, uint32_t* length) const;
    // A copy of the token user's SID; false with 4312 when the token has no SID.
    bool GetUser(std::vector<uint8_t>* sid) const;
    bool GetSessionId(uint32_t* sessionId) const;

  private:
    std::unique_ptr<os::ACCESS_TOKEN> token_;
};

// The unique device ID and its readiness. The system-information thread sets the ID, then marks
// the information ready (whether or not it could compute it); lookups wait for that.
class DEVICE_INFORMATION {
  public:
    static constexpr size_t kDeviceIdLength = 36;

    DEVICE_INFORMATION() = default;
    DEVICE_INFORMATION(const DEVICE_INFORMATION&) = delete;
    DEVICE_INFORMATION& operator=(const DEVICE_INFORMATION&) = delete;

    // Keeps the first 36 characters.
    void SetUniqueDeviceId(std::string_view id);
    void SetReady();
    // The command-line test modes never wait.
    void SetTestMode(bool testMode) { testMode_ = testMode; }
    os::Event& ReadyEvent() { return ready_; }

    // True at once in a test mode or when ready; otherwise waits without a time-out for the ready
    // event or the service's stop event (false).
    bool WaitForDeviceInformation(os::Event& stopEvent);
    // The 36-character ID, empty until it is set.
    std::string GetUniqueDeviceId() const;
    // The single-byte form with its NUL, as the 37-byte buffer of the callers wants it.
    void GetUniqueDeviceId(char (&buffer)[kDeviceIdLength + 1]) const;

  private:
    mutable std::mutex lock_;
    std::string id_;
    std::atomic<bool> testMode_{false};
    os::Event ready_{os::EventType::Notification, false};
};

}  // namespace wexo::svc
