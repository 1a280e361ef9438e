#include "service/policy/https_session_map.h"

#include <gtest/gtest.h>

#include <chrono>

#include "os/core/clock.h"
#include "os/core/sync.h"
#include "tests/service/calls/service_test_support.h"

namespace wexo::svc::testing {
namespace {

using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

constexpr char kUser[] = "DESKTOP\\alice";

TEST(HttpsSessionMapTest, AddKeepsTheFirstVerdictAndGetReturnsIt) {
    LOG_CAPTURE log;
    HTTPS_SESSION_MAP map;
    std::string url = "https://block.example/";
    EXPECT_TRUE(map.Add("session-1", kUser, &url, "bad.test", true));
    EXPECT_FALSE(map.Add("session-1", kUser, nullptr, "bad.test", false));
    EXPECT_EQ(log.Count("HTTPS_SESSION_MAP::Add:\n    HTTPS Session ID = 73657373696F6E2D31-9\n    "
                        "Already cached"),
              1u);
    std::string redirect, host;
    bool blocked = false;
    ASSERT_TRUE(map.Get("session-1", kUser, &redirect, &host, &blocked));
    EXPECT_TRUE(blocked);
    EXPECT_EQ(redirect, url);
    EXPECT_EQ(host, "bad.test");
    log.Clear();
    EXPECT_FALSE(map.Get("session-2", kUser, &redirect, &host, &blocked));
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_FALSE(map.Add("", kUser, &url, "x.test", true));
    EXPECT_EQ(map.Count(), 1u);
}

TEST(HttpsSessionMapTest, KeysOfDifferentLengthNeverMatch) {
    HTTPS_SESSION_MAP map;
    map.Add(std::string("\x01\x02\x03", 3), kUser, nullptr, "a.test", false);
    std::string redirect, host;
    bool blocked;
    EXPECT_FALSE(map.Get(std::string("\x01\x02\x03\x00", 4), kUser, &redirect, &host, &blocked));
    EXPECT_FALSE(map.Get(std::string("\x01\x02", 2), kUser, &redirect, &host, &blocked));
    EXPECT_TRUE(map.Add(std::string("\x01\x02", 2), kUser, nullptr, "b.test", false));
    // Bytes compare as unsigned: 0x80 and 0x7F are different keys either way round.
    EXPECT_TRUE(map.Add(std::string("\x80", 1), kUser, nullptr, "c.test", false));
    EXPECT_TRUE(map.Add(std::string("\x7F", 1), kUser, nullptr, "d.test", false));
    EXPECT_TRUE(map.Get(std::string("\x80", 1), kUser, &redirect, &host, &blocked));
    EXPECT_EQ(host, "c.test");
    EXPECT_EQ(map.Count(), 4u);
}

TEST(HttpsSessionMapTest, ASessionIdLongerThan32BytesIsNoSessionId) {
    HTTPS_SESSION_MAP map;
    EXPECT_FALSE(map.Add(std::string(33, 'a'), kUser, nullptr, "a.test", false));
    EXPECT_TRUE(map.Add(std::string(32, 'a'), kUser, nullptr, "a.test", false));
    std::string redirect, host;
    bool blocked;
    EXPECT_FALSE(map.Get(std::string(33, 'a'), kUser, &redirect, &host, &blocked));
    EXPECT_EQ(map.Count(), 1u);
}

TEST(HttpsSessionMapTest, SpanTexts) {
    EXPECT_EQ(FormatSpanText(3661), "1 hour, 1 minute, 1 second");
    EXPECT_EQ(FormatSpanText(7200), "2 hours, 0 minutes, 0 seconds");
    EXPECT_EQ(FormatSpanText(59), "59 seconds");
    EXPECT_EQ(FormatSpanText(1), "1 second");
    EXPECT_EQ(FormatSpanText(0), "0 seconds");
    EXPECT_EQ(FormatSpanText(60), "1 minute, 0 seconds");
    EXPECT_EQ(FormatSpanText(3599), "59 minutes, 59 seconds");
}

TEST(HttpsSessionMapTest, ExpiryTextIsLocalTimeAndTheSpanInWholeSeconds) {
    os::VirtualClock clock;
    uint64_t now = os::QuerySystemTime();
    // 3661.999 seconds ahead: the span rounds down.
    uint64_t expiry = now + 3661999 * os::kTicksPerMillisecond;
    os::CALENDAR_TIME local = os::SystemTimeToLocal(expiry);
    char expected[96];
    std::snprintf(expected, sizeof expected,
                  "%04u-%02u-%02u %02u:%02u (1 hour, 1 minute, 1 second)", unsigned{local.year},
                  unsigned{local.month}, unsigned{local.day}, unsigned{local.hour},
                  unsigned{local.minute});
    EXPECT_EQ(FormatExpiryText(expiry), expected);
    EXPECT_NE(FormatExpiryText(now - 10).find("(0 seconds)"), std::string::npos);
}

TEST(HttpsSessionMapTest, HousekeepingWithoutItsThreadCannotArmTheTimer) {
    LOG_CAPTURE log;
    HTTPS_SESSION_MAP map;
    EXPECT_TRUE(map.Housekeeping());  // nothing to do
    map.Add("s", kUser, nullptr, "a.test", false);
    EXPECT_FALSE(map.Housekeeping());
    EXPECT_EQ(log.Count("HTTPS_SESSION_MAP::Housekeeping: Unable to set the HTTPS session reuse "
                        "timer."),
              1u);
}

class SessionExpiryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        thread = os::Thread::Start([this] { result = map.HttpsSessionReuseThread(stop); },
                                   HTTPS_SESSION_MAP::kThreadName);
        ASSERT_TRUE(clock.Settle());
    }
    void TearDown() override {
        stop.Set();
        thread->Join();
        EXPECT_EQ(result, 0u);
    }
    bool Has(std::string_view id) const { return map.ExpiryOf(id, kUser) != 0; }

    os::VirtualClock clock;
    LOG_CAPTURE log;
    HTTPS_SESSION_MAP map;
    os::Event stop{os::EventType::Notification, false};
    std::shared_ptr<os::Thread> thread;
    uint32_t result = 99;
};

TEST_F(SessionExpiryTest, AddedSessionsGoAfter180MinutesFoundOnesAfter180Hours) {
    uint64_t start = os::QuerySystemTime();
    map.Add("only-added", kUser, nullptr, "a.test", false);
    map.Add("found-later", kUser, nullptr, "b.test", false);
    ASSERT_TRUE(clock.Settle());
    EXPECT_EQ(map.ExpiryOf("only-added", kUser), start + HTTPS_SESSION_MAP::kAddedLifetime);
    EXPECT_EQ(log.Count("Added, Expires at"), 2u);
    // Both adds, and the housekeeping the first one woke.
    EXPECT_EQ(log.Count("(3 hours, 0 minutes, 0 seconds)"), 3u);

    ASSERT_TRUE(clock.Advance(minutes(60)));
    std::string redirect, host;
    bool blocked;
    ASSERT_TRUE(map.Get("found-later", kUser, &redirect, &host, &blocked));
    EXPECT_EQ(map.ExpiryOf("found-later", kUser),
              os::QuerySystemTime() + HTTPS_SESSION_MAP::kFoundLifetime);
    EXPECT_EQ(log.Count("Reset to expire at"), 1u);
    EXPECT_EQ(log.Count("(180 hours, 0 minutes, 0 seconds)"), 1u);

    // The timer is still set for the first expiry: the added session goes exactly then.
    ASSERT_TRUE(clock.Advance(minutes(120) - seconds(1)));
    EXPECT_TRUE(Has("only-added"));
    ASSERT_TRUE(clock.Advance(seconds(1)));
    EXPECT_FALSE(Has("only-added"));
    EXPECT_TRUE(Has("found-later"));
    EXPECT_EQ(log.Count("HTTPS_SESSION_MAP::Housekeeping:\n    HTTPS Session ID = "
                        "6F6E6C792D6164646564-10\n    Removed"),
              1u);
    EXPECT_EQ(log.Count("HTTPS_SESSION_MAP::Housekeeping: Next session expiring at"), 2u);

    // Housekeeping re-armed the timer for the refreshed session, 180 hours after it was found.
    ASSERT_TRUE(clock.Advance(hours(178) - seconds(1)));
    EXPECT_TRUE(Has("found-later"));
    ASSERT_TRUE(clock.Advance(seconds(1)));
    EXPECT_FALSE(Has("found-later"));
    EXPECT_EQ(map.Count(), 0u);
}

TEST_F(SessionExpiryTest, TheFirstEntryOfAnEmptyMapWakesTheThread) {
    map.Add("first", kUser, nullptr, "a.test", false);
    ASSERT_TRUE(clock.Advance(minutes(180)));
    EXPECT_EQ(map.Count(), 0u);
    // Empty again; the next first entry must be expired on its own schedule too.
    ASSERT_TRUE(clock.Advance(minutes(7)));
    map.Add("second", kUser, nullptr, "a.test", false);
    ASSERT_TRUE(clock.Advance(minutes(180) - seconds(1)));
    EXPECT_EQ(map.Count(), 1u);
    ASSERT_TRUE(clock.Advance(seconds(1)));
    EXPECT_EQ(map.Count(), 0u);
}

// ---- Housekeeping that empties the map ----

// The last expiry still ends with the housekeeping line: the next expiry is then the latest time
// there is, since nothing is left to expire.
TEST_F(SessionExpiryTest, HousekeepingThatEmptiesTheMapSaysWhenTheNextSessionExpires) {
    map.Add("last", kUser, nullptr, "a.test", false);
    ASSERT_TRUE(clock.Settle());
    log.Clear();
    ASSERT_TRUE(clock.Advance(minutes(180)));
    EXPECT_EQ(map.Count(), 0u);
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "HTTPS_SESSION_MAP::Housekeeping:\n    HTTPS Session ID = 6C617374-4\n    "
              "Removed");
    // 30828-09-14 02:48 UTC, whatever the local zone makes of it, some 252 million hours ahead.
    EXPECT_EQ(
        lines[1].rfind("HTTPS_SESSION_MAP::Housekeeping: Next session expiring at 30828-09-1", 0),
        0u)
        << lines[1];
    EXPECT_NE(lines[1].find(" (252477854 hours, "), std::string::npos) << lines[1];
    // The thread waits for a new first entry again, which expires on its own schedule.
    map.Add("next", kUser, nullptr, "a.test", false);
    ASSERT_TRUE(clock.Advance(minutes(180)));
    EXPECT_EQ(map.Count(), 0u);
    EXPECT_EQ(log.Count("HTTPS_SESSION_MAP::Housekeeping: Next session expiring at 30828-"), 2u);
}

TEST(SessionExpiryStartTest, EntriesMadeBeforeTheThreadStartedStillExpire) {
    os::VirtualClock clock;
    HTTPS_SESSION_MAP map;
    map.Add("early", kUser, nullptr, "a.test", false);
    os::Event stop(os::EventType::Notification, false);
    auto thread = os::Thread::Start([&] { map.HttpsSessionReuseThread(stop); });
    ASSERT_TRUE(clock.Advance(minutes(180)));
    EXPECT_EQ(map.Count(), 0u);
    stop.Set();
    thread->Join();
}

}  // namespace
}  // namespace wexo::svc::testing
