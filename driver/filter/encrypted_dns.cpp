#include "driver/filter/encrypted_dns.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "os/kernel/ip_string.h"

namespace wexo::drv {

namespace {

// Resolvers a browser upgrades to by itself, and the other public ones a student is most likely
// to type into a browser's secure-DNS setting. docs/filtering.md lists the same entries.
constexpr std::string_view kBuiltInEndpoints[] = {
    // Google
    "dns.google", "dns.google.com", "dns64.dns.google", "8888.google", "8.8.8.8", "8.8.4.4",
    "2001:4860:4860::8888", "2001:4860:4860::8844", "2001:4860:4860::6464", "2001:4860:4860::64",
    // Cloudflare
    "cloudflare-dns.com", ".cloudflare-dns.com", "one.one.one.one", "1.1.1.1", "1.0.0.1", "1.1.1.2",
    "1.0.0.2", "1.1.1.3", "1.0.0.3", "2606:4700:4700::1111", "2606:4700:4700::1001",
    "2606:4700:4700::1112", "2606:4700:4700::1002", "2606:4700:4700::1113", "2606:4700:4700::1003",
    // Quad9
    "dns.quad9.net", "dns9.quad9.net", "dns10.quad9.net", "dns11.quad9.net", "dns12.quad9.net",
    "9.9.9.9", "149.112.112.112", "9.9.9.10", "149.112.112.10", "9.9.9.11", "149.112.112.11",
    "9.9.9.12", "149.112.112.12", "2620:fe::fe", "2620:fe::9", "2620:fe::10", "2620:fe::fe:10",
    "2620:fe::11", "2620:fe::fe:11", "2620:fe::12", "2620:fe::fe:12",
    // Cisco OpenDNS
    "doh.opendns.com", "dns.opendns.com", "doh.familyshield.opendns.com", "dns.umbrella.com",
    "doh.umbrella.com", "208.67.222.222", "208.67.220.220", "208.67.222.123", "208.67.220.123",
    "2620:119:35::35", "2620:119:53::53", "2620:119:35::123", "2620:119:53::123",
    // AdGuard
    "dns.adguard.com", "dns-family.adguard.com", "dns-unfiltered.adguard.com",
    "dns.adguard-dns.com", "unfiltered.adguard-dns.com", "family.adguard-dns.com", "94.140.14.14",
    "94.140.15.15", "94.140.14.15", "94.140.15.16", "94.140.14.140", "94.140.14.141",
    "2a10:50c0::ad1:ff", "2a10:50c0::ad2:ff", "2a10:50c0::bad1:ff", "2a10:50c0::bad2:ff",
    // CleanBrowsing
    "doh.cleanbrowsing.org", "family-filter-dns.cleanbrowsing.org",
    "adult-filter-dns.cleanbrowsing.org", "security-filter-dns.cleanbrowsing.org",
    "185.228.168.168", "185.228.169.168", "185.228.168.9", "185.228.169.9", "185.228.168.10",
    "185.228.169.11", "2a0d:2a00:1::", "2a0d:2a00:2::", "2a0d:2a00:1::2", "2a0d:2a00:2::2",
    // NextDNS
    "dns.nextdns.io", ".dns.nextdns.io", "45.90.28.0", "45.90.30.0", "2a07:a8c0::", "2a07:a8c1::",
    // Control D
    "dns.controld.com", ".dns.controld.com", "freedns.controld.com", "76.76.2.0", "76.76.10.0",
    "2606:1a40::", "2606:1a40:1::",
    // Mullvad
    "dns.mullvad.net", ".dns.mullvad.net", "doh.mullvad.net", "194.242.2.2", "2a07:e340::2",
    // DNS.SB, Comcast, Alibaba, DNSPod, 360, SWITCH, LibreDNS, Hurricane Electric
    "doh.dns.sb", "185.222.222.222", "45.11.45.11", "2a09::", "2a11::", "doh.xfinity.com",
    "dns.alidns.com", "223.5.5.5", "223.6.6.6", "2400:3200::1", "2400:3200:baba::1", "doh.pub",
    "dns.pub", "doh.360.cn", "dns.switch.ch", "doh.libredns.gr", "ordns.he.net"};

// The name as the lists hold it: lower-case, no trailing dot. Empty when it cannot be a name.
std::string_view CanonicalName(std::string_view name, std::span<char> buffer) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    if (name.empty() || name.size() > buffer.size()) {
        return {};
    }
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        buffer[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return {buffer.data(), name.size()};
}

bool ParseAddress(std::string_view text, ADDRESS_KEY& key) {
    uint8_t v4[4];
    if (os::NT_SUCCESS(os::RtlIpv4StringToAddress(text, v4))) {
        key = MakeAddressKey(v4, 4);
        return true;
    }
    uint8_t v6[16];
    if (os::NT_SUCCESS(os::RtlIpv6StringToAddress(text, v6))) {
        key = MakeAddressKey(v6, 16);
        return true;
    }
    return false;
}

// Mapped IPv4 addresses (::ffff:a.b.c.d) are the IPv4 address to every list here.
ADDRESS_KEY Unmapped(const ADDRESS_KEY& address) {
    static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (address.length == 16 && std::memcmp(address.bytes.data(), kMappedPrefix, 12) == 0) {
        return MakeAddressKey(address.bytes.data() + 12, 4);
    }
    return address;
}

constexpr size_t kMaxNameBytes = 253;

}  // namespace

bool ENCRYPTED_DNS_ENDPOINTS::LIST::Add(std::string_view entry) {
    ADDRESS_KEY address;
    if (ParseAddress(entry, address)) {
        addresses.insert(Unmapped(address));
        return true;
    }
    std::array<char, kMaxNameBytes + 1> buffer;
    std::string_view name = CanonicalName(entry, buffer);
    const bool suffix = name.size() > 1 && name.front() == '.';
    const std::string_view label = suffix ? name.substr(1) : name;
    // Host names only: a name with a blank, a slash or a port is a mistake, not an entry.
    const bool wellFormed = !label.empty() && label.front() != '.' &&
                            std::all_of(label.begin(), label.end(), [](char c) {
                                return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                       c == '-' || c == '.' || c == '_';
                            });
    if (!wellFormed) {
        return false;
    }
    if (suffix) {
        suffixes.emplace_back(name);
    } else {
        names.emplace(name);
    }
    return true;
}

ENCRYPTED_DNS_ENDPOINTS::ENCRYPTED_DNS_ENDPOINTS() {
    for (std::string_view entry : kBuiltInEndpoints) {
        builtIn_.Add(entry);
    }
}

bool ENCRYPTED_DNS_ENDPOINTS::NameIn(const LIST& list, std::string_view name) {
    if (list.names.find(name) != list.names.end()) {
        return true;
    }
    return std::any_of(list.suffixes.begin(), list.suffixes.end(), [&](const std::string& s) {
        return name.size() > s.size() && name.ends_with(s);
    });
}

bool ENCRYPTED_DNS_ENDPOINTS::IsEndpointName(std::string_view host) const {
    std::array<char, kMaxNameBytes + 1> buffer;
    const std::string_view name = CanonicalName(host, buffer);
    if (name.empty()) {
        return false;
    }
    if (NameIn(builtIn_, name)) {
        return true;
    }
    if (!hasExtra_.load(std::memory_order_acquire)) {
        return false;
    }
    std::lock_guard guard(extraLock_);
    return NameIn(extra_, name);
}

bool ENCRYPTED_DNS_ENDPOINTS::IsEndpointAddress(const ADDRESS_KEY& address) const {
    const ADDRESS_KEY key = Unmapped(address);
    if (builtIn_.addresses.count(key) != 0) {
        return true;
    }
    if (!hasExtra_.load(std::memory_order_acquire)) {
        return false;
    }
    std::lock_guard guard(extraLock_);
    return extra_.addresses.count(key) != 0;
}

size_t ENCRYPTED_DNS_ENDPOINTS::SetExtra(std::span<const std::string> entries) {
    LIST list;
    size_t taken = 0;
    for (const std::string& entry : entries) {
        taken += list.Add(entry) ? 1 : 0;
    }
    std::lock_guard guard(extraLock_);
    extra_ = std::move(list);
    hasExtra_.store(taken != 0, std::memory_order_release);
    return taken;
}

}  // namespace wexo::drv
