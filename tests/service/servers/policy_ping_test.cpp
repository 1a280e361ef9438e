// Pings and the API protocol probe against real local servers, their time-outs on the virtual
// clock, and stopping ping threads: those that give up waiting for the lock and those that overrun
// and are left to end on their own.
#include "service/servers/policy_ping.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "tests/service/servers/servers_test_support.h"

namespace wexo::svc {
namespace {

using std::chrono::milliseconds;
using testing_servers::WaitUntil;

class PolicyPingTest : public testing_servers::PolicyServersFixture {};

TEST(PingStatusTest, WhichStatusesCountAsAvailable) {
    for (int status : {200, 300, 302, 307, 399, 500, 511}) {
        EXPECT_TRUE(PingStatusMeansAvailable(status)) << status;
    }
    for (int status : {0, 201, 204, 299, 400, 404, 501, 503, 510}) {
        EXPECT_FALSE(PingStatusMeansAvailable(status)) << status;
    }
}

// ---- One ping.

TEST_F(PolicyPingTest, PingsHeadTheOstrelPingPage) {
    const auto names = StartPeers(1);
    EXPECT_EQ(PingPolicyServer(names[0]), PING_RESULT::Available);
    const auto request = Peer(0).Peer().LastRequest();
    EXPECT_EQ(request.method, "HEAD");
    EXPECT_EQ(request.target, "/ostrel_ping");
    EXPECT_EQ(request.Header("User-Agent"), "WEXO_CLIENT");
    EXPECT_TRUE(log_.Has("Pinging policy server = \"" + names[0] + "\" ..."));
    EXPECT_TRUE(log_.Has("Policy server = \"" + names[0] + "\" is available"));
}

TEST_F(PolicyPingTest, ACaptivePortalRedirectCountsAsAvailable) {
    const auto names = StartPeers(1);
    Peer(0).Pages().SetPingAnswer(302, "http://portal.example/login");
    EXPECT_EQ(PingPolicyServer(names[0]), PING_RESULT::Available);
    EXPECT_TRUE(log_.Has("Policy server = \"" + names[0] + "\" redirected; possible hotspot"));
    Peer(0).Pages().SetPingAnswer(511);
    EXPECT_EQ(PingPolicyServer(names[0]), PING_RESULT::Available);
    Peer(0).Pages().SetPingAnswer(403);
    EXPECT_EQ(PingPolicyServer(names[0]), PING_RESULT::Unavailable);
    EXPECT_TRUE(
        log_.Has("Policy server = \"" + names[0] + "\" is ping failed with HTTP status = 403"));
}

TEST_F(PolicyPingTest, RefusedAndResetServersAreNotAvailable) {
    const auto names = StartPeers(2);
    Peer(0).Peer().SetRefuse(true);
    Peer(1).Peer().SetReset(true);
    EXPECT_EQ(PingPolicyServer(names[0]), PING_RESULT::Unavailable);
    EXPECT_EQ(PingPolicyServer(names[1]), PING_RESULT::Unavailable);
    EXPECT_TRUE(log_.Has("Policy server = \"" + names[0] + "\" not available"));
    EXPECT_TRUE(log_.Has("Policy server = \"" + names[1] + "\" not available"));
}

TEST_F(PolicyPingTest, AHangingServerTimesOutAfterTwentySeconds) {
    const auto names = StartPeers(1);
    Peer(0).Peer().SetHang(true);
    std::atomic<int> result{-1};
    auto pinger = os::Thread::Start([&] { result = static_cast<int>(PingPolicyServer(names[0])); });
    ASSERT_TRUE(WaitUntil([&] { return Peer(0).Peer().HeldCount() == 1; }));
    ASSERT_TRUE(Settle(1));
    ASSERT_TRUE(clock_.AdvanceSeconds(19.9));
    EXPECT_EQ(result.load(), -1);
    ASSERT_TRUE(clock_.AdvanceSeconds(0.1));
    pinger->Join();
    EXPECT_EQ(result.load(), static_cast<int>(PING_RESULT::Unavailable));
    EXPECT_TRUE(log_.Has("Policy server = \"" + names[0] + "\" not available"));
    EXPECT_EQ(PingRequestsInFlight(), 1u) << "the request itself is left to end";
    Peer(0).Peer().SetHang(false);
    EXPECT_TRUE(WaitForPingRequests(milliseconds(5000)));
}

TEST_F(PolicyPingTest, APingGivesUpAtAStopObject) {
    const auto names = StartPeers(1);
    Peer(0).Peer().SetHang(true);
    os::Event stop(os::EventType::Notification);
    std::atomic<int> result{-1};
    uint32_t signaled = 0;
    auto pinger = os::Thread::Start([&] {
        os::DispatcherObject* objects[] = {&stop};
        result = static_cast<int>(PingPolicyServer(names[0], objects, &signaled));
    });
    ASSERT_TRUE(WaitUntil([&] { return Peer(0).Peer().HeldCount() == 1; }));
    stop.Set();
    pinger->Join();
    EXPECT_EQ(result.load(), static_cast<int>(PING_RESULT::Abandoned));
    EXPECT_EQ(signaled, os::WAIT_OBJECT_0);
    Peer(0).Peer().SetHang(false);
}

// A server that hangs never keeps the set's lock: hand-outs go on while its thread waits.
TEST_F(PolicyPingTest, AHangingServerNeverHoldsTheLock) {
    const auto names = StartPeers(2);
    Build(SERVER_MODE_BALANCED, names);
    Peer(1).Peer().SetHang(true);
    Servers().MarkUnavailable(names[1]);
    ASSERT_TRUE(WaitUntil([&] { return Peer(1).Peer().HeldCount() == 1; }));
    Next();  // the hanging one once more when it was current
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Next(), names[0]);
    }
    ASSERT_TRUE(AdvanceSeconds(20, 1));
    EXPECT_TRUE(
        log_.Has("PingPolicyServerThread: Policy server \"" + names[1] + "\" is unavailable"));
    // The next round finds it answering again.
    Peer(1).Peer().SetHang(false);
    ASSERT_TRUE(AdvanceSeconds(20));
    EXPECT_TRUE(Servers().IsAvailable(names[1]));
}

// ---- The API protocol probe.

TEST_F(PolicyPingTest, ProbeChoosesHttpAfterAFailedHttpsAttempt) {
    const auto names = StartPeers(1);
    SetApiProtocol(API_PROTOCOL_UNKNOWN);
    ProbeApiProtocol(names[0]);
    EXPECT_EQ(GetApiProtocol(), API_PROTOCOL_HTTP);
    EXPECT_THAT(
        log_.Find("Unable to determine HTTPS availability from server = \"" + names[0] + "\". "),
        ::testing::HasSubstr(". Error code = 0x"));
    EXPECT_TRUE(log_.Has("API protocol is HTTP"));
    // Decided: no more requests.
    const size_t requests = Peer(0).Peer().RequestCount();
    ProbeApiProtocol(names[0]);
    EXPECT_EQ(Peer(0).Peer().RequestCount(), requests);
}

TEST_F(PolicyPingTest, ProbeChoosesHttpsWhenItAnswers) {
    const auto names = StartPeers(1, /*https=*/true);
    SetApiProtocol(API_PROTOCOL_UNKNOWN);
    ProbeApiProtocol(names[0]);
    EXPECT_EQ(GetApiProtocol(), API_PROTOCOL_HTTPS);
    EXPECT_TRUE(log_.Has("API protocol is HTTPS"));
    EXPECT_EQ(Peer(0).Peer().RequestCount(), 1u);
    EXPECT_TRUE(Peer(0).Peer().LastRequest().tls);
    // Pings now go over HTTPS too.
    EXPECT_EQ(PingPolicyServer(names[0]), PING_RESULT::Available);
    EXPECT_TRUE(Peer(0).Peer().LastRequest().tls);
}

// The probe decides the protocol for the process's life: an HTTPS server slow to answer must not
// be given up after the ping's 20 seconds, or every later query would go out in plain HTTP.
TEST_F(PolicyPingTest, ProbeWaitsForASlowHttpsAnswerBeyondThePingTimeOut) {
    const auto names = StartPeers(1, /*https=*/true);
    SetApiProtocol(API_PROTOCOL_UNKNOWN);
    Peer(0).Peer().SetHang(true);
    auto prober = os::Thread::Start([&] { ProbeApiProtocol(names[0]); });
    ASSERT_TRUE(WaitUntil([&] { return Peer(0).Peer().HeldCount() == 1; }));
    ASSERT_TRUE(Settle(1));
    ASSERT_TRUE(clock_.AdvanceSeconds(25));
    EXPECT_FALSE(log_.Has("Unable to determine HTTPS availability from server = \"" + names[0] +
                          "\". Timeout was reached. Error code = 0x1c."));
    EXPECT_FALSE(prober->HasEnded());
    Peer(0).Peer().SetHang(false);
    prober->Join();
    EXPECT_EQ(GetApiProtocol(), API_PROTOCOL_HTTPS);
    EXPECT_TRUE(log_.Has("API protocol is HTTPS"));
    EXPECT_EQ(Peer(0).Peer().RequestCount(), 1u);
}

TEST_F(PolicyPingTest, ProbeGivesUpASilentHttpsServerAfterTheEnginesDefaultTimeOut) {
    const auto names = StartPeers(1, /*https=*/true);
    SetApiProtocol(API_PROTOCOL_UNKNOWN);
    Peer(0).Peer().SetHang(true);
    auto prober = os::Thread::Start([&] { ProbeApiProtocol(names[0]); });
    ASSERT_TRUE(WaitUntil([&] { return Peer(0).Peer().HeldCount() == 1; }));
    ASSERT_TRUE(Settle(1));
    ASSERT_TRUE(clock_.AdvanceSeconds(59.9));
    EXPECT_FALSE(prober->HasEnded());
    ASSERT_TRUE(clock_.AdvanceSeconds(0.1));
    prober->Join();
    EXPECT_TRUE(log_.Has("Unable to determine HTTPS availability from server = \"" + names[0] +
                         "\". Timeout was reached. Error code = 0x1c."));
    // Plain HTTP to a TLS server gets no answer either.
    EXPECT_TRUE(log_.Has("Assuming API protocol is HTTP"));
    EXPECT_EQ(GetApiProtocol(), API_PROTOCOL_UNKNOWN);
    Peer(0).Peer().SetHang(false);
    EXPECT_TRUE(WaitForPingRequests(milliseconds(5000)));
}

TEST_F(PolicyPingTest, ProbeLeavesTheProtocolUnknownWithoutA200) {
    const auto names = StartPeers(2);
    SetApiProtocol(API_PROTOCOL_UNKNOWN);
    Peer(0).Pages().SetPingAnswer(302, "http://portal.example/");
    ProbeApiProtocol(names[0]);
    EXPECT_EQ(GetApiProtocol(), API_PROTOCOL_UNKNOWN);
    EXPECT_TRUE(log_.Has("Assuming API protocol is HTTP"));

    Peer(1).Peer().SetRefuse(true);
    log_.Clear();
    ProbeApiProtocol(names[1]);
    EXPECT_EQ(GetApiProtocol(), API_PROTOCOL_UNKNOWN);
    EXPECT_THAT(log_.Find("Unable to determine HTTP availability from server = \"" + names[1]),
                ::testing::HasSubstr("Error code = 0x"));
    EXPECT_TRUE(log_.Has("Assuming API protocol is HTTP"));
}

TEST_F(PolicyPingTest, AnHttpsServerThatRefusesThePingReportsItsStatus) {
    const auto names = StartPeers(1, /*https=*/true);
    SetApiProtocol(API_PROTOCOL_UNKNOWN);
    Peer(0).Pages().SetPingAnswer(404);
    ProbeApiProtocol(names[0]);
    EXPECT_TRUE(log_.Has("Server = \"" + names[0] +
                         "\" returned HTTP status = 404 when trying to determine HTTPS "
                         "availability"));
    EXPECT_EQ(GetApiProtocol(), API_PROTOCOL_UNKNOWN);
}

TEST_F(PolicyPingTest, EveryHandOutProbesWhileTheProtocolIsUnknown) {
    const auto names = StartPeers(1);
    Build(SERVER_MODE_BALANCED, names);
    SetApiProtocol(API_PROTOCOL_UNKNOWN);
    EXPECT_EQ(Next(), names[0]);
    EXPECT_EQ(GetApiProtocol(), API_PROTOCOL_HTTP);
    EXPECT_TRUE(log_.Has("API protocol is HTTP"));
}

// ---- Stopping the threads.

// The Part's rebuild holds the lock while it waits for the threads; a thread that had just found
// its server and waits for the lock would overrun the bound. Here it gives up at once.
TEST_F(PolicyPingTest, AThreadWaitingForTheLockGivesUpWhenStopped) {
    const auto names = StartPeers(1);
    Configure(SERVER_MODE_BALANCED, names);
    settings_.Lock().lock();
    Servers().Rebuild();
    ASSERT_TRUE(Settle());
    EXPECT_FALSE(Servers().IsAvailable(names[0])) << "answered, but waits for the lock";
    EXPECT_TRUE(Servers().HasRunningThread(names[0]));

    Servers().StopQueryThreads();  // the lock held, as the Part calls it
    EXPECT_TRUE(
        log_.Has("StopQueryThreads: Query thread for server = \"" + names[0] + "\" signaled"));
    EXPECT_TRUE(
        log_.Has("StopQueryThreads: Waiting for 1 policy server query thread(s) to stop ..."));
    EXPECT_TRUE(log_.Has("StopQueryThreads: Policy server query threads stopped"));
    EXPECT_TRUE(log_.Has("PingPolicyServerThread: Stopping"));
    settings_.Lock().unlock();
}

TEST_F(PolicyPingTest, AThreadThatOverrunsIsLeftToEndOnItsOwn) {
    const auto names = StartPeers(2);
    // The second server's thread first waits on a gate that ignores its stop: it cannot react.
    auto gate = std::make_shared<os::Event>(os::EventType::Notification);
    Servers().SetThreadStarter([&, gate](std::function<void()> routine, std::string name) {
        const bool stuck = name.find(names[1]) != std::string::npos;
        return os::Thread::Start(
            [gate, stuck, routine = std::move(routine)] {
                if (stuck) {
                    os::WaitForSingleObject(*gate, os::INFINITE);
                }
                routine();
            },
            std::move(name));
    });
    Build(SERVER_MODE_BALANCED, names);

    std::atomic<bool> stopped{false};
    auto stopper = os::Thread::Start([&] {
        Servers().StopQueryThreads();
        stopped = true;
    });
    ASSERT_TRUE(Settle());
    ASSERT_TRUE(clock_.AdvanceSeconds(39.9));
    EXPECT_FALSE(stopped.load());
    ASSERT_TRUE(clock_.AdvanceSeconds(0.1));
    stopper->Join();
    EXPECT_TRUE(
        log_.Has("StopQueryThreads: One or more policy server query threads did not stop "
                 "within 40.000 seconds"));
    EXPECT_TRUE(log_.Has("Terminating query thread for policy server \"" + names[1] + "\""));
    EXPECT_FALSE(log_.Has("Terminating query thread for policy server \"" + names[0] + "\""));
    EXPECT_FALSE(Servers().HasRunningThread(names[1])) << "its handle is dropped";

    // Let go, it sees its stop at its first wait and ends.
    gate->Set();
    ASSERT_TRUE(Settle());
    EXPECT_EQ(log_.Count("PingPolicyServerThread: Stopping"), 2u);
}

}  // namespace
}  // namespace wexo::svc
