// The admin tool as built, run against a bridge server of the test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "os/bridge/registry_bridge.h"
#include "tests/os/bridge/bridge_fixture.h"
#include "tools/peers/child_process.h"

namespace {

using os::RegKey;
using wexo::peers::CHILD_PROCESS;
using wexo::test::TEMP_FOLDER;
using namespace std::chrono_literals;

struct RESULT {
    int status = -1;
    std::string output;  // standard output and error together
};

class WexoReg : public ::testing::Test {
  protected:
    void SetUp() override {
        store_ = os::RegistryStore::CreateInMemory();
        scoped_ = std::make_unique<os::ScopedSystemRegistry>(store_);
        std::string why;
        ASSERT_EQ(server_.Start(temp_.Path(), {}, &why), os::ERROR_SUCCESS) << why;
    }
    void TearDown() override {
        server_.Stop();
        scoped_.reset();
    }

    // Runs the tool with no terminal on its input, so that it never waits for an answer.
    RESULT Reg(const std::vector<std::string>& arguments, const std::string& runtimeDir = "") {
        std::vector<std::string> shell{"-c", "exec \"$0\" \"$@\" </dev/null",
                                       wexo::test::RegTool()};
        shell.insert(shell.end(), arguments.begin(), arguments.end());
        auto child = CHILD_PROCESS::Start(
            "/bin/sh", shell,
            {"WEXO_RUNTIME_DIR=" + (runtimeDir.empty() ? temp_.Path() : runtimeDir)});
        RESULT result;
        if (child == nullptr)
            return result;
        result.status = child->Wait(5000ms);
        result.output = child->Output();
        return result;
    }

    // The tool as uid 65534, a local user without privileges.
    RESULT RegAsNobody(const std::vector<std::string>& arguments) {
        std::vector<std::string> command = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                            wexo::test::RegTool()};
        command.insert(command.end(), arguments.begin(), arguments.end());
        auto child =
            CHILD_PROCESS::Start("/usr/bin/setpriv", command, {"WEXO_RUNTIME_DIR=" + temp_.Path()});
        RESULT result;
        if (child != nullptr) {
            result.status = child->Wait(5000ms);
            result.output = child->Output();
        }
        return result;
    }

    RegKey Key(const std::string& path) {
        RegKey key;
        EXPECT_EQ(os::RegCreateKeyEx(store_->Root(os::HKEY_LOCAL_MACHINE), path, key),
                  os::ERROR_SUCCESS);
        return key;
    }

    TEMP_FOLDER temp_;
    std::shared_ptr<os::RegistryStore> store_;
    std::unique_ptr<os::ScopedSystemRegistry> scoped_;
    os::REGISTRY_BRIDGE_SERVER server_;
};

constexpr char kDone[] = "The operation completed successfully.\n";

TEST_F(WexoReg, AddEveryTypeThenQueryAsRegDoes) {
    const std::string key = "HKLM\\SOFTWARE\\Corvane\\Ostrel";
    EXPECT_EQ(Reg({"add", key, "/v", "Dormant", "/t", "REG_DWORD", "/d", "1"}).output, kDone);
    EXPECT_EQ(Reg({"add", key, "/v", "PolicyServers", "/d", "a.example;b.example"}).status, 0);
    EXPECT_EQ(Reg({"ADD", key, "/V", "Big", "/T", "reg_qword", "/D", "0x100000000"}).status, 0);
    EXPECT_EQ(Reg({"add", key, "/v", "DNSRemapping", "/t", "REG_MULTI_SZ", "/d",
                   "a.example,x.example\\0b.example,y.example"})
                  .status,
              0);
    EXPECT_EQ(Reg({"add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", "00ff10"}).status, 0);
    EXPECT_EQ(Reg({"add", key, "/ve", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%"}).status, 0);
    EXPECT_EQ(Reg({"add", key + "\\Sub"}).status, 0);

    RESULT query = Reg({"query", key});
    EXPECT_EQ(query.status, 0);
    EXPECT_EQ(query.output,
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Ostrel\n"
              "    Dormant    REG_DWORD    0x1\n"
              "    PolicyServers    REG_SZ    a.example;b.example\n"
              "    Big    REG_QWORD    0x100000000\n"
              "    DNSRemapping    REG_MULTI_SZ    a.example,x.example\\0b.example,y.example\n"
              "    Blob    REG_BINARY    00FF10\n"
              "    (Default)    REG_EXPAND_SZ    %TEMP%\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Ostrel\\Sub\n");
    RESULT one = Reg({"query", key, "/v", "dormant"});
    EXPECT_EQ(
        one.output,
        "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Ostrel\n    dormant    REG_DWORD    0x1\n\n");

    // What the tool wrote is what the host's store holds.
    RegKey product = Key("SOFTWARE\\Corvane\\Ostrel");
    os::REG_VALUE value;
    ASSERT_EQ(os::RegQueryValue(product, "DNSRemapping", value), os::ERROR_SUCCESS);
    EXPECT_EQ(os::RegMultiStringFromData(value.data),
              (std::vector<std::string>{"a.example,x.example", "b.example,y.example"}));
}

TEST_F(WexoReg, ExistingValueIsReplacedOnlyWithForce) {
    RegKey key = Key("SOFTWARE\\T");
    os::RegSetValueEx(key, "V", os::REG_DWORD, os::RegDwordData(1));
    RESULT refused = Reg({"add", "HKLM\\SOFTWARE\\T", "/v", "V", "/t", "REG_DWORD", "/d", "2"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("/f"), std::string::npos) << refused.output;
    EXPECT_EQ(
        Reg({"add", "HKLM\\SOFTWARE\\T", "/v", "V", "/t", "REG_DWORD", "/d", "2", "/f"}).status, 0);
    os::REG_VALUE value;
    ASSERT_EQ(os::RegQueryValue(key, "V", value), os::ERROR_SUCCESS);
    EXPECT_EQ(value.data, os::RegDwordData(2));
}

TEST_F(WexoReg, DeleteValuesAndWholeTrees) {
    RegKey key = Key("SOFTWARE\\T\\A\\B");
    os::RegSetValueEx(key, "V", os::REG_DWORD, os::RegDwordData(1));
    RegKey top = Key("SOFTWARE\\T");
    os::RegSetValueEx(top, "X", os::REG_SZ, os::RegStringData("x"));
    os::RegSetValueEx(top, "Y", os::REG_SZ, os::RegStringData("y"));

    EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\T\\A\\B", "/v", "V"}).status, 1) << "needs /f";
    EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\T\\A\\B", "/v", "V", "/f"}).output, kDone);
    RESULT gone = Reg({"delete", "HKLM\\SOFTWARE\\T\\A\\B", "/v", "V", "/f"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.output,
              "ERROR: The system was unable to find the specified registry key or value.\n");
    EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\T", "/va", "/f"}).status, 0);
    os::REG_KEY_INFO info;
    ASSERT_EQ(os::RegQueryInfoKey(top, info), os::ERROR_SUCCESS);
    EXPECT_EQ(info.values, 0u);
    EXPECT_EQ(info.subKeys, 1u);

    EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\T", "/f"}).status, 0);
    RegKey probe;
    EXPECT_EQ(os::RegOpenKeyEx(store_->Root(os::HKEY_LOCAL_MACHINE), "SOFTWARE\\T", probe),
              os::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Reg({"delete", "HKLM", "/f"}).status, 1);
}

TEST_F(WexoReg, ExportWritesARegFile) {
    RegKey key = Key("SOFTWARE\\Corvane\\Ostrel");
    os::RegSetValueEx(key, "Dormant", os::REG_DWORD, os::RegDwordData(10));
    os::RegSetValueEx(key, "Path", os::REG_SZ, os::RegStringData("C:\\Program \"Files\""));
    os::RegSetValueEx(key, "Lines", os::REG_SZ, os::RegStringData("a\nb"));
    os::RegSetValueEx(key, "Q", os::REG_QWORD, os::RegQwordData(1));
    os::RegSetValueEx(key, "", os::REG_BINARY, std::vector<uint8_t>{0xAB, 0x01});
    Key("SOFTWARE\\Corvane\\Ostrel\\Sub");
    const std::string file = temp_.Path() + "/out.reg";
    EXPECT_EQ(Reg({"export", "HKLM\\SOFTWARE\\Corvane\\Ostrel", file}).output, kDone);
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Ostrel]\n"
              "\"Dormant\"=dword:0000000a\n"
              "\"Path\"=\"C:\\\\Program \\\"Files\\\"\"\n"
              "\"Lines\"=hex(1):61,00,0a,00,62,00,00,00\n"
              "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n"
              "@=hex:ab,01\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Ostrel\\Sub]\n"
              "\n");
    RESULT again = Reg({"export", "HKLM\\SOFTWARE\\Corvane\\Ostrel", file});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("/y"), std::string::npos);
    EXPECT_EQ(Reg({"export", "HKLM\\SOFTWARE\\Corvane\\Ostrel", file, "/y"}).status, 0);
    EXPECT_EQ(Reg({"export", "HKLM\\SOFTWARE\\Missing", temp_.Path() + "/none.reg"}).status, 1);
}

TEST_F(WexoReg, BadArgumentsAreSyntaxErrors) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"frobnicate", "HKLM\\SOFTWARE"},
             {"query"},
             {"query", "HKCU\\SOFTWARE"},
             {"query", "HKLM\\SOFTWARE", "/x"},
             {"query", "HKLM\\SOFTWARE", "/v"},
             {"query", "HKLM\\SOFTWARE", "extra"},
             {"add", "HKLM\\SOFTWARE\\T", "/v", "N", "/t", "REG_WHAT"},
             {"add", "HKLM\\SOFTWARE\\T", "/v", "N", "/t", "REG_DWORD", "/d", "x12"},
             {"add", "HKLM\\SOFTWARE\\T", "/v", "N", "/t", "REG_DWORD", "/d", "4294967296"},
             {"add", "HKLM\\SOFTWARE\\T", "/v", "N", "/t", "REG_BINARY", "/d", "abc"},
             {"add", "HKLM\\SOFTWARE\\T", "/v", "N", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
             {"add", "HKLM\\SOFTWARE\\T", "/t", "REG_SZ"},
             {"add", "HKLM\\SOFTWARE\\T", "/v", "A", "/ve"},
             {"delete", "HKLM\\SOFTWARE\\T", "/va", "/v", "N"},
             {"export", "HKLM\\SOFTWARE"},
         }) {
        RESULT result = Reg(arguments);
        EXPECT_EQ(result.status, 2) << arguments[0] << " " << result.output;
        EXPECT_NE(result.output.find("ERROR: Invalid syntax."), std::string::npos) << result.output;
    }
    RegKey probe;
    EXPECT_EQ(os::RegOpenKeyEx(store_->Root(os::HKEY_LOCAL_MACHINE), "SOFTWARE\\T", probe),
              os::ERROR_FILE_NOT_FOUND)
        << "nothing was done for a bad command line";
    EXPECT_EQ(Reg({"query", "/?"}).status, 0);
}

TEST_F(WexoReg, FailedOperationsAndAMissingHost) {
    RESULT missing = Reg({"query", "HKLM\\SOFTWARE\\Missing"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output,
              "ERROR: The system was unable to find the specified registry key or value.\n");
    uint64_t cookie = 0;
    ASSERT_EQ(os::CmRegisterCallback(
                  [](const os::REG_NOTIFY_INFO& info) {
                      return info.notifyClass == os::REG_NOTIFY_CLASS::RegNtPreSetValueKey
                                 ? os::STATUS_ACCESS_DENIED
                                 : os::STATUS_SUCCESS;
                  },
                  &cookie),
              os::STATUS_SUCCESS);
    RESULT denied = Reg({"add", "HKLM\\SOFTWARE\\T", "/v", "N", "/d", "x"});
    os::CmUnRegisterCallback(cookie);
    EXPECT_EQ(denied.status, 1);
    EXPECT_EQ(denied.output, "ERROR: Access is denied. Error code = 5.\n");

    TEMP_FOLDER empty;
    RESULT nohost = Reg({"query", "HKLM\\SOFTWARE"}, empty.Path());
    EXPECT_EQ(nohost.status, 1);
    EXPECT_NE(nohost.output.find("ERROR: The registry cannot be reached"), std::string::npos)
        << nohost.output;
}

}  // namespace

namespace {

// The host's secret values: root reads them, an ordinary user is refused them by name and by
// enumeration, and the rest of the key stays readable to that user.
TEST_F(WexoReg, ASecretValueIsReadByRootOnly) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the tool as another user";
    }
    server_.Stop();
    os::REGISTRY_BRIDGE_OPTIONS options;
    options.secretValues = {{"\\REGISTRY\\MACHINE\\SYSTEM\\Wexo", "auth secret"}};
    std::string why;
    ASSERT_EQ(server_.Start(temp_.Path(), options, &why), os::ERROR_SUCCESS) << why;
    RegKey key = Key("SYSTEM\\Wexo");
    const std::vector<uint8_t> secret(32, 0x5C);
    ASSERT_EQ(os::RegSetValueEx(key, "Auth Secret", os::REG_BINARY, secret), os::ERROR_SUCCESS);
    ASSERT_EQ(os::RegSetValueEx(key, "Public", os::REG_SZ, os::RegStringData("p")),
              os::ERROR_SUCCESS);
    ASSERT_EQ(::chmod(temp_.Path().c_str(), 0755), 0);

    RESULT root = Reg({"query", "HKLM\\SYSTEM\\Wexo", "/v", "Auth Secret"});
    EXPECT_EQ(root.status, 0) << root.output;
    EXPECT_NE(root.output.find("5C5C5C"), std::string::npos) << root.output;

    auto asNobody = [&](const std::vector<std::string>& arguments) {
        return RegAsNobody(arguments);
    };
    RESULT byName = asNobody({"query", "HKLM\\SYSTEM\\Wexo", "/v", "auth SECRET"});
    EXPECT_EQ(byName.status, 1) << byName.output;
    EXPECT_NE(byName.output.find("Access is denied"), std::string::npos) << byName.output;
    EXPECT_EQ(byName.output.find("5C5C"), std::string::npos) << byName.output;
    RESULT listed = asNobody({"query", "HKLM\\SYSTEM\\Wexo"});
    EXPECT_EQ(listed.output.find("5C5C"), std::string::npos) << listed.output;
    RESULT exported = asNobody({"export", "HKLM\\SYSTEM", "/dev/stdout", "/y"});
    EXPECT_EQ(exported.output.find("5c,5c"), std::string::npos) << exported.output;
    RESULT other = asNobody({"query", "HKLM\\SYSTEM\\Wexo", "/v", "Public"});
    EXPECT_EQ(other.status, 0) << other.output;
}

// A local user's every way of spelling a change of HKLM is refused as Windows refuses it, and
// changes nothing; reading stays open.
TEST_F(WexoReg, AUserCannotChangeMachineKeysInAnySpelling) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the tool as another user";
    }
    ASSERT_EQ(::chmod(temp_.Path().c_str(), 0755), 0);
    RegKey product = Key("SOFTWARE\\Corvane\\Ostrel");
    ASSERT_EQ(os::RegSetValueEx(product, "Dormant", os::REG_DWORD, os::RegDwordData(0)),
              os::ERROR_SUCCESS);
    Key("SOFTWARE\\Microsoft\\IdentityStore\\Cache");
    Key("SOFTWARE\\WOW6432Node");
    Key("SYSTEM\\CurrentControlSet\\Services\\WexoWfp");
    const std::vector<std::vector<std::string>> attempts = {
        {"add", "HKLM\\SOFTWARE\\Corvane\\Ostrel", "/v", "Dormant", "/t", "REG_DWORD", "/d", "1",
         "/f"},
        {"add", "hklm\\software\\CORVANE\\ostrel\\", "/v", "Dormant", "/d", "1", "/f"},
        {"add", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Ostrel.", "/v", "Dormant", "/d", "1"},
        {"add", "HKLM\\SOFTWARE\\Corvane\\Ostrel\\New"},
        {"add", "HKLM\\SOFTWARE\\Corvane"},
        {"add", "HKLM\\SOFTWARE\\WOW6432Node\\Corvane\\Ostrel", "/v", "Dormant", "/d", "1"},
        {"add", "HKLM\\SOFTWARE\\Microsoft\\IdentityStore\\Cache\\S-1-22-1-65534", "/v", "UserName",
         "/d", "teacher@example.org"},
        {"add", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\WexoWfp", "/v", "Start", "/t",
         "REG_DWORD", "/d", "4"},
        {"add", "HKU\\.DEFAULT\\Software\\Microsoft", "/v", "X", "/d", "1"},
        {"delete", "HKLM\\SOFTWARE\\Corvane\\Ostrel", "/v", "Dormant", "/f"},
        {"delete", "HKLM\\SOFTWARE\\Corvane\\Ostrel", "/va", "/f"},
        {"delete", "HKLM\\SOFTWARE\\Microsoft\\IdentityStore", "/f"},
    };
    // The whole of HKLM as the tool exports it.
    auto exported = [&] {
        const std::string file = temp_.Path() + "/hklm.reg";
        EXPECT_EQ(Reg({"export", "HKLM", file, "/y"}).status, 0);
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    const std::string before = exported();
    ASSERT_NE(before.find("Dormant"), std::string::npos) << before;
    for (const std::vector<std::string>& attempt : attempts) {
        RESULT refused = RegAsNobody(attempt);
        EXPECT_EQ(refused.status, 1) << attempt[1];
        EXPECT_EQ(refused.output, "ERROR: Access is denied. Error code = 5.\n") << attempt[1];
    }
    EXPECT_EQ(exported(), before);
    RESULT read = RegAsNobody({"query", "HKLM\\SOFTWARE\\Corvane\\Ostrel", "/v", "Dormant"});
    EXPECT_EQ(read.status, 0) << read.output;
}

}  // namespace
