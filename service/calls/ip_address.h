// An IPv4 or IPv6 address as the service passes it around (16 bytes in network order and a length
// of 4, 16 or 0), its text forms and address-class tests, and the host-name resolution the service
// uses for the driver's DNS requests and for its own exclusions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wexo::svc {

class IP_ADDRESS {
  public:
    IP_ADDRESS() = default;
    // Length 4 or 16 with that many bytes; any other length (or no bytes) makes no address.
    IP_ADDRESS(uint32_t length, const uint8_t* bytes);
    static IP_ADDRESS V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

    uint8_t Length() const { return length_; }
    const uint8_t* Bytes() const { return bytes_; }
    // An empty object of the family a resolution should look for (16: IPv6, otherwise IPv4).
    void SetLength(uint8_t length) { length_ = (length == 4 || length == 16) ? length : 0; }

    bool operator==(const IP_ADDRESS& other) const;

    // "%u.%u.%u.%u", or eight "%lx" groups separated by ":" for IPv6; empty with no address.
    std::string ToText() const;
    // IPv4 10/8, 172.16/12, 192.168/16; IPv6 link-local (first two bytes FE 80).
    bool IsPrivate() const;
    // Exactly 127.0.0.1 or ::1.
    bool IsLoopback() const;
    // No address, or all of its bytes zero.
    bool IsUnspecified() const;

    // Resolves the name (up to its first "/") in the family of the current length and stores the
    // first result that is not the loopback address. The length is left as it is. False when
    // nothing usable was found.
    bool ResolveHostName(std::string_view hostName);

  private:
    uint8_t bytes_[16] = {};
    uint8_t length_ = 0;
};

enum class AddressFamily { V4, V6 };

// Name resolution: the system resolver in the product, a resolver of their own in tests. Returns
// 0 with the addresses in the resolver's order, or a Winsock error (11001 host not found, 11004 no
// data of that family, 11002 try again, 11003 failure, 8 no memory).
class NAME_RESOLVER {
  public:
    virtual ~NAME_RESOLVER() = default;
    virtual uint32_t Resolve(const std::string& hostName, AddressFamily family,
                             std::vector<IP_ADDRESS>* addresses) = 0;
};

// getaddrinfo of the host name alone: the family, no service name and no other hints.
class SYSTEM_NAME_RESOLVER final : public NAME_RESOLVER {
  public:
    uint32_t Resolve(const std::string& hostName, AddressFamily family,
                     std::vector<IP_ADDRESS>* addresses) override;
};

// The resolver every resolution of the service goes through.
NAME_RESOLVER& ActiveNameResolver();
uint32_t ResolveName(const std::string& hostName, AddressFamily family,
                     std::vector<IP_ADDRESS>* addresses);

// Puts another resolver in place while it lives (not nested across threads).
class ScopedNameResolver {
  public:
    explicit ScopedNameResolver(NAME_RESOLVER& resolver);
    ~ScopedNameResolver();
    ScopedNameResolver(const ScopedNameResolver&) = delete;
    ScopedNameResolver& operator=(const ScopedNameResolver&) = delete;

  private:
    NAME_RESOLVER* previous_;
};

// The eight 16-bit groups of an IPv6 address in host order, for "%lx" texts.
void Ipv6Groups(const uint8_t* bytes, unsigned long groups[8]);

}  // namespace wexo::svc
