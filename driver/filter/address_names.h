// Which host names each address was given for, learnt from the DNS answers that pass through the
// driver. A TLS connection that names no host (no server name, no readable certificate) is judged
// by the names its destination was answered for before the bare address; and a connection that
// names the product's own service domain passes unlooked-up only toward an address that was
// answered for that domain, so that naming it toward any other server is not a way around the
// filter.
//
// Bounded: at most kAddressNamesPerAddress names per address (the most recent kept), at most
// kAddressNamesLimit names in all (the oldest learnt go first), and each name kept for its
// record's TTL, raised to a floor (clients connect some time after they asked, and rotating
// answers hand out addresses a moment before the name's next answer would) and cut to a ceiling.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace wexo::drv {

inline constexpr size_t kAddressNamesPerAddress = 4;
inline constexpr size_t kAddressNamesLimit = 16384;
inline constexpr uint32_t kAddressNameTtlFloorSeconds = 300;
inline constexpr uint32_t kAddressNameTtlCeilingSeconds = 6 * 3600;
// CNAME records followed back from an address record to the question's name.
inline constexpr size_t kAddressNameAliasDepth = 8;

// An address as the flow keeps it: 4 or 16 bytes in network order.
struct ADDRESS_KEY {
    std::array<uint8_t, 16> bytes{};
    uint8_t length = 0;

    bool operator==(const ADDRESS_KEY&) const = default;
};

struct ADDRESS_KEY_HASH {
    size_t operator()(const ADDRESS_KEY& key) const;
};

ADDRESS_KEY MakeAddressKey(const uint8_t* bytes, uint32_t length);

class ADDRESS_NAMES {
  public:
    using NAME_LIST = std::array<std::string, kAddressNamesPerAddress>;

    // Learns the address records of a DNS response (any question type; CNAME chains followed back
    // to the question's name). Anything that is not a well-formed response with answers is
    // ignored. Returns how many (address, name) pairs it learnt.
    size_t LearnFromAnswer(std::span<const uint8_t> message);
    // Remembers one pair now, for `ttlSeconds` (raised to the floor, cut to the ceiling).
    void Learn(const ADDRESS_KEY& address, std::string_view name, uint32_t ttlSeconds);

    // The names `address` was given for and that have not expired, the most recent first; the
    // count filled in.
    size_t NamesOf(const ADDRESS_KEY& address, NAME_LIST& names);
    // Whether `address` was given for a name of the service domain.
    bool WasGivenForServiceDomain(const ADDRESS_KEY& address);
    // Whether `address` was given for `name` (any case, a trailing dot or not).
    bool WasGivenFor(const ADDRESS_KEY& address, std::string_view name);

    size_t NameCount() const;
    void Clear();

  private:
    struct NAME {
        std::string text;      // lower case, no trailing dot
        uint64_t expires = 0;  // interrupt time
        uint64_t serial = 0;
    };
    struct ENTRY {
        std::array<NAME, kAddressNamesPerAddress> names;  // most recent first
        uint8_t count = 0;
    };

    // Drops expired names of one entry; the entry goes when none is left. Under the lock.
    void DropExpiredLocked(std::unordered_map<ADDRESS_KEY, ENTRY, ADDRESS_KEY_HASH>::iterator at,
                           uint64_t now);
    void EvictOldestLocked();
    template <typename Predicate>
    bool AnyNameOf(const ADDRESS_KEY& address, Predicate matches);

    mutable std::mutex lock_;
    std::unordered_map<ADDRESS_KEY, ENTRY, ADDRESS_KEY_HASH> entries_;
    // Every name learnt, oldest first, by its serial: the order in which they are evicted.
    std::deque<std::pair<ADDRESS_KEY, uint64_t>> order_;
    size_t nameCount_ = 0;
    uint64_t nextSerial_ = 1;
};

// Server names that clients gave toward an address and that were found not to resolve, kept for
// the floor lifetime (at most kUnresolvedNamesLimit, the oldest going first), so that a burst of
// connections with one such name asks the service once. Apart from ADDRESS_NAMES: a name a
// client made up is not one its destination was given for, and must not push those out.
inline constexpr size_t kUnresolvedNamesLimit = 4096;

class UNRESOLVED_NAMES {
  public:
    void Add(const ADDRESS_KEY& address, std::string_view name);
    bool Contains(const ADDRESS_KEY& address, std::string_view name);

  private:
    static std::string Key(const ADDRESS_KEY& address, std::string_view name);

    std::mutex lock_;
    std::unordered_map<std::string, uint64_t> expires_;  // interrupt time
    std::deque<std::string> order_;                      // oldest first
};

}  // namespace wexo::drv
