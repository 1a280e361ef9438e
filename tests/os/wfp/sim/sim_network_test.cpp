// The stream contract of the filtering engine, seen from a callout and from the two ends of
// simulated connections.
#include "os/wfp/sim/sim_network.h"

#include <gtest/gtest.h>

#include <atomic>

#include "os/core/clock.h"
#include "tests/os/wfp/wfp_test_util.h"

namespace os {
namespace {

using testing::INDICATION;
using testing::SetAbsorb;
using testing::SetDrop;
using testing::SetNeedMore;
using testing::StreamHarness;

const IP_ADDRESS_BYTES kServer = MakeIPv4Address(203, 0, 113, 7);
const IP_ADDRESS_BYTES kServerV6 =
    MakeIPv6Address({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x07});

class StreamContractTest : public ::testing::Test {
  protected:
    FilterEngine engine_;
    SimNetwork network_{engine_};
    StreamHarness harness_;

    std::shared_ptr<SimTcpConnection> Open(const IP_ADDRESS_BYTES& server = kServer) {
        return network_.OpenTcp(server, 80, 1234);
    }
};

TEST_F(StreamContractTest, PermittedSegmentsArriveInOrderWithTheirFlags) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("GET / HTTP/1.1\r\n"));
    EXPECT_TRUE(connection->ClientSend("Host: a.test\r\n\r\n"));
    EXPECT_TRUE(connection->ServerSend("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(connection->ServerReceived(), "GET / HTTP/1.1\r\nHost: a.test\r\n\r\n");
    EXPECT_EQ(connection->ClientReceived(), "HTTP/1.1 200 OK\r\n");

    auto seen = harness_.Indications();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].flags, FWPS_STREAM_FLAG_SEND);
    EXPECT_EQ(seen[0].data, "GET / HTTP/1.1\r\n");
    EXPECT_EQ(seen[1].data, "Host: a.test\r\n\r\n");
    EXPECT_EQ(seen[2].flags, FWPS_STREAM_FLAG_RECEIVE);
    // Each call names the flow, the stream layer and the callout's context for the flow.
    EXPECT_EQ(seen[0].flowHandle, connection->FlowId());
    EXPECT_EQ(seen[0].flowContext, StreamHarness::kContextBase + connection->FlowId());
    EXPECT_EQ(seen[0].layerId, FWPS_LAYER_STREAM_V4);
    EXPECT_EQ(seen[0].calloutId, harness_.StreamCalloutId());
}

TEST_F(StreamContractTest, IPv6ConnectionsUseTheV6StreamLayer) {
    auto connection = Open(kServerV6);
    EXPECT_TRUE(connection->ClientSend("hello"));
    auto seen = harness_.Indications();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].layerId, FWPS_LAYER_STREAM_V6);
    EXPECT_EQ(seen[0].calloutId, harness_.StreamCalloutId(true));
    EXPECT_EQ(connection->ServerReceived(), "hello");
}

TEST_F(StreamContractTest, AbsorbConsumesTheSegment) {
    harness_.SetDecide([](const INDICATION& indication, auto&, FWPS_CLASSIFY_OUT& out) {
        if (indication.data == "secret") {
            SetAbsorb(out);
        }
    });
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("one "));
    EXPECT_TRUE(connection->ClientSend("secret"));
    EXPECT_TRUE(connection->ClientSend("two"));
    EXPECT_EQ(connection->ServerReceived(), "one two");
    EXPECT_FALSE(connection->ServerWasReset());
}

TEST_F(StreamContractTest, NeedMoreDataPresentsTheAccumulatedBytesOnceEnoughAreThere) {
    harness_.SetDecide([](const INDICATION& indication, FWPS_STREAM_CALLOUT_IO_PACKET& packet,
                          FWPS_CLASSIFY_OUT& out) {
        if (indication.dataLength < 10) {
            SetNeedMore(packet, out, 10);
        }
    });
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("abc"));
    EXPECT_TRUE(connection->ClientSend("def"));  // 6 bytes: still short, not indicated
    EXPECT_EQ(connection->ServerReceived(), "");
    EXPECT_TRUE(connection->ClientSend("ghijk"));
    EXPECT_EQ(connection->ServerReceived(), "abcdefghijk");

    auto seen = harness_.Indications();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].data, "abc");
    // The kept segment comes again joined with the later ones, each still its own list.
    EXPECT_EQ(seen[1].data, "abcdefghijk");
    EXPECT_EQ(seen[1].dataLength, 11u);
    EXPECT_EQ(seen[1].lists, 3u);
}

TEST_F(StreamContractTest, AFinReleasesHeldBytesWithTheDisconnectFlag) {
    harness_.SetDecide([](const INDICATION& indication, FWPS_STREAM_CALLOUT_IO_PACKET& packet,
                          FWPS_CLASSIFY_OUT& out) {
        if ((indication.flags & FWPS_STREAM_FLAG_SEND_DISCONNECT) == 0) {
            SetNeedMore(packet, out, 100);
        }
    });
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("GE"));
    EXPECT_TRUE(connection->ClientClose());
    auto seen = harness_.Indications();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].flags, FWPS_STREAM_FLAG_SEND | FWPS_STREAM_FLAG_SEND_DISCONNECT);
    EXPECT_EQ(seen[1].data, "GE");
    EXPECT_EQ(connection->ServerReceived(), "GE");
    EXPECT_TRUE(connection->ServerSawFin());
}

TEST_F(StreamContractTest, NeedMoreDataOnAFinDeliversWhatThereIs) {
    harness_.SetDecide([](const INDICATION&, FWPS_STREAM_CALLOUT_IO_PACKET& packet,
                          FWPS_CLASSIFY_OUT& out) { SetNeedMore(packet, out, 100); });
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("partial"));
    EXPECT_TRUE(connection->ClientClose());
    EXPECT_EQ(connection->ServerReceived(), "partial");
    EXPECT_TRUE(connection->ServerSawFin());
}

TEST_F(StreamContractTest, EnforcedBytesPermitAPrefixAndIndicateTheRestAgain) {
    harness_.SetDecide([](const INDICATION& indication, FWPS_STREAM_CALLOUT_IO_PACKET& packet,
                          FWPS_CLASSIFY_OUT& out) {
        if (indication.data == "headbody") {
            packet.countBytesEnforced = 4;
        } else {
            SetAbsorb(out);
        }
    });
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("headbody"));
    EXPECT_EQ(connection->ServerReceived(), "head");
    auto seen = harness_.Indications();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].data, "body");
}

TEST_F(StreamContractTest, DropConnectionResetsBothEndsAndEndsIndications) {
    harness_.SetDecide([](const INDICATION& indication, FWPS_STREAM_CALLOUT_IO_PACKET& packet,
                          FWPS_CLASSIFY_OUT& out) {
        if (indication.data == "bad") {
            SetDrop(packet, out);
        }
    });
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("ok"));
    EXPECT_TRUE(connection->ServerSend("hi"));
    EXPECT_TRUE(connection->ClientSend("bad"));
    EXPECT_TRUE(connection->ClientWasReset());
    EXPECT_TRUE(connection->ServerWasReset());
    EXPECT_FALSE(connection->ClientSend("more"));
    EXPECT_FALSE(connection->ServerSend("more"));
    EXPECT_EQ(connection->ServerReceived(), "ok");
    EXPECT_EQ(harness_.Indications().size(), 3u);
    // Nothing is delivered by injection any more either.
    EXPECT_NE(harness_.Inject(*connection, FWPS_STREAM_FLAG_RECEIVE, "late"), STATUS_SUCCESS);
    EXPECT_TRUE(connection->FlowDeleted());
}

TEST_F(StreamContractTest, BlockWithoutAbsorbDropsTheConnection) {
    harness_.SetDecide([](const INDICATION&, auto&, FWPS_CLASSIFY_OUT& out) {
        out.actionType = FWP_ACTION_BLOCK;
    });
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("x"));
    EXPECT_TRUE(connection->ClientWasReset());
}

TEST_F(StreamContractTest, InjectedDataArrivesInOrderAndIsNotIndicatedAgain) {
    harness_.SetDecide([](const INDICATION& indication, auto&, FWPS_CLASSIFY_OUT& out) {
        if (indication.data.starts_with("held")) {
            SetAbsorb(out);
        }
    });
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("held-1 "));
    EXPECT_TRUE(connection->ClientSend("held-2 "));
    size_t indicated = harness_.Indications().size();
    NetBufferListChain chain = testing::MakeChain({"held-1 ", "held-2 "});
    ASSERT_EQ(FwpsStreamInjectAsync(harness_.Injection(), connection->FlowId(),
                                    harness_.StreamCalloutId(), FWPS_LAYER_STREAM_V4,
                                    FWPS_STREAM_FLAG_SEND, std::move(chain), 14, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(chain.Empty());
    EXPECT_TRUE(connection->ClientSend("after"));
    EXPECT_EQ(connection->ServerReceived(), "held-1 held-2 after");
    // The injection was not presented to the callout; only the later send was.
    EXPECT_EQ(harness_.Indications().size(), indicated + 1);
    EXPECT_TRUE(network_.WaitSettled());
    EXPECT_EQ(PoolOutstanding(kWfpCloneTag), 0u);
}

TEST_F(StreamContractTest, InboundInjectionReachesTheClient) {
    auto connection = Open();
    ASSERT_EQ(harness_.Inject(*connection, FWPS_STREAM_FLAG_RECEIVE,
                              "HTTP/1.1 302 Other\r\nConnection: close\r\n\r\n"),
              STATUS_SUCCESS);
    EXPECT_EQ(connection->ClientReceived(), "HTTP/1.1 302 Other\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(connection->ServerReceived(), "");
    EXPECT_TRUE(harness_.Indications().empty());
}

TEST_F(StreamContractTest, AnEmptyInjectedDisconnectDeliversTheFin) {
    auto connection = Open();
    ASSERT_EQ(harness_.Inject(*connection,
                              FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT, ""),
              STATUS_SUCCESS);
    EXPECT_TRUE(connection->ClientSawFin());
    EXPECT_FALSE(connection->ServerSawFin());
    // The server's direction is closed towards the client now.
    EXPECT_FALSE(connection->ServerSend("late"));
    EXPECT_EQ(harness_.Inject(*connection, FWPS_STREAM_FLAG_RECEIVE, "late"),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(StreamContractTest, InjectionRejectsBadArgumentsAndLeavesTheChainWithTheCaller) {
    auto connection = Open();
    NetBufferListChain chain = testing::MakeChain({"abc"});
    // Wrong length, both directions, wrong layer, unknown flow, wrong callout.
    EXPECT_EQ(FwpsStreamInjectAsync(harness_.Injection(), connection->FlowId(),
                                    harness_.StreamCalloutId(), FWPS_LAYER_STREAM_V4,
                                    FWPS_STREAM_FLAG_SEND, std::move(chain), 2, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FwpsStreamInjectAsync(harness_.Injection(), connection->FlowId(),
                                    harness_.StreamCalloutId(), FWPS_LAYER_STREAM_V4,
                                    FWPS_STREAM_FLAG_SEND | FWPS_STREAM_FLAG_RECEIVE,
                                    std::move(chain), 3, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FwpsStreamInjectAsync(harness_.Injection(), connection->FlowId(),
                                    harness_.StreamCalloutId(), FWPS_LAYER_STREAM_V6,
                                    FWPS_STREAM_FLAG_SEND, std::move(chain), 3, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FwpsStreamInjectAsync(harness_.Injection(), 0xDEAD, harness_.StreamCalloutId(),
                                    FWPS_LAYER_STREAM_V4, FWPS_STREAM_FLAG_SEND, std::move(chain),
                                    3, nullptr),
              STATUS_FWP_NOT_FOUND);
    EXPECT_EQ(
        FwpsStreamInjectAsync(harness_.Injection(), connection->FlowId(), 999, FWPS_LAYER_STREAM_V4,
                              FWPS_STREAM_FLAG_SEND, std::move(chain), 3, nullptr),
        STATUS_FWP_CALLOUT_NOT_FOUND);
    INJECTION_HANDLE transport;
    ASSERT_EQ(FwpsInjectionHandleCreate(AddressFamily::Unspecified, FWPS_INJECTION_TYPE_TRANSPORT,
                                        transport),
              STATUS_SUCCESS);
    EXPECT_EQ(FwpsStreamInjectAsync(transport, connection->FlowId(), harness_.StreamCalloutId(),
                                    FWPS_LAYER_STREAM_V4, FWPS_STREAM_FLAG_SEND, std::move(chain),
                                    3, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(testing::ChainText(chain.Head()), "abc");
    EXPECT_EQ(connection->ServerReceived(), "");
}

TEST_F(StreamContractTest, CompletionRunsAfterDeliveryOnAnotherThread) {
    auto connection = Open();
    std::atomic<uint32_t> completionThread{0};
    std::atomic<bool> deliveredFirst{false};
    std::atomic<NTSTATUS> completionStatus{STATUS_PENDING};
    std::atomic<size_t> returnedLists{0};
    ASSERT_EQ(harness_.Inject(*connection, FWPS_STREAM_FLAG_SEND, "data",
                              [&](NetBufferListChain data, NTSTATUS status) {
                                  deliveredFirst = connection->ServerReceived() == "data";
                                  completionThread = CurrentThreadId();
                                  returnedLists = data.Count();
                                  completionStatus = status;
                              }),
              STATUS_SUCCESS);
    ASSERT_TRUE(network_.WaitSettled());
    EXPECT_TRUE(deliveredFirst);
    EXPECT_NE(completionThread.load(), 0u);
    EXPECT_NE(completionThread.load(), CurrentThreadId());
    EXPECT_EQ(completionStatus.load(), STATUS_SUCCESS);
    EXPECT_EQ(returnedLists.load(), 1u);
}

TEST_F(StreamContractTest, FlowIsDeletedOnceAfterBothFinsAndTheLastCompletion) {
    auto connection = Open();
    Event release(EventType::Notification);
    ASSERT_EQ(harness_.Inject(
                  *connection, FWPS_STREAM_FLAG_SEND, "x",
                  [&](NetBufferListChain, NTSTATUS) { WaitForSingleObject(release, INFINITE); }),
              STATUS_SUCCESS);
    EXPECT_TRUE(connection->ClientClose());
    EXPECT_TRUE(connection->ServerClose());
    EXPECT_TRUE(connection->ServerSawFin());
    EXPECT_TRUE(connection->ClientSawFin());
    // Both directions closed, but an injection is still outstanding.
    EXPECT_FALSE(connection->FlowDeleted());
    EXPECT_TRUE(harness_.DeletedContexts().empty());
    release.Set();
    ASSERT_TRUE(network_.WaitSettled());
    EXPECT_TRUE(connection->FlowDeleted());
    EXPECT_EQ(harness_.DeletedContexts(),
              std::vector<uint64_t>{StreamHarness::kContextBase + connection->FlowId()});
    EXPECT_EQ(engine_.FlowCount(), 0u);
    // A removal after the flow ended finds nothing and runs nothing.
    EXPECT_EQ(FwpsFlowRemoveContext(connection->FlowId(), FWPS_LAYER_STREAM_V4,
                                    harness_.StreamCalloutId()),
              STATUS_FWP_NOT_FOUND);
    EXPECT_EQ(harness_.DeletedContexts().size(), 1u);
}

TEST_F(StreamContractTest, ResetWithInjectionsOutstandingDeletesTheFlowOnceAfterThem) {
    auto connection = Open();
    Event release(EventType::Notification);
    ASSERT_EQ(harness_.Inject(
                  *connection, FWPS_STREAM_FLAG_RECEIVE, "x",
                  [&](NetBufferListChain, NTSTATUS) { WaitForSingleObject(release, INFINITE); }),
              STATUS_SUCCESS);
    ASSERT_EQ(harness_.Inject(*connection, FWPS_STREAM_FLAG_RECEIVE, "y"), STATUS_SUCCESS);
    connection->Abort();
    EXPECT_TRUE(connection->ClientWasReset());
    EXPECT_FALSE(connection->FlowDeleted());
    release.Set();
    ASSERT_TRUE(network_.WaitSettled());
    EXPECT_TRUE(connection->FlowDeleted());
    EXPECT_EQ(harness_.DeletedContexts().size(), 1u);
}

TEST_F(StreamContractTest, AnAbsorbedFinKeepsTheFlowUntilTheFinIsInjected) {
    harness_.SetDecide([](const INDICATION& indication, auto&, FWPS_CLASSIFY_OUT& out) {
        if (indication.flags & FWPS_STREAM_FLAG_RECEIVE_DISCONNECT) {
            SetAbsorb(out);
        }
    });
    auto connection = Open();
    EXPECT_TRUE(connection->ClientClose());
    EXPECT_TRUE(connection->ServerClose());
    EXPECT_FALSE(connection->ClientSawFin());
    EXPECT_FALSE(connection->FlowDeleted());
    ASSERT_EQ(harness_.Inject(*connection,
                              FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT, ""),
              STATUS_SUCCESS);
    EXPECT_TRUE(connection->ClientSawFin());
    ASSERT_TRUE(network_.WaitSettled());
    EXPECT_TRUE(connection->FlowDeleted());
}

TEST_F(StreamContractTest, RemovingTheContextRunsFlowDeleteOnceAndNotAgainAtTheEnd) {
    auto connection = Open();
    EXPECT_EQ(FwpsFlowRemoveContext(connection->FlowId(), FWPS_LAYER_STREAM_V4,
                                    harness_.StreamCalloutId()),
              STATUS_SUCCESS);
    EXPECT_EQ(harness_.DeletedContexts().size(), 1u);
    EXPECT_EQ(FwpsFlowRemoveContext(connection->FlowId(), FWPS_LAYER_STREAM_V4,
                                    harness_.StreamCalloutId()),
              STATUS_FWP_NOT_FOUND);
    // Without a context the callout sees the flow with context 0.
    EXPECT_TRUE(connection->ClientSend("x"));
    EXPECT_EQ(harness_.Indications().back().flowContext, 0u);
    EXPECT_TRUE(connection->ClientClose());
    EXPECT_TRUE(connection->ServerClose());
    EXPECT_TRUE(connection->FlowDeleted());
    EXPECT_EQ(harness_.DeletedContexts().size(), 1u);
}

TEST_F(StreamContractTest, WaitUntilFollowsDeliveriesFromOtherThreads) {
    auto connection = Open();
    auto thread = Thread::Start(
        [&] { harness_.Inject(*connection, FWPS_STREAM_FLAG_RECEIVE, "late reply"); });
    EXPECT_TRUE(
        connection->WaitUntil([](const SIM_END_STATE& client,
                                 const SIM_END_STATE&) { return client.received == "late reply"; },
                              10'000));
    WaitForSingleObject(*thread, INFINITE);
}

TEST_F(StreamContractTest, ConnectionsOnManyThreadsKeepTheirOwnOrder) {
    constexpr int kThreads = 4;
    constexpr int kSegments = 50;
    std::vector<std::shared_ptr<SimTcpConnection>> connections;
    for (int i = 0; i < kThreads; ++i) {
        connections.push_back(Open());
    }
    std::vector<std::shared_ptr<Thread>> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.push_back(Thread::Start([&, i] {
            for (int s = 0; s < kSegments; ++s) {
                connections[i]->ClientSend(std::to_string(s) + ",");
                connections[i]->ServerSend("r");
            }
            connections[i]->ClientClose();
            connections[i]->ServerClose();
        }));
    }
    for (auto& thread : threads) {
        WaitForSingleObject(*thread, INFINITE);
    }
    std::string expected;
    for (int s = 0; s < kSegments; ++s) {
        expected += std::to_string(s) + ",";
    }
    for (auto& connection : connections) {
        EXPECT_EQ(connection->ServerReceived(), expected);
        EXPECT_EQ(connection->ClientReceived(), std::string(kSegments, 'r'));
        EXPECT_TRUE(connection->FlowDeleted());
    }
    EXPECT_EQ(harness_.DeletedContexts().size(), static_cast<size_t>(kThreads));
}

TEST_F(StreamContractTest, TheNetworkResetsWhatIsStillOpenWhenItGoes) {
    std::shared_ptr<SimTcpConnection> connection;
    {
        SimNetwork network(engine_);
        connection = network.OpenTcp(kServer, 443, std::nullopt);
        EXPECT_TRUE(connection->ClientSend("x"));
    }
    EXPECT_TRUE(connection->ClientWasReset());
    EXPECT_TRUE(connection->FlowDeleted());
}

TEST(SimNetworkTest, AFlowEstablishedBlockRefusesTheConnection) {
    FilterEngine engine;
    SimNetwork network(engine);
    ENGINE_HANDLE handle;
    ASSERT_EQ(FwpmEngineOpen(nullptr, RPC_C_AUTHN_DEFAULT, handle), STATUS_SUCCESS);
    FWPM_FILTER filter;
    filter.layerKey = FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4;
    filter.action.type = FWP_ACTION_BLOCK;
    ASSERT_EQ(FwpmFilterAdd(handle, filter), STATUS_SUCCESS);
    auto connection = network.OpenTcp(kServer, 80, 1);
    EXPECT_TRUE(connection->ClientWasReset());
    EXPECT_FALSE(connection->ClientSend("x"));
    EXPECT_TRUE(connection->FlowDeleted());
}

TEST(SimNetworkTest, WithoutFiltersEverythingPassesAndTheFlowEndsAtTheSecondFin) {
    FilterEngine engine;
    SimNetwork network(engine);
    auto connection = network.OpenTcp(kServer, 80, std::nullopt);
    EXPECT_EQ(engine.FlowCount(), 1u);
    EXPECT_TRUE(connection->ClientSendAndClose("bye"));
    EXPECT_FALSE(connection->ClientSend("more"));  // after its own FIN
    EXPECT_FALSE(connection->FlowDeleted());
    EXPECT_TRUE(connection->ServerSendAndClose("ok"));
    EXPECT_EQ(connection->ServerReceived(), "bye");
    EXPECT_EQ(connection->ClientReceived(), "ok");
    EXPECT_TRUE(connection->FlowDeleted());
    EXPECT_EQ(engine.FlowCount(), 0u);
}

TEST(SimNetworkTest, CompletionsSettleUnderTheVirtualClock) {
    VirtualClock clock;
    FilterEngine engine;
    SimNetwork network(engine);
    StreamHarness harness;
    auto connection = network.OpenTcp(kServer, 80, 5);
    std::atomic<bool> completed{false};
    ASSERT_EQ(harness.Inject(*connection, FWPS_STREAM_FLAG_SEND, "x",
                             [&](NetBufferListChain, NTSTATUS) { completed = true; }),
              STATUS_SUCCESS);
    ASSERT_TRUE(clock.Settle());
    EXPECT_TRUE(completed);
}

}  // namespace
}  // namespace os
