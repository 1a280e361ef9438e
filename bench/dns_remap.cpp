// The inbound DNS answer classify, per datagram, against copying the same datagram (the whole IP
// packet, memcpy into a buffer) in the same run (batches of the two interleaved, so that both see
// the same machine state):
// - Remapped: an A answer for a remapped name (question parse, remap lookup, answer building,
//   clone, IP header construction and receive injection; the engine completes the injection on
//   its own thread, outside the measured batches);
// - NotRemapped: the same answer for a name the list does not hold (parse and lookup, permit).
// Counters: ours_ns and baseline_ns per datagram, ratio = ours / baseline.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "driver/platform/dns_answer_remap.h"
#include "os/wfp/wfp.h"
#include "os/wfp/wfp_engine.h"

namespace {

using namespace wexo::drv;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
constexpr int kBatch = 64;

// A remap list of a few search and video hosts, matched ignoring case as the settings match.
class BENCH_TABLES : public DNS_REMAP_TABLES {
  public:
    bool UnencryptedSearch() const override { return true; }
    char* RemapLookup(const char* host) override {
        for (const auto& [source, target] : kRemaps) {
            if (strcasecmp(host, source) != 0) {
                continue;
            }
            size_t size = std::strlen(target) + 1;
            auto* copy = static_cast<char*>(
                os::ExAllocatePoolWithTag(os::PoolType::NonPaged, size, kRemapTargetTag));
            if (copy != nullptr) {
                std::memcpy(copy, target, size);
            }
            return copy;
        }
        return nullptr;
    }
    bool RemapTargetAddress(const char*, os::AddressFamily family, uint8_t* address) override {
        static const uint8_t kAddress[16] = {192, 0, 2, 80};
        std::memcpy(address, kAddress, family == os::AddressFamily::IPv4 ? 4 : 16);
        return true;
    }

  private:
    static constexpr std::pair<const char*, const char*> kRemaps[] = {
        {"www.search.test", "safe.search.test"},
        {"search.test", "safe.search.test"},
        {"www.videos.test", "restrict.videos.test"},
        {"m.videos.test", "restrict.videos.test"},
    };
};

void AddName(Bytes& b, std::string_view dotted) {
    while (!dotted.empty()) {
        size_t dot = dotted.find('.');
        std::string_view label = dotted.substr(0, dot);
        b.push_back(static_cast<uint8_t>(label.size()));
        b.insert(b.end(), label.begin(), label.end());
        dotted = dot == std::string_view::npos ? "" : dotted.substr(dot + 1);
    }
    b.push_back(0);
}

// A resolver's answer with one A record, as the IP packet the datagram layer indicates.
Bytes AnswerPacket(std::string_view name) {
    Bytes m = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
    AddName(m, name);
    m.insert(m.end(), {0, 1, 0, 1, 0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 93, 184, 216, 34});
    return os::BuildUdpPacket(os::MakeIPv4Address(192, 0, 2, 53), 53,
                              os::MakeIPv4Address(192, 168, 1, 20), 50000, m);
}

double Nanos(Clock::duration d) {
    return std::chrono::duration<double, std::nano>(d).count();
}

void AgainstCopy(benchmark::State& state, std::string_view name, bool expectRewrite) {
    os::FilterEngine engine;
    os::INJECTION_HANDLE injection;
    if (os::FwpsInjectionHandleCreate(os::AddressFamily::Unspecified,
                                      os::FWPS_INJECTION_TYPE_TRANSPORT,
                                      injection) != os::STATUS_SUCCESS) {
        state.SkipWithError("no injection handle");
        return;
    }
    BENCH_TABLES tables;
    DNS_ANSWER_REMAP remap(tables, injection, [] { return true; });

    const Bytes packetBytes = AnswerPacket(name);
    const size_t headers = os::kIPv4HeaderSize + os::kUdpHeaderSize;
    os::NetBufferListPtr packet = os::AllocateEngineNetBufferList(packetBytes);
    os::NdisAdvanceNetBufferDataStart(*packet, headers);
    os::FWPS_INCOMING_VALUES values;
    values.layerId = os::FWPS_LAYER_DATAGRAM_DATA_V4;
    values.remoteAddressV4 = 0xC0000235;  // 192.0.2.53
    values.localAddressV4 = 0xC0A80114;   // 192.168.1.20
    values.remotePort = 53;
    values.localPort = 50000;
    values.protocol = os::IPPROTO_UDP_VALUE;
    values.direction = os::FWP_DIRECTION_INBOUND;
    values.interfaceIndex = 7;
    values.subInterfaceIndex = 1;
    os::FWPS_INCOMING_METADATA_VALUES metadata;
    metadata.currentMetadataValues =
        os::FWPS_METADATA_FIELD_IP_HEADER_SIZE | os::FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE;
    metadata.ipHeaderSize = os::kIPv4HeaderSize;
    metadata.transportHeaderSize = os::kUdpHeaderSize;
    const os::FWPS_FILTER filter;

    Bytes copy(packetBytes.size());
    Clock::duration ours{};
    Clock::duration baseline{};
    bool allAsExpected = true;
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            os::FWPS_CLASSIFY_OUT out;
            remap.InspectInboundDatagram(values, metadata, packet.get(), filter, 0, out);
            allAsExpected &= (out.actionType == os::FWP_ACTION_BLOCK) == expectRewrite;
            benchmark::DoNotOptimize(out);
        }
        auto middle = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            std::memcpy(copy.data(), packetBytes.data(), packetBytes.size());
            benchmark::ClobberMemory();
        }
        auto end = Clock::now();
        ours += middle - start;
        baseline += end - middle;
        // The injections of this batch complete outside the measured time.
        if (expectRewrite) {
            state.PauseTiming();
            engine.WaitForCompletions(10'000);
            state.ResumeTiming();
        }
    }
    engine.WaitForCompletions(10'000);
    if (!allAsExpected) {
        state.SkipWithError("the classify did not decide as the case expects");
    }
    const double datagrams = static_cast<double>(state.iterations()) * kBatch;
    state.counters["ours_ns"] = Nanos(ours) / datagrams;
    state.counters["baseline_ns"] = Nanos(baseline) / datagrams;
    state.counters["ratio"] = Nanos(ours) / Nanos(baseline);
}

void BM_Remapped(benchmark::State& state) {
    AgainstCopy(state, "www.search.test", true);
}
BENCHMARK(BM_Remapped)->MinTime(1.0);

void BM_NotRemapped(benchmark::State& state) {
    AgainstCopy(state, "www.example.test", false);
}
BENCHMARK(BM_NotRemapped)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
