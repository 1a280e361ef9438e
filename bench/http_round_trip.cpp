// A GET round trip to a local peer through the service's HTTP client against the same request on
// a bare libcurl easy handle, interleaved in the same run. Counters: bare_us and wrapper_us per
// request, ratio = wrapper / bare (target: at most 1.2).
//
// "Fresh" makes a new client (and connection) per request, as the service does for each policy
// query; "Reused" keeps one client and its connection.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <string>

#include "service/support/http_api.h"
#include "tools/peers/http_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

size_t Collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// The bare request: what libcurl needs for the same exchange, nothing more.
struct BARE_CLIENT {
    BARE_CLIENT() : handle(curl_easy_init()) {
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
    }
    ~BARE_CLIENT() { curl_easy_cleanup(handle); }
    bool Get(const std::string& url) {
        body.clear();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        long status = 0;
        return curl_easy_perform(handle) == CURLE_OK &&
               curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
               status == 200;
    }
    CURL* handle;
    std::string body;
};

struct PEER {
    PEER() {
        peer.Reply("GET", "/access/mobile", 200,
                   "<Ostrel><BlockOnFailure>0</BlockOnFailure></Ostrel>", "text/xml");
        peer.Start();
    }
    wexo::peers::HttpPeer peer;
};

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void Report(benchmark::State& state, Clock::duration bare, Clock::duration wrapper) {
    const double n = static_cast<double>(state.iterations());
    state.counters["bare_us"] = Micros(bare) / n;
    state.counters["wrapper_us"] = Micros(wrapper) / n;
    state.counters["ratio"] = Micros(wrapper) / Micros(bare);
}

void BM_GetFresh(benchmark::State& state) {
    PEER local;
    const std::string server = local.peer.HostPort();
    const std::string url = "http://" + server + "/access/mobile?id=1&url=example.com/a%20b";
    Clock::duration bare{};
    Clock::duration wrapper{};
    for (auto _ : state) {
        auto start = Clock::now();
        {
            BARE_CLIENT client;
            if (!client.Get(url)) {
                state.SkipWithError("bare request failed");
                break;
            }
        }
        auto middle = Clock::now();
        {
            wexo::svc::HTTP_API client;
            if (!client.Get(server, "access/mobile", {{"id", "1"}, {"url", "example.com/a b"}}) ||
                client.GetStatus() != 200) {
                state.SkipWithError("wrapper request failed");
                break;
            }
        }
        auto end = Clock::now();
        bare += middle - start;
        wrapper += end - middle;
    }
    Report(state, bare, wrapper);
}
BENCHMARK(BM_GetFresh)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_GetReused(benchmark::State& state) {
    PEER local;
    const std::string server = local.peer.HostPort();
    const std::string url = "http://" + server + "/access/mobile?id=1&url=example.com/a%20b";
    Clock::duration bare{};
    Clock::duration wrapper{};
    {
        BARE_CLIENT bareClient;
        wexo::svc::HTTP_API client;
        for (auto _ : state) {
            auto start = Clock::now();
            if (!bareClient.Get(url)) {
                state.SkipWithError("bare request failed");
                break;
            }
            auto middle = Clock::now();
            if (!client.Get(server, "access/mobile", {{"id", "1"}, {"url", "example.com/a b"}}) ||
                client.GetStatus() != 200) {
                state.SkipWithError("wrapper request failed");
                break;
            }
            auto end = Clock::now();
            bare += middle - start;
            wrapper += end - middle;
        }
    }
    Report(state, bare, wrapper);
}
BENCHMARK(BM_GetReused)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
