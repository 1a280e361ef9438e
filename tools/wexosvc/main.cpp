// wexosvc: the service program. It reaches the control device of the driver host (wexowfp) over
// the bridge socket in the runtime folder; for development it can hold the driver in its own
// process instead, over the simulated network.
//
// Environment, for development and the demo:
//   WEXO_IN_PROCESS_DRIVER=1  the driver in this process (no driver host needed)
//   WEXO_RUNTIME_DIR     the driver host's socket folder (default /run/wexo)
//   WEXO_REGISTRY_FILE   the registry store's file (default: a store in memory)
//   WEXO_POLICY_SERVERS  written to "PolicyServers" (with "ServerMode" balanced) before start
//   WEXO_DEMO_URLS       with the driver in this process, once the service registered: one
//   simulated browser connection per URL
//                        ("http://host/path", separated by blanks), each verdict on stdout
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "os/bridge/device_bridge.h"
#include "os/core/device_gateway.h"
#include "os/core/process.h"
#include "os/registry/registry.h"
#include "service/checkin/identity.h"
#include "service/host/built_in_parts.h"
#include "service/host/program_entry.h"
#include "service/support/registry_helpers.h"
#include "tools/pipeline/in_process_driver.h"

namespace {

using wexo::pipeline::IN_PROCESS_DRIVER;

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
        std::fprintf(stderr, "wexosvc: the registry file %s cannot be used\n", path);
        return false;
    }
    os::SetSystemRegistry(store);
    return true;
}

void WritePolicyServers() {
    const char* servers = Environment("WEXO_POLICY_SERVERS");
    if (servers == nullptr) {
        return;
    }
    os::RegKey key;
    if (os::RegCreateKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE), wexo::svc::kProductKeyPath, key) ==
        os::ERROR_SUCCESS) {
        wexo::svc::WriteRegistryString(key, "PolicyServers", servers);
        wexo::svc::WriteRegistryDword(key, "ServerMode", 0);
    }
}

// One browser connection per URL, once a service is registered; the verdict as the browser sees
// it.
void DemoTraffic(IN_PROCESS_DRIVER& driver, os::Event& ended, std::string urls) {
    os::DispatcherObject* objects[] = {&driver.ServiceRegistered(), &ended};
    if (os::WaitForMultipleObjects(objects, false, 30'000) != os::WAIT_OBJECT_0) {
        std::printf("wexosvc demo: no service registered\n");
        return;
    }
    // The policy-server set is built at the end of the start; a lookup before it has a server
    // would only be allowed for want of one.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto browser = os::CreateProcess(wexo::svc::UnixUserSid(static_cast<uint32_t>(getuid())), 1,
                                     "C:\\Browser\\browser.exe");
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
        std::printf("wexosvc demo: GET %s%s %s\n", host.c_str(), path.c_str(), verdict);
        std::fflush(stdout);
    }
    os::TerminateProcess(browser->Id());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    if (!InstallRegistry()) {
        return 1;
    }
    const char* inProcess = Environment("WEXO_IN_PROCESS_DRIVER");
    IN_PROCESS_DRIVER driver;
    // Lives to the end of the process: handles of the device refer to it until then.
    static os::DEVICE_BRIDGE_CLIENT bridge;
    if (inProcess != nullptr && std::string(inProcess) == "1") {
        if (!driver.Start()) {
            std::fprintf(stderr, "wexosvc: the in-process driver did not start\n");
            return 1;
        }
    } else {
        os::SetDeviceGateway(&bridge);
    }
    WritePolicyServers();
    std::thread traffic;
    os::Event ended(os::EventType::Notification);
    const char* urls = Environment("WEXO_DEMO_URLS");
    if (urls != nullptr && inProcess != nullptr) {
        traffic = std::thread(DemoTraffic, std::ref(driver), std::ref(ended), std::string(urls));
    }
    const int code = wexo::svc::WexoSvcMain(arguments, wexo::svc::BuiltInHostParts());
    ended.Set();
    if (traffic.joinable()) {
        traffic.join();
    }
    driver.Stop();
    return code;
}
