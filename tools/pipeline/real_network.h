// The driver host on a real machine: the machine's outbound TCP connections are redirected by the
// product's nftables table to the transparent proxy, which presents each one to the filtering
// engine the driver registered with, as the process that owns the connection; outbound DNS goes
// through the DNS forwarder, whose answers the engine sees; outbound QUIC is refused so that
// browsers fall back to TCP at once. What the machine forwards (containers, virtual machines, a
// router's clients) is filtered alike, as connections without a process. Removed again on Stop (and
// a stale table of a host that crashed is replaced at Start).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace wexo::pipeline {

// Product-key values the real network reads at start.
inline constexpr char kRejectQuicValue[] = "RejectQuic";  // DWORD, default 1
// DNS over TLS and over QUIC (TCP and UDP port 853) refused, so that browsers use the system
// resolver the DNS forwarder sees.
inline constexpr char kRejectPort853Value[] = "RejectPort853";  // DWORD, default 1
// The DNS-over-HTTPS canary name answered NXDOMAIN by the DNS forwarder.
inline constexpr char kBlockDohCanaryValue[] = "BlockDohCanary";  // DWORD, default 1
// The "ech" key taken out of the HTTPS and SVCB records the DNS forwarder relays, so that
// browsers do not start Encrypted Client Hello and the filter sees the real server name.
inline constexpr char kStripEchValue[] = "StripEch";  // DWORD, default 1
// Connections, DNS and QUIC the machine forwards filtered as its own; 0 leaves them alone.
inline constexpr char kFilterForwardedValue[] = "FilterForwarded";  // DWORD, default 1

class REAL_NETWORK {
  public:
    REAL_NETWORK();
    ~REAL_NETWORK();
    REAL_NETWORK(const REAL_NETWORK&) = delete;
    REAL_NETWORK& operator=(const REAL_NETWORK&) = delete;

    // False (with the reason) when the proxy or the table cannot be set up; nothing stays then.
    bool Start(std::string* why);
    void Stop();
    uint16_t ProxyPort() const;
    uint16_t DnsPort() const;
    bool RejectsQuic() const;
    bool BlocksDohCanary() const;
    bool StripsEch() const;
    bool FiltersForwarded() const;
    // Connections the proxy holds now (0 when not started).
    uint64_t OpenConnections() const;

    struct PARTS;

  private:
    std::unique_ptr<PARTS> parts_;
};

}  // namespace wexo::pipeline
