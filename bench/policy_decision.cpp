// The service's verdict on one lookup, from SC_PolicyLookup to the completed call, with the real
// decision (POLICY_ENGINE, its caches and the policy-server set) and the reference policy server on
// loopback, one flow and 10 flows at once:
//
//   AllowedCacheHit  the lookup is answered from the allowed-URL cache (no query);
//   PolicyQuery      every lookup asks the server ("access/mobile") and reads its reply;
//   HttpQueryAlone   the baseline of the same run: the same GET of "access/mobile" through the
//                    service's HTTP client, without anything else of a lookup.
//
// Each reports the p50 and p99 latency of one lookup (µs) and lookups per second; the summary line
// at the end gives the share of a queried lookup spent in its HTTP query.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/registry/registry.h"
#include "service/calls/service_call.h"
#include "service/checkin/deployments.h"
#include "service/checkin/identity.h"
#include "service/checkin/settings.h"
#include "service/policy/https_session_map.h"
#include "service/policy/policy_lookup.h"
#include "service/policy/redirect_query.h"
#include "service/servers/policy_servers.h"
#include "service/support/debug_log.h"
#include "service/support/http_api.h"
#include "service/support/registry_helpers.h"
#include "tools/peers/policy_server.h"

namespace {

using namespace wexo;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultFlows = 10;
constexpr char kDeviceId[] = "6B29FC40-CA47-1067-B31D-00DD010662DA";

class DISCARD_SINK final : public svc::SERVICE_CALL_SINK {
  public:
    void Complete(svc::SERVICE_CALL&, const void*, uint32_t, int32_t) override {}
};

// The service side of the decision, assembled as the service does it.
class Service {
  public:
    Service() {
        svc::SetApiProtocol(svc::API_PROTOCOL_HTTP);
        if (!server_.Start()) {
            std::fprintf(stderr, "policy_decision: the reference policy server did not start\n");
            std::exit(1);
        }
        std::string error;
        server_.Pages().SetPolicyText(
            "[settings]\nCacheTimeout = 0\n[rules]\nblock host games.test\n", &error);
        deployment_ = std::make_unique<svc::SCOPED_DEVELOPMENT_DEPLOYMENT>(server_.HostPort(),
                                                                           "api.bench.test");
        settings_.OpenProductKey();
        svc::WriteRegistryString(settings_.ProductKey(), "PolicyServers", server_.HostPort());
        settings_.LoadSettings();
        servers_ = std::make_unique<svc::POLICY_SERVERS>(settings_, stop_);
        servers_->Rebuild();
        servers_->WaitForServer();
        engine_ = std::make_unique<svc::POLICY_ENGINE>(settings_, *servers_, &stop_->event);
        device_.SetUniqueDeviceId(kDeviceId);
        device_.SetReady();
        context_ = std::make_unique<svc::POLICY_LOOKUP_CONTEXT>(*engine_, sessions_, device_,
                                                                stop_->event);
    }
    ~Service() {
        context_.reset();
        engine_.reset();
        servers_.reset();
        server_.Stop();
        svc::WaitForPolicyQueries(std::chrono::seconds(5));
    }

    void SetPolicy(const char* text) {
        std::string error;
        server_.Pages().SetPolicyText(text, &error);
    }

    // One lookup of host + path by flow `flow`; returns its latency.
    Clock::duration Lookup(uint32_t flow, const std::string& host, const std::string& path) {
        svc::POLICY_LOOKUP_INPUT input;
        input.host = host;
        input.urlPath = path;
        input.address = svc::IP_ADDRESS::V4(93, 184, 216, 34);
        input.userSid = std::string_view(reinterpret_cast<const char*>(sid_.data()), sid_.size());
        input.flowNumber = flow;
        const auto start = Clock::now();
        svc::SERVICE_CALL call(sink_, MakeCallHandle(0, flow), 0);
        svc::SC_PolicyLookup(call, input, *context_);
        return Clock::now() - start;
    }

    peers::PolicyServer& Server() { return server_; }
    svc::POLICY_ENGINE& Engine() { return *engine_; }

  private:
    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    peers::PolicyServer server_;
    std::unique_ptr<svc::SCOPED_DEVELOPMENT_DEPLOYMENT> deployment_;
    std::shared_ptr<svc::SERVICE_STOP> stop_ = std::make_shared<svc::SERVICE_STOP>();
    svc::SETTINGS settings_;
    std::unique_ptr<svc::POLICY_SERVERS> servers_;
    std::unique_ptr<svc::POLICY_ENGINE> engine_;
    svc::HTTPS_SESSION_MAP sessions_;
    svc::DEVICE_INFORMATION device_;
    std::unique_ptr<svc::POLICY_LOOKUP_CONTEXT> context_;
    std::vector<uint8_t> sid_ = svc::UnixUserSid(static_cast<uint32_t>(getuid()));
    DISCARD_SINK sink_;
};

std::unique_ptr<Service> theService;

Service& TheService() {
    if (!theService) {
        theService = std::make_unique<Service>();
    }
    return *theService;
}

struct RESULT {
    double p50 = 0;
    double p99 = 0;
    double perSecond = 0;
};
std::mutex resultsLock;
// [0]: one flow, [1]: ten flows.
RESULT cacheHit[2], policyQuery[2], httpAlone[2];

// Runs `one(flow, i)` on as many threads as the benchmark's argument says (1 or 10 flows), the
// same number of calls in all; the latencies of all of them and the wall time of the batch go into
// the benchmark's state.
template <typename ONE>
void Batch(benchmark::State& state, int perFlow, ONE one, RESULT* result) {
    const int kFlows = static_cast<int>(state.range(0));
    perFlow = perFlow * kDefaultFlows / kFlows;
    std::vector<double> all;
    double seconds = 0;
    for (auto _ : state) {
        std::vector<std::vector<double>> latencies(kFlows);
        const auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int flow = 0; flow < kFlows; ++flow) {
            threads.emplace_back([&, flow] {
                latencies[flow].reserve(perFlow);
                for (int i = 0; i < perFlow; ++i) {
                    const Clock::duration took = one(flow, i);
                    latencies[flow].push_back(
                        std::chrono::duration<double, std::micro>(took).count());
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        const double batch = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(batch);
        seconds += batch;
        for (const auto& flow : latencies) {
            all.insert(all.end(), flow.begin(), flow.end());
        }
    }
    std::sort(all.begin(), all.end());
    RESULT r;
    r.p50 = all[all.size() / 2];
    r.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    r.perSecond = static_cast<double>(all.size()) / seconds;
    state.counters["p50_us"] = r.p50;
    state.counters["p99_us"] = r.p99;
    state.counters["lookups_per_s"] = r.perSecond;
    state.SetItemsProcessed(static_cast<int64_t>(all.size()));
    std::lock_guard guard(resultsLock);
    result[kFlows == kDefaultFlows ? 1 : 0] = r;
}

void AllowedCacheHit(benchmark::State& state) {
    Service& service = TheService();
    service.SetPolicy("[settings]\nCacheTimeout = 3600\n[rules]\nblock host games.test\n");
    // One cached host per flow, as ten browsers on ten sites would have them.
    for (int flow = 0; flow < kDefaultFlows; ++flow) {
        service.Lookup(1, "site" + std::to_string(flow) + ".test", "/");
    }
    Batch(
        state, 5000,
        [&](int flow, int i) {
            return service.Lookup(static_cast<uint32_t>(flow + 1),
                                  "site" + std::to_string(flow) + ".test",
                                  "/page/" + std::to_string(i));
        },
        cacheHit);
}

void PolicyQuery(benchmark::State& state) {
    Service& service = TheService();
    service.SetPolicy("[settings]\nCacheTimeout = 0\n[rules]\nblock host games.test\n");
    service.Engine().Caches().allowed.Flush();
    Batch(
        state, 100,
        [&](int flow, int i) {
            return service.Lookup(static_cast<uint32_t>(flow + 1),
                                  (i % 4 == 0 ? "games.test" : "news.test"),
                                  "/page/" + std::to_string(i));
        },
        policyQuery);
}

void HttpQueryAlone(benchmark::State& state) {
    Service& service = TheService();
    const std::string server = service.Server().HostPort();
    Batch(
        state, 100,
        [&](int, int i) {
            const auto start = Clock::now();
            svc::HTTPX_PAIR pair;
            svc::HTTPX_API& client = pair.Client();
            client.Config("AbsoluteTimeout=true");
            client.SetTimeout(60);
            const std::string url = "news.test/page/" + std::to_string(i);
            client.Get(server, svc::kPolicyPage,
                       {{"id", kDeviceId}, {"user", "DESKTOP\\bench"}, {"url", url}});
            benchmark::DoNotOptimize(client.GetReplyData());
            return Clock::now() - start;
        },
        httpAlone);
}

BENCHMARK(AllowedCacheHit)
    ->Arg(1)
    ->Arg(kDefaultFlows)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(PolicyQuery)
    ->Arg(1)
    ->Arg(kDefaultFlows)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(HttpQueryAlone)
    ->Arg(1)
    ->Arg(kDefaultFlows)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    wexo::svc::DebugReset();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    const RESULT& query1 = policyQuery[0];
    const RESULT& http1 = httpAlone[0];
    const RESULT& query10 = policyQuery[1];
    const RESULT& http10 = httpAlone[1];
    if (query1.p50 > 0 && http1.p50 > 0 && query10.perSecond > 0 && http10.perSecond > 0) {
        // One flow: the time of a lookup against the time of its HTTP query alone. Ten flows: the
        // machine is saturated, so the cost of a lookup is the inverse of the rate.
        const double latencyShare = std::min(1.0, http1.p50 / query1.p50);
        const double costShare = std::min(1.0, query10.perSecond / http10.perSecond);
        std::printf(
            "HTTP query share of a queried lookup: one flow p50 %.1f of %.1f us (%.0f%%, "
            "in-process %.1f us); ten flows %.0f of %.0f lookups/s (%.0f%% of the cost)\n",
            http1.p50, query1.p50, latencyShare * 100.0, query1.p50 - http1.p50, query10.perSecond,
            http10.perSecond, costShare * 100.0);
    }
    std::printf("Allowed-cache hit p99: one flow %.1f us, ten flows %.1f us (target < 50 us)\n",
                cacheHit[0].p99, cacheHit[1].p99);
    theService.reset();
    benchmark::Shutdown();
    return 0;
}
