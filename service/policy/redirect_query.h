// The decision on a lookup that SC_PolicyLookup could not settle itself, and everything it keeps
// between lookups. POLICY_ENGINE is the service's one decision object:
//
//   Decide (the decision wrapper): for TLS lookups the blocked-address cache first (an address
//   blocked for one host and user answers only lookups of that host, or of no host, by that
//   user), then allow while the policy server has switched filtering off, otherwise
//   QueryRedirectUrl.
//
//   QueryRedirectUrl: address exclusions (loopback, local networks, the deployment's own
//   servers), the allowed-URL cache, the hotspot window, the policy server's own host, then the
//   policy query GET "access/mobile" (id, user, url) to the current policy server and its XML
//   reply, whose settings take effect at once. When no usable answer comes, block on failure
//   decides: redirect to the deployment's block-on-failure page, or allow.
//
// The policy query runs on a helper thread (from a small pool that grows with the queries running
// at once) while the lookup waits for it in an os/ wait of at most 60 seconds on the active clock,
// cut short by the service's stop event. So a server
// that hangs never keeps a worker beyond the query's bound or from the stop, no lock is held while
// it runs, and tests move the 60 seconds on a virtual clock. A helper whose lookup gave up ends on
// its own: the engine bounds the whole request by the same 60 seconds in real time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "os/core/sync.h"
#include "service/calls/ip_address.h"
#include "service/policy/hotspot.h"
#include "service/policy/policy_lookup.h"
#include "service/policy/url_caches.h"

namespace wexo::svc {

class SETTINGS;
class POLICY_SERVERS;

// The policy server's page that decides a lookup.
constexpr char kPolicyPage[] = "access/mobile";
// Seconds a policy query may take, from its start to its last byte.
constexpr uint32_t kPolicyQueryTimeoutSeconds = 60;
// The deployment's server addresses are resolved again when older than this.
constexpr uint32_t kFilterServerRefreshSeconds = 60;
// How long a lookup waits for the very first resolution of those addresses, which another lookup
// is making.
constexpr uint32_t kFirstFilterServerRefreshWaitMs = 5000;
// A policy reply is a few hundred bytes; a larger body is not taken for one.
constexpr size_t kMaxPolicyReplyBytes = 64 * 1024;

// A policy reply as the service understands it.
struct POLICY_REPLY {
    bool blockOnFailure = false;
    bool unencryptedSearch = false;
    bool disableFiltering = false;
    // Seconds; 0 = do not cache. Never negative.
    int32_t cacheTimeout = 0;
    // Non-empty = redirect there. Safe for a Location line (see SafeRedirectUrl).
    std::string redirectUrl;
};

// Reads the body of a 200 answer. Valid when it is at most 64 KB, parses as XML, its document
// element is "Ostrel" and its "BlockOnFailure" reads as a boolean. The other fields keep their
// defaults when missing or unreadable; a "CacheTimeout" that is not a whole number, or is
// negative, counts as 0.
bool ParsePolicyReply(std::string_view body, POLICY_REPLY* reply);

// The URL with every control byte, blank and DEL percent-encoded ("%0D", "%20", ...), so that a
// reply cannot end the Location line of the redirect response and add lines of its own. Any other
// URL comes back unchanged.
std::string SafeRedirectUrl(std::string_view url);

// The host part of a policy-server name: "host", "host:port" -> "host", "[v6]:port" -> "v6".
std::string_view ServerHostName(std::string_view serverName);

// Whether the lookup URL is on the policy server itself: it begins with the server's name
// (letter case ignored) followed by the end, "/" or ":". A longer host that merely begins with the
// name ("policy.example.net.attacker.test") is not the server.
bool IsOnPolicyServer(std::string_view lookupUrl, std::string_view serverName);

// The URL the policy query for these values requests ("<SCHEME>://server/access/mobile?id=...").
std::string PolicyQueryUrl(std::string_view server, std::string_view deviceId,
                           std::string_view userName, std::string_view lookupUrl);

// Policy queries still running on their helper threads (including those whose lookups gave up).
// A process that is about to exit, and tests, wait for them.
size_t PolicyQueriesInFlight();
bool WaitForPolicyQueries(std::chrono::milliseconds realLimit);

// The addresses of the deployment's mobile and API servers (IPv4 and IPv6 of each), resolved again
// at most every 60 seconds. One lookup refreshes them while the others use the values they have;
// a failed resolution keeps the previous value. Before the first resolution there are no values
// to use: a lookup that comes while it runs waits for it (at most 5 seconds, or until the stop
// event), so that traffic to the deployment's own servers is not looked up meanwhile.
class FILTER_SERVER_ADDRESSES {
  public:
    enum SLOT { MOBILE_V4, MOBILE_V6, API_V4, API_V6, SLOT_COUNT };

    // The slot the address matches after a refresh when due, or -1. `stop` (may be null) ends a
    // wait for the first refresh.
    int Match(const IP_ADDRESS& address, os::Event* stop = nullptr);
    // The address of a slot (no address while it was never resolved).
    IP_ADDRESS Address(SLOT slot);

  private:
    void RefreshWhenDue(os::Event* stop);

    std::mutex mutex_;
    IP_ADDRESS addresses_[SLOT_COUNT];
    std::optional<uint64_t> resolvedAt_;  // interrupt time
    bool refreshing_ = false;
    // Set whenever a refresh ends; reset when one starts while none has succeeded yet.
    os::Event refreshEnded_{os::EventType::Notification, false};
};

class POLICY_ENGINE final : public POLICY_DECISION {
  public:
    // `stopEvent` (the service's stop event; may be null) cuts a policy query short.
    POLICY_ENGINE(SETTINGS& settings, POLICY_SERVERS& servers, os::Event* stopEvent = nullptr);
    ~POLICY_ENGINE() override = default;
    POLICY_ENGINE(const POLICY_ENGINE&) = delete;
    POLICY_ENGINE& operator=(const POLICY_ENGINE&) = delete;

    // The decision wrapper. True: redirect to *redirectUrl.
    bool Decide(const POLICY_QUERY& query, std::string* redirectUrl) override;
    bool QueryRedirectUrl(const POLICY_QUERY& query, std::string* redirectUrl);
    // True: the address is never looked up (loopback, local, the deployment's own servers).
    bool IsExcludedAddress(const IP_ADDRESS& address, std::string_view addressText);

    // The control handler flushes the allowed cache on session changes; the IP-change thread
    // switches filtering back on (Caches().filtering.SwitchOn()).
    URL_CACHES& Caches() { return caches_; }
    HOTSPOT& Hotspot() { return hotspot_; }
    FILTER_SERVER_ADDRESSES& FilterServers() { return filterServers_; }

  private:
    bool BlockOnFailure(const POLICY_QUERY& query, const std::string& serverName,
                        std::string* redirectUrl);

    SETTINGS& settings_;
    POLICY_SERVERS& servers_;
    os::Event* stopEvent_;
    // Destroyed after the caches, as the service's exit frees them.
    HOTSPOT hotspot_;
    URL_CACHES caches_;
    FILTER_SERVER_ADDRESSES filterServers_;
};

}  // namespace wexo::svc
