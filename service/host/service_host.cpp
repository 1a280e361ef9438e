#include "service/host/service_host.h"

#include <array>
#include <random>

#include "os/core/clock.h"
#include "os/core/status.h"
#include "os/registry/registry.h"
#include "os/win32/address_change.h"
#include "os/win32/handles.h"
#include "os/win32/service_control.h"
#include "os/win32/system_facts.h"
#include "service/calls/register_service.h"
#include "service/calls/service_call.h"
#include "service/checkin/deployments.h"
#include "service/checkin/dns_remap_list.h"
#include "service/host/command_line.h"
#include "service/host/program_entry.h"
#include "service/host/version_banner.h"
#include "service/policy/https_session_map.h"
#include "service/policy/policy_lookup.h"
#include "service/policy/redirect_query.h"
#include "service/servers/policy_servers.h"
#include "service/support/debug_log.h"
#include "service/support/event_log.h"
#include "service/support/http_engine.h"
#include "service/support/registry_helpers.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

constexpr uint32_t kServiceType = 0x110;  // own process, interactive
constexpr uint32_t kControlsAccepted = os::SERVICE_ACCEPT_STOP | os::SERVICE_ACCEPT_SHUTDOWN |
                                       os::SERVICE_ACCEPT_POWEREVENT |
                                       os::SERVICE_ACCEPT_SESSIONCHANGE;
constexpr uint32_t kStartWaitHintMs = 30'000;
constexpr uint32_t kStopBudgetMs = 5000;
constexpr uint32_t kExitCannotStart = 1010;
constexpr uint64_t kTicksPerSecond = 10'000'000;

const char* const kPrivileges[] = {"SeDebugPrivilege", "SeShutdownPrivilege", "SeTcbPrivilege"};

// The service manager's status handle of the running service (0 when run as an application).
std::atomic<os::SERVICE_STATUS_HANDLE> gStatusHandle{0};

bool ReportStatus(uint32_t state, uint32_t win32ExitCode, uint32_t specificCode,
                  uint32_t checkPoint, uint32_t waitHint) {
    os::SERVICE_STATUS_HANDLE handle = gStatusHandle.load();
    if (handle == 0) {
        return true;
    }
    os::SERVICE_STATUS status;
    status.serviceType = kServiceType;
    status.currentState = state;
    status.controlsAccepted = state == os::SERVICE_START_PENDING ? 0 : kControlsAccepted;
    status.win32ExitCode = win32ExitCode;
    status.serviceSpecificExitCode = specificCode;
    status.checkPoint = checkPoint;
    status.waitHint = waitHint;
    if (os::SetServiceStatus(handle, status)) {
        return true;
    }
    uint32_t error = os::GetLastError();
    ReportServiceErrorEvent(EVENT_SET_SERVICE_STATUS_FAILED, error);
    status.currentState = os::SERVICE_STOPPED;
    status.win32ExitCode = os::ERROR_SERVICE_SPECIFIC_ERROR;
    status.serviceSpecificExitCode = SERVICE_EXIT_STATUS_FAILED;
    status.checkPoint = 0;
    status.waitHint = 0;
    os::SetServiceStatus(handle, status);
    return false;
}

void ReportStopped(uint32_t specificCode) {
    ReportStatus(os::SERVICE_STOPPED, specificCode == 0 ? 0 : os::ERROR_SERVICE_SPECIFIC_ERROR,
                 specificCode, 0, 0);
}

// The next random seconds of the default check-in delay: a uniform 32-bit value scaled to 3600.
uint32_t RandomCheckInSeconds() {
    static std::mutex lock;
    static std::mt19937 generator{std::random_device{}()};
    std::lock_guard guard(lock);
    return static_cast<uint32_t>((static_cast<uint64_t>(generator()) * 3600) >> 32);
}

}  // namespace

const char* PowerStateName(uint32_t state) {
    switch (state) {
        case POWER_NORMAL:
            return "normal";
        case POWER_STANDBY:
            return "standby";
        case POWER_RESUMING:
            return "resuming";
        default:
            return "<Invalid>";
    }
}

void LogPartNotAvailable(const char* part) {
    DebugPrint("%s: not available in this build", part);
}

uint32_t NextCheckInDelay(uint64_t now, std::optional<uint64_t> requested, uint32_t randomSeconds) {
    if (!requested) {
        DebugPrint("Next check-in not supplied; using default");
        return kDefaultCheckInSeconds + randomSeconds;
    }
    // Kept as an unsigned 32-bit number: a time in the past is a very long delay.
    const uint32_t delay = static_cast<uint32_t>(static_cast<int64_t>(*requested - now) /
                                                 static_cast<int64_t>(kTicksPerSecond));
    const os::CALENDAR_TIME t = os::SystemTimeToUtc(*requested);
    DebugWrite(
        LINE_ALWAYS_LOG, "Requested next check-in: %04u-%02u-%02u %02u:%02u:%02u.%03u UTC (%s)",
        unsigned{t.year}, unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
        unsigned{t.second}, unsigned{t.milliseconds}, DurationText(delay).c_str());
    if (delay < kMinCheckInSeconds) {
        DebugPrint("Requested next check-in is less than the minimum of %s. Using the mimimum",
                   DurationText(kMinCheckInSeconds).c_str());
        return kMinCheckInSeconds;
    }
    if (delay > kMaxCheckInSeconds) {
        DebugPrint("Requested next check-in is greater than the maximum of %s. Using the maximum",
                   DurationText(kMaxCheckInSeconds).c_str());
        return kMaxCheckInSeconds;
    }
    return delay;
}

// Everything a worker thread may touch, shared by the host and each thread it started.
struct SERVICE_HOST::CORE {
    CORE(HOST_OPTIONS givenOptions, HOST_PARTS givenParts)
        : options(std::move(givenOptions)),
          parts(std::move(givenParts)),
          stop(std::make_shared<SERVICE_STOP>()),
          httpStop(std::make_shared<HTTP_STOP>()),
          checkInDomain(options.logonAccountDomain),
          updateUrlOverride(options.updateUrlOverride) {
        // Set before the event is shared: whoever sets the stop event ends the requests too.
        stop->event.SetForwarder([http = httpStop] { http->Raise(); });
    }

    void StopRequest(const char* reason);
    std::string CheckInDomain() const;
    void SetCheckInDomain(const std::string& domain);
    void EndResume();
    // The device ID once the system information is in (empty when it never came); false when the
    // stop came first.
    bool WaitForDevice(std::string* uniqueDeviceId);
    void RefreshDnsRemapList();

    void SystemInformationThread();
    void SettingsThread();
    void IpNotifyThread();
    void CheckInThread();
    // The check-in of the check-in thread (its steps 7 to 12); false ends the thread.
    bool CheckInOnce(bool& freshInstall, std::optional<UPDATE_PROCESS>& update);

    // In the order they may be taken down: later members use earlier ones.
    const HOST_OPTIONS options;
    const HOST_PARTS parts;
    const std::shared_ptr<SERVICE_STOP> stop;
    const std::shared_ptr<HTTP_STOP> httpStop;
    os::Event systemInformationEvent{os::EventType::Notification};
    os::Event settingsEvent{os::EventType::Synchronization};
    os::Event checkInEvent{os::EventType::Synchronization};
    os::Timer checkInTimer{os::EventType::Synchronization};
    os::Timer policyQueryTimer{os::EventType::Synchronization};
    SETTINGS settings;
    DEVICE_INFORMATION device;
    // Made by the start-up before the first thread that uses them, then never replaced.
    std::unique_ptr<POLICY_SERVERS> servers;
    std::unique_ptr<POLICY_ENGINE> decision;
    std::unique_ptr<HTTPS_SESSION_MAP> sessions;
    std::unique_ptr<POLICY_LOOKUP_CONTEXT> context;

    std::atomic<uint32_t> powerState{POWER_NORMAL};
    mutable std::mutex checkInDomainLock;
    std::string checkInDomain;
    std::string updateUrlOverride;  // the check-in thread's
};

SERVICE_HOST::SERVICE_HOST(HOST_OPTIONS options, HOST_PARTS parts)
    : core_(std::make_shared<CORE>(std::move(options), std::move(parts))) {
    systemInformationGroup_.name = "Query system information";
    settingsGroup_.name = "Settings";
    ipNotifyGroup_.name = "IpNotify";
    checkInGroup_.name = "Check-in";
    sessionReuseGroup_.name = "HTTPS session reuse";
    serviceCallGroup_.name = "Service Call";
    serviceCallGroup_.array = true;
    for (THREAD_GROUP* group : {&systemInformationGroup_, &settingsGroup_, &ipNotifyGroup_,
                                &checkInGroup_, &sessionReuseGroup_}) {
        group->stop = [core = core_] { core->StopRequest("stopping worker thread"); };
    }
}

SERVICE_HOST::~SERVICE_HOST() {
    Shutdown();
}

uint32_t SERVICE_HOST::PowerState() const {
    return core_->powerState.load();
}

SERVICE_STOP& SERVICE_HOST::Stop() {
    return *core_->stop;
}

os::Event& SERVICE_HOST::SettingsEvent() {
    return core_->settingsEvent;
}

os::Event& SERVICE_HOST::CheckInEvent() {
    return core_->checkInEvent;
}

os::Timer& SERVICE_HOST::CheckInTimer() {
    return core_->checkInTimer;
}

os::Timer& SERVICE_HOST::PolicyQueryTimer() {
    return core_->policyQueryTimer;
}

SETTINGS& SERVICE_HOST::Settings() {
    return core_->settings;
}

POLICY_ENGINE* SERVICE_HOST::Decision() {
    return core_->decision.get();
}

DEVICE_INFORMATION& SERVICE_HOST::Device() {
    return core_->device;
}

void SERVICE_HOST::SystemInformationThread() {
    core_->SystemInformationThread();
}

void SERVICE_HOST::SettingsThread() {
    core_->SettingsThread();
}

void SERVICE_HOST::IpNotifyThread() {
    core_->IpNotifyThread();
}

void SERVICE_HOST::CheckInThread() {
    core_->CheckInThread();
}

int SERVICE_HOST::ServiceMain(const std::vector<std::string>& arguments) {
    os::SERVICE_STATUS_HANDLE handle = os::RegisterServiceCtrlHandlerEx(
        "WexoSvc", [this](uint32_t control, uint32_t eventType, const void* data) {
            return ControlHandler(control, eventType, data);
        });
    if (handle == 0) {
        DebugPrint("Unable to register service. error = %lu",
                   static_cast<unsigned long>(os::GetLastError()));
        return 1;
    }
    gStatusHandle.store(handle);
    // The start parameters (after the service's name) are read with the command line's parser;
    // what they could set was already given on the command line.
    COMMAND_LINE_OPTIONS parameters;
    std::string invalid;
    const std::span<const std::string> given =
        arguments.empty() ? std::span<const std::string>()
                          : std::span<const std::string>(arguments).subspan(1);
    if (!ParseCommandLine(given, &parameters, &invalid)) {
        ServiceEventLog().Report(os::EVENTLOG_ERROR_TYPE, EVENT_INVALID_START_PARAMETER, {invalid});
        ReportStopped(SERVICE_EXIT_INVALID_PARAMETER);
        gStatusHandle.store(0);
        os::DeregisterControlHandler();
        return os::ServiceExitStatus(os::LastServiceStatus());
    }
    if (!ReportStatus(os::SERVICE_START_PENDING, 0, 0, 1, kStartWaitHintMs)) {
        gStatusHandle.store(0);
        os::DeregisterControlHandler();
        return os::ServiceExitStatus(os::LastServiceStatus());
    }
    if (!Initialise()) {
        ReportStopped(SERVICE_EXIT_INITIALISE_FAILED);
        gStatusHandle.store(0);
        os::DeregisterControlHandler();
        return os::ServiceExitStatus(os::LastServiceStatus());
    }
    ReportStatus(os::SERVICE_RUNNING, 0, 0, 0, 0);
    ServiceEventLog().Report(os::EVENTLOG_INFORMATION_TYPE, EVENT_SERVICE_STARTED, {VersionText()});
    // Away mode (GUID_SYSTEM_AWAYMODE); on Linux the registration holds but never reports.
    const os::HPOWERNOTIFY power =
        os::RegisterPowerSettingNotification(handle, "{98A7F580-01F7-48AA-9C0F-44352C29E5C0}");
    if (power == 0) {
        const uint32_t error = os::GetLastError();
        DebugPrint("ServiceMain: RegisterPowerSettingNotification failed. %s. Error code = %lu.",
                   os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
    }
    DebugPrint("Service started");
    os::WaitForSingleObject(core_->stop->event, os::INFINITE);
    DebugPrint("Stop service event signaled");
    ReportStatus(os::SERVICE_STOP_PENDING, 0, 0, 1, kStopBudgetMs + kStartWaitHintMs);
    Shutdown();
    if (power != 0) {
        os::UnregisterPowerSettingNotification(power);
    }
    ReportStopped(0);
    const int exitStatus = os::ServiceExitStatus(os::LastServiceStatus());
    gStatusHandle.store(0);
    os::DeregisterControlHandler();
    DebugPrint("Exit ServiceMain");
    return exitStatus;
}

int SERVICE_HOST::RunAsApplication(bool stopAtOnce) {
    if (!stopAtOnce) {
        os::RegisterApplicationControlHandler(
            [this](uint32_t control, uint32_t eventType, const void* data) {
                return ControlHandler(control, eventType, data);
            });
    }
    if (!Initialise()) {
        os::DeregisterControlHandler();
        return static_cast<int>(kExitCannotStart);
    }
    if (!stopAtOnce) {
        DebugPrint("Service started");
        os::WaitForSingleObject(core_->stop->event, os::INFINITE);
        DebugPrint("Stop service event signaled");
    }
    Shutdown();
    os::DeregisterControlHandler();
    return 0;
}

bool SERVICE_HOST::Initialise() {
    if (InitialiseSteps()) {
        return true;
    }
    Shutdown();
    return false;
}

bool SERVICE_HOST::StartWorkerWith(THREAD_GROUP& group,
                                   const std::function<std::shared_ptr<os::Thread>()>& start) {
    if (StartGroupThreadWith(group, start)) {
        return true;
    }
    const uint32_t error = os::GetLastError();
    ReportServiceErrorEvent(EVENT_CREATE_THREAD_FAILED, error, {group.name});
    os::SetLastError(error);
    return false;
}

bool SERVICE_HOST::StartWorker(THREAD_GROUP& group, void (CORE::*body)()) {
    // The thread holds the core until its body returns.
    return StartWorkerWith(group, [&group, core = core_, body] {
        return os::Thread::Start(
            [name = group.name, core, body] {
                DebugPrint("%s thread started", name.c_str());
                ((*core).*body)();
            },
            group.name);
    });
}

bool SERVICE_HOST::InitialiseSteps() {
    CORE& core = *core_;
    SETTINGS& settings = core.settings;
    // 1-2. The product key, the banner, the settings.
    if (!settings.OpenProductKey()) {
        WriteVersionBanner(os::GetVersionFacts());
        return false;
    }
    WriteVersionBanner(os::GetVersionFacts());
    settings.LoadSettings();
    // 3. The account look-ups need nothing opened here: the user database is read per look-up.
    // 4. The driver's control device.
    device_handle_ = OpenControlDevice();
    if (device_handle_ == os::INVALID_HANDLE_VALUE) {
        device_handle_ = 0;
        return false;
    }
    // 5. Windows Sockets 2.2.
    os::WSADATA data;
    if (int error = os::WSAStartup(os::MAKEWORD(2, 2), &data); error != 0) {
        ReportServiceErrorEvent(EVENT_WINSOCK_STARTUP_FAILED, static_cast<uint32_t>(error));
        return false;
    }
    socketsStarted_ = true;
    if (data.version != os::MAKEWORD(2, 2)) {
        ServiceEventLog().Report(
            os::EVENTLOG_ERROR_TYPE, EVENT_WINSOCK_VERSION_MISMATCH,
            {FormatText("%u.%u", data.version & 0xFF, data.version >> 8), "2", "2"});
        return false;
    }
    // 6. The timers and events are the core's: made with the host, never failing here.
    // 7. The service-call channel. From here on every HTTP request of the process is made under
    // the service's stop, which the stop event raises.
    SetHttpStop(core.httpStop);
    {
        std::lock_guard guard(controlLock_);
        core.servers = std::make_unique<POLICY_SERVERS>(settings, core.stop);
        core.decision = std::make_unique<POLICY_ENGINE>(settings, *core.servers, &core.stop->event);
        core.sessions = std::make_unique<HTTPS_SESSION_MAP>();
        core.context = std::make_unique<POLICY_LOOKUP_CONTEXT>(*core.decision, *core.sessions,
                                                               core.device, core.stop->event);
        channel_ = SERVICE_CALL_CHANNEL::Create();
    }
    // The channel's threads answer through the core, and hold it while the channel lives.
    SERVICE_CALL_DISPATCHER dispatch = MakeServiceCallDispatcher(*core.context);
    os::HANDLE input = channel_->ServiceCallInitialize(
        device_handle_,
        [core = core_, dispatch](uint32_t code, SERVICE_CALL& call, const uint8_t* block,
                                 uint32_t size) { return dispatch(code, call, block, size); });
    if (input == 0) {
        return false;
    }
    // 8. The first worker threads.
    if (!StartWorker(systemInformationGroup_, &CORE::SystemInformationThread) ||
        !StartWorker(settingsGroup_, &CORE::SettingsThread) ||
        !StartWorker(ipNotifyGroup_, &CORE::IpNotifyThread)) {
        return false;
    }
    // 9. The service-call threads.
    const uint32_t processors =
        core.options.processorCount != 0 ? core.options.processorCount : os::GetProcessorCount();
    serviceCallThreads_ = processors * core.options.serviceCallThreadsPerProcessor;
    DebugPrint("ProcessorCount = %lu, ServiceCallThreadCount = %lu",
               static_cast<unsigned long>(processors),
               static_cast<unsigned long>(serviceCallThreads_));
    serviceCallGroup_.stop = [channel = channel_] { channel->ServiceCallStop(); };
    for (uint32_t i = 0; i < serviceCallThreads_; ++i) {
        if (!StartWorkerWith(serviceCallGroup_,
                             [this, i] { return channel_->StartServiceCallThread(i); })) {
            return false;
        }
    }
    // 10. Registration with the driver.
    // Registration writes "Service registered" itself.
    if (!RegisterService(device_handle_, input)) {
        return false;
    }
    // 11. The deployment written back, and the settings that follow it.
    SaveDebugOutputMode(settings.ProductKey(), core.options.commandLineDebugFlags);
    WriteDeployment(settings.ProductKey(), core.options.deployment);
    if (settings.DnsRemappingMode() == DNS_REMAPPING_BUILD_IN) {
        WriteDnsRemapping(settings.ProductKey(), nullptr);
    }
    // 12. Check-in and session reuse.
    if (!StartWorker(checkInGroup_, &CORE::CheckInThread) ||
        !StartWorkerWith(sessionReuseGroup_, [this] {
            return os::Thread::Start(
                [name = sessionReuseGroup_.name, core = core_] {
                    DebugPrint("%s thread started", name.c_str());
                    core->sessions->HttpsSessionReuseThread(core->stop->event);
                },
                sessionReuseGroup_.name);
        })) {
        return false;
    }
    // 13. "Shutdown" left from an earlier run.
    uint32_t shutdown = 0;
    if (ReadRegistryDword(settings.ProductKey(), "Shutdown", shutdown) &&
        WriteRegistryDword(settings.ProductKey(), "Shutdown", 0)) {
        DebugPrint("Registry value = \"%s\" reset", "Shutdown");
    }
    // 14. Privileges; failures are ignored.
    for (const char* privilege : kPrivileges) {
        os::EnableProcessPrivilege(privilege);
    }
    // 15. The policy-server set.
    if (core.options.buildServerSet) {
        core.servers->Rebuild();
    }
    return true;
}

void SERVICE_HOST::Shutdown() {
    const bool started = channel_ || device_handle_ != 0 || socketsStarted_ ||
                         !settingsGroup_.threads.empty() ||
                         !systemInformationGroup_.threads.empty();
    if (started) {
        DebugPrint("Uninitializing service");
        THREAD_GROUP* groups[] = {&systemInformationGroup_, &settingsGroup_,
                                  &ipNotifyGroup_,          &checkInGroup_,
                                  &sessionReuseGroup_,      &serviceCallGroup_};
        StopThreadGroups(kStopBudgetMs, groups);
        // A control handled from now on finds no channel; one being handled ends first.
        std::shared_ptr<SERVICE_CALL_CHANNEL> channel;
        {
            std::lock_guard guard(controlLock_);
            channel = std::move(channel_);
        }
        if (channel) {
            channel->ServiceCallUninitialize();
            channel.reset();
        }
        if (socketsStarted_) {
            os::WSACleanup();
            socketsStarted_ = false;
        }
        core_->checkInTimer.Cancel();
        core_->policyQueryTimer.Cancel();
        if (device_handle_ != 0) {
            os::CloseHandle(device_handle_);
            device_handle_ = 0;
        }
        if (core_->servers) {
            core_->servers->StopQueryThreads();
        }
        // The server set, the decision chain and the rest go with the core, once the host and
        // every thread that may still use them (one logged as terminated) have let go of it.
    }
    if (GetHttpStop() == core_->httpStop) {
        SetHttpStop(nullptr);
    }
}

void SERVICE_HOST::StopRequest(const char* reason) {
    core_->StopRequest(reason);
}

void SERVICE_HOST::CORE::StopRequest(const char* reason) {
    if (reason != nullptr) {
        DebugPrint("Stopping Service: Reason = %s", reason);
    } else {
        DebugPrint("Stopping Service ...");
    }
    stop->Request();
}

uint32_t SERVICE_HOST::ControlHandler(uint32_t control, uint32_t eventType, const void* eventData) {
    switch (control) {
        case os::SERVICE_CONTROL_STOP:
            StopRequest("Service control: stop");
            return 0;
        case os::SERVICE_CONTROL_SHUTDOWN:
            StopRequest("Service control: shutdown");
            return 0;
        case os::SERVICE_CONTROL_POWEREVENT: {
            // The standby and resume calls reach the channel, which the shutdown takes down.
            std::lock_guard guard(controlLock_);
            switch (eventType) {
                case os::PBT_APMSUSPEND:
                    DebugPrint("Service control: Standby");
                    PowerSuspend();
                    break;
                case os::PBT_APMRESUMESUSPEND:
                    DebugPrint("Service control: Resume");
                    PowerResume(false);
                    break;
                case os::PBT_APMRESUMEAUTOMATIC:
                    DebugPrint("Service control: Automatic resume");
                    PowerResume(true);
                    break;
                case os::PBT_POWERSETTINGCHANGE:
                    DebugPrint("Service control: power setting change");
                    break;
                default:
                    DebugPrint("Service control: power event type = %lu",
                               static_cast<unsigned long>(eventType));
                    break;
            }
            return 0;
        }
        case os::SERVICE_CONTROL_SESSIONCHANGE: {
            std::lock_guard guard(controlLock_);
            SessionChange(eventType, eventData);
            return 0;
        }
        default:
            return os::ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void SERVICE_HOST::PowerSuspend() {
    uint32_t expected = POWER_NORMAL;
    if (core_->powerState.compare_exchange_strong(expected, POWER_STANDBY)) {
        DebugPrint("Power state changed from %s to %s", "normal", "standby");
    } else if (expected != POWER_STANDBY) {
        DebugPrint("Power state %s found when %s was expected", PowerStateName(expected), "normal");
    }
    if (channel_) {
        channel_->ServiceCallStandby();
    }
}

void SERVICE_HOST::PowerResume(bool) {
    uint32_t expected = POWER_STANDBY;
    if (core_->powerState.compare_exchange_strong(expected, POWER_RESUMING)) {
        DebugPrint("Power state changed from %s to %s", "standby", "resuming");
    } else if (expected == POWER_NORMAL) {
        DebugPrint("Power state %s found when %s was expected", "normal", "standby");
    } else if (expected != POWER_RESUMING) {
        DebugPrint("Power state %s found when %s was expected", "<Invalid>", "standby");
    }
    if (channel_) {
        channel_->ServiceCallResume();
    }
}

void SERVICE_HOST::CORE::EndResume() {
    uint32_t expected = POWER_RESUMING;
    if (powerState.compare_exchange_strong(expected, POWER_NORMAL)) {
        DebugPrint("Power state changed from %s to %s", "resuming", "normal");
    } else {
        DebugPrint("Power state %s found when %s was expected", PowerStateName(expected),
                   "resuming");
    }
}

void SERVICE_HOST::FlushAllowedCache() {
    if (core_->decision) {
        core_->decision->Caches().allowed.Flush();
    }
}

void SERVICE_HOST::SessionChange(uint32_t eventType, const void* eventData) {
    const auto* session = static_cast<const os::WTSSESSION_NOTIFICATION*>(eventData);
    const unsigned long id = session != nullptr ? session->sessionId : 0;
    switch (eventType) {
        case os::WTS_CONSOLE_CONNECT:
            DebugPrint("Console connect: SessionId = %lu", id);
            break;
        case os::WTS_CONSOLE_DISCONNECT:
            DebugPrint("Console disconnect: SessionId = %lu", id);
            break;
        case os::WTS_SESSION_LOGON: {
            if (session == nullptr) {
                DebugPrint(
                    "Logon: SessionId = %lu. Unable to get user name.\n    %s. Error code = %lu.",
                    id, os::SystemMessageText(os::ERROR_INVALID_PARAMETER).c_str(),
                    static_cast<unsigned long>(os::ERROR_INVALID_PARAMETER));
            } else if (session->userName.empty()) {
                DebugPrint("Logon: SessionId = %lu", id);
            } else {
                DebugPrint("Logon: UserName = \"%s\", SessionId = %lu", session->userName.c_str(),
                           id);
            }
            if (core_->parts.cloudAccountDomain) {
                std::string domain = core_->parts.cloudAccountDomain(static_cast<uint32_t>(id));
                if (!domain.empty()) {
                    core_->SetCheckInDomain(domain);
                    core_->checkInEvent.Set();
                }
            }
            break;
        }
        case os::WTS_SESSION_LOGOFF:
            DebugPrint("Logoff: SessionId = %lu", id);
            break;
        default:
            return;
    }
    FlushAllowedCache();
}

std::string SERVICE_HOST::CheckInDomain() const {
    return core_->CheckInDomain();
}

void SERVICE_HOST::SetCheckInDomain(const std::string& domain) {
    core_->SetCheckInDomain(domain);
}

std::string SERVICE_HOST::CORE::CheckInDomain() const {
    std::lock_guard guard(checkInDomainLock);
    return checkInDomain;
}

void SERVICE_HOST::CORE::SetCheckInDomain(const std::string& domain) {
    std::lock_guard guard(checkInDomainLock);
    if (checkInDomain.empty()) {
        if (!domain.empty()) {
            checkInDomain = domain;
            DebugPrint("Check-in domain = \"%s\"", domain.c_str());
        }
    } else if (checkInDomain != domain) {
        DebugPrint("Changing check-in domain from \"%s\" to \"%s\"", checkInDomain.c_str(),
                   domain.c_str());
        checkInDomain = domain;
    }
}

bool SERVICE_HOST::FilteringOn() const {
    return core_->decision && !core_->decision->Caches().filtering.IsOff();
}

bool SERVICE_HOST::CORE::WaitForDevice(std::string* uniqueDeviceId) {
    uniqueDeviceId->clear();
    if (device.WaitForDeviceInformation(stop->event)) {
        *uniqueDeviceId = device.GetUniqueDeviceId();
        return true;
    }
    // A wait that failed otherwise sends the ID empty.
    return !stop->event.IsSet();
}

void SERVICE_HOST::CORE::RefreshDnsRemapList() {
    if (!parts.updateDnsRemapList) {
        LogPartNotAvailable("UpdateDnsRemapList");
        return;
    }
    // The request carries the device ID: not before the system information is in.
    std::string uniqueDeviceId;
    if (WaitForDevice(&uniqueDeviceId)) {
        parts.updateDnsRemapList(settings, servers.get(), device);
    }
}

void SERVICE_HOST::CORE::SystemInformationThread() {
    if (parts.gatherDeviceInformation) {
        parts.gatherDeviceInformation(device, options.uniqueDeviceId);
    } else {
        LogPartNotAvailable("GatherDeviceInformation");
        if (!options.uniqueDeviceId.empty()) {
            device.SetUniqueDeviceId(options.uniqueDeviceId);
        }
    }
    // Whatever failed, lookups and check-ins stop waiting for it.
    device.SetReady();
    systemInformationEvent.Set();
}

void SERVICE_HOST::CORE::SettingsThread() {
    for (;;) {
        uint32_t error = os::RegNotifyChangeKeyValue(settings.ProductKey(), false,
                                                     os::REG_NOTIFY_CHANGE_LAST_SET, settingsEvent);
        if (error != os::ERROR_SUCCESS) {
            DebugPrint("RegNotifyChangeKeyValue failed. %s. Error code = %lu.",
                       os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
            return;
        }
        os::DispatcherObject* objects[] = {&stop->event, &settingsEvent};
        if (os::WaitForMultipleObjects(objects, false, os::INFINITE) != os::WAIT_OBJECT_0 + 1) {
            return;
        }
        DebugPrint("Loading new debug settings");
        DebugReloadSettings();
        uint32_t shutdown = 0;
        if (ReadRegistryDword(settings.ProductKey(), "Shutdown", shutdown) && shutdown == 1) {
            WriteRegistryDword(settings.ProductKey(), "Shutdown", 2);
            const std::string reason = FormatText("Registry value \"%s\" set", "Shutdown");
            StopRequest(reason.c_str());
        }
    }
}

void SERVICE_HOST::CORE::IpNotifyThread() {
    os::Event changed(os::EventType::Synchronization);
    os::ADDRESS_CHANGE_NOTIFICATION notification;
    uint32_t result = notification.Request(changed);
    if (result != os::ERROR_IO_PENDING) {
        DebugPrint("NotifyAddrChange failed. %s. Error code = %lu.",
                   os::SystemMessageText(result).c_str(), static_cast<unsigned long>(result));
        return;
    }
    for (;;) {
        os::DispatcherObject* objects[] = {&stop->event, &changed};
        uint32_t wait = os::WaitForMultipleObjects(objects, false, os::INFINITE);
        if (wait == os::WAIT_OBJECT_0) {
            notification.Cancel();
            return;
        }
        if (wait != os::WAIT_OBJECT_0 + 1) {
            uint32_t error = os::GetLastError();
            DebugPrint("IpNotifyThread: Wait Failed. %s. Error code = %lu.",
                       os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
            notification.Cancel();
            return;
        }
        switch (powerState.load()) {
            case POWER_STANDBY:
                DebugPrint("Ignore IP address change for suspend");
                break;
            case POWER_RESUMING:
                DebugPrint("Ignore IP address change for resume");
                EndResume();
                break;
            default:
                DebugPrint("IP address change; enabling filtering");
                if (decision) {
                    decision->Caches().filtering.SwitchOn();
                }
                break;
        }
        result = notification.Request(changed);
        if (result != os::ERROR_IO_PENDING) {
            DebugPrint("NotifyAddrChange failed. %s. Error code = %lu.",
                       os::SystemMessageText(result).c_str(), static_cast<unsigned long>(result));
            return;
        }
    }
}

void SERVICE_HOST::CORE::CheckInThread() {
    uint64_t now = os::QuerySystemTime();
    uint64_t firstCheckIn = now;
    uint64_t firstRefresh = now;

    bool freshInstall = false;
    uint32_t installed = 0;
    if (ReadRegistryDword(settings.ProductKey(), "Installed", installed)) {
        uint32_t error = os::RegDeleteValue(settings.ProductKey(), "Installed");
        if (error != os::ERROR_SUCCESS && error != os::ERROR_FILE_NOT_FOUND) {
            DebugPrint("Unable to delete registry value = \"%s\". %s. Error code = %lu.",
                       "Installed", os::SystemMessageText(error).c_str(),
                       static_cast<unsigned long>(error));
        }
        freshInstall = installed == 1;
    } else if (uint32_t error = os::GetLastError(); error != os::ERROR_FILE_NOT_FOUND) {
        DebugPrint("Unable to get registry value = \"%s\". %s. Error code = %lu.", "Installed",
                   os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
    }

    if (parts.consoleSession) {
        if (std::optional<uint32_t> console = parts.consoleSession()) {
            DebugPrint("Getting check-in domain for console session ID = %lu",
                       static_cast<unsigned long>(*console));
            if (parts.cloudAccountDomain) {
                std::string domain = parts.cloudAccountDomain(*console);
                if (!domain.empty()) {
                    SetCheckInDomain(domain);
                }
            }
        }
    }

    uint32_t firstDelay = 0;
    if (options.immediateCheckIn) {
        DebugPrint("Immediate check-in");
    } else {
        firstDelay = kFirstCheckInDelaySeconds;
        firstCheckIn += firstDelay * kTicksPerSecond;
        firstRefresh += firstDelay * kTicksPerSecond;
    }
    if (!SetServiceTimer("Policy query", policyQueryTimer, firstRefresh, firstDelay,
                         kPolicyQueryPeriodSeconds) ||
        !SetServiceTimer("Check-in", checkInTimer, firstCheckIn, firstDelay, 0)) {
        return;
    }

    std::optional<UPDATE_PROCESS> update;
    for (;;) {
        DebugWrite(LINE_VERBOSE, "Waiting for check-in or policy query timers ...");
        std::vector<os::DispatcherObject*> objects = {&stop->event, &checkInEvent, &checkInTimer,
                                                      &policyQueryTimer};
        if (update) {
            objects.push_back(update->process.get());
        }
        const uint32_t wait = os::WaitForMultipleObjects(objects, false, os::INFINITE);
        if (wait == os::WAIT_OBJECT_0) {
            return;
        }
        if (wait == os::WAIT_OBJECT_0 + 3) {
            DebugPrint("Policy query elapsed");
            RefreshDnsRemapList();
            DebugPrint("%s", TimerLine("Policy query",
                                       os::QuerySystemTime() +
                                           uint64_t{kPolicyQueryPeriodSeconds} * kTicksPerSecond,
                                       kPolicyQueryPeriodSeconds)
                                 .c_str());
            continue;
        }
        if (update && wait == os::WAIT_OBJECT_0 + 4) {
            std::optional<uint32_t> code = update->exitCode ? update->exitCode() : std::nullopt;
            if (code) {
                DebugWrite(LINE_ALWAYS_LOG, "Update process completed with exit code = %lu",
                           static_cast<unsigned long>(*code));
            } else {
                DebugWrite(LINE_ALWAYS_LOG, "Update process completed.");
            }
            update.reset();
            continue;
        }
        if (wait == os::WAIT_OBJECT_0 + 1) {
            DebugPrint("Check-in signaled");
        } else if (wait == os::WAIT_OBJECT_0 + 2) {
            DebugPrint("Check-in timer elapsed");
        } else {
            return;
        }
        if (!CheckInOnce(freshInstall, update)) {
            return;
        }
    }
}

bool SERVICE_HOST::CORE::CheckInOnce(bool& freshInstall, std::optional<UPDATE_PROCESS>& update) {
    CHECK_IN_RESULT result;
    bool checkedIn = false;
    if (parts.checkIn) {
        // The device ID goes out with the check-in: not before the system information is in,
        // or the server would be told the ID of an empty identity.
        std::string uniqueDeviceId;
        if (!WaitForDevice(&uniqueDeviceId)) {
            return false;
        }
        checkedIn = parts.checkIn(CheckInDomain(),
                                  parts.getMacAddress ? parts.getMacAddress() : std::string(),
                                  uniqueDeviceId, &result);
    } else {
        LogPartNotAvailable("CheckIn");
    }
    // A stop during the check-in ended its request; nothing that follows is wanted now.
    if (stop->event.IsSet()) {
        return false;
    }
    if (checkedIn) {
        if (settings.ApplyCheckInServers(result.serverMode, result.servers)) {
            if (parts.updateDnsRemapList) {
                RefreshDnsRemapList();
            }
            const uint64_t due =
                os::QuerySystemTime() + uint64_t{kPolicyQueryPeriodSeconds} * kTicksPerSecond;
            SetServiceTimer("Policy query", policyQueryTimer, due, kPolicyQueryPeriodSeconds,
                            kPolicyQueryPeriodSeconds);
        }
        if (result.dormant) {
            uint32_t current = 0;
            const bool present = ReadRegistryDword(settings.ProductKey(), "Dormant", current);
            if ((present && (current != 0) != *result.dormant) || (!present && *result.dormant)) {
                DebugWrite(
                    LINE_ALWAYS_LOG, "%s",
                    *result.dormant ? "Switching to dormant mode" : "Switching to active mode");
            }
            if (!WriteRegistryDword(settings.ProductKey(), "Dormant", *result.dormant ? 1 : 0)) {
                ReportServiceErrorEvent(EVENT_SET_REGISTRY_VALUE_FAILED, os::GetLastError(),
                                        {"Dormant", kProductKeyFullName});
            }
        }
    }
    std::string url = result.updateUrl;
    if (!updateUrlOverride.empty()) {
        url = updateUrlOverride;
        DebugPrint("Override update URL = \"%s\"", url.c_str());
        updateUrlOverride.clear();
    }
    if (url.empty()) {
        DebugPrint("No software update");
    } else if (update) {
        DebugPrint("Update already started; Ignoring update URL = \"%s\"", url.c_str());
    } else if (freshInstall) {
        DebugPrint("Fresh install; deferring software update. URL = \"%s\"", url.c_str());
    } else if (!parts.startUpdate) {
        LogPartNotAvailable("Software update");
    } else {
        UPDATE_PROCESS started;
        if (parts.startUpdate(url, &started) && started.process) {
            update = std::move(started);
        }
    }
    const uint64_t now = os::QuerySystemTime();
    const uint32_t delay = NextCheckInDelay(now, checkedIn ? result.nextCheckIn : std::nullopt,
                                            RandomCheckInSeconds());
    if (!SetServiceTimer("Check-in", checkInTimer, now + uint64_t{delay} * kTicksPerSecond, delay,
                         0)) {
        return false;
    }
    RefreshDnsRemapList();
    freshInstall = false;
    return true;
}

}  // namespace wexo::svc
