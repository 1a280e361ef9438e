// Stream classify of one 1460-byte outbound segment on a flow that has passed (state 1), the cost
// every segment of an uninspected connection pays. Measured against a baseline in the same run,
// batches of the two interleaved:
// - ThroughEngine: the engine's classify dispatch into our stream classify (flow context looked
//   up, filter evaluated), against the same dispatch into a callout that only permits;
//   driver_ns = ours_ns - baseline_ns is what our function adds (target: under 100 ns);
// - Direct: our stream classify called directly, against an empty function called the same way.
// Counters: ours_ns and baseline_ns per segment, ratio = ours / baseline.
//
// WatchedFlow: an HTTP connection whose requests are all judged, after its first request passed.
// Direct classify of a 1460-byte body segment of a request with a Content-Length, and of a segment
// that is a whole new request head (to one of our own servers, so it is passed on without a
// lookup: held, framed, parsed and injected), each against the passed-flow path in the same run.
#include "driver/filter/stream_classify.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "common/service_domain.h"
#include "os/wfp/sim/sim_network.h"
#include "os/wfp/wfp.h"
#include "os/wfp/wfp_engine.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 64;
constexpr os::GUID kSublayer = os::MakeGuid("eaf14369-d8c4-4767-938b-e39b32e88ccd");
constexpr os::GUID kEstablished = os::MakeGuid("3d8a82cd-6cbd-4f59-87e5-e09eb11e40fc");
constexpr os::GUID kStream = os::MakeGuid("e6011cdc-440b-4a6f-8499-6fdb55fb1f92");

double Nanos(Clock::duration d) {
    return std::chrono::duration<double, std::nano>(d).count();
}

// One engine with a flow-established and a stream callout on the IPv4 layers.
struct BENCH_ENGINE {
    os::FilterEngine engine;
    os::ENGINE_HANDLE session;
    uint32_t streamId = 0;
    uint32_t establishedId = 0;

    BENCH_ENGINE(os::FWPS_CALLOUT_CLASSIFY_FN established, os::FWPS_CALLOUT_CLASSIFY_FN stream,
                 os::FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN flowDelete) {
        os::FWPM_SESSION dynamic;
        dynamic.flags = os::FWPM_SESSION_FLAG_DYNAMIC;
        os::FwpmEngineOpen(&dynamic, os::RPC_C_AUTHN_WINNT, session);
        os::FWPM_SUBLAYER sublayer;
        sublayer.subLayerKey = kSublayer;
        sublayer.weight = 64;
        os::FwpmSubLayerAdd(session, sublayer);
        Add(kStream, os::FWPM_LAYER_STREAM_V4, std::move(stream), flowDelete, &streamId);
        Add(kEstablished, os::FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4, std::move(established),
            flowDelete, &establishedId);
    }
    ~BENCH_ENGINE() {
        os::FwpsCalloutUnregisterById(streamId);
        os::FwpsCalloutUnregisterById(establishedId);
    }

    void Add(const os::GUID& key, const os::GUID& layer, os::FWPS_CALLOUT_CLASSIFY_FN classify,
             os::FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN flowDelete, uint32_t* id) {
        os::FWPS_CALLOUT callout;
        callout.calloutKey = key;
        callout.classifyFn = std::move(classify);
        callout.flowDeleteFn = std::move(flowDelete);
        os::FwpsCalloutRegister(callout, id);
        os::FWPM_CALLOUT management;
        management.calloutKey = key;
        management.applicableLayer = layer;
        os::FwpmCalloutAdd(session, management);
        os::FWPM_FILTER filter;
        filter.layerKey = layer;
        filter.subLayerKey = kSublayer;
        filter.action.type = os::FWP_ACTION_CALLOUT_TERMINATING;
        filter.action.calloutKey = key;
        os::FwpmFilterAdd(session, filter);
    }
};

// A prepared outbound segment of a connection, ready to be classified again and again.
struct SEGMENT {
    std::string bytes = std::string(1460, 'x');
    os::NetBufferListPtr list = os::AllocateEngineNetBufferList(
        {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    os::FWPS_STREAM_DATA data;
    os::FWPS_STREAM_CALLOUT_IO_PACKET packet;
    os::FWPS_INCOMING_VALUES values;
    os::FWPS_INCOMING_METADATA_VALUES metadata;

    explicit SEGMENT(const os::SimTcpConnection& connection) {
        data.flags = os::FWPS_STREAM_FLAG_SEND;
        data.dataLength = bytes.size();
        data.netBufferListChain = list.get();
        values.layerId = os::FWPS_LAYER_STREAM_V4;
        values.remoteAddressV4 = connection.Tuple().remoteAddress.V4HostOrder();
        values.remotePort = connection.Tuple().remotePort;
        metadata.currentMetadataValues = os::FWPS_METADATA_FIELD_FLOW_HANDLE;
        metadata.flowHandle = connection.FlowId();
    }
    os::FWPS_STREAM_CALLOUT_IO_PACKET* Fresh() {
        packet = {};
        packet.streamData = &data;
        return &packet;
    }
};

// An engine whose two callouts are the filter's own.
std::unique_ptr<BENCH_ENGINE> EngineFor(wexo::drv::STREAM_FILTER& filter) {
    wexo::drv::STREAM_FILTER* target = &filter;
    auto engine = std::make_unique<BENCH_ENGINE>(
        [target](const auto& v, const auto& m, void* d, const auto& f, uint64_t c, auto& o) {
            target->FlowEstablished(v, m, d, f, c, o);
        },
        [target](const auto& v, const auto& m, void* d, const auto& f, uint64_t c, auto& o) {
            target->StreamClassify(v, m, d, f, c, o);
        },
        [target](uint16_t l, uint32_t i, uint64_t c) { target->FlowDeleted(l, i, c); });
    filter.SetStreamCalloutIds(engine->streamId, 0);
    return engine;
}

void BM_PassedFlow(benchmark::State& state) {
    wexo::drv::STREAM_FILTER filter;
    auto permitOnly = [](const auto&, const auto&, void*, const auto&, uint64_t,
                         os::FWPS_CLASSIFY_OUT& out) { out.actionType = os::FWP_ACTION_PERMIT; };

    // The driver's engine: a connection whose first bytes turn out to be another protocol passes.
    auto ours = EngineFor(filter);
    auto oursNetwork = std::make_unique<os::SimNetwork>(ours->engine);
    auto connection = oursNetwork->OpenTcp(os::MakeIPv4Address(203, 0, 113, 9), 80, 100);
    // Bytes that began like a request and turned out to be another protocol.
    connection->ClientSend("GE");
    connection->ClientSend("GEX-MAGIC 1\r\n");
    uint64_t flowContext = connection->Flow().ContextFor(os::FWPS_LAYER_STREAM_V4, ours->streamId);
    auto* flow = reinterpret_cast<wexo::drv::FLOW*>(flowContext);
    if (flow == nullptr || flow->state.load() != wexo::drv::FLOW_STATE_PASSED) {
        state.SkipWithError("the flow did not pass");
        return;
    }

    // The baseline engine: the same dispatch into a callout that only permits.
    auto baseline = std::make_unique<BENCH_ENGINE>(permitOnly, permitOnly, nullptr);
    auto baselineNetwork = std::make_unique<os::SimNetwork>(baseline->engine);
    auto baselineConnection =
        baselineNetwork->OpenTcp(os::MakeIPv4Address(203, 0, 113, 9), 80, 100);

    SEGMENT segment(*connection);
    SEGMENT baselineSegment(*baselineConnection);
    os::FWPS_FILTER runtimeFilter;
    runtimeFilter.action.type = os::FWP_ACTION_CALLOUT_TERMINATING;
    runtimeFilter.action.calloutId = ours->streamId;

    Clock::duration engineOurs{};
    Clock::duration engineBaseline{};
    Clock::duration directOurs{};
    Clock::duration directBaseline{};
    os::FWPS_CALLOUT_CLASSIFY_FN empty = permitOnly;
    bool permitted = true;
    for (auto _ : state) {
        auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            os::FWPS_CLASSIFY_OUT out = ours->engine.Classify(segment.values, segment.metadata,
                                                              segment.Fresh(), &connection->Flow());
            permitted = permitted && out.actionType == os::FWP_ACTION_PERMIT;
        }
        auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            os::FWPS_CLASSIFY_OUT out =
                baseline->engine.Classify(baselineSegment.values, baselineSegment.metadata,
                                          baselineSegment.Fresh(), &baselineConnection->Flow());
            benchmark::DoNotOptimize(out);
        }
        auto t2 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            os::FWPS_CLASSIFY_OUT out;
            filter.StreamClassify(segment.values, segment.metadata, segment.Fresh(), runtimeFilter,
                                  flowContext, out);
            benchmark::DoNotOptimize(out);
        }
        auto t3 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            os::FWPS_CLASSIFY_OUT out;
            empty(segment.values, segment.metadata, segment.Fresh(), runtimeFilter, flowContext,
                  out);
            benchmark::DoNotOptimize(out);
        }
        auto t4 = Clock::now();
        engineOurs += t1 - t0;
        engineBaseline += t2 - t1;
        directOurs += t3 - t2;
        directBaseline += t4 - t3;
    }
    if (!permitted) {
        state.SkipWithError("a passed flow's segment was not permitted");
    }
    const double segments = static_cast<double>(state.iterations()) * kBatch;
    state.counters["ours_ns"] = Nanos(engineOurs) / segments;
    state.counters["baseline_ns"] = Nanos(engineBaseline) / segments;
    state.counters["ratio"] = Nanos(engineOurs) / Nanos(engineBaseline);
    state.counters["driver_ns"] = (Nanos(engineOurs) - Nanos(engineBaseline)) / segments;
    state.counters["direct_ns"] = Nanos(directOurs) / segments;
    state.counters["direct_baseline_ns"] = Nanos(directBaseline) / segments;

    // Connections go before their networks, networks before their engines.
    baselineConnection.reset();
    baselineNetwork.reset();
    baseline.reset();
    connection.reset();
    oursNetwork.reset();
    ours.reset();
}
BENCHMARK(BM_PassedFlow)->MinTime(1.0);

void BM_WatchedFlow(benchmark::State& state) {
    wexo::drv::STREAM_FILTER filter;
    auto ours = EngineFor(filter);
    os::INJECTION_HANDLE injection;
    // The handle belongs to the engine made last, which is this one.
    os::FwpsInjectionHandleCreate(os::AddressFamily::Unspecified, os::FWPS_INJECTION_TYPE_STREAM,
                                  injection);
    filter.SetInjectionHandle(&injection);
    auto network = std::make_unique<os::SimNetwork>(ours->engine);
    const std::string own = "www." + std::string(wexo::kServiceDomain);

    auto passed = network->OpenTcp(os::MakeIPv4Address(203, 0, 113, 9), 80, 100);
    passed->ClientSend("GE");
    passed->ClientSend("GEX-MAGIC 1\r\n");
    auto upload = network->OpenTcp(os::MakeIPv4Address(203, 0, 113, 10), 80, 100);
    upload->ClientSend("POST /up HTTP/1.1\r\nHost: " + own +
                       "\r\nContent-Length: 1000000000000000\r\n\r\n");
    auto requests = network->OpenTcp(os::MakeIPv4Address(203, 0, 113, 11), 80, 100);
    requests->ClientSend("GET / HTTP/1.1\r\nHost: " + own + "\r\n\r\n");
    auto contextOf = [&](os::SimTcpConnection& c) {
        return c.Flow().ContextFor(os::FWPS_LAYER_STREAM_V4, ours->streamId);
    };
    uint64_t passedFlow = contextOf(*passed);
    uint64_t uploadFlow = contextOf(*upload);
    uint64_t requestsFlow = contextOf(*requests);
    auto stateOf = [](uint64_t c) { return reinterpret_cast<wexo::drv::FLOW*>(c)->state.load(); };
    if (passedFlow == 0 || uploadFlow == 0 || requestsFlow == 0 ||
        stateOf(passedFlow) != wexo::drv::FLOW_STATE_PASSED ||
        stateOf(uploadFlow) != wexo::drv::FLOW_STATE_HTTP_WATCH ||
        stateOf(requestsFlow) != wexo::drv::FLOW_STATE_HTTP_WATCH) {
        state.SkipWithError("the flows are not in the states measured");
        return;
    }
    SEGMENT passedSegment(*passed);
    SEGMENT body(*upload);
    SEGMENT head(*requests);
    head.bytes = "GET /next HTTP/1.1\r\nHost: " + own + "\r\nAccept: */*\r\n\r\n";
    head.list = os::AllocateEngineNetBufferList(
        {reinterpret_cast<const uint8_t*>(head.bytes.data()), head.bytes.size()});
    head.data.dataLength = head.bytes.size();
    head.data.netBufferListChain = head.list.get();
    os::FWPS_FILTER runtimeFilter;
    runtimeFilter.action.type = os::FWP_ACTION_CALLOUT_TERMINATING;
    runtimeFilter.action.calloutId = ours->streamId;

    auto run = [&](SEGMENT& segment, uint64_t context, int count) {
        auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            os::FWPS_CLASSIFY_OUT out;
            filter.StreamClassify(segment.values, segment.metadata, segment.Fresh(), runtimeFilter,
                                  context, out);
            benchmark::DoNotOptimize(out);
        }
        return Clock::now() - start;
    };
    Clock::duration passedTime{};
    Clock::duration bodyTime{};
    Clock::duration headTime{};
    int heads = 0;
    for (auto _ : state) {
        passedTime += run(passedSegment, passedFlow, kBatch);
        bodyTime += run(body, uploadFlow, kBatch);
        headTime += run(head, requestsFlow, 1);
        ++heads;
        if (heads % 256 == 0) {
            network->WaitSettled();
        }
    }
    network->WaitSettled();
    if (stateOf(requestsFlow) != wexo::drv::FLOW_STATE_HTTP_WATCH) {
        state.SkipWithError("a passed-on request head left the flow unwatched");
    }
    const double segments = static_cast<double>(state.iterations()) * kBatch;
    state.counters["passed_ns"] = Nanos(passedTime) / segments;
    state.counters["body_ns"] = Nanos(bodyTime) / segments;
    state.counters["head_ns"] = Nanos(headTime) / heads;
    state.counters["body_ratio"] = Nanos(bodyTime) / Nanos(passedTime);
    state.counters["head_ratio"] = (Nanos(headTime) / heads) / (Nanos(passedTime) / segments);

    filter.SetInjectionHandle(nullptr);
    passed.reset();
    upload.reset();
    requests.reset();
    network.reset();
    os::FwpsInjectionHandleDestroy(injection);
    ours.reset();
}
BENCHMARK(BM_WatchedFlow)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
