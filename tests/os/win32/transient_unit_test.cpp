// A program started outside the starter's job: under systemd a transient unit of its own, asked
// for over D-Bus, whose end and exit code come back from the manager; without systemd, or with a
// manager that will not, a child of the starter as before.
#include "os/win32/transient_unit.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/status.h"
#include "os/core/sync.h"
#include "os/win32/environment.h"
#include "os/win32/process_create.h"
#include "tests/os/win32/fake_service_manager.h"

namespace os {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using wexo::testing::FAKE_SERVICE_MANAGER;

// Sets (or removes) an environment variable while it lives.
class SCOPED_VARIABLE {
  public:
    SCOPED_VARIABLE(std::string name, std::optional<std::string> value)
        : name_(std::move(name)), previous_(GetEnvironmentVariable(name_)) {
        SetEnvironmentVariable(name_, value);
    }
    ~SCOPED_VARIABLE() { SetEnvironmentVariable(name_, previous_); }

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

class TransientUnitTest : public ::testing::Test {
  protected:
    TransientUnitTest() {
        std::string pattern = (fs::temp_directory_path() / "wexo-unit-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    ~TransientUnitTest() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::string Windows(const fs::path& path) const { return *WindowsPathFromLinux(path.string()); }
    std::string Script(const std::string& name, const std::string& body) {
        std::ofstream(folder_ / name) << "#!/bin/sh\n" << body;
        fs::permissions(folder_ / name, fs::perms::owner_all);
        return "\"" + Windows(folder_ / name) + "\"";
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(folder_ / name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Starts the command line outside the job; its exit code once it ended.
    std::optional<uint32_t> Run(const std::string& line, PROCESS_INFORMATION* info) {
        EXPECT_TRUE(CreateProcess(line, Windows(folder_), info, CREATE_BREAKAWAY_FROM_JOB))
            << GetLastError();
        if (info->process == nullptr) {
            return std::nullopt;
        }
        EXPECT_EQ(WaitForSingleObject(info->process->Ended(), 10'000), WAIT_OBJECT_0);
        return info->process->ExitCode();
    }

    fs::path folder_;
};

TEST_F(TransientUnitTest, UnderSystemdTheProgramIsAUnitOfItsOwnAndItsExitCodeComesBack) {
    FAKE_SERVICE_MANAGER manager;
    ScopedServiceManagerBus bus(manager.Opener());
    SCOPED_VARIABLE notify("NOTIFY_SOCKET", "/run/systemd/notify");
    SCOPED_VARIABLE invocation("INVOCATION_ID", "0123456789abcdef0123456789abcdef");
    SCOPED_VARIABLE mark("WEXO_UNIT_TEST_MARK", "kept");
    const std::string line =
        Script("Update.exe",
               "printf '%s|' \"$@\" > args\npwd > where\nenv > environment\nexit 3\n") +
        " /D \"a b\" /UPDATE";
    PROCESS_INFORMATION info;
    ASSERT_EQ(Run(line, &info), 3u);

    const std::string prefix = "wexo-update-" + std::to_string(getpid()) + "-";
    const std::string_view suffix = ".service";
    const std::string& unitName = info.unitName;
    EXPECT_TRUE(unitName.size() > prefix.size() + suffix.size() && unitName.starts_with(prefix) &&
                unitName.ends_with(suffix) &&
                unitName.find_first_not_of("0123456789", prefix.size()) ==
                    unitName.size() - suffix.size())
        << unitName;
    EXPECT_EQ(info.breakaway, "");
    const std::vector<FAKE_SERVICE_MANAGER::UNIT> units = manager.Units();
    ASSERT_EQ(units.size(), 1u);
    const FAKE_SERVICE_MANAGER::UNIT& unit = units[0];
    EXPECT_EQ(unit.name, info.unitName);
    EXPECT_EQ(unit.mode, "fail");
    const std::string program = (folder_ / "Update.exe").string();
    EXPECT_EQ(unit.execPath, program);
    EXPECT_EQ(unit.argv, (std::vector<std::string>{program, "/D", "a b", "/UPDATE"}));
    EXPECT_FALSE(unit.execIgnoreFailure);
    EXPECT_TRUE(unit.addRef) << "the unit must stay loaded until its status was read";
    const std::map<std::string, std::string> expected = {
        {"Type", "exec"},          {"WorkingDirectory", folder_.string()},
        {"StandardInput", "null"}, {"StandardOutput", "null"},
        {"StandardError", "null"}, {"CollectMode", "inactive-or-failed"},
    };
    for (const auto& [name, value] : expected) {
        EXPECT_EQ(unit.texts.count(name) ? unit.texts.at(name) : "(none)", value) << name;
    }
    EXPECT_THAT(unit.texts.at("Description"), HasSubstr(program));
    // The starter's environment, without what systemd gave the starter's own unit.
    EXPECT_THAT(unit.environment, Contains("WEXO_UNIT_TEST_MARK=kept"));
    EXPECT_THAT(unit.environment, Not(Contains(HasSubstr("NOTIFY_SOCKET="))));
    EXPECT_THAT(unit.environment, Not(Contains(HasSubstr("INVOCATION_ID="))));
    EXPECT_THAT(Read("environment"), HasSubstr("WEXO_UNIT_TEST_MARK=kept"));

    EXPECT_EQ(Read("args"), "/D|a b|/UPDATE|");
    EXPECT_EQ(fs::path(Read("where").substr(0, Read("where").size() - 1)), fs::canonical(folder_));
    EXPECT_GT(info.processId, 0u);
    EXPECT_EQ(info.threadId, info.processId);
}

TEST_F(TransientUnitTest, TheExitCodeIsTheMainProcessStatusAndNoneAfterASignal) {
    FAKE_SERVICE_MANAGER manager;
    ScopedServiceManagerBus bus(manager.Opener());
    const struct {
        const char* body;
        std::optional<uint32_t> code;
    } cases[] = {
        {"exit 0\n", 0u},
        {"exit 7\n", 7u},
        {"sleep 0.2\nexit 255\n", 255u},
        {"kill -9 $$\n", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        PROCESS_INFORMATION info;
        EXPECT_EQ(Run(Script("u.exe", c.body), &info), c.code);
        EXPECT_NE(info.unitName, "");
    }
    EXPECT_EQ(manager.Units().size(), 4u);
}

TEST_F(TransientUnitTest, ATakenUnitNameIsPassedOver) {
    FAKE_SERVICE_MANAGER manager;
    ScopedServiceManagerBus bus(manager.Opener());
    manager.TakeNames(2);
    PROCESS_INFORMATION info;
    ASSERT_EQ(Run(Script("Update.exe", "exit 0\n"), &info), 0u);
    const std::vector<std::string> refused = manager.Refused();
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_NE(refused[0], refused[1]);
    EXPECT_THAT(refused, Not(Contains(info.unitName)));
    EXPECT_EQ(manager.Units().size(), 1u);
}

TEST_F(TransientUnitTest, WithoutAUnitTheProgramIsTheStartersChildAsBefore) {
    // A manager that refuses the unit.
    {
        FAKE_SERVICE_MANAGER manager;
        ScopedServiceManagerBus bus(manager.Opener());
        manager.RefuseWith("org.freedesktop.DBus.Error.AccessDenied");
        PROCESS_INFORMATION info;
        ASSERT_EQ(Run(Script("Update.exe", "exit 4\n"), &info), 4u);
        EXPECT_EQ(info.unitName, "");
        EXPECT_THAT(info.breakaway, HasSubstr("systemd did not start the unit wexo-update-"));
        EXPECT_THAT(info.breakaway, HasSubstr("refused by the test"));
    }
    // No systemd at all.
    SCOPED_VARIABLE notify("NOTIFY_SOCKET", std::nullopt);
    SCOPED_VARIABLE invocation("INVOCATION_ID", std::nullopt);
    ASSERT_FALSE(RunsUnderServiceManager());
    PROCESS_INFORMATION info;
    ASSERT_EQ(Run(Script("Update.exe", "exit 5\n"), &info), 5u);
    EXPECT_EQ(info.unitName, "");
    EXPECT_EQ(info.breakaway, "not running under systemd");
}

TEST_F(TransientUnitTest, AProgramThatCannotRunFailsWithTheErrorsOfASpawn) {
    FAKE_SERVICE_MANAGER manager;
    ScopedServiceManagerBus bus(manager.Opener());
    // Executable, but its interpreter is not there: the manager's exec fails.
    std::ofstream(folder_ / "bad.exe") << "#!/no/such/interpreter\n";
    fs::permissions(folder_ / "bad.exe", fs::perms::owner_all);
    const struct {
        std::string line;
        uint32_t error;
    } cases[] = {
        {"\"" + Windows(folder_ / "missing.exe") + "\"", ERROR_FILE_NOT_FOUND},
        {"\"" + Windows(folder_ / "bad.exe") + "\"", 193u},
    };
    PROCESS_INFORMATION info;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_FALSE(CreateProcess(c.line, Windows(folder_), &info, CREATE_BREAKAWAY_FROM_JOB));
        EXPECT_EQ(GetLastError(), c.error);
    }
    // The missing program was refused before the manager was asked.
    ASSERT_EQ(manager.Units().size(), 1u);
    EXPECT_EQ(manager.Units()[0].state, "failed");
}

TEST_F(TransientUnitTest, OnTheMachinesOwnSystemdTheUnitRunsAndEnds) {
    if (geteuid() != 0 || !fs::exists("/run/systemd/system")) {
        GTEST_SKIP() << "this machine does not run systemd (no /run/systemd/system) or the test "
                        "is not root";
    }
    sd_bus* probe = nullptr;
    if (sd_bus_open_system(&probe) < 0) {
        GTEST_SKIP() << "no system bus here";
    }
    sd_bus_flush_close_unref(probe);
    ScopedServiceManagerBus bus([](sd_bus** system) { return sd_bus_open_system(system); });
    PROCESS_INFORMATION info;
    ASSERT_EQ(Run(Script("Update.exe", "pwd > where\nexit 6\n"), &info), 6u);
    EXPECT_NE(info.unitName, "") << info.breakaway;
    EXPECT_EQ(fs::path(Read("where").substr(0, Read("where").size() - 1)), fs::canonical(folder_));
}

}  // namespace
}  // namespace os
