// Throughput of a download through the transparent proxy against the same download over a direct
// connection, in the same run: once for a flow whose every segment is presented to the stream
// callout and permitted (the path a watched HTTP connection takes), once for a flow the callout
// let pass (moved by splice). On loopback (the proxy's own cost), and between two network
// namespaces of the bench's own joined by a veth pair with the product's nftables redirect (as
// a machine has it; root only, skipped elsewhere). x_direct is the ratio to the direct run of the
// same network.
#include "os/wfp/linux/tcp_proxy.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "os/core/status.h"
#include "os/wfp/linux/nft_table.h"
#include "os/wfp/linux/redirect.h"
#include "tests/os/wfp/linux/socket_util.h"
#include "tests/os/wfp/wfp_test_util.h"
#include "tools/peers/network_namespaces.h"

namespace {

constexpr size_t kDownload = 256u << 20;  // per iteration
double gDirectBytesPerSecond = 0;

int Listen(uint16_t* port) {
    return wexo::test::LoopbackListener(port);
}

int Connect(uint16_t port) {
    return wexo::test::ConnectLoopback(port);
}

// One download: the server writes kDownload bytes and closes; the client reads them all.
bool Download(int listener, const std::function<int()>& connect) {
    std::thread server([listener] {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        static const std::string chunk(1 << 20, 'd');
        for (size_t sent = 0; fd >= 0 && sent < kDownload;) {
            ssize_t n =
                send(fd, chunk.data(), std::min(chunk.size(), kDownload - sent), MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<size_t>(n);
        }
        close(fd);
    });
    int client = connect();
    size_t received = 0;
    static thread_local char buffer[1 << 20];
    for (ssize_t n; client >= 0 && (n = recv(client, buffer, sizeof buffer, 0)) > 0;) {
        received += static_cast<size_t>(n);
    }
    close(client);
    server.join();
    return received == kDownload;
}

// Bytes per second of wall time since `start`; the proxied runs also get their ratio to the
// direct run of their network (`direct`: 0 for the direct run itself).
double Finish(benchmark::State& state, std::chrono::steady_clock::time_point start, double direct) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = static_cast<double>(state.iterations() * kDownload) / seconds;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDownload));
    if (direct > 0) {
        state.counters["x_direct"] = rate / direct;
    }
    return rate;
}

// A stream callout that lets every flow pass at its first segment (moved by splice from then on)
// or, with `passes` false, permits each segment as a watched connection's are.
std::unique_ptr<os::testing::StreamHarness> Callout(bool passes) {
    auto harness = std::make_unique<os::testing::StreamHarness>();
    if (passes) {
        harness->SetDecide([](const os::testing::INDICATION&,
                              os::FWPS_STREAM_CALLOUT_IO_PACKET& packet,
                              os::FWPS_CLASSIFY_OUT& out) {
            packet.streamAction = os::FWPS_STREAM_ACTION_ALLOW_CONNECTION;
            out.actionType = os::FWP_ACTION_PERMIT;
        });
    }
    return harness;
}

// ---- Loopback: the proxy's own cost, with nothing else in the way ----

void BM_LoopbackDirect(benchmark::State& state) {
    uint16_t port = 0;
    int listener = Listen(&port);
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!Download(listener, [port] { return Connect(port); })) {
            state.SkipWithError("the direct download lost bytes");
            break;
        }
    }
    gDirectBytesPerSecond = Finish(state, start, 0);
    close(listener);
}

void LoopbackProxied(benchmark::State& state, bool passes) {
    auto callout = Callout(passes);
    uint16_t serverPort = 0;
    int listener = Listen(&serverPort);
    os::wfplinux::TCP_PROXY_OPTIONS options;
    options.destination = [serverPort](int, os::wfplinux::PROXIED_CONNECTION* connection) {
        auto& to = reinterpret_cast<sockaddr_in&>(connection->destination);
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(serverPort);
        return true;
    };
    os::wfplinux::TCP_PROXY proxy(os::FilterEngine::Current(), std::move(options));
    std::string why;
    if (proxy.Start(&why) != 0) {
        state.SkipWithError(why.c_str());
        close(listener);
        return;
    }
    const uint16_t proxyPort = proxy.Port();
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!Download(listener, [proxyPort] { return Connect(proxyPort); })) {
            state.SkipWithError("the proxied download lost bytes");
            break;
        }
    }
    Finish(state, start, gDirectBytesPerSecond);
    state.counters["spliced"] = static_cast<double>(proxy.Counts().spliced);
    proxy.Stop();
    close(listener);
}

void BM_LoopbackProxyEverySegmentPresented(benchmark::State& state) {
    LoopbackProxied(state, false);
}

void BM_LoopbackProxyPassedFlowSpliced(benchmark::State& state) {
    LoopbackProxied(state, true);
}

// ---- Two namespaces joined by a veth pair: the redirect as a real machine has it ----

constexpr uint16_t kServerPort = 9000;
double gVethDirectBytesPerSecond = 0;

// The namespaces, the download server at 192.0.2.2, the product's table and the proxy in the
// client's namespace; made at first use, null (with the reason) where namespaces cannot be made.
struct VETH {
    std::unique_ptr<wexo::peers::NETWORK_NAMESPACES> namespaces;
    int listener = -1;
    std::unique_ptr<os::wfplinux::TCP_PROXY> proxy;
    os::NFT_TABLE table;

    static VETH* Get(std::string* why) {
        static std::unique_ptr<VETH> veth;
        static std::string problem;
        if (!veth && problem.empty()) {
            auto made = std::make_unique<VETH>();
            if (made->Make(&problem)) {
                veth = std::move(made);
            }
        }
        *why = problem;
        return veth.get();
    }
    ~VETH() {
        if (namespaces) {
            namespaces->RunIn(wexo::peers::NETWORK_NAMESPACES::SIDE::Client,
                              [&] { table.Remove(); });
        }
        if (proxy) {
            proxy->Stop();
        }
        if (listener >= 0) {
            close(listener);
        }
    }
    bool Make(std::string* why) {
        using SIDE = wexo::peers::NETWORK_NAMESPACES::SIDE;
        if (!wexo::peers::NETWORK_NAMESPACES::Available(why)) {
            return false;
        }
        namespaces = wexo::peers::NETWORK_NAMESPACES::Create(why);
        if (!namespaces) {
            return false;
        }
        namespaces->RunIn(SIDE::Server, [&] {
            listener = wexo::test::Bound(SOCK_STREAM, "192.0.2.2", kServerPort).Release();
        });
        // The proxy's loop thread is made in the client's namespace, so its upstream sockets are.
        int started = -1;
        uint32_t installed = 1;
        namespaces->RunIn(SIDE::Client, [&] {
            os::wfplinux::TCP_PROXY_OPTIONS options;
            options.mark = os::kProxySocketMark;
            proxy = std::make_unique<os::wfplinux::TCP_PROXY>(os::FilterEngine::Current(),
                                                              std::move(options));
            started = proxy->Start(why);
            if (started == 0) {
                os::NFT_TABLE_OPTIONS rules;
                rules.tcpProxyPort = proxy->Port();
                installed = table.Install(rules, why);
            }
        });
        return listener >= 0 && started == 0 && installed == os::ERROR_SUCCESS;
    }
    // A connection from the client's namespace to the server; a marked one is not redirected.
    int Connect(bool marked) const {
        int fd = -1;
        namespaces->RunIn(wexo::peers::NETWORK_NAMESPACES::SIDE::Client, [&] {
            wexo::test::UNIQUE_FD socket;
            const auto to = wexo::test::Address("192.0.2.2", kServerPort);
            auto mark = [marked](int raw) {
                if (marked) {
                    os::SetSocketMark(raw, os::kProxySocketMark);
                }
            };
            if (wexo::test::Connect(socket, SOCK_STREAM, to, mark) == 0) {
                timeval never{0, 0};  // a download may take longer than the helper's default
                setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &never, sizeof never);
                fd = socket.Release();
            }
        });
        return fd;
    }
};

void VethRun(benchmark::State& state, bool marked, bool passes) {
    std::string why;
    VETH* veth = VETH::Get(&why);
    if (veth == nullptr) {
        state.SkipWithError(("no network namespaces: " + why).c_str());
        return;
    }
    auto callout = marked ? nullptr : Callout(passes);
    const uint64_t splicedBefore = veth->proxy->Counts().spliced;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!Download(veth->listener, [veth, marked] { return veth->Connect(marked); })) {
            state.SkipWithError("the download lost bytes");
            break;
        }
    }
    const double rate = Finish(state, start, marked ? 0 : gVethDirectBytesPerSecond);
    if (marked) {
        gVethDirectBytesPerSecond = rate;
    } else {
        state.counters["spliced"] =
            static_cast<double>(veth->proxy->Counts().spliced - splicedBefore);
    }
}

void BM_VethDirect(benchmark::State& state) {
    VethRun(state, true, false);
}

void BM_VethProxyEverySegmentPresented(benchmark::State& state) {
    VethRun(state, false, false);
}

void BM_VethProxyPassedFlowSpliced(benchmark::State& state) {
    VethRun(state, false, true);
}

#define WEXO_THROUGHPUT(name) \
    BENCHMARK(name)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime()
WEXO_THROUGHPUT(BM_LoopbackDirect);
WEXO_THROUGHPUT(BM_LoopbackProxyEverySegmentPresented);
WEXO_THROUGHPUT(BM_LoopbackProxyPassedFlowSpliced);
WEXO_THROUGHPUT(BM_VethDirect);
WEXO_THROUGHPUT(BM_VethProxyEverySegmentPresented);
WEXO_THROUGHPUT(BM_VethProxyPassedFlowSpliced);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
