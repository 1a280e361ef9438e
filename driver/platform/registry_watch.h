// The registry-watch thread: opens the product key (retrying every 10 ms until it can), reads the
// product settings, and then reads them again after every change of the key's values; a change of
// the driver's own service key has the debug settings read again instead.
#pragma once

#include <cstdint>
#include <functional>

#include "driver/platform/driver_settings.h"
#include "driver/platform/system_thread.h"
#include "os/core/status.h"
#include "os/core/sync.h"
#include "os/kernel/pool.h"
#include "os/registry/registry.h"

namespace wexo::drv {

class REGISTRY_WATCH {
  public:
    static constexpr uint32_t kEventTag = os::MakePoolTag("RWev");
    static constexpr uint32_t kOpenRetryMs = 10;
    static constexpr uint32_t kStopTimeoutSeconds = 30;

    explicit REGISTRY_WATCH(DRIVER_SETTINGS& settings);
    ~REGISTRY_WATCH();
    REGISTRY_WATCH(const REGISTRY_WATCH&) = delete;
    REGISTRY_WATCH& operator=(const REGISTRY_WATCH&) = delete;

    // Creates the product-key and service-key change events (auto-reset, not signalled). One that
    // cannot be created stays absent: without the product-key event the thread cannot start,
    // without the service-key event only the product key is watched.
    void CreateEvents();
    bool HasProductKeyEvent() const { return productEvent_ != nullptr; }
    bool HasServiceKeyEvent() const { return serviceEvent_ != nullptr; }

    // Starts the thread. `serviceKey` (may be null) is watched through a handle of the watch's
    // own; `readDebugSettings` runs on the thread after each change of it. Returns the thread's
    // creation status, or STATUS_INSUFFICIENT_RESOURCES without the product-key event.
    os::NTSTATUS Start(const os::RegKey* serviceKey, std::function<void()> readDebugSettings);

    // Asks the thread to end and waits for it; true when it ended (or never ran).
    bool Stop();
    // Stops the thread, closes the key handles and the events and frees the remap list. A thread
    // that did not end in time keeps its key, its events and the list, so that it never touches
    // freed ones.
    void Release();

  private:
    static void ThreadMain(SystemThread* record);
    void Run(SystemThread* record);
    bool OpenProductKey(SystemThread* record);
    static os::Event* NewEvent();
    static void DeleteEvent(os::Event* event);

    DRIVER_SETTINGS& settings_;
    os::Event* productEvent_ = nullptr;  // also the thread's stop event
    os::Event* serviceEvent_ = nullptr;
    os::RegKey serviceKey_;
    std::function<void()> readDebugSettings_;
    SystemThread thread_;
    bool abandoned_ = false;
};

}  // namespace wexo::drv
