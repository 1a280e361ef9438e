#include "tools/pipeline/in_process_driver.h"

#include <optional>

#include "driver/filter/stream_classify.h"
#include "driver/filter/url_lookup.h"
#include "driver/platform/driver_entry.h"
#include "driver/protection/driver_image.h"
#include "os/registry/registry.h"
#include "os/wfp/wfp_engine.h"
#include "tools/pipeline/host_image.h"

namespace wexo::pipeline {

namespace {

// Where the service manager keeps the driver's service key, which the installer made.
constexpr char16_t kServiceKeyPath[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp";

}  // namespace

struct IN_PROCESS_DRIVER::PARTS {
    os::FilterEngine engine;
    drv::DRIVER_OBJECT driverObject;
    drv::WEXO_DRIVER driver;
    std::optional<os::SimNetwork> network;
};

IN_PROCESS_DRIVER::IN_PROCESS_DRIVER() = default;

IN_PROCESS_DRIVER::~IN_PROCESS_DRIVER() {
    Stop();
}

bool IN_PROCESS_DRIVER::Start() {
    parts_ = std::make_unique<PARTS>();
    PARTS& p = *parts_;
    std::string keyPath;
    for (char16_t c : std::u16string_view(kServiceKeyPath)) {
        keyPath.push_back(static_cast<char>(c));
    }
    os::RegKey serviceKey;
    if (!os::NT_SUCCESS(os::ZwCreateKey(serviceKey, keyPath))) {
        parts_.reset();
        return false;
    }
    p.driver.OnServiceProcessChanged([this](uint32_t processId) {
        serviceProcessId_.store(processId);
        if (processId != 0) {
            registered_.Set();
        } else {
            registered_.Reset();
        }
    });
    if (!imagePath_.empty()) {
        p.driverObject.imagePath = imagePath_;
        p.driver.SetImageFileHooks(p.driver.OwnImageFileHooks());
        p.driver.Image().SetImageCheck(IsWholeElfImage);
    }
    if (!os::NT_SUCCESS(p.driver.DriverEntry(p.driverObject, kServiceKeyPath))) {
        parts_.reset();
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
    parts_->network.reset();
    // The host process ends here: the driver goes with it.
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

drv::WEXO_DRIVER& IN_PROCESS_DRIVER::Driver() {
    return parts_->driver;
}

uint64_t IN_PROCESS_DRIVER::CompletedLookups() const {
    return parts_ ? parts_->driver.Lookup().CompletedLookups() : 0;
}

}  // namespace wexo::pipeline
