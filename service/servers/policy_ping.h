// Availability pings of policy servers and the once-per-process API protocol probe.
//
// Both send HEAD "ostrel_ping" to a server. The request runs on a helper thread of its own while
// the asking thread waits for its answer in an os/ wait on the active clock, cut short by the
// caller's stop objects. So a server that hangs, resets or answers very slowly never keeps a ping
// thread from its stop event, never holds a lock, and time-outs follow a virtual clock in tests.
// A ping waits 20 seconds, and the engine bounds the whole request by the same time in real time
// (absolute time-out). The probe keeps the engine's own time-out (60 seconds of silence) and waits
// that long for each of its two requests: a server slow to answer over HTTPS is not taken for
// one that cannot speak it. A helper whose caller gave up finishes its request on its own.
//
// The per-server ping threads (PingPolicyServerThread), marking a server unavailable and
// StopQueryThreads are members of POLICY_SERVERS (policy_servers.h) and live in policy_ping.cpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "os/core/sync.h"

namespace wexo::svc {

// The page every policy server answers for pings and the protocol probe.
constexpr char kPingPage[] = "ostrel_ping";
// Seconds a ping waits for its answer.
constexpr uint32_t kPingTimeoutSeconds = 20;
// Seconds between two pings of an unavailable server.
constexpr uint32_t kPingRetrySeconds = 20;
// Seconds StopQueryThreads waits for the ping threads to end.
constexpr uint32_t kStopQueryThreadsSeconds = 40;

// Whether a ping answered with `status` counts as available: 200, and 300-399, 500 and 511 (a
// captive portal in front of the server).
bool PingStatusMeansAvailable(int32_t status);

enum class PING_RESULT {
    Available,    // the server answered with a status that counts as available
    Unavailable,  // no answer within the time-out, or another status
    Abandoned,    // a stop object was signalled first; nothing was decided
};

// Pings `server` ("host" or "host:port") through the client an HTTPX_PAIR hands out for the API
// protocol. With stop objects, an Abandoned result sets `*signaled` to WAIT_OBJECT_0 + the index
// of the object that was signalled (and acquired, as a wait acquires it).
PING_RESULT PingPolicyServer(const std::string& server,
                             std::span<os::DispatcherObject* const> stopObjects = {},
                             uint32_t* signaled = nullptr);

// Decides the API protocol from `server` unless it is decided already: HTTPS when the server
// answers the ping page with 200 over HTTPS, else HTTP when it does over plain HTTP; otherwise the
// protocol stays unknown and the next hand-out of a server probes again. A stop object signalled
// during a request ends the probe without a decision.
void ProbeApiProtocol(const std::string& server,
                      std::span<os::DispatcherObject* const> stopObjects = {});

// Ping and probe requests still running on their helper threads (including those whose callers
// gave up). A process that is about to exit, and tests, wait for them.
size_t PingRequestsInFlight();
// Waits in real time until no request is running; false when some still are after `realLimit`.
bool WaitForPingRequests(std::chrono::milliseconds realLimit);

}  // namespace wexo::svc
