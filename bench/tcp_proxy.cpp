// Throughput of a download through the transparent proxy against the same download over a direct
// connection, in the same run, on loopback: once for a flow whose every segment is presented to
// the stream callout and permitted (the path a watched HTTP connection takes), once for a flow
// the callout let pass (moved by splice). The x_direct counter is the ratio to the direct run.
#include "os/wfp/linux/tcp_proxy.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "tests/os/wfp/linux/socket_util.h"
#include "tests/os/wfp/wfp_test_util.h"

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
bool Download(int listener, uint16_t connectPort) {
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
    int client = Connect(connectPort);
    size_t received = 0;
    static thread_local char buffer[1 << 20];
    for (ssize_t n; client >= 0 && (n = recv(client, buffer, sizeof buffer, 0)) > 0;) {
        received += static_cast<size_t>(n);
    }
    close(client);
    server.join();
    return received == kDownload;
}

// Bytes per second of wall time since `start`; the proxied runs also get their ratio to direct.
double Finish(benchmark::State& state, std::chrono::steady_clock::time_point start, bool direct) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = static_cast<double>(state.iterations() * kDownload) / seconds;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDownload));
    if (!direct && gDirectBytesPerSecond > 0) {
        state.counters["x_direct"] = rate / gDirectBytesPerSecond;
    }
    return rate;
}

void BM_Direct(benchmark::State& state) {
    uint16_t port = 0;
    int listener = Listen(&port);
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!Download(listener, port)) {
            state.SkipWithError("the direct download lost bytes");
            break;
        }
    }
    gDirectBytesPerSecond = Finish(state, start, true);
    close(listener);
}

void Proxied(benchmark::State& state, bool passes) {
    os::testing::StreamHarness harness;
    if (passes) {
        harness.SetDecide([](const os::testing::INDICATION&,
                             os::FWPS_STREAM_CALLOUT_IO_PACKET& packet,
                             os::FWPS_CLASSIFY_OUT& out) {
            packet.streamAction = os::FWPS_STREAM_ACTION_ALLOW_CONNECTION;
            out.actionType = os::FWP_ACTION_PERMIT;
        });
    }
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
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!Download(listener, proxy.Port())) {
            state.SkipWithError("the proxied download lost bytes");
            break;
        }
    }
    Finish(state, start, false);
    state.counters["spliced"] = static_cast<double>(proxy.Counts().spliced);
    proxy.Stop();
    close(listener);
}

void BM_ProxyEverySegmentPresented(benchmark::State& state) {
    Proxied(state, false);
}

void BM_ProxyPassedFlowSpliced(benchmark::State& state) {
    Proxied(state, true);
}

BENCHMARK(BM_Direct)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ProxyEverySegmentPresented)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK(BM_ProxyPassedFlowSpliced)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
