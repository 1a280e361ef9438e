// The stream backend of the filtering engine on a real machine: a transparent TCP proxy. The
// machine's outbound connections are redirected to its listener (nft_table); each accepted
// connection learns where its client meant to go, opens that connection itself (marked, so it is
// not redirected again) and presents the two byte streams to the engine's stream layer as one
// flow, with the engine's contract (os/wfp/wfp_flow.h): permitted bytes are written on in order,
// absorbed ones are not, a FIN is a half-close, a reset resets both sockets, injected bytes are
// written to the side they name. Once the engine lets a flow's connection pass and nothing is
// held, its bytes move with splice(2) through a pipe, without copies to user space and without a
// classify per segment.
//
// One event-loop thread serves every socket; deliveries may come from any thread (verdicts are
// injected by the driver's lookup workers) and write at once when the socket takes them. What a
// side cannot take yet is buffered up to a bound; past it the proxy stops reading the side that
// sends, so a client or server that stops reading never makes the proxy buffer without bound.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "os/wfp/wfp_engine.h"

namespace os::wfplinux {

// An accepted connection as the proxy knows it before it opens the upstream side.
struct PROXIED_CONNECTION {
    sockaddr_storage client{};       // the client's own address and port
    sockaddr_storage destination{};  // where the client meant to go
    // Accepted on the listeners for forwarded traffic: the client is another machine (or a
    // container or virtual machine this one routes for), whose process nobody here can know.
    bool forwarded = false;
};

struct TCP_PROXY_OPTIONS {
    // The listening port on 127.0.0.1 and ::1 (0: one chosen now).
    uint16_t port = 0;
    // Also listens on every address, on a port of its own (forwardedPort, 0: one chosen now), for
    // the connections the table redirects from traffic the machine forwards. One is taken only
    // when it was redirected (its original destination is not the listener itself) and the
    // machine forwards what comes in where it came in (ForwardsFrom); else it is reset. No owner
    // is looked for: its flow has no process.
    bool forwarded = false;
    uint16_t forwardedPort = 0;
    // SO_MARK of the proxy's own upstream sockets, so that the redirect lets them pass.
    uint32_t mark = 0;
    // What one direction may hold for a receiver that does not read, before the sender is no
    // longer read.
    size_t maxBufferedPerDirection = 256 * 1024;
    // What one direction may have read and handed to the engine that was not delivered yet (held
    // by a callout while a lookup is pending, or kept for need-more-data), before its sender is no
    // longer read. It must exceed the most a callout gathers before it judges (a request head of up
    // to 1 MiB), or that flow would wait for bytes that never come.
    size_t maxHeldPerDirection = 2 * 1024 * 1024;
    // How long a side stays held back for that: longer than any lookup may take (240 s). Past it
    // the callout is taken to discard what it takes, and the side is read to its end.
    int64_t maxHeldMs = 250'000;
    // How long an upstream connect may take before the client is reset.
    int connectTimeoutMs = 30'000;
    // Connections the engine lets pass are handed to relay processes (splice_relay.h), so that
    // the host's descriptors go only to the connections it still inspects.
    bool relayPassedFlows = false;
    // How many connections one relay takes before another is started (0: what the descriptor
    // limit allows, each connection taking two descriptors and a moving one up to four more).
    size_t connectionsPerRelay = 0;
    // Every connection takes two descriptors, and a spliced one four more while it moves bytes
    // (idle ones give their pipes back): Start raises the process's limit to the most allowed,
    // unless told not to.
    bool raiseDescriptorLimit = true;
    // Where an accepted connection meant to go; false when it cannot be told (the connection is
    // refused). The default reads the redirect's original destination.
    std::function<bool(int clientFd, PROXIED_CONNECTION* connection)> destination;
    // The process (an id of the host's process table) that owns the client's socket, when known.
    std::function<std::optional<uint64_t>(const PROXIED_CONNECTION& connection)> owner;
};

struct TCP_PROXY_COUNTS {
    uint64_t accepted = 0;
    uint64_t refused = 0;  // no destination, no descriptor, the accept failed, or (forwarded)
                           // not redirected or from where the machine does not forward
    uint64_t upstreamFailed = 0;  // refused, reset or timed out: the client was reset
    uint64_t spliced = 0;         // connections that went over to splice
    uint64_t relayed = 0;         // passed connections handed to a relay process
    uint64_t relays = 0;          // relay processes started
    uint64_t clientGone = 0;      // the client reset before the upstream side was open
    uint64_t moved = 0;           // server ends opened again elsewhere for the engine
    uint64_t open = 0;            // relayed ones included
    // The most one direction of one connection ever held for its receiver.
    uint64_t bufferedHighWater = 0;
    // The most one direction of one connection ever had read and not yet delivered.
    uint64_t heldHighWater = 0;
    // Bytes read from or written to either side of any connection here (relays not included): a
    // watcher tells work from a loop that spins by whether this moves.
    uint64_t bytesMoved = 0;
};

class TCP_PROXY {
  public:
    TCP_PROXY(FilterEngine& engine, TCP_PROXY_OPTIONS options);
    // Every open connection is reset (its flow ends), then the loop stops.
    ~TCP_PROXY();
    TCP_PROXY(const TCP_PROXY&) = delete;
    TCP_PROXY& operator=(const TCP_PROXY&) = delete;

    // Listens and starts the loop. 0, or an errno value with the reason in *why.
    int Start(std::string* why);
    void Stop();
    uint16_t Port() const { return port_; }
    // The port of the listeners for forwarded traffic; 0 without them.
    uint16_t ForwardedPort() const { return forwardedPort_; }
    TCP_PROXY_COUNTS Counts() const;
    // The relay processes running now.
    std::vector<pid_t> RelayProcesses() const;

    struct STATE;

  private:
    std::shared_ptr<STATE> state_;
    uint16_t port_ = 0;
    uint16_t forwardedPort_ = 0;
};

}  // namespace os::wfplinux
