// The main job, in acts. First the driver, the service and the reference policy server run
// together in this process on the simulated network with the sample policy: a handful of HTTP and
// TLS connections go through them, and one line per connection says what became of it and why.
// Then the installed programs run as separate processes (policy-server, the driver host wexowfp and
// the service wexosvc talking over the bridge sockets) and the host's connections are decided by
// the service in the other process. Then the same programs check in with the reference API server,
// which changes their policy-server list and sends the device dormant and back (check_in_act.cpp).
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "common/service_domain.h"
#include "os/win32/environment.h"
#include "tools/peers/child_process.h"
#include "tools/peers/dns_peer.h"
#include "tools/peers/policy_server.h"
#include "tools/peers/tls_records.h"
#include "tools/pipeline/namespace_product.h"
#include "tools/pipeline/pipeline.h"
#include "tools/wexo-demo/check_in_act.h"

namespace {

using wexo::pipeline::PIPELINE;

class Demo {
  public:
    explicit Demo(PIPELINE& pipeline) : pipeline_(pipeline) {}

    void Http(const char* what, const std::string& host, const std::string& path) {
        auto connection = Open(host, 80);
        connection->ClientSend("GET " + path + " HTTP/1.1\r\nHost: " + host +
                               "\r\nUser-Agent: demo\r\n\r\n");
        Report(what, "HTTP", host + path, *connection, false);
    }

    void Tls(const char* what, const std::string& host, const std::string& addressOf = {}) {
        auto connection = Open(addressOf.empty() ? host : addressOf, 443);
        const std::string hello = wexo::peers::TlsClientHello(host);
        connection->ClientSend(
            std::span(reinterpret_cast<const uint8_t*>(hello.data()), hello.size()));
        // The server's hello (TLS 1.2, a new session): now the driver asks about the host.
        const std::string serverHello = wexo::peers::TlsServerHello();
        connection->ServerSend(
            std::span(reinterpret_cast<const uint8_t*>(serverHello.data()), serverHello.size()));
        Report(what, "TLS ", host, *connection, true);
    }

  private:
    // Each host has an address of its own, which the browser looked up first: the driver sees
    // the resolver's answer (and so knows our own servers' addresses as ours).
    std::shared_ptr<os::SimTcpConnection> Open(const std::string& host, uint16_t port) {
        uint8_t last = static_cast<uint8_t>(std::hash<std::string>{}(host) % 200 + 20);
        pipeline_.Network()
            .OpenUdp(os::MakeIPv4Address(198, 51, 100, 53), 53, pipeline_.BrowserProcessId())
            ->ServerSend(wexo::peers::DnsAnswerA(host, {198, 51, 100, last}));
        pipeline_.Network().WaitSettled();
        lookupsBefore_ = pipeline_.CompletedLookups();
        askedBefore_ = pipeline_.Server().Pages().MobileCount();
        return pipeline_.Network().OpenTcp(os::MakeIPv4Address(198, 51, 100, last), port,
                                           pipeline_.BrowserProcessId());
    }

    void Report(const char* what, const char* kind, const std::string& url,
                os::SimTcpConnection& connection, bool tls) {
        bool lookedUp = pipeline_.AwaitLookups(lookupsBefore_ + 1, 3000);
        pipeline_.Network().WaitSettled();
        bool asked = pipeline_.Server().Pages().MobileCount() > askedBefore_;
        std::string client = connection.ClientReceived();
        std::string verdict, reason;
        if (!lookedUp) {
            verdict = "PASSED";
            reason = "not looked up: a host of the product's own service domain";
        } else if (client.rfind("HTTP/1.1 302", 0) == 0) {
            size_t at = client.find("Location: ");
            std::string location = client.substr(at + 10, client.find('\r', at) - at - 10);
            bool onFailure = location.find("BlockOnFailure") != std::string::npos;
            verdict = "REDIRECTED";
            reason = (onFailure ? "no policy server answered (block on failure) -> "
                                : "the policy blocks it -> ") +
                     location;
        } else if (tls && connection.ClientSawFin()) {
            verdict = "CLOSED";
            reason = asked ? "the policy blocks it (a TLS connection is closed)"
                           : "its address was blocked before (blocked-address cache)";
        } else {
            verdict = "ALLOWED";
            reason = asked ? "the policy server allowed it" : "answered from the allowed-URL cache";
        }
        std::printf("  %-33s %s %-39s %-10s %s\n", what, kind, url.c_str(), verdict.c_str(),
                    reason.c_str());
    }

    PIPELINE& pipeline_;
    uint64_t lookupsBefore_ = 0;
    size_t askedBefore_ = 0;
};

// Prints the lines of `output` that contain one of `shown`, each with the indented lines after it.
void ShowLines(const std::string& output, const std::vector<const char*>& shown) {
    size_t start = 0;
    bool showing = false;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        end = end == std::string::npos ? output.size() : end;
        const std::string line = output.substr(start, end - start);
        showing = showing && line.rfind("    ", 0) == 0;
        for (const char* part : shown) {
            showing = showing || line.find(part) != std::string::npos;
        }
        if (showing) {
            std::printf("  %s\n", line.c_str());
        }
        start = end + 1;
    }
}

// The product as it is installed: the reference policy server, the driver host (wexowfp) and the
// service (wexosvc -A) as three processes, the service reaching the host's device and registry over
// the bridge sockets of a runtime folder of the demo's own. The host's simulated browser
// connections get their verdicts from the service in the other process; then each process is
// stopped by SIGTERM.
int RunPrograms(const std::string& policyFile) {
    using std::chrono::seconds;
    using wexo::peers::CHILD_PROCESS;
    const std::string tools = std::string(WEXO_BINARY_DIR) + "/tools/";
    char folder[] = "/tmp/wexo-demo-run-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::fprintf(stderr, "wexo-demo: no runtime folder: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string runtime = folder;
    const std::vector<std::string> common = {
        "WEXO_RUNTIME_DIR=" + runtime,
        "NOTIFY_SOCKET=", "WEXO_REGISTRY_FILE=", "WEXO_IN_PROCESS_DRIVER=", "WEXO_NETWORK=",
        // Check-in stays on the machine: a loopback port nobody listens on.
        "WEXO_API_SERVER=127.0.0.1:9"};
    auto with = [&common](std::vector<std::string> more) {
        more.insert(more.end(), common.begin(), common.end());
        return more;
    };
    const std::vector<std::string> urls = {
        "http://www.example.test/index.html", "http://games.example/play",
        "http://news.example/world/europe.html", "http://news.example/world/weather/today.html"};
    std::string list;
    for (const auto& url : urls) {
        list += url + " ";
    }

    int result = 1;
    std::unique_ptr<CHILD_PROCESS> server, host, service;
    const std::string listening = "Policy server listening on http://";
    server = CHILD_PROCESS::Start(tools + "policy-server", {"--policy", policyFile, "--quiet"}, {});
    std::string address;
    if (server && server->ReadUntil(listening, seconds(30))) {
        const std::string& said = server->Output();
        const size_t at = said.find(listening) + listening.size();
        address = said.substr(at, said.find('\n', at) - at);
        // The policy server as an installer writes it, before the driver starts.
        host = CHILD_PROCESS::Start(
            tools + "wexowfp", {},
            with({"WEXO_DEMO_URLS=" + list, "WEXO_POLICY_SERVERS=" + address}));
    }
    if (!host || !host->ReadUntil("the driver runs", seconds(30))) {
        std::fprintf(stderr, "wexo-demo: the policy server or the driver host did not start\n%s%s",
                     server ? server->Output().c_str() : "", host ? host->Output().c_str() : "");
    } else {
        std::printf(
            "\nThe installed programs, each a process of its own: policy-server (%s), "
            "wexowfp (pid %d), wexosvc -A\n",
            address.c_str(), static_cast<int>(host->Pid()));
        service = CHILD_PROCESS::Start(tools + "wexosvc", {"-A"}, with({"WexoSvc=0x120"}));
        const bool served =
            service && host->ReadUntil("wexowfp demo: GET", seconds(60), urls.size());
        if (service) {
            std::printf("wexosvc (pid %d):\n", static_cast<int>(service->Pid()));
            service->Signal(SIGTERM);
            const int status = service->Wait(seconds(30));
            ShowLines(service->Output(),
                      {"Running as application", "Service registered", "Service started",
                       "QueryRedirectUrl:", "Stopping Service: Reason = Service control",
                       "Uninitializing service", "stopped normally"});
            std::printf("wexosvc exited with status %d\n", status);
            result = status == 0 && served ? 0 : 1;
        }
        std::printf(
            "wexowfp: the browser's connections on its network, as the browser saw them:\n");
        host->Signal(SIGTERM);
        const int hostStatus = host->Wait(seconds(30));
        ShowLines(host->Output(), {"wexowfp demo:", "wexowfp: stopping"});
        std::printf("wexowfp exited with status %d%s\n", hostStatus,
                    served ? "" : " (not every connection was answered)");
        result = hostStatus == 0 ? result : 1;
    }
    if (server) {
        server->Signal(SIGTERM);
        server->Wait(seconds(30));
    }
    std::filesystem::remove_all(runtime);
    return result;
}

// The real network, when this machine allows it (root, network namespaces, nftables, curl): the
// installed programs in a network namespace of the demo's own filter curl's real connections to
// web servers in a second namespace, with the sample policy.
int RunRealNetwork(const std::string& policyFile) {
    std::string why;
    if (!wexo::pipeline::NAMESPACE_PRODUCT::Available(&why)) {
        std::printf("\nThe real network: not shown on this machine (%s).\n", why.c_str());
        return 0;
    }
    std::ifstream in(policyFile);
    const std::string policy((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    wexo::pipeline::NAMESPACE_PRODUCT product;
    if (!product.Start(policy, &why)) {
        std::fprintf(stderr, "wexo-demo: the real network did not start: %s\n", why.c_str());
        return 1;
    }
    std::printf(
        "\nThe real network: wexowfp (WEXO_NETWORK=real: the product's nftables table and "
        "its transparent proxy) and wexosvc in namespace %s, web servers at 192.0.2.2 in "
        "%s; curl as a user runs it:\n",
        product.Namespaces().Name(wexo::pipeline::NAMESPACE_PRODUCT::SIDE::Client).c_str(),
        product.Namespaces().Name(wexo::pipeline::NAMESPACE_PRODUCT::SIDE::Server).c_str());
    struct FETCH {
        const char* url;
        const char* host;
        int port;
    };
    const FETCH fetches[] = {{"http://www.example.test/index.html", "www.example.test", 80},
                             {"http://games.example/play", "games.example", 80},
                             {"https://mail.example.test/index.html", "mail.example.test", 443},
                             {"https://games.example/play", "games.example", 443}};
    for (const FETCH& fetch : fetches) {
        std::string out;
        const int status = product.Curl(fetch.url, fetch.host, fetch.port, &out);
        std::string what;
        if (status != 0) {
            what = "CLOSED     the connection was cut (curl exit " + std::to_string(status) + ")";
        } else if (out.rfind("302 ", 0) == 0) {
            what = "REDIRECTED to the block page " + out.substr(4);
        } else {
            what = "ALLOWED    the server answered " + out.substr(0, 3);
        }
        std::printf("  curl %-38s %s\n", fetch.url, what.c_str());
    }
    product.StopService();
    const int hostStatus = product.StopHost();
    std::string tables;
    product.Run(wexo::pipeline::NAMESPACE_PRODUCT::SIDE::Client, {"nft", "list", "tables"},
                &tables);
    const bool removed = tables.find("wexo") == std::string::npos;
    std::printf("wexowfp exited with status %d; its nftables table %s\n", hostStatus,
                removed ? "is gone" : "is still there");
    return hostStatus == 0 && removed ? 0 : 1;
}

}  // namespace

int main() {
    wexo::pipeline::PIPELINE_OPTIONS options;
    options.policyFile = std::string(WEXO_SOURCE_DIR) + "/tools/policy-server/sample-policy.ini";
    options.logFolder = "C:\\tmp\\wexo-demo-" + std::to_string(getpid());
    PIPELINE pipeline(options);
    std::string error;
    if (!pipeline.Start(&error)) {
        std::fprintf(stderr, "wexo-demo: %s\n", error.c_str());
        return 1;
    }
    std::printf("Wexo demo: driver, service and reference policy server (%s) are running.\n",
                pipeline.Server().HostPort().c_str());
    std::printf("Policy: %s\n\n", options.policyFile.c_str());

    Demo demo(pipeline);
    demo.Http("an ordinary page", "www.example.test", "/index.html");
    demo.Http("a blocked host", "games.example", "/play");
    demo.Http("a blocked path", "news.example", "/world/europe.html");
    demo.Http("an allowed path below it", "news.example", "/world/weather/today.html");
    demo.Http("the same page again", "www.example.test", "/index.html");
    demo.Http("our own servers", "api." + std::string(wexo::kServiceDomain), "/2/checkin");
    demo.Tls("TLS to a blocked host", "games.example");
    demo.Tls("TLS to an ordinary host", "mail.example.test");
    demo.Tls("TLS to the blocked address again", "cdn.games.example", "games.example");
    pipeline.Server().Stop();
    demo.Http("the policy server is down", "www.other.test", "/");

    std::string log = pipeline.LogPath();
    pipeline.Stop();
    std::printf("\nThe service's debug log: %s\n",
                os::LinuxPathFromWindows(log).value_or(log).c_str());
    const int programs = RunPrograms(options.policyFile);
    const int checkIn = wexo::demo::RunCheckInAct(options.policyFile);
    const int real = RunRealNetwork(options.policyFile);
    return programs != 0 ? programs : checkIn != 0 ? checkIn : real;
}
