// The locked list's order rules, the allowed-URL cache (keys, lifetimes, limit, and bare-host keys
// that must not allow longer host names), the blocked-address cache, the filtering switch-off and
// its 600-second bound, all on the virtual clock; and the caches used by many threads at once.
#include "service/policy/url_caches.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "os/core/clock.h"
#include "tests/service/calls/service_test_support.h"

namespace wexo::svc::testing {
namespace {

using ::testing::ElementsAre;

constexpr char kAlice[] = "DESKTOP\\alice";

std::vector<int> Values(LOCKED_LIST<int>& list) {
    std::vector<int> values;
    list.Scan([&](int& value) {
        values.push_back(value);
        return LIST_VISIT::Next;
    });
    return values;
}

TEST(LockedListTest, KeepsItsOrderRules) {
    LOCKED_LIST<int> list;
    for (int i = 1; i <= 3; ++i) {
        list.InsertFront(std::make_unique<int>(i));
    }
    list.AppendBack(std::make_unique<int>(0));
    EXPECT_THAT(Values(list), ElementsAre(3, 2, 1, 0));

    // A hit moves to the front and ends the scan: entries after it are not visited.
    std::vector<int> visited;
    int* hit = list.Scan([&](int& value) {
        visited.push_back(value);
        return value == 1 ? LIST_VISIT::MoveToFrontAndStop : LIST_VISIT::Next;
    });
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(*hit, 1);
    EXPECT_THAT(visited, ElementsAre(3, 2, 1));
    EXPECT_THAT(Values(list), ElementsAre(1, 3, 2, 0));

    // Removal during a scan goes on with the next entry.
    list.Scan([](int& value) { return value % 2 == 0 ? LIST_VISIT::Remove : LIST_VISIT::Next; });
    EXPECT_THAT(Values(list), ElementsAre(1, 3));
    EXPECT_EQ(*list.PopBack(), 3);
    EXPECT_EQ(*list.PopBack(), 1);
    EXPECT_EQ(list.PopBack(), nullptr);
    EXPECT_TRUE(list.Empty());
}

TEST(LockedListTest, AScanHoldsTheLockAndMayUseTheListItself) {
    LOCKED_LIST<int> list;
    list.AppendBack(std::make_unique<int>(1));
    std::atomic<bool> appended{false};
    std::thread other;
    list.Scan([&](int&) {
        other = std::thread([&] {
            list.AppendBack(std::make_unique<int>(2));
            appended = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // The other thread waits for the scan; this one may still change the list (recursive).
        EXPECT_FALSE(appended.load());
        list.InsertFront(std::make_unique<int>(0));
        return LIST_VISIT::Stop;
    });
    other.join();
    EXPECT_THAT(Values(list), ElementsAre(0, 1, 2));
}

TEST(UrlCacheKeysTest, SchemeStripAndKey) {
    EXPECT_EQ(StripScheme("HtTpS://Example.com/a"), "Example.com/a");
    EXPECT_EQ(StripScheme("http://x.test"), "x.test");
    EXPECT_EQ(StripScheme("ftp://x.test/"), "ftp://x.test/");
    EXPECT_EQ(StripScheme("httpx.test/"), "httpx.test/");
    EXPECT_EQ(AllowedCacheKey("news.test/a/b?q=1"), "news.test/");
    EXPECT_EQ(AllowedCacheKey("secure.test"), "secure.test");
}

TEST(UrlCacheKeysTest, ABareHostKeyAllowsThatHostOnly) {
    EXPECT_TRUE(AllowedKeyMatches("example.com", "example.com"));
    EXPECT_TRUE(AllowedKeyMatches("example.com", "example.com/news"));
    EXPECT_TRUE(AllowedKeyMatches("example.com", "example.com:443"));
    EXPECT_FALSE(AllowedKeyMatches("example.com", "example.com.anything.net"));
    EXPECT_FALSE(AllowedKeyMatches("example.com", "example.community"));
    EXPECT_FALSE(AllowedKeyMatches("example.com", "EXAMPLE.com"));
    EXPECT_FALSE(AllowedKeyMatches("example.com", "example.co"));
    // Keys that end in a slash keep their prefix rule.
    EXPECT_TRUE(AllowedKeyMatches("example.com/", "example.com/anything/at/all"));
    EXPECT_FALSE(AllowedKeyMatches("example.com/", "example.com"));
}

class AllowedCacheTest : public ::testing::Test {
  protected:
    os::VirtualClock clock_;
    LOG_CAPTURE log_;
    ALLOWED_URL_CACHE cache_;
};

TEST_F(AllowedCacheTest, KeysShorterThanFiveCharactersAndNoLifetimeAreNotCached) {
    EXPECT_FALSE(cache_.Add("abc/page", 30, false, kAlice));  // "abc/" is 4 characters
    EXPECT_FALSE(cache_.Add("http://abc/page", 30, false, kAlice));
    EXPECT_FALSE(cache_.Add("abcd.test/page", 0, false, kAlice));
    EXPECT_FALSE(cache_.Add("abcd.test/page", -5, false, kAlice));
    EXPECT_TRUE(cache_.Add("abcd/page", 30, false, kAlice));
    EXPECT_THAT(cache_.Keys(), ElementsAre("abcd/"));
}

TEST_F(AllowedCacheTest, AHostIsAllowedForItsLifetimeAndHitsMoveToTheFront) {
    ASSERT_TRUE(cache_.Add("http://news.test/world/a?id=7", 30, false, kAlice));
    EXPECT_TRUE(log_.Has(
        "URL = \"news.test/world/a?id=7\" added to allowed cache with time-to-live = 30 seconds"));
    ASSERT_TRUE(cache_.Add("other.test/", 300, false, kAlice));
    EXPECT_THAT(cache_.Keys(), ElementsAre("other.test/", "news.test/"));

    ASSERT_TRUE(clock_.AdvanceSeconds(29));
    EXPECT_TRUE(cache_.Lookup("news.test/sport", false, kAlice));
    EXPECT_TRUE(log_.Has("Excluding URL = \"news.test/sport\"; allowed cache"));
    EXPECT_THAT(cache_.Keys(), ElementsAre("news.test/", "other.test/"));
    EXPECT_TRUE(cache_.Lookup("HTTPS://news.test/x", false, kAlice));
    EXPECT_FALSE(cache_.Lookup("news.testing.test/", false, kAlice));

    ASSERT_TRUE(clock_.AdvanceSeconds(1.5));
    EXPECT_FALSE(cache_.Lookup("news.test/sport", false, kAlice));
    EXPECT_TRUE(log_.Has("URL = \"news.test/\" removed from allowed cache"));
    EXPECT_THAT(cache_.Keys(), ElementsAre("other.test/"));
}

TEST_F(AllowedCacheTest, ABareHostKeyDoesNotAllowLongerHosts) {
    // An HTTP lookup without a path (a proxy request for a site's root) is cached bare.
    ASSERT_TRUE(cache_.Add("example.com", 300, false, kAlice));
    EXPECT_FALSE(cache_.Lookup("example.com.anything.net", false, kAlice));
    EXPECT_FALSE(cache_.Lookup("example.com.anything.net/page", false, kAlice));
    EXPECT_TRUE(cache_.Lookup("example.com", false, kAlice));
    EXPECT_TRUE(cache_.Lookup("example.com/page", false, kAlice));
    EXPECT_TRUE(cache_.Lookup("example.com:8443/page", false, kAlice));
}

// The policy server judged a TLS lookup by its host alone, so what it allowed says nothing of the
// paths of that host: an HTTP request for one of them is asked about.
TEST_F(AllowedCacheTest, ATlsEntryAnswersOnlyTlsLookupsOfItsHost) {
    ASSERT_TRUE(cache_.Add("news.test", 300, true, kAlice));
    EXPECT_TRUE(
        log_.Has("URL = \"news.test\" added to allowed cache with time-to-live = 300 seconds"));
    EXPECT_TRUE(cache_.Lookup("news.test", true, kAlice));
    EXPECT_FALSE(cache_.Lookup("news.test.attacker.test", true, kAlice));
    for (const char* http : {"news.test/world/x", "news.test/", "http://news.test/world/",
                             "news.test", "news.test:8080/world/"}) {
        EXPECT_FALSE(cache_.Lookup(http, false, kAlice)) << http;
    }
    EXPECT_FALSE(log_.Has("Excluding URL = \"news.test/world/x\"; allowed cache"));

    // Entries of both kinds for one host answer their own kind only, and an HTTP entry keeps its
    // prefix rule.
    ASSERT_TRUE(cache_.Add("news.test/sport/today", 300, false, kAlice));
    EXPECT_TRUE(cache_.Lookup("news.test/world/x", false, kAlice));
    EXPECT_THAT(cache_.Keys(), ElementsAre("news.test/", "news.test"));
    EXPECT_TRUE(cache_.Lookup("news.test", true, kAlice));
    EXPECT_THAT(cache_.Keys(), ElementsAre("news.test", "news.test/"));
    // An entry of an HTTP lookup does not answer a TLS lookup either.
    ASSERT_TRUE(cache_.Add("plain.test", 300, false, kAlice));
    EXPECT_FALSE(cache_.Lookup("plain.test", true, kAlice));
}

// Rules may be per user: an entry answers lookups for the user the server judged, and no other,
// however long it still has to live.
TEST_F(AllowedCacheTest, AnEntryAnswersOnlyTheUserItWasMadeFor) {
    constexpr char kTeacher[] = "SCHOOL\\teacher";
    constexpr char kStudent[] = "SCHOOL\\student";
    ASSERT_TRUE(cache_.Add("games.test/play", 300, false, kTeacher));
    ASSERT_TRUE(cache_.Add("games.test", 300, true, kTeacher));
    ASSERT_TRUE(clock_.AdvanceSeconds(299));
    struct CASE {
        const char* url;
        bool https;
        const char* user;
        bool hit;
    };
    const CASE cases[] = {
        {"games.test/other", false, kTeacher, true},
        {"games.test", true, kTeacher, true},
        {"games.test/other", false, kStudent, false},
        {"games.test", true, kStudent, false},
        // A user whose name could not be found is no one else either.
        {"games.test/other", false, "", false},
        {"games.test", true, "", false},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(cache_.Lookup(c.url, c.https, c.user), c.hit)
            << c.url << (c.https ? " TLS " : " HTTP ") << c.user;
    }
    EXPECT_EQ(cache_.Count(), 2u);
}

TEST_F(AllowedCacheTest, TheSixtyFifthEntryPushesOutTheOldestUsed) {
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(cache_.Add("host" + std::to_string(i) + ".test/", 300, false, kAlice));
    }
    // host0 was added first but has just been used: host1 is now the oldest used.
    EXPECT_TRUE(cache_.Lookup("host0.test/x", false, kAlice));
    ASSERT_TRUE(cache_.Add("host64.test/", 300, false, kAlice));
    EXPECT_EQ(cache_.Count(), kAllowedCacheLimit);
    EXPECT_FALSE(cache_.Lookup("host1.test/x", false, kAlice));
    EXPECT_TRUE(cache_.Lookup("host0.test/x", false, kAlice));
    EXPECT_TRUE(cache_.Lookup("host2.test/x", false, kAlice));
    EXPECT_TRUE(cache_.Lookup("host64.test/x", false, kAlice));
}

TEST_F(AllowedCacheTest, AChangeOfTheSystemTimeDoesNotKeepEntriesAlive) {
    ASSERT_TRUE(cache_.Add("news.test/", 30, false, kAlice));
    clock_.SetSystemTime(os::QuerySystemTime() - 86400ull * os::kTicksPerSecond);
    ASSERT_TRUE(clock_.AdvanceSeconds(31));
    EXPECT_FALSE(cache_.Lookup("news.test/", false, kAlice));
}

TEST_F(AllowedCacheTest, FlushDropsEveryEntryFromTheBack) {
    ASSERT_TRUE(cache_.Add("first.test/", 300, false, kAlice));
    ASSERT_TRUE(cache_.Add("second.test/", 300, false, kAlice));
    log_.Clear();
    cache_.Flush();
    EXPECT_EQ(cache_.Count(), 0u);
    EXPECT_THAT(log_.Lines(), ElementsAre("Flushing URL allowed cache",
                                          "Flushing URL = \"first.test/\" from allowed cache",
                                          "Flushing URL = \"second.test/\" from allowed cache"));
}

TEST(BlockedAddressCacheTest, AMatchingEntryIsUsedWhateverItsAgeAndOthersExpire) {
    os::VirtualClock clock;
    BLOCKED_ADDRESS_CACHE cache;
    const IP_ADDRESS a = IP_ADDRESS::V4(93, 184, 216, 34);
    const IP_ADDRESS b = IP_ADDRESS::V4(93, 184, 216, 35);
    ASSERT_TRUE(cache.Add(a, "a.test", kAlice, "http://block.test/a"));
    ASSERT_TRUE(cache.Add(b, "b.test", kAlice, "http://block.test/b"));
    ASSERT_TRUE(clock.AdvanceSeconds(600));

    std::string redirect;
    // a is first: found before any age test, and the scan stops there.
    ASSERT_TRUE(cache.Lookup(a, "a.test", kAlice, &redirect));
    EXPECT_EQ(redirect, "http://block.test/a");
    EXPECT_EQ(cache.Count(), 2u);
    // Looking for b passes a, which is stale and goes; b itself is still used.
    ASSERT_TRUE(cache.Lookup(b, "b.test", kAlice, &redirect));
    EXPECT_EQ(redirect, "http://block.test/b");
    EXPECT_EQ(cache.Count(), 1u);
    // A miss scans everything: b goes too.
    EXPECT_FALSE(cache.Lookup(IP_ADDRESS::V4(1, 1, 1, 1), "b.test", kAlice, &redirect));
    EXPECT_EQ(cache.Count(), 0u);
}

TEST(BlockedAddressCacheTest, FreshEntriesStayAndLookupsWithoutAnAddressNeverHit) {
    os::VirtualClock clock;
    BLOCKED_ADDRESS_CACHE cache;
    ASSERT_TRUE(cache.Add(IP_ADDRESS::V4(10, 1, 1, 1), "", kAlice, "http://block.test/"));
    ASSERT_TRUE(clock.AdvanceSeconds(299));
    std::string redirect;
    EXPECT_FALSE(cache.Lookup(IP_ADDRESS::V4(10, 1, 1, 2), "", kAlice, &redirect));
    EXPECT_EQ(cache.Count(), 1u);

    EXPECT_FALSE(cache.Add(IP_ADDRESS(), "", kAlice, "http://block.test/"));
    EXPECT_FALSE(cache.Add(IP_ADDRESS::V4(0, 0, 0, 0), "", kAlice, "http://block.test/"));
    EXPECT_FALSE(cache.Lookup(IP_ADDRESS(), "", kAlice, &redirect));
    EXPECT_EQ(cache.Count(), 1u);
}

// A shared address: each row is a later TLS connection to it, and whether the verdict made for
// games.test (or for a connection without a name) answers it.
TEST(BlockedAddressCacheTest, AnEntryAnswersItsOwnNameOrNoNameForItsOwnUser) {
    BLOCKED_ADDRESS_CACHE cache;
    const IP_ADDRESS shared = IP_ADDRESS::V4(198, 51, 100, 20);
    const IP_ADDRESS nameless = IP_ADDRESS::V4(198, 51, 100, 21);
    ASSERT_TRUE(cache.Add(shared, "games.test", kAlice, "http://block.test/games"));
    ASSERT_TRUE(cache.Add(nameless, "", kAlice, "http://block.test/nameless"));
    struct CASE {
        IP_ADDRESS address;
        const char* host;
        const char* user;
        const char* redirect;  // null: looked up as usual
    };
    const CASE cases[] = {
        {shared, "games.test", kAlice, "http://block.test/games"},
        {shared, "GAMES.Test.", kAlice, "http://block.test/games"},
        {shared, " games.test:443", kAlice, "http://block.test/games"},
        {shared, "", kAlice, "http://block.test/games"},
        {shared, "news.test", kAlice, nullptr},
        {shared, "www.games.test", kAlice, nullptr},
        {shared, "games.test.cdn.test", kAlice, nullptr},
        {shared, "games.test:8443", kAlice, nullptr},
        {shared, "games.test", "DESKTOP\\bob", nullptr},
        {shared, "", "DESKTOP\\bob", nullptr},
        {IP_ADDRESS::V4(198, 51, 100, 22), "games.test", kAlice, nullptr},
        {nameless, "", kAlice, "http://block.test/nameless"},
        {nameless, "games.test", kAlice, nullptr},
    };
    for (const CASE& c : cases) {
        std::string redirect;
        const bool hit = cache.Lookup(c.address, c.host, c.user, &redirect);
        const std::string what = c.address.ToText() + " \"" + c.host + "\" " + c.user;
        EXPECT_EQ(hit, c.redirect != nullptr) << what;
        if (hit && c.redirect != nullptr) {
            EXPECT_EQ(redirect, c.redirect) << what;
        }
    }
}

TEST(FilteringSwitchTest, OffForAtMostSixHundredSecondsFromTheFirstSwitchOff) {
    os::VirtualClock clock;
    LOG_CAPTURE log;
    FILTERING_SWITCH filtering;
    EXPECT_FALSE(filtering.IsOff());
    filtering.SwitchOff();
    EXPECT_TRUE(log.Has("Filtering disabled"));
    ASSERT_TRUE(clock.AdvanceSeconds(300));
    // A second switch-off does not renew the time.
    filtering.SwitchOff();
    EXPECT_EQ(log.Count("Filtering disabled"), 1u);
    ASSERT_TRUE(clock.AdvanceSeconds(299.9));
    EXPECT_TRUE(filtering.IsOff());
    ASSERT_TRUE(clock.AdvanceSeconds(0.1));
    EXPECT_FALSE(filtering.IsOff());
    EXPECT_TRUE(log.Has(
        "Maximum filtering disabled period of 600 seconds exceeded; Re-enabling filtering"));
    EXPECT_FALSE(filtering.IsOff());

    // Switched on by a reply, off again by a later one: a new period.
    filtering.SwitchOff();
    filtering.SwitchOn();
    EXPECT_FALSE(filtering.IsOff());
    filtering.SwitchOff();
    EXPECT_TRUE(filtering.IsOff());
}

TEST(FilteringSwitchTest, SettingTheSystemTimeBackDoesNotProlongTheSwitchOff) {
    os::VirtualClock clock;
    FILTERING_SWITCH filtering;
    filtering.SwitchOff();
    clock.SetSystemTime(os::QuerySystemTime() - 7 * 86400ull * os::kTicksPerSecond);
    ASSERT_TRUE(clock.AdvanceSeconds(600));
    EXPECT_FALSE(filtering.IsOff());
}

TEST(UrlCachesTest, ExitWritesTheUninitializeLines) {
    LOG_CAPTURE log;
    {
        URL_CACHES caches;
        caches.allowed.Add("exit.test/", 30, false, kAlice);
        caches.blocked.Add(IP_ADDRESS::V4(8, 8, 8, 8), "", "", "http://block.test/");
    }
    EXPECT_TRUE(log.Has("~FILTER_QUERY_UNINITIALIZE\n"));
    EXPECT_TRUE(log.Has("~FILTER_QUERY_UNINITIALIZE done\n"));
}

// Many worker threads at once, as the service runs them (and under TSan, proof of the locking).
TEST(UrlCachesTest, ManyThreadsUseTheCachesAtOnce) {
    URL_CACHES caches;
    std::atomic<int> hits{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::string redirect;
            for (int i = 0; i < 500; ++i) {
                // Twenty hosts shared by all threads: fewer than the cache holds, so a thread's own
                // second visit hits whatever the others do (only a flush empties it).
                const std::string host = "h" + std::to_string((t + i) % 20) + ".test";
                if (caches.allowed.Lookup(host + "/p", false, kAlice)) {
                    ++hits;
                } else {
                    caches.allowed.Add(host + "/p", 60, false, kAlice);
                }
                const IP_ADDRESS address =
                    IP_ADDRESS::V4(10, 0, static_cast<uint8_t>(t), static_cast<uint8_t>(i % 50));
                if (!caches.blocked.Lookup(address, host, "", &redirect)) {
                    caches.blocked.Add(address, host, "", "http://block.test/" + host);
                }
                if (i % 100 == 0) {
                    caches.filtering.SwitchOff();
                } else if (i % 100 == 50) {
                    caches.filtering.SwitchOn();
                }
                caches.filtering.IsOff();
                if (t == 0 && i % 128 == 0) {
                    caches.allowed.Flush();
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_LE(caches.allowed.Count(), kAllowedCacheLimit);
    EXPECT_GT(hits.load(), 0);
    EXPECT_LE(caches.blocked.Count(), 8u * 50u * 2u);
}

}  // namespace
}  // namespace wexo::svc::testing
