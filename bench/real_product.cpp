// The installed product on a real network (two namespaces of the bench's own, tools/pipeline/
// namespace_product), against a direct connection in the same run and against Squid from Debian
// in intercept mode in the same namespaces:
//   - a 1 GB HTTP download of an allowed host (the verdict cached after the first): direct
//     (a marked socket, which the product's table lets pass), through the product, through Squid;
//   - connection set-up of 1,000 connections to an allowed, cached host, from connect() to the
//     first byte of the answer: p50 and p99, direct, through the product and through Squid;
//   - the same downloads over a link shaped to 1 and 2.5 Gbit/s (tbf on the server's end of the
//     veth): what a laptop's own link allows, where the CPU, not the proxy's extra TCP work,
//     is no longer what sets the rate;
//   - the driver host's memory per open connection (its resident set with 2,000 idle connections
//     held, from its own accounting).
// Root only (namespaces, nftables); each benchmark says why when it cannot run. x_direct is the
// ratio to the direct run; cpu_s_per_GB the processor time the carrying processes (the driver
// host with its relays, or Squid) spent per GB of a download.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "os/core/status.h"
#include "os/wfp/linux/nft_table.h"
#include "os/wfp/linux/redirect.h"
#include "tests/os/wfp/linux/socket_util.h"
#include "tools/peers/tls_records.h"
#include "tools/pipeline/namespace_product.h"

namespace {

using std::chrono::steady_clock;
using wexo::pipeline::NAMESPACE_PRODUCT;
using wexo::test::UNIQUE_FD;
using SIDE = NAMESPACE_PRODUCT::SIDE;

constexpr uint16_t kWebPort = 8080;
constexpr uint16_t kSquidWebPort = 8081;  // the same server; this port goes through Squid
// The same download after a TLS handshake (its records without the cryptography): a connection the
// driver lets pass once its verdict came, which the host hands to a relay.
constexpr uint16_t kTlsWebPort = 8443;
constexpr uint16_t kSquidPort = 3129;
constexpr size_t kBigBody = size_t{1} << 30;
constexpr int kSetupConnections = 1000;
constexpr int kHeldConnections = 2000;

// A web server in the server namespace: "/big" is kBigBody bytes, anything else a short page;
// each connection is answered and closed, one at a time, and connections that send nothing are
// held until they close.
class WEB_SERVER {
  public:
    bool Start(const wexo::peers::NETWORK_NAMESPACES& net) {
        for (uint16_t port : {kWebPort, kSquidWebPort, kTlsWebPort}) {
            UNIQUE_FD fd;
            net.RunIn(SIDE::Server,
                      [&] { fd = wexo::test::Bound(SOCK_STREAM, "192.0.2.2", port); });
            if (!fd.Valid() || listen(fd.Get(), 4096) != 0)
                return false;
            threads_.emplace_back([this, listener = fd.Get(), tls = port == kTlsWebPort] {
                if (tls)
                    ServeTls(listener);
                else
                    Serve(listener);
            });
            listeners_.push_back(std::move(fd));
        }
        return true;
    }
    ~WEB_SERVER() {
        stop_ = true;
        for (auto& t : threads_)
            t.join();
    }

  private:
    void Serve(int listener) {
        static const std::string chunk(1 << 20, 'b');
        while (!stop_) {
            if (!wexo::test::Readable(listener, 100))
                continue;
            UNIQUE_FD c(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
            if (!c.Valid())
                continue;
            timeval limit{2, 0};
            setsockopt(c.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = recv(c.Get(), buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, static_cast<size_t>(n));
            }
            if (request.find("\r\n\r\n") == std::string::npos)
                continue;
            const bool big = request.rfind("GET /big ", 0) == 0;
            const size_t body = big ? kBigBody : 5;
            const std::string head =
                "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                "Content-Length: " +
                std::to_string(body) + "\r\nConnection: close\r\n\r\n";
            if (send(c.Get(), head.data(), head.size(), MSG_NOSIGNAL) < 0)
                continue;
            if (!big) {
                send(c.Get(), "hello", 5, MSG_NOSIGNAL);
                continue;
            }
            for (size_t sent = 0; sent < body;) {
                const ssize_t n =
                    send(c.Get(), chunk.data(), std::min(chunk.size(), body - sent), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += static_cast<size_t>(n);
            }
        }
    }

    // Reads one TLS record whole; false when the connection ended first.
    static bool ReadRecord(int fd) {
        char header[5];
        if (!ReadExactly(fd, header, sizeof header))
            return false;
        std::string body((static_cast<uint8_t>(header[3]) << 8) | static_cast<uint8_t>(header[4]),
                         '\0');
        return ReadExactly(fd, body.data(), body.size());
    }
    static bool ReadExactly(int fd, char* to, size_t size) {
        for (size_t got = 0; got < size;) {
            const ssize_t n = recv(fd, to + got, size - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }

    // The client's hello gets the server's, its finish the server's, and its request kBigBody
    // bytes; then the connection closes.
    void ServeTls(int listener) {
        static const std::string chunk(1 << 20, 'b');
        const std::string hello = wexo::peers::TlsServerHello();
        const std::string finish = wexo::peers::TlsChangeCipherSpec();
        while (!stop_) {
            if (!wexo::test::Readable(listener, 100))
                continue;
            UNIQUE_FD c(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
            if (!c.Valid())
                continue;
            timeval limit{2, 0};
            setsockopt(c.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            if (!ReadRecord(c.Get()) ||
                send(c.Get(), hello.data(), hello.size(), MSG_NOSIGNAL) <= 0 ||
                !ReadRecord(c.Get()) ||
                send(c.Get(), finish.data(), finish.size(), MSG_NOSIGNAL) <= 0 ||
                !ReadRecord(c.Get()))
                continue;
            for (size_t sent = 0; sent < kBigBody;) {
                const ssize_t n = send(c.Get(), chunk.data(),
                                       std::min(chunk.size(), kBigBody - sent), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += static_cast<size_t>(n);
            }
        }
    }

    std::vector<UNIQUE_FD> listeners_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
};

// Squid in intercept mode in the client namespace: a table of its own, ahead of the product's,
// sends the client's connections to port kSquidWebPort to Squid, whose own connections carry the
// product's mark and so pass both tables.
class SQUID {
  public:
    bool Start(NAMESPACE_PRODUCT& product, std::string* why) {
        const std::string squid = wexo::peers::NETWORK_NAMESPACES::FindProgram("squid");
        if (squid.empty()) {
            *why = "squid is not installed (make bench installs it)";
            return false;
        }
        const std::string conf = product.RuntimeDir() + "/squid.conf";
        std::ofstream out(conf);
        // Squid insists on a forward-proxy port besides the intercepting one; nothing uses it.
        out << "http_port 127.0.0.1:" << kSquidPort << " intercept\n"
            << "http_port 127.0.0.1:" << kSquidPort + 1 << "\n"
            << "dns_nameservers 192.0.2.2\n"
            << "http_access allow all\n"
            << "cache deny all\n"
            << "cache_mem 8 MB\n"
            << "access_log none\n"
            << "cache_log stdio:/dev/null\n"
            << "pid_filename none\n"
            << "shutdown_lifetime 0 seconds\n"
            << "tcp_outgoing_mark 0x" << std::hex << os::kProxySocketMark << std::dec << "\n";
        out.close();
        std::string nft;
        uint32_t installed = os::ERROR_GEN_FAILURE;
        product.Namespaces().RunIn(SIDE::Client, [&] {
            installed = os::RunNftCommands(
                "add table inet wexo_bench_squid\ndelete table inet wexo_bench_squid\n"
                "table inet wexo_bench_squid {\n"
                "  chain nat_output {\n"
                "    type nat hook output priority -150; policy accept;\n"
                "    meta mark " +
                    std::to_string(os::kProxySocketMark) +
                    " return\n"
                    "    tcp dport " +
                    std::to_string(kSquidWebPort) + " redirect to :" + std::to_string(kSquidPort) +
                    "\n  }\n}\n",
                &nft);
        });
        if (installed != os::ERROR_SUCCESS) {
            *why = "the Squid redirect was not installed: " + nft;
            return false;
        }
        process_ = product.Namespaces().Start(SIDE::Client, {squid, "-N", "-f", conf});
        for (int i = 0; i < 200; ++i) {
            bool up = false;
            product.Namespaces().RunIn(
                SIDE::Client, [&] { up = wexo::test::ConnectLoopback(kSquidPort, 1) >= 0; });
            if (up)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        *why = "squid did not start: " + (process_ ? process_->Output() : std::string());
        return false;
    }
    ~SQUID() {
        if (process_) {
            process_->Signal(SIGKILL);
            process_->Wait(std::chrono::seconds(10));
        }
    }

    pid_t Pid() const { return process_ ? process_->Pid() : -1; }

  private:
    std::unique_ptr<wexo::peers::CHILD_PROCESS> process_;
};

struct SETUP {
    std::unique_ptr<NAMESPACE_PRODUCT> product;
    std::unique_ptr<WEB_SERVER> web;
    std::unique_ptr<SQUID> squid;
    std::string why;       // why nothing runs
    std::string squidWhy;  // why Squid does not
};
SETUP* gSetup = nullptr;
double gDirectBytesPerSecond = 0;
std::map<int64_t, double> gDirectAtLinkRate;  // by the link's Mbit/s
double gDirectSetupP50 = 0;

// A client socket made in the client namespace; marked ones bypass the product.
UNIQUE_FD ClientSocket(bool marked) {
    UNIQUE_FD fd;
    gSetup->product->Namespaces().RunIn(SIDE::Client, [&] {
        fd = UNIQUE_FD(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (marked)
            os::SetSocketMark(fd.Get(), os::kProxySocketMark);
    });
    timeval limit{30, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

bool ConnectAndAsk(int fd, uint16_t port, const std::string& path) {
    const sockaddr_storage to = wexo::test::Address("192.0.2.2", port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), wexo::test::AddressSize(to)) != 0)
        return false;
    const std::string request = "GET " + path +
                                " HTTP/1.1\r\nHost: www.example.test\r\nUser-Agent: bench\r\n"
                                "Connection: close\r\n\r\n";
    return send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(request.size());
}

// The client's side of the handshake before the download: its hello (a name the policy allows),
// its finish once the server's hello came, and its request once the server's finish came.
bool ConnectAndAskTls(int fd) {
    const sockaddr_storage to = wexo::test::Address("192.0.2.2", kTlsWebPort);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), wexo::test::AddressSize(to)) != 0)
        return false;
    auto sendAll = [fd](const std::string& bytes) {
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    };
    auto receive = [fd](size_t size) {
        std::string got(size, '\0');
        for (size_t at = 0; at < size;) {
            const ssize_t n = recv(fd, got.data() + at, size - at, 0);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    };
    return sendAll(wexo::peers::TlsClientHello("www.example.test")) &&
           receive(wexo::peers::TlsServerHello().size()) &&
           sendAll(wexo::peers::TlsChangeCipherSpec()) &&
           receive(wexo::peers::TlsChangeCipherSpec().size()) &&
           sendAll(wexo::peers::TlsApplicationData("GET /big"));
}

// Everything the server sends; its size.
size_t ReadAll(int fd) {
    static thread_local std::vector<char> buffer(1 << 20);
    size_t total = 0;
    for (;;) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            return total;
        total += static_cast<size_t>(n);
    }
}

bool Ready(benchmark::State& state) {
    if (gSetup == nullptr || !gSetup->product) {
        state.SkipWithError(gSetup != nullptr ? gSetup->why.c_str() : "no setup");
        return false;
    }
    return true;
}

// Processor time (user and system) of `pid` and of every process below it (the host's relays),
// in seconds, from their /proc/<pid>/stat.
double ProcessorSeconds(pid_t pid) {
    if (pid <= 0)
        return 0;
    double seconds = 0;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close != std::string::npos) {
        // Past the command's parentheses: field 3 (state) first; utime and stime are 14 and 15.
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::strtoull(field.c_str(), nullptr, 10);
            if (i == 15)
                stime = std::strtoull(field.c_str(), nullptr, 10);
        }
        seconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    std::error_code ignored;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
        std::ifstream children(task.path() / "children");
        pid_t child = 0;
        while (children >> child)
            seconds += ProcessorSeconds(child);
    }
    return seconds;
}

// The processes that carry a download through `port`: the driver host and its relays, or Squid.
pid_t CarrierOf(uint16_t port) {
    if (port == kSquidWebPort)
        return gSetup->squid ? gSetup->squid->Pid() : -1;
    return gSetup->product->Host() != nullptr ? gSetup->product->Host()->Pid() : -1;
}

// Downloads of kBigBody; MB_per_s over the iterations, x_direct against the direct run (whose
// rate `direct` keeps).
void Download(benchmark::State& state, bool marked, uint16_t port, double* direct) {
    if (!Ready(state))
        return;
    if (port == kSquidWebPort && !gSetup->squid) {
        state.SkipWithError(gSetup->squidWhy.c_str());
        return;
    }
    size_t bytes = 0;
    double seconds = 0;
    const pid_t carrier = marked ? -1 : CarrierOf(port);
    const double processorBefore = ProcessorSeconds(carrier);
    for (auto _ : state) {
        UNIQUE_FD fd = ClientSocket(marked);
        const auto start = steady_clock::now();
        const bool asked = port == kTlsWebPort ? ConnectAndAskTls(fd.Get())
                                               : ConnectAndAsk(fd.Get(), port, "/big");
        if (!asked) {
            state.SkipWithError("the download did not start");
            return;
        }
        const size_t got = ReadAll(fd.Get());
        const double took = std::chrono::duration<double>(steady_clock::now() - start).count();
        state.SetIterationTime(took);
        if (got < kBigBody) {
            state.SkipWithError(("the download stopped after " + std::to_string(got)).c_str());
            return;
        }
        bytes += got;
        seconds += took;
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    const double rate = static_cast<double>(bytes) / seconds;
    state.counters["MB_per_s"] = rate / 1e6;
    if (carrier > 0)
        state.counters["cpu_s_per_GB"] =
            (ProcessorSeconds(carrier) - processorBefore) * 1e9 / static_cast<double>(bytes);
    if (marked)
        *direct = rate;
    else if (*direct > 0)
        state.counters["x_direct"] = rate / *direct;
}

// The product's first request of the host is looked up; the measured ones find it cached.
void WarmProduct() {
    UNIQUE_FD warm = ClientSocket(false);
    ConnectAndAsk(warm.Get(), kWebPort, "/small");
    ReadAll(warm.Get());
}

void BM_DownloadDirect(benchmark::State& state) {
    Download(state, true, kWebPort, &gDirectBytesPerSecond);
}

void BM_DownloadThroughProduct(benchmark::State& state) {
    if (Ready(state))
        WarmProduct();
    Download(state, false, kWebPort, &gDirectBytesPerSecond);
}

double gDirectTlsBytesPerSecond = 0;

void BM_DownloadTlsDirect(benchmark::State& state) {
    Download(state, true, kTlsWebPort, &gDirectTlsBytesPerSecond);
}

// The verdict is cached by the first; every download passes and is moved by a relay.
void BM_DownloadTlsThroughProduct(benchmark::State& state) {
    Download(state, false, kTlsWebPort, &gDirectTlsBytesPerSecond);
}

void BM_DownloadThroughSquid(benchmark::State& state) {
    Download(state, false, kSquidWebPort, &gDirectBytesPerSecond);
}

// The server's end of the veth sends at most `mbit` Mbit/s while this lives (a token bucket with
// 10 ms of burst), as the one link between a laptop and the rest of the network would.
class LINK_RATE {
  public:
    LINK_RATE(int64_t mbit, std::string* why) {
        const std::string rate = std::to_string(mbit) + "mbit";
        const std::string burst = std::to_string(mbit * 1'000'000 / 8 / 100);
        std::string out;
        shaped_ = gSetup->product->Run(SIDE::Server,
                                       {"tc", "qdisc", "replace", "dev", "wexo0", "root", "tbf",
                                        "rate", rate, "burst", burst, "latency", "50ms"},
                                       &out) == 0;
        if (!shaped_)
            *why = "the link could not be shaped: " + out;
    }
    ~LINK_RATE() {
        if (shaped_)
            gSetup->product->Run(SIDE::Server, {"tc", "qdisc", "del", "dev", "wexo0", "root"},
                                 nullptr);
    }
    bool Shaped() const { return shaped_; }

  private:
    bool shaped_ = false;
};

void DownloadAtLinkRate(benchmark::State& state, bool marked, uint16_t port) {
    if (!Ready(state))
        return;
    std::string why;
    LINK_RATE link(state.range(0), &why);
    if (!link.Shaped()) {
        state.SkipWithError(why.c_str());
        return;
    }
    if (!marked && port == kWebPort)
        WarmProduct();
    static std::map<int64_t, double> directTlsAtLinkRate;
    Download(state, marked, port,
             port == kTlsWebPort ? &directTlsAtLinkRate[state.range(0)]
                                 : &gDirectAtLinkRate[state.range(0)]);
}

void BM_DownloadDirectAtLinkRate(benchmark::State& state) {
    DownloadAtLinkRate(state, true, kWebPort);
}

void BM_DownloadThroughProductAtLinkRate(benchmark::State& state) {
    DownloadAtLinkRate(state, false, kWebPort);
}

void BM_DownloadTlsDirectAtLinkRate(benchmark::State& state) {
    DownloadAtLinkRate(state, true, kTlsWebPort);
}

void BM_DownloadTlsThroughProductAtLinkRate(benchmark::State& state) {
    DownloadAtLinkRate(state, false, kTlsWebPort);
}

void BM_DownloadThroughSquidAtLinkRate(benchmark::State& state) {
    DownloadAtLinkRate(state, false, kSquidWebPort);
}

// Time from connect() to the first byte of the answer, for kSetupConnections connections one
// after another; p50 and p99 in microseconds.
void Setup(benchmark::State& state, bool marked, uint16_t port = kWebPort) {
    if (!Ready(state))
        return;
    if (port == kSquidWebPort && !gSetup->squid) {
        state.SkipWithError(gSetup->squidWhy.c_str());
        return;
    }
    std::vector<double> times;
    for (auto _ : state) {
        times.clear();
        std::vector<UNIQUE_FD> sockets;
        for (int i = 0; i < kSetupConnections; ++i)
            sockets.push_back(ClientSocket(marked));
        const auto all = steady_clock::now();
        for (UNIQUE_FD& fd : sockets) {
            const auto start = steady_clock::now();
            char first = 0;
            if (!ConnectAndAsk(fd.Get(), port, "/small") || recv(fd.Get(), &first, 1, 0) != 1) {
                const std::string why = "connection " + std::to_string(times.size()) +
                                        " got no answer: " + std::strerror(errno);
                state.SkipWithError(why.c_str());
                return;
            }
            times.push_back(
                std::chrono::duration<double, std::micro>(steady_clock::now() - start).count());
            ReadAll(fd.Get());
            fd.Reset();
        }
        state.SetIterationTime(std::chrono::duration<double>(steady_clock::now() - all).count());
    }
    std::sort(times.begin(), times.end());
    const double p50 = times[times.size() / 2];
    const double p99 = times[times.size() * 99 / 100];
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    static double directP99 = 0;
    if (marked) {
        gDirectSetupP50 = p50;
        directP99 = p99;
    } else if (gDirectSetupP50 > 0) {
        state.counters["p50_x_direct"] = p50 / gDirectSetupP50;
        state.counters["p99_x_direct"] = p99 / directP99;
    }
}

void BM_SetupDirect(benchmark::State& state) {
    Setup(state, true);
}

void BM_SetupThroughProduct(benchmark::State& state) {
    // The first answer puts the host into the allowed-URL cache; the measured ones are hits.
    if (Ready(state)) {
        UNIQUE_FD warm = ClientSocket(false);
        ConnectAndAsk(warm.Get(), kWebPort, "/small");
        ReadAll(warm.Get());
    }
    Setup(state, false);
}

void BM_SetupThroughSquid(benchmark::State& state) {
    Setup(state, false, kSquidWebPort);
}

// Idle connections held open (connected, nothing sent yet: the flow waits for its first bytes).
void BM_HostMemoryPerOpenConnection(benchmark::State& state) {
    if (!Ready(state))
        return;
    double perConnection = 0;
    for (auto _ : state) {
        std::vector<UNIQUE_FD> sockets;
        for (int i = 0; i < kHeldConnections; ++i)
            sockets.push_back(ClientSocket(false));
        const long before = gSetup->product->HostResidentKiB();
        const sockaddr_storage to = wexo::test::Address("192.0.2.2", kWebPort);
        for (UNIQUE_FD& fd : sockets) {
            if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to),
                        wexo::test::AddressSize(to)) != 0) {
                state.SkipWithError("a connection failed");
                return;
            }
        }
        // The host has them all once each has its flow; give it the moment it needs.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const long open = gSetup->product->HostResidentKiB();
        perConnection = static_cast<double>(open - before) * 1024.0 / kHeldConnections;
    }
    state.counters["bytes_per_connection"] = perConnection;
}

#define WEXO_REAL(name) BENCHMARK(name)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations

WEXO_REAL(BM_DownloadDirect)(3);
WEXO_REAL(BM_DownloadThroughProduct)(3);
WEXO_REAL(BM_DownloadThroughSquid)(3);
WEXO_REAL(BM_DownloadTlsDirect)(3);
WEXO_REAL(BM_DownloadTlsThroughProduct)(3);
WEXO_REAL(BM_DownloadDirectAtLinkRate)(2)->Arg(1000)->Arg(2500);
WEXO_REAL(BM_DownloadThroughProductAtLinkRate)(2)->Arg(1000)->Arg(2500);
WEXO_REAL(BM_DownloadThroughSquidAtLinkRate)(2)->Arg(1000)->Arg(2500);
WEXO_REAL(BM_DownloadTlsDirectAtLinkRate)(2)->Arg(1000)->Arg(2500);
WEXO_REAL(BM_DownloadTlsThroughProductAtLinkRate)(2)->Arg(1000)->Arg(2500);
WEXO_REAL(BM_SetupDirect)(1);
WEXO_REAL(BM_SetupThroughProduct)(1);
WEXO_REAL(BM_SetupThroughSquid)(1);
BENCHMARK(BM_HostMemoryPerOpenConnection)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SETUP setup;
    gSetup = &setup;
    if (NAMESPACE_PRODUCT::Available(&setup.why)) {
        setup.product = std::make_unique<NAMESPACE_PRODUCT>();
        // A cache lifetime, as a policy server gives one for hosts without path rules: without
        // it (the reference server's default) every request would be asked of the server, and
        // the set-up measured would not be the cached one it says it is.
        if (!setup.product->Start(
                "[settings]\nCacheTimeout = 300\n[rules]\nblock host games.example\n",
                &setup.why)) {
            setup.product.reset();
        } else {
            setup.web = std::make_unique<WEB_SERVER>();
            if (!setup.web->Start(setup.product->Namespaces())) {
                setup.why = "the web server did not start";
                setup.web.reset();
                setup.product.reset();
            } else {
                setup.squid = std::make_unique<SQUID>();
                if (!setup.squid->Start(*setup.product, &setup.squidWhy))
                    setup.squid.reset();
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    setup.squid.reset();
    setup.web.reset();
    setup.product.reset();
    return 0;
}
