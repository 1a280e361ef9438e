// The driver started in the calling process over the filtering engine and its simulated network,
// through its start routine: the pipeline runs it beside the service, the driver host runs it
// alone and serves its device to other processes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "os/core/sync.h"
#include "os/wfp/sim/sim_network.h"

namespace wexo::drv {
class WEXO_DRIVER;
}  // namespace wexo::drv

namespace wexo::pipeline {

class IN_PROCESS_DRIVER {
  public:
    IN_PROCESS_DRIVER();
    ~IN_PROCESS_DRIVER();
    IN_PROCESS_DRIVER(const IN_PROCESS_DRIVER&) = delete;
    IN_PROCESS_DRIVER& operator=(const IN_PROCESS_DRIVER&) = delete;

    // Before Start: the driver's image is the file of this native name (the host's own program),
    // held while the driver runs and replaced by its self-update, which takes only whole ELF
    // executables. Without it the driver has no image file.
    void SetImagePath(std::u16string imagePath) { imagePath_ = std::move(imagePath); }
    // Starts the pieces in the order of a boot; false leaves nothing running.
    bool Start();
    void Stop();

    // The simulated network through the engine (made by Start), and its end before the rest
    // stops, so that no connection is indicated to a service that is going away.
    os::SimNetwork& Network();
    void CloseNetwork();
    // Set each time a service registers (and cleared when it goes).
    os::Event& ServiceRegistered();
    uint32_t ServiceProcessId() const { return serviceProcessId_.load(); }
    uint64_t CompletedLookups() const;
    // The driver itself, while started.
    drv::WEXO_DRIVER& Driver();

  private:
    struct PARTS;
    std::unique_ptr<PARTS> parts_;
    std::u16string imagePath_;
    std::atomic<uint32_t> serviceProcessId_{0};
    os::Event registered_{os::EventType::Notification};
    bool started_ = false;
};

}  // namespace wexo::pipeline
