// IPv4, IPv6 and UDP headers as the network carries them: building them for datagrams the engine
// indicates or a driver injects, and checking them on the way in. All multi-byte fields are in
// network byte order inside the packet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace os {

enum class AddressFamily : uint16_t {
    Unspecified = 0,
    IPv4 = 2,
    IPv6 = 23,
};

constexpr size_t kIPv4HeaderSize = 20;
constexpr size_t kIPv6HeaderSize = 40;
constexpr size_t kUdpHeaderSize = 8;
constexpr uint8_t IPPROTO_TCP_VALUE = 6;
constexpr uint8_t IPPROTO_UDP_VALUE = 17;

// An address in network byte order: 4 bytes used for IPv4, 16 for IPv6.
struct IP_ADDRESS_BYTES {
    AddressFamily family = AddressFamily::Unspecified;
    std::array<uint8_t, 16> bytes{};

    std::span<const uint8_t> View() const {
        return {bytes.data(), family == AddressFamily::IPv4 ? size_t{4} : size_t{16}};
    }
    // The IPv4 address as the filtering engine hands it to callouts: a number in host order.
    uint32_t V4HostOrder() const {
        return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    }
    bool operator==(const IP_ADDRESS_BYTES&) const = default;
};

IP_ADDRESS_BYTES MakeIPv4Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
IP_ADDRESS_BYTES MakeIPv4Address(uint32_t hostOrder);
IP_ADDRESS_BYTES MakeIPv6Address(const std::array<uint8_t, 16>& bytes);

// The Internet checksum (ones' complement of the ones' complement sum) over bytes, folded into an
// initial partial sum.
uint16_t InternetChecksum(std::span<const uint8_t> bytes, uint32_t initialSum = 0);

// Writes an IP header for a packet of `payloadLength` bytes after the header into `out` (20 bytes
// for IPv4 with its checksum, 40 for IPv6).
void WriteIpHeader(std::span<uint8_t> out, AddressFamily family, const IP_ADDRESS_BYTES& source,
                   const IP_ADDRESS_BYTES& destination, uint8_t protocol, size_t payloadLength);
// Sets the UDP checksum of `udp` (header and payload) for the given addresses.
void WriteUdpChecksum(std::span<uint8_t> udp, const IP_ADDRESS_BYTES& source,
                      const IP_ADDRESS_BYTES& destination);

// A whole UDP packet: IP header, UDP header with length and checksum, payload.
std::vector<uint8_t> BuildUdpPacket(const IP_ADDRESS_BYTES& source, uint16_t sourcePort,
                                    const IP_ADDRESS_BYTES& destination, uint16_t destinationPort,
                                    std::span<const uint8_t> payload);

// What a received UDP packet says about itself, when its headers are sound: versions, lengths and
// the IPv4 header checksum agree, the protocol is UDP, the UDP length matches and its checksum
// (when present) is right.
struct UDP_PACKET_VIEW {
    IP_ADDRESS_BYTES source;
    IP_ADDRESS_BYTES destination;
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    size_t ipHeaderSize = 0;
    std::span<const uint8_t> payload;
};
std::optional<UDP_PACKET_VIEW> ParseUdpPacket(std::span<const uint8_t> packet);

}  // namespace os
