// The datagram backend of the filtering engine for DNS on a real machine. The redirect table sends
// the machine's outbound UDP to port 53 here; each query is relayed, from a marked socket of the
// forwarder's own, to the resolver the client asked, and each answer is presented to the engine's
// inbound datagram layer for the client before it goes back, so a driver that rewrites answers
// does so on real ones. Answers leave from the address the redirect rewrote to, and connection
// tracking turns that back into the resolver's address: the client sees its answer come from the
// server it asked.
//
// It forwards DNS and nothing else: a client's message that is not a well-formed standard query,
// and a resolver's that is not a well-formed answer to a query forwarded on that exchange (the
// same ID and question), are dropped and counted, so no other protocol gets through port 53 by
// way of it, in either direction. Nor does it send to itself: a query whose destination is the
// forwarder's own port, a loopback address (where only a query sent straight to a forwarder's
// socket can say it was going) or an address of the machine's own is dropped, so that one
// datagram cannot make it forward to itself until its exchanges are used up.
//
// One exchange per client socket and resolver: its upstream socket and its datagram endpoint, kept
// while datagrams flow and forgotten after a quiet spell. Exchanges are bounded, per client socket
// and in total; a query past a bound is dropped, and the client's own retry finds room once old
// ones expire.
//
// Every answer handed back to a client, over UDP or TCP and rewritten by the driver or not, loses
// the "ech" parameter of its HTTPS and SVCB records (svcb_strip.h), so that browsers send hellos
// whose server name the driver can read.
//
// Forwarded DNS (of containers, virtual machines, a router's clients) comes to sockets of its own
// on every address, on a port of its own, when the table redirects it: it is relayed as the
// machine's own is, and answered from the address it was redirected to.
//
// DNS over TCP takes the same way when the table sends it here: each redirected connection gets
// an upstream connection of its own and an endpoint, and every message (two length bytes, then the
// message) is presented as a datagram would be, so an answer over TCP is rewritten as one over UDP
// is. Each message is checked as a datagram is, and a connection that carries anything else in
// either direction is closed. A thread serves each such connection; they are bounded too.
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

// Why the forwarder does not relay a message.
enum class DNS_CHECK {
    Ok,
    TooShort,  // shorter than a header
    Header,    // a query that is not QR=0, opcode QUERY, TC and RCODE clear; an answer that is not
               // QR=1, opcode QUERY
    Counts,    // not one question; a query with answer or authority records or more than two extra
    Question,  // the question's name is not labels (no pointer) within 255 bytes, or it does not
               // fit with its type and class
    Records,   // a record's name (pointers only to earlier names) or data runs past the message;
               // a query's extra record that is not one EDNS record (OPT, root name) or a signature
    Trailing,  // bytes after the last record
    Unasked,   // an answer whose ID and question are not those of a query forwarded
};
const char* DnsCheckText(DNS_CHECK check);

// What an answer must repeat of its query.
struct DNS_ASKED {
    uint16_t id = 0;
    // The question as the query had it: name in labels, type, class. Compared with the answer's
    // ignoring ASCII case in the name (resolvers echo the query's spelling, but need not).
    std::string question;
};

// A client's message; *asked is filled when it is a query to relay.
DNS_CHECK CheckDnsQuery(std::span<const uint8_t> message, DNS_ASKED* asked);
// A resolver's message against the queries forwarded and not yet answered; *matched is the index
// of the one it answers.
DNS_CHECK CheckDnsAnswer(std::span<const uint8_t> message, std::span<const DNS_ASKED> asked,
                         size_t* matched);

// Whether a query must not be sent to `resolver` whatever it holds: the forwarder's own port on any
// address, port 0, an unspecified (0.0.0.0/8, ::) or IPv4-mapped address, a family other than
// IPv4 and IPv6, or (unless `loopbackResolvers`) a loopback address. An address of the machine's
// own is told by the route (the upstream socket gets it as its source), which this does not ask.
bool IsForbiddenResolver(const sockaddr_storage& resolver, uint16_t ownPort,
                         bool loopbackResolvers);

struct DNS_FORWARDER_OPTIONS {
    // The port on 127.0.0.1 and ::1 (0: one chosen now; both families get the same one).
    uint16_t port = 0;
    // Also on every address, UDP and TCP on one port of their own (forwardedPort, 0: one chosen
    // now), for the DNS the table redirects from traffic the machine forwards. A query there is
    // relayed only when the machine forwards what comes in where it came in (ForwardsFrom), and
    // has no owner.
    bool forwarded = false;
    uint16_t forwardedPort = 0;
    // SO_MARK of the upstream sockets, so that the redirect lets them pass.
    uint32_t mark = 0;
    // An exchange with no datagram for this long is forgotten.
    int idleTimeoutMs = 30'000;
    // Exchanges held at once, and by one client socket (address and port).
    size_t maxExchanges = 4096;
    size_t maxExchangesPerClient = 32;
    // Resolvers on loopback are refused: the redirect leaves loopback traffic alone, so only a
    // query sent straight to a forwarder names one. Tests and benchmarks whose resolvers stand on
    // loopback allow them; the forwarder's own port stays refused.
    bool loopbackResolvers = false;
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
    // Whether a resolver is one the machine is set up to ask (MACHINE_RESOLVERS): the answers of
    // any other are presented as not from a machine resolver, so that the driver does not learn
    // names from them. Unset: every resolver is.
    std::function<bool(const sockaddr_storage& resolver)> machineResolver;
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
    uint64_t notQueries = 0;      // client messages that were not a well-formed query
    uint64_t notAnswers = 0;      // resolver messages that were not an answer to a query sent
    uint64_t refused = 0;         // queries to the forwarder, loopback or the machine itself,
                                  // and forwarded ones from where the machine does not forward
    uint64_t exchanges = 0;       // held now
    uint64_t evicted = 0;         // given up, the quietest, for a new one when all were held
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
    // The port of the sockets for forwarded DNS; 0 without them.
    uint16_t ForwardedPort() const { return forwardedPort_; }
    DNS_FORWARDER_COUNTS Counts() const;

    struct STATE;

  private:
    std::shared_ptr<STATE> state_;
    uint16_t port_ = 0;
    uint16_t forwardedPort_ = 0;
};

}  // namespace os::wfplinux
