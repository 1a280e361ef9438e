// The check-in: the request as the API server receives it, the reply members and what bad replies
// leave untouched, over real HTTPS on loopback against the reference API server; and a check-in
// that moves the policy-server set to tiered.
#include "service/checkin/check_in.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "service/checkin/deployments.h"
#include "service/host/built_in_parts.h"
#include "service/host/program_entry.h"
#include "tests/service/servers/servers_test_support.h"
#include "tests/service/support/test_trust.h"
#include "tools/peers/api_server.h"
#include "tools/peers/streamed_reply.h"

namespace wexo::svc {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing_servers::PolicyServersFixture;

constexpr char kMac[] = "AA:BB:CC:DD:EE:01";
constexpr char kDeviceId[] = "0B4E4C2E-6C1D-4F5C-9E0A-5D2B3C4D5E6F";

// ---- The reply alone.

class CheckInReplyTest : public ::testing::Test {
  protected:
    CHECK_IN_REPLY Parse(std::string_view text, bool expected = true) {
        CHECK_IN_REPLY reply;
        EXPECT_EQ(ParseCheckInReply(text, &reply), expected) << text;
        return reply;
    }

    testing_http::LogCapture log_{DEBUG_OUTPUT_VERBOSE};
};

TEST_F(CheckInReplyTest, NextCheckInCountsOnlyWhenAllSixNumbersWereRead) {
    CHECK_IN_REPLY reply = Parse(R"({"NextCheckIn": "2026-12-08 03:00:00 UTC"})");
    EXPECT_EQ(reply.received, CHECK_IN_RECEIVED_NEXT_CHECK_IN);
    EXPECT_EQ(reply.nextCheckIn.year, 2026);
    EXPECT_EQ(reply.nextCheckIn.month, 12);
    EXPECT_EQ(reply.nextCheckIn.day, 8);
    EXPECT_EQ(reply.nextCheckIn.hour, 3);
    EXPECT_EQ(reply.nextCheckIn.minute, 0);
    EXPECT_EQ(reply.nextCheckIn.second, 0);
    EXPECT_EQ(reply.nextCheckIn.dayOfWeek, 0);

    reply = Parse(R"({"NextCheckIn": "2026-12-08T03:00:00Z"})");
    EXPECT_EQ(reply.received & CHECK_IN_RECEIVED_NEXT_CHECK_IN, 0u);
    EXPECT_EQ(reply.nextCheckIn.year, 0);
}

TEST_F(CheckInReplyTest, NextCheckInThatIsNoCalendarTimeIsNotUsed) {
    // Six numbers, but no such moment: the timer would otherwise be set from a rolled-over date.
    for (const char* text :
         {"2026-13-01 00:00:00 UTC", "2026-02-29 00:00:00 UTC", "2026-04-31 00:00:00 UTC",
          "2026-12-08 24:00:00 UTC", "2026-12-08 03:60:00 UTC", "2026-12-08 03:00:61 UTC",
          "1600-12-31 23:59:59 UTC", "2026--1-08 03:00:00 UTC", "2026-00-08 03:00:00 UTC"}) {
        os::CALENDAR_TIME time{};
        EXPECT_FALSE(ParseNextCheckIn(text, &time)) << text;
    }
    os::CALENDAR_TIME leap{};
    EXPECT_TRUE(ParseNextCheckIn("2028-02-29 23:59:59 UTC", &leap));
    EXPECT_EQ(leap.day, 29);
    // A NUL inside the text: what a C scan would read is not all the server sent.
    EXPECT_FALSE(ParseNextCheckIn(std::string_view("2026-12-08 03:00:00 UTC\0x", 25), &leap));

    const CHECK_IN_REPLY reply = Parse(R"({"NextCheckIn": "2026-02-30 12:00:00 UTC"})");
    EXPECT_EQ(reply.received, 0u);
    EXPECT_TRUE(log_.Has("Filter check-in: Ignoring NextCheckIn = \"2026-02-30 12:00:00 UTC\""));
}

TEST_F(CheckInReplyTest, ServerModeOutsideZeroToOneIsInvalid) {
    EXPECT_EQ(Parse(R"({"ServerMode": 2})").serverMode, SERVER_MODE_NONE);
    EXPECT_TRUE(log_.Has("Invalid server mode = 2"));
    EXPECT_EQ(Parse(R"({"ServerMode": -1})").serverMode, SERVER_MODE_NONE);
    EXPECT_TRUE(log_.Has("Invalid server mode = -1"));
    EXPECT_EQ(Parse(R"({"ServerMode": 1.0})").serverMode, SERVER_MODE_NONE);

    CHECK_IN_REPLY reply = Parse(R"({"ServerMode": 1})");
    EXPECT_EQ(reply.serverMode, SERVER_MODE_TIERED);
    // No bit for the mode.
    EXPECT_EQ(reply.received, 0u);
    EXPECT_TRUE(log_.Has("Server Mode = Tiered"));
    EXPECT_EQ(Parse(R"({"ServerMode": 0})").serverMode, SERVER_MODE_BALANCED);
    EXPECT_TRUE(log_.Has("Server Mode = Balanced"));
}

TEST_F(CheckInReplyTest, ServersKeepOnlyStringsWithoutBlanks) {
    const CHECK_IN_REPLY reply = Parse(R"({"Servers": ["policy1.example", "bad name", 7]})");
    EXPECT_EQ(reply.received, CHECK_IN_RECEIVED_SERVERS);
    EXPECT_THAT(reply.servers, ElementsAre("policy1.example"));
    EXPECT_TRUE(log_.Has("Ignoring server name = \"bad name\" because it contains spaces"));

    // An empty list is still a list received.
    const CHECK_IN_REPLY empty = Parse(R"({"Servers": []})");
    EXPECT_EQ(empty.received, CHECK_IN_RECEIVED_SERVERS);
    EXPECT_THAT(empty.servers, IsEmpty());
}

TEST_F(CheckInReplyTest, MembersOfAnotherTypeCountAsAbsent) {
    const CHECK_IN_REPLY reply = Parse(
        R"({"NextCheckIn": 5, "CustomerID": 5, "CustomerID": "second", "UpdateURL": null,
            "Dormant": "true", "ServerMode": "1", "Servers": "policy1.example"})");
    EXPECT_EQ(reply.received, 0u);
    EXPECT_EQ(reply.serverMode, SERVER_MODE_NONE);
    EXPECT_THAT(reply.servers, IsEmpty());
    EXPECT_EQ(reply.customerId, "");
    EXPECT_TRUE(log_.Has("Filter check-in: No CustomerID"));
    EXPECT_TRUE(log_.Has("Filter check-in: No update URL"));
}

TEST_F(CheckInReplyTest, StringsWithANulCharacterCountAsAbsent) {
    const CHECK_IN_REPLY reply =
        Parse(R"({"CustomerID": "a\u0000b", "UpdateURL": "https://u.example/\u0000x",
                  "Servers": ["p1.example\u0000.evil", "p2.example"]})");
    EXPECT_EQ(reply.received, CHECK_IN_RECEIVED_SERVERS);
    EXPECT_EQ(reply.customerId, "");
    EXPECT_EQ(reply.updateUrl, "");
    EXPECT_THAT(reply.servers, ElementsAre("p2.example"));
}

TEST_F(CheckInReplyTest, EveryMemberOfAFullReply) {
    const CHECK_IN_REPLY reply = Parse(
        R"({"CustomerID": "school-42", "NextCheckIn": "2026-12-09 18:00:00 UTC",
            "Dormant": true, "ServerMode": 1, "Servers": ["p1.example", "p2.example"],
            "UpdateURL": "https://updates.example/Update.zip", "Unknown": [1, {"x": 2}]})");
    EXPECT_EQ(reply.received, 31u);
    EXPECT_EQ(reply.dormant, 1);
    EXPECT_EQ(reply.customerId, "school-42");
    EXPECT_EQ(reply.updateUrl, "https://updates.example/Update.zip");
    EXPECT_TRUE(log_.Has("Filter check-in: update URL = \"https://updates.example/Update.zip\""));
    EXPECT_TRUE(log_.Has("Dormant mode = true"));
}

TEST_F(CheckInReplyTest, TextThatIsNotJsonFailsAndARootOfAnotherShapeCarriesNothing) {
    Parse("<html>not json</html>", false);
    EXPECT_THAT(log_.Find("Filter check-in: JSON parsing error. "), HasSubstr("1:"));
    Parse(R"({"Dormant": true)", false);

    for (const char* text : {"[1, 2]", "\"text\"", "42", "null"}) {
        const CHECK_IN_REPLY reply = Parse(text);
        EXPECT_EQ(reply.received, 0u) << text;
        EXPECT_EQ(reply.serverMode, SERVER_MODE_NONE) << text;
    }
}

TEST_F(CheckInReplyTest, TheTreeIsPrintedOnlyWithTheJsonCategory) {
    // The printer writes its lines as one block.
    auto printed = [this] {
        for (const std::string& line : log_.Lines()) {
            if (line.find("  \"Dormant\": false,\n") != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    Parse(R"({"Dormant": false, "Servers": []})");
    EXPECT_FALSE(printed());
    DebugSetMode(DEBUG_OUTPUT_VERBOSE | DEBUG_OUTPUT_JSON);
    Parse(R"({"Dormant": false, "Servers": ["a.example"]})");
    EXPECT_TRUE(printed());
    EXPECT_TRUE(log_.Has("ServerName = \"a.example\""));
}

// ---- Over HTTPS against the reference API server.

class CheckInTest : public PolicyServersFixture {
  protected:
    void SetUp() override {
        PolicyServersFixture::SetUp();
        // As a deployment names its own authority: every load of the settings keeps it trusted.
        ASSERT_TRUE(WriteRegistryString(settings_.ProductKey(), "TlsCaFile", trust_.CaFile()));
        ASSERT_TRUE(api_.Start());
        deployment_ =
            std::make_unique<SCOPED_DEVELOPMENT_DEPLOYMENT>("127.0.0.1:1", api_.HostPort());
    }
    void TearDown() override {
        deployment_.reset();
        api_.Stop();
        PolicyServersFixture::TearDown();
    }

    void Devices(const std::string& text) {
        std::string error;
        ASSERT_TRUE(api_.Pages().SetDevicesText(text, &error)) << error;
    }
    CHECK_IN_DEVICE Device() const {
        CHECK_IN_DEVICE device = CurrentCheckInDevice(kDeviceId);
        return device;
    }
    bool Run(CHECK_IN_REPLY* reply, const char* domain = "school.example") {
        return CheckIn(domain, kMac, Device(), reply);
    }

    // Verified as every check-in is: the server's certificate is one of the test's own authority.
    testing_http::SCOPED_TEST_TRUST trust_;
    peers::ApiServer api_{trust_.Server()};
    std::unique_ptr<SCOPED_DEVELOPMENT_DEPLOYMENT> deployment_;
};

TEST_F(CheckInTest, TheRequestCarriesItsPairsInOrderOverHttps) {
    Devices(std::string("[device ") + kMac + "]\nCustomerID = school-42\n");
    CHECK_IN_REPLY reply;
    ASSERT_TRUE(Run(&reply, "school.example"));
    EXPECT_EQ(reply.customerId, "school-42");
    const peers::PeerRequest request = api_.Peer().LastRequest();
    EXPECT_TRUE(request.tls);
    EXPECT_EQ(request.path, "/2/checkin");
    EXPECT_EQ(request.query,
              std::string("client=ZQ&domain=school.example&uuid=") + kDeviceId +
                  "&mac=AA%3ABB%3ACC%3ADD%3AEE%3A01&version=6.2.9&platform=" + Device().platform);
    EXPECT_EQ(request.Header("User-Agent"), "WEXO_CLIENT");
    EXPECT_TRUE(log_.Has(std::string("CheckIn: Server = \"") + api_.HostPort() +
                         "\",\n    Page = \"2/checkin\",\n    Unique Device ID = " + kDeviceId +
                         ",\n    MAC = " + kMac +
                         ",\n    Version = 6.2.9,\n    Platform = " + Device().platform));

    // Without a domain there is no domain pair at all.
    ASSERT_TRUE(Run(&reply, nullptr));
    EXPECT_EQ(api_.Peer().LastRequest().query.find("domain"), std::string::npos);
    EXPECT_EQ(api_.Peer().LastRequest().query.rfind("client=ZQ&uuid=", 0), 0u);
}

TEST_F(CheckInTest, AnUnknownDeviceIs404AndChangesNothing) {
    Devices("[device 11:22:33:44:55:66]\nDormant = true\n");
    CHECK_IN_REPLY reply;
    reply.dormant = 1;
    EXPECT_FALSE(Run(&reply));
    EXPECT_EQ(reply.received, 0u);
    EXPECT_EQ(reply.dormant, 0);
    EXPECT_THAT(log_.Find("CheckIn: URL = \"HTTPS://"),
                HasSubstr(std::string("\",\n    MAC address ") + kMac + " not registered"));
}

TEST_F(CheckInTest, OtherStatusesAndNoAnswerChangeNothing) {
    api_.Pages().SetCheckInAnswer(500, R"({"Dormant": true})", "application/json");
    CHECK_IN_REPLY reply;
    EXPECT_FALSE(Run(&reply));
    EXPECT_EQ(reply.received, 0u);
    EXPECT_THAT(log_.Find("CheckIn: URL = \"HTTPS://"), HasSubstr("HTTP status = 500"));

    api_.Stop();
    EXPECT_FALSE(Run(&reply));
    EXPECT_FALSE(log_.Find(std::string("Unable to connect to server \"") + api_.HostPort() + "\". ")
                     .empty());
}

TEST_F(CheckInTest, AJsonBodyServedAsHtmlIsAnInvalidReply) {
    api_.Pages().SetCheckInAnswer(200, R"({"Dormant": true, "ServerMode": 1})", "text/html");
    CHECK_IN_REPLY reply;
    EXPECT_FALSE(Run(&reply));
    EXPECT_EQ(reply.received, 0u);
    EXPECT_EQ(reply.serverMode, SERVER_MODE_NONE);
    EXPECT_TRUE(log_.Has("Invalid check-in reply:\n{\"Dormant\": true, \"ServerMode\": 1}"));
}

TEST_F(CheckInTest, MalformedJsonIsAnInvalidReplyAndKeepsNothingReadBeforeTheError) {
    api_.Pages().SetCheckInAnswer(200, R"({"Dormant": true, "ServerMode": 1,)", "application/json");
    CHECK_IN_REPLY reply;
    EXPECT_FALSE(Run(&reply));
    EXPECT_EQ(reply.received, 0u);
    EXPECT_FALSE(log_.Find("Filter check-in: JSON parsing error. ").empty());
    EXPECT_FALSE(log_.Find("Invalid check-in reply:\n").empty());
}

TEST_F(CheckInTest, AReplyThatGoesOnIsNotReadPastTheLimitAndRefusedUnparsed) {
    // A server that never stops sending: the client must stop at the limit, not at the engine's
    // general bound of hundreds of megabytes.
    peers::StreamedReply endless({"application/json", 64 * 1024, std::chrono::milliseconds(0)});
    api_.Peer().Handle("GET", "/2/checkin", endless.Handler());
    CHECK_IN_REPLY reply;
    EXPECT_FALSE(Run(&reply));
    EXPECT_EQ(reply.received, 0u);
    EXPECT_TRUE(log_.Has("Invalid check-in reply:\n(more than 65536 bytes, not read further)"));
    endless.Stop();
    ASSERT_TRUE(endless.WaitForEnd(1));
    // What the server got rid of: the limit and what the sockets between hold, no more.
    EXPECT_LT(endless.BytesSent(), 32u << 20);
}

TEST_F(CheckInTest, TheHostPartCarriesTheMembersAsTheHostAppliesThem) {
    Devices(std::string("[device ") + kMac +
            "]\nDormant = true\nNextCheckIn = 2026-12-10 06:30:00 UTC\nServerMode = balanced\n"
            "UpdatePackage = Update.zip\n");
    HOST_PARTS parts = BuiltInHostParts();
    ASSERT_TRUE(parts.checkIn);
    CHECK_IN_RESULT result;
    ASSERT_TRUE(parts.checkIn("", kMac, kDeviceId, &result));
    ASSERT_TRUE(result.dormant.has_value());
    EXPECT_TRUE(*result.dormant);
    os::CALENDAR_TIME due{};
    due.year = 2026;
    due.month = 12;
    due.day = 10;
    due.hour = 6;
    due.minute = 30;
    EXPECT_EQ(result.nextCheckIn, os::UtcToSystemTime(due));
    EXPECT_EQ(result.serverMode, SERVER_MODE_BALANCED);
    // No Servers member: nothing for the host to replace the list with.
    EXPECT_THAT(result.servers, IsEmpty());
    EXPECT_EQ(result.updateUrl, "https://" + api_.HostPort() + "/updates/Update.zip");
    // An empty domain is none; the device ID is the one the host gives.
    EXPECT_EQ(api_.Peer().LastRequest().query.find("domain"), std::string::npos);
    EXPECT_NE(api_.Peer().LastRequest().query.find(std::string("&uuid=") + kDeviceId + "&"),
              std::string::npos);

    // A failed check-in gives nothing to apply.
    api_.Pages().SetCheckInAnswer(200, R"({"Dormant": true})", "text/html");
    EXPECT_FALSE(parts.checkIn("", kMac, kDeviceId, &result));
    EXPECT_FALSE(result.dormant.has_value());
}

TEST_F(CheckInTest, ACheckInMovesTheServerSetToTieredWithTwoServers) {
    const std::vector<std::string> names = StartPeers(3);
    Build(SERVER_MODE_BALANCED, {names[2]});
    ASSERT_EQ(Servers().Mode(), SERVER_MODE_BALANCED);
    Devices(std::string("[device ") + kMac + "]\nServerMode = tiered\nServers = " + names[0] +
            ", " + names[1] + "\n");

    CHECK_IN_REPLY reply;
    ASSERT_TRUE(Run(&reply));
    EXPECT_EQ(reply.serverMode, SERVER_MODE_TIERED);
    EXPECT_THAT(reply.servers, ElementsAre(names[0], names[1]));
    EXPECT_TRUE(settings_.ApplyCheckInServers(reply.serverMode, reply.servers));
    ASSERT_TRUE(Settle());

    EXPECT_EQ(Servers().Mode(), SERVER_MODE_TIERED);
    EXPECT_THAT(Servers().Names(), ElementsAre(names[0], names[1]));
    std::string stored;
    ASSERT_TRUE(ReadRegistryString(settings_.ProductKey(), "PolicyServers", stored));
    EXPECT_EQ(stored, names[0] + ";" + names[1]);
    uint32_t mode = 0;
    ASSERT_TRUE(ReadRegistryDword(settings_.ProductKey(), "ServerMode", mode));
    EXPECT_EQ(mode, 1u);
    // The primary answered its ping at the rebuild: it serves every query.
    EXPECT_EQ(Next(), names[0]);
    EXPECT_EQ(Next(), names[0]);

    // The same reply again changes nothing.
    ASSERT_TRUE(Run(&reply));
    EXPECT_FALSE(settings_.ApplyCheckInServers(reply.serverMode, reply.servers));
}

TEST_F(CheckInTest, ServerListsWithTooManyEmptyOrInvalidNamesKeepOnlyUsableNames) {
    std::vector<std::string> names = StartPeers(1);
    std::string servers = R"(["", ")" + names[0] + R"(", "a.example/path", "a b", "bad@host",)";
    // Closed ports of this machine: their pings fail at once.
    for (int i = 2; i < 32; ++i) {
        servers += "\"localhost:" + std::to_string(i) + "\",";
    }
    servers += R"("LOCALHOST:2"])";
    api_.Pages().SetCheckInAnswer(200, R"({"ServerMode": 0, "Servers": )" + servers + "}",
                                  "application/json");
    Servers();
    CHECK_IN_REPLY reply;
    ASSERT_TRUE(Run(&reply));
    // Only the name with a blank is dropped here; the settings refuse the rest by their rules.
    EXPECT_EQ(reply.servers.size(), 35u);
    EXPECT_TRUE(settings_.ApplyCheckInServers(reply.serverMode, reply.servers));
    ASSERT_TRUE(Settle());
    EXPECT_EQ(Servers().Count(), kMaxPolicyServers);
    EXPECT_EQ(Servers().Names().front(), names[0]);
    for (const std::string& name : Servers().Names()) {
        EXPECT_EQ(name.find_first_of("/@ "), std::string::npos) << name;
        EXPECT_NE(name, "LOCALHOST:2");
    }
    EXPECT_TRUE(log_.Has("Blank policy server name encountered"));
    EXPECT_TRUE(log_.Has("Duplicate policy server = \"LOCALHOST:2\""));
}

TEST_F(CheckInTest, TheCheckInTestModeChecksInWithTheBuiltInPartAndStoresTheServers) {
    Devices(std::string("[device ") + kMac +
            "]\nServerMode = tiered\nServers = a.example, b.example\nNextCheckIn = +6h\n");
    EXPECT_EQ(WexoSvcMain({"wexosvc", "-V", "-DEVL", "-CHECK_IN", kMac, "-UDID", kDeviceId},
                          BuiltInHostParts()),
              0);
    EXPECT_EQ(api_.Pages().CheckInCount(), 1u);
    EXPECT_NE(api_.Peer().LastRequest().query.find(std::string("&uuid=") + kDeviceId + "&"),
              std::string::npos);
    std::string names;
    ASSERT_TRUE(ReadRegistryString(settings_.ProductKey(), "PolicyServers", names));
    EXPECT_EQ(names, "a.example;b.example");
    uint32_t mode = 0;
    ASSERT_TRUE(ReadRegistryDword(settings_.ProductKey(), "ServerMode", mode));
    EXPECT_EQ(mode, 1u);
    // The program's lines carry its time stamps: look for the text inside them.
    auto logged = [this](const std::string& text) {
        for (const std::string& line : log_.Lines()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(logged("Requested next check-in: "));
    EXPECT_TRUE(logged("Check-in policy servers:"));
    EXPECT_FALSE(logged("not available in this build"));
}

}  // namespace
}  // namespace wexo::svc
