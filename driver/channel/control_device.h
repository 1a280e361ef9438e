// The driver's control device: its codes, the registration of the service process, the authorised
// thread of the privileged codes, and the cleanup that unregisters the service when its handle
// goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/caller_auth.h"
#include "driver/channel/service_call_queue.h"
#include "driver/protection/protection_state.h"
#include "os/kernel/device.h"

namespace wexo::drv {

class CONTROL_DEVICE {
  public:
    // What the privileged codes reach beyond the protection switches: the driver image of the
    // self-update (replace, release) and the DNS-remap resolver thread that registration wakes.
    struct HOOKS {
        std::function<os::NTSTATUS(const os::CallerMemory& caller, uint64_t input,
                                   uint32_t inputLength)>
            updateDriverImage;
        std::function<void()> releaseDriverImage;
        std::function<void()> wakeResolver;
        // The registered service process changed (0: none); the filter ignores its connections.
        std::function<void(uint32_t processId)> serviceProcessChanged;
    };

    // How long an unanswered challenge stays good, and an authorisation not yet used.
    static constexpr uint64_t kChallengeLifetimeMs = 30'000;
    // Requesting threads that may hold a challenge or an authorisation at once. Each thread has
    // its own, so no caller's challenge replaces another's; when the table is full, the oldest
    // entry of the user who holds the most entries goes, so a flood costs its sender its own.
    static constexpr size_t kChallengeTableSize = 64;

    CONTROL_DEVICE(SERVICE_CALL_QUEUE& queue, PROTECTION_STATE& protection, HOOKS hooks = {});
    ~CONTROL_DEVICE();

    // Creates "\Device\WexoWfp" with its link; on failure nothing is left behind.
    os::NTSTATUS Create();
    void Delete();

    // The installation's secret for the caller authentication; none means no thread is ever
    // authorised.
    void SetAuthSecret(std::vector<uint8_t> secret);

    // The registered service process, 0 when none. Read without locks by the filter and the
    // protections.
    uint32_t RegisteredProcessId() const { return registeredProcess_.load(); }

    // The fast device-control entry and the cleanup routine.
    bool FastIoDeviceControl(const os::FAST_IO_DEVICE_CONTROL_ARGS& args,
                             os::IO_STATUS_BLOCK& status);
    void Cleanup(os::FILE_OBJECT& file);

  private:
    void ServiceProcessChanged();
    os::NTSTATUS Dispatch(const os::FAST_IO_DEVICE_CONTROL_ARGS& args, uint64_t* information);
    os::NTSTATUS GetVersion(const os::FAST_IO_DEVICE_CONTROL_ARGS& args, uint64_t* information);
    os::NTSTATUS Register(const os::FAST_IO_DEVICE_CONTROL_ARGS& args, uint64_t* information);
    os::NTSTATUS Challenge(const os::FAST_IO_DEVICE_CONTROL_ARGS& args, uint64_t* information);
    os::NTSTATUS Respond(const os::FAST_IO_DEVICE_CONTROL_ARGS& args);
    os::NTSTATUS UpdateDriver(const os::FAST_IO_DEVICE_CONTROL_ARGS& args);
    os::NTSTATUS Attach(const os::FAST_IO_DEVICE_CONTROL_ARGS& args);
    os::NTSTATUS Input(const os::FAST_IO_DEVICE_CONTROL_ARGS& args);
    os::NTSTATUS Output(const os::FAST_IO_DEVICE_CONTROL_ARGS& args);
    os::NTSTATUS Extend(const os::FAST_IO_DEVICE_CONTROL_ARGS& args);
    // One-shot: true when the calling thread was authorised for this code; the authorisation ends.
    bool TakeAuthorisation(uint32_t code);

    // One requesting thread's challenge and, once it is answered right, its authorisation.
    struct CALLER_AUTH {
        // (process id << 32) | the thread's number in its process.
        uint64_t thread = 0;
        // The SID of the thread's process: whose entries the table's bound takes first.
        std::vector<uint8_t> user;
        AuthNonce nonce{};
        // Tick count of the challenge, then of the authorisation.
        uint64_t since = 0;
        // The privileged code authorised; 0 while the challenge waits for its answer.
        uint32_t authorisedCode = 0;
    };
    std::optional<size_t> FindCallerLocked(uint64_t thread) const;
    // Drops expired entries, then, while the table is full, the busiest user's oldest.
    void MakeRoomLocked(uint64_t now);

    SERVICE_CALL_QUEUE& queue_;
    PROTECTION_STATE& protection_;
    HOOKS hooks_;
    std::mutex serviceProcessLock_;
    std::shared_ptr<os::DEVICE_OBJECT> device_;
    std::atomic<uint32_t> registeredProcess_{0};

    mutable std::mutex authLock_;
    std::vector<uint8_t> secret_;
    std::vector<CALLER_AUTH> callers_;
};

}  // namespace wexo::drv
