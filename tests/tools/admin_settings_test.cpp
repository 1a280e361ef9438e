// The administrator's settings file as the driver host applies it at each start: written into the
// product key of a store in memory, refused as a whole, absent, and changed between two starts.
// And once through the host program itself, read back with wexo-reg.
#include "tools/pipeline/admin_settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "os/core/status.h"
#include "os/registry/registry.h"
#include "service/support/registry_helpers.h"
#include "tools/peers/child_process.h"

namespace {

using wexo::pipeline::AdminSettingsResult;
using wexo::pipeline::ApplyAdminSettingsFile;

// Every value of the product key: name -> (type, bytes).
using VALUES = std::map<std::string, std::pair<uint32_t, std::vector<uint8_t>>>;

class AdminSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/wexo-admin-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/wexo.conf";
        ASSERT_EQ(os::RegCreateKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE), wexo::svc::kProductKeyPath,
                                     key_),
                  os::ERROR_SUCCESS);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void Write(const std::string& text, mode_t mode = 0644) {
        std::filesystem::remove(path_);
        std::ofstream(path_) << text;
        ASSERT_EQ(chmod(path_.c_str(), mode), 0);
    }
    AdminSettingsResult Apply(std::string* message = nullptr) {
        std::string said;
        const AdminSettingsResult result = ApplyAdminSettingsFile(path_, geteuid(), &said);
        if (message != nullptr) {
            *message = said;
        }
        return result;
    }
    VALUES Stored() {
        VALUES values;
        std::string name;
        os::REG_VALUE value;
        for (uint32_t i = 0; os::RegEnumValue(key_, i, name, &value) == os::ERROR_SUCCESS; ++i) {
            values[name] = {value.type, value.data};
        }
        return values;
    }
    std::string Text(const char* name) {
        std::string text;
        EXPECT_TRUE(wexo::svc::ReadRegistryString(key_, name, text)) << name;
        return text;
    }
    uint32_t Dword(const char* name) {
        uint32_t value = 0xdeadbeef;
        EXPECT_TRUE(wexo::svc::ReadRegistryDword(key_, name, value)) << name;
        return value;
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    std::string dir_;
    std::string path_;
    os::RegKey key_;
};

TEST_F(AdminSettingsTest, AValidFileWritesEveryKeyAsTheServiceReadsIt) {
    Write(
        "# the fleet's settings\n"
        "\n"
        "deployment = Staging\n"
        "  policy_servers=policy1.example.org ; policy2.example.org:8443   # two\n"
        "server_mode = tiered\n"
        "block_on_failure = yes\n"
        "debug_output = 0x102\n"
        "strict_tls = on\n"
        "tls_ca_file = /etc/wexo/ca#1.pem\n"
        "accept_any_server_certificate = no\n");
    std::string message;
    ASSERT_EQ(Apply(&message), AdminSettingsResult::Applied) << message;
    EXPECT_EQ(message, "8 settings written");
    EXPECT_EQ(Dword("Deployment"), 2u);
    EXPECT_EQ(Text("PolicyServers"), "policy1.example.org;policy2.example.org:8443");
    EXPECT_EQ(Dword("ServerMode"), 1u);
    EXPECT_EQ(Dword("BlockOnFailure"), 1u);
    EXPECT_EQ(Dword("DebugOutput"), 0x102u);
    EXPECT_EQ(Dword("StrictTls"), 1u);
    EXPECT_EQ(Text("TlsCaFile"), "/etc/wexo/ca#1.pem");
    EXPECT_EQ(Dword("AcceptAnyServerCertificate"), 0u);
    EXPECT_EQ(Stored().size(), 8u);  // nothing else
}

// Each refusal names the line, the key and the reason; valid lines before it are not written and
// the stored values keep their types and bytes.
TEST_F(AdminSettingsTest, AMalformedFileIsRefusedAsAWholeAndNothingChanges) {
    ASSERT_TRUE(wexo::svc::WriteRegistryString(key_, "PolicyServers", "old.example"));
    ASSERT_TRUE(wexo::svc::WriteRegistryDword(key_, "BlockOnFailure", 0));
    const VALUES before = Stored();
    const std::string refused = "; the file is refused and the stored settings stay as they were";
    const std::string valid = "policy_servers = new.example\nblock_on_failure = yes\n";
    struct CASE {
        std::string text;
        std::string message;  // after the path
    };
    const CASE cases[] = {
        {valid + "policy_server = a.example\n", " line 3: \"policy_server\" is no key"},
        {valid + "server_mode = fast\n",
         " line 3: server_mode: \"fast\" is not balanced or tiered"},
        {valid + "deployment = 4\n",
         " line 3: deployment: \"4\" is not production or staging or development"},
        {"block_on_failure = maybe\n", " line 1: block_on_failure: \"maybe\" is not yes or no"},
        {"strict_tls = yes please\n", " line 1: strict_tls: \"yes please\" is not yes or no"},
        {"debug_output = 0x100000000\n",
         " line 1: debug_output: \"0x100000000\" is not a number from 0 to 4294967295 (or 0x0 to "
         "0xffffffff)"},
        {"debug_output = -1\n",
         " line 1: debug_output: \"-1\" is not a number from 0 to 4294967295 (or 0x0 to "
         "0xffffffff)"},
        {"tls_ca_file = etc/wexo/ca.pem\n",
         " line 1: tls_ca_file: \"etc/wexo/ca.pem\" is not an absolute path"},
        {valid + "policy_servers = a.example\n",
         " line 3: policy_servers: given again (first on line 1)"},
        {"Block_On_Failure = no\nblock_on_failure = no\n",
         " line 2: block_on_failure: given again (first on line 1)"},
        {"policy_servers = a.example;;b.example\n",
         " line 1: policy_servers: an empty name in \"a.example;;b.example\""},
        {"policy_servers = a.example;A.EXAMPLE\n",
         " line 1: policy_servers: \"A.EXAMPLE\" is named twice"},
        {"policy_servers = evil.example/x?\n",
         " line 1: policy_servers: \"evil.example/x?\" is not a host name with an optional port"},
        {"policy_servers = a.example b.example\n",
         " line 1: policy_servers: \"a.example b.example\" is not a host name with an optional "
         "port"},
        {"policy_servers =\n", " line 1: policy_servers: no value"},
        {"policy_servers = # none\n", " line 1: policy_servers: no value"},
        {valid + "block_on_failure yes\n", " line 3: \"block_on_failure yes\" is not key = value"},
        {"= yes\n", " line 1: no key before \"=\""},
        {std::string("block_on_failure = yes\n\0", 25), ": not text (it holds a NUL byte)"},
    };
    for (const CASE& c : cases) {
        Write(c.text);
        std::string message;
        EXPECT_EQ(Apply(&message), AdminSettingsResult::Refused) << c.text;
        EXPECT_EQ(message, path_ + c.message + refused) << c.text;
        EXPECT_EQ(Stored(), before) << c.text;
    }
}

// The file must be the administrator's alone: another owner, a mode that lets others write, a
// folder others may write, a link, something else than a file.
TEST_F(AdminSettingsTest, AFileOthersCouldHaveWrittenIsRefused) {
    const VALUES before = Stored();
    const std::string refused = "; the file is refused and the stored settings stay as they were";
    const std::string owner = geteuid() == 0 ? "root" : "uid " + std::to_string(geteuid());
    struct CASE {
        const char* what;
        std::function<void(const std::string&)> make;
        std::string message;
    };
    const std::string text = "block_on_failure = yes\n";
    const CASE cases[] = {
        {"group-writable", [&](const std::string&) { Write(text, 0664); },
         ": writable by others (mode 0664)"},
        {"world-writable", [&](const std::string&) { Write(text, 0606); },
         ": writable by others (mode 0606)"},
        {"a link",
         [&](const std::string& path) {
             Write(text);
             std::filesystem::rename(path, dir_ + "/real.conf");
             std::filesystem::create_symlink(dir_ + "/real.conf", path);
         },
         ": a symbolic link"},
        {"a folder", [&](const std::string& path) { std::filesystem::create_directory(path); },
         ": not a regular file"},
        {"an open folder",
         [&](const std::string&) {
             Write(text);
             chmod(dir_.c_str(), 0777);
         },
         ": its folder " + dir_ + " is not " + owner + "'s alone (owned by " + owner +
             ", mode 0777)"},
    };
    for (const CASE& c : cases) {
        std::filesystem::remove_all(path_);
        std::filesystem::remove(dir_ + "/real.conf");
        chmod(dir_.c_str(), 0700);
        c.make(path_);
        std::string message;
        EXPECT_EQ(Apply(&message), AdminSettingsResult::Refused) << c.what;
        EXPECT_EQ(message, path_ + c.message + refused) << c.what;
        EXPECT_EQ(Stored(), before) << c.what;
    }
    chmod(dir_.c_str(), 0700);
    if (geteuid() != 0) {
        GTEST_SKIP() << "a file of another owner needs root to make";
    }
    Write(text);
    ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
    std::string message;
    EXPECT_EQ(Apply(&message), AdminSettingsResult::Refused);
    EXPECT_EQ(message, path_ + ": owned by uid 65534, not root" + refused);
    EXPECT_EQ(Stored(), before);
}

TEST_F(AdminSettingsTest, NoFileChangesNothing) {
    ASSERT_TRUE(wexo::svc::WriteRegistryDword(key_, "BlockOnFailure", 1));
    const VALUES before = Stored();
    std::string message;
    EXPECT_EQ(Apply(&message), AdminSettingsResult::Missing);
    EXPECT_EQ(message, "");
    EXPECT_EQ(Stored(), before);
}

// The second start's file decides; a key it leaves out keeps what the first one wrote.
TEST_F(AdminSettingsTest, AChangedFileTakesEffectAtTheNextStart) {
    Write("policy_servers = a.example\nserver_mode = tiered\nblock_on_failure = yes\n");
    ASSERT_EQ(Apply(), AdminSettingsResult::Applied);
    Write("policy_servers = b.example;c.example\nblock_on_failure = no\n");
    ASSERT_EQ(Apply(), AdminSettingsResult::Applied);
    EXPECT_EQ(Text("PolicyServers"), "b.example;c.example");
    EXPECT_EQ(Dword("BlockOnFailure"), 0u);
    EXPECT_EQ(Dword("ServerMode"), 1u);
}

// A write refused half way (here by a registry callback, as the running driver would) puts back
// the values already written.
TEST_F(AdminSettingsTest, AWriteRefusedHalfWayIsUndone) {
    ASSERT_TRUE(wexo::svc::WriteRegistryString(key_, "PolicyServers", "old.example"));
    const VALUES before = Stored();
    uint64_t cookie = 0;
    ASSERT_EQ(os::CmRegisterCallback(
                  [](const os::REG_NOTIFY_INFO& info) {
                      return info.notifyClass == os::REG_NOTIFY_CLASS::RegNtPreSetValueKey &&
                                     info.valueName == "ServerMode"
                                 ? os::STATUS_ACCESS_DENIED
                                 : os::STATUS_SUCCESS;
                  },
                  &cookie),
              os::STATUS_SUCCESS);
    Write("policy_servers = new.example\nblock_on_failure = yes\nserver_mode = tiered\n");
    std::string message;
    EXPECT_EQ(Apply(&message), AdminSettingsResult::Refused);
    EXPECT_EQ(message, path_ + ": ServerMode could not be written: " +
                           os::SystemMessageText(os::ERROR_ACCESS_DENIED) +
                           "; the stored settings stay as they were");
    EXPECT_EQ(Stored(), before);
    os::CmUnRegisterCallback(cookie);
}

// The host program at two starts on one store file: each start writes its file's values before
// the driver runs, and wexo-reg reads them back through the running host's bridge. A refused file
// at a third start leaves the second one's values, and the host runs all the same.
TEST(AdminSettingsProgramTest, TheHostWritesTheFileAtEachStart) {
    using std::chrono::seconds;
    using wexo::peers::CHILD_PROCESS;
    char dir[] = "/tmp/wexo-admin-host-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string folder = dir;
    const std::string conf = folder + "/wexo.conf";
    const std::vector<std::string> host = {"WEXO_RUNTIME_DIR=" + folder,
                                           "WEXO_REGISTRY_FILE=" + folder + "/registry.dat",
                                           "WEXO_ADMIN_FILE=" + conf,
                                           "NOTIFY_SOCKET=",
                                           "WEXO_NETWORK=",
                                           "WEXO_FILE_PROTECTION=",
                                           "WEXO_POLICY_SERVERS=",
                                           "WEXO_DEMO_URLS="};
    // The tool goes through the running host's bridge, not to the store file.
    const std::vector<std::string> tool = {"WEXO_RUNTIME_DIR=" + folder, "WEXO_REGISTRY_FILE="};
    // What wexo-reg says of "PolicyServers" while the host runs, and what the host said.
    auto start = [&](const std::string& text) {
        std::filesystem::remove(conf);
        std::ofstream(conf) << text;
        chmod(conf.c_str(), 0644);
        auto wexowfp =
            CHILD_PROCESS::Start(std::string(WEXO_BINARY_DIR) + "/tools/wexowfp", {}, host);
        std::string said;
        if (wexowfp == nullptr) {
            ADD_FAILURE() << "wexowfp did not start";
            return std::make_pair(said, said);
        }
        if (wexowfp->ReadUntil("the driver runs", seconds(30))) {
            auto query = CHILD_PROCESS::Start(
                std::string(WEXO_BINARY_DIR) + "/tools/wexo-reg",
                {"query", "HKLM\\SOFTWARE\\Corvane\\Ostrel", "/v", "PolicyServers"}, tool);
            if (query != nullptr) {
                EXPECT_EQ(query->Wait(seconds(30)), 0) << query->Output();
                said = query->Output();
            }
        }
        EXPECT_TRUE(wexowfp->Signal(SIGTERM));
        EXPECT_EQ(wexowfp->Wait(seconds(30)), 0) << wexowfp->Output();
        return std::make_pair(said, wexowfp->Output());
    };
    auto [first, firstLog] = start("policy_servers = first.example\n");
    EXPECT_NE(first.find("first.example"), std::string::npos) << first << firstLog;
    auto [second, secondLog] = start("policy_servers = second.example\n");
    EXPECT_NE(second.find("second.example"), std::string::npos) << second << secondLog;
    auto [third, thirdLog] = start("policy_servers = third.example\nserver_mode = fast\n");
    EXPECT_NE(third.find("second.example"), std::string::npos) << third << thirdLog;
    EXPECT_NE(thirdLog.find("wexowfp: " + conf +
                            " line 2: server_mode: \"fast\" is not balanced or tiered; the file "
                            "is refused and the stored settings stay as they were"),
              std::string::npos)
        << thirdLog;
    std::filesystem::remove_all(folder);
}

}  // namespace
