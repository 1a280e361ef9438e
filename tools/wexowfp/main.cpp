// wexowfp: the driver host. It owns the registry store, starts the driver through its start routine
// (the driver has no unload: it runs until this process ends), and serves the control device and
// the registry to other processes over the bridge sockets in the runtime folder.
//
// Environment:
//   WEXO_NETWORK         "real": the machine's outbound connections are filtered (the product's
//                        nftables table and the transparent proxy; the systemd unit sets it);
//                        otherwise the engine runs over the simulated network only
//   WEXO_REGISTRY_FILE   the registry store's file (default: a store in memory)
//   WEXO_ADMIN_FILE      the administrator's settings file (default /etc/wexo/wexo.conf), written
//                        into the product key at each start before the driver starts; a refused
//                        file leaves the stored settings as they were and the host starts anyway
//   WEXO_POLICY_SERVERS  written to the product key's "PolicyServers" (with "ServerMode"
//                        balanced) before the driver starts, as an installer would
//   WEXO_TLS_CA_FILE     written to the product key's "TlsCaFile" the same way: the authority
//                        the service's check-in, DNS remap list and update downloads trust
//   WEXO_RUNTIME_DIR     the folder of the bridge sockets (default /run/wexo)
//   WEXO_DRIVER_IMAGE    the driver's image file (default: this program's own file), held while
//                        the driver runs and replaced by its update for the next start
//   WEXO_DEMO_URLS       once a service registered: one simulated browser connection per URL
//                        ("http://host/path", separated by blanks), each verdict on stdout
//   WEXO_FILE_PROTECTION "real": the program folder the service registers is held against every
//                        other process of the machine (immutable attribute and fanotify) while
//                        the driver's file protection is on
//   NOTIFY_SOCKET        set by systemd: READY=1 once the driver runs and the sockets listen
//
// SIGUSR1 prints one status line (the driver's flows, the proxy's open connections, the heap in
// use by the allocator's own count) and the host goes on: what an operator or a soak reads to
// tell a stuck flow or a leak from a busy machine.
#include <malloc.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "driver/filter/stream_classify.h"
#include "driver/platform/driver_entry.h"
#include "os/bridge/device_bridge.h"
#include "os/bridge/registry_bridge.h"
#include "os/core/device_gateway.h"
#include "os/core/process.h"
#include "os/registry/registry.h"
#include "tools/pipeline/admin_settings.h"
#include "tools/pipeline/demo_traffic.h"
#include "tools/pipeline/host_image.h"
#include "tools/pipeline/in_process_driver.h"
#include "tools/pipeline/program_environment.h"
#include "tools/pipeline/real_file_protection.h"
#include "tools/pipeline/real_network.h"

namespace {

using wexo::pipeline::IN_PROCESS_DRIVER;

constexpr char kServiceKey[] = "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp";

using wexo::pipeline::EnvironmentValue;

}  // namespace

int main() {
    // The stop signals are taken by sigwait below, in this thread only.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    if (!wexo::pipeline::InstallRegistryFile("wexowfp")) {
        return 1;
    }
    // The installer makes the driver's service key; a first start without one makes it.
    os::RegKey serviceKey;
    if (!os::NT_SUCCESS(os::ZwCreateKey(serviceKey, kServiceKey))) {
        std::fprintf(stderr, "wexowfp: the driver's service key cannot be made\n");
        return 1;
    }
    // Installer data: once the driver runs, only the registered service changes the product key.
    // A file the administrator got wrong is no reason to leave the machine unfiltered: the host
    // starts with the settings it had.
    wexo::pipeline::ApplyAdminSettings("wexowfp");
    if (!wexo::pipeline::WritePolicyServers("wexowfp") ||
        !wexo::pipeline::WriteTlsCaFile("wexowfp")) {
        return 1;
    }
    IN_PROCESS_DRIVER driver;
    driver.SetImagePath(wexo::pipeline::NativeNameOf(wexo::pipeline::HostImagePath()));
    if (!driver.Start()) {
        std::fprintf(stderr, "wexowfp: the driver did not start\n");
        return 1;
    }
    os::DEVICE_BRIDGE_SERVER devices(*os::CurrentDeviceGateway());
    const std::string runtimeDir = os::DeviceBridgeRuntimeDir();
    os::NTSTATUS status = devices.Start(runtimeDir);
    if (!os::NT_SUCCESS(status)) {
        std::fprintf(stderr, "wexowfp: the device bridge in %s did not start (0x%08x)\n",
                     runtimeDir.c_str(), static_cast<unsigned>(status));
        return 1;
    }
    os::REGISTRY_BRIDGE_SERVER registry;
    std::string why;
    // The secret that authorises the privileged codes is no ordinary user's to read.
    os::REGISTRY_BRIDGE_OPTIONS registryOptions;
    registryOptions.secretValues = {{kServiceKey, wexo::drv::kAuthSecretValueName}};
    if (registry.Start(runtimeDir, registryOptions, &why) != os::ERROR_SUCCESS) {
        std::fprintf(stderr, "wexowfp: the registry bridge in %s did not start: %s\n",
                     runtimeDir.c_str(), why.c_str());
        return 1;
    }
    wexo::pipeline::REAL_NETWORK network;
    const char* mode = EnvironmentValue("WEXO_NETWORK");
    if (mode != nullptr && std::string(mode) == "real") {
        std::string problem;
        if (!network.Start(&problem)) {
            std::fprintf(stderr, "wexowfp: the machine's connections cannot be filtered: %s\n",
                         problem.c_str());
            return 1;
        }
        std::printf(
            "wexowfp: filtering the machine's connections (proxy port %u, DNS port %u%s%s%s)\n",
            static_cast<unsigned>(network.ProxyPort()), static_cast<unsigned>(network.DnsPort()),
            network.RejectsQuic() ? ", QUIC refused" : "",
            network.BlocksDohCanary() ? ", DNS-over-HTTPS canary answered" : "",
            network.StripsEch() ? ", ECH keys stripped" : "");
    }
    wexo::pipeline::REAL_FILE_PROTECTION files;
    const char* filesMode = EnvironmentValue("WEXO_FILE_PROTECTION");
    if (filesMode != nullptr && std::string(filesMode) == "real") {
        std::string problem;
        if (!files.Start(driver.Driver(), &problem)) {
            std::fprintf(stderr, "wexowfp: the program folder cannot be protected: %s\n",
                         problem.c_str());
            return 1;
        }
    }
    std::printf("wexowfp: the driver runs; its device and the registry are served in %s\n",
                runtimeDir.c_str());
    std::fflush(stdout);
    sd_notify(0, "READY=1");

    std::thread traffic;
    os::Event ended(os::EventType::Notification);
    if (const char* urls = EnvironmentValue("WEXO_DEMO_URLS")) {
        traffic = std::thread([&driver, &ended, list = std::string(urls)] {
            wexo::pipeline::RunDemoTraffic(driver, ended, list, "wexowfp demo:");
        });
    }
    int signal = 0;
    while (sigwait(&stops, &signal) == 0 && signal == SIGUSR1) {
        std::printf(
            "wexowfp: status: %zu flows in the driver, %llu connections through the proxy, "
            "%zu KiB of heap in use\n",
            driver.Driver().Filter().Flows().LinkedCount(),
            static_cast<unsigned long long>(network.OpenConnections()),
            mallinfo2().uordblks / 1024);
        std::fflush(stdout);
    }
    sd_notify(0, "STOPPING=1");
    std::printf("wexowfp: stopping on signal %d\n", signal);
    std::fflush(stdout);
    ended.Set();
    if (traffic.joinable()) {
        traffic.join();
    }
    network.Stop();  // the machine's connections are no longer redirected to a host that stops
    files.Stop();    // nothing stays immutable behind a host that stops
    registry.Stop();
    devices.Stop();
    driver.Stop();
    return 0;
}
