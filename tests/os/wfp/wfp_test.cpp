// The filtering engine's management side, callouts, flow contexts, stream data and the datagram
// path with its injection state.
#include "os/wfp/wfp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "os/wfp/sim/sim_network.h"
#include "os/wfp/wfp_engine.h"
#include "tests/os/wfp/wfp_test_util.h"

namespace os {
namespace {

constexpr GUID kSublayer = MakeGuid("eaf14369-d8c4-4767-938b-e39b32e88ccd");
constexpr GUID kCallout = MakeGuid("790373d9-34cb-44c8-83b0-d400a1a10db0");
const IP_ADDRESS_BYTES kDnsServer = MakeIPv4Address(198, 51, 100, 53);
const IP_ADDRESS_BYTES kDnsServerV6 =
    MakeIPv6Address({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53});

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

FWPS_CALLOUT PermitCallout(const GUID& key) {
    FWPS_CALLOUT callout;
    callout.calloutKey = key;
    callout.classifyFn = [](const auto&, const auto&, void*, const auto&, uint64_t,
                            FWPS_CLASSIFY_OUT& out) { out.actionType = FWP_ACTION_PERMIT; };
    return callout;
}

ENGINE_HANDLE OpenDynamic() {
    FWPM_SESSION session;
    session.flags = FWPM_SESSION_FLAG_DYNAMIC;
    ENGINE_HANDLE handle;
    EXPECT_EQ(FwpmEngineOpen(&session, RPC_C_AUTHN_WINNT, handle), STATUS_SUCCESS);
    return handle;
}

// The product's kind of registration: sublayer, callout and filter in one transaction.
NTSTATUS AddSublayerCalloutFilter(const ENGINE_HANDLE& handle, const GUID& layer,
                                  std::vector<FWPM_FILTER_CONDITION> conditions = {}) {
    FWPM_SUBLAYER sublayer;
    sublayer.subLayerKey = kSublayer;
    sublayer.displayData = {"TCP Stream Sub-Layer", "TCP Stream Sub-Layer"};
    sublayer.weight = 64;
    NTSTATUS status = FwpmSubLayerAdd(handle, sublayer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FWPM_CALLOUT callout;
    callout.calloutKey = kCallout;
    callout.applicableLayer = layer;
    status = FwpmCalloutAdd(handle, callout);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FWPM_FILTER filter;
    filter.layerKey = layer;
    filter.subLayerKey = kSublayer;
    filter.filterConditions = std::move(conditions);
    filter.action.type = FWP_ACTION_CALLOUT_TERMINATING;
    filter.action.calloutKey = kCallout;
    return FwpmFilterAdd(handle, filter);
}

TEST(GuidTest, ParsesAndPrintsTheRegistryForm) {
    constexpr GUID guid = MakeGuid("3d8a82cd-6cbd-4f59-87e5-e09eb11e40fc");
    EXPECT_EQ(guid.Data1, 0x3d8a82cdu);
    EXPECT_EQ(guid.Data2, 0x6cbd);
    EXPECT_EQ(guid.Data4[7], 0xfc);
    EXPECT_EQ(GuidToString(guid), "{3d8a82cd-6cbd-4f59-87e5-e09eb11e40fc}");
    EXPECT_NE(FWPM_LAYER_STREAM_V4, FWPM_LAYER_STREAM_V6);
}

TEST(WfpManagementTest, ADynamicSessionTakesItsObjectsAlongWhenItCloses) {
    FilterEngine engine;
    size_t builtIn = engine.SublayerCount();
    {
        ENGINE_HANDLE handle = OpenDynamic();
        ASSERT_EQ(FwpmTransactionBegin(handle), STATUS_SUCCESS);
        ASSERT_EQ(AddSublayerCalloutFilter(handle, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
        ASSERT_EQ(FwpmTransactionCommit(handle), STATUS_SUCCESS);
        EXPECT_EQ(engine.SublayerCount(), builtIn + 1);
        EXPECT_EQ(engine.CalloutCount(), 1u);
        EXPECT_EQ(engine.FilterCount(FWPS_LAYER_STREAM_V4), 1u);
        EXPECT_EQ(FwpmEngineClose(handle), STATUS_SUCCESS);
        EXPECT_FALSE(handle);
    }
    EXPECT_EQ(engine.SublayerCount(), builtIn);
    EXPECT_EQ(engine.CalloutCount(), 0u);
    EXPECT_EQ(engine.FilterCount(FWPS_LAYER_STREAM_V4), 0u);
    EXPECT_EQ(engine.SessionCount(), 0u);
}

TEST(WfpManagementTest, ObjectsOfAnOrdinarySessionOutliveIt) {
    FilterEngine engine;
    {
        ENGINE_HANDLE handle;
        ASSERT_EQ(FwpmEngineOpen(nullptr, RPC_C_AUTHN_WINNT, handle), STATUS_SUCCESS);
        ASSERT_EQ(AddSublayerCalloutFilter(handle, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
    }
    EXPECT_EQ(engine.CalloutCount(), 1u);
    EXPECT_EQ(engine.FilterCount(FWPS_LAYER_STREAM_V4), 1u);
}

TEST(WfpManagementTest, AnAbortedTransactionLeavesNothingBehind) {
    FilterEngine engine;
    ENGINE_HANDLE handle = OpenDynamic();
    ASSERT_EQ(FwpmTransactionBegin(handle), STATUS_SUCCESS);
    EXPECT_EQ(FwpmTransactionBegin(handle), STATUS_FWP_TXN_IN_PROGRESS);
    ASSERT_EQ(AddSublayerCalloutFilter(handle, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
    ASSERT_EQ(FwpmTransactionAbort(handle), STATUS_SUCCESS);
    EXPECT_EQ(engine.CalloutCount(), 0u);
    EXPECT_EQ(engine.FilterCount(FWPS_LAYER_STREAM_V4), 0u);
    EXPECT_EQ(FwpmTransactionCommit(handle), STATUS_FWP_NO_TXN_IN_PROGRESS);
    // The same keys can be added again.
    EXPECT_EQ(AddSublayerCalloutFilter(handle, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
}

TEST(WfpManagementTest, FiltersWaitForTheirTransactionToCommit) {
    FilterEngine engine;
    SimNetwork network(engine);
    ENGINE_HANDLE handle = OpenDynamic();
    ASSERT_EQ(FwpmTransactionBegin(handle), STATUS_SUCCESS);
    FWPM_FILTER filter;
    filter.layerKey = FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4;
    filter.action.type = FWP_ACTION_BLOCK;
    ASSERT_EQ(FwpmFilterAdd(handle, filter), STATUS_SUCCESS);
    EXPECT_FALSE(network.OpenTcp(MakeIPv4Address(1, 2, 3, 4), 80, 1)->ClientWasReset());
    ASSERT_EQ(FwpmTransactionCommit(handle), STATUS_SUCCESS);
    EXPECT_TRUE(network.OpenTcp(MakeIPv4Address(1, 2, 3, 4), 80, 1)->ClientWasReset());
}

TEST(WfpManagementTest, BadObjectsAreRefusedWithTheEnginesReasons) {
    FilterEngine engine;
    ENGINE_HANDLE handle = OpenDynamic();
    ASSERT_EQ(AddSublayerCalloutFilter(handle, FWPM_LAYER_DATAGRAM_DATA_V4), STATUS_SUCCESS);
    EXPECT_EQ(AddSublayerCalloutFilter(handle, FWPM_LAYER_DATAGRAM_DATA_V4),
              STATUS_FWP_ALREADY_EXISTS);

    FWPM_FILTER filter;
    filter.layerKey = FWPM_LAYER_STREAM_V4;
    filter.action.type = FWP_ACTION_CALLOUT_TERMINATING;
    filter.action.calloutKey = kCallout;  // a datagram-layer callout
    EXPECT_EQ(FwpmFilterAdd(handle, filter), STATUS_FWP_INCOMPATIBLE_LAYER);
    filter.action.calloutKey = MakeGuid("00000000-0000-0000-0000-00000000beef");
    EXPECT_EQ(FwpmFilterAdd(handle, filter), STATUS_FWP_CALLOUT_NOT_FOUND);
    filter.action.type = FWP_ACTION_PERMIT;
    filter.subLayerKey = MakeGuid("00000000-0000-0000-0000-00000000cafe");
    EXPECT_EQ(FwpmFilterAdd(handle, filter), STATUS_FWP_SUBLAYER_NOT_FOUND);
    filter.subLayerKey = FWPM_SUBLAYER_UNIVERSAL;
    filter.layerKey = MakeGuid("00000000-0000-0000-0000-000000000001");
    EXPECT_EQ(FwpmFilterAdd(handle, filter), STATUS_FWP_LAYER_NOT_FOUND);
    filter.layerKey = FWPM_LAYER_DATAGRAM_DATA_V4;
    filter.filterConditions = {
        {FWPM_CONDITION_IP_REMOTE_PORT, FWP_MATCH_EQUAL, FWP_CONDITION_VALUE::Uint8(53)}};
    EXPECT_EQ(FwpmFilterAdd(handle, filter), STATUS_FWP_TYPE_MISMATCH);

    ENGINE_HANDLE closed;
    EXPECT_EQ(FwpmFilterAdd(closed, filter), STATUS_INVALID_HANDLE);
}

TEST(WfpCalloutTest, RuntimeIdsAreUniqueAndKeysRegisterOnce) {
    FilterEngine engine;
    uint32_t first = 0;
    uint32_t second = 0;
    ASSERT_EQ(FwpsCalloutRegister(PermitCallout(kCallout), &first), STATUS_SUCCESS);
    EXPECT_EQ(FwpsCalloutRegister(PermitCallout(kCallout), &second), STATUS_FWP_ALREADY_EXISTS);
    ASSERT_EQ(FwpsCalloutRegister(PermitCallout(kSublayer), &second), STATUS_SUCCESS);
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(engine.RegisteredCalloutCount(), 2u);
    EXPECT_EQ(FwpsCalloutUnregisterById(first), STATUS_SUCCESS);
    EXPECT_EQ(FwpsCalloutUnregisterById(first), STATUS_FWP_CALLOUT_NOT_FOUND);
    EXPECT_EQ(engine.RegisteredCalloutCount(), 1u);
}

TEST(WfpCalloutTest, NotifyHearsOfFiltersAndCanRefuseThem) {
    FilterEngine engine;
    std::vector<FWPS_CALLOUT_NOTIFY_TYPE> heard;
    bool refuse = false;
    FWPS_CALLOUT callout = PermitCallout(kCallout);
    callout.notifyFn = [&](FWPS_CALLOUT_NOTIFY_TYPE type, const GUID&, const FWPS_FILTER&) {
        heard.push_back(type);
        return refuse ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
    };
    ASSERT_EQ(FwpsCalloutRegister(callout, nullptr), STATUS_SUCCESS);
    {
        ENGINE_HANDLE handle = OpenDynamic();
        ASSERT_EQ(AddSublayerCalloutFilter(handle, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
        refuse = true;
        FWPM_FILTER filter;
        filter.layerKey = FWPM_LAYER_STREAM_V4;
        filter.action.type = FWP_ACTION_CALLOUT_TERMINATING;
        filter.action.calloutKey = kCallout;
        EXPECT_EQ(FwpmFilterAdd(handle, filter), STATUS_ACCESS_DENIED);
    }
    EXPECT_EQ(heard, (std::vector<FWPS_CALLOUT_NOTIFY_TYPE>{FWPS_CALLOUT_NOTIFY_ADD_FILTER,
                                                            FWPS_CALLOUT_NOTIFY_ADD_FILTER,
                                                            FWPS_CALLOUT_NOTIFY_DELETE_FILTER}));
}

TEST(WfpCalloutTest, ATerminatingFilterWhoseCalloutIsNotRegisteredBlocks) {
    FilterEngine engine;
    SimNetwork network(engine);
    ENGINE_HANDLE handle = OpenDynamic();
    ASSERT_EQ(AddSublayerCalloutFilter(handle, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
    auto connection = network.OpenTcp(MakeIPv4Address(10, 1, 1, 1), 80, 1);
    EXPECT_TRUE(connection->ClientSend("x"));
    EXPECT_TRUE(connection->ClientWasReset());
}

TEST(WfpBfeTest, RegistrationWaitsForTheEngineToStart) {
    FilterEngine engine(FWPM_SERVICE_STOPPED);
    EXPECT_EQ(FwpmBfeStateGet(), FWPM_SERVICE_STOPPED);
    ENGINE_HANDLE handle;
    EXPECT_EQ(FwpmEngineOpen(nullptr, RPC_C_AUTHN_WINNT, handle), STATUS_DEVICE_NOT_READY);

    std::vector<FWPM_SERVICE_STATE> states;
    ENGINE_HANDLE registered;
    BFE_SUBSCRIPTION subscription;
    ASSERT_EQ(FwpmBfeStateSubscribeChanges(
                  [&](FWPM_SERVICE_STATE state) {
                      states.push_back(state);
                      if (state == FWPM_SERVICE_RUNNING && !registered) {
                          EXPECT_EQ(FwpmEngineOpen(nullptr, RPC_C_AUTHN_WINNT, registered),
                                    STATUS_SUCCESS);
                      }
                  },
                  subscription),
              STATUS_SUCCESS);
    engine.SetBfeState(FWPM_SERVICE_START_PENDING);
    EXPECT_FALSE(registered);
    engine.SetBfeState(FWPM_SERVICE_RUNNING);
    EXPECT_TRUE(registered);
    EXPECT_EQ(states,
              (std::vector<FWPM_SERVICE_STATE>{FWPM_SERVICE_START_PENDING, FWPM_SERVICE_RUNNING}));
    ASSERT_EQ(FwpmBfeStateUnsubscribeChanges(subscription), STATUS_SUCCESS);
    engine.SetBfeState(FWPM_SERVICE_STOPPED);
    EXPECT_EQ(states.size(), 2u);
    EXPECT_EQ(engine.SubscriptionCount(), 0u);
}

TEST(WfpBfeTest, AStoppingEngineAbortsSessionsAndTheirDynamicObjects) {
    FilterEngine engine;
    ENGINE_HANDLE handle = OpenDynamic();
    ASSERT_EQ(AddSublayerCalloutFilter(handle, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
    engine.SetBfeState(FWPM_SERVICE_STOPPED);
    EXPECT_EQ(engine.FilterCount(FWPS_LAYER_STREAM_V4), 0u);
    EXPECT_EQ(FwpmTransactionBegin(handle), STATUS_FWP_SESSION_ABORTED);
    EXPECT_EQ(FwpmEngineClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(engine.SessionCount(), 0u);
}

TEST(WfpFlowContextTest, AssociationNeedsALiveFlowARegisteredCalloutAndOneEntryPerLayer) {
    FilterEngine engine;
    SimNetwork network(engine);
    auto connection = network.OpenTcp(MakeIPv4Address(10, 1, 1, 1), 80, 1);
    std::vector<uint64_t> deleted;
    FWPS_CALLOUT callout = PermitCallout(kCallout);
    callout.flowDeleteFn = [&](uint16_t, uint32_t, uint64_t context) {
        deleted.push_back(context);
    };
    uint32_t id = 0;
    ASSERT_EQ(FwpsCalloutRegister(callout, &id), STATUS_SUCCESS);
    uint64_t flow = connection->FlowId();
    EXPECT_EQ(FwpsFlowAssociateContext(flow + 1000, FWPS_LAYER_STREAM_V4, id, 7),
              STATUS_FWP_NOT_FOUND);
    EXPECT_EQ(FwpsFlowAssociateContext(flow, FWPS_LAYER_STREAM_V4, id + 50, 7),
              STATUS_FWP_CALLOUT_NOT_FOUND);
    EXPECT_EQ(FwpsFlowAssociateContext(flow, FWPS_LAYER_STREAM_V6, id, 7),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(FwpsFlowAssociateContext(flow, FWPS_LAYER_STREAM_V4, id, 7), STATUS_SUCCESS);
    EXPECT_EQ(FwpsFlowAssociateContext(flow, FWPS_LAYER_STREAM_V4, id, 8),
              STATUS_FWP_ALREADY_EXISTS);
    EXPECT_EQ(engine.FlowContextCount(), 1u);
    // Unregistering the callout takes its contexts with it, each flow-delete running once.
    EXPECT_EQ(FwpsCalloutUnregisterById(id), STATUS_SUCCESS);
    EXPECT_EQ(deleted, std::vector<uint64_t>{7});
    EXPECT_EQ(engine.FlowContextCount(), 0u);
}

TEST(WfpFlowContextTest, UnregisterWaitsForAFlowDeleteAlreadyRunning) {
    FilterEngine engine;
    SimNetwork network(engine);
    auto connection = network.OpenTcp(MakeIPv4Address(10, 1, 1, 1), 80, 1);
    Event entered(EventType::Notification);
    Event release(EventType::Notification);
    std::atomic<bool> unregistered{false};
    std::atomic<bool> calledAfterUnregister{false};
    FWPS_CALLOUT callout = PermitCallout(kCallout);
    callout.flowDeleteFn = [&](uint16_t, uint32_t, uint64_t) {
        entered.Set();
        WaitForSingleObject(release, 5000);
        calledAfterUnregister = unregistered.load();
    };
    uint32_t id = 0;
    ASSERT_EQ(FwpsCalloutRegister(callout, &id), STATUS_SUCCESS);
    ASSERT_EQ(FwpsFlowAssociateContext(connection->FlowId(), FWPS_LAYER_STREAM_V4, id, 7),
              STATUS_SUCCESS);
    // The flow ends on one thread and its flow-delete is held inside the callout ...
    auto ender = Thread::Start([&] { connection->Abort(); });
    ASSERT_EQ(WaitForSingleObject(entered, 5000), WAIT_OBJECT_0);
    // ... while another unregisters the callout: that must not return before the call is over.
    Event done(EventType::Notification);
    auto unregisterer = Thread::Start([&] {
        EXPECT_EQ(FwpsCalloutUnregisterById(id), STATUS_SUCCESS);
        unregistered = true;
        done.Set();
    });
    EXPECT_EQ(WaitForSingleObject(done, 50), WAIT_TIMEOUT);
    release.Set();
    EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
    WaitForSingleObject(*ender, INFINITE);
    WaitForSingleObject(*unregisterer, INFINITE);
    EXPECT_FALSE(calledAfterUnregister);
}

TEST(WfpFlowContextTest, ConcurrentRemovalAndFlowEndDeleteEachContextOnce) {
    for (int round = 0; round < 20; ++round) {
        FilterEngine engine;
        SimNetwork network(engine);
        testing::StreamHarness harness;
        auto connection = network.OpenTcp(MakeIPv4Address(10, 1, 1, 1), 80, 1);
        auto remover = Thread::Start([&] {
            FwpsFlowRemoveContext(connection->FlowId(), FWPS_LAYER_STREAM_V4,
                                  harness.StreamCalloutId());
        });
        connection->Abort();
        WaitForSingleObject(*remover, INFINITE);
        EXPECT_EQ(harness.DeletedContexts().size(), 1u);
    }
}

TEST(WfpStreamDataTest, CopyJoinsTheListsAndCloneIsIndependent) {
    NetBufferListChain chain = testing::MakeChain({"hello ", "stream ", "world"});
    FWPS_STREAM_DATA data;
    data.dataLength = chain.DataLength();
    data.netBufferListChain = chain.Head();
    std::vector<uint8_t> buffer(data.dataLength);
    EXPECT_EQ(FwpsCopyStreamDataToBuffer(data, buffer), 18u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "hello stream world");
    std::vector<uint8_t> small(4);
    EXPECT_EQ(FwpsCopyStreamDataToBuffer(data, small), 4u);

    size_t before = PoolOutstanding(kWfpCloneTag);
    NetBufferListChain clone;
    ASSERT_EQ(FwpsCloneStreamData(data, clone), STATUS_SUCCESS);
    EXPECT_EQ(clone.Count(), 3u);
    chain.Head()->Data()[0] = 'J';
    EXPECT_EQ(testing::ChainText(clone.Head()), "hello stream world");
    FwpsDiscardClonedStreamData(clone);
    EXPECT_TRUE(clone.Empty());
    EXPECT_EQ(PoolOutstanding(kWfpCloneTag), before);
}

TEST(WfpStreamDataTest, CloneFailsCleanlyWhenThePoolRefuses) {
    NetBufferListChain chain = testing::MakeChain({"one", "two"});
    FWPS_STREAM_DATA data;
    data.dataLength = chain.DataLength();
    data.netBufferListChain = chain.Head();
    size_t before = PoolOutstanding(kWfpCloneTag);
    NetBufferListChain clone;
    {
        // The second list's allocation fails: the first one is given back.
        ScopedPoolFailure failure(kWfpCloneTag, 2);
        EXPECT_EQ(FwpsCloneStreamData(data, clone), STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_TRUE(clone.Empty());
    EXPECT_EQ(PoolOutstanding(kWfpCloneTag), before);
}

TEST(NetBufferTest, ChainsSplitAndJoinWithoutLosingLists) {
    NetBufferListChain chain = testing::MakeChain({"a", "bb", "ccc"});
    NetBufferListChain front = chain.SplitFront(1);
    EXPECT_EQ(testing::ChainText(front.Head()), "a");
    EXPECT_EQ(chain.Count(), 2u);
    front.Append(std::move(chain));
    EXPECT_TRUE(chain.Empty());
    EXPECT_EQ(front.DataLength(), 6u);
    EXPECT_EQ(testing::ChainText(front.Head()), "abbccc");
    NetBufferListPtr first = front.PopFront();
    EXPECT_EQ(first->DataLength(), 1u);
    EXPECT_EQ(front.Tail()->DataLength(), 3u);
}

TEST(NetBufferTest, RetreatUsesHeadroomThenGrowsAndPoolListsCanFail) {
    uint8_t payload[] = {1, 2, 3};
    NetBufferListPtr list = AllocateEngineNetBufferList(payload, 2);
    EXPECT_EQ(NdisRetreatNetBufferDataStart(*list, 2), STATUS_SUCCESS);
    EXPECT_EQ(list->DataLength(), 5u);
    EXPECT_EQ(NdisRetreatNetBufferDataStart(*list, 4), STATUS_SUCCESS);  // grows the buffer
    EXPECT_EQ(list->DataLength(), 9u);
    EXPECT_EQ(list->Data()[6], 1);
    NdisAdvanceNetBufferDataStart(*list, 6);
    EXPECT_EQ(list->DataLength(), 3u);
    EXPECT_EQ(list->Data()[0], 1);

    constexpr uint32_t tag = MakePoolTag("NBLP");
    auto pool = NdisAllocateNetBufferListPool(tag);
    ASSERT_TRUE(pool);
    std::vector<uint8_t> text = {'t', 'e', 'x', 't'};
    NetBufferListPtr described = pool->AllocateNetBufferAndNetBufferList(text, 0, text.size());
    ASSERT_TRUE(described);
    EXPECT_EQ(described->Data().data(), text.data());
    EXPECT_FALSE(pool->AllocateNetBufferAndNetBufferList(text, 2, 3));
    {
        ScopedPoolFailure failure(tag);
        EXPECT_FALSE(pool->AllocateNetBufferAndNetBufferList(text, 0, 4));
        EXPECT_EQ(NdisRetreatNetBufferDataStart(*described, 8), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(NdisAllocateNetBufferListPool(tag));
    }
    described.reset();
    pool.reset();
    EXPECT_EQ(PoolOutstanding(tag), 0u);
}

// ---- Datagrams ----

class DatagramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = OpenDynamic();
        FWPS_CALLOUT callout;
        callout.calloutKey = kCallout;
        callout.classifyFn = [this](const FWPS_INCOMING_VALUES& values,
                                    const FWPS_INCOMING_METADATA_VALUES& metadata, void* layerData,
                                    const FWPS_FILTER&, uint64_t, FWPS_CLASSIFY_OUT& out) {
            out.actionType = FWP_ACTION_PERMIT;
            auto* packet = static_cast<NET_BUFFER_LIST*>(layerData);
            calls_.push_back(
                {values, metadata, FwpsQueryPacketInjectionState(injection_, *packet)});
            if (onClassify_) {
                onClassify_(*packet, values, metadata, out);
            }
        };
        ASSERT_EQ(FwpsCalloutRegister(callout, &calloutId_), STATUS_SUCCESS);
        std::vector<FWPM_FILTER_CONDITION> dns = {
            {FWPM_CONDITION_IP_PROTOCOL, FWP_MATCH_EQUAL, FWP_CONDITION_VALUE::Uint8(17)},
            {FWPM_CONDITION_IP_REMOTE_PORT, FWP_MATCH_EQUAL, FWP_CONDITION_VALUE::Uint16(53)}};
        ASSERT_EQ(AddSublayerCalloutFilter(handle_, FWPM_LAYER_DATAGRAM_DATA_V4, dns),
                  STATUS_SUCCESS);
        FWPM_CALLOUT v6;
        v6.calloutKey = kCallout6;
        v6.applicableLayer = FWPM_LAYER_DATAGRAM_DATA_V6;
        ASSERT_EQ(FwpmCalloutAdd(handle_, v6), STATUS_SUCCESS);
        FWPS_CALLOUT runtime6 = callout;
        runtime6.calloutKey = kCallout6;
        ASSERT_EQ(FwpsCalloutRegister(runtime6, nullptr), STATUS_SUCCESS);
        FWPM_FILTER filter;
        filter.layerKey = FWPM_LAYER_DATAGRAM_DATA_V6;
        filter.filterConditions = dns;
        filter.action.type = FWP_ACTION_CALLOUT_TERMINATING;
        filter.action.calloutKey = kCallout6;
        ASSERT_EQ(FwpmFilterAdd(handle_, filter), STATUS_SUCCESS);
        ASSERT_EQ(FwpsInjectionHandleCreate(AddressFamily::Unspecified,
                                            FWPS_INJECTION_TYPE_TRANSPORT, injection_),
                  STATUS_SUCCESS);
    }

    void Rewrite(NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                 const FWPS_INCOMING_METADATA_VALUES& metadata, FWPS_CLASSIFY_OUT& out,
                 std::string_view replacement) {
        testing::RewriteInboundDatagram(
            injection_, this, packet, values, metadata, out, replacement,
            [this](NetBufferListChain, NTSTATUS status) { injectStatus_ = status; });
    }

    struct CALL {
        FWPS_INCOMING_VALUES values;
        FWPS_INCOMING_METADATA_VALUES metadata;
        FWPS_PACKET_INJECTION_STATE state;
    };
    static constexpr GUID kCallout6 = MakeGuid("56037114-54bd-4ae3-b522-e1a558d75a35");
    FilterEngine engine_;
    SimNetwork network_{engine_};
    ENGINE_HANDLE handle_;
    INJECTION_HANDLE injection_;
    uint32_t calloutId_ = 0;
    std::vector<CALL> calls_;
    std::function<void(NET_BUFFER_LIST&, const FWPS_INCOMING_VALUES&,
                       const FWPS_INCOMING_METADATA_VALUES&, FWPS_CLASSIFY_OUT&)>
        onClassify_;
    std::atomic<NTSTATUS> injectStatus_{STATUS_PENDING};
};

TEST_F(DatagramTest, OnlyUdpToPort53ReachesTheCalloutWithHeaderSizes) {
    auto dns = network_.OpenUdp(kDnsServer, 53, 900);
    auto other = network_.OpenUdp(kDnsServer, 5353, 900);
    EXPECT_TRUE(dns->ServerSend(Bytes("answer")));
    EXPECT_TRUE(other->ServerSend(Bytes("mdns")));
    ASSERT_EQ(calls_.size(), 1u);
    const CALL& call = calls_[0];
    EXPECT_EQ(call.values.layerId, FWPS_LAYER_DATAGRAM_DATA_V4);
    EXPECT_EQ(call.values.direction, FWP_DIRECTION_INBOUND);
    EXPECT_EQ(call.values.remoteAddressV4, 0xC6336435u);  // 198.51.100.53 in host order
    EXPECT_EQ(call.values.remotePort, 53);
    EXPECT_EQ(call.values.protocol, 17);
    EXPECT_EQ(call.values.interfaceIndex, SimNetwork::kInterfaceIndex);
    EXPECT_EQ(call.metadata.ipHeaderSize, 20u);
    EXPECT_EQ(call.metadata.transportHeaderSize, 8u);
    EXPECT_EQ(call.state, FWPS_PACKET_NOT_INJECTED);
    ASSERT_EQ(dns->ClientReceived().size(), 1u);
    EXPECT_FALSE(dns->ClientReceived()[0].injected);
}

TEST_F(DatagramTest, TheHeadersLieInFrontOfTheIndicatedPayload) {
    std::vector<uint8_t> seen;
    onClassify_ = [&](NET_BUFFER_LIST& packet, const auto&, const auto& metadata, auto&) {
        EXPECT_EQ(std::string(packet.Data().begin(), packet.Data().end()), "payload");
        size_t headers = metadata.ipHeaderSize + metadata.transportHeaderSize;
        ASSERT_EQ(NdisRetreatNetBufferDataStart(packet, headers), STATUS_SUCCESS);
        uint8_t* whole = NdisGetDataBuffer(packet, packet.DataLength(), nullptr);
        ASSERT_NE(whole, nullptr);
        seen.assign(whole, whole + packet.DataLength());
        NdisAdvanceNetBufferDataStart(packet, headers);
    };
    auto dns = network_.OpenUdp(kDnsServer, 53, 900);
    EXPECT_TRUE(dns->ServerSend(Bytes("payload")));
    auto view = ParseUdpPacket(seen);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->source, kDnsServer);
    EXPECT_EQ(view->sourcePort, 53);
    EXPECT_EQ(view->destination, SimNetwork::ClientAddressV4());
    EXPECT_EQ(std::string(view->payload.begin(), view->payload.end()), "payload");
}

TEST_F(DatagramTest, AFragmentedPacketIsContiguousOnlyThroughStorage) {
    bool direct = true;
    bool copied = false;
    onClassify_ = [&](NET_BUFFER_LIST& packet, const auto&, const auto& metadata, auto&) {
        size_t headers = metadata.ipHeaderSize + metadata.transportHeaderSize;
        ASSERT_EQ(NdisRetreatNetBufferDataStart(packet, headers), STATUS_SUCCESS);
        direct = NdisGetDataBuffer(packet, packet.DataLength(), nullptr) != nullptr;
        std::vector<uint8_t> storage(packet.DataLength());
        uint8_t* whole = NdisGetDataBuffer(packet, packet.DataLength(), storage.data());
        copied = whole == storage.data() && ParseUdpPacket(storage).has_value();
        NdisAdvanceNetBufferDataStart(packet, headers);
    };
    auto dns = network_.OpenUdp(kDnsServer, 53, 900);
    EXPECT_TRUE(dns->ServerSend(Bytes("answer"), true));
    EXPECT_FALSE(direct);
    EXPECT_TRUE(copied);
}

TEST_F(DatagramTest, AbsorbDropsAndAnInjectedReplacementArrivesMarkedAsOurs) {
    onClassify_ = [&](NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                      const FWPS_INCOMING_METADATA_VALUES& metadata, FWPS_CLASSIFY_OUT& out) {
        if (FwpsQueryPacketInjectionState(injection_, packet) == FWPS_PACKET_INJECTED_BY_SELF) {
            return;  // our own answer passes
        }
        Rewrite(packet, values, metadata, out, "rewritten answer");
    };
    auto dns = network_.OpenUdp(kDnsServer, 53, 900);
    EXPECT_FALSE(dns->ServerSend(Bytes("original")));
    ASSERT_TRUE(network_.WaitSettled());
    EXPECT_EQ(injectStatus_.load(), STATUS_SUCCESS);
    auto received = dns->ClientReceived();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(std::string(received[0].payload.begin(), received[0].payload.end()),
              "rewritten answer");
    EXPECT_TRUE(received[0].injected);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[1].state, FWPS_PACKET_INJECTED_BY_SELF);
    EXPECT_EQ(PoolOutstanding(kWfpCloneTag), 0u);
}

// Two endpoints of one tuple (DNS over TCP presented as datagrams beside a UDP exchange of the
// same ports): a rewritten answer goes back to the endpoint whose answer it replaces.
TEST_F(DatagramTest, ARewrittenAnswerGoesBackToTheEndpointThatIndicatedTheOriginal) {
    // As the driver rewrites: a clone of the packet, its payload changed in place.
    onClassify_ = [&](NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                      const FWPS_INCOMING_METADATA_VALUES& metadata, FWPS_CLASSIFY_OUT& out) {
        if (FwpsQueryPacketInjectionState(injection_, packet) == FWPS_PACKET_INJECTED_BY_SELF) {
            return;
        }
        NetBufferListPtr clone;
        ASSERT_EQ(FwpsAllocateCloneNetBufferList(packet, clone), STATUS_SUCCESS);
        std::memcpy(clone->Data().data(), "REWRITE!", 8);
        ASSERT_EQ(NdisRetreatNetBufferDataStart(*clone, metadata.transportHeaderSize),
                  STATUS_SUCCESS);
        const IP_ADDRESS_BYTES remote = MakeIPv4Address(values.remoteAddressV4);
        const IP_ADDRESS_BYTES local = MakeIPv4Address(values.localAddressV4);
        ASSERT_EQ(FwpsConstructIpHeaderForTransportPacket(*clone, metadata.ipHeaderSize,
                                                          AddressFamily::IPv4, remote.View(),
                                                          local.View(), IPPROTO_UDP_VALUE),
                  STATUS_SUCCESS);
        ASSERT_EQ(
            FwpsInjectTransportReceiveAsync(injection_, nullptr, AddressFamily::IPv4, 0,
                                            values.interfaceIndex, values.subInterfaceIndex,
                                            std::move(clone), [](NetBufferListChain, NTSTATUS) {}),
            STATUS_SUCCESS);
        testing::SetAbsorb(out);
    };
    struct SINK final : DatagramSink {
        void Deliver(FWP_DIRECTION, std::span<const uint8_t> payload, bool) override {
            std::lock_guard guard(lock);
            delivered.emplace_back(payload.begin(), payload.end());
        }
        std::mutex lock;
        std::vector<std::string> delivered;
    };
    auto first = network_.OpenUdp(kDnsServer, 53, 900);
    auto sink = std::make_shared<SINK>();
    auto second = engine_.OpenDatagramEndpoint(first->Tuple(), 900, sink);
    second->Send(FWP_DIRECTION_INBOUND, Bytes("original"));
    ASSERT_TRUE(network_.WaitSettled());
    EXPECT_TRUE(first->ClientReceived().empty());
    std::lock_guard guard(sink->lock);
    EXPECT_EQ(sink->delivered, std::vector<std::string>{"REWRITE!"});
}

TEST_F(DatagramTest, IPv6AnswersAreRewrittenToo) {
    onClassify_ = [&](NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                      const FWPS_INCOMING_METADATA_VALUES& metadata, FWPS_CLASSIFY_OUT& out) {
        if (FwpsQueryPacketInjectionState(injection_, packet) != FWPS_PACKET_INJECTED_BY_SELF) {
            Rewrite(packet, values, metadata, out, "v6 answer");
        }
    };
    auto dns = network_.OpenUdp(kDnsServerV6, 53, 900);
    EXPECT_FALSE(dns->ServerSend(Bytes("original")));
    ASSERT_TRUE(network_.WaitSettled());
    ASSERT_EQ(dns->ClientReceived().size(), 1u);
    EXPECT_EQ(calls_[0].metadata.ipHeaderSize, 40u);
    EXPECT_EQ(calls_[0].values.layerId, FWPS_LAYER_DATAGRAM_DATA_V6);
    auto payload = dns->ClientReceived()[0].payload;
    EXPECT_EQ(std::string(payload.begin(), payload.end()), "v6 answer");
}

TEST_F(DatagramTest, AMalformedOrMisaddressedInjectionIsNotDelivered) {
    auto dns = network_.OpenUdp(kDnsServer, 53, 900);
    std::vector<uint8_t> packet = BuildUdpPacket(kDnsServer, 53, dns->Tuple().localAddress,
                                                 dns->Tuple().localPort, Bytes("answer"));
    std::vector<NTSTATUS> statuses;
    std::mutex lock;
    auto inject = [&](std::vector<uint8_t> bytes, uint32_t interfaceIndex) {
        NetBufferListPtr list = AllocatePoolNetBufferList(bytes, 0, kWfpCloneTag);
        ASSERT_EQ(FwpsInjectTransportReceiveAsync(injection_, nullptr, AddressFamily::IPv4, 0,
                                                  interfaceIndex, SimNetwork::kSubInterfaceIndex,
                                                  std::move(list),
                                                  [&](NetBufferListChain, NTSTATUS status) {
                                                      std::lock_guard guard(lock);
                                                      statuses.push_back(status);
                                                  }),
                  STATUS_SUCCESS);
        ASSERT_TRUE(network_.WaitSettled());
    };
    std::vector<uint8_t> badChecksum = packet;
    badChecksum[10] ^= 0xFF;
    inject(badChecksum, SimNetwork::kInterfaceIndex);
    inject(packet, SimNetwork::kInterfaceIndex + 1);
    inject(packet, SimNetwork::kInterfaceIndex);
    EXPECT_EQ(statuses,
              (std::vector<NTSTATUS>{STATUS_INVALID_PARAMETER, STATUS_NOT_FOUND, STATUS_SUCCESS}));
    EXPECT_EQ(dns->ClientReceived().size(), 1u);
}

TEST_F(DatagramTest, OutboundQueriesReachTheServer) {
    auto dns = network_.OpenUdp(kDnsServer, 53, 900);
    EXPECT_TRUE(dns->ClientSend(Bytes("query")));
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].values.direction, FWP_DIRECTION_OUTBOUND);
    ASSERT_EQ(dns->ServerReceived().size(), 1u);
}

TEST_F(DatagramTest, InjectionStateTellsSelfFromOthersAndClones) {
    INJECTION_HANDLE other;
    ASSERT_EQ(FwpsInjectionHandleCreate(AddressFamily::IPv4, FWPS_INJECTION_TYPE_TRANSPORT, other),
              STATUS_SUCCESS);
    std::vector<FWPS_PACKET_INJECTION_STATE> seenByOther;
    std::vector<FWPS_PACKET_INJECTION_STATE> ofClone;
    void* context = nullptr;
    onClassify_ = [&](NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                      const FWPS_INCOMING_METADATA_VALUES& metadata, FWPS_CLASSIFY_OUT& out) {
        seenByOther.push_back(FwpsQueryPacketInjectionState(other, packet));
        NetBufferListPtr clone;
        ASSERT_EQ(FwpsAllocateCloneNetBufferList(packet, clone), STATUS_SUCCESS);
        ofClone.push_back(FwpsQueryPacketInjectionState(injection_, *clone));
        if (FwpsQueryPacketInjectionState(injection_, packet, &context) !=
            FWPS_PACKET_INJECTED_BY_SELF) {
            Rewrite(packet, values, metadata, out, "x");
        }
    };
    auto dns = network_.OpenUdp(kDnsServer, 53, 900);
    dns->ServerSend(Bytes("original"));
    ASSERT_TRUE(network_.WaitSettled());
    EXPECT_EQ(seenByOther, (std::vector<FWPS_PACKET_INJECTION_STATE>{
                               FWPS_PACKET_NOT_INJECTED, FWPS_PACKET_INJECTED_BY_OTHER}));
    EXPECT_EQ(ofClone, (std::vector<FWPS_PACKET_INJECTION_STATE>{
                           FWPS_PACKET_NOT_INJECTED, FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF}));
    EXPECT_EQ(context, this);
}

}  // namespace
}  // namespace os
