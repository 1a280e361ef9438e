// The decision's shared memory of earlier answers: the allowed-URL cache (sites the policy server
// allowed with a cache lifetime), the blocked-address cache (TLS destinations it blocked, by
// address and the host they were blocked for) and the filtering switch-off (the server may turn
// filtering off for at most 600 seconds).
//
// Ages are measured on the monotonic clock (os::QueryInterruptTime), so a change of the system
// time neither keeps an entry alive nor keeps filtering switched off beyond its bound.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "service/calls/ip_address.h"
#include "service/policy/locked_list.h"

namespace wexo::svc {

constexpr size_t kAllowedCacheLimit = 64;
// Shorter keys (a three-letter host and its slash) are not cached.
constexpr size_t kAllowedKeyMinimum = 5;
constexpr uint32_t kBlockedAddressLifetimeSeconds = 300;
constexpr uint32_t kFilteringOffLimitSeconds = 600;

// The URL without a leading "HTTP://" or "HTTPS://" in any letter case.
std::string_view StripScheme(std::string_view url);
// The key an allowed URL is cached under: the stripped URL up to and including its first "/", or
// the whole stripped URL when it has none (a TLS lookup's bare host).
std::string_view AllowedCacheKey(std::string_view strippedUrl);
// Whether a cached key allows a stripped URL (case-sensitive). A key with a "/" allows every URL
// that begins with it. A key without one is a bare host: it allows that host alone or followed by
// "/" or ":", never a longer host name that merely begins with it ("example.com" does not allow
// "example.com.attacker.net").
bool AllowedKeyMatches(std::string_view key, std::string_view strippedUrl);

// Whole milliseconds since `since` (interrupt time), in seconds.
double AgeSeconds(uint64_t since, uint64_t now);

// Every entry remembers whether it was made from a TLS lookup (`https`) and answers only lookups
// of the same kind. A TLS lookup knows the bare host, so the policy server judged the host and
// never a path: its entry must not let an HTTP request for a blocked path of that host pass.
// Entries of HTTP lookups keep their prefix rule.
//
// Every entry also remembers the user the policy server judged (the user name the query named)
// and answers that user's lookups only: rules may be per user, and a teacher's allow must not let
// a student's request for the same site pass unasked.
class ALLOWED_URL_CACHE {
  public:
    // Scans from the front: expired entries are removed on the way; the first entry of the same
    // kind (TLS or HTTP) and user that allows the URL moves to the front and the lookup is a hit
    // ("Excluding URL = ...; allowed cache").
    bool Lookup(std::string_view lookupUrl, bool https, std::string_view user);
    // After an allowing reply with a cache lifetime: caches the URL's key for `timeToLive`
    // seconds at the front, for lookups of the same kind and user, then drops entries from the
    // back beyond 64. A lifetime of 0 or less, or a key shorter than 5 characters, adds nothing.
    // Returns whether an entry was added.
    bool Add(std::string_view lookupUrl, int32_t timeToLive, bool https, std::string_view user);
    // Session changes: every entry is dropped, from the back, each with its line.
    void Flush();
    // Drops every entry without a line (the service's exit).
    void Clear();

    size_t Count() const { return list_.Count(); }
    // The keys from the front to the back.
    std::vector<std::string> Keys();

  private:
    struct ENTRY {
        std::string key;
        uint64_t added = 0;  // interrupt time
        int32_t timeToLive = 0;
        bool https = false;  // made from a TLS lookup
        std::string user;    // whom the policy server judged
    };
    LOCKED_LIST<ENTRY> list_;
};

// A blocked TLS destination answers only the lookups its verdict was made for: the same address,
// the same user, and the host it was blocked for or no host at all. One address serves many
// unrelated sites (a CDN, a shared host), and the policy server judged one name for one user; an
// entry for the address alone blocked every other site on it, for every user, for 300 seconds.
// A connection that names no host can only be judged by its address, so it takes the entry.
// Hosts are compared as servers read them (NormalizeHost, 443 being a TLS name's own port).
class BLOCKED_ADDRESS_CACHE {
  public:
    // Scans from the front: an entry that answers the lookup is a hit whatever its age (that test
    // comes first); other entries older than 300 seconds are removed on the way. A lookup without
    // an address (none, or all zero) never hits.
    bool Lookup(const IP_ADDRESS& address, std::string_view host, std::string_view user,
                std::string* redirectUrl);
    // Appends an entry made now for the lookup's address, host (empty: it named none) and user. A
    // lookup without an address is not remembered: it would block every later lookup whose
    // destination the driver did not know. Returns whether it was added.
    bool Add(const IP_ADDRESS& address, std::string_view host, std::string_view user,
             std::string_view redirectUrl);
    void Clear();
    size_t Count() const { return list_.Count(); }

  private:
    struct ENTRY {
        uint64_t added = 0;  // interrupt time
        IP_ADDRESS address;
        std::string host;  // normalised; empty when the blocked lookup named none
        std::string user;
        std::string redirectUrl;
    };
    LOCKED_LIST<ENTRY> list_;
};

// Filtering switched off by the policy server, for at most 600 seconds from the first switch-off:
// a second switch-off while it is off does not renew the time, and the first test after the bound
// switches filtering back on.
class FILTERING_SWITCH {
  public:
    // "Filtering disabled" when it was on.
    void SwitchOff();
    // A valid reply without "DisableFiltering", or a change of the IP addresses.
    void SwitchOn() { off_.store(false); }
    // True while switched off and less than 600 seconds have passed.
    bool IsOff();

  private:
    std::mutex mutex_;
    std::atomic<bool> off_{false};
    uint64_t since_ = 0;  // interrupt time of the switch-off (mutex)
};

// The two caches and the switch, as the service keeps them from start to exit. Going away writes
// "~FILTER_QUERY_UNINITIALIZE" to the debugger output, frees both caches and writes "... done".
struct URL_CACHES {
    URL_CACHES() = default;
    ~URL_CACHES();
    URL_CACHES(const URL_CACHES&) = delete;
    URL_CACHES& operator=(const URL_CACHES&) = delete;

    ALLOWED_URL_CACHE allowed;
    BLOCKED_ADDRESS_CACHE blocked;
    FILTERING_SWITCH filtering;
};

}  // namespace wexo::svc
