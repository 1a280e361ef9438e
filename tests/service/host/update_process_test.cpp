// The check-in thread with this build's software update: an update URL given on the command line
// is downloaded, unpacked and started at the first check-in, and the updater's end is reported
// with its exit code while the thread waits for its timers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "os/core/clock.h"
#include "os/core/sync.h"
#include "os/registry/registry.h"
#include "os/win32/environment.h"
#include "service/checkin/software_update.h"
#include "service/host/built_in_parts.h"
#include "service/host/service_host.h"
#include "tests/service/log_capture.h"
#include "tests/service/support/http_test_support.h"
#include "tests/service/support/test_trust.h"
#include "tests/support/zip_builder.h"
#include "tools/peers/http_peer.h"

namespace wexo::svc {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;

class UpdateProcessTest : public ::testing::Test {
  protected:
    UpdateProcessTest() {
        std::string pattern = (fs::temp_directory_path() / "wexo-host-update-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        // The update folder is made in the product's folder of the common application-data
        // folder: both are the test's.
        appData_.emplace(pattern);
        temp_ = fs::path(pattern) / kUpdateBaseFolderName;
        fs::create_directory(temp_);
        previousTmp_ = os::GetEnvironmentVariable("TMPDIR");
        os::SetEnvironmentVariable("TMPDIR", temp_.string());
        EXPECT_TRUE(peer_.Start());
    }
    ~UpdateProcessTest() override {
        if (host_) {
            host_->StopRequest("test");
            thread_->Join();
        }
        peer_.Stop();
        os::SetEnvironmentVariable("TMPDIR", previousTmp_);
        appData_.reset();
        std::error_code ignored;
        fs::remove_all(temp_.parent_path(), ignored);
    }
    void StartCheckInThread(const std::string& updateUrl) {
        HOST_OPTIONS options;
        options.buildServerSet = false;
        options.immediateCheckIn = true;
        options.updateUrlOverride = updateUrl;
        HOST_PARTS parts;
        parts.startUpdate = BuiltInHostParts().startUpdate;
        host_ = std::make_unique<SERVICE_HOST>(options, parts);
        ASSERT_TRUE(host_->Settings().OpenProductKey());
        thread_ = os::Thread::Start([this] { host_->CheckInThread(); }, "Check-in");
        ASSERT_TRUE(clock_.Settle());
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    testing::LOG_CAPTURE lines_;
    testing_http::NoProxyEnvironment noProxy_;
    os::VirtualClock clock_;
    fs::path temp_;
    std::optional<os::ScopedCommonAppDataFolder> appData_;
    std::optional<std::string> previousTmp_;
    // An unsigned package runs only from a server TLS verified: one of the test's own authority.
    testing_http::SCOPED_TEST_TRUST trust_;
    peers::HttpPeer peer_{trust_.Server()};
    std::unique_ptr<SERVICE_HOST> host_;
    std::shared_ptr<os::Thread> thread_;
};

TEST_F(UpdateProcessTest, TheUpdatersExitCodeIsReportedByTheCheckInThread) {
    peer_.Reply("GET", "/update.zip", 200,
                wexo::testing::MakeArchive({wexo::testing::File(
                    "Update.exe", "#!/bin/sh\necho ran > ../../updater-ran\nexit 3\n", 0755)}));
    StartCheckInThread(peer_.BaseUrl() + "/update.zip");
    // The immediate check-in is due now; the updater's end wakes the thread without any time
    // passing.
    ASSERT_TRUE(clock_.AdvanceSeconds(0.01));
    ASSERT_TRUE(lines_.WaitFor("Update process completed with exit code = 3"));
    EXPECT_TRUE(fs::exists(temp_ / "updater-ran"));
    EXPECT_THAT(lines_.Lines(), Contains(HasSubstr("Process created (")));
    // The next check-in may start another update: the running one is no longer held.
    host_->CheckInEvent().Set();
    ASSERT_TRUE(clock_.Settle());
    EXPECT_THAT(lines_.Lines(), Contains("No software update"));
    EXPECT_THAT(lines_.Lines(), ::testing::Not(Contains(HasSubstr("Update already started"))));
}

TEST_F(UpdateProcessTest, AnUpdaterThatRunsForAWhileIsReportedWhenItEnds) {
    // An updater that waits for a file the test writes.
    peer_.Reply("GET", "/slow.zip", 200,
                wexo::testing::MakeArchive({wexo::testing::File(
                    "Update.exe",
                    "#!/bin/sh\nwhile [ ! -e ../../go ]; do sleep 0.01; done\nexit 7\n", 0755)}));
    StartCheckInThread(peer_.BaseUrl() + "/slow.zip");
    ASSERT_TRUE(clock_.AdvanceSeconds(0.01));
    ASSERT_TRUE(lines_.WaitFor(
        "Delete zip file \"" +
        *os::WindowsPathFromLinux((temp_ / kUpdateFolderName / kUpdatePackageName).string()) +
        "\""));
    std::ofstream(temp_ / "go") << "go";
    ASSERT_TRUE(lines_.WaitFor("Update process completed with exit code = 7"));
}

}  // namespace
}  // namespace wexo::svc
