// The driver's control device: its codes, the registration of the service process, the authorised
// thread of the privileged codes, and the cleanup that unregisters the service when its handle
// goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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

    // How long an unanswered challenge stays good.
    static constexpr uint64_t kChallengeLifetimeMs = 30'000;

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

    SERVICE_CALL_QUEUE& queue_;
    PROTECTION_STATE& protection_;
    HOOKS hooks_;
    std::mutex serviceProcessLock_;
    std::shared_ptr<os::DEVICE_OBJECT> device_;
    std::atomic<uint32_t> registeredProcess_{0};

    mutable std::mutex authLock_;
    std::vector<uint8_t> secret_;
    bool challengePending_ = false;
    AuthNonce nonce_{};
    // Requesting threads as (process id << 32) | the thread's number in its process.
    uint64_t challengeThread_ = 0;
    uint64_t challengeTime_ = 0;
    uint64_t authorisedThread_ = 0;
    uint32_t authorisedCode_ = 0;
};

}  // namespace wexo::drv
