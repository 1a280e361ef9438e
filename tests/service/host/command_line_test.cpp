#include "service/host/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/win32/system_facts.h"
#include "service/host/version_banner.h"

namespace wexo::svc {
namespace {

struct PARSED {
    bool ok;
    COMMAND_LINE_OPTIONS options;
    std::string invalid;
};

PARSED Parse(std::vector<std::string> arguments) {
    PARSED parsed;
    parsed.ok = ParseCommandLine(arguments, &parsed.options, &parsed.invalid);
    return parsed;
}

TEST(CommandLineTest, OptionsAreNamedWithEitherPrefixInAnyCase) {
    for (const char* spelling : {"/check_in", "-CHECK_IN", "-Check_In", "/CHECK_IN"}) {
        PARSED p = Parse({spelling});
        ASSERT_TRUE(p.ok) << spelling;
        EXPECT_TRUE(p.options.checkIn && p.options.testMode) << spelling;
    }
    // Without its leading character an option is an argument, and the first such ends the parse.
    PARSED p = Parse({"-V", "CHECK_IN", "-DEVICE"});
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.invalid, "CHECK_IN");
    EXPECT_FALSE(p.options.device);
    // Unknown options, a lone prefix and an empty argument are invalid too.
    for (const char* bad : {"-NOSUCH", "/", "-", ""}) {
        PARSED q = Parse({"-A", bad});
        EXPECT_FALSE(q.ok) << bad;
        EXPECT_EQ(q.invalid, bad);
    }
}

TEST(CommandLineTest, DebugFlagsAndCategoriesAreOred) {
    PARSED p = Parse({"-V", "/http"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.debugOutputFlags, 0x300u);
    p = Parse({"-D", "-L", "-O", "-R", "-KD", "-NO_TIME_STAMP", "-INTERNAL", "-XML", "-JSON"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.debugOutputFlags,
              1u | 2u | 6u | 10u | 17u | 0x40000u | 0x10000u | 0x400u | 0x800u);
    EXPECT_FALSE(p.options.testMode);
}

TEST(CommandLineTest, SwitchesAndDeployments) {
    PARSED p = Parse({"-C", "-A", "-X", "-IC", "-VERSION", "-STAGING"});
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.options.runAsApplication && p.options.runInForeground &&
                p.options.immediateCheckIn && p.options.version);
    EXPECT_FALSE(p.options.testMode);
    EXPECT_EQ(p.options.deployment, 2);
    // The last deployment named wins.
    EXPECT_EQ(Parse({"-PROD", "-DEVL"}).options.deployment, 3);
    EXPECT_EQ(Parse({"-DEVELOP", "/production"}).options.deployment, 1);
    EXPECT_EQ(Parse({"-STNG"}).options.deployment, 2);
    EXPECT_EQ(Parse({}).options.deployment, 0);
    // Test modes set the test mode; the others do not.
    for (const char* mode : {"-SHOW_PROCESSES", "-DEVICE", "-QUERY_DNS_REMAPPING"}) {
        EXPECT_TRUE(Parse({mode}).options.testMode) << mode;
    }
    EXPECT_FALSE(Parse({"-UPDATE_URL", "http://u"}).options.testMode);
}

TEST(CommandLineTest, PolicyServerTakesAnOptionalNumberOfSeconds) {
    PARSED p = Parse({"-POLICY_SERVER", "30"});
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.options.policyServerTest && p.options.testMode);
    EXPECT_EQ(p.options.policyServerTestSeconds, 30u);
    p = Parse({"-POLICY_SERVER"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.policyServerTestSeconds, 60u);
    for (const char* bad : {"abc", "-V", "30s", "", "4294967296", "-1"}) {
        PARSED q = Parse({"-POLICY_SERVER", bad});
        EXPECT_FALSE(q.ok) << bad;
        EXPECT_EQ(q.invalid, bad);
    }
}

TEST(CommandLineTest, RequiredValuesAreTakenWhateverTheyLookLike) {
    PARSED p = Parse({"-PING_SERVER", "policy.test:8080", "-QUERY_URL", "http://a.test/x",
                      "-UPDATE", "http://u.test/pkg.zip", "-UPDATE_URL", "-odd", "-LOGON_ACCOUNT",
                      "pupil@school.example"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.pingServer, "policy.test:8080");
    EXPECT_EQ(p.options.queryUrl, "http://a.test/x");
    EXPECT_EQ(p.options.updatePackageUrl, "http://u.test/pkg.zip");
    EXPECT_EQ(p.options.updateUrlOverride, "-odd");
    EXPECT_EQ(p.options.logonAccount, "pupil@school.example");
    // As the last argument an option that needs a value is itself the invalid argument.
    for (const char* option :
         {"-PING_SERVER", "/QUERY_URL", "-UPDATE", "-UPDATE_URL", "-LOGON_ACCOUNT", "-UDID"}) {
        PARSED q = Parse({"-V", option});
        EXPECT_FALSE(q.ok) << option;
        EXPECT_EQ(q.invalid, option);
    }
}

TEST(CommandLineTest, CheckInTakesWhateverFollowsAsTheMacAddress) {
    PARSED p = Parse({"-CHECK_IN", "-V"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.checkInMacAddress, "-V");
    EXPECT_EQ(p.options.debugOutputFlags, 0u);
    p = Parse({"-CHECK_IN"});
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.options.checkIn);
    EXPECT_EQ(p.options.checkInMacAddress, "");
    EXPECT_EQ(Parse({"-CHECK_IN", "@"}).options.checkInMacAddress, "@");
}

TEST(CommandLineTest, DeviceIdMustBeShorterThanThirtyEightCharacters) {
    const std::string guid = "0B4E4C2E-6C1D-4F5C-9E0A-5D2B3C4D5E6F";  // 36
    PARSED p = Parse({"-UDID", guid});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.uniqueDeviceId, guid);
    EXPECT_TRUE(Parse({"-UDID", guid + "X"}).ok);   // 37
    PARSED q = Parse({"-UDID", "{" + guid + "}"});  // 38
    EXPECT_FALSE(q.ok);
    EXPECT_EQ(q.invalid, "-UDID");
}

TEST(CommandLineTest, LogonAccountDomainIsTheTextAfterTheLastAt) {
    EXPECT_EQ(LogonAccountDomain("pupil@school.example"), "school.example");
    EXPECT_EQ(LogonAccountDomain("a@b@district.example"), "district.example");
    EXPECT_EQ(LogonAccountDomain("no-domain"), "");
    EXPECT_EQ(LogonAccountDomain("trailing@"), "");
}

TEST(CommandLineTest, InvalidArgumentWarningNamesTheArgument) {
    EXPECT_EQ(InvalidArgumentText("abc"),
              "Corvane Ostrel Warning: Invalid command line argument: \"abc\"");
    // A "%" in the argument is shown, not taken for a conversion.
    EXPECT_EQ(InvalidArgumentText("%s%n"),
              "Corvane Ostrel Warning: Invalid command line argument: \"%s%n\"");
}

os::OS_VERSION_FACTS Windows(uint32_t major, uint32_t minor, bool workstation) {
    os::OS_VERSION_FACTS facts;
    facts.systemName = "Windows";
    facts.machine = "x86_64";
    facts.major = major;
    facts.minor = minor;
    facts.workstation = workstation;
    return facts;
}

TEST(VersionBannerTest, PlatformNameFollowsTheTableFirstMatchWins) {
    EXPECT_EQ(PlatformName(Windows(10, 0, true)), "Win10_x64");
    EXPECT_EQ(PlatformName(Windows(10, 0, false)), "Win10_x64");
    EXPECT_EQ(PlatformName(Windows(6, 3, false)), "WinServer2012_R2_x64");
    EXPECT_EQ(PlatformName(Windows(6, 3, true)), "Win8.1_x64");
    EXPECT_EQ(PlatformName(Windows(6, 2, true)), "Win8_x64");
    EXPECT_EQ(PlatformName(Windows(6, 1, false)), "WinServer2008_R2_x64");
    EXPECT_EQ(PlatformName(Windows(6, 0, true)), "WinVista_x64");
    EXPECT_EQ(PlatformName(Windows(5, 2, false)), "WinServer2003_x64");
    EXPECT_EQ(PlatformName(Windows(5, 0, true)), "Win_x64");
    // A newer minor of an older major still matches by the major.
    EXPECT_EQ(PlatformName(Windows(7, 0, true)), "Win8.1_x64");
    EXPECT_EQ(PlatformName(Windows(11, 0, true)), "Win10_x64");
}

TEST(VersionBannerTest, OnLinuxTheBannerShowsTheKernelAndTheSystemsName) {
    os::OS_VERSION_FACTS facts;
    facts.systemName = "Linux";
    facts.machine = "x86_64";
    facts.major = 6;
    facts.minor = 1;
    facts.build = 158;
    EXPECT_EQ(PlatformName(facts), "Linux_x64");
    EXPECT_EQ(VersionBanner(facts),
              "WexoSvc.exe v6.2.9 build 4 (6.2.9.4), Release x64,\n    Windows v6.1 build 158,\n"
              "    Platform = Linux_x64");
    EXPECT_EQ(VersionText(), "6.2.9 build 4");
}

}  // namespace
}  // namespace wexo::svc
