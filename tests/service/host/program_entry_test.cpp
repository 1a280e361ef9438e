// The program entry in this process: deployment choice and write-back, the saved debug output
// mode, and the test modes driven through fake parts on the virtual clock.
#include "service/host/program_entry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "os/core/clock.h"
#include "os/registry/registry.h"
#include "service/checkin/deployments.h"
#include "service/checkin/settings.h"
#include "service/servers/policy_ping.h"
#include "service/support/debug_log.h"
#include "service/support/registry_helpers.h"
#include "tools/peers/policy_server.h"

namespace wexo::svc {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

class ProgramEntryTest : public ::testing::Test {
  protected:
    ProgramEntryTest() {
        DebugReset();
        DebugSetOutputHook([this](uint32_t, std::string_view text) {
            std::lock_guard guard(lock_);
            lines_.emplace_back(text);
        });
        EXPECT_TRUE(settings_.OpenProductKey());
    }
    ~ProgramEntryTest() override {
        DebugReset();
        SelectDeployment(DEPLOYMENT_PRODUCTION);
    }
    std::vector<std::string> Lines() {
        std::lock_guard guard(lock_);
        return lines_;
    }
    const os::RegKey& Key() { return settings_.ProductKey(); }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    SETTINGS settings_;
    std::mutex lock_;
    std::vector<std::string> lines_;
};

TEST_F(ProgramEntryTest, DeploymentComesFromTheCommandLineElseAValidRegistryValue) {
    EXPECT_EQ(ChooseDeployment(0, Key()), DEPLOYMENT_PRODUCTION);
    ASSERT_TRUE(WriteRegistryDword(Key(), "Deployment", 5));
    EXPECT_EQ(ChooseDeployment(0, Key()), DEPLOYMENT_PRODUCTION);
    ASSERT_TRUE(WriteRegistryDword(Key(), "Deployment", 2));
    EXPECT_EQ(ChooseDeployment(0, Key()), DEPLOYMENT_STAGING);
    EXPECT_EQ(ChooseDeployment(3, Key()), DEPLOYMENT_DEVELOPMENT);
    // A value of another type is a failed read, logged, and Production.
    ASSERT_TRUE(WriteRegistryString(Key(), "Deployment", "2"));
    EXPECT_EQ(ChooseDeployment(0, Key()), DEPLOYMENT_PRODUCTION);
    EXPECT_THAT(Lines(), Contains(HasSubstr("Unable to read registry value = \"Deployment\"")));

    WriteDeployment(Key(), DEPLOYMENT_DEVELOPMENT);
    uint32_t value = 0;
    ASSERT_TRUE(ReadRegistryDword(Key(), "Deployment", value));
    EXPECT_EQ(value, 3u);
    WriteDeployment(Key(), DEPLOYMENT_PRODUCTION);
    EXPECT_FALSE(ReadRegistryDword(Key(), "Deployment", value));
    // Deleting a value that is not there is no failure.
    lines_.clear();
    WriteDeployment(Key(), DEPLOYMENT_PRODUCTION);
    EXPECT_THAT(Lines(), Not(Contains(HasSubstr("Unable"))));
}

TEST_F(ProgramEntryTest, CommandLineFlagsOverrideTheRegistryModeAndAreSavedIntoIt) {
    ASSERT_TRUE(WriteRegistryDword(Key(), "DebugOutput", 0x2));
    HOST_PARTS parts;
    std::vector<std::string> macs;
    parts.getMacAddress = [] { return std::string("00-11-22-33-44-55"); };
    parts.checkIn = [&](const std::string& domain, const std::string& mac, const std::string&,
                        CHECK_IN_RESULT* r) {
        macs.push_back(mac);
        EXPECT_EQ(domain, "school.example");
        r->servers = {"policy1.test", "policy2.test"};
        r->serverMode = SERVER_MODE_TIERED;
        return true;
    };
    const int code = WexoSvcMain(
        {"wexosvc", "-V", "-HTTP", "-CHECK_IN", "@", "-LOGON_ACCOUNT", "pupil@school.example"},
        parts);
    EXPECT_EQ(code, 0);
    uint32_t mode = 0;
    ASSERT_TRUE(ReadRegistryDword(Key(), "DebugOutput", mode));
    EXPECT_EQ(mode, 0x300u);
    EXPECT_THAT(Lines(), Contains(HasSubstr("Debug output mode saved")));
    // "@" is the detected address.
    EXPECT_THAT(macs, ::testing::ElementsAre("00-11-22-33-44-55"));
    EXPECT_THAT(Lines(), Contains(HasSubstr("Check-in policy servers:")));
    std::string names;
    EXPECT_TRUE(ReadRegistryString(Key(), "PolicyServers", names));
    EXPECT_EQ(names, "policy1.test;policy2.test");
}

TEST_F(ProgramEntryTest, TestModesWhosePartsAreMissingSayNotAvailableAndFail) {
    EXPECT_EQ(WexoSvcMain({"wexosvc", "-V", "-DEVICE", "-SHOW_PROCESSES"}), kExitNotAvailable);
    EXPECT_THAT(Lines(), Contains(HasSubstr("DEVICE: not available in this build")));
    EXPECT_THAT(Lines(), Contains(HasSubstr("SHOW_PROCESSES: not available in this build")));
    // The deployment chosen was written back and logged.
    EXPECT_THAT(Lines(), Contains(HasSubstr("Production Deployment:")));

    HOST_PARTS parts;
    parts.getMacAddress = [] { return std::string("00-11-22-33-44-55"); };
    lines_.clear();
    EXPECT_EQ(
        WexoSvcMain({"wexosvc", "-V", "-DEVICE", "-UDID", "0B4E4C2E-6C1D-4F5C-9E0A-5D2B3C4D5E6F"},
                    parts),
        0);
    EXPECT_THAT(Lines(), Contains(HasSubstr("Mac address = 00-11-22-33-44-55, \n    Unique device "
                                            "ID = 0B4E4C2E-6C1D-4F5C-9E0A-5D2B3C4D5E6F")));
}

TEST_F(ProgramEntryTest, UpdateModeStartsTheUpdateWithItsUrlOrSaysItIsMissing) {
    EXPECT_EQ(WexoSvcMain({"wexosvc", "-V", "-UPDATE", "http://u.test/pkg.zip"}),
              kExitNotAvailable);
    EXPECT_THAT(Lines(), Contains(HasSubstr("UPDATE: not available in this build")));

    HOST_PARTS parts;
    std::vector<std::string> urls;
    parts.startUpdate = [&](const std::string& url, UPDATE_PROCESS*) {
        urls.push_back(url);
        return true;
    };
    EXPECT_EQ(WexoSvcMain({"wexosvc", "-V", "-UPDATE", "http://u.test/pkg.zip"}, parts), 0);
    EXPECT_THAT(urls, ::testing::ElementsAre("http://u.test/pkg.zip"));
}

TEST_F(ProgramEntryTest, PolicyServerTestRunsForItsSecondsOnTheVirtualClock) {
    os::VirtualClock clock;
    // On an os thread, so that each step of the clock waits until the program has settled.
    int code = -1;
    auto program = os::Thread::Start(
        [&code] {
            code = WexoSvcMain({"wexosvc", "-V", "-POLICY_SERVER", "30"});
        },
        "program");
    ASSERT_TRUE(clock.Settle());
    // No server is listed: the set waits its 20 seconds for one, then the test runs 30.
    uint64_t start = os::QuerySystemTime();
    for (int step = 0; step < 120 && !program->HasEnded(); ++step) {
        ASSERT_TRUE(clock.AdvanceSeconds(1));
    }
    ASSERT_TRUE(program->HasEnded());
    program->Join();
    EXPECT_EQ(code, 0);
    EXPECT_GE(os::QuerySystemTime() - start, 50u * 10'000'000);
    const auto lines = Lines();
    EXPECT_THAT(lines, Contains(HasSubstr("Running policy server test for 30 seconds")));
    EXPECT_THAT(lines, Contains(HasSubstr("PolicyServerTestA: Policy server = \"<Unavailable>\"")));
    EXPECT_THAT(lines, Contains(HasSubstr("PolicyServerTestB: Service stopping ...")));
    EXPECT_THAT(lines,
                Contains(HasSubstr("Waiting for get policy server threads to complete ...")));
    EXPECT_THAT(lines, Not(Contains(HasSubstr("Time-out waiting"))));
}

TEST_F(ProgramEntryTest, QueryUrlAndPingServerAskTheServerOfTheRegistry) {
    peers::PolicyServer server;
    std::string error;
    ASSERT_TRUE(server.Pages().SetPolicyText("[rules]\nblock host games.example\n", &error))
        << error;
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(WriteRegistryString(Key(), "PolicyServers", server.HostPort()));
    ASSERT_TRUE(WriteRegistryDword(Key(), "ServerMode", SERVER_MODE_BALANCED));

    EXPECT_EQ(WexoSvcMain({"wexosvc", "-V", "-QUERY_URL", "http://games.example/play"}), 0);
    EXPECT_THAT(Lines(), Contains(HasSubstr("Would redirect URL = \"http://games.example/play\"")));
    // The user line names the account once, with its domain.
    EXPECT_THAT(Lines(), Contains(::testing::MatchesRegex(
                             "WexoS: User = \"[^\\\\]+\\\\[^\\\\]+\", SID = S-1-22-1-[0-9]+")));
    lines_.clear();
    EXPECT_EQ(WexoSvcMain({"wexosvc", "-V", "-QUERY_URL", "http://www.example.test/"}), 0);
    EXPECT_THAT(Lines(), Contains(HasSubstr("No redirect for URL = \"http://www.example.test/\"")));

    lines_.clear();
    EXPECT_EQ(WexoSvcMain({"wexosvc", "-V", "-PING_SERVER", server.HostPort()}), 0);
    EXPECT_THAT(Lines(), Contains(HasSubstr("Server \"" + server.HostPort() + "\" is available")));
    server.Stop();
    lines_.clear();
    EXPECT_EQ(WexoSvcMain({"wexosvc", "-V", "-PING_SERVER", server.HostPort()}), 0);
    EXPECT_THAT(Lines(),
                Contains(HasSubstr("Server \"" + server.HostPort() + "\" is not available")));
    EXPECT_TRUE(WaitForPingRequests(std::chrono::milliseconds(5000)));
}

TEST_F(ProgramEntryTest, AStartThatFailsUnwindsAndExitsWith1010) {
    // No driver in this process: the control device cannot be opened.
    EXPECT_EQ(WexoSvcMain({"wexosvc", "-V", "-X"}), 1010);
    EXPECT_THAT(Lines(), Not(Contains(HasSubstr("Service started"))));
    EXPECT_THAT(Lines(), Not(Contains(HasSubstr("thread started"))));
}

}  // namespace
}  // namespace wexo::svc
