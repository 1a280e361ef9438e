// wexowfp: the driver host. It owns the registry store, starts the driver through its start routine
// (the driver has no unload: it runs until this process ends), and serves the control device to
// other processes over the bridge socket in the runtime folder. The filtering engine runs over the
// simulated network until the real backend exists.
//
// Environment:
//   WEXO_REGISTRY_FILE   the registry store's file (default: a store in memory)
//   WEXO_RUNTIME_DIR     the folder of the bridge sockets (default /run/wexo)
//   WEXO_DEMO_URLS       once a service registered: one simulated browser connection per URL
//                        ("http://host/path", separated by blanks), each verdict on stdout
//   NOTIFY_SOCKET        set by systemd: READY=1 once the driver runs and the sockets listen
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "os/bridge/device_bridge.h"
#include "os/core/device_gateway.h"
#include "os/core/process.h"
#include "os/registry/registry.h"
#include "service/checkin/identity.h"
#include "tools/pipeline/in_process_driver.h"

namespace {

using wexo::pipeline::IN_PROCESS_DRIVER;

constexpr char kServiceKey[] = "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp";

const char* Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

bool InstallRegistry() {
    const char* path = Environment("WEXO_REGISTRY_FILE");
    if (path == nullptr) {
        return true;
    }
    os::RegistryOpenResult result;
    auto store = os::RegistryStore::OpenFile(path, os::RegistryOpenOptions{}, &result);
    if (!store) {
        std::fprintf(stderr, "wexowfp: the registry file %s cannot be used\n", path);
        return false;
    }
    os::SetSystemRegistry(store);
    return true;
}

// One browser connection per URL once a service registered; the verdict as the browser sees it.
void DemoTraffic(IN_PROCESS_DRIVER& driver, os::Event& ended, std::string urls) {
    os::DispatcherObject* objects[] = {&driver.ServiceRegistered(), &ended};
    if (os::WaitForMultipleObjects(objects, false, 60'000) != os::WAIT_OBJECT_0) {
        std::printf("wexowfp demo: no service registered\n");
        std::fflush(stdout);
        return;
    }
    // The service builds its policy-server set at the end of its start; a lookup before it has
    // a server would only be allowed for want of one.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto browser = os::CreateProcess(wexo::svc::UnixUserSid(1000), 1, "C:\\Browser\\browser.exe");
    std::istringstream list(urls);
    std::string url;
    uint8_t last = 20;
    while (list >> url) {
        const std::string rest =
            url.substr(url.find("://") == std::string::npos ? 0 : url.find("://") + 3);
        const size_t slash = rest.find('/');
        const std::string host = rest.substr(0, slash);
        const std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
        auto connection =
            driver.Network().OpenTcp(os::MakeIPv4Address(198, 51, 100, last++), 80, browser->Id());
        connection->ClientSend("GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        connection->WaitUntil(
            [](const os::SIM_END_STATE& client, const os::SIM_END_STATE& server) {
                return !server.received.empty() || !client.received.empty() || client.reset;
            },
            10'000);
        const std::string received = connection->ClientReceived();
        const char* verdict = received.rfind("HTTP/1.1 302", 0) == 0 ? "REDIRECTED"
                              : connection->ClientWasReset()         ? "CLOSED"
                                                                     : "ALLOWED";
        std::printf("wexowfp demo: GET %s%s %s\n", host.c_str(), path.c_str(), verdict);
        std::fflush(stdout);
    }
    os::TerminateProcess(browser->Id());
}

}  // namespace

int main() {
    // The stop signals are taken by sigwait below, in this thread only.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    if (!InstallRegistry()) {
        return 1;
    }
    // The installer makes the driver's service key; a first start without one makes it.
    os::RegKey serviceKey;
    if (!os::NT_SUCCESS(os::ZwCreateKey(serviceKey, kServiceKey))) {
        std::fprintf(stderr, "wexowfp: the driver's service key cannot be made\n");
        return 1;
    }
    IN_PROCESS_DRIVER driver;
    if (!driver.Start()) {
        std::fprintf(stderr, "wexowfp: the driver did not start\n");
        return 1;
    }
    os::DEVICE_BRIDGE_SERVER devices(*os::CurrentDeviceGateway(), wexo::svc::UnixUserSid);
    const std::string runtimeDir = os::DeviceBridgeRuntimeDir();
    os::NTSTATUS status = devices.Start(runtimeDir);
    if (!os::NT_SUCCESS(status)) {
        std::fprintf(stderr, "wexowfp: the device bridge in %s did not start (0x%08x)\n",
                     runtimeDir.c_str(), static_cast<unsigned>(status));
        return 1;
    }
    std::printf("wexowfp: the driver runs; its device is served in %s\n", runtimeDir.c_str());
    std::fflush(stdout);
    sd_notify(0, "READY=1");

    std::thread traffic;
    os::Event ended(os::EventType::Notification);
    if (const char* urls = Environment("WEXO_DEMO_URLS")) {
        traffic = std::thread(DemoTraffic, std::ref(driver), std::ref(ended), std::string(urls));
    }
    int signal = 0;
    sigwait(&stops, &signal);
    sd_notify(0, "STOPPING=1");
    std::printf("wexowfp: stopping on signal %d\n", signal);
    std::fflush(stdout);
    ended.Set();
    if (traffic.joinable()) {
        traffic.join();
    }
    devices.Stop();
    driver.Stop();
    return 0;
}
