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

SERVICE_HOST::SERVICE_HOST(HOST_OPTIONS options, HOST_PARTS parts)
    : options_(std::move(options)),
      parts_(std::move(parts)),
      stop_(std::make_shared<SERVICE_STOP>()),
      updateUrlOverride_(options_.updateUrlOverride) {
    systemInformationGroup_.name = "Query system information";
    settingsGroup_.name = "Settings";
    ipNotifyGroup_.name = "IpNotify";
    checkInGroup_.name = "Check-in";
    sessionReuseGroup_.name = "HTTPS session reuse";
    serviceCallGroup_.name = "Service Call";
    serviceCallGroup_.array = true;
    for (THREAD_GROUP* group : {&systemInformationGroup_, &settingsGroup_, &ipNotifyGroup_,
                                &checkInGroup_, &sessionReuseGroup_}) {
        group->stop = [this] { StopRequest("stopping worker thread"); };
    }
    if (!options_.logonAccountDomain.empty()) {
        checkInDomain_ = options_.logonAccountDomain;
    }
}

SERVICE_HOST::~SERVICE_HOST() {
    Shutdown();
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
    os::WaitForSingleObject(stop_->event, os::INFINITE);
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
        os::WaitForSingleObject(stop_->event, os::INFINITE);
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

bool SERVICE_HOST::StartWorker(THREAD_GROUP& group, void (SERVICE_HOST::*body)()) {
    return StartGroupThread(group, [this, body] { (this->*body)(); });
}

bool SERVICE_HOST::InitialiseSteps() {
    // 1-2. The product key, the banner, the settings.
    if (!settings_.OpenProductKey()) {
        WriteVersionBanner(os::GetVersionFacts());
        return false;
    }
    WriteVersionBanner(os::GetVersionFacts());
    settings_.LoadSettings();
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
    // 6. The timers and events are members: made with the host, never failing here.
    // 7. The service-call channel.
    servers_ = std::make_unique<POLICY_SERVERS>(settings_, stop_);
    decision_ = std::make_unique<POLICY_ENGINE>(settings_, *servers_, &stop_->event);
    sessions_ = std::make_unique<HTTPS_SESSION_MAP>();
    context_ = std::make_unique<POLICY_LOOKUP_CONTEXT>(
        POLICY_LOOKUP_CONTEXT{*decision_, *sessions_, device_, stop_->event});
    channel_ = SERVICE_CALL_CHANNEL::Create();
    os::HANDLE input =
        channel_->ServiceCallInitialize(device_handle_, MakeServiceCallDispatcher(*context_));
    if (input == 0) {
        return false;
    }
    // 8. The first worker threads.
    if (!StartWorker(systemInformationGroup_, &SERVICE_HOST::SystemInformationThread) ||
        !StartWorker(settingsGroup_, &SERVICE_HOST::SettingsThread) ||
        !StartWorker(ipNotifyGroup_, &SERVICE_HOST::IpNotifyThread)) {
        return false;
    }
    // 9. The service-call threads.
    const uint32_t processors =
        options_.processorCount != 0 ? options_.processorCount : os::GetProcessorCount();
    serviceCallThreads_ = processors * options_.serviceCallThreadsPerProcessor;
    DebugPrint("ProcessorCount = %lu, ServiceCallThreadCount = %lu",
               static_cast<unsigned long>(processors),
               static_cast<unsigned long>(serviceCallThreads_));
    serviceCallGroup_.stop = [channel = channel_] { channel->ServiceCallStop(); };
    for (uint32_t i = 0; i < serviceCallThreads_; ++i) {
        auto thread = channel_->StartServiceCallThread(i);
        if (!thread) {
            return false;
        }
        serviceCallGroup_.threads.push_back(std::move(thread));
    }
    // 10. Registration with the driver.
    // Registration writes "Service registered" itself.
    if (!RegisterService(device_handle_, input)) {
        return false;
    }
    // 11. The deployment written back, and the settings that follow it.
    SaveDebugOutputMode(settings_.ProductKey(), options_.commandLineDebugFlags);
    WriteDeployment(settings_.ProductKey(), options_.deployment);
    if (settings_.DnsRemappingMode() == DNS_REMAPPING_BUILD_IN) {
        WriteDnsRemapping(settings_.ProductKey(), nullptr);
    }
    // 12. Check-in and session reuse.
    if (!StartWorker(checkInGroup_, &SERVICE_HOST::CheckInThread) ||
        !StartGroupThread(sessionReuseGroup_,
                          [this] { sessions_->HttpsSessionReuseThread(stop_->event); })) {
        return false;
    }
    // 13. "Shutdown" left from an earlier run.
    uint32_t shutdown = 0;
    if (ReadRegistryDword(settings_.ProductKey(), "Shutdown", shutdown) &&
        WriteRegistryDword(settings_.ProductKey(), "Shutdown", 0)) {
        DebugPrint("Registry value = \"%s\" reset", "Shutdown");
    }
    // 14. Privileges; failures are ignored.
    for (const char* privilege : kPrivileges) {
        os::EnableProcessPrivilege(privilege);
    }
    // 15. The policy-server set.
    if (options_.buildServerSet) {
        servers_->Rebuild();
    }
    return true;
}

void SERVICE_HOST::Shutdown() {
    const bool started = channel_ || device_handle_ != 0 || socketsStarted_ ||
                         !settingsGroup_.threads.empty() ||
                         !systemInformationGroup_.threads.empty();
    if (!started) {
        return;
    }
    DebugPrint("Uninitializing service");
    THREAD_GROUP* groups[] = {&systemInformationGroup_, &settingsGroup_,     &ipNotifyGroup_,
                              &checkInGroup_,           &sessionReuseGroup_, &serviceCallGroup_};
    StopThreadGroups(kStopBudgetMs, groups);
    if (channel_) {
        channel_->ServiceCallUninitialize();
        channel_.reset();
    }
    if (socketsStarted_) {
        os::WSACleanup();
        socketsStarted_ = false;
    }
    checkInTimer_.Cancel();
    policyQueryTimer_.Cancel();
    if (device_handle_ != 0) {
        os::CloseHandle(device_handle_);
        device_handle_ = 0;
    }
    if (servers_) {
        servers_->StopQueryThreads();
    }
    context_.reset();
    decision_.reset();
    servers_.reset();
    sessions_.reset();
}

void SERVICE_HOST::StopRequest(const char* reason) {
    if (reason != nullptr) {
        DebugPrint("Stopping Service: Reason = %s", reason);
    } else {
        DebugPrint("Stopping Service ...");
    }
    stop_->Request();
}

uint32_t SERVICE_HOST::ControlHandler(uint32_t control, uint32_t eventType, const void* eventData) {
    switch (control) {
        case os::SERVICE_CONTROL_STOP:
            StopRequest("Service control: stop");
            return 0;
        case os::SERVICE_CONTROL_SHUTDOWN:
            StopRequest("Service control: shutdown");
            return 0;
        case os::SERVICE_CONTROL_POWEREVENT:
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
        case os::SERVICE_CONTROL_SESSIONCHANGE:
            SessionChange(eventType, eventData);
            return 0;
        default:
            return os::ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void SERVICE_HOST::PowerSuspend() {
    uint32_t expected = POWER_NORMAL;
    if (powerState_.compare_exchange_strong(expected, POWER_STANDBY)) {
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
    if (powerState_.compare_exchange_strong(expected, POWER_RESUMING)) {
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

void SERVICE_HOST::EndResume() {
    uint32_t expected = POWER_RESUMING;
    if (powerState_.compare_exchange_strong(expected, POWER_NORMAL)) {
        DebugPrint("Power state changed from %s to %s", "resuming", "normal");
    } else {
        DebugPrint("Power state %s found when %s was expected", PowerStateName(expected),
                   "resuming");
    }
}

void SERVICE_HOST::FlushAllowedCache() {
    if (decision_) {
        decision_->Caches().allowed.Flush();
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
            if (parts_.cloudAccountDomain) {
                std::string domain = parts_.cloudAccountDomain(static_cast<uint32_t>(id));
                if (!domain.empty()) {
                    SetCheckInDomain(domain);
                    checkInEvent_.Set();
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
    std::lock_guard guard(checkInDomainLock_);
    return checkInDomain_;
}

void SERVICE_HOST::SetCheckInDomain(const std::string& domain) {
    std::lock_guard guard(checkInDomainLock_);
    if (checkInDomain_.empty()) {
        if (!domain.empty()) {
            checkInDomain_ = domain;
            DebugPrint("Check-in domain = \"%s\"", domain.c_str());
        }
    } else if (checkInDomain_ != domain) {
        DebugPrint("Changing check-in domain from \"%s\" to \"%s\"", checkInDomain_.c_str(),
                   domain.c_str());
        checkInDomain_ = domain;
    }
}

bool SERVICE_HOST::FilteringOn() const {
    return decision_ && !decision_->Caches().filtering.IsOff();
}

void SERVICE_HOST::SystemInformationThread() {
    if (parts_.gatherDeviceInformation) {
        parts_.gatherDeviceInformation(device_, options_.uniqueDeviceId);
    } else {
        LogPartNotAvailable("GatherDeviceInformation");
        if (!options_.uniqueDeviceId.empty()) {
            device_.SetUniqueDeviceId(options_.uniqueDeviceId);
        }
    }
    // Whatever failed, lookups and check-ins stop waiting for it.
    device_.SetReady();
    systemInformationEvent_.Set();
}

void SERVICE_HOST::SettingsThread() {
    for (;;) {
        uint32_t error = os::RegNotifyChangeKeyValue(
            settings_.ProductKey(), false, os::REG_NOTIFY_CHANGE_LAST_SET, settingsEvent_);
        if (error != os::ERROR_SUCCESS) {
            DebugPrint("RegNotifyChangeKeyValue failed. %s. Error code = %lu.",
                       os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
            return;
        }
        os::DispatcherObject* objects[] = {&stop_->event, &settingsEvent_};
        if (os::WaitForMultipleObjects(objects, false, os::INFINITE) != os::WAIT_OBJECT_0 + 1) {
            return;
        }
        DebugPrint("Loading new debug settings");
        DebugReloadSettings();
        uint32_t shutdown = 0;
        if (ReadRegistryDword(settings_.ProductKey(), "Shutdown", shutdown) && shutdown == 1) {
            WriteRegistryDword(settings_.ProductKey(), "Shutdown", 2);
            const std::string reason = FormatText("Registry value \"%s\" set", "Shutdown");
            StopRequest(reason.c_str());
        }
    }
}

void SERVICE_HOST::IpNotifyThread() {
    os::Event changed(os::EventType::Synchronization);
    os::ADDRESS_CHANGE_NOTIFICATION notification;
    uint32_t result = notification.Request(changed);
    if (result != os::ERROR_IO_PENDING) {
        DebugPrint("NotifyAddrChange failed. %s. Error code = %lu.",
                   os::SystemMessageText(result).c_str(), static_cast<unsigned long>(result));
        return;
    }
    for (;;) {
        os::DispatcherObject* objects[] = {&stop_->event, &changed};
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
        switch (powerState_.load()) {
            case POWER_STANDBY:
                DebugPrint("Ignore IP address change for suspend");
                break;
            case POWER_RESUMING:
                DebugPrint("Ignore IP address change for resume");
                EndResume();
                break;
            default:
                DebugPrint("IP address change; enabling filtering");
                if (decision_) {
                    decision_->Caches().filtering.SwitchOn();
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

void SERVICE_HOST::CheckInThread() {
    uint64_t now = os::QuerySystemTime();
    uint64_t firstCheckIn = now;
    uint64_t firstRefresh = now;

    bool freshInstall = false;
    uint32_t installed = 0;
    if (ReadRegistryDword(settings_.ProductKey(), "Installed", installed)) {
        uint32_t error = os::RegDeleteValue(settings_.ProductKey(), "Installed");
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

    if (parts_.consoleSession) {
        if (std::optional<uint32_t> console = parts_.consoleSession()) {
            DebugPrint("Getting check-in domain for console session ID = %lu",
                       static_cast<unsigned long>(*console));
            if (parts_.cloudAccountDomain) {
                std::string domain = parts_.cloudAccountDomain(*console);
                if (!domain.empty()) {
                    SetCheckInDomain(domain);
                }
            }
        }
    }

    uint32_t firstDelay = 0;
    if (options_.immediateCheckIn) {
        DebugPrint("Immediate check-in");
    } else {
        firstDelay = kFirstCheckInDelaySeconds;
        firstCheckIn += firstDelay * kTicksPerSecond;
        firstRefresh += firstDelay * kTicksPerSecond;
    }
    if (!SetServiceTimer("Policy query", policyQueryTimer_, firstRefresh, firstDelay,
                         kPolicyQueryPeriodSeconds) ||
        !SetServiceTimer("Check-in", checkInTimer_, firstCheckIn, firstDelay, 0)) {
        return;
    }

    std::optional<UPDATE_PROCESS> update;
    for (;;) {
        DebugWrite(LINE_VERBOSE, "Waiting for check-in or policy query timers ...");
        std::vector<os::DispatcherObject*> objects = {&stop_->event, &checkInEvent_, &checkInTimer_,
                                                      &policyQueryTimer_};
        if (update) {
            objects.push_back(update->process.get());
        }
        const uint32_t wait = os::WaitForMultipleObjects(objects, false, os::INFINITE);
        if (wait == os::WAIT_OBJECT_0) {
            return;
        }
        if (wait == os::WAIT_OBJECT_0 + 3) {
            DebugPrint("Policy query elapsed");
            if (parts_.updateDnsRemapList) {
                parts_.updateDnsRemapList(settings_, servers_.get(), device_);
            } else {
                LogPartNotAvailable("UpdateDnsRemapList");
            }
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

bool SERVICE_HOST::CheckInOnce(bool& freshInstall, std::optional<UPDATE_PROCESS>& update) {
    CHECK_IN_RESULT result;
    bool checkedIn = false;
    if (parts_.checkIn) {
        checkedIn =
            parts_.checkIn(CheckInDomain(),
                           parts_.getMacAddress ? parts_.getMacAddress() : std::string(), &result);
    } else {
        LogPartNotAvailable("CheckIn");
    }
    if (checkedIn) {
        if (settings_.ApplyCheckInServers(result.serverMode, result.servers)) {
            if (parts_.updateDnsRemapList) {
                parts_.updateDnsRemapList(settings_, servers_.get(), device_);
            }
            const uint64_t due =
                os::QuerySystemTime() + uint64_t{kPolicyQueryPeriodSeconds} * kTicksPerSecond;
            SetServiceTimer("Policy query", policyQueryTimer_, due, kPolicyQueryPeriodSeconds,
                            kPolicyQueryPeriodSeconds);
        }
        if (result.dormant) {
            uint32_t current = 0;
            const bool present = ReadRegistryDword(settings_.ProductKey(), "Dormant", current);
            if ((present && (current != 0) != *result.dormant) || (!present && *result.dormant)) {
                DebugWrite(
                    LINE_ALWAYS_LOG, "%s",
                    *result.dormant ? "Switching to dormant mode" : "Switching to active mode");
            }
            if (!WriteRegistryDword(settings_.ProductKey(), "Dormant", *result.dormant ? 1 : 0)) {
                ReportServiceErrorEvent(EVENT_SET_REGISTRY_VALUE_FAILED, os::GetLastError(),
                                        {"Dormant", kProductKeyFullName});
            }
        }
    }
    std::string url = result.updateUrl;
    if (!updateUrlOverride_.empty()) {
        url = updateUrlOverride_;
        DebugPrint("Override update URL = \"%s\"", url.c_str());
        updateUrlOverride_.clear();
    }
    if (url.empty()) {
        DebugPrint("No software update");
    } else if (update) {
        DebugPrint("Update already started; Ignoring update URL = \"%s\"", url.c_str());
    } else if (freshInstall) {
        DebugPrint("Fresh install; deferring software update. URL = \"%s\"", url.c_str());
    } else if (!parts_.startUpdate) {
        LogPartNotAvailable("Software update");
    } else {
        UPDATE_PROCESS started;
        if (parts_.startUpdate(url, &started) && started.process) {
            update = std::move(started);
        }
    }
    const uint64_t now = os::QuerySystemTime();
    const uint32_t delay = NextCheckInDelay(now, checkedIn ? result.nextCheckIn : std::nullopt,
                                            RandomCheckInSeconds());
    if (!SetServiceTimer("Check-in", checkInTimer_, now + uint64_t{delay} * kTicksPerSecond, delay,
                         0)) {
        return false;
    }
    if (parts_.updateDnsRemapList) {
        parts_.updateDnsRemapList(settings_, servers_.get(), device_);
    } else {
        LogPartNotAvailable("UpdateDnsRemapList");
    }
    freshInstall = false;
    return true;
}

}  // namespace wexo::svc
