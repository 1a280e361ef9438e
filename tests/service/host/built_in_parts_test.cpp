// The identity parts as the service host gets them, over logind records made by the test.
#include "service/host/built_in_parts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace wexo::svc {
namespace {

class LogindRecordsTest : public ::testing::Test {
  protected:
    LogindRecordsTest() {
        root_ = std::filesystem::temp_directory_path() /
                ("wexo-logind-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(root_ / "sessions");
        std::filesystem::create_directories(root_ / "seats");
    }
    ~LogindRecordsTest() override { std::filesystem::remove_all(root_); }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(root_ / name) << text;
    }

    std::filesystem::path root_;
};

TEST_F(LogindRecordsTest, TheSessionsUserAndTheActiveConsoleSessionComeFromLogindsFiles) {
    Write("sessions/3", "# This is private data. Do not parse.\nUSER=pupil\nUID=1000\nACTIVE=1\n");
    Write("sessions/4", "UID=10x\n");
    Write("sessions/5", "USER=nobody\n");
    Write("seats/seat0", "IS_SEAT0=1\nACTIVE=3\nACTIVE_UID=1000\n");
    EXPECT_EQ(SessionUserId(3, root_.string()), 1000u);
    // A value that is not a whole number, a missing value and a missing session give nothing.
    EXPECT_EQ(SessionUserId(4, root_.string()), std::nullopt);
    EXPECT_EQ(SessionUserId(5, root_.string()), std::nullopt);
    EXPECT_EQ(SessionUserId(9, root_.string()), std::nullopt);
    EXPECT_EQ(ActiveConsoleSession(root_.string()), 3u);
    // "ACTIVE_UID" is not "ACTIVE".
    Write("seats/seat0", "ACTIVE_UID=1000\n");
    EXPECT_EQ(ActiveConsoleSession(root_.string()), std::nullopt);
    std::filesystem::remove(root_ / "seats/seat0");
    EXPECT_EQ(ActiveConsoleSession(root_.string()), std::nullopt);
}

TEST(BuiltInPartsTest, EveryPartIsInThisBuild) {
    const HOST_PARTS parts = BuiltInHostParts();
    EXPECT_TRUE(parts.getMacAddress && parts.gatherDeviceInformation && parts.showProcesses &&
                parts.cloudAccountDomain && parts.consoleSession && parts.startUpdate &&
                parts.checkIn && parts.updateDnsRemapList);
}

}  // namespace
}  // namespace wexo::svc
