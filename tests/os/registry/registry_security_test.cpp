#include "os/registry/registry_security.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "os/core/process.h"
#include "os/core/sid.h"
#include "os/registry/registry.h"
#include "os/registry/registry_file.h"

namespace os {
namespace {

constexpr uint32_t kNobody = 65534;

// A process of a user of this machine, acting on the calling thread while the object lives.
class AS_USER {
  public:
    explicit AS_USER(std::vector<uint8_t> sid)
        : process_(CreateProcess(std::move(sid), 1, "C:\\user.exe")), context_(process_->Id()) {}
    explicit AS_USER(uint32_t uid) : AS_USER(UnixUserSid(uid)) {}
    ~AS_USER() { TerminateProcess(process_->Id()); }

  private:
    std::shared_ptr<PROCESS> process_;
    ScopedProcessContext context_;
};

class RegistrySecurityTest : public ::testing::Test {
  protected:
    RegistrySecurityTest() : store_(RegistryStore::CreateInMemory()), scope_(store_) {}

    RegKey Key(PredefinedKey root, const std::string& path,
               const REG_SECURITY* security = nullptr) {
        RegKey key;
        EXPECT_EQ(RegCreateKeyEx(RegKey(root), path, key, nullptr, security), ERROR_SUCCESS)
            << path;
        return key;
    }
    RegKey Machine(const std::string& path, const REG_SECURITY* security = nullptr) {
        return Key(HKEY_LOCAL_MACHINE, path, security);
    }
    static uint32_t Set(const RegKey& key) {
        return RegSetValueEx(key, "V", REG_DWORD, RegDwordData(1));
    }

    std::shared_ptr<RegistryStore> store_;
    ScopedSystemRegistry scope_;
};

// Who counts as the system or an administrator: everyone else reads HKLM and changes nothing.
TEST_F(RegistrySecurityTest, OnlyTheSystemAndAdministratorsChangeTheMachineKeys) {
    RegKey key = Machine("SOFTWARE\\Microsoft\\IdentityStore\\Cache");
    const uint32_t users[] = {32, 545};
    const struct {
        std::vector<uint8_t> sid;
        uint32_t expected;
    } cases[] = {
        {{}, ERROR_SUCCESS},  // a process of the system's own
        {LocalSystemSid(), ERROR_SUCCESS},
        {AdministratorsSid(), ERROR_SUCCESS},
        {UnixUserSid(0), ERROR_SUCCESS},
        {UnixUserSid(static_cast<uint32_t>(::geteuid())), ERROR_SUCCESS},
        {UnixUserSid(kNobody), ERROR_ACCESS_DENIED},
        {UnixUserSid(1000), ERROR_ACCESS_DENIED},
        {MakeSid(5, users), ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        AS_USER user(c.sid);
        EXPECT_EQ(Set(key), c.expected) << c.sid.size();
        REG_VALUE value;
        EXPECT_NE(RegQueryValue(key, "V", value), ERROR_ACCESS_DENIED) << "every user reads";
    }
    {
        ScopedProcessContext unknown(4000);  // no such process: the system's own threads
        EXPECT_EQ(Set(key), ERROR_SUCCESS);
    }
    store_->SetAccessCheck(false);
    AS_USER nobody(kNobody);
    EXPECT_EQ(Set(key), ERROR_SUCCESS) << "the test hook lets everyone through";
}

// Each operation asks for its own right and no other: granted everything else it is refused,
// granted that right alone it goes through.
TEST_F(RegistrySecurityTest, EachOperationAsksForItsOwnRight) {
    struct OPERATION {
        const char* name;
        uint32_t right;
        std::function<uint32_t(const RegKey& key)> run;
    };
    const std::vector<OPERATION> operations = {
        {"open", KEY_READ,
         [](const RegKey& key) {
             RegKey opened;
             return RegOpenKeyEx(key, "", opened);
         }},
        {"query", KEY_QUERY_VALUE,
         [](const RegKey& key) {
             REG_VALUE value;
             return RegQueryValue(key, "V", value);
         }},
        {"enumerate values", KEY_QUERY_VALUE,
         [](const RegKey& key) {
             std::string name;
             return RegEnumValue(key, 0, name);
         }},
        {"info", KEY_QUERY_VALUE,
         [](const RegKey& key) {
             REG_KEY_INFO info;
             return RegQueryInfoKey(key, info);
         }},
        {"enumerate keys", KEY_ENUMERATE_SUB_KEYS,
         [](const RegKey& key) {
             std::string name;
             return RegEnumKeyEx(key, 0, name);
         }},
        {"notify", KEY_NOTIFY,
         [](const RegKey& key) {
             Event event(EventType::Notification, false);
             return RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, event);
         }},
        {"set", KEY_SET_VALUE, [](const RegKey& key) { return Set(key); }},
        {"delete value", KEY_SET_VALUE, [](const RegKey& key) { return RegDeleteValue(key, "V"); }},
        {"create", KEY_CREATE_SUB_KEY,
         [](const RegKey& key) {
             RegKey created;
             return RegCreateKeyEx(key, "New\\Deeper", created);
         }},
        {"create existing", KEY_CREATE_SUB_KEY,
         [](const RegKey& key) {
             RegKey created;
             return RegCreateKeyEx(key, "", created);
         }},
        {"get security", READ_CONTROL,
         [](const RegKey& key) {
             REG_SECURITY security;
             return RegGetKeySecurity(key, security);
         }},
        {"set security", WRITE_DAC,
         [](const RegKey& key) {
             return RegSetKeySecurity(key, {{}, {{UsersSid(), KEY_READ}}});
         }},
        {"rename", KEY_WRITE, [](const RegKey& key) { return RegRenameKey(key, "", "Renamed"); }},
        {"delete", KEY_DELETE, [](const RegKey& key) { return RegDeleteKey(key, ""); }},
    };
    const std::vector<uint8_t> nobody = UnixUserSid(kNobody);
    int round = 0;
    for (const OPERATION& operation : operations) {
        for (const bool granted : {false, true}) {
            // Owned by an administrator, so that owning it grants nothing.
            const REG_SECURITY rule{
                AdministratorsSid(),
                {{nobody, granted ? operation.right : KEY_ALL_ACCESS & ~operation.right}}};
            const std::string path = "SOFTWARE\\Rights\\" + std::to_string(++round);
            RegKey key = Machine(path, &rule);
            ASSERT_EQ(Set(key), ERROR_SUCCESS);
            AS_USER user(nobody);
            EXPECT_EQ(operation.run(key) == ERROR_ACCESS_DENIED, !granted)
                << operation.name << (granted ? " with its right" : " without its right");
        }
    }
}

TEST_F(RegistrySecurityTest, NewKeysInheritTheirParentsRuleOrTakeTheOneGiven) {
    const REG_SECURITY open{{}, {{EveryoneSid(), KEY_ALL_ACCESS}}};
    RegKey parent = Machine("SOFTWARE\\Product");
    RegKey shared = Machine("SOFTWARE\\Product\\Shared\\Drop", &open);
    RegKey middle = Machine("SOFTWARE\\Product\\Shared");
    REG_SECURITY security;
    ASSERT_EQ(RegGetKeySecurity(shared, security), ERROR_SUCCESS);
    EXPECT_EQ(security.owner, AdministratorsSid()) << "an administrator's empty owner";
    EXPECT_EQ(security.entries, open.entries);
    ASSERT_EQ(RegGetKeySecurity(middle, security), ERROR_SUCCESS);
    EXPECT_EQ(security, MachineKeySecurity()) << "only the last key gets the rule given";
    {
        AS_USER user(kNobody);
        EXPECT_EQ(Set(shared), ERROR_SUCCESS);
        RegKey below;
        EXPECT_EQ(RegCreateKeyEx(shared, "Below", below), ERROR_SUCCESS);
        ASSERT_EQ(RegGetKeySecurity(below, security), ERROR_SUCCESS);
        EXPECT_EQ(security.entries, open.entries) << "inherited from its parent";
        EXPECT_EQ(Set(middle), ERROR_ACCESS_DENIED);
    }
    // A changed rule is the key's own: the subkeys that exist keep theirs, new ones take it.
    RegKey before = Machine("SOFTWARE\\Product\\Before");
    ASSERT_EQ(RegSetKeySecurity(parent, open), ERROR_SUCCESS);
    RegKey after = Machine("SOFTWARE\\Product\\After");
    AS_USER user(kNobody);
    EXPECT_EQ(Set(parent), ERROR_SUCCESS);
    EXPECT_EQ(Set(before), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Set(after), ERROR_SUCCESS);
}

TEST_F(RegistrySecurityTest, AUsersHiveIsTheirsAndNoOneElses) {
    RegKey hive = Key(HKEY_USERS, "S-1-22-1-1000\\Software");
    RegKey classes = Key(HKEY_USERS, "S-1-22-1-1000_Classes");
    RegKey system = Key(HKEY_USERS, "S-1-5-18\\Software");
    REG_SECURITY security;
    ASSERT_EQ(RegGetKeySecurity(hive, security), ERROR_SUCCESS);
    EXPECT_EQ(security.owner, UnixUserSid(1000));
    {
        AS_USER owner(1000);
        EXPECT_EQ(Set(hive), ERROR_SUCCESS);
        EXPECT_EQ(Set(classes), ERROR_SUCCESS);
        RegKey mine;
        EXPECT_EQ(RegCreateKeyEx(hive, "Mine", mine), ERROR_SUCCESS);
        EXPECT_EQ(Set(system), ERROR_ACCESS_DENIED) << "the system's hive is the system's";
        RegKey defaults;
        EXPECT_EQ(RegCreateKeyEx(RegKey(HKEY_USERS), ".DEFAULT\\Software\\X", defaults),
                  ERROR_ACCESS_DENIED);
    }
    AS_USER other(kNobody);
    RegKey opened;
    EXPECT_EQ(RegOpenKeyEx(RegKey(HKEY_USERS), "S-1-22-1-1000\\Software", opened),
              ERROR_ACCESS_DENIED);
    REG_VALUE value;
    EXPECT_EQ(RegQueryValue(hive, "V", value), ERROR_ACCESS_DENIED);
    std::string name;
    EXPECT_EQ(RegEnumKeyEx(RegKey(HKEY_USERS), 0, name), ERROR_SUCCESS) << "names are public";
}

// An owner may change its key's rule without any entry granting it; only an administrator gives
// a key away.
TEST_F(RegistrySecurityTest, OwnersChangeTheirRulesAndOnlyAdministratorsGiveKeysAway) {
    const std::vector<uint8_t> nobody = UnixUserSid(kNobody);
    const REG_SECURITY theirs{nobody, {}};
    RegKey key = Machine("SOFTWARE\\Theirs", &theirs);
    AS_USER user(nobody);
    EXPECT_EQ(Set(key), ERROR_ACCESS_DENIED);
    REG_SECURITY security;
    ASSERT_EQ(RegGetKeySecurity(key, security), ERROR_SUCCESS);
    security.entries.push_back({nobody, KEY_ALL_ACCESS});
    ASSERT_EQ(RegSetKeySecurity(key, security), ERROR_SUCCESS);
    EXPECT_EQ(Set(key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetKeySecurity(key, {UnixUserSid(1000), {}}), ERROR_INVALID_OWNER);
    RegKey given;
    EXPECT_EQ(RegCreateKeyEx(key, "Given", given, nullptr, &theirs), ERROR_SUCCESS);
    const REG_SECURITY away{UnixUserSid(1000), {}};
    EXPECT_EQ(RegCreateKeyEx(key, "Away", given, nullptr, &away), ERROR_INVALID_OWNER);
    const REG_SECURITY broken{{1, 2, 3}, {}};
    EXPECT_EQ(RegSetKeySecurity(key, broken), ERROR_INVALID_SECURITY_DESCR);
}

TEST(RegistrySecurityEncoding, OnlyWholeWellFormedDescriptorsDecode) {
    const REG_SECURITY security = MachineKeySecurity();
    const std::vector<uint8_t> bytes = EncodeRegSecurity(security);
    REG_SECURITY decoded;
    ASSERT_TRUE(DecodeRegSecurity(bytes, &decoded));
    EXPECT_EQ(decoded, security);
    for (size_t length = 0; length < bytes.size(); ++length) {
        EXPECT_FALSE(DecodeRegSecurity({bytes.data(), length}, &decoded)) << length;
    }
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(DecodeRegSecurity(longer, &decoded));
    std::vector<uint8_t> revision = bytes;
    revision[1] = 2;  // the owner's revision
    EXPECT_FALSE(DecodeRegSecurity(revision, &decoded));
    REG_SECURITY crowded{AdministratorsSid(), {}};
    crowded.entries.assign(kMaxRegAces + 1, {UsersSid(), KEY_READ});
    EXPECT_FALSE(DecodeRegSecurity(EncodeRegSecurity(crowded), &decoded));
}

class RegistrySecurityFileTest : public ::testing::Test {
  protected:
    RegistrySecurityFileTest() {
        char pattern[] = "/tmp/wexo-regsec-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        path_ = folder_ + "/registry.dat";
    }
    ~RegistrySecurityFileTest() override { std::filesystem::remove_all(folder_); }

    std::string folder_;
    std::string path_;
};

TEST_F(RegistrySecurityFileTest, RulesSurviveAReopenAndOnlyTheOwnOnesAreWritten) {
    const REG_SECURITY open{AdministratorsSid(), {{EveryoneSid(), KEY_ALL_ACCESS}}};
    {
        auto store = RegistryStore::OpenFile(path_, {});
        ASSERT_NE(store, nullptr);
        RegKey key;
        ASSERT_EQ(store->CreateKey(nullptr, "\\REGISTRY\\MACHINE\\SOFTWARE\\Open\\Inner", key,
                                   nullptr, &open),
                  STATUS_SUCCESS);
        ASSERT_EQ(store->CreateKey(nullptr, "\\REGISTRY\\USER\\S-1-22-1-1000", key, nullptr),
                  STATUS_SUCCESS);
        ASSERT_EQ(store->CreateKey(nullptr, "\\REGISTRY\\MACHINE\\SOFTWARE\\Open\\Inner\\Below",
                                   key, nullptr),
                  STATUS_SUCCESS);
    }
    auto store = RegistryStore::OpenFile(path_, {});
    ASSERT_NE(store, nullptr);
    auto rule = [&](const std::string& path) {
        RegKey key;
        REG_SECURITY security;
        EXPECT_EQ(store->OpenKey(nullptr, path, key), STATUS_SUCCESS) << path;
        EXPECT_EQ(store->QueryKeySecurity(key, security), STATUS_SUCCESS);
        return security;
    };
    EXPECT_EQ(rule("\\REGISTRY\\MACHINE\\SOFTWARE\\Open\\Inner"), open);
    EXPECT_EQ(rule("\\REGISTRY\\MACHINE\\SOFTWARE\\Open\\Inner\\Below"), open);
    EXPECT_EQ(rule("\\REGISTRY\\MACHINE\\SOFTWARE\\Open"), MachineKeySecurity());
    EXPECT_EQ(rule("\\REGISTRY\\USER\\S-1-22-1-1000"), UserHiveSecurity(UnixUserSid(1000)));

    // Only the key given a rule of its own carries one in the file.
    std::ifstream in(path_, std::ios::binary);
    const std::vector<uint8_t> image{std::istreambuf_iterator<char>(in), {}};
    registry_file::ImageKey root;
    ASSERT_EQ(registry_file::ParseImage(image, root), registry_file::ParseError::None);
    std::vector<std::string> carried;
    std::function<void(const registry_file::ImageKey&, const std::string&)> walk =
        [&](const registry_file::ImageKey& key, const std::string& path) {
            if (!key.security.empty())
                carried.push_back(path + key.name);
            for (const auto& subkey : key.subkeys)
                walk(subkey, path + key.name + "\\");
        };
    walk(root, "");
    EXPECT_EQ(carried, std::vector<std::string>{"REGISTRY\\MACHINE\\SOFTWARE\\Open\\Inner"});
}

// A store written before keys had rules (format 1) opens with the rules their places give.
TEST_F(RegistrySecurityFileTest, AStoreOfTheFirstFormatOpensWithTheDefaultRules) {
    std::vector<uint8_t> payload;
    auto u32 = [&](uint32_t value) {
        for (int i = 0; i < 4; ++i)
            payload.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    auto key = [&](const std::string& name, uint32_t values) {
        u32(static_cast<uint32_t>(name.size()));
        payload.insert(payload.end(), name.begin(), name.end());
        u32(0), u32(0);  // last write time
        u32(values);
    };
    key("REGISTRY", 0);
    u32(2);
    key("MACHINE", 0);
    u32(1);
    key("SOFTWARE", 1);
    u32(1), payload.push_back('V'), u32(REG_DWORD), u32(4), u32(7);
    u32(0);
    key("USER", 0);
    u32(1);
    key("S-1-22-1-1000", 0);
    u32(0);
    std::vector<uint8_t> image(registry_file::kHeaderSize);
    std::memcpy(image.data(), registry_file::kMagic, sizeof registry_file::kMagic);
    image[8] = 1;
    const uint64_t length = payload.size();
    std::memcpy(image.data() + 16, &length, sizeof length);
    SHA256(payload.data(), payload.size(), image.data() + 24);
    image.insert(image.end(), payload.begin(), payload.end());
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));

    RegistryOpenResult result;
    auto store = RegistryStore::OpenFile(path_, {}, &result);
    ASSERT_NE(store, nullptr) << result.message;
    ScopedSystemRegistry scope(store);
    RegKey software;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE", software), ERROR_SUCCESS);
    REG_VALUE value;
    ASSERT_EQ(RegQueryValue(software, "V", value), ERROR_SUCCESS);
    EXPECT_EQ(value.data, RegDwordData(7));
    REG_SECURITY security;
    ASSERT_EQ(RegGetKeySecurity(software, security), ERROR_SUCCESS);
    EXPECT_EQ(security, MachineKeySecurity());
    RegKey hive;
    ASSERT_EQ(RegOpenKeyEx(HKEY_USERS, "S-1-22-1-1000", hive), ERROR_SUCCESS);
    ASSERT_EQ(RegGetKeySecurity(hive, security), ERROR_SUCCESS);
    EXPECT_EQ(security.owner, UnixUserSid(1000));
}

}  // namespace
}  // namespace os
