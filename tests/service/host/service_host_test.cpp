// The service body's control handler, power state, check-in domain and worker threads, driven
// without a service manager: controls go straight to the handler, time is virtual.
#include "service/host/service_host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "os/core/clock.h"
#include "os/core/event_log.h"
#include "os/registry/registry.h"
#include "os/win32/address_change.h"
#include "os/win32/service_control.h"
#include "service/servers/policy_servers.h"
#include "service/support/debug_log.h"
#include "service/support/event_log.h"
#include "service/support/registry_helpers.h"
#include "tests/service/log_capture.h"

namespace wexo::svc {
namespace {

using ::testing::Contains;
using ::testing::Not;

constexpr uint64_t kSecond = 10'000'000;
constexpr char kDeviceId[] = "0B4E4C2E-6C1D-4F5C-9E0A-5D2B3C4D5E6F";

class ServiceHostTest : public ::testing::Test {
  protected:
    HOST_OPTIONS Options() {
        HOST_OPTIONS options;
        options.buildServerSet = false;
        return options;
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    testing::LOG_CAPTURE lines_;
};

TEST_F(ServiceHostTest, StopAndShutdownAreStopRequestsOtherControlsAreNotImplemented) {
    SERVICE_HOST host(Options(), {});
    EXPECT_EQ(host.ControlHandler(os::SERVICE_CONTROL_STOP, 0, nullptr), 0u);
    EXPECT_TRUE(host.Stop().event.IsSet());
    EXPECT_TRUE(host.Stop().requested.load());
    EXPECT_THAT(lines_.Lines(), Contains("Stopping Service: Reason = Service control: stop"));
    // A second stop while stopping only signals the same event again.
    EXPECT_EQ(host.ControlHandler(os::SERVICE_CONTROL_SHUTDOWN, 0, nullptr), 0u);
    EXPECT_THAT(lines_.Lines(), Contains("Stopping Service: Reason = Service control: shutdown"));
    EXPECT_TRUE(host.Stop().event.IsSet());
    for (uint32_t control : {2u, 3u, 4u, 15u, 0x40u}) {
        EXPECT_EQ(host.ControlHandler(control, 0, nullptr), 120u) << control;
    }
    host.StopRequest(nullptr);
    EXPECT_THAT(lines_.Lines(), Contains("Stopping Service ..."));
}

TEST_F(ServiceHostTest, PowerStateMovesOnlyByTheExpectedTransitions) {
    SERVICE_HOST host(Options(), {});
    EXPECT_EQ(host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMSUSPEND, nullptr), 0u);
    EXPECT_EQ(host.PowerState(), POWER_STANDBY);
    EXPECT_THAT(lines_.Lines(), Contains("Service control: Standby"));
    EXPECT_THAT(lines_.Lines(), Contains("Power state changed from normal to standby"));
    // A second suspend finds standby already: nothing to say.
    lines_.Clear();
    host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMSUSPEND, nullptr);
    EXPECT_THAT(lines_.Lines(), Not(Contains(::testing::HasSubstr("Power state"))));

    host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMRESUMEAUTOMATIC, nullptr);
    EXPECT_EQ(host.PowerState(), POWER_RESUMING);
    EXPECT_THAT(lines_.Lines(), Contains("Service control: Automatic resume"));
    EXPECT_THAT(lines_.Lines(), Contains("Power state changed from standby to resuming"));
    // A suspend while resuming is refused with the state found.
    lines_.Clear();
    host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMSUSPEND, nullptr);
    EXPECT_EQ(host.PowerState(), POWER_RESUMING);
    EXPECT_THAT(lines_.Lines(), Contains("Power state resuming found when normal was expected"));
    // A resume while resuming says nothing more.
    lines_.Clear();
    host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMRESUMESUSPEND, nullptr);
    EXPECT_THAT(lines_.Lines(), Contains("Service control: Resume"));
    EXPECT_THAT(lines_.Lines(), Not(Contains(::testing::HasSubstr("Power state"))));

    host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_POWERSETTINGCHANGE, nullptr);
    host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, 10, nullptr);
    EXPECT_THAT(lines_.Lines(), Contains("Service control: power setting change"));
    EXPECT_THAT(lines_.Lines(), Contains("Service control: power event type = 10"));
}

TEST_F(ServiceHostTest, AResumeWithoutASuspendIsLoggedAndTheStateStaysNormal) {
    SERVICE_HOST host(Options(), {});
    host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMRESUMESUSPEND, nullptr);
    EXPECT_EQ(host.PowerState(), POWER_NORMAL);
    EXPECT_THAT(lines_.Lines(), Contains("Power state normal found when standby was expected"));
}

TEST_F(ServiceHostTest, SessionChangesLogTheSessionAndALogonMaySetTheCheckInDomain) {
    HOST_PARTS parts;
    parts.cloudAccountDomain = [](uint32_t session) {
        return session == 7 ? std::string("district.example") : std::string();
    };
    SERVICE_HOST host(Options(), parts);
    os::WTSSESSION_NOTIFICATION pupil{7, "pupil"};
    os::WTSSESSION_NOTIFICATION nameless{3, ""};
    EXPECT_EQ(
        host.ControlHandler(os::SERVICE_CONTROL_SESSIONCHANGE, os::WTS_SESSION_LOGON, &nameless),
        0u);
    EXPECT_THAT(lines_.Lines(), Contains("Logon: SessionId = 3"));
    // No cloud account: the check-in thread is not woken.
    EXPECT_FALSE(host.CheckInEvent().IsSet());
    EXPECT_EQ(host.CheckInDomain(), "");

    host.ControlHandler(os::SERVICE_CONTROL_SESSIONCHANGE, os::WTS_SESSION_LOGON, &pupil);
    EXPECT_THAT(lines_.Lines(), Contains("Logon: UserName = \"pupil\", SessionId = 7"));
    EXPECT_THAT(lines_.Lines(), Contains("Check-in domain = \"district.example\""));
    EXPECT_EQ(host.CheckInDomain(), "district.example");
    EXPECT_TRUE(host.CheckInEvent().IsSet());

    host.SetCheckInDomain("other.example");
    EXPECT_THAT(
        lines_.Lines(),
        Contains("Changing check-in domain from \"district.example\" to \"other.example\""));
    // The same domain again changes nothing and says nothing.
    lines_.Clear();
    host.SetCheckInDomain("other.example");
    EXPECT_TRUE(lines_.Lines().empty());

    host.ControlHandler(os::SERVICE_CONTROL_SESSIONCHANGE, os::WTS_SESSION_LOGOFF, &pupil);
    host.ControlHandler(os::SERVICE_CONTROL_SESSIONCHANGE, os::WTS_CONSOLE_CONNECT, &pupil);
    host.ControlHandler(os::SERVICE_CONTROL_SESSIONCHANGE, os::WTS_CONSOLE_DISCONNECT, &pupil);
    EXPECT_THAT(lines_.Lines(), Contains("Logoff: SessionId = 7"));
    EXPECT_THAT(lines_.Lines(), Contains("Console connect: SessionId = 7"));
    EXPECT_THAT(lines_.Lines(), Contains("Console disconnect: SessionId = 7"));
    // Lock and unlock are session changes the service does nothing with.
    lines_.Clear();
    EXPECT_EQ(host.ControlHandler(os::SERVICE_CONTROL_SESSIONCHANGE, os::WTS_SESSION_LOCK, &pupil),
              0u);
    EXPECT_TRUE(lines_.Lines().empty());
}

TEST_F(ServiceHostTest, RequestedNextCheckInIsClampedToSixHoursAndThreeDays) {
    const uint64_t now = os::VirtualClock::kDefaultStart;
    EXPECT_EQ(NextCheckInDelay(now, now + 3600 * kSecond, 0), kMinCheckInSeconds);
    EXPECT_THAT(lines_.Lines(),
                Contains("Requested next check-in is less than the minimum of 6 hours. Using the "
                         "mimimum"));
    EXPECT_EQ(NextCheckInDelay(now, now + 5 * 86400 * kSecond, 0), kMaxCheckInSeconds);
    EXPECT_THAT(lines_.Lines(),
                Contains("Requested next check-in is greater than the maximum of 72 hours. Using "
                         "the maximum"));
    // A time in the past is a very long delay, so the maximum.
    EXPECT_EQ(NextCheckInDelay(now, now - 60 * kSecond, 0), kMaxCheckInSeconds);
    EXPECT_EQ(NextCheckInDelay(now, now + 12 * 3600 * kSecond, 0), 12u * 3600);
    EXPECT_EQ(NextCheckInDelay(now, now + 21600 * kSecond, 0), 21600u);
    EXPECT_EQ(NextCheckInDelay(now, now + 259200 * kSecond, 0), 259200u);
    lines_.Clear();
    EXPECT_EQ(NextCheckInDelay(now, std::nullopt, 3599), 86400u + 3599);
    EXPECT_THAT(lines_.Lines(), Contains("Next check-in not supplied; using default"));
    EXPECT_THAT(lines_.Lines(), Not(Contains(::testing::HasSubstr("Requested next check-in"))));
}

TEST_F(ServiceHostTest, ShutdownValueOneStopsTheServiceAndBecomesTwo) {
    // The virtual clock tells when the thread has armed its notification and waits again.
    os::VirtualClock clock;
    SERVICE_HOST host(Options(), {});
    ASSERT_TRUE(host.Settings().OpenProductKey());
    auto thread = os::Thread::Start([&] { host.SettingsThread(); }, "Settings");
    ASSERT_TRUE(clock.Settle());
    // Another value first: a reload, no stop.
    ASSERT_TRUE(WriteRegistryDword(host.Settings().ProductKey(), "DebugOutput", 0));
    ASSERT_TRUE(lines_.WaitFor("Loading new debug settings"));
    ASSERT_TRUE(clock.Settle());
    EXPECT_FALSE(host.Stop().event.IsSet());
    ASSERT_TRUE(WriteRegistryDword(host.Settings().ProductKey(), "Shutdown", 1));
    ASSERT_TRUE(lines_.WaitFor("Stopping Service: Reason = Registry value \"Shutdown\" set"));
    // The line comes before the event is set; the thread ends once it sees the event.
    thread->Join();
    EXPECT_TRUE(host.Stop().event.IsSet());
    uint32_t value = 0;
    ASSERT_TRUE(ReadRegistryDword(host.Settings().ProductKey(), "Shutdown", value));
    EXPECT_EQ(value, 2u);
}

TEST_F(ServiceHostTest, TheFirstAddressChangeAfterAResumeIsIgnoredTheNextEnablesFiltering) {
    SERVICE_HOST host(Options(), {});
    auto thread = os::Thread::Start([&] { host.IpNotifyThread(); }, "IpNotify");
    auto change = [&](const std::string& expected, size_t times) {
        // The thread re-arms its request after each change; a change before that is not lost
        // only if the request is armed, so wait for the line of the previous one first.
        os::SimulateAddressChange();
        return lines_.WaitFor(expected, times);
    };
    // Let the thread arm its first request.
    ASSERT_TRUE(os::WaitForAddressChangeRequests(1, 5000));
    ASSERT_TRUE(change("IP address change; enabling filtering", 1));

    host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMSUSPEND, nullptr);
    ASSERT_TRUE(os::WaitForAddressChangeRequests(1, 5000));
    ASSERT_TRUE(change("Ignore IP address change for suspend", 1));
    host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMRESUMESUSPEND, nullptr);
    ASSERT_TRUE(os::WaitForAddressChangeRequests(1, 5000));
    ASSERT_TRUE(change("Ignore IP address change for resume", 1));
    EXPECT_TRUE(lines_.WaitFor("Power state changed from resuming to normal"));
    EXPECT_EQ(host.PowerState(), POWER_NORMAL);
    ASSERT_TRUE(os::WaitForAddressChangeRequests(1, 5000));
    ASSERT_TRUE(change("IP address change; enabling filtering", 2));

    host.StopRequest("test");
    thread->Join();
}

TEST_F(ServiceHostTest, AnInvalidStartParameterStopsTheServiceWithCodeOne) {
    // A notify socket of the test's own makes the dispatcher run the service as systemd would.
    const std::string path =
        (std::filesystem::temp_directory_path() / ("wexo-host-" + std::to_string(getpid())))
            .string();
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const char* previous = std::getenv("NOTIFY_SOCKET");
    const std::string saved = previous != nullptr ? previous : "";
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    const bool syslog = os::SetEventLogSyslogOutput(false);
    os::ClearEventLogRecords();
    ServiceEventLog().Start("WexoSvc");
    int exitStatus = -1;
    const bool dispatched =
        os::StartServiceCtrlDispatcher("WexoSvc", [&](std::vector<std::string> arguments) {
            arguments.push_back("-NOSUCH");
            SERVICE_HOST host(Options(), {});
            exitStatus = host.ServiceMain(arguments);
        });
    if (previous != nullptr) {
        setenv("NOTIFY_SOCKET", saved.c_str(), 1);
    } else {
        unsetenv("NOTIFY_SOCKET");
    }
    close(fd);
    std::filesystem::remove(path);
    ServiceEventLog().Stop();
    os::SetEventLogSyslogOutput(syslog);
    ASSERT_TRUE(dispatched);
    EXPECT_EQ(exitStatus, 1);
    const os::SERVICE_STATUS last = os::LastServiceStatus();
    EXPECT_EQ(last.currentState, os::SERVICE_STOPPED);
    EXPECT_EQ(last.win32ExitCode, os::ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(last.serviceSpecificExitCode, SERVICE_EXIT_INVALID_PARAMETER);
    bool reported = false;
    for (const os::EVENT_LOG_RECORD& record : os::EventLogRecords()) {
        reported = reported || (record.eventId == 0xC0000002 && !record.strings.empty() &&
                                record.strings[0] == "-NOSUCH");
    }
    EXPECT_TRUE(reported);
    // Nothing of the service started.
    EXPECT_THAT(lines_.Lines(), Not(Contains(::testing::HasSubstr("Uninitializing"))));
}

// The check-in thread on the virtual clock, with a check-in that asks for its next time.
class CheckInThreadTest : public ServiceHostTest {
  protected:
    void StartThread(HOST_OPTIONS options, std::optional<uint64_t> nextIn,
                     bool deviceReady = true) {
        HOST_PARTS parts;
        parts.checkIn = [this, nextIn](const std::string& domain, const std::string&,
                                       const std::string& uniqueDeviceId, CHECK_IN_RESULT* result) {
            std::lock_guard guard(lock_);
            checkIns_.push_back(os::QuerySystemTime());
            domains_.push_back(domain);
            deviceIds_.push_back(uniqueDeviceId);
            if (nextIn) {
                result->nextCheckIn = os::QuerySystemTime() + *nextIn;
            }
            return true;
        };
        host_ = std::make_unique<SERVICE_HOST>(options, parts);
        ASSERT_TRUE(host_->Settings().OpenProductKey());
        if (deviceReady) {
            host_->Device().SetUniqueDeviceId(kDeviceId);
            host_->Device().SetReady();
        }
        thread_ = os::Thread::Start([this] { host_->CheckInThread(); }, "Check-in");
        ASSERT_TRUE(clock_.Settle());
    }
    size_t CheckIns() {
        std::lock_guard guard(lock_);
        return checkIns_.size();
    }
    void TearDown() override {
        if (host_) {
            host_->StopRequest("test");
            thread_->Join();
        }
    }

    os::VirtualClock clock_;
    std::mutex lock_;
    std::vector<uint64_t> checkIns_;
    std::vector<std::string> domains_;
    std::vector<std::string> deviceIds_;
    std::unique_ptr<SERVICE_HOST> host_;
    std::shared_ptr<os::Thread> thread_;
};

TEST_F(CheckInThreadTest, FirstCheckInAfterThirtySecondsThenTheClampedRequestedTime) {
    const uint64_t start = os::QuerySystemTime();
    StartThread(Options(), 3600 * kSecond);  // asks for one hour: six are used
    ASSERT_TRUE(clock_.AdvanceSeconds(29));
    EXPECT_EQ(CheckIns(), 0u);
    ASSERT_TRUE(clock_.AdvanceSeconds(1));
    ASSERT_EQ(CheckIns(), 1u);
    EXPECT_EQ(checkIns_[0], start + 30 * kSecond);
    EXPECT_TRUE(lines_.WaitFor("Check-in timer elapsed"));
    ASSERT_TRUE(clock_.AdvanceSeconds(6 * 3600 - 1));
    EXPECT_EQ(CheckIns(), 1u);
    ASSERT_TRUE(clock_.AdvanceSeconds(1));
    EXPECT_EQ(CheckIns(), 2u);
    // The daily refresh ran at 30 seconds and is due again a day later.
    EXPECT_THAT(lines_.Lines(), Contains("Policy query elapsed"));
}

TEST_F(CheckInThreadTest, FiveDaysRequestedGiveThreeDaysAndAnImmediateCheckInRunsAtOnce) {
    HOST_OPTIONS options = Options();
    options.immediateCheckIn = true;
    options.logonAccountDomain = "school.example";
    StartThread(options, 5 * 86400 * kSecond);
    ASSERT_TRUE(clock_.AdvanceSeconds(0.01));
    ASSERT_EQ(CheckIns(), 1u);
    EXPECT_EQ(domains_[0], "school.example");
    EXPECT_THAT(lines_.Lines(), Contains("Immediate check-in"));
    ASSERT_TRUE(clock_.AdvanceSeconds(3 * 86400 - 1));
    EXPECT_EQ(CheckIns(), 1u);
    ASSERT_TRUE(clock_.AdvanceSeconds(1));
    EXPECT_EQ(CheckIns(), 2u);
}

TEST_F(CheckInThreadTest, WithoutARequestedTimeTheNextCheckInIsADayAndUpToAnHourLater) {
    StartThread(Options(), std::nullopt);
    ASSERT_TRUE(clock_.AdvanceSeconds(30));
    ASSERT_EQ(CheckIns(), 1u);
    ASSERT_TRUE(clock_.AdvanceSeconds(86400 - 1));
    EXPECT_EQ(CheckIns(), 1u);
    ASSERT_TRUE(clock_.AdvanceSeconds(3600));
    EXPECT_EQ(CheckIns(), 2u);
    // The check-in event wakes the thread at once.
    host_->CheckInEvent().Set();
    ASSERT_TRUE(clock_.Settle());
    EXPECT_EQ(CheckIns(), 3u);
    EXPECT_THAT(lines_.Lines(), Contains("Check-in signaled"));
}

TEST_F(CheckInThreadTest, AFreshInstallDefersTheUpdateOnceAndTheOverrideIsUsedOnce) {
    HOST_OPTIONS options = Options();
    options.updateUrlOverride = "http://update.test/pkg.zip";
    {
        SETTINGS settings;
        ASSERT_TRUE(settings.OpenProductKey());
        ASSERT_TRUE(WriteRegistryDword(settings.ProductKey(), "Installed", 1));
    }
    StartThread(options, std::nullopt);
    ASSERT_TRUE(clock_.AdvanceSeconds(30));
    EXPECT_THAT(lines_.Lines(), Contains("Override update URL = \"http://update.test/pkg.zip\""));
    EXPECT_THAT(lines_.Lines(), Contains("Fresh install; deferring software update. URL = "
                                         "\"http://update.test/pkg.zip\""));
    uint32_t installed = 0;
    EXPECT_FALSE(ReadRegistryDword(host_->Settings().ProductKey(), "Installed", installed));
    host_->CheckInEvent().Set();
    ASSERT_TRUE(clock_.Settle());
    EXPECT_THAT(lines_.Lines(), Contains("No software update"));
}

// The check-in sends the device ID: it waits for the system information instead of sending the
// ID of an empty identity, and a stop while it waits ends the thread without a check-in.
TEST_F(CheckInThreadTest, TheCheckInWaitsForTheDeviceInformationAndAStopEndsTheWait) {
    HOST_OPTIONS options = Options();
    options.immediateCheckIn = true;
    StartThread(options, std::nullopt, false);
    ASSERT_TRUE(clock_.AdvanceSeconds(60));
    EXPECT_EQ(CheckIns(), 0u);
    EXPECT_THAT(lines_.Lines(), Contains("Waiting for WMI query to complete ..."));
    host_->Device().SetUniqueDeviceId(kDeviceId);
    host_->Device().SetReady();
    ASSERT_TRUE(clock_.Settle());
    ASSERT_EQ(CheckIns(), 1u);
    EXPECT_EQ(deviceIds_[0], kDeviceId);
    host_->StopRequest("test");
    thread_->Join();
    host_.reset();

    StartThread(options, std::nullopt, false);
    ASSERT_TRUE(clock_.AdvanceSeconds(1));
    host_->StopRequest("test");
    thread_->Join();
    EXPECT_EQ(CheckIns(), 1u) << "no check-in after the stop";
    EXPECT_THAT(lines_.Lines(), Contains("waiting for WMI query: Shutting down signaled"));
}

}  // namespace
}  // namespace wexo::svc
