#include "tools/pipeline/in_process_driver.h"

#include <optional>

#include "driver/channel/control_device.h"
#include "driver/channel/service_call_queue.h"
#include "driver/filter/stream_classify.h"
#include "driver/filter/url_lookup.h"
#include "driver/filter/wfp_registration.h"
#include "os/wfp/wfp_engine.h"

namespace wexo::pipeline {

struct IN_PROCESS_DRIVER::PARTS {
    explicit PARTS(IN_PROCESS_DRIVER& driver) : owner(driver) {}

    IN_PROCESS_DRIVER& owner;
    os::FilterEngine engine;
    drv::SERVICE_CALL_QUEUE queue;
    drv::PROTECTION_STATE protection;
    drv::CONTROL_DEVICE device{queue, protection, Hooks()};
    drv::STREAM_FILTER filter;
    drv::URL_LOOKUP lookup{filter, queue};
    drv::WFP_REGISTRATION registration{filter, lookup};
    bool registered = false;
    std::optional<os::SimNetwork> network;

    drv::CONTROL_DEVICE::HOOKS Hooks() {
        drv::CONTROL_DEVICE::HOOKS hooks;
        // Called only once the device is in use, when the filter exists.
        hooks.serviceProcessChanged = [this](uint32_t processId) {
            filter.SetServiceProcessId(processId);
            owner.serviceProcessId_.store(processId);
            if (processId != 0) {
                owner.registered_.Set();
            } else {
                owner.registered_.Reset();
            }
        };
        return hooks;
    }
};

IN_PROCESS_DRIVER::IN_PROCESS_DRIVER() = default;

IN_PROCESS_DRIVER::~IN_PROCESS_DRIVER() {
    Stop();
}

bool IN_PROCESS_DRIVER::Start() {
    parts_ = std::make_unique<PARTS>(*this);
    PARTS& p = *parts_;
    if (!p.queue.Initialise() || p.device.Create() != os::STATUS_SUCCESS) {
        Stop();
        return false;
    }
    if (p.registration.Initialise() != os::STATUS_SUCCESS) {
        Stop();
        return false;
    }
    p.registered = true;
    if (p.lookup.StartWorkers() != os::STATUS_SUCCESS) {
        Stop();
        return false;
    }
    p.network.emplace(p.engine);
    started_ = true;
    return true;
}

void IN_PROCESS_DRIVER::Stop() {
    if (!parts_) {
        return;
    }
    PARTS& p = *parts_;
    p.network.reset();
    if (p.registered) {
        p.registration.TearDown();
    }
    p.queue.ShutDown();
    p.device.Delete();
    parts_.reset();
    started_ = false;
}

os::SimNetwork& IN_PROCESS_DRIVER::Network() {
    return *parts_->network;
}

void IN_PROCESS_DRIVER::CloseNetwork() {
    if (parts_) {
        parts_->network.reset();
    }
}

os::Event& IN_PROCESS_DRIVER::ServiceRegistered() {
    return registered_;
}

uint64_t IN_PROCESS_DRIVER::CompletedLookups() const {
    return parts_ ? parts_->lookup.CompletedLookups() : 0;
}

void IN_PROCESS_DRIVER::SetBlockOnFailure(bool on) {
    parts_->filter.SetBlockOnFailure(on);
}

}  // namespace wexo::pipeline
