// The nftables table that sends the host's traffic through the driver host: outbound TCP to the
// transparent proxy, outbound DNS to the DNS forwarder, and outbound QUIC and DNS over TLS or QUIC
// (port 853) refused so that browsers fall back to TCP and to the system resolver. The proxy's own
// sockets carry a mark (SetSocketMark) and pass untouched, as does everything on the loopback
// interface. Traffic the machine forwards (containers and virtual machines on a bridge, a router's
// clients) is treated alike when asked: its TCP and DNS redirected in the prerouting hook to the
// proxy's and the forwarder's listeners for it, its QUIC and port 853 refused in the forward hook,
// and those listeners' ports closed to everything the table did not redirect there. While
// installed, the table is watched (os/wfp/linux/nft_watch.h) and put back when another program
// changes it.
//
// The table lives in the network namespace of the thread that installed it; removal goes to that
// namespace from whichever thread removes it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "os/wfp/linux/nft_watch.h"

namespace os {

// "WEXO" in ASCII: the mark of the proxy's own sockets.
constexpr uint32_t kProxySocketMark = 0x5745584f;

struct NFT_TABLE_OPTIONS {
    // Letters, digits and '_', starting with a letter; at most 64 characters.
    std::string tableName = "wexo";
    uint32_t mark = kProxySocketMark;
    // Where outbound TCP goes (on 127.0.0.1 for IPv4, ::1 for IPv6); required.
    uint16_t tcpProxyPort = 0;
    // Where outbound UDP to port 53 goes; 0 leaves DNS alone.
    uint16_t dnsPort = 0;
    // With a DNS port: TCP to port 53 goes there too, rather than to the proxy.
    bool dnsOverTcp = true;
    // Outbound datagrams that open a QUIC connection, to any port, are answered with an ICMP
    // port unreachable and counted in the table's counter kQuicCounter.
    bool rejectQuic = true;
    // Outbound TCP and UDP to port 853 (DNS over TLS, DNS over QUIC) refused at once, with a reset
    // and an ICMP port unreachable, so that a client falls back to the system resolver rather than
    // wait; counted in kPort853Counter.
    bool rejectPort853 = true;
    // Where forwarded TCP goes (the address of the interface it came in on: a redirect in the
    // prerouting hook can aim at no other); 0 leaves forwarded traffic alone, QUIC and port 853
    // included. Only connections the table redirected reach this port.
    uint16_t forwardedTcpProxyPort = 0;
    // Where forwarded DNS (UDP, and TCP with dnsOverTcp) goes, likewise; 0 leaves it alone.
    uint16_t forwardedDnsPort = 0;
    // Watched while installed: a change another program makes is undone (NFT_WATCH). The event
    // log's source and the debug line's destination of the watch (the debugger when empty).
    bool watch = true;
    std::string eventSource = "WexoWfp";
    std::function<void(const std::string& line)> debugLog;
};

inline constexpr char kQuicCounter[] = "quic_refused";
inline constexpr char kPort853Counter[] = "port853_refused";

class NFT_TABLE {
  public:
    NFT_TABLE() = default;
    // Removes the table if it is installed.
    ~NFT_TABLE();
    NFT_TABLE(const NFT_TABLE&) = delete;
    NFT_TABLE& operator=(const NFT_TABLE&) = delete;

    // Replaces any table of the same name (a stale one of a crashed run included) and the table
    // this object installed before, in one transaction: either the new rules are all in place or
    // nothing changed. ERROR_SUCCESS, ERROR_INVALID_PARAMETER for bad options or rules nft
    // rejects, ERROR_ACCESS_DENIED without CAP_NET_ADMIN, ERROR_NOT_FOUND or ERROR_NOT_SUPPORTED
    // when the kernel lacks a feature, ERROR_GEN_FAILURE otherwise; `message` gets nft's text.
    uint32_t Install(const NFT_TABLE_OPTIONS& options, std::string* message = nullptr);
    // Deletes the installed table; ERROR_SUCCESS when none is installed or it is already gone.
    uint32_t Remove(std::string* message = nullptr);
    bool Installed() const;
    // The watch of the installed table (not running when the options asked for none).
    const NFT_WATCH& Watch() const { return watch_; }

    // The commands Install runs, for diagnostics; empty for invalid options.
    static std::string Commands(const NFT_TABLE_OPTIONS& options,
                                const std::string& previousTable = "");

  private:
    uint32_t RemoveLocked(std::string* message);
    // Watches the installed table as `options` made it, if they ask for that.
    void StartWatch(const NFT_TABLE_OPTIONS& options);

    mutable std::mutex lock_;
    std::string installedName_;   // empty when none is installed
    int namespaceFd_ = -1;        // the network namespace it is installed in
    NFT_TABLE_OPTIONS previous_;  // what the installed table was made with
    NFT_WATCH watch_;
};

// Runs nft commands (one transaction per call) in the calling thread's network namespace; the
// Win32-style result as Install gives it, nft's error text in `message`, its output in `output`
// (formatted with libnftables' NFT_CTX_OUTPUT_* `outputFlags`).
uint32_t RunNftCommands(const std::string& commands, std::string* message = nullptr,
                        std::string* output = nullptr, unsigned outputFlags = 0);

}  // namespace os
