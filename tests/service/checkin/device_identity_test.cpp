#include "service/checkin/device_identity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <stdlib.h>  // mkdtemp
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "os/core/clock.h"
#include "os/core/status.h"
#include "os/registry/registry.h"
#include "os/win32/accounts.h"
#include "service/support/registry_helpers.h"
#include "tests/service/log_capture.h"

namespace wexo::svc::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A sysfs and proc tree in the temporary directory, removed with the object.
class DEVICE_TREE {
  public:
    DEVICE_TREE() {
        std::string pattern = (fs::temp_directory_path() / "wexo-device-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            root_ = pattern;
        }
    }
    ~DEVICE_TREE() {
        std::error_code ignored;
        if (!root_.empty()) {
            fs::remove_all(root_, ignored);
        }
    }
    DEVICE_TREE(const DEVICE_TREE&) = delete;
    DEVICE_TREE& operator=(const DEVICE_TREE&) = delete;

    bool Made() const { return !root_.empty(); }
    std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
    os::DEVICE_FACT_SOURCES Sources() const { return {Path("proc"), Path("sys"), "x86_64"}; }
    void Write(const std::string& relative, const std::string& text) const {
        fs::create_directories(fs::path(Path(relative)).parent_path());
        std::ofstream(Path(relative)) << text;
    }
    void Link(const std::string& relative, const std::string& target) const {
        fs::create_directories(fs::path(Path(relative)).parent_path());
        fs::create_symlink(target, Path(relative));
    }
    void Interface(const std::string& name, uint32_t index, uint32_t arpType,
                   const std::string& address, bool physical, bool wireless = false) const {
        const std::string base = "sys/class/net/" + name;
        Write(base + "/ifindex", std::to_string(index));
        Write(base + "/type", std::to_string(arpType));
        Write(base + "/address", address + "\n");
        if (wireless) {
            fs::create_directories(Path(base + "/wireless"));
        }
        if (physical) {
            fs::create_directories(Path("sys/devices/" + name));
            Link(base + "/device", Path("sys/devices/" + name));
        }
    }
    void Facts(const std::string& biosSerial) const {
        Write("proc/cpuinfo",
              "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 158\n"
              "model name\t: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\nstepping\t: 10\n"
              "physical id\t: 0\ncore id\t\t: 0\n\nprocessor\t: 1\nphysical id\t: 0\n"
              "core id\t\t: 0\n");
        Write("sys/class/dmi/id/board_vendor", "Dell Inc.\n");
        Write("sys/class/dmi/id/board_serial", "/7XYZ12/CN1296/\n");
        Write("sys/class/dmi/id/product_serial", biosSerial + "\n");
    }

  private:
    std::string root_;
};

constexpr char kIdentityPrefix[] =
    "GenuineIntelx86_64 Family 6 Model 158 Stepping 10Intel(R) Core(TM) i7-8700 CPU @ "
    "3.20GHz12Dell Inc./7XYZ12/CN1296/";

// The ID worked out here from the digest's bytes one by one, apart from the code under test.
std::string ExpectedDeviceId(const std::string& identity) {
    std::string wide;
    for (char c : identity) {
        wide += c;
        wide += '\0';
    }
    unsigned char d[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(wide.data()), wide.size(), d);
    char text[40];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", d[3],
                  d[2], d[1], d[0], d[5], d[4], d[7], d[6], d[8], d[9], d[10], d[11], d[12], d[13],
                  d[14], d[15]);
    return text;
}

TEST(AdapterChoiceTest, PhysicalWirelessFirstThenPhysicalEthernet) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    tree.Interface("lo", 1, 772, "00:00:00:00:00:00", false);
    tree.Interface("docker0", 2, 1, "02:42:ac:11:00:01", false);
    tree.Interface("enp3s0", 3, 1, "00:1a:2b:3c:4d:5e", true);
    // Wireless-looking but virtual: it has no device behind it.
    tree.Interface("wlan9", 4, 1, "aa:bb:cc:dd:ee:ff", false, true);
    LOG_CAPTURE log;
    DEVICE_IDENTITY identity(tree.Sources());
    EXPECT_TRUE(identity.IsPhysicalAdapter("enp3s0"));
    EXPECT_FALSE(identity.IsPhysicalAdapter("wlan9"));
    std::string mac;
    ASSERT_TRUE(identity.GetMacAddress(&mac));
    EXPECT_EQ(mac, "00:1A:2B:3C:4D:5E");
    EXPECT_TRUE(log.Has("Wired adapter MAC address = 00:1A:2B:3C:4D:5E"));

    // A physical Wi-Fi adapter wins over the Ethernet one listed before it.
    tree.Interface("wlan0", 5, 1, "a0:b1:c2:d3:e4:f5", true, true);
    log.Clear();
    ASSERT_TRUE(identity.GetMacAddress(&mac));
    EXPECT_EQ(mac, "A0:B1:C2:D3:E4:F5");
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"Wireless adapter MAC address = A0:B1:C2:D3:E4:F5"});
}

TEST(AdapterChoiceTest, WithoutAQualifyingAdapterEveryAdapterIsLogged) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    tree.Interface("lo", 1, 772, "00:00:00:00:00:00", false);
    tree.Interface("wlan9", 2, 1, "aa:bb:cc:dd:ee:ff", false, true);
    tree.Interface("tun0", 3, 65534, "", false);
    LOG_CAPTURE log;
    DEVICE_IDENTITY identity(tree.Sources());
    std::string mac = "old";
    EXPECT_FALSE(identity.GetMacAddress(&mac));
    EXPECT_EQ(mac, "");
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{
                  "Adapter:\n    Name = lo\n    Description = \"lo\"\n    Type = LOOPBACK\n    "
                  "MAC address = 00:00:00:00:00:00",
                  "Adapter:\n    Name = wlan9\n    Description = \"wlan9\"\n    Type = WIRELESS\n"
                  "    MAC address = AA:BB:CC:DD:EE:FF",
                  "Adapter:\n    Name = tun0\n    Description = \"tun0\"\n    Type = OTHER\n    "
                  "MAC address = "}));

    // No adapter list at all: nothing qualifies either.
    DEVICE_IDENTITY nowhere(os::DEVICE_FACT_SOURCES{tree.Path("none"), tree.Path("none"), ""});
    EXPECT_FALSE(nowhere.GetMacAddress(&mac));
}

TEST(AdapterChoiceTest, TypeNamesAndAddressText) {
    const std::pair<uint32_t, const char*> names[] = {
        {1, "OTHER"},     {6, "ETHERNET"}, {9, "TOKENRING"}, {15, "FDDI"}, {23, "PPP"},
        {24, "LOOPBACK"}, {28, "SLIP"},    {71, "WIRELESS"}, {131, "131"}, {0, "0"}};
    for (const auto& [type, name] : names) {
        EXPECT_EQ(AdapterTypeName(type), name);
    }
    const uint8_t address[] = {0x00, 0x0a, 0xff, 0x10, 0x9b, 0xc7};
    EXPECT_EQ(MacAddressText(address), "00:0A:FF:10:9B:C7");
    EXPECT_EQ(MacAddressText({}), "");
}

TEST(BiosSerialTest, TheFirstRuleThatAppliesGivesTheReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "Empty or invalid"},
        {"NONE", "Empty or invalid"},
        {"invalid", "Empty or invalid"},
        {"None", "Empty or invalid"},
        {"    ", "All spaces"},
        {" ", "All spaces"},
        {"1", "Contains less than 7 characters"},
        {"AB 12", "Contains less than 7 characters"},
        {"AAAAAAAA", "Every character is the same"},
        {"0000000000", "Every character is the same"},
        {"To be filled by O.E.M.", "Contains spaces without digits"},
        {"Default string", "Contains spaces without digits"},
    };
    for (const auto& [serial, reason] : cases) {
        const char* found = InvalidBiosSerialReason(serial);
        ASSERT_NE(found, nullptr) << '"' << serial << '"';
        EXPECT_STREQ(found, reason) << '"' << serial << '"';
    }
    for (const char* serial :
         {"PF2ABCDE", "System Serial 7", "CZC1234XYZ", "NONE1234", "AAAAAAB"}) {
        EXPECT_EQ(InvalidBiosSerialReason(serial), nullptr) << serial;
    }
}

TEST(GatherDeviceInformationTest, AnInvalidSerialIsReplacedByTheMacAddressWhenThereIsOne) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    tree.Facts("To be filled by O.E.M.");
    LOG_CAPTURE log;
    DEVICE_IDENTITY identity(tree.Sources());
    EXPECT_EQ(identity.IdentityText(), "");
    ASSERT_TRUE(identity.GatherDeviceInformation("00:1A:2B:3C:4D:5E"));
    EXPECT_EQ(identity.IdentityText(), std::string(kIdentityPrefix) + "00:1A:2B:3C:4D:5E");
    EXPECT_TRUE(
        log.Has("Substituting MAC address for BIOS serial number = \"To be filled by "
                "O.E.M.\"; Contains spaces without digits"));

    log.Clear();
    ASSERT_TRUE(identity.GatherDeviceInformation(""));
    EXPECT_EQ(identity.IdentityText(), std::string(kIdentityPrefix) + "To be filled by O.E.M.");
    tree.Facts("CZC1234XYZ");
    ASSERT_TRUE(identity.GatherDeviceInformation("00:1A:2B:3C:4D:5E"));
    EXPECT_EQ(identity.IdentityText(), std::string(kIdentityPrefix) + "CZC1234XYZ");
    EXPECT_EQ(log.Count("Substituting"), 0u);
    tree.Facts("1");
    ASSERT_TRUE(identity.GatherDeviceInformation("00:1A:2B:3C:4D:5E"));
    EXPECT_TRUE(
        log.Has("Substituting MAC address for BIOS serial number = \"1\"; Contains less "
                "than 7 characters"));
}

TEST(GatherDeviceInformationTest, AFailedQueryLeavesTheIdentityTextAsItWas) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    tree.Facts("CZC1234XYZ");
    fs::remove(tree.Path("sys/class/dmi/id/product_serial"));
    DEVICE_IDENTITY identity(tree.Sources());
    EXPECT_FALSE(identity.GatherDeviceInformation("00:1A:2B:3C:4D:5E"));
    EXPECT_EQ(identity.IdentityText(), "");

    tree.Facts("CZC1234XYZ");
    ASSERT_TRUE(identity.GatherDeviceInformation(""));
    fs::remove(tree.Path("proc/cpuinfo"));
    EXPECT_FALSE(identity.GatherDeviceInformation(""));
    EXPECT_EQ(identity.IdentityText(), std::string(kIdentityPrefix) + "CZC1234XYZ");
}

TEST(UniqueDeviceIdTest, TheIdIsTheDigestOfTheWideIdentityTextAsAGuid) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    tree.Facts("CZC1234XYZ");
    DEVICE_IDENTITY identity(tree.Sources());
    // Before the facts are known the ID is that of empty text: SHA-1 da39a3ee 5e6b 4b0d 3255
    // bfef95601890..., its first three fields byte-swapped.
    EXPECT_EQ(identity.GetUniqueDeviceId(), "EEA339DA-6B5E-0D4B-3255-BFEF95601890");
    EXPECT_EQ(ExpectedDeviceId(""), "EEA339DA-6B5E-0D4B-3255-BFEF95601890");
    ASSERT_TRUE(identity.GatherDeviceInformation(""));
    const std::string expected = ExpectedDeviceId(std::string(kIdentityPrefix) + "CZC1234XYZ");
    EXPECT_EQ(identity.GetUniqueDeviceId(), expected);
    EXPECT_EQ(UniqueDeviceIdFromIdentityText("abc"), ExpectedDeviceId("abc"));

    char buffer[DEVICE_INFORMATION::kDeviceIdLength + 1];
    std::memset(buffer, 'z', sizeof buffer);
    identity.GetUniqueDeviceId(buffer);
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(buffer[36], '\0');

    // A device ID given on the command line is sent as it is; the 37th character does not fit.
    identity.SetDeviceIdOverride("my-test-device");
    EXPECT_EQ(identity.GetUniqueDeviceId(), "my-test-device");
    identity.SetDeviceIdOverride("0123456789ABCDEF0123456789ABCDEF0123X");
    identity.GetUniqueDeviceId(buffer);
    EXPECT_EQ(std::string(buffer), "0123456789ABCDEF0123456789ABCDEF0123");
    identity.SetDeviceIdOverride("");
    EXPECT_EQ(identity.GetUniqueDeviceId(), expected);
}

TEST(SystemInformationTest, TheStepGivesTheDeviceItsIdAndMarksItReady) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    tree.Facts("Default string");
    tree.Interface("eth0", 2, 1, "00:1a:2b:3c:4d:5e", true);
    LOG_CAPTURE log;
    DEVICE_IDENTITY identity(tree.Sources());
    DEVICE_INFORMATION device;
    ASSERT_TRUE(identity.GatherSystemInformation(device));
    EXPECT_TRUE(device.ReadyEvent().IsSet());
    EXPECT_EQ(identity.MacAddress(), "00:1A:2B:3C:4D:5E");
    const std::string id = ExpectedDeviceId(std::string(kIdentityPrefix) + "00:1A:2B:3C:4D:5E");
    EXPECT_EQ(device.GetUniqueDeviceId(), id);

    const std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "Getting MAC address ...");
    EXPECT_EQ(lines[1], "Wired adapter MAC address = 00:1A:2B:3C:4D:5E");
    EXPECT_THAT(lines[2], StartsWith("MAC address query completed in "));
    EXPECT_THAT(lines[2], HasSubstr(" seconds,\n    MAC address = 00:1A:2B:3C:4D:5E"));
    EXPECT_EQ(lines[3], "WMI query ...");
    EXPECT_THAT(lines[4], StartsWith("Substituting MAC address"));
    EXPECT_THAT(lines[5], StartsWith("WMI query completed in "));
    EXPECT_THAT(lines[5], HasSubstr(" seconds,\n    Unique Device ID = " + id));
    double seconds = -1;
    EXPECT_EQ(std::sscanf(lines[5].c_str(), "WMI query completed in %lf", &seconds), 1);
    EXPECT_GE(seconds, 0.0);
}

TEST(SystemInformationTest, WithoutFactsTheDeviceIsStillReady) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    DEVICE_IDENTITY identity(tree.Sources());
    DEVICE_INFORMATION device;
    EXPECT_FALSE(identity.GatherSystemInformation(device));
    EXPECT_TRUE(device.ReadyEvent().IsSet());
    EXPECT_EQ(identity.MacAddress(), "");
    EXPECT_EQ(device.GetUniqueDeviceId(), "EEA339DA-6B5E-0D4B-3255-BFEF95601890");
}

class CloudAccountTest : public ::testing::Test {
  protected:
    static constexpr char kSid[] = "S-1-22-1-1001";
    void Key(os::PredefinedKey root, const std::string& path) {
        os::RegKey key;
        ASSERT_EQ(os::RegCreateKeyEx(os::RegKey(root), path, key), os::ERROR_SUCCESS) << path;
    }
    void IdentityStore(const std::string& sid, const std::string& userName) {
        os::RegKey key;
        ASSERT_EQ(os::RegCreateKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE),
                                     "SOFTWARE\\Microsoft\\IdentityStore\\Cache\\" + sid +
                                         "\\IdentityCache\\" + sid,
                                     key),
                  os::ERROR_SUCCESS);
        ASSERT_TRUE(WriteRegistryString(key, "UserName", userName));
    }
    void Stored(const std::string& account, const std::string& sid) {
        Key(os::HKEY_USERS, ".DEFAULT\\SOFTWARE\\Microsoft\\IdentityCRL\\StoredIdentities\\" +
                                account + "\\" + sid);
    }
    static bool User1001(uint32_t, std::vector<uint8_t>* sid) {
        *sid = UnixUserSid(1001);
        return true;
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    LOG_CAPTURE log_;
};

TEST_F(CloudAccountTest, TheIdentityStoreIsAskedFirst) {
    IdentityStore(kSid, "alice@contoso.com");
    Stored("other@example.org", kSid);
    std::string account;
    ASSERT_TRUE(GetMicrosoftAccountForSid(UnixUserSid(1001), &account));
    EXPECT_EQ(account, "alice@contoso.com");
    EXPECT_TRUE(log_.Has("Looking for SID = S-1-22-1-1001 in IdentityStore ..."));
    EXPECT_TRUE(
        log_.Has("Account from IdentityStore:\n    SID = S-1-22-1-1001,\n    MicrosoftAccount = "
                 "alice@contoso.com"));
    EXPECT_EQ(log_.Count("IdentityCRL"), 0u);
}

TEST_F(CloudAccountTest, StoredIdentitiesNameTheAccountThatHoldsTheSid) {
    Stored("aaron@example.org", "S-1-22-1-2000");
    Stored("bob@example.org", kSid);
    std::string account;
    ASSERT_TRUE(GetMicrosoftAccountForSid(UnixUserSid(1001), &account));
    EXPECT_EQ(account, "bob@example.org");
    EXPECT_TRUE(log_.Has("Looking for SID = S-1-22-1-1001 in IdentityCRL ..."));
    EXPECT_TRUE(log_.Has("Identity: Subkey = \"aaron@example.org\", SID = S-1-22-1-1001"));
    EXPECT_TRUE(log_.Has("Identity: Subkey = \"bob@example.org\", SID = S-1-22-1-1001"));
    EXPECT_TRUE(
        log_.Has("Account from StoredIdentities:\n    SID = S-1-22-1-1001,\n    MicrosoftAccount = "
                 "bob@example.org"));
}

TEST_F(CloudAccountTest, NoAccountAndUnreadableEntries) {
    std::string account = "unchanged";
    EXPECT_FALSE(GetMicrosoftAccountForSid(UnixUserSid(1001), &account));
    EXPECT_EQ(log_.Count("Unable"), 0u);  // missing keys are no failure

    // A user name of the wrong type is logged with its value and key; the caches are asked on.
    const std::string path =
        "SOFTWARE\\Microsoft\\IdentityStore\\Cache\\S-1-22-1-1001\\"
        "IdentityCache\\S-1-22-1-1001";
    os::RegKey key;
    ASSERT_EQ(os::RegCreateKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE), path, key), os::ERROR_SUCCESS);
    ASSERT_TRUE(WriteRegistryDword(key, "UserName", 7));
    Stored("bob@example.org", kSid);
    ASSERT_TRUE(GetMicrosoftAccountForSid(UnixUserSid(1001), &account));
    EXPECT_EQ(account, "bob@example.org");
    EXPECT_EQ(log_.Count("\"UserName\" of key \"HKEY_LOCAL_MACHINE\\" + path + "\""), 1u);
    EXPECT_EQ(log_.Count("Error code = 1804."), 1u);

    const uint8_t garbage[] = {1, 5, 0};
    EXPECT_FALSE(GetMicrosoftAccountForSid(garbage, &account));
    EXPECT_EQ(log_.Count("Unable to convert Security ID.\n    "), 1u);
}

TEST_F(CloudAccountTest, TheDomainIsWhatFollowsTheLastAt) {
    std::string domain = "unchanged";
    IdentityStore(kSid, "carol@old@sub.example.com");
    ASSERT_TRUE(GetCloudDomainForSessionId(3, User1001, &domain));
    EXPECT_EQ(domain, "sub.example.com");
    EXPECT_TRUE(
        log_.Has("GetCloudDomainForSessionId: SessionId = 3, Domain = \"sub.example.com\""));

    IdentityStore(kSid, "carol");
    domain = "unchanged";
    EXPECT_FALSE(GetCloudDomainForSessionId(3, User1001, &domain));
    EXPECT_EQ(domain, "unchanged");
    EXPECT_TRUE(log_.Has(
        "GetCloudDomainForSessionId: SessionId = 3, Unexpected Microsoft account = \"carol\""));

    // A user without an account has no domain.
    auto user2002 = [](uint32_t, std::vector<uint8_t>* sid) {
        *sid = UnixUserSid(2002);
        return true;
    };
    EXPECT_FALSE(GetCloudDomainForSessionId(3, user2002, &domain));
    EXPECT_EQ(domain, "unchanged");
}

// Each connection's lookup asks who its SID is: the answer is kept for a lifetime, per SID, so
// a change of account shows within it and not before.
TEST_F(CloudAccountTest, AnAccountIsReadOnceALifetimePerSid) {
    os::VirtualClock clock;
    ACCOUNT_NAMES names;
    auto get = [&names](uint32_t uid) {
        std::string domain, user;
        names.Get(UnixUserSid(uid), &domain, &user);
        return domain + "|" + user;
    };
    IdentityStore(kSid, "alice@contoso.com");
    EXPECT_EQ(get(1001), "contoso.com|alice@contoso.com");
    IdentityStore(kSid, "alice@fabrikam.com");
    IdentityStore("S-1-22-1-1002", "bob@example.org");
    clock.Advance(
        std::chrono::milliseconds(ACCOUNT_NAMES::kLifetime / os::kTicksPerMillisecond - 1));
    EXPECT_EQ(get(1001), "contoso.com|alice@contoso.com");
    EXPECT_EQ(get(1002), "example.org|bob@example.org");
    EXPECT_EQ(log_.Count("Looking for SID = S-1-22-1-1001 in IdentityStore"), 1u);
    clock.Advance(std::chrono::milliseconds(1));
    EXPECT_EQ(get(1001), "fabrikam.com|alice@fabrikam.com");
}

TEST_F(CloudAccountTest, SessionZeroAndSessionsWithoutAUser) {
    IdentityStore(kSid, "alice@contoso.com");
    bool asked = false;
    auto user = [&](uint32_t, std::vector<uint8_t>* sid) {
        asked = true;
        *sid = UnixUserSid(1001);
        return true;
    };
    std::string domain;
    EXPECT_FALSE(GetCloudDomainForSessionId(0, user, &domain));
    EXPECT_FALSE(asked);
    EXPECT_TRUE(log_.Has("GetCloudDomainForSessionId: No console logon"));

    auto noUser = [](uint32_t, std::vector<uint8_t>*) {
        os::SetLastError(os::ERROR_ACCESS_DENIED);
        return false;
    };
    EXPECT_FALSE(GetCloudDomainForSessionId(5, noUser, &domain));
    EXPECT_TRUE(
        log_.Has("GetCloudDomainForSessionId: SessionId = 5. Unable to get user security "
                 "token.\n    " +
                 os::SystemMessageText(os::ERROR_ACCESS_DENIED) + ". Error code = 5."));
    EXPECT_EQ(domain, "");
}

TEST_F(CloudAccountTest, TheAccountOfAUserWithAMicrosoftAccountIsThatAccount) {
    IdentityStore(kSid, "dave@school.example");
    std::string domain, user;
    EXPECT_TRUE(GetAccountForSid(UnixUserSid(1001), &domain, &user));
    EXPECT_EQ(domain, "school.example");
    EXPECT_EQ(user, "dave@school.example");
    // An account without "@" does not name a domain: the user database is asked instead.
    IdentityStore(kSid, "dave");
    const uint32_t self = static_cast<uint32_t>(getuid());
    IdentityStore("S-1-22-1-" + std::to_string(self), "local-name");
    EXPECT_TRUE(GetAccountForSid(UnixUserSid(self), &domain, &user));
    EXPECT_EQ(domain, ComputerAccountDomain());
    EXPECT_EQ(user, domain + "\\" + os::LookupUserName(self));
}

TEST_F(CloudAccountTest, TheSessionTokensUserIsLookedUp) {
    IdentityStore(kSid, "erin@tenant.example");
    uint32_t askedFor = 0;
    const SESSION_USER_TOKEN token = [&](uint32_t session, TOKEN_HANDLE* handle) {
        askedFor = session;
        auto made = std::make_unique<os::ACCESS_TOKEN>();
        made->userSid = UnixUserSid(1001);
        made->sessionId = session;
        *handle = TOKEN_HANDLE(std::move(made));
        return true;
    };
    std::string domain;
    ASSERT_TRUE(GetCloudDomainForSessionId(7, token, &domain));
    EXPECT_EQ(askedFor, 7u);
    EXPECT_EQ(domain, "tenant.example");

    // A token without a user SID: the read fails with 4312 and there is no domain.
    const SESSION_USER_TOKEN empty = [](uint32_t, TOKEN_HANDLE* handle) {
        *handle = TOKEN_HANDLE(std::make_unique<os::ACCESS_TOKEN>());
        return true;
    };
    domain.clear();
    EXPECT_FALSE(GetCloudDomainForSessionId(7, empty, &domain));
    EXPECT_EQ(domain, "");
}

TEST(TokenHandleTest, TheUserAndSessionOfAProcessToken) {
    LOG_CAPTURE log;
    std::unique_ptr<os::ACCESS_TOKEN> raw;
    ASSERT_TRUE(os::OpenProcessToken(static_cast<uint32_t>(getpid()), &raw));
    TOKEN_HANDLE token(std::move(raw));
    std::vector<uint8_t> sid;
    ASSERT_TRUE(token.GetUser(&sid));
    EXPECT_EQ(sid, UnixUserSid(static_cast<uint32_t>(geteuid())));
    uint32_t session = 0xFFFF;
    EXPECT_TRUE(token.GetSessionId(&session));
    EXPECT_NE(session, 4294967295u);  // outside a login session is session 0

    // The size asked for first, then the read; a class the system does not know is logged.
    uint32_t length = 0;
    EXPECT_NE(token.GetInformation(os::TokenUser, &length), nullptr);
    EXPECT_EQ(length, sizeof(os::TOKEN_USER) + sid.size());
    EXPECT_EQ(token.GetInformation(99, &length), nullptr);
    EXPECT_TRUE(log.Has("TOKEN_HANDLE::GetInformation: GetTokenInformation class = 99 failed. " +
                        os::SystemMessageText(os::ERROR_INVALID_PARAMETER) + ". Error code = 87."));

    TOKEN_HANDLE none;
    EXPECT_FALSE(none.GetUser(&sid));
    TOKEN_HANDLE noSid(std::make_unique<os::ACCESS_TOKEN>());
    EXPECT_FALSE(noSid.GetUser(&sid));
    EXPECT_EQ(os::GetLastError(), 4312u);
    // A process that is not there has no token.
    EXPECT_FALSE(os::OpenProcessToken(4'000'000'000u, &raw));
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
}

TEST(DeviceFailureLinesTest, WhereTheLinuxStepsFailTheWindowsLinesAreWritten) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    LOG_CAPTURE log;
    DEVICE_IDENTITY identity(tree.Sources());
    // No network class folder: the adapters cannot be enumerated.
    EXPECT_FALSE(identity.IsPhysicalAdapter("eth0"));
    EXPECT_TRUE(log.Has("GetEnumComponents: Unable to create INetCfg instance. " +
                        os::SystemMessageText(os::ERROR_FILE_NOT_FOUND) + ". Error code = 0x2."));
    tree.Interface("eth0", 2, 1, "00:1a:2b:3c:4d:5e", true);
    EXPECT_TRUE(identity.IsPhysicalAdapter("eth0"));
    log.Clear();
    EXPECT_FALSE(identity.IsPhysicalAdapter("../eth0"));
    EXPECT_THAT(log.Lines().at(0), StartsWith("IsPhysicalAdapter: Unable to get bind name. "));
    // An interface entry that loops cannot be looked at.
    tree.Link("sys/class/net/loop0", tree.Path("sys/class/net/loop0"));
    log.Clear();
    EXPECT_FALSE(identity.IsPhysicalAdapter("loop0"));
    EXPECT_THAT(log.Lines().at(0),
                StartsWith("IsPhysicalAdapter: Unable to get characteristics. "));
    // Not there at all is just not physical.
    log.Clear();
    EXPECT_FALSE(identity.IsPhysicalAdapter("wlan7"));
    EXPECT_TRUE(log.Lines().empty());

    // No DMI folder: nothing to ask the facts of.
    log.Clear();
    EXPECT_FALSE(identity.GatherDeviceInformation(""));
    EXPECT_TRUE(log.Has("WmiGetServices: Unable to connect to WMI server. " +
                        os::SystemMessageText(os::ERROR_FILE_NOT_FOUND) + ". Error code = 0x2."));
    tree.Facts("CZC1234XYZ");
    fs::remove(tree.Path("sys/class/dmi/id/product_serial"));
    log.Clear();
    EXPECT_FALSE(identity.GatherDeviceInformation(""));
    EXPECT_TRUE(log.Has("WMI query \"SELECT * FROM Win32_Bios\" failed. " +
                        os::SystemMessageText(os::ERROR_FILE_NOT_FOUND) + ". Error code = 2."));
}

// The whole system-information step over a sysfs and DMI tree, twice, as two starts of the
// service would run it.
std::string DeviceIdOf(const DEVICE_TREE& tree) {
    DEVICE_IDENTITY identity(tree.Sources());
    DEVICE_INFORMATION device;
    identity.GatherSystemInformation(device);
    return device.GetUniqueDeviceId();
}

TEST(DeviceIdFromTreeTest, TheIdIsStableAndFollowsTheMacOnlyWithoutAUsableSerial) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    tree.Interface("enp0s31f6", 2, 1, "00:1a:2b:3c:4d:5e", true);
    tree.Interface("wlp2s0", 3, 1, "a0:b1:c2:d3:e4:f5", true, true);
    tree.Facts("CZC1234XYZ");
    LOG_CAPTURE log;
    const std::string withSerial = DeviceIdOf(tree);
    EXPECT_EQ(withSerial, ExpectedDeviceId(std::string(kIdentityPrefix) + "CZC1234XYZ"));
    EXPECT_EQ(DeviceIdOf(tree), withSerial);
    EXPECT_TRUE(log.Has("Wireless adapter MAC address = A0:B1:C2:D3:E4:F5"));
    // A good serial identifies the device whatever adapter it has now.
    tree.Write("sys/class/net/wlp2s0/address", "a0:b1:c2:d3:e4:00\n");
    EXPECT_EQ(DeviceIdOf(tree), withSerial);

    // Without a BIOS serial the wireless MAC stands in for it.
    tree.Write("sys/class/net/wlp2s0/address", "a0:b1:c2:d3:e4:f5\n");
    tree.Write("sys/class/dmi/id/product_serial", "\n");
    const std::string withMac = DeviceIdOf(tree);
    EXPECT_EQ(withMac, ExpectedDeviceId(std::string(kIdentityPrefix) + "A0:B1:C2:D3:E4:F5"));
    EXPECT_EQ(DeviceIdOf(tree), withMac);
    EXPECT_TRUE(
        log.Has("Substituting MAC address for BIOS serial number = \"\"; Empty or invalid"));
    tree.Write("sys/class/net/wlp2s0/address", "a0:b1:c2:d3:e4:00\n");
    const std::string otherMac = DeviceIdOf(tree);
    EXPECT_NE(otherMac, withMac);
    EXPECT_EQ(otherMac, ExpectedDeviceId(std::string(kIdentityPrefix) + "A0:B1:C2:D3:E4:00"));
    // Without the Wi-Fi adapter, the wired one's MAC.
    fs::remove_all(tree.Path("sys/class/net/wlp2s0"));
    EXPECT_EQ(DeviceIdOf(tree),
              ExpectedDeviceId(std::string(kIdentityPrefix) + "00:1A:2B:3C:4D:5E"));
}

TEST(DeviceIdFromTreeTest, UnreadableAndGarbageDmiFilesFallBack) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    tree.Interface("eth0", 2, 1, "00:1a:2b:3c:4d:5e", true);
    tree.Facts("CZC1234XYZ");
    // A file that cannot be read (here a folder in its place; a root-only file for another
    // user) is a failed query: no identity text, the ID of empty text, the device still ready.
    fs::remove(tree.Path("sys/class/dmi/id/board_serial"));
    fs::create_directories(tree.Path("sys/class/dmi/id/board_serial"));
    const std::string kEmptyTextId = "EEA339DA-6B5E-0D4B-3255-BFEF95601890";
    EXPECT_EQ(DeviceIdOf(tree), kEmptyTextId);
    fs::remove(tree.Path("sys/class/dmi/id/board_serial"));
    tree.Write("sys/class/dmi/id/board_serial", "/7XYZ12/CN1296/\n");

    // Vendor placeholders and junk are the invalid serials of the rules: the MAC stands in.
    const std::string macId = ExpectedDeviceId(std::string(kIdentityPrefix) + "00:1A:2B:3C:4D:5E");
    for (const char* placeholder :
         {"To Be Filled By O.E.M.", "Default string", "System Serial Number", "None", "0",
          "        ", "00000000", "\x01\x02\x03"}) {
        tree.Write("sys/class/dmi/id/product_serial", std::string(placeholder) + "\n");
        EXPECT_EQ(DeviceIdOf(tree), macId) << placeholder;
    }
    // Bytes that are no text still give one well-formed ID, the same each time.
    tree.Write("sys/class/dmi/id/product_serial", "\xff\xfe\xfd\xc3\x28\xa0\xa1\x80\n");
    const std::string junk = DeviceIdOf(tree);
    EXPECT_EQ(junk.size(), 36u);
    EXPECT_EQ(DeviceIdOf(tree), junk);
    EXPECT_NE(junk, macId);
    // A processor list without the fields the processor class needs is a failed query too.
    tree.Write("proc/cpuinfo", "garbage without colons\n\n\n");
    EXPECT_EQ(DeviceIdOf(tree), kEmptyTextId);
}

TEST(ShowProcessesTest, OneLinePerProcessWithWhatCouldBeRead) {
    DEVICE_TREE tree;
    ASSERT_TRUE(tree.Made());
    auto process = [&](uint32_t pid, const char* comm, const char* session, const char* exe) {
        const std::string base = "proc/" + std::to_string(pid);
        tree.Write(base + "/comm", std::string(comm) + "\n");
        if (session != nullptr) {
            tree.Write(base + "/sessionid", session);
        }
        if (exe != nullptr) {
            tree.Link(base + "/exe", exe);
        }
    };
    process(1, "systemd", "4294967295", "/usr/lib/systemd/systemd");
    process(4, "kworker/0:0H", "4294967295", nullptr);  // the System process's ID is passed over
    process(88, "kthreadd", "4294967295", nullptr);
    process(90, "nosession", nullptr, "/usr/bin/nosession");
    process(1200, "bash", "3", "/usr/bin/bash");
    LOG_CAPTURE log;
    ASSERT_TRUE(ShowProcesses(tree.Path("proc")));
    const std::string ended = os::SystemMessageText(os::ERROR_INVALID_PARAMETER);
    const std::string missing = os::SystemMessageText(os::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "PID=1, SID=0, Name=systemd, Path=/usr/lib/systemd/systemd",
                               "Unable to open process ID = 88. " + ended + ". Error code = 87.",
                               "PID=88, SID=0, Name=kthreadd",
                               "Unable to get the session ID for process ID = 90. " + missing +
                                   ". Error code = 2.",
                               "PID=90, Name=nosession, Path=/usr/bin/nosession",
                               "PID=1200, SID=3, Name=bash, Path=/usr/bin/bash",
                           }));

    log.Clear();
    EXPECT_FALSE(ShowProcesses(tree.Path("none")));
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"Unable to get snapshot of running proceses. " + missing +
                                        ". Error code = 2."}));
}

}  // namespace
}  // namespace wexo::svc::testing
