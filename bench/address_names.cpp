// What remembering the names of answered addresses costs the DNS classify, per answer, against
// the question parse every inbound answer already gets (ParseDnsQuestion) in the same run, batches
// of the two interleaved:
// - Learn: a CDN-style answer (an alias, then two A records) learnt into a table that already
//   holds kAddressNamesLimit names, so every answer also evicts the oldest;
// - Memory: the heap a full table takes, per name remembered (mallinfo2 before and after).
// Counters: ours_ns and baseline_ns per answer, ratio = ours / baseline; bytes_per_name.
#include "driver/filter/address_names.h"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <string>
#include <vector>

#include "driver/platform/dns_answer_remap.h"

namespace {

using namespace wexo::drv;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
constexpr int kBatch = 64;

void Put16(Bytes& out, size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void PutName(Bytes& out, const std::string& dotted) {
    size_t start = 0;
    while (start < dotted.size()) {
        size_t dot = std::min(dotted.find('.', start), dotted.size());
        out.push_back(static_cast<uint8_t>(dot - start));
        out.insert(out.end(), dotted.begin() + static_cast<ptrdiff_t>(start),
                   dotted.begin() + static_cast<ptrdiff_t>(dot));
        start = dot + 1;
    }
    out.push_back(0);
}

// "www.site<n>.test" aliased to "e<n>.cdn.test" with two addresses, as a CDN answers.
Bytes CdnAnswer(uint32_t n) {
    const std::string site = "www.site" + std::to_string(n) + ".test";
    Bytes out = {0x12, 0x34, 0x81, 0x80};
    Put16(out, 1);
    Put16(out, 3);
    Put16(out, 0);
    Put16(out, 0);
    PutName(out, site);
    Put16(out, kDnsTypeA);
    Put16(out, kDnsClassIn);
    out.insert(out.end(), {0xC0, 0x0C});
    Put16(out, kDnsTypeCname);
    Put16(out, kDnsClassIn);
    out.insert(out.end(), {0, 0, 0x0E, 0x10});
    Bytes target;
    PutName(target, "e" + std::to_string(n % 997) + ".cdn.test");
    Put16(out, target.size());
    const size_t targetAt = out.size();
    out.insert(out.end(), target.begin(), target.end());
    for (uint8_t last : {1, 2}) {
        out.push_back(static_cast<uint8_t>(0xC0 | targetAt >> 8));
        out.push_back(static_cast<uint8_t>(targetAt));
        Put16(out, kDnsTypeA);
        Put16(out, kDnsClassIn);
        out.insert(out.end(), {0, 0, 0, 60});
        Put16(out, 4);
        out.insert(out.end(), {10, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n), last});
    }
    return out;
}

void BM_LearnAnswer(benchmark::State& state) {
    std::vector<Bytes> answers;
    for (uint32_t n = 0; n < 4096; ++n) {
        answers.push_back(CdnAnswer(n));
    }
    ADDRESS_NAMES table;
    for (uint32_t n = 0; table.NameCount() < kAddressNamesLimit; ++n) {
        table.LearnFromAnswer(CdnAnswer(100000 + n));
    }
    double ours = 0;
    double baseline = 0;
    size_t next = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            benchmark::DoNotOptimize(table.LearnFromAnswer(answers[next++ % answers.size()]));
        }
        auto middle = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            DNS_QUESTION question;
            benchmark::DoNotOptimize(ParseDnsQuestion(answers[next++ % answers.size()], &question));
        }
        auto end = Clock::now();
        ours += std::chrono::duration<double, std::nano>(middle - start).count();
        baseline += std::chrono::duration<double, std::nano>(end - middle).count();
    }
    const double answersRun = static_cast<double>(state.iterations()) * kBatch;
    state.counters["ours_ns"] = ours / answersRun;
    state.counters["baseline_ns"] = baseline / answersRun;
    state.counters["ratio"] = baseline > 0 ? ours / baseline : 0;
}
BENCHMARK(BM_LearnAnswer);

void BM_MemoryPerName(benchmark::State& state) {
    double perName = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        auto table = std::make_unique<ADDRESS_NAMES>();
        for (uint32_t n = 0; table->NameCount() < kAddressNamesLimit; ++n) {
            table->LearnFromAnswer(CdnAnswer(n));
        }
        const size_t after = mallinfo2().uordblks;
        perName = static_cast<double>(after - before) / static_cast<double>(table->NameCount());
        benchmark::DoNotOptimize(table);
    }
    state.counters["bytes_per_name"] = perName;
}
BENCHMARK(BM_MemoryPerName)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
