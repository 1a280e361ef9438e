#include "driver/platform/driver_entry.h"

#include <cstring>
#include <optional>
#include <vector>

#include "common/control_codes.h"
#include "driver/channel/control_device.h"
#include "driver/channel/service_call_queue.h"
#include "driver/filter/stream_classify.h"
#include "driver/filter/url_lookup.h"
#include "driver/filter/wfp_registration.h"
#include "driver/platform/debug_log.h"
#include "driver/platform/debug_print.h"
#include "driver/platform/dns_answer_remap.h"
#include "driver/platform/driver_settings.h"
#include "driver/platform/event_log.h"
#include "driver/platform/registry_values.h"
#include "driver/platform/registry_watch.h"
#include "driver/platform/remap_resolver.h"
#include "driver/platform/scratch_buffer.h"
#include "driver/protection/driver_image.h"
#include "driver/protection/file_protection.h"
#include "driver/protection/protection_state.h"
#include "driver/protection/registry_protection.h"
#include "os/fltmgr/fltmgr.h"
#include "os/kernel/pool.h"
#include "os/kernel/system_routines.h"
#include "os/kernel/unicode_string.h"
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
constexpr const char* kAuthSecretValue = kAuthSecretValueName;
// The file-system filter's name buffers: a full path of the longest kind the filter looks at.
constexpr size_t kNameBufferSize = 2056;
constexpr uint32_t kNameBufferTag = os::MakePoolTag("ETLF");

using RtlGetVersionRoutine = os::NTSTATUS (*)(os::RTL_OSVERSIONINFOW*);
using PsGetVersionRoutine = bool (*)(uint32_t*, uint32_t*, uint32_t*);

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
        hooks.updateDriverImage = [this](const os::CallerMemory& caller, uint64_t input,
                                         uint32_t inputLength) {
            return image.UpdateFromCaller(caller, input, inputLength);
        };
        hooks.releaseDriverImage = [this] { image.Release(); };
        hooks.wakeResolver = [this] { settings.WakeResolver(); };
        hooks.serviceProcessChanged = [this](uint32_t processId) {
            filter.SetServiceProcessId(processId);
            protection.SetServiceProcessId(processId);
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
    std::optional<os::LookasideList> nameBuffers;
    std::shared_ptr<os::FLT_FILTER> fileFilter;

    SERVICE_CALL_QUEUE queue;
    PROTECTION_STATE protection;
    FILE_PROTECTION fileProtection{protection};
    REGISTRY_PROTECTION registryProtection{protection};
    DRIVER_IMAGE_FILE image;
    DRIVER_SETTINGS settings;
    CONTROL_DEVICE device;
    STREAM_FILTER filter;
    URL_LOOKUP lookup{filter, queue};
    WFP_REGISTRATION registration{filter, lookup};
    REGISTRY_WATCH watch{settings};
    REMAP_RESOLVER resolver{settings, queue};
    // The driver never unloads, so the filter is active exactly while it is registered.
    DNS_ANSWER_REMAP remap{settings, registration.TransportInjection(),
                           [this] { return registration.Registered(); }, &filter.AddressNames()};
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
    // A resolver blocked in a service call ends once the queue fails its calls.
    s.queue.ShutDown();
    s.resolver.Stop();
    s.watch.Stop();
    Unwind(UNWIND_FROM::U3);
    running_ = false;
}

void WEXO_DRIVER::Unwind(UNWIND_FROM from) {
    STATE& s = *state_;
    switch (from) {
        case UNWIND_FROM::U3:
            s.image.Release();
            s.settings.Targets().Free();
            s.registryProtection.Unregister();
            s.protection.SetProtectedFolder(nullptr);
            s.watch.Release();
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
            os::FltUnregisterFilter(s.fileFilter);
            s.fileFilter.reset();
            s.nameBuffers.reset();
            s.controlSetName.clear();
            CloseDebugLog();
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

    s.nameBuffers.emplace(os::PoolType::Paged, kNameBufferSize, kNameBufferTag);
    os::NTSTATUS status = os::FltRegisterFilter(
        s.fileProtection.Registration(WidenText(driverObject.name)), &s.fileFilter);
    if (!os::NT_SUCCESS(status)) {
        WriteDriverEvent(DRIVER_EVENT_REGISTER_FILTER_FAILED, UniqueValue("FSFI"), status,
                         {StatusText(status)});
        s.nameBuffers.reset();
        s.fileFilter.reset();
        return Fail(UNWIND_FROM::U8);
    }
    s.fileProtection.SetFilter(s.fileFilter);
    DebugLogInitialise(kInitialDebugFlags,
                       std::make_shared<FILTER_LOG_FILE_OPERATIONS>(s.fileFilter));

    s.controlSetName = ControlSetName(registryPath);
    status = RegistryOpenKey(s.serviceKey, NarrowText(registryPath), kServiceKeyAccess);
    if (!os::NT_SUCCESS(status)) {
        return Fail(UNWIND_FROM::U7);
    }
    ReadDebugSettings(s.serviceKey);
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
    // Until the watch thread reads the product key, every setting has its default.
    s.watch.CreateEvents();
    s.settings.SetChangeHook([&s] {
        s.filter.SetDormant(s.settings.Dormant());
        s.filter.SetBlockOnFailure(s.settings.BlockOnFailure());
        s.filter.EncryptedDns().SetExtra(s.settings.EncryptedDnsEndpoints());
    });
    s.settings.ReadProductSettings(true);
    s.filter.SetDormant(s.settings.Dormant());
    s.filter.SetBlockOnFailure(s.settings.BlockOnFailure());
    s.registryProtection.Register();
    if (imageHooks_.open) {
        imageHooks_.open();
    }
    if (imageHooks_.deleteLeftover) {
        imageHooks_.deleteLeftover();
    }

    s.registration.SetDatagramClassify([&s](const os::FWPS_INCOMING_VALUES& values,
                                            const os::FWPS_INCOMING_METADATA_VALUES& metadata,
                                            void* layerData, const os::FWPS_FILTER& filter,
                                            uint64_t flowContext,
                                            os::FWPS_CLASSIFY_OUT& classifyOut) {
        s.remap.InspectInboundDatagram(values, metadata, layerData, filter, flowContext,
                                       classifyOut);
    });
    if (!os::NT_SUCCESS(s.registration.Initialise())) {
        return Fail(UNWIND_FROM::U3);
    }
    if (!os::NT_SUCCESS(s.lookup.StartWorkers())) {
        s.registration.TearDown();
        return Fail(UNWIND_FROM::U3);
    }
    status = os::FltStartFiltering(s.fileFilter);
    if (!os::NT_SUCCESS(status)) {
        WriteDriverEvent(DRIVER_EVENT_START_FILTER_FAILED, UniqueValue("FSFS"), status,
                         {StatusText(status)});
        s.registration.TearDown();
        return Fail(UNWIND_FROM::U3);
    }

    // Neither thread is needed to filter: without the watch the settings keep their defaults,
    // without the resolver remapped names get empty answers.
    status = s.watch.Start(&s.serviceKey, [&s] { ReadDebugSettings(s.serviceKey); });
    if (!os::NT_SUCCESS(status)) {
        WriteDriverEvent(DRIVER_EVENT_CREATE_THREAD_FAILED, UniqueValue("SCT "), status,
                         {StatusText(status)});
    }
    status = s.resolver.Start();
    if (!os::NT_SUCCESS(status)) {
        WriteDriverEvent(DRIVER_EVENT_CREATE_THREAD_FAILED, UniqueValue("DNS1"), status,
                         {StatusText(status)});
    }
    running_ = true;
    WriteDriverEvent(DRIVER_EVENT_STARTED, UniqueValue("DE06"), os::STATUS_SUCCESS,
                     {kVersionText, std::to_string(kVersionBuild)});
    return os::STATUS_SUCCESS;
}

void WEXO_DRIVER::PrintBanner() {
    STATE& s = *state_;
    os::UNICODE_STRING path;
    path.Buffer = s.driverObject->imagePath.data();
    path.Length = static_cast<uint16_t>(s.driverObject->imagePath.size() * sizeof(char16_t));
    path.MaximumLength = path.Length;
    // The wide conversions are the kernel printf's; the compiler cannot check them.
    DriverPrintAndLogWide(
        "WexoW: DriverEntry: %s%s v%u.%u.%u build %lu, %s,\n    Built on %s at %s,\n    Windows "
        "v%lu.%lu build %lu,\n    DriverPath=\"%wZ\",\n    CurrentControlSet=%ws\n\n",
        kImageFileName, "", kVersionMajor, kVersionMinor, kVersionRevision, kVersionBuild,
        kBuildFlavour, BuildDate(), BuildTime(), static_cast<unsigned long>(s.osVersion.major),
        static_cast<unsigned long>(s.osVersion.minor),
        static_cast<unsigned long>(s.osVersion.build), &path, s.controlSetName.c_str());
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

void WEXO_DRIVER::SetImageFileHooks(IMAGE_FILE_HOOKS hooks) {
    imageHooks_ = std::move(hooks);
}

WEXO_DRIVER::IMAGE_FILE_HOOKS WEXO_DRIVER::OwnImageFileHooks() {
    IMAGE_FILE_HOOKS hooks;
    hooks.open = [this] {
        state_->image.Hold(state_->fileFilter, state_->driverObject->imagePath);
    };
    hooks.deleteLeftover = [this] {
        state_->image.DeleteLeftover(state_->fileFilter, state_->driverObject->imagePath);
    };
    return hooks;
}

DRIVER_IMAGE_FILE& WEXO_DRIVER::Image() {
    return state_->image;
}

DRIVER_SETTINGS& WEXO_DRIVER::Settings() {
    return state_->settings;
}

REMAP_RESOLVER& WEXO_DRIVER::Resolver() {
    return state_->resolver;
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

FILE_PROTECTION& WEXO_DRIVER::FileProtection() {
    return state_->fileProtection;
}

REGISTRY_PROTECTION& WEXO_DRIVER::RegistryProtection() {
    return state_->registryProtection;
}

}  // namespace wexo::drv
