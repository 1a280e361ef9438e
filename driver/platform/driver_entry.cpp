#include "driver/platform/driver_entry.h"

#include <cstring>
#include <vector>

#include "common/control_codes.h"
#include "driver/channel/control_device.h"
#include "driver/channel/service_call_queue.h"
#include "driver/filter/stream_classify.h"
#include "driver/filter/url_lookup.h"
#include "driver/filter/wfp_registration.h"
#include "driver/platform/debug_print.h"
#include "driver/platform/event_log.h"
#include "driver/platform/registry_values.h"
#include "driver/platform/scratch_buffer.h"
#include "driver/protection/protection_state.h"
#include "os/kernel/pool.h"
#include "os/kernel/system_routines.h"
#include "os/registry/registry.h"

namespace wexo::drv {
namespace {

// The size of the system's fast-I/O dispatch record; only its size field and its device-control
// entry are filled.
constexpr uint32_t kFastIoTableSize = 224;
constexpr uint32_t kFastIoTableTag = os::MakePoolTag("WXFI");
// Read, set value, create sub-key, enumerate, notify.
constexpr uint32_t kServiceKeyAccess = 0x2001F;
// The installation's secret for the caller authentication of the privileged codes; the installer
// writes it into the driver's service key.
constexpr char kAuthSecretValue[] = "Auth Secret";

using RtlGetVersionRoutine = os::NTSTATUS (*)(os::RTL_OSVERSIONINFOW*);
using PsGetVersionRoutine = bool (*)(uint32_t*, uint32_t*, uint32_t*);

std::string Narrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            // Paths and key names of the driver are plain text; surrogate pairs are kept as
            // their units, which is enough to name a key.
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace

const char* BuildDate() {
    return __DATE__;
}

const char* BuildTime() {
    return __TIME__;
}

std::u16string ControlSetName(std::u16string_view registryPath) {
    // "\REGISTRY\MACHINE\SYSTEM\ControlSet001\Services\WexoWfp": the leading backslash opens an
    // empty first component, so the control set is the fifth.
    size_t start = 0;
    for (int component = 0; component < 4; ++component) {
        size_t slash = registryPath.find(u'\\', start);
        if (slash == std::u16string_view::npos) {
            return {};
        }
        start = slash + 1;
    }
    size_t end = registryPath.find(u'\\', start);
    std::u16string name(registryPath.substr(
        start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start));
    for (char16_t& c : name) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return name;
}

OS_VERSION ReadOsVersion() {
    OS_VERSION version;
    if (auto routine = reinterpret_cast<RtlGetVersionRoutine>(
            os::MmGetSystemRoutineAddress("RtlGetVersion"))) {
        os::RTL_OSVERSIONINFOW info;
        if (os::NT_SUCCESS(routine(&info))) {
            version = {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
        }
        return version;
    }
    if (auto routine =
            reinterpret_cast<PsGetVersionRoutine>(os::MmGetSystemRoutineAddress("PsGetVersion"))) {
        routine(&version.major, &version.minor, &version.build);
    }
    return version;
}

struct WEXO_DRIVER::STATE {
    STATE() : device(queue, protection, Hooks()) {}

    CONTROL_DEVICE::HOOKS Hooks() {
        CONTROL_DEVICE::HOOKS hooks;
        hooks.serviceProcessChanged = [this](uint32_t processId) {
            filter.SetServiceProcessId(processId);
            if (serviceObserver) {
                serviceObserver(processId);
            }
        };
        return hooks;
    }

    std::function<void(uint32_t)> serviceObserver;
    DRIVER_OBJECT* driverObject = nullptr;
    OS_VERSION osVersion;
    std::u16string controlSetName;
    os::RegKey serviceKey;
    void* fastIoTable = nullptr;

    SERVICE_CALL_QUEUE queue;
    PROTECTION_STATE protection;
    CONTROL_DEVICE device;
    STREAM_FILTER filter;
    URL_LOOKUP lookup{filter, queue};
    WFP_REGISTRATION registration{filter, lookup};
};

WEXO_DRIVER::WEXO_DRIVER() : state_(std::make_unique<STATE>()) {}

WEXO_DRIVER::~WEXO_DRIVER() {
    if (!running_) {
        return;
    }
    // What runs until shutdown stops first, so nothing is indicated to or asked of the pieces
    // released after it.
    STATE& s = *state_;
    s.registration.TearDown();
    Unwind(UNWIND_FROM::U3);
    running_ = false;
}

void WEXO_DRIVER::Unwind(UNWIND_FROM from) {
    STATE& s = *state_;
    switch (from) {
        case UNWIND_FROM::U3:
            s.protection.SetProtectedFolder(nullptr);
            s.queue.ShutDown();
            s.filter.RemoveAllFlows();
            [[fallthrough]];
        case UNWIND_FROM::U4:
            // Deletes the symbolic link of U3 and the device together.
            s.device.Delete();
            [[fallthrough]];
        case UNWIND_FROM::U5:
            os::ExFreePoolWithTag(s.fastIoTable, kFastIoTableTag);
            s.fastIoTable = nullptr;
            [[fallthrough]];
        case UNWIND_FROM::U6:
            s.serviceKey.Close();
            [[fallthrough]];
        case UNWIND_FROM::U7:
            s.controlSetName.clear();
            [[fallthrough]];
        case UNWIND_FROM::U8:
            ScratchBuffer::DeletePool();
            break;
    }
}

os::NTSTATUS WEXO_DRIVER::Fail(UNWIND_FROM from) {
    Unwind(from);
    return os::STATUS_UNSUCCESSFUL;
}

os::NTSTATUS WEXO_DRIVER::DriverEntry(DRIVER_OBJECT& driverObject,
                                      std::u16string_view registryPath) {
    if (started_) {
        return os::STATUS_UNSUCCESSFUL;
    }
    started_ = true;
    STATE& s = *state_;
    s.driverObject = &driverObject;
    s.osVersion = ReadOsVersion();
    ScratchBuffer::CreatePool();

    s.controlSetName = ControlSetName(registryPath);
    os::NTSTATUS status = RegistryOpenKey(s.serviceKey, Narrow(registryPath), kServiceKeyAccess);
    if (!os::NT_SUCCESS(status)) {
        return Fail(UNWIND_FROM::U7);
    }

    PrintBanner();

    s.fastIoTable =
        os::ExAllocatePoolWithTag(os::PoolType::NonPaged, kFastIoTableSize, kFastIoTableTag);
    if (s.fastIoTable == nullptr) {
        WriteDriverEvent(DRIVER_EVENT_NO_POOL, UniqueValue("DE01"), os::STATUS_SUCCESS,
                         {std::to_string(kFastIoTableSize)});
        return Fail(UNWIND_FROM::U6);
    }
    std::memset(s.fastIoTable, 0, kFastIoTableSize);
    std::memcpy(s.fastIoTable, &kFastIoTableSize, sizeof(kFastIoTableSize));

    // The device and its link come together: a link that cannot be made takes the device with
    // it (and writes its own entry), so either failure continues with the fast-I/O table.
    if (!os::NT_SUCCESS(s.device.Create())) {
        return Fail(UNWIND_FROM::U5);
    }
    InstallAuthSecret();

    if (!s.queue.Initialise()) {
        return Fail(UNWIND_FROM::U3);
    }
    if (!os::NT_SUCCESS(s.registration.Initialise())) {
        return Fail(UNWIND_FROM::U3);
    }
    if (!os::NT_SUCCESS(s.lookup.StartWorkers())) {
        s.registration.TearDown();
        return Fail(UNWIND_FROM::U3);
    }
    running_ = true;
    WriteDriverEvent(DRIVER_EVENT_STARTED, UniqueValue("DE06"), os::STATUS_SUCCESS,
                     {kVersionText, std::to_string(kVersionBuild)});
    return os::STATUS_SUCCESS;
}

void WEXO_DRIVER::PrintBanner() {
    STATE& s = *state_;
    std::string path = Narrow(s.driverObject->imagePath);
    std::string controlSet = Narrow(s.controlSetName);
    DriverPrint(
        "WexoW: DriverEntry: %s%s v%u.%u.%u build %lu, %s,\n    Built on %s at %s,\n    "
        "Windows v%lu.%lu build %lu,\n    DriverPath=\"%s\",\n    "
        "CurrentControlSet=%s\n\n",
        kImageFileName, "", kVersionMajor, kVersionMinor, kVersionRevision, kVersionBuild,
        kBuildFlavour, BuildDate(), BuildTime(), static_cast<unsigned long>(s.osVersion.major),
        static_cast<unsigned long>(s.osVersion.minor),
        static_cast<unsigned long>(s.osVersion.build), path.c_str(), controlSet.c_str());
}

void WEXO_DRIVER::InstallAuthSecret() {
    STATE& s = *state_;
    os::KEY_VALUE_PARTIAL_INFORMATION* information = nullptr;
    if (!os::NT_SUCCESS(RegistryQueryValue(s.serviceKey, kAuthSecretValue, &information))) {
        return;
    }
    const auto* data =
        reinterpret_cast<const uint8_t*>(information) + os::kKeyValuePartialInformationHeader;
    // Only binary data is a secret: a string would mostly be a mistake of the installer.
    if (information->Type == os::REG_BINARY) {
        s.device.SetAuthSecret(std::vector<uint8_t>(data, data + information->DataLength));
    }
    FreeRegistryValue(information);
}

void WEXO_DRIVER::OnServiceProcessChanged(std::function<void(uint32_t processId)> observer) {
    state_->serviceObserver = std::move(observer);
}

const OS_VERSION& WEXO_DRIVER::OsVersion() const {
    return state_->osVersion;
}

const std::u16string& WEXO_DRIVER::CurrentControlSetName() const {
    return state_->controlSetName;
}

CONTROL_DEVICE& WEXO_DRIVER::Device() {
    return state_->device;
}

SERVICE_CALL_QUEUE& WEXO_DRIVER::Queue() {
    return state_->queue;
}

STREAM_FILTER& WEXO_DRIVER::Filter() {
    return state_->filter;
}

URL_LOOKUP& WEXO_DRIVER::Lookup() {
    return state_->lookup;
}

WFP_REGISTRATION& WEXO_DRIVER::Registration() {
    return state_->registration;
}

PROTECTION_STATE& WEXO_DRIVER::Protection() {
    return state_->protection;
}

}  // namespace wexo::drv
