// A page load in a real browser, direct and through the installed product (two namespaces of the
// bench's own, tools/pipeline/namespace_product), in the same run.
//
// The page has 60 subresources (20 style sheets, 20 SVG images, 20 async scripts, 1-10 KB each)
// from 10 hosts, h0.page.test to h9.page.test: the even ones over HTTP (port 8080, the page itself
// on h0), the odd ones over HTTPS (port 8443), on cpp-httplib servers in the server namespace
// with enough workers and a long enough listen queue that no connection waits for either. The
// names are resolved by real DNS: the client namespace's resolver is the test DNS server in the
// server namespace, so the product's DNS forwarder carries every query. Chromium accepts the
// servers' self-signed certificate by its key's pin (--ignore-certificate-errors-spki-list): an
// error is forgiven for that key only, the handshake is the real one.
//
// Headless Chromium in the client namespace, with a fresh profile (and HOME) in a temporary
// folder for every load, writes the navigation entry's loadEventEnd (milliseconds since the
// navigation began) and every resource's timing entry into the page, which --dump-dom prints.
// Direct loads run with a table of the bench's own that puts the product's mark on every packet
// of the client namespace, so the product's table lets them pass untouched (DNS included); loads
// through the product run without it. The policy server gives its answers a cache lifetime, as
// one does for hosts without path rules. After one direct load to warm the browser's files, the
// first load through the product (its verdicts not yet cached in the service) is reported apart,
// then ten direct and ten product loads alternate.
//
// Target: product_ms_p50 <= 1.10 x direct_ms_p50 (`ratio`). Beside the counters, a line per mode
// gives the medians over its entries of the DNS look-up, the set-up (TCP and TLS) of each new
// connection, the wait for the first byte, and that wait split at the moment the request reached
// its server (the servers note it on the wall clock the browser's timeOrigin is on): what the
// product holds a request for before it lets it go on, and the way back.
// Root only (namespaces, nftables); says why when it cannot run.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "os/core/status.h"
#include "os/wfp/linux/nft_table.h"
#include "tools/peers/network_namespaces.h"
#include "tools/peers/peer_tls.h"
#include "tools/pipeline/namespace_product.h"

namespace {

using wexo::pipeline::NAMESPACE_PRODUCT;
using SIDE = NAMESPACE_PRODUCT::SIDE;

constexpr int kHosts = 10;
constexpr int kResources = 60;
constexpr int kLoads = 10;
constexpr int kHttpPort = 8080;
constexpr int kHttpsPort = 8443;
// Chromium opens up to six connections a host, and cpp-httplib holds a worker for every
// keep-alive connection: enough workers that a connection never queues for one.
constexpr size_t kServerWorkers = 128;
// cpp-httplib listens with a backlog of 5: a burst of connects beyond it loses SYNs, which come
// again only after TCP's one-second retransmission time-out. Servers of the web keep hundreds.
constexpr int kServerBacklog = 1024;
constexpr char kDirectTable[] = "wexo_bench_page_direct";

std::string HostName(int host) {
    return "h" + std::to_string(host) + ".page.test";
}

bool Secure(int host) {
    return host % 2 == 1;
}

std::string Origin(int host) {
    return Secure(host) ? "https://" + HostName(host) + ":" + std::to_string(kHttpsPort)
                        : "http://" + HostName(host) + ":" + std::to_string(kHttpPort);
}

const std::string& PageUrl() {
    static const std::string url = Origin(0) + "/page.html";
    return url;
}

// Resource n is on host n % 10; the first 20 are style sheets, the next 20 images, the last
// 20 scripts.
std::string ResourceUrl(int n) {
    static const char* const kinds[] = {"css", "svg", "js"};
    return Origin(n % kHosts) + "/r/" + std::to_string(n) + "." + kinds[n / 20];
}

std::string Page() {
    std::string page = "<!doctype html><html><head><title>page</title>\n";
    for (int n = 0; n < 20; ++n)
        page += "<link rel=stylesheet href=\"" + ResourceUrl(n) + "\">\n";
    page += "</head><body>\n";
    for (int n = 20; n < 40; ++n)
        page += "<img alt=\"\" src=\"" + ResourceUrl(n) + "\">\n";
    for (int n = 40; n < kResources; ++n)
        page += "<script async src=\"" + ResourceUrl(n) + "\"></script>\n";
    // loadEventEnd is set once the load handlers returned, so it is read in a task after them.
    page += R"(<script>
addEventListener('load', function () { setTimeout(function () {
  var f = function (v) { return v.toFixed(1); };
  var n = performance.getEntriesByType('navigation')[0];
  var lines = ['load ' + f(n.loadEventEnd), 'origin ' + performance.timeOrigin.toFixed(3),
               ['nav', n.name, f(n.startTime), f(n.domainLookupStart), f(n.domainLookupEnd),
                f(n.connectStart), f(n.connectEnd), f(n.requestStart), f(n.responseStart),
                f(n.responseEnd)].join(' ')];
  performance.getEntriesByType('resource').forEach(function (e) {
    lines.push(['res', e.name, f(e.startTime), f(e.domainLookupStart), f(e.domainLookupEnd),
                f(e.connectStart), f(e.connectEnd), f(e.requestStart), f(e.responseStart),
                f(e.responseEnd)].join(' '));
  });
  var out = document.createElement('pre');
  out.id = 'timing';
  out.textContent = lines.join('\n');
  document.body.appendChild(out);
}, 0); });
</script>
</body></html>
)";
    return page;
}

// 1–10 KB, different for each resource, as the kind wants it.
std::string Resource(int n, const std::string& kind) {
    const size_t size = 1024 + static_cast<size_t>(n) * 1531 % 9216;
    std::string padding(size, 'x');
    if (kind == "css")
        return "/*" + padding + "*/\nbody{margin:0}\n";
    if (kind == "js")
        return "//" + padding + "\n";
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"8\" height=\"8\"><!--" + padding +
           "--><rect width=\"8\" height=\"8\"/></svg>";
}

// The page's servers, HTTP and HTTPS, on the server's address.
class ORIGINS {
  public:
    bool Start(const wexo::peers::NETWORK_NAMESPACES& net, std::string* why) {
        wexo::peers::CertificateOptions names;
        names.commonName = HostName(1);
        for (int host = 0; host < kHosts; ++host)
            names.altNames.push_back(HostName(host));
        identity_ = wexo::peers::MakeSelfSignedIdentity(names);
        plain_ = std::make_unique<httplib::Server>();
        secure_ =
            std::make_unique<httplib::SSLServer>(identity_.certificate.get(), identity_.key.get());
        if (!secure_->is_valid()) {
            *why = "the HTTPS server has no TLS context";
            return false;
        }
        const std::string page = Page();
        for (httplib::Server* server : {plain_.get(), secure_.get()}) {
            server->new_task_queue = [] { return new httplib::ThreadPool(kServerWorkers); };
            server->set_tcp_nodelay(true);
            server->set_keep_alive_timeout(30);
            server->set_socket_options([this](int socket) {
                const int on = 1;
                ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
                listeners_.push_back(socket);
            });
            const bool https = server == secure_.get();
            server->Get("/page.html",
                        [this, https, page](const httplib::Request& req, httplib::Response& res) {
                            Arrived(req, https);
                            res.set_header("Cache-Control", "no-store");
                            res.set_content(page, "text/html");
                        });
            server->Get(R"(/r/(\d+)\.(css|svg|js))", [this, https](const httplib::Request& req,
                                                                   httplib::Response& res) {
                Arrived(req, https);
                static const std::map<std::string, std::string> types = {
                    {"css", "text/css"}, {"svg", "image/svg+xml"}, {"js", "text/javascript"}};
                const std::string kind = req.matches[2];
                res.set_header("Cache-Control", "no-store");
                // Cross-origin entries carry their phases only when allowed.
                res.set_header("Timing-Allow-Origin", "*");
                res.set_content(Resource(std::stoi(req.matches[1]), kind), types.at(kind));
            });
        }
        bool bound = false;
        net.RunIn(SIDE::Server, [&] {
            bound = plain_->bind_to_port("192.0.2.2", kHttpPort) &&
                    secure_->bind_to_port("192.0.2.2", kHttpsPort);
        });
        // A listening socket takes a new backlog from a second listen().
        for (int listener : listeners_)
            bound = bound && ::listen(listener, kServerBacklog) == 0;
        if (!bound) {
            *why = "the page's servers could not listen";
            return false;
        }
        for (httplib::Server* server : {plain_.get(), secure_.get()})
            threads_.emplace_back([server] { server->listen_after_bind(); });
        for (httplib::Server* server : {plain_.get(), secure_.get()})
            for (int i = 0; i < 2000 && !server->is_running(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return plain_->is_running() && secure_->is_running();
    }
    ~ORIGINS() {
        for (httplib::Server* server : {plain_.get(), secure_.get()})
            if (server != nullptr)
                server->stop();
        for (std::thread& thread : threads_)
            thread.join();
    }
    std::string Pin() const { return identity_.PublicKeyPin(); }

    // When each URL's request reached its server, in ms of the wall clock (the browser's
    // timeOrigin is on the same clock); cleared before each load.
    std::map<std::string, double> TakeArrivals() {
        std::lock_guard hold(lock_);
        return std::move(arrivals_);
    }

  private:
    void Arrived(const httplib::Request& request, bool https) {
        const double now = std::chrono::duration<double, std::milli>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
        std::lock_guard hold(lock_);
        arrivals_[(https ? "https://" : "http://") + request.get_header_value("Host") +
                  request.path] = now;
    }

    std::vector<int> listeners_;  // the servers' own sockets
    std::mutex lock_;
    std::map<std::string, double> arrivals_;
    wexo::peers::TlsIdentity identity_;
    std::unique_ptr<httplib::Server> plain_;
    std::unique_ptr<httplib::Server> secure_;
    std::vector<std::thread> threads_;
};

struct LOAD {
    double loadMs = -1;
    // Phases of the entries in ms, by name: "dns" (a look-up that was made), "<scheme>_connect"
    // (TCP and TLS of an entry that opened a connection), "<scheme>_wait" (request to first byte),
    // "page_*" the same for the page itself, "last_byte" (when the last resource had come),
    // "<scheme>_to_server" (from the browser's request to the server's handler) and
    // "<scheme>_from_server" (from there to the browser's first byte of the answer).
    std::map<std::string, std::vector<double>> phases;
    size_t resources = 0;
    std::string error;
};

// The figures the page wrote into its DOM.
LOAD Parse(const std::string& output, const std::map<std::string, double>& arrivals) {
    LOAD load;
    const size_t start = output.find("<pre id=\"timing\">");
    const size_t end = output.find("</pre>", start);
    if (start == std::string::npos || end == std::string::npos) {
        load.error = "no timing in the page: " + output.substr(0, 2000);
        return load;
    }
    std::istringstream lines(output.substr(start + 17, end - start - 17));
    std::string line;
    double lastByte = 0;
    double timeOrigin = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "load") {
            fields >> load.loadMs;
            continue;
        }
        if (kind == "origin") {
            fields >> timeOrigin;
            continue;
        }
        if (kind != "res" && kind != "nav")
            continue;
        std::string name;
        double begin, dnsStart, dnsEnd, connectStart, connectEnd, request, response, done;
        fields >> name >> begin >> dnsStart >> dnsEnd >> connectStart >> connectEnd >> request >>
            response >> done;
        const std::string scheme = name.rfind("https:", 0) == 0 ? "https" : "http";
        const std::string prefix = kind == "nav" ? "page_" : scheme + "_";
        if (dnsEnd > dnsStart)
            load.phases[kind == "nav" ? "page_dns" : "dns"].push_back(dnsEnd - dnsStart);
        if (connectEnd > connectStart)
            load.phases[prefix + "connect"].push_back(connectEnd - connectStart);
        load.phases[prefix + "wait"].push_back(response - request);
        if (const auto arrival = arrivals.find(name); arrival != arrivals.end() && timeOrigin > 0) {
            const double atServer = arrival->second - timeOrigin;
            load.phases[prefix + "to_server"].push_back(atServer - request);
            load.phases[prefix + "from_server"].push_back(response - atServer);
        }
        if (kind == "res") {
            ++load.resources;
            lastByte = std::max(lastByte, done);
        }
    }
    load.phases["last_byte"].push_back(lastByte);
    if (load.loadMs <= 0 || load.resources != kResources)
        load.error = "the page reported " + std::to_string(load.resources) + " resources, load " +
                     std::to_string(load.loadMs);
    return load;
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct SETUP {
    std::unique_ptr<NAMESPACE_PRODUCT> product;
    std::unique_ptr<ORIGINS> origins;
    std::string chromium;
    std::string folder;  // the browser profiles and HOME
    std::string why;
};
SETUP* gSetup = nullptr;

// Every packet of the client namespace marked as the product's own, so that its table lets the
// browser's connections and queries go straight to the servers; or the mark taken off again.
bool SetDirect(bool direct, std::string* why) {
    const std::string table = std::string("table inet ") + kDirectTable;
    std::string commands = "add " + table + "\ndelete " + table + "\n";
    if (direct)
        commands += table +
                    " {\n"
                    "  chain output {\n"
                    // Before the product's chains (the earliest at -150) and its nat (-100).
                    "    type filter hook output priority -250; policy accept;\n"
                    "    meta mark set " +
                    std::to_string(os::kProxySocketMark) + "\n  }\n}\n";
    uint32_t status = os::ERROR_GEN_FAILURE;
    gSetup->product->Namespaces().RunIn(SIDE::Client,
                                        [&] { status = os::RunNftCommands(commands, why); });
    return status == os::ERROR_SUCCESS;
}

LOAD LoadPage(bool direct, int number) {
    LOAD load;
    if (!SetDirect(direct, &load.error))
        return load;
    const std::string home =
        gSetup->folder + "/" + (direct ? "direct-" : "product-") + std::to_string(number);
    std::string output;
    gSetup->origins->TakeArrivals();
    const int status = gSetup->product->Run(
        SIDE::Client,
        {"env", "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config",
         "XDG_CACHE_HOME=" + home + "/cache", gSetup->chromium, "--headless=new", "--no-sandbox",
         "--disable-gpu", "--no-first-run", "--no-default-browser-check",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-extensions", "--user-data-dir=" + home + "/profile",
         "--ignore-certificate-errors-spki-list=" + gSetup->origins->Pin(), "--dump-dom",
         PageUrl()},
        &output);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    if (direct)
        SetDirect(false, nullptr);
    if (status != 0) {
        load.error =
            "chromium ended with " + std::to_string(status) + ": " + output.substr(0, 2000);
        return load;
    }
    return Parse(output, gSetup->origins->TakeArrivals());
}

void BM_PageLoad(benchmark::State& state) {
    if (gSetup == nullptr || !gSetup->product) {
        state.SkipWithError(gSetup != nullptr ? gSetup->why.c_str() : "no setup");
        return;
    }
    for (auto _ : state) {
        std::vector<LOAD> direct, product;
        const LOAD warm = LoadPage(true, 0);
        const LOAD first = LoadPage(false, 0);
        for (const LOAD* load : {&warm, &first}) {
            if (!load->error.empty()) {
                state.SkipWithError(load->error.c_str());
                return;
            }
        }
        for (int i = 1; i <= kLoads; ++i) {
            direct.push_back(LoadPage(true, i));
            product.push_back(LoadPage(false, i));
            for (const LOAD* load : {&direct.back(), &product.back()}) {
                if (!load->error.empty()) {
                    state.SkipWithError(load->error.c_str());
                    return;
                }
            }
        }
        // The load's median as a counter; the phases' medians over all of a mode's entries,
        // and the connections a load opened, on a line of their own.
        auto report = [&](const std::vector<LOAD>& loads, const std::string& mode) {
            std::vector<double> times;
            std::map<std::string, std::vector<double>> phases;
            for (const LOAD& load : loads) {
                times.push_back(load.loadMs);
                for (const auto& [name, values] : load.phases)
                    phases[name].insert(phases[name].end(), values.begin(), values.end());
            }
            std::sort(times.begin(), times.end());
            state.counters[mode + "_ms_p50"] = Median(times);
            state.counters[mode + "_ms_max"] = times.back();
            std::printf("%s phases, median ms:", mode.c_str());
            for (const auto& [name, values] : phases)
                std::printf(" %s %.1f", name.c_str(), Median(values));
            std::printf("; connections a load: http %.1f https %.1f\n",
                        static_cast<double>(phases["http_connect"].size()) / loads.size(),
                        static_cast<double>(phases["https_connect"].size()) / loads.size());
            return Median(times);
        };
        const double directP50 = report(direct, "direct");
        const double productP50 = report(product, "product");
        state.counters["direct_first_ms"] = warm.loadMs;
        state.counters["product_first_ms"] = first.loadMs;
        state.counters["ratio"] = productP50 / directP50;
        std::printf("load ms (direct / product):");
        for (int i = 0; i < kLoads; ++i)
            std::printf(" %.0f/%.0f", direct[i].loadMs, product[i].loadMs);
        std::printf("\n");
    }
}

BENCHMARK(BM_PageLoad)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SETUP setup;
    gSetup = &setup;
    setup.chromium = wexo::peers::NETWORK_NAMESPACES::FindProgram("chromium");
    char folder[] = "/tmp/wexo-page-load-XXXXXX";
    if (!NAMESPACE_PRODUCT::Available(&setup.why)) {
    } else if (setup.chromium.empty()) {
        setup.why = "chromium is not installed";
    } else if (mkdtemp(folder) == nullptr) {
        setup.why = "no folder for the browser's profiles";
    } else {
        setup.folder = folder;
        setup.product = std::make_unique<NAMESPACE_PRODUCT>();
        // A cache lifetime, as a policy server gives one for hosts without path rules: without
        // it (the reference server's default) every request would be asked of the server.
        if (!setup.product->Start(
                "[settings]\nCacheTimeout = 300\n[rules]\nblock host games.example\n",
                &setup.why)) {
            setup.product.reset();
        } else {
            for (int host = 0; host < kHosts; ++host)
                setup.product->Dns().Add(HostName(host), "192.0.2.2");
            setup.origins = std::make_unique<ORIGINS>();
            if (!setup.origins->Start(setup.product->Namespaces(), &setup.why)) {
                setup.origins.reset();
                setup.product.reset();
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (setup.product)
        SetDirect(false, nullptr);
    setup.origins.reset();
    setup.product.reset();
    if (!setup.folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(setup.folder, ignored);
    }
    return 0;
}
