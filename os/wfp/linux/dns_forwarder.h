// The datagram backend of the filtering engine for DNS on a real machine. The redirect table sends
// the machine's outbound UDP to port 53 here; each query is relayed, from a marked socket of the
// forwarder's own, to the resolver the client asked, and each answer is presented to the engine's
// inbound datagram layer for the client before it goes back, so a driver that rewrites answers
// does so on real ones. Answers leave from the address the redirect rewrote to, and connection
// tracking turns that back into the resolver's address: the client sees its answer come from the
// server it asked.
//
// One exchange per client socket and resolver: its upstream socket and its datagram endpoint, kept
// while datagrams flow and forgotten after a quiet spell. Exchanges are bounded; a query past the
// bound is dropped, and the client's own retry finds room once old ones expire.
//
// Every answer handed back to a client, over UDP or TCP and rewritten by the driver or not, loses
// the "ech" parameter of its HTTPS and SVCB records (svcb_strip.h), so that browsers send hellos
// whose server name the driver can read.
//
// DNS over TCP takes the same way when the table sends it here: each redirected connection gets
// an upstream connection of its own and an endpoint, and every message (two length bytes, then the
// message) is presented as a datagram would be, so an answer over TCP is rewritten as one over UDP
// is. A thread serves each such connection; they are bounded too.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/wfp/wfp_engine.h"

namespace os::wfplinux {

// The name browsers ask before they turn on DNS over HTTPS by themselves; an NXDOMAIN answer tells
// them the network wants its own resolver used.
inline constexpr char kDohCanaryName[] = "use-application-dns.net";

// The one question of a DNS message: its name in lower case, dotted, without the final dot; its
// type and class; the offset just past it. nullopt unless the message has exactly one question
// with an uncompressed name that fits the message.
struct DNS_QUESTION {
    std::string name;
    uint16_t type = 0;
    uint16_t klass = 0;
    size_t end = 0;
};
std::optional<DNS_QUESTION> ReadDnsQuestion(std::span<const uint8_t> message);

// The NXDOMAIN answer to a standard query for the canary name (any case, one question, either
// class and type); nullopt for anything else, so that only the exact name is answered locally.
std::optional<std::vector<uint8_t>> DohCanaryAnswer(std::span<const uint8_t> query);

struct DNS_FORWARDER_OPTIONS {
    // The port on 127.0.0.1 and ::1 (0: one chosen now; both families get the same one).
    uint16_t port = 0;
    // SO_MARK of the upstream sockets, so that the redirect lets them pass.
    uint32_t mark = 0;
    // An exchange with no datagram for this long is forgotten.
    int idleTimeoutMs = 30'000;
    // Exchanges held at once.
    size_t maxExchanges = 4096;
    bool answerDohCanary = true;
    // Take the Encrypted Client Hello keys ("ech" SvcParams) out of answers.
    bool stripEch = true;
    // DNS over TCP on the same port; connections held at once, and how long one may stay quiet.
    bool tcp = true;
    size_t maxTcpConnections = 64;
    int tcpIdleTimeoutMs = 10'000;
    // Where an accepted TCP connection was going; the default reads the redirect's original
    // destination.
    std::function<bool(int clientFd, sockaddr_storage* resolver)> tcpDestination;
    // Where a client's datagram, received on `redirectedTo`, was going; false when it cannot be
    // told (the datagram is dropped). The default asks connection tracking.
    std::function<bool(const sockaddr_storage& client, const sockaddr_storage& redirectedTo,
                       sockaddr_storage* resolver)>
        destination;
    // The process (an id of the host's process table) that owns the client's socket, when known.
    std::function<std::optional<uint64_t>(const sockaddr_storage& client,
                                          const sockaddr_storage& resolver)>
        owner;
};

struct DNS_FORWARDER_COUNTS {
    uint64_t queries = 0;         // datagrams from clients relayed upstream
    uint64_t answers = 0;         // datagrams from resolvers presented to the engine
    uint64_t delivered = 0;       // datagrams sent back to clients (injected ones included)
    uint64_t canaryAnswers = 0;   // NXDOMAIN answers given for the canary name
    uint64_t echStripped = 0;     // answers delivered without the "ech" parameters they had
    uint64_t dropped = 0;         // no destination, no room, or the upstream socket failed
    uint64_t exchanges = 0;       // held now
    uint64_t tcpConnections = 0;  // TCP connections served now
};

class DNS_FORWARDER {
  public:
    DNS_FORWARDER(FilterEngine& engine, DNS_FORWARDER_OPTIONS options);
    ~DNS_FORWARDER();
    DNS_FORWARDER(const DNS_FORWARDER&) = delete;
    DNS_FORWARDER& operator=(const DNS_FORWARDER&) = delete;

    // Binds both families and starts the loop. 0, or an errno value with the reason in *why.
    int Start(std::string* why);
    void Stop();
    uint16_t Port() const { return port_; }
    DNS_FORWARDER_COUNTS Counts() const;

    struct STATE;

  private:
    std::shared_ptr<STATE> state_;
    uint16_t port_ = 0;
};

}  // namespace os::wfplinux
