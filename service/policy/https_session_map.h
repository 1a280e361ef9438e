// The verdict of the lookup that first used a TLS session, kept per session ID and user, so that a
// connection that resumes the session (and shows no server name) gets the same verdict. The user
// is the one the policy server judged (the user name the query named): rules may be per user, so
// a session one user's lookup made is no answer for another user's connection offering the same
// ID. Entries expire 180 minutes after they were added, or 180 hours after they were last found; a
// housekeeping thread removes them at the exact time the next one expires.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "os/core/clock.h"
#include "os/core/sync.h"

namespace wexo::svc {

class HTTPS_SESSION_MAP {
  public:
    // Session IDs are at most this long; a longer one is treated as no session ID.
    static constexpr uint32_t kMaxSessionIdLength = 32;
    static constexpr uint64_t kAddedLifetime = 180ull * 60 * os::kTicksPerSecond;
    static constexpr uint64_t kFoundLifetime = 180ull * 3600 * os::kTicksPerSecond;
    static constexpr const char* kThreadName = "HTTPS session reuse";

    HTTPS_SESSION_MAP();
    ~HTTPS_SESSION_MAP();
    HTTPS_SESSION_MAP(const HTTPS_SESSION_MAP&) = delete;
    HTTPS_SESSION_MAP& operator=(const HTTPS_SESSION_MAP&) = delete;

    // True when a new entry was made; an existing entry of that session ID and user is left as
    // it is. No session ID: false.
    bool Add(std::string_view sessionId, std::string_view user, const std::string* redirectUrl,
             std::string_view host, bool blocked);
    // True when the user's entry for the session ID is found; it then expires 180 hours from now.
    bool Get(std::string_view sessionId, std::string_view user, std::string* redirectUrl,
             std::string* host, bool* blocked);
    // Removes the expired entries and arms the timer for the next expiry; false when the timer
    // cannot be armed (no housekeeping thread has made one).
    bool Housekeeping();

    // The thread body: creates the wake event and the timer, then runs housekeeping whenever the
    // next entry expires (or the first one arrives) until `stopEvent` is set or housekeeping fails.
    uint32_t HttpsSessionReuseThread(os::Event& stopEvent);

    size_t Count() const;
    // The expiry of an entry (system time), 0 when there is none; for tests and diagnostics.
    uint64_t ExpiryOf(std::string_view sessionId, std::string_view user) const;

  private:
    struct KEY {
        uint32_t length = 0;
        std::array<uint8_t, kMaxSessionIdLength> bytes{};
        std::string user;
        // By length, then bytes, then user.
        bool operator<(const KEY& other) const;
    };
    struct ENTRY {
        uint64_t expiry = 0;
        std::string redirectUrl;
        std::string host;
        bool blocked = false;
    };
    static bool MakeKey(std::string_view sessionId, std::string_view user, KEY* key);

    mutable os::CriticalSection lock_;
    std::map<KEY, ENTRY> entries_;
    std::unique_ptr<os::Event> wake_;
    std::unique_ptr<os::Timer> timer_;
};

// "%lu hour%s, %lu minute%s, %lu second%s" and its shorter forms.
std::string FormatSpanText(uint64_t seconds);
// The local time of a future system time and the span until it: "2026-03-02 12:30 (3 hours, ...)".
std::string FormatExpiryText(uint64_t expiry);
// The session ID as upper-case hexadecimal, two digits a byte.
std::string SessionIdText(std::string_view sessionId);

}  // namespace wexo::svc
