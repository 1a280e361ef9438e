// Hand-out of the current policy server: one thread alone, then 64 threads at once, against a set
// of three real local servers in balanced mode (every hand-out advances the current server under
// the settings lock). The lock is never held across network I/O, so contention costs only the
// lock's own hand-off; the target is a contended rate of at least a tenth of the uncontended one.
//
// Reported: uncontended_per_s, contended_per_s (all 64 threads together) and ratio.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os/registry/registry.h"
#include "service/checkin/settings.h"
#include "service/servers/policy_ping.h"
#include "service/servers/policy_servers.h"
#include "service/support/debug_log.h"
#include "service/support/http_api.h"
#include "service/support/registry_helpers.h"
#include "tools/peers/policy_server.h"

namespace {

using namespace wexo::svc;
using Clock = std::chrono::steady_clock;

constexpr int kThreads = 64;
constexpr auto kRunTime = std::chrono::milliseconds(500);

// Three answering servers and a balanced set over them, every server available.
class HandOutBench {
  public:
    HandOutBench() {
        DebugReset();
        SetApiProtocol(API_PROTOCOL_HTTP);  // decided: a hand-out does no probe
        std::string joined;
        for (auto& peer : peers_) {
            peer = std::make_unique<wexo::peers::PolicyServer>();
            peer->Start();
            joined += (joined.empty() ? "" : ";") + peer->HostPort();
        }
        settings_.OpenProductKey();
        WriteRegistryString(settings_.ProductKey(), "PolicyServers", joined);
        settings_.LoadSettings();
        servers_ = std::make_unique<POLICY_SERVERS>(settings_, stop_);
        servers_->Rebuild();
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end && !AllAvailable()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~HandOutBench() {
        servers_.reset();
        WaitForPingRequests(std::chrono::seconds(5));
    }

    bool AllAvailable() {
        for (const auto& peer : peers_) {
            if (!servers_->IsAvailable(peer->HostPort())) {
                return false;
            }
        }
        return true;
    }

    // Hand-outs per second of `threads` threads together during kRunTime.
    double Rate(int threads) {
        std::atomic<bool> go{false};
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> total{0};
        std::atomic<uint64_t> failures{0};
        std::vector<std::thread> workers;
        for (int i = 0; i < threads; ++i) {
            workers.emplace_back([&] {
                uint64_t count = 0;
                uint64_t failed = 0;
                std::string name;
                while (!go.load(std::memory_order_acquire)) {
                }
                while (!stop.load(std::memory_order_relaxed)) {
                    failed += servers_->CurrentServer(name) ? 0 : 1;
                    ++count;
                }
                total += count;
                failures += failed;
            });
        }
        const auto start = Clock::now();
        go.store(true, std::memory_order_release);
        std::this_thread::sleep_for(kRunTime);
        stop = true;
        for (auto& worker : workers) {
            worker.join();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        failures_ += failures.load();
        return static_cast<double>(total.load()) / seconds;
    }

    uint64_t Failures() const { return failures_; }

  private:
    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    std::unique_ptr<wexo::peers::PolicyServer> peers_[3];
    std::shared_ptr<SERVICE_STOP> stop_ = std::make_shared<SERVICE_STOP>();
    SETTINGS settings_;
    std::unique_ptr<POLICY_SERVERS> servers_;
    uint64_t failures_ = 0;
};

void BM_HandOutUncontendedAndContended(benchmark::State& state) {
    HandOutBench bench;
    if (!bench.AllAvailable()) {
        state.SkipWithError("the local policy servers did not become available");
        return;
    }
    double uncontended = 0;
    double contended = 0;
    for (auto _ : state) {
        uncontended = bench.Rate(1);
        contended = bench.Rate(kThreads);
    }
    state.counters["uncontended_per_s"] = uncontended;
    state.counters["contended_per_s"] = contended;
    state.counters["ratio"] = uncontended > 0 ? contended / uncontended : 0;
    state.counters["failed_handouts"] = static_cast<double>(bench.Failures());
}
BENCHMARK(BM_HandOutUncontendedAndContended)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
