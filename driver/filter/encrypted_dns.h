// The well-known resolvers that answer DNS over TLS or HTTPS. A browser that finds one of them
// configured as the system resolver switches to it over TLS by itself, and from then on its
// lookups no longer pass the DNS answer rewriting (the safe-search remap is gone) and its
// connections may hide their server name behind a shared front. A TLS connection to one of these
// names or addresses is closed, so that the browser falls back to the plain lookups the driver
// sees; browsers in their automatic mode do exactly that on a failed connection.
//
// The built-in list (docs/filtering.md names every entry) is extended by the product key's
// "EncryptedDnsEndpoints" (REG_MULTI_SZ): each string an IPv4 or IPv6 address, a host name, or a
// name that begins with "." for every name below it.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "driver/filter/address_names.h"

namespace wexo::drv {

class ENCRYPTED_DNS_ENDPOINTS {
  public:
    ENCRYPTED_DNS_ENDPOINTS();

    // The host a client names (a TLS server name); compared as DNS compares names, with one
    // trailing dot ignored.
    bool IsEndpointName(std::string_view host) const;
    // A destination address: 4 bytes, or 16 (an IPv4-mapped IPv6 address counts as its IPv4).
    bool IsEndpointAddress(const ADDRESS_KEY& address) const;

    // Replaces the entries added to the built-in ones; a string that is neither an address nor a
    // name is skipped. Returns how many were taken.
    size_t SetExtra(std::span<const std::string> entries);

  private:
    // Looked up by view, so the classify path does not allocate.
    struct NAME_HASH {
        using is_transparent = void;
        size_t operator()(std::string_view name) const {
            return std::hash<std::string_view>{}(name);
        }
    };
    struct LIST {
        std::unordered_set<std::string, NAME_HASH, std::equal_to<>> names;
        // Each with its leading ".": "x.example" is below ".example", "example" is not.
        std::vector<std::string> suffixes;
        std::unordered_set<ADDRESS_KEY, ADDRESS_KEY_HASH> addresses;

        bool Add(std::string_view entry);
    };

    static bool NameIn(const LIST& list, std::string_view name);

    LIST builtIn_;
    mutable std::mutex extraLock_;
    LIST extra_;
    // Most deployments name none: then a hello's check takes no lock.
    std::atomic<bool> hasExtra_{false};
};

}  // namespace wexo::drv
