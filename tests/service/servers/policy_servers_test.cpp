// Selection of the policy-server set with real local servers: balanced rotation, tiered use of the
// primary, failover and the switch back, single servers, stop, rebuilds and their limits.
#include "service/servers/policy_servers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <system_error>

#include "tests/service/servers/servers_test_support.h"

namespace wexo::svc {
namespace {

using std::chrono::milliseconds;
using ::testing::ElementsAre;
using testing_servers::WaitUntil;

class PolicyServersTest : public testing_servers::PolicyServersFixture {};

// ---- Balanced mode.

TEST_F(PolicyServersTest, BalancedRotatesOverThreeAvailableServers) {
    const auto names = StartPeers(3);
    Build(SERVER_MODE_BALANCED, names);
    EXPECT_TRUE(log_.Has("Querying 3 policy servers (balanced mode) ..."));
    for (const auto& name : names) {
        EXPECT_TRUE(Servers().IsAvailable(name)) << name;
    }
    // The first server found available became current; from there each query takes the next.
    std::vector<std::string> handed;
    for (int i = 0; i < 4; ++i) {
        handed.push_back(Next());
    }
    const size_t first = IndexOf(handed[0]);
    ASSERT_LT(first, 3u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(handed[i], names[(first + i) % 3]) << "query " << i;
    }
    EXPECT_TRUE(log_.Has("Next policy server = \"" + names[(first + 1) % 3] + "\""));
}

TEST_F(PolicyServersTest, BalancedSkipsAnUnavailableServer) {
    const auto names = StartPeers(3);
    Peer(1).Pages().SetPingAnswer(404);
    Build(SERVER_MODE_BALANCED, names);
    EXPECT_FALSE(Servers().IsAvailable(names[1]));
    EXPECT_TRUE(
        log_.Has("Policy server = \"" + names[1] + "\" is ping failed with HTTP status = 404"));
    EXPECT_TRUE(
        log_.Has("PingPolicyServerThread: Policy server \"" + names[1] + "\" is unavailable"));
    EXPECT_TRUE(log_.Has("PingPolicyServerThread: Waiting for 20.000 seconds ..."));

    log_.Clear();
    std::vector<std::string> handed;
    for (int i = 0; i < 6; ++i) {
        handed.push_back(Next());
        EXPECT_NE(handed.back(), names[1]);
    }
    for (size_t i = 1; i < handed.size(); ++i) {
        EXPECT_NE(handed[i], handed[i - 1]) << "the first and the third alternate";
    }
    EXPECT_GE(log_.Count("Skipping unavailable policy server = \"" + names[1] + "\""), 2u);

    // Pinged again every 20 seconds: once it answers, it joins the rotation.
    Peer(1).Pages().SetPingAnswer(200);
    const size_t before = Peer(1).Pages().PingCount();
    ASSERT_TRUE(AdvanceSeconds(20));
    EXPECT_EQ(Peer(1).Pages().PingCount(), before + 1);
    EXPECT_TRUE(Servers().IsAvailable(names[1]));
    EXPECT_TRUE(log_.Has("Policy server \"" + names[1] + "\" is now available"));
}

TEST_F(PolicyServersTest, ALoneBalancedServerIsHandedOutOnlyWhileAvailable) {
    const auto names = StartPeers(1);
    Build(SERVER_MODE_BALANCED, names);
    EXPECT_TRUE(log_.Has("Using policy server \"" + names[0] + "\""));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Next(), names[0]);
    }
    EXPECT_EQ(log_.Count("Continue using policy server = \"" + names[0] + "\""), 3u);

    // A failed query: the thread pings again and finds it down.
    Peer(0).Peer().SetRefuse(true);
    Servers().MarkUnavailable(names[0]);
    ASSERT_TRUE(Settle());
    EXPECT_TRUE(log_.Has("Policy server \"" + names[0] + "\" is no longer available"));
    EXPECT_TRUE(log_.Has("PingPolicyServerThread: Waiting for policy server = \"" + names[0] +
                         "\" to be available"));
    EXPECT_TRUE(log_.Has("Policy server = \"" + names[0] + "\" not available"));
    std::string name;
    EXPECT_FALSE(Servers().CurrentServer(name));
    EXPECT_EQ(name, names[0]) << "the block-on-failure line still names it";

    ASSERT_TRUE(Peer(0).Peer().SetRefuse(false));
    ASSERT_TRUE(AdvanceSeconds(20));
    EXPECT_EQ(Next(), names[0]);
}

TEST_F(PolicyServersTest, AServerMarkedUnavailableWhileCurrentIsHandedOutOnceMore) {
    const auto names = StartPeers(2);
    Peer(0).Peer().SetHang(true);  // the second is found first, then the first
    Configure(SERVER_MODE_BALANCED, names);
    Servers().Rebuild();
    ASSERT_TRUE(Settle(1));
    ASSERT_EQ(Servers().CurrentName(), names[1]);
    Peer(0).Peer().SetHang(false);
    ASSERT_TRUE(Settle());
    ASSERT_TRUE(Servers().IsAvailable(names[0]));

    Peer(1).Peer().SetRefuse(true);
    Servers().MarkUnavailable(names[1]);
    // The name is taken before the advance: the failed server once more, then the other only.
    EXPECT_EQ(Next(), names[1]);
    EXPECT_EQ(Next(), names[0]);
    EXPECT_EQ(Next(), names[0]);
}

// ---- Tiered mode.

TEST_F(PolicyServersTest, TieredUsesThePrimaryAloneWhileItIsAvailable) {
    const auto names = StartPeers(3);
    Build(SERVER_MODE_TIERED, names);
    EXPECT_TRUE(log_.Has("Querying primary policy server \"" + names[0] + "\" (tiered mode) ..."));
    EXPECT_TRUE(log_.Has("Primary policy server \"" + names[0] + "\" is available (tiered mode)"));
    EXPECT_TRUE(log_.Has("Querying 2 secondary policy servers (tiered mode) ..."));
    EXPECT_TRUE(log_.Has("Primary policy policy server \"" + names[0] + "\" is available"));
    EXPECT_TRUE(log_.Has("Secondary policy server \"" + names[2] + "\" is now available"));
    EXPECT_TRUE(Servers().AvailableEvent().IsSet());
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Next(), names[0]);
    }
}

TEST_F(PolicyServersTest, TieredFallsBackToSecondariesAndSwitchesBackToThePrimary) {
    const auto names = StartPeers(3);
    Build(SERVER_MODE_TIERED, names);
    ASSERT_EQ(Next(), names[0]);

    Peer(0).Peer().SetRefuse(true);
    Servers().MarkUnavailable(names[0]);
    EXPECT_TRUE(log_.Has("Primary policy server \"" + names[0] + "\" is no longer available"));
    EXPECT_TRUE(log_.Has("Falling back to secondary policy server \"" + names[1] + "\""));
    ASSERT_TRUE(Settle());
    EXPECT_FALSE(Servers().IsAvailable(names[0]));
    // The secondaries take turns; the primary is not among them.
    EXPECT_EQ(Next(), names[1]);
    EXPECT_EQ(Next(), names[2]);
    EXPECT_EQ(Next(), names[1]);

    // Still down at the next ping; back at the one after.
    ASSERT_TRUE(AdvanceSeconds(20));
    EXPECT_FALSE(Servers().IsAvailable(names[0]));
    ASSERT_TRUE(Peer(0).Peer().SetRefuse(false));
    ASSERT_TRUE(AdvanceSeconds(20));
    EXPECT_TRUE(log_.Has("Switching back to primary policy server \"" + names[0] + "\""));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Next(), names[0]);
    }
}

TEST_F(PolicyServersTest, TieredPrimaryStaysCurrentWithoutAnAvailableSecondary) {
    const auto names = StartPeers(2);
    Peer(1).Pages().SetPingAnswer(503);
    Build(SERVER_MODE_TIERED, names);
    EXPECT_TRUE(
        log_.Has("Querying secondary policy server \"" + names[1] + "\" (tiered mode) ..."));

    Peer(0).Peer().SetRefuse(true);
    Servers().MarkUnavailable(names[0]);
    EXPECT_FALSE(log_.Has("Falling back to secondary policy server \"" + names[1] + "\""));
    EXPECT_EQ(Servers().CurrentName(), names[0]);
    std::string name;
    EXPECT_FALSE(Servers().CurrentServer(name));
    EXPECT_EQ(name, names[0]);
}

TEST_F(PolicyServersTest, TieredStartUpWithTheOnlyServerDown) {
    const auto names = StartPeers(1);
    Peer(0).Peer().SetRefuse(true);
    Build(SERVER_MODE_TIERED, names);
    EXPECT_TRUE(
        log_.Has("Primary policy server \"" + names[0] + "\" is unavailable (tiered mode)"));
    EXPECT_TRUE(log_.Has("No secondary policy servers configured (tiered mode)"));
    EXPECT_EQ(Next(), "");
    EXPECT_FALSE(Servers().AvailableEvent().IsSet());

    ASSERT_TRUE(Peer(0).Peer().SetRefuse(false));
    ASSERT_TRUE(AdvanceSeconds(20));
    EXPECT_TRUE(log_.Has("Using primary policy server \"" + names[0] + "\""));
    EXPECT_EQ(Next(), names[0]);
}

TEST_F(PolicyServersTest, ATieredSecondaryFoundFirstBecomesCurrent) {
    const auto names = StartPeers(2);
    Peer(0).Peer().SetRefuse(true);
    Build(SERVER_MODE_TIERED, names);
    EXPECT_TRUE(log_.Has("Using secondary policy server \"" + names[1] + "\""));
    EXPECT_EQ(Next(), names[1]);
    Servers().MarkUnavailable(names[1]);
    EXPECT_TRUE(log_.Has("Secondary policy server \"" + names[1] + "\" is no longer available"));
}

// ---- Limits, stop and rebuilds.

TEST_F(PolicyServersTest, TwentySixNamesGiveTwentyFiveServers) {
    std::vector<std::string> names;
    for (int i = 1; i <= 26; ++i) {
        names.push_back("server" + std::to_string(i) + ".invalid");
    }
    // No thread is started: this is about the entries only.
    Servers().SetThreadStarter(
        [](std::function<void()>, std::string) { return std::shared_ptr<os::Thread>(); });
    Build(SERVER_MODE_BALANCED, names);
    EXPECT_EQ(Servers().Count(), 25u);
    EXPECT_EQ(Servers().Names().back(), "server25.invalid");
    EXPECT_TRUE(log_.Has("Querying 25 policy servers (balanced mode) ..."));
}

TEST_F(PolicyServersTest, AThreadThatCannotStartLeavesItsServerUnpinged) {
    const auto names = StartPeers(2);
    Servers().SetThreadStarter([&](std::function<void()> routine, std::string name) {
        if (name.find(names[0]) != std::string::npos) {
            throw std::system_error(EAGAIN, std::generic_category());
        }
        return os::Thread::Start(std::move(routine), std::move(name));
    });
    Build(SERVER_MODE_BALANCED, names);
    EXPECT_THAT(log_.Find("Unable to create query thread for policy server = \"" + names[0]),
                ::testing::HasSubstr("Error code = "));
    EXPECT_EQ(Servers().Count(), 2u);
    EXPECT_EQ(Peer(0).Pages().PingCount(), 0u);
    EXPECT_FALSE(Servers().HasRunningThread(names[0]));
    EXPECT_TRUE(Servers().HasRunningThread(names[1]));
    EXPECT_EQ(Next(), names[1]);
}

TEST_F(PolicyServersTest, NoServerIsHandedOutAfterStop) {
    const auto names = StartPeers(2);
    Build(SERVER_MODE_BALANCED, names);
    ASSERT_NE(Next(), "");
    stop_->Request();
    ASSERT_TRUE(Settle());
    EXPECT_EQ(log_.Count("PingPolicyServerThread: Service stopping"), 2u);
    EXPECT_FALSE(Servers().HasRunningThread(names[0]));
    EXPECT_FALSE(Servers().HasRunningThread(names[1]));
    std::string name;
    EXPECT_FALSE(Servers().CurrentServer(name));
    EXPECT_EQ(name, "");
}

TEST_F(PolicyServersTest, StopEndsAThreadThatWaitsToPingAgain) {
    const auto names = StartPeers(1);
    Peer(0).Peer().SetRefuse(true);
    Build(SERVER_MODE_BALANCED, names);
    ASSERT_TRUE(Servers().HasRunningThread(names[0]));
    stop_->Request();
    ASSERT_TRUE(Settle());
    EXPECT_FALSE(Servers().HasRunningThread(names[0])) << "within one wait, no time passing";
}

TEST_F(PolicyServersTest, NoNamesLeaveTheSetEmpty) {
    Build(SERVER_MODE_BALANCED, {});
    EXPECT_TRUE(log_.Has("No policy servers available"));
    EXPECT_EQ(Servers().Count(), 0u);
    EXPECT_EQ(Next(), "");
}

TEST_F(PolicyServersTest, WaitForServerWaitsTwentySeconds) {
    const auto names = StartPeers(1);
    Peer(0).Peer().SetRefuse(true);
    Build(SERVER_MODE_BALANCED, names);
    // An os/ thread, so that settling waits until it is blocked in its wait.
    std::atomic<int> waited{-1};
    auto waiter = os::Thread::Start([&] { waited = Servers().WaitForServer() ? 1 : 0; });
    ASSERT_TRUE(Settle());
    EXPECT_EQ(waited.load(), -1);
    // The server still refuses when the wait ends at 20 s.
    ASSERT_TRUE(AdvanceSeconds(20));
    waiter->Join();
    EXPECT_EQ(waited.load(), 0);
    EXPECT_TRUE(log_.Has("No policy server reported as available within 20.000 seconds"));

    ASSERT_TRUE(Peer(0).Peer().SetRefuse(false));
    ASSERT_TRUE(AdvanceSeconds(20));
    EXPECT_TRUE(Servers().WaitForServer());
    EXPECT_TRUE(log_.Has("Policy server is available"));
}

TEST_F(PolicyServersTest, CheckInChangesRebuildTheSet) {
    const auto names = StartPeers(3);
    Build(SERVER_MODE_BALANCED, {names[0], names[1]});
    log_.Clear();
    const std::vector<std::string> next = {names[2], names[1]};
    EXPECT_TRUE(settings_.ApplyCheckInServers(SERVER_MODE_TIERED, next));
    ASSERT_TRUE(Settle());
    EXPECT_TRUE(
        log_.Has("StopQueryThreads: Waiting for 2 policy server query thread(s) to stop ..."));
    EXPECT_TRUE(log_.Has("StopQueryThreads: Policy server query threads stopped"));
    EXPECT_TRUE(log_.Has("POLICY_SERVERS::FreeServers: Server name = \"" + names[0] + "\""));
    EXPECT_EQ(log_.Count("PingPolicyServerThread: Stopping"), 2u);
    EXPECT_THAT(Servers().Names(), ElementsAre(names[2], names[1]));
    EXPECT_EQ(Servers().Mode(), SERVER_MODE_TIERED);
    EXPECT_EQ(Next(), names[2]);

    // The mode alone also rebuilds; the same names and mode do not.
    log_.Clear();
    EXPECT_FALSE(settings_.ApplyCheckInServers(SERVER_MODE_BALANCED, next));
    EXPECT_TRUE(log_.Has("Querying 2 policy servers (balanced mode) ..."));
    log_.Clear();
    EXPECT_FALSE(settings_.ApplyCheckInServers(SERVER_MODE_BALANCED, next));
    EXPECT_FALSE(log_.Has("Querying 2 policy servers (balanced mode) ..."));
}

// While the old threads are mid-ping on servers that hang, a rebuild ends them at once and the
// set's lock stays free for lookups.
TEST_F(PolicyServersTest, RebuildWhileThreadsPingHangingServers) {
    const auto names = StartPeers(4);
    Build(SERVER_MODE_BALANCED, {names[0], names[1]});
    Peer(0).Peer().SetHang(true);
    Peer(1).Peer().SetHang(true);
    Servers().MarkUnavailable(names[0]);
    Servers().MarkUnavailable(names[1]);
    ASSERT_TRUE(WaitUntil([&] { return Peer(0).Peer().HeldCount() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return Peer(1).Peer().HeldCount() == 1; }));
    ASSERT_TRUE(Settle(2));

    auto rebuilt = std::async(std::launch::async, [&] {
        const std::vector<std::string> next = {names[2], names[3]};
        return settings_.ApplyCheckInServers(SERVER_MODE_NONE, next);
    });
    // No virtual time passes: the old threads give up their requests when they are told to stop.
    ASSERT_EQ(rebuilt.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(rebuilt.get());
    ASSERT_TRUE(Settle(2));
    EXPECT_TRUE(log_.Has("StopQueryThreads: Policy server query threads stopped"));
    EXPECT_THAT(Servers().Names(), ElementsAre(names[2], names[3]));
    EXPECT_NE(Next(), "");
    // The abandoned requests end when their servers let go.
    Peer(0).Peer().SetHang(false);
    Peer(1).Peer().SetHang(false);
    EXPECT_TRUE(WaitForPingRequests(milliseconds(5000)));
}

TEST_F(PolicyServersTest, ATieredRebuildDoesNotHoldTheLockWhileThePrimaryHangs) {
    const auto names = StartPeers(2);
    Peer(0).Peer().SetHang(true);
    Configure(SERVER_MODE_TIERED, names);
    POLICY_SERVERS& servers = Servers();  // made here, before another thread uses it
    auto rebuilder = os::Thread::Start([&] { servers.Rebuild(); });
    ASSERT_TRUE(WaitUntil([&] { return Peer(0).Peer().HeldCount() == 1; }));
    // Lookups meanwhile get no server at once instead of waiting for the primary.
    EXPECT_EQ(Next(), "");
    EXPECT_TRUE(settings_.Lock().try_lock());
    settings_.Lock().unlock();

    ASSERT_TRUE(Settle(1));
    EXPECT_FALSE(rebuilder->HasEnded());
    ASSERT_TRUE(clock_.AdvanceSeconds(20));
    ASSERT_TRUE(WaitUntil([&] { return rebuilder->HasEnded(); }));
    EXPECT_TRUE(
        log_.Has("Primary policy server \"" + names[0] + "\" is unavailable (tiered mode)"));
    ASSERT_TRUE(Settle(2));
    EXPECT_EQ(Next(), names[1]) << "the secondary's thread found it";
    Peer(0).Peer().SetHang(false);
}

}  // namespace
}  // namespace wexo::svc
