#include "tools/pipeline/pipeline.h"

#include <unistd.h>

#include <thread>
#include <vector>

#include "driver/filter/stream_classify.h"
#include "driver/platform/driver_entry.h"
#include "os/core/clock.h"
#include "os/registry/registry.h"
#include "os/win32/handles.h"
#include "service/calls/register_service.h"
#include "service/calls/service_call.h"
#include "service/checkin/deployments.h"
#include "service/checkin/identity.h"
#include "service/checkin/settings.h"
#include "service/policy/https_session_map.h"
#include "service/policy/policy_lookup.h"
#include "service/policy/redirect_query.h"
#include "service/servers/policy_ping.h"
#include "service/servers/policy_servers.h"
#include "service/support/debug_log.h"
#include "service/support/registry_helpers.h"
#include "tools/pipeline/in_process_driver.h"

namespace wexo::pipeline {

struct PIPELINE::PARTS {
    // Registry of this process: the service's settings live here.
    os::ScopedSystemRegistry registry{os::RegistryStore::CreateInMemory()};
    peers::PolicyServer server;
    std::unique_ptr<svc::SCOPED_DEVELOPMENT_DEPLOYMENT> deployment;

    IN_PROCESS_DRIVER driver;

    // The service.
    std::shared_ptr<os::PROCESS> serviceProcess;
    svc::SETTINGS settings;
    std::shared_ptr<svc::SERVICE_STOP> stop = std::make_shared<svc::SERVICE_STOP>();
    std::unique_ptr<svc::POLICY_SERVERS> servers;
    std::unique_ptr<svc::POLICY_ENGINE> decision;
    svc::HTTPS_SESSION_MAP sessions;
    svc::DEVICE_INFORMATION deviceInformation;
    std::unique_ptr<svc::POLICY_LOOKUP_CONTEXT> context;
    std::shared_ptr<svc::SERVICE_CALL_CHANNEL> channel;
    std::vector<std::shared_ptr<os::Thread>> workers;
    std::shared_ptr<os::Thread> sessionThread;
    os::HANDLE deviceHandle = 0;

    std::shared_ptr<os::PROCESS> browser;
};

PIPELINE::PIPELINE(PIPELINE_OPTIONS options) : options_(std::move(options)) {}

PIPELINE::~PIPELINE() {
    Stop();
}

bool PIPELINE::Start(std::string* error) {
    parts_ = std::make_unique<PARTS>();
    PARTS& p = *parts_;
    auto fail = [&](const std::string& what) {
        *error = what;
        Stop();
        return false;
    };

    std::string policyError;
    bool loaded = options_.policyFile.empty()
                      ? p.server.Pages().SetPolicyText(options_.policyText, &policyError)
                      : p.server.Pages().LoadPolicyFile(options_.policyFile, &policyError);
    if (!loaded) {
        return fail("policy: " + policyError);
    }
    if (!p.server.Start()) {
        return fail("the reference policy server did not start");
    }
    // The development deployment: its mobile server (and block-on-failure page) is our server.
    // The API server is named by its loopback address: resolving "localhost" for IPv6 asks the
    // machine's DNS server when the hosts file has no "::1", which leaves loopback and can stall.
    p.deployment =
        std::make_unique<svc::SCOPED_DEVELOPMENT_DEPLOYMENT>(p.server.HostPort(), "127.0.0.1");

    if (!options_.logFolder.empty()) {
        svc::DebugSetPrefix("WexoS: ");
        svc::DebugUseProductCategoryNames();
        svc::LOG_PATH path;
        path.directoryKind = svc::LogDirectory::Given;
        path.directory = options_.logFolder;
        svc::DebugSetLogPath(path);
        svc::DebugSetMode(svc::DEBUG_OUTPUT_LOG | svc::DEBUG_OUTPUT_OVERWRITE |
                          svc::DEBUG_OUTPUT_VERBOSE | svc::DEBUG_OUTPUT_HTTP |
                          svc::DEBUG_OUTPUT_XML);
    }

    // The service's settings, as an installer leaves them before the driver first loads (once
    // it runs, only the service may change the product key): the policy-server set is the
    // reference server.
    if (!p.settings.OpenProductKey() ||
        !svc::WriteRegistryString(p.settings.ProductKey(), "PolicyServers", p.server.HostPort()) ||
        !svc::WriteRegistryDword(p.settings.ProductKey(), "ServerMode",
                                 svc::SERVER_MODE_BALANCED)) {
        return fail("the product key could not be written");
    }

    // The driver starts first, as at boot.
    if (!p.driver.Start()) {
        return fail("the driver did not start");
    }
    p.settings.LoadSettings();
    p.servers = std::make_unique<svc::POLICY_SERVERS>(p.settings, p.stop);
    p.decision = std::make_unique<svc::POLICY_ENGINE>(p.settings, *p.servers, &p.stop->event);
    p.deviceInformation.SetUniqueDeviceId("0B4E4C2E-6C1D-4F5C-9E0A-5D2B3C4D5E6F");
    p.deviceInformation.SetReady();
    p.context = std::make_unique<svc::POLICY_LOOKUP_CONTEXT>(*p.decision, p.sessions,
                                                             p.deviceInformation, p.stop->event);

    // The service runs as the signed-in Linux user, in a process of its own.
    const uint32_t uid = static_cast<uint32_t>(getuid());
    p.serviceProcess = os::CreateProcess(svc::UnixUserSid(uid), 0, "C:\\usr\\lib\\wexo\\wexosvc");
    {
        os::ScopedProcessContext context(p.serviceProcess->Id());
        p.servers->Rebuild();
        p.sessionThread = os::Thread::Start(
            [&p] { p.sessions.HttpsSessionReuseThread(p.stop->event); }, "HTTPS session reuse");
    }
    const bool registered = StartServiceChannel();
    if (!registered) {
        return fail("the service did not register with the driver");
    }
    // Traffic waits until a ping has found the policy server available.
    if (!p.servers->WaitForServer()) {
        return fail("no policy server became available");
    }
    p.browser = os::CreateProcess(svc::UnixUserSid(uid), 1, "C:\\Browser\\browser.exe");
    return true;
}

bool PIPELINE::StartServiceChannel() {
    PARTS& p = *parts_;
    os::ScopedProcessContext context(p.serviceProcess->Id());
    p.deviceHandle = svc::OpenControlDevice();
    if (p.deviceHandle == os::INVALID_HANDLE_VALUE) {
        return false;
    }
    p.channel = svc::SERVICE_CALL_CHANNEL::Create();
    os::HANDLE input = p.channel->ServiceCallInitialize(p.deviceHandle,
                                                        svc::MakeServiceCallDispatcher(*p.context));
    for (uint32_t i = 0; input != 0 && i < options_.serviceWorkers; ++i) {
        p.workers.push_back(p.channel->StartServiceCallThread(i));
    }
    return input != 0 && svc::RegisterService(p.deviceHandle, input);
}

void PIPELINE::StopServiceChannel() {
    PARTS& p = *parts_;
    if (!p.channel) {
        return;
    }
    p.channel->ServiceCallStop();
    for (auto& worker : p.workers) {
        worker->Join();
    }
    p.workers.clear();
    os::ScopedProcessContext context(p.serviceProcess->Id());
    p.channel->ServiceCallUninitialize();
    os::CloseHandle(p.deviceHandle);
    p.deviceHandle = 0;
    p.channel.reset();
}

bool PIPELINE::RestartService(std::string* error) {
    if (!parts_) {
        *error = "the pipeline does not run";
        return false;
    }
    PARTS& p = *parts_;
    StopServiceChannel();
    // The old process ends (its handles closed, as a killed service's are); a new one registers.
    os::TerminateProcess(p.serviceProcess->Id());
    p.serviceProcess = os::CreateProcess(svc::UnixUserSid(static_cast<uint32_t>(getuid())), 0,
                                         "C:\\usr\\lib\\wexo\\wexosvc");
    if (!StartServiceChannel()) {
        *error = "the restarted service did not register with the driver";
        return false;
    }
    return true;
}

void PIPELINE::Stop() {
    if (!parts_) {
        return;
    }
    PARTS& p = *parts_;
    p.driver.CloseNetwork();
    StopServiceChannel();
    p.stop->Request();
    if (p.sessionThread) {
        p.sessionThread->Join();
    }
    if (p.servers) {
        p.servers->StopQueryThreads();
    }
    p.server.Stop();
    svc::WaitForPolicyQueries(std::chrono::milliseconds(5000));
    svc::WaitForPingRequests(std::chrono::milliseconds(5000));
    p.context.reset();
    p.decision.reset();
    p.servers.reset();
    if (p.serviceProcess) {
        os::TerminateProcess(p.serviceProcess->Id());
    }
    p.driver.Stop();
    if (!options_.logFolder.empty()) {
        svc::DebugSetMode(0);
    }
    parts_.reset();
}

os::SimNetwork& PIPELINE::Network() {
    return parts_->driver.Network();
}

uint32_t PIPELINE::BrowserProcessId() const {
    return parts_->browser->Id();
}

size_t PIPELINE::OpenFlows() const {
    return parts_->driver.Driver().Filter().Flows().LinkedCount();
}

uint32_t PIPELINE::ServiceProcessId() const {
    return parts_->serviceProcess != nullptr ? parts_->serviceProcess->Id() : 0;
}

peers::PolicyServer& PIPELINE::Server() {
    return parts_->server;
}

uint64_t PIPELINE::CompletedLookups() const {
    return parts_->driver.CompletedLookups();
}

bool PIPELINE::AwaitLookups(uint64_t count, uint32_t milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (parts_->driver.CompletedLookups() < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return parts_->driver.Network().WaitSettled();
}

size_t PIPELINE::AllowedCacheCount() const {
    return parts_->decision->Caches().allowed.Count();
}

std::string PIPELINE::LogPath() const {
    return svc::DebugGetLogPath();
}

}  // namespace wexo::pipeline
