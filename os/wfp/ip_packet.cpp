#include "os/wfp/ip_packet.h"

#include <algorithm>

namespace os {
namespace {

void Put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

uint16_t Get16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

uint32_t SumWords(std::span<const uint8_t> bytes, uint32_t sum) {
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        sum += static_cast<uint32_t>(bytes[i]) << 8 | bytes[i + 1];
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (i < bytes.size()) {
        sum += static_cast<uint32_t>(bytes[i]) << 8;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
}

uint32_t PseudoHeaderSum(const IP_ADDRESS_BYTES& source, const IP_ADDRESS_BYTES& destination,
                         uint8_t protocol, size_t length) {
    uint32_t sum = SumWords(source.View(), 0);
    sum = SumWords(destination.View(), sum);
    sum += protocol;
    sum += static_cast<uint32_t>(length & 0xFFFF);
    sum += static_cast<uint32_t>(length >> 16);
    return sum;
}

}  // namespace

IP_ADDRESS_BYTES MakeIPv4Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    IP_ADDRESS_BYTES address;
    address.family = AddressFamily::IPv4;
    address.bytes[0] = a;
    address.bytes[1] = b;
    address.bytes[2] = c;
    address.bytes[3] = d;
    return address;
}

IP_ADDRESS_BYTES MakeIPv4Address(uint32_t hostOrder) {
    return MakeIPv4Address(static_cast<uint8_t>(hostOrder >> 24),
                           static_cast<uint8_t>(hostOrder >> 16),
                           static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder));
}

IP_ADDRESS_BYTES MakeIPv6Address(const std::array<uint8_t, 16>& bytes) {
    IP_ADDRESS_BYTES address;
    address.family = AddressFamily::IPv6;
    address.bytes = bytes;
    return address;
}

uint16_t InternetChecksum(std::span<const uint8_t> bytes, uint32_t initialSum) {
    uint32_t sum = SumWords(bytes, initialSum);
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

void WriteIpHeader(std::span<uint8_t> out, AddressFamily family, const IP_ADDRESS_BYTES& source,
                   const IP_ADDRESS_BYTES& destination, uint8_t protocol, size_t payloadLength) {
    if (family == AddressFamily::IPv4) {
        std::fill(out.begin(), out.begin() + kIPv4HeaderSize, 0);
        out[0] = 0x45;
        Put16(&out[2], static_cast<uint16_t>(kIPv4HeaderSize + payloadLength));
        out[8] = 128;
        out[9] = protocol;
        std::copy_n(source.bytes.begin(), 4, out.begin() + 12);
        std::copy_n(destination.bytes.begin(), 4, out.begin() + 16);
        Put16(&out[10], InternetChecksum(out.first(kIPv4HeaderSize)));
        return;
    }
    std::fill(out.begin(), out.begin() + kIPv6HeaderSize, 0);
    out[0] = 0x60;
    Put16(&out[4], static_cast<uint16_t>(payloadLength));
    out[6] = protocol;
    out[7] = 128;
    std::copy_n(source.bytes.begin(), 16, out.begin() + 8);
    std::copy_n(destination.bytes.begin(), 16, out.begin() + 24);
}

void WriteUdpChecksum(std::span<uint8_t> udp, const IP_ADDRESS_BYTES& source,
                      const IP_ADDRESS_BYTES& destination) {
    if (udp.size() < kUdpHeaderSize) {
        return;
    }
    Put16(&udp[6], 0);
    uint16_t checksum =
        InternetChecksum(udp, PseudoHeaderSum(source, destination, IPPROTO_UDP_VALUE, udp.size()));
    // A computed zero is sent as all ones: zero means "no checksum".
    Put16(&udp[6], checksum == 0 ? 0xFFFF : checksum);
}

std::vector<uint8_t> BuildUdpPacket(const IP_ADDRESS_BYTES& source, uint16_t sourcePort,
                                    const IP_ADDRESS_BYTES& destination, uint16_t destinationPort,
                                    std::span<const uint8_t> payload) {
    size_t ipSize = source.family == AddressFamily::IPv4 ? kIPv4HeaderSize : kIPv6HeaderSize;
    size_t udpSize = kUdpHeaderSize + payload.size();
    std::vector<uint8_t> packet(ipSize + udpSize);
    WriteIpHeader(packet, source.family, source, destination, IPPROTO_UDP_VALUE, udpSize);
    uint8_t* udp = packet.data() + ipSize;
    Put16(udp, sourcePort);
    Put16(udp + 2, destinationPort);
    Put16(udp + 4, static_cast<uint16_t>(udpSize));
    std::copy(payload.begin(), payload.end(), udp + kUdpHeaderSize);
    WriteUdpChecksum(std::span<uint8_t>(udp, udpSize), source, destination);
    return packet;
}

std::optional<UDP_PACKET_VIEW> ParseUdpPacket(std::span<const uint8_t> packet) {
    if (packet.empty()) {
        return std::nullopt;
    }
    UDP_PACKET_VIEW view;
    size_t udpLength = 0;
    uint8_t version = packet[0] >> 4;
    if (version == 4) {
        if (packet.size() < kIPv4HeaderSize) {
            return std::nullopt;
        }
        size_t headerSize = static_cast<size_t>(packet[0] & 0x0F) * 4;
        if (headerSize < kIPv4HeaderSize || headerSize > packet.size() ||
            Get16(&packet[2]) != packet.size() || packet[9] != IPPROTO_UDP_VALUE ||
            InternetChecksum(packet.first(headerSize)) != 0) {
            return std::nullopt;
        }
        view.source = MakeIPv4Address(packet[12], packet[13], packet[14], packet[15]);
        view.destination = MakeIPv4Address(packet[16], packet[17], packet[18], packet[19]);
        view.ipHeaderSize = headerSize;
    } else if (version == 6) {
        if (packet.size() < kIPv6HeaderSize || packet[6] != IPPROTO_UDP_VALUE ||
            Get16(&packet[4]) != packet.size() - kIPv6HeaderSize) {
            return std::nullopt;
        }
        std::array<uint8_t, 16> bytes{};
        std::copy_n(packet.begin() + 8, 16, bytes.begin());
        view.source = MakeIPv6Address(bytes);
        std::copy_n(packet.begin() + 24, 16, bytes.begin());
        view.destination = MakeIPv6Address(bytes);
        view.ipHeaderSize = kIPv6HeaderSize;
    } else {
        return std::nullopt;
    }
    std::span<const uint8_t> udp = packet.subspan(view.ipHeaderSize);
    if (udp.size() < kUdpHeaderSize) {
        return std::nullopt;
    }
    udpLength = Get16(&udp[4]);
    if (udpLength != udp.size()) {
        return std::nullopt;
    }
    uint16_t checksum = Get16(&udp[6]);
    bool checksumRequired = version == 6;
    if (checksum != 0 || checksumRequired) {
        uint32_t pseudo =
            PseudoHeaderSum(view.source, view.destination, IPPROTO_UDP_VALUE, udp.size());
        if (InternetChecksum(udp, pseudo) != 0) {
            return std::nullopt;
        }
    }
    view.sourcePort = Get16(&udp[0]);
    view.destinationPort = Get16(&udp[2]);
    view.payload = udp.subspan(kUdpHeaderSize);
    return view;
}

}  // namespace os
