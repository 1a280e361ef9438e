#include "service/host/program_entry.h"

#include <random>

#include "os/core/clock.h"
#include "os/core/status.h"
#include "os/win32/name_resolution.h"
#include "os/win32/service_control.h"
#include "os/win32/system_facts.h"
#include "service/checkin/deployments.h"
#include "service/checkin/settings.h"
#include "service/host/version_banner.h"
#include "service/policy/redirect_query.h"
#include "service/servers/policy_ping.h"
#include "service/servers/policy_servers.h"
#include "service/support/debug_log.h"
#include "service/support/event_log.h"
#include "service/support/registry_helpers.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

constexpr uint32_t kTestThreadsWaitMs = 10'000;

void LogRegistryFailure(const char* format, const char* value, uint32_t error) {
    DebugPrint(format, value, os::SystemMessageText(error).c_str(),
               static_cast<unsigned long>(error));
}

uint32_t RandomMilliseconds(uint32_t limit) {
    static std::mutex lock;
    static std::mt19937 generator{std::random_device{}()};
    std::lock_guard guard(lock);
    return std::uniform_int_distribution<uint32_t>(0, limit)(generator);
}

// The host of a URL: after "scheme://", up to the port, path, query or fragment.
std::string UrlHost(const std::string& url) {
    size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    size_t end = url.find_first_of(":/?#", start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

int RunQueryUrl(const COMMAND_LINE_OPTIONS& options, SETTINGS& settings, POLICY_SERVERS& servers,
                os::Event& stop, const std::string& deviceId) {
    std::string sidText, domain, user;
    const std::vector<uint8_t> sid = UnixUserSid(static_cast<uint32_t>(getuid()));
    SidToString(sid, &sidText);
    // The user comes as "DOMAIN\name", as lookups send it; the line shows its two parts.
    GetAccountForSid(sid, &domain, &user);
    const std::string name =
        user.substr(user.rfind('\\') == std::string::npos ? 0 : user.rfind('\\') + 1);
    DebugPrint("User = \"%s\\%s\", SID = %s", domain.c_str(), name.c_str(), sidText.c_str());
    IP_ADDRESS address;
    address.ResolveHostName(UrlHost(options.queryUrl));
    const std::string addressText = address.ToText();
    POLICY_ENGINE engine(settings, servers, &stop);
    POLICY_QUERY query;
    query.https = options.queryUrl.rfind("https://", 0) == 0;
    query.lookupUrl = options.queryUrl;
    query.address = address;
    query.addressText = addressText;
    query.userName = user;
    query.deviceId = deviceId;
    std::string redirect;
    if (engine.QueryRedirectUrl(query, &redirect)) {
        DebugPrint("Would redirect URL = \"%s\" to \"%s\"", options.queryUrl.c_str(),
                   redirect.c_str());
    } else {
        DebugPrint("No redirect for URL = \"%s\"", options.queryUrl.c_str());
    }
    return 0;
}

// The MAC address a check-in test sends: the command line's, or the detected one for none or "@".
std::string CheckInMacAddress(const COMMAND_LINE_OPTIONS& options, HOST_PARTS& parts) {
    if (!options.checkInMacAddress.empty() && options.checkInMacAddress != "@") {
        return options.checkInMacAddress;
    }
    return parts.getMacAddress ? parts.getMacAddress() : std::string();
}

void CheckInTestThread(const COMMAND_LINE_OPTIONS& options, HOST_PARTS& parts, SETTINGS& settings,
                       const std::string& uniqueDeviceId, os::Event& stop) {
    const std::string domain = LogonAccountDomain(options.logonAccount);
    for (uint32_t test = 1;; ++test) {
        DebugPrint("CheckInTest: Test #%u", test);
        CHECK_IN_RESULT result;
        if (parts.checkIn(domain, CheckInMacAddress(options, parts), uniqueDeviceId, &result)) {
            settings.ApplyCheckInServers(result.serverMode, result.servers);
        }
        const uint32_t wait = os::WaitForSingleObject(stop, 2000);
        if (wait == os::WAIT_OBJECT_0) {
            DebugPrint("CheckInTest: Service stopping ...");
            return;
        }
        if (wait != os::WAIT_TIMEOUT) {
            const uint32_t error = os::GetLastError();
            DebugPrint("CheckInTest: Wait failed. %s. Error code = %lu.",
                       os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
            return;
        }
    }
}

int RunPolicyServerTest(const COMMAND_LINE_OPTIONS& options, HOST_PARTS& parts, SETTINGS& settings,
                        POLICY_SERVERS& servers, SERVICE_STOP& stop,
                        const std::string& uniqueDeviceId) {
    std::vector<std::shared_ptr<os::Thread>> threads;
    for (const char* name : {"A", "B"}) {
        threads.push_back(os::Thread::Start(
            [name, &servers, &stop] { PolicyServerTestThread(name, servers, stop.event); },
            std::string("PolicyServerTest") + name));
    }
    if (options.checkIn) {
        if (parts.checkIn) {
            threads.push_back(os::Thread::Start(
                [&, uniqueDeviceId] {
                    CheckInTestThread(options, parts, settings, uniqueDeviceId, stop.event);
                },
                "CheckInTest"));
        } else {
            LogPartNotAvailable("CHECK_IN");
        }
    }
    DebugPrint("Running policy server test for %lu seconds",
               static_cast<unsigned long>(options.policyServerTestSeconds));
    os::Sleep(options.policyServerTestSeconds * 1000);
    stop.Request();
    DebugPrint("Waiting for get policy server threads to complete ...");
    std::vector<os::DispatcherObject*> objects;
    for (auto& thread : threads) {
        objects.push_back(thread.get());
    }
    if (os::WaitForMultipleObjects(objects, true, kTestThreadsWaitMs) != os::WAIT_OBJECT_0) {
        DebugPrint("Time-out waiting for policy server test threads to complete");
    }
    return 0;
}

// The test steps in their order; returns the exit code.
int RunTestModes(const COMMAND_LINE_OPTIONS& options, HOST_PARTS& parts, SETTINGS& settings,
                 const std::shared_ptr<SERVICE_STOP>& stop, DEVICE_INFORMATION& device) {
    bool missing = false;
    auto notAvailable = [&](const char* part) {
        LogPartNotAvailable(part);
        missing = true;
    };
    if (options.device) {
        if (parts.getMacAddress) {
            const std::string mac = parts.getMacAddress();
            DebugPrint("Mac address = %s, \n    Unique device ID = %s", mac.c_str(),
                       device.GetUniqueDeviceId().c_str());
        } else {
            notAvailable("DEVICE");
        }
    }
    if (options.showProcesses) {
        if (parts.showProcesses) {
            parts.showProcesses();
        } else {
            notAvailable("SHOW_PROCESSES");
        }
    }
    const bool needsSockets = !options.pingServer.empty() || !options.queryUrl.empty() ||
                              options.policyServerTest || options.dnsRemappingQuery;
    if (needsSockets) {
        os::WSADATA data;
        if (int error = os::WSAStartup(os::MAKEWORD(2, 2), &data); error != 0) {
            DebugPrint("WSAStartup failed. %s. Error code = %lu.",
                       os::SystemMessageText(static_cast<uint32_t>(error)).c_str(),
                       static_cast<unsigned long>(error));
            return kExitWinsockFailed;
        }
    }
    if (options.checkIn && !options.policyServerTest) {
        CHECK_IN_RESULT result;
        if (!parts.checkIn) {
            notAvailable("CHECK_IN");
        } else if (parts.checkIn(LogonAccountDomain(options.logonAccount),
                                 CheckInMacAddress(options, parts), device.GetUniqueDeviceId(),
                                 &result)) {
            if (result.nextCheckIn) {
                const os::CALENDAR_TIME t = os::SystemTimeToUtc(*result.nextCheckIn);
                const std::string when = FormatText(
                    "%04u-%02u-%02u %02u:%02u:%02u UTC", unsigned{t.year}, unsigned{t.month},
                    unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second});
                DebugPrint("Requested next check-in: %s", when.c_str());
            }
            LogPolicyServerNames("Check-in policy servers", result.servers);
            settings.ApplyCheckInServers(result.serverMode, result.servers);
        }
    }
    std::unique_ptr<POLICY_SERVERS> servers;
    if (!options.queryUrl.empty() || options.policyServerTest || options.dnsRemappingQuery) {
        servers = std::make_unique<POLICY_SERVERS>(settings, stop);
        servers->Rebuild();
        servers->WaitForServer();
    }
    if (!options.updatePackageUrl.empty()) {
        // The updater runs on by itself, as after a check-in; the test mode does not wait for it.
        UPDATE_PROCESS started;
        if (!parts.startUpdate) {
            notAvailable("UPDATE");
        } else {
            parts.startUpdate(options.updatePackageUrl, &started);
        }
    }
    if (!options.pingServer.empty()) {
        ProbeApiProtocol(options.pingServer);
        if (PingPolicyServer(options.pingServer) == PING_RESULT::Available) {
            DebugPrint("Server \"%s\" is available", options.pingServer.c_str());
        } else {
            DebugPrint("Server \"%s\" is not available", options.pingServer.c_str());
        }
    }
    if (!options.queryUrl.empty()) {
        RunQueryUrl(options, settings, *servers, stop->event, device.GetUniqueDeviceId());
    }
    if (options.policyServerTest) {
        RunPolicyServerTest(options, parts, settings, *servers, *stop, device.GetUniqueDeviceId());
    }
    if (options.dnsRemappingQuery) {
        if (parts.updateDnsRemapList) {
            parts.updateDnsRemapList(settings, servers.get(), device);
        } else {
            notAvailable("QUERY_DNS_REMAPPING");
        }
    }
    if (servers) {
        servers->StopQueryThreads();
    }
    WaitForPingRequests(std::chrono::milliseconds(5000));
    if (needsSockets) {
        os::WSACleanup();
    }
    return missing ? kExitNotAvailable : 0;
}

}  // namespace

void PolicyServerTestThread(const char* name, POLICY_SERVERS& servers, os::Event& stop) {
    DebugPrint("PolicyServerTest%s:", name);
    for (;;) {
        std::string server;
        if (!servers.CurrentServer(server)) {
            server = "<Unavailable>";
        }
        DebugPrint("PolicyServerTest%s: Policy server = \"%s\"", name, server.c_str());
        const uint32_t wait = RandomMilliseconds(2000);
        DebugPrint("PolicyServerTest%s: Waiting for %lu milliseconds ...", name,
                   static_cast<unsigned long>(wait));
        const uint32_t result = os::WaitForSingleObject(stop, wait);
        if (result == os::WAIT_OBJECT_0) {
            DebugPrint("PolicyServerTest%s: Service stopping ...", name);
            return;
        }
        if (result != os::WAIT_TIMEOUT) {
            uint32_t error = os::GetLastError();
            DebugPrint("PolicyServerTest%s: Wait failed. %s. Error code = %lu.", name,
                       os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
            return;
        }
    }
}

int32_t ChooseDeployment(int32_t commandLine, const os::RegKey& productKey) {
    if (commandLine != 0) {
        return commandLine;
    }
    uint32_t value = 0;
    if (ReadRegistryDword(productKey, "Deployment", value)) {
        if (IsValidDeployment(static_cast<int32_t>(value))) {
            return static_cast<int32_t>(value);
        }
    } else if (uint32_t error = os::GetLastError(); error != os::ERROR_FILE_NOT_FOUND) {
        LogRegistryFailure("Unable to read registry value = \"%s\". %s. Error code = %lu.",
                           "Deployment", error);
    }
    return DEPLOYMENT_PRODUCTION;
}

void WriteDeployment(const os::RegKey& productKey, int32_t deployment) {
    if (deployment == DEPLOYMENT_PRODUCTION) {
        uint32_t error = os::RegDeleteValue(productKey, "Deployment");
        if (error != os::ERROR_SUCCESS && error != os::ERROR_FILE_NOT_FOUND) {
            LogRegistryFailure("Unable to delete registry value = \"%s\". %s. Error code = %lu.",
                               "Deployment", error);
        }
        return;
    }
    if (!WriteRegistryDword(productKey, "Deployment", static_cast<uint32_t>(deployment))) {
        uint32_t error = os::GetLastError();
        if (error != os::ERROR_FILE_NOT_FOUND) {
            LogRegistryFailure("Unable to set registry value = \"%s\". %s. Error code = %lu.",
                               "Deployment", error);
        }
    }
}

void SaveDebugOutputMode(const os::RegKey& productKey, uint32_t commandLineFlags) {
    if (commandLineFlags != 0 && WriteRegistryDword(productKey, "DebugOutput", commandLineFlags)) {
        DebugPrint("Debug output mode saved");
    }
}

int WexoSvcMain(const std::vector<std::string>& arguments, HOST_PARTS parts) {
    // 1. Event source, debugger prefix, category names, the system's version.
    ServiceEventLog().Start("WexoSvc");
    DebugSetPrefix("WexoS: ");
    DebugUseProductCategoryNames();
    const os::OS_VERSION_FACTS version = os::GetVersionFacts();

    // 2-3. The debug output mode's sources, then the command line.
    COMMAND_LINE_OPTIONS options;
    options.registryDebugOutputMode = DebugReadRegistryMode();
    options.environmentDebugOutputMode = DebugReadEnvironmentMode();
    std::string invalid;
    const std::span<const std::string> rest =
        arguments.empty() ? std::span<const std::string>()
                          : std::span<const std::string>(arguments).subspan(1);
    if (!ParseCommandLine(rest, &options, &invalid)) {
        ShowInvalidArgument(invalid);
        ServiceEventLog().Stop();
        return kInvalidArgumentExitCode;
    }

    // 4. The mode and the argument lines.
    DebugStartLog({options.debugOutputFlags, options.registryDebugOutputMode,
                   options.environmentDebugOutputMode},
                  arguments);

    // 5. The deployment.
    SETTINGS settings;
    os::RegKey key;
    const bool keyOpen = os::RegOpenKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE), kProductKeyPath,
                                          key) == os::ERROR_SUCCESS;
    const int32_t deployment = keyOpen ? ChooseDeployment(options.deployment, key)
                                       : ChooseDeployment(options.deployment, os::RegKey());
    SelectDeployment(deployment);

    auto finish = [&](int code) {
        DebugSetMode(0);
        ServiceEventLog().Stop();
        return code;
    };

    // 7. Test modes.
    if (options.testMode) {
        WriteVersionBanner(version);
        auto stop = std::make_shared<SERVICE_STOP>();
        DEVICE_INFORMATION device;
        device.SetTestMode(true);
        if (parts.gatherDeviceInformation) {
            parts.gatherDeviceInformation(device, options.uniqueDeviceId);
        } else if (!options.uniqueDeviceId.empty()) {
            device.SetUniqueDeviceId(options.uniqueDeviceId);
        }
        if (!settings.OpenProductKey()) {
            return finish(1);
        }
        SaveDebugOutputMode(settings.ProductKey(), options.debugOutputFlags);
        WriteDeployment(settings.ProductKey(), deployment);
        settings.LoadSettings();
        LogDeployment(deployment);
        return finish(RunTestModes(options, parts, settings, stop, device));
    }
    if (options.version) {
        WriteVersionBanner(version);
        return finish(0);
    }

    // 9. The service body.
    HOST_OPTIONS hostOptions;
    hostOptions.immediateCheckIn = options.immediateCheckIn;
    hostOptions.logonAccountDomain = LogonAccountDomain(options.logonAccount);
    hostOptions.updateUrlOverride = options.updateUrlOverride;
    hostOptions.uniqueDeviceId = options.uniqueDeviceId;
    hostOptions.commandLineDebugFlags = options.debugOutputFlags;
    hostOptions.deployment = deployment;
    if (options.runInForeground) {
        SERVICE_HOST host(hostOptions, parts);
        return finish(host.RunAsApplication(true));
    }
    bool runAsApplication = options.runAsApplication;
    if (!runAsApplication) {
        int serviceExit = 0;
        const bool dispatched =
            os::StartServiceCtrlDispatcher("WexoSvc", [&](std::vector<std::string> serviceArgs) {
                SERVICE_HOST host(hostOptions, parts);
                serviceExit = host.ServiceMain(serviceArgs);
            });
        if (dispatched) {
            DebugPrint("Exit program");
            return finish(serviceExit);
        }
        const uint32_t error = os::GetLastError();
        if (error != os::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            ReportServiceErrorEvent(EVENT_START_DISPATCHER_FAILED, error);
            return finish(kExitDispatcherFailed);
        }
        runAsApplication = true;
    }
    DebugPrint("Running as application");
    SERVICE_HOST host(hostOptions, parts);
    return finish(host.RunAsApplication(false));
}

}  // namespace wexo::svc
