// The registry across processes. The driver host holds the registry store (its system registry)
// and serves it on a Unix socket ("registry.sock" in the runtime folder); every other process
// installs the client at start, after which its os::Reg* and os::Zw* calls reach the host's store
// with the results and error codes they would have there.
//
// In the host, each request runs as the calling process: the simulated process that stands for
// the peer (bridge::PEER_PROCESS: the peer's SID from its uid, its session), so that registry
// callbacks see who asks, and the store's access check judges the peer's uid as the kernel gave
// it (os/registry/registry_security.h: every user reads, only root changes HKLM). Keys a client
// opens live in the host, in a table of its connection, and are closed when the client closes them
// or the connection ends (the client died). A change notification is armed in the host on an event
// of the host's own; when it fires, the host sends a notification frame and the client sets the
// event it was given.
//
// Without a host, or once the connection is lost, calls fail with STATUS_REGISTRY_UNREACHABLE
// (Win32: ERROR_CANTOPEN, ERROR_CANTREAD, ERROR_CANTWRITE); the next call tries to reach the host
// again. Keys opened on a lost connection stay unusable (the host that had them closed them), and
// the notifications armed through it are set, so that a waiter looks again and learns that the
// registry is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/bridge/peer.h"
#include "os/registry/registry.h"

namespace os {

constexpr char kRegistrySocketName[] = "registry.sock";

// A value only callers running as root may read through the bridge: a secret of the host (the
// driver's authentication secret) that an ordinary local user must not learn, as a Windows key's
// access list would keep it. `key` is the full kernel name ("\REGISTRY\MACHINE\..."); names
// compare without case.
struct REGISTRY_SECRET_VALUE {
    std::string key;
    std::string value;
};

struct REGISTRY_BRIDGE_OPTIONS {
    // Reading one of these (by name or by enumeration with its data) is STATUS_ACCESS_DENIED for
    // any other caller.
    std::vector<REGISTRY_SECRET_VALUE> secretValues;
    bridge::CONNECTION_LIMITS connections;
    size_t maxHandlesPerConnection = 4096;
    // Armed notifications per connection (the host waits for them together with one wake event).
    size_t maxNotificationsPerConnection = MAXIMUM_WAIT_OBJECTS - 1;
    bridge::FRAME_OPTIONS frames{.maxPayload = (1u << 20) + 4096};
};

// The host's end. Start makes the socket in the runtime folder and serves the system registry as
// it is at Start (SystemRegistry()); Stop closes every connection.
class REGISTRY_BRIDGE_SERVER {
  public:
    REGISTRY_BRIDGE_SERVER();
    ~REGISTRY_BRIDGE_SERVER();
    REGISTRY_BRIDGE_SERVER(const REGISTRY_BRIDGE_SERVER&) = delete;
    REGISTRY_BRIDGE_SERVER& operator=(const REGISTRY_BRIDGE_SERVER&) = delete;

    // ERROR_SUCCESS, or the Win32 error with the reason in *why (runtime folder refused, another
    // server on the socket, ...).
    uint32_t Start(const std::string& runtimeDir = bridge::RuntimeDirectory(),
                   const REGISTRY_BRIDGE_OPTIONS& options = {}, std::string* why = nullptr);
    void Stop();

    std::string SocketPath() const;
    size_t ConnectionCount() const;
    size_t RefusedConnectionCount() const;
    // Keys clients hold open, over all connections.
    size_t OpenHandleCount() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

struct REGISTRY_BRIDGE_CLIENT_OPTIONS {
    int responseTimeoutMs = 30000;  // a host that does not answer in time is taken as lost
    bridge::FRAME_OPTIONS frames{.maxPayload = (1u << 20) + 4096};
};

// A store whose every operation goes to the host at runtimeDir/registry.sock; it connects at once
// (*connectError: ERROR_SUCCESS or why the host could not be reached) and again on later calls
// while the host cannot be reached.
std::shared_ptr<RegistryStore> OpenRegistryBridge(
    const std::string& runtimeDir, const REGISTRY_BRIDGE_CLIENT_OPTIONS& options = {},
    uint32_t* connectError = nullptr);

// What a program that is not the host calls at start: installs the bridged store as the
// process's registry (SystemRegistry()). Returns ERROR_SUCCESS when the host answered, else the
// error of the connection; the bridge is installed either way, so that without a host the
// registry fails instead of quietly being an empty store of this process.
uint32_t ConnectRegistryBridge(const std::string& runtimeDir = bridge::RuntimeDirectory());
// Puts back the registry that was installed before ConnectRegistryBridge.
void DisconnectRegistryBridge();

}  // namespace os
