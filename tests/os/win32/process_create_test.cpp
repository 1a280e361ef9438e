// Starting a program from a command line: the arguments Windows would give it, its folder, no
// inherited descriptors, and its end and exit code seen through the process object.
#include "os/win32/process_create.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/core/status.h"
#include "os/core/sync.h"
#include "os/win32/environment.h"

namespace os {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

TEST(CommandLineToArgvTest, TheFirstTokenIsTakenWholeLaterOnesByTheRunTimeRules) {
    EXPECT_EQ(CommandLineToArgv("\"C:\\a b\\Update.exe\" /D /R /UPDATE"),
              (Args{"C:\\a b\\Update.exe", "/D", "/R", "/UPDATE"}));
    // No escapes in the program's quotes: a backslash before its closing quote stays.
    EXPECT_EQ(CommandLineToArgv("\"C:\\dir\\\" x"), (Args{"C:\\dir\\", "x"}));
    EXPECT_EQ(CommandLineToArgv("prog a\\\\\"b c\" \"d\\\"e\" f\\g"),
              (Args{"prog", "a\\b c", "d\"e", "f\\g"}));
    EXPECT_EQ(CommandLineToArgv("prog   \"\"  x"), (Args{"prog", "", "x"}));
    EXPECT_EQ(CommandLineToArgv(""), (Args{""}));
}

class ProcessCreateTest : public ::testing::Test {
  protected:
    ProcessCreateTest() {
        std::string pattern = (fs::temp_directory_path() / "wexo-spawn-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    ~ProcessCreateTest() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::string Windows(const fs::path& path) const { return *WindowsPathFromLinux(path.string()); }
    void Script(const std::string& name, const std::string& body, fs::perms perms) {
        std::ofstream(folder_ / name) << "#!/bin/sh\n" << body;
        fs::permissions(folder_ / name, perms);
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(folder_ / name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path folder_;
};

TEST_F(ProcessCreateTest, TheProgramRunsInItsFolderWithItsArgumentsAndItsExitCodeIsRead) {
    Script("Update.exe",
           "printf '%s|' \"$@\" > args\npwd > where\nls /proc/$$/fd > fds\n"
           "readlink /proc/$$/fd/* > targets 2>/dev/null\nexit 3\n",
           fs::perms::owner_all);
    // A descriptor the starter holds open without close-on-exec must not reach the program.
    const int held = open((folder_ / "held-open").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(held, 0);
    const std::string line = "\"" + Windows(folder_ / "Update.exe") + "\" /D \"a b\" /UPDATE";
    PROCESS_INFORMATION info;
    ASSERT_TRUE(CreateProcess(line, Windows(folder_), &info)) << GetLastError();
    close(held);
    ASSERT_NE(info.process, nullptr);
    EXPECT_GT(info.processId, 0u);
    EXPECT_EQ(info.threadId, info.processId);
    ASSERT_EQ(WaitForSingleObject(info.process->Ended(), 10'000), WAIT_OBJECT_0);
    ASSERT_EQ(info.process->ExitCode(), 3u);
    EXPECT_EQ(Read("args"), "/D|a b|/UPDATE|");
    EXPECT_EQ(fs::path(Read("where").substr(0, Read("where").size() - 1)), fs::canonical(folder_));
    EXPECT_EQ(Read("targets").find("held-open"), std::string::npos) << Read("targets");
    // The standard handles are the null device.
    EXPECT_NE(Read("targets").find("/dev/null"), std::string::npos) << Read("targets");
}

TEST_F(ProcessCreateTest, WhatCannotBeStartedFailsWithTheWindowsError) {
    PROCESS_INFORMATION info;
    EXPECT_FALSE(
        CreateProcess("\"" + Windows(folder_ / "missing.exe") + "\"", Windows(folder_), &info));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    Script("plain.exe", "exit 0\n", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(
        CreateProcess("\"" + Windows(folder_ / "plain.exe") + "\"", Windows(folder_), &info));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Script("good.exe", "exit 0\n", fs::perms::owner_all);
    EXPECT_FALSE(CreateProcess("\"" + Windows(folder_ / "good.exe") + "\"",
                               Windows(folder_ / "no-such-folder"), &info));
    EXPECT_EQ(GetLastError(), 267u);
    // Only the C: drive exists.
    EXPECT_FALSE(CreateProcess("\"D:\\good.exe\"", Windows(folder_), &info));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(info.process, nullptr);
}

TEST_F(ProcessCreateTest, AProgramEndedByASignalHasNoExitCode) {
    Script("killed.exe", "kill -9 $$\n", fs::perms::owner_all);
    PROCESS_INFORMATION info;
    ASSERT_TRUE(
        CreateProcess("\"" + Windows(folder_ / "killed.exe") + "\"", Windows(folder_), &info));
    ASSERT_EQ(WaitForSingleObject(info.process->Ended(), 10'000), WAIT_OBJECT_0);
    EXPECT_EQ(info.process->ExitCode(), std::nullopt);
}

}  // namespace
}  // namespace os
