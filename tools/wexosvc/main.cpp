// wexosvc: the service program. It reaches the control device of the driver host (wexowfp) over
// the bridge socket in the runtime folder; for development it can hold the driver in its own
// process instead, over the simulated network.
//
// Environment, for development and the demo:
//   WEXO_IN_PROCESS_DRIVER=1  the driver in this process (no driver host needed)
//   WEXO_RUNTIME_DIR     the driver host's socket folder (default /run/wexo)
//   WEXO_REGISTRY_FILE   with the driver in this process: the registry store's file (default: a
//                        store in memory); otherwise the driver host's store is used
//   WEXO_POLICY_SERVERS  written to "PolicyServers" (with "ServerMode" balanced) before start;
//                        a running driver host refuses them from anyone but the registered
//                        service, so give them to wexowfp there
//   WEXO_TLS_CA_FILE     written to "TlsCaFile" the same way: the authority the check-in, the DNS
//                        remap list and update downloads trust (the reference API server's)
//   WEXO_API_SERVER      "host:port": the Development deployment runs, its check-in (API) server
//                        that one and its mobile server the first policy server; tests and the
//                        demo give one on loopback so that no check-in leaves the machine
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
#include "os/bridge/registry_bridge.h"
#include "os/core/device_gateway.h"
#include "os/core/process.h"
#include "os/registry/registry.h"
#include "service/checkin/deployments.h"
#include "service/checkin/identity.h"
#include "service/host/built_in_parts.h"
#include "service/host/program_entry.h"
#include "service/support/registry_helpers.h"
#include "tools/pipeline/demo_traffic.h"
#include "tools/pipeline/in_process_driver.h"
#include "tools/pipeline/program_environment.h"

namespace {

using wexo::pipeline::IN_PROCESS_DRIVER;

using wexo::pipeline::EnvironmentValue;

// Points the Development deployment at the given API server and selects it.
void UseApiServer(std::vector<std::string>& arguments) {
    const char* api = EnvironmentValue("WEXO_API_SERVER");
    if (api == nullptr || *api == '\0') {
        return;
    }
    const char* servers = EnvironmentValue("WEXO_POLICY_SERVERS");
    std::string mobile = servers != nullptr ? servers : api;
    mobile = mobile.substr(0, mobile.find(';'));
    wexo::svc::SetDevelopmentServers(mobile, api);
    arguments.insert(arguments.begin() + (arguments.empty() ? 0 : 1), "-DEVL");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    UseApiServer(arguments);
    const char* inProcess = EnvironmentValue("WEXO_IN_PROCESS_DRIVER");
    const bool holdsDriver = inProcess != nullptr && std::string(inProcess) == "1";
    if (holdsDriver) {
        if (!wexo::pipeline::InstallRegistryFile("wexosvc")) {
            return 1;
        }
    } else {
        // The driver host owns the store; without a host the registry calls fail and the service
        // says so in its lines.
        os::ConnectRegistryBridge();
    }
    // With the driver in this process the servers are written before it starts, as an installer
    // would; against a driver host they reach its product key only where the host lets them
    // (its own WEXO_POLICY_SERVERS is the way to give them there).
    wexo::pipeline::WritePolicyServers("wexosvc");
    wexo::pipeline::WriteTlsCaFile("wexosvc");
    IN_PROCESS_DRIVER driver;
    // Lives to the end of the process: handles of the device refer to it until then.
    static os::DEVICE_BRIDGE_CLIENT bridge;
    if (holdsDriver) {
        if (!driver.Start()) {
            std::fprintf(stderr, "wexosvc: the in-process driver did not start\n");
            return 1;
        }
    } else {
        os::SetDeviceGateway(&bridge);
    }
    std::thread traffic;
    os::Event ended(os::EventType::Notification);
    const char* urls = EnvironmentValue("WEXO_DEMO_URLS");
    if (urls != nullptr && holdsDriver) {
        traffic = std::thread([&driver, &ended, list = std::string(urls)] {
            wexo::pipeline::RunDemoTraffic(driver, ended, list, "wexosvc demo:");
        });
    }
    const int code = wexo::svc::WexoSvcMain(arguments, wexo::svc::BuiltInHostParts());
    ended.Set();
    if (traffic.joinable()) {
        traffic.join();
    }
    driver.Stop();
    return code;
}
