// The control device across processes. The driver host serves its devices on a Unix socket; in
// another process a device gateway forwards opens, control requests and closes to it. Callers are
// who the kernel says they are (SO_PEERCRED), pinned by a pidfd and their start time, and each
// becomes a process of the host's table with its real pid, so the driver reaches the caller's
// buffers in the caller's own address space (process_vm_readv/writev on that pid), commits regions
// there on request, and receives the caller's events as stand-ins whose signals cross back over an
// eventfd. See docs/bridge.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "os/bridge/peer.h"
#include "os/core/device_gateway.h"
#include "os/core/status.h"

namespace os {

inline constexpr char kDeviceSocketName[] = "device.sock";

// The folder of the bridge sockets: WEXO_RUNTIME_DIR when set, else "/run/wexo".
std::string DeviceBridgeRuntimeDir();

class DEVICE_BRIDGE_SERVER {
  public:
    // Limits that keep one caller from taking the host down. Connections are counted per user
    // (bridge::CONNECTION_LIMITS): root's, the service's among them, never wait for another
    // user's to end.
    static constexpr uint32_t kMaxFrame = 64 * 1024;
    // How long a caller may take to send the rest of a frame, or to answer the host.
    static constexpr int kPeerTimeoutMs = 5'000;

    // `devices` is the host's own gateway (the kernel's). Each caller is the stand-in process
    // os/bridge/peer keeps for it (its real pid, its user's SID), shared with the registry bridge.
    explicit DEVICE_BRIDGE_SERVER(DEVICE_GATEWAY& devices);
    ~DEVICE_BRIDGE_SERVER();
    DEVICE_BRIDGE_SERVER(const DEVICE_BRIDGE_SERVER&) = delete;
    DEVICE_BRIDGE_SERVER& operator=(const DEVICE_BRIDGE_SERVER&) = delete;

    // Listens on `runtimeDir`/device.sock (the folder is made 0755 when missing; an existing one
    // must belong to root or this user and not be writable by others, nor the folders above it).
    // STATUS_SUCCESS or the failure.
    NTSTATUS Start(const std::string& runtimeDir, const bridge::CONNECTION_LIMITS& limits = {});
    // Stops listening and ends every connection; each caller's opens are closed (cleanup, then
    // close) as when its process ends.
    void Stop();

    size_t ConnectionCount() const;
    size_t CallerCount() const;

    struct STATE;

  private:
    std::shared_ptr<STATE> state_;
};

// The gateway of a process whose devices live in the driver host. Each thread of the process talks
// over a connection of its own, so a request that blocks in the driver holds up nobody else.
class DEVICE_BRIDGE_CLIENT final : public DEVICE_GATEWAY {
  public:
    explicit DEVICE_BRIDGE_CLIENT(std::string runtimeDir = DeviceBridgeRuntimeDir());
    ~DEVICE_BRIDGE_CLIENT() override;
    DEVICE_BRIDGE_CLIENT(const DEVICE_BRIDGE_CLIENT&) = delete;
    DEVICE_BRIDGE_CLIENT& operator=(const DEVICE_BRIDGE_CLIENT&) = delete;

    // Without a host the open fails as for a device that is not there
    // (STATUS_OBJECT_NAME_NOT_FOUND).
    NTSTATUS Open(const std::u16string& name, uint32_t processId,
                  std::shared_ptr<void>* file) override;
    void Close(const std::shared_ptr<void>& file) override;
    // A host that went away fails the request with STATUS_DEVICE_DOES_NOT_EXIST.
    NTSTATUS Control(const std::shared_ptr<void>& file, uint32_t code, uint64_t input,
                     uint32_t inputLength, uint64_t output, uint32_t outputLength,
                     uint64_t* information) override;

    struct STATE;

  private:
    std::shared_ptr<STATE> state_;
};

}  // namespace os
