#include "service/calls/ip_address.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "os/core/status.h"
#include "os/win32/name_resolution.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

constexpr uint8_t kLoopbackV4[4] = {127, 0, 0, 1};
constexpr uint8_t kLoopbackV6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

SYSTEM_NAME_RESOLVER gSystemResolver;
std::atomic<NAME_RESOLVER*> gResolver{&gSystemResolver};

}  // namespace

void Ipv6Groups(const uint8_t* bytes, unsigned long groups[8]) {
    for (int i = 0; i < 8; ++i) {
        groups[i] = (static_cast<unsigned long>(bytes[2 * i]) << 8) | bytes[2 * i + 1];
    }
}

IP_ADDRESS::IP_ADDRESS(uint32_t length, const uint8_t* bytes) {
    if (bytes == nullptr || (length != 4 && length != 16)) {
        return;
    }
    std::memcpy(bytes_, bytes, length);
    length_ = static_cast<uint8_t>(length);
}

IP_ADDRESS IP_ADDRESS::V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    return IP_ADDRESS(4, bytes);
}

bool IP_ADDRESS::operator==(const IP_ADDRESS& other) const {
    return length_ == other.length_ && std::memcmp(bytes_, other.bytes_, length_) == 0;
}

std::string IP_ADDRESS::ToText() const {
    char text[64];
    if (length_ == 4) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes_[0], bytes_[1], bytes_[2], bytes_[3]);
        return text;
    }
    if (length_ == 16) {
        unsigned long g[8];
        Ipv6Groups(bytes_, g);
        std::snprintf(text, sizeof text, "%lx:%lx:%lx:%lx:%lx:%lx:%lx:%lx", g[0], g[1], g[2], g[3],
                      g[4], g[5], g[6], g[7]);
        return text;
    }
    return {};
}

bool IP_ADDRESS::IsPrivate() const {
    if (length_ == 4) {
        return bytes_[0] == 10 || (bytes_[0] == 172 && (bytes_[1] & 0xF0) == 16) ||
               (bytes_[0] == 192 && bytes_[1] == 168);
    }
    return length_ == 16 && bytes_[0] == 0xFE && bytes_[1] == 0x80;
}

bool IP_ADDRESS::IsLoopback() const {
    if (length_ == 4) {
        return std::memcmp(bytes_, kLoopbackV4, 4) == 0;
    }
    return length_ == 16 && std::memcmp(bytes_, kLoopbackV6, 16) == 0;
}

bool IP_ADDRESS::IsUnspecified() const {
    for (uint8_t i = 0; i < length_; ++i) {
        if (bytes_[i] != 0) {
            return false;
        }
    }
    return true;
}

bool IP_ADDRESS::ResolveHostName(std::string_view hostName) {
    std::string name(hostName.substr(0, hostName.find('/')));
    DebugWrite(LINE_VERBOSE, "IP_ADDRESS::ResolveHostName: HostName = \"%s\"",
               std::string(hostName).c_str());
    AddressFamily family = length_ == 16 ? AddressFamily::V6 : AddressFamily::V4;
    std::vector<IP_ADDRESS> found;
    uint32_t error = ResolveName(name, family, &found);
    if (error != 0) {
        if (error != os::WSAHOST_NOT_FOUND && error != os::WSANO_DATA) {
            DebugWrite(LINE_VERBOSE,
                       "IP_ADDRESS::ResolveHostName: Unable to resolve host name \"%s\".\n    %s "
                       "Error code = %d",
                       name.c_str(), os::SystemMessageText(error).c_str(), static_cast<int>(error));
        }
        return false;
    }
    uint8_t wanted = family == AddressFamily::V6 ? 16 : 4;
    for (const IP_ADDRESS& address : found) {
        if (address.Length() != wanted || address.IsLoopback()) {
            continue;
        }
        const uint8_t* b = address.bytes_;
        if (wanted == 4) {
            DebugWrite(LINE_VERBOSE, "HostName = \"%s\", IPv4 = %u.%u.%u.%u", name.c_str(), b[0],
                       b[1], b[2], b[3]);
        } else {
            unsigned long g[8];
            Ipv6Groups(b, g);
            DebugWrite(LINE_VERBOSE, "HostName = \"%s\", IPv6 = %lx:%lx:%lx:%lx:%lx:%lx:%lx:%lx",
                       name.c_str(), g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7]);
        }
        std::memcpy(bytes_, address.bytes_, wanted);
        return true;
    }
    return false;
}

uint32_t SYSTEM_NAME_RESOLVER::Resolve(const std::string& hostName, AddressFamily family,
                                       std::vector<IP_ADDRESS>* addresses) {
    addresses->clear();
    std::vector<os::RESOLVED_ADDRESS> found;
    uint32_t error = os::ResolveHostAddresses(hostName, family == AddressFamily::V6, &found);
    if (error != 0) {
        return error;
    }
    for (const os::RESOLVED_ADDRESS& address : found) {
        addresses->emplace_back(address.length, address.bytes.data());
    }
    return 0;
}

NAME_RESOLVER& ActiveNameResolver() {
    return *gResolver.load();
}

uint32_t ResolveName(const std::string& hostName, AddressFamily family,
                     std::vector<IP_ADDRESS>* addresses) {
    return ActiveNameResolver().Resolve(hostName, family, addresses);
}

ScopedNameResolver::ScopedNameResolver(NAME_RESOLVER& resolver)
    : previous_(gResolver.exchange(&resolver)) {}

ScopedNameResolver::~ScopedNameResolver() {
    gResolver.store(previous_);
}

}  // namespace wexo::svc
