// The whole start and stop of the service body against a driver that registers it and sends
// nothing: a check-in held by a server that trickles ends with the stop, a thread that overruns
// the stop budget keeps what it uses until it ends, controls during the stop are ordered with it,
// and a worker group that cannot start ends the start with its event.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "common/control_codes.h"
#include "common/records.h"
#include "os/core/clock.h"
#include "os/core/device_gateway.h"
#include "os/core/event_log.h"
#include "os/registry/registry.h"
#include "os/win32/service_control.h"
#include "service/checkin/check_in.h"
#include "service/host/service_host.h"
#include "service/host/worker_threads.h"
#include "service/support/event_log.h"
#include "service/support/http_engine.h"
#include "service/support/registry_helpers.h"
#include "tests/service/log_capture.h"
#include "tools/peers/http_peer.h"
#include "tools/peers/peer_tls.h"
#include "tools/peers/streamed_reply.h"

namespace wexo::svc {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

// Where the driver would be: every open and control succeeds, registration answers the interface
// version the service wants, and no service call ever comes.
class IDLE_DRIVER final : public os::DEVICE_GATEWAY {
  public:
    IDLE_DRIVER() : previous_(os::SetDeviceGateway(this)) {}
    ~IDLE_DRIVER() override { os::SetDeviceGateway(previous_); }

    os::NTSTATUS Open(const std::u16string&, uint32_t, std::shared_ptr<void>* file) override {
        *file = std::make_shared<int>(0);
        return os::STATUS_SUCCESS;
    }
    void Close(const std::shared_ptr<void>&) override {}
    os::NTSTATUS Control(const std::shared_ptr<void>&, uint32_t code, uint64_t, uint32_t,
                         uint64_t output, uint32_t outputLength, uint64_t* information) override {
        *information = 0;
        if (code == QRN_REGISTER && outputLength >= sizeof(QRN_REGISTER_REPLY)) {
            QRN_REGISTER_REPLY reply{};
            reply.major = 6;
            reply.minor = 2;
            reply.interfaceVersion = kInterfaceVersion;
            std::memcpy(reinterpret_cast<void*>(output), &reply, sizeof reply);
            *information = sizeof reply;
        }
        return os::STATUS_SUCCESS;
    }

  private:
    os::DEVICE_GATEWAY* previous_;
};

class ServiceStopTest : public ::testing::Test {
  protected:
    HOST_OPTIONS Options() {
        HOST_OPTIONS options;
        options.buildServerSet = false;
        options.processorCount = 1;
        options.serviceCallThreadsPerProcessor = 2;
        return options;
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    IDLE_DRIVER driver_;
    testing::LOG_CAPTURE lines_;
};

// The check-in request waits on a server that sends a byte a second, so no idle time-out ends it;
// the stop does, and every thread stops within the budget.
TEST_F(ServiceStopTest, ACheckInToAServerThatTricklesEndsWithTheStopWithinTheBudget) {
    // A server the service verifies, as a deployment that names its own authority does.
    peers::TestCertificateAuthority authority;
    const std::string caFile =
        ::testing::TempDir() + "service_stop_test_root_" + std::to_string(getpid()) + ".pem";
    ASSERT_TRUE(authority.WriteCertificateFile(caFile));
    peers::HttpPeer api(peers::HttpsPeer(authority.Issue()));
    peers::StreamedReply trickle;
    api.Handle("GET", "/2/checkin", trickle.Handler());
    ASSERT_TRUE(api.Start());
    {
        SETTINGS settings;
        ASSERT_TRUE(settings.OpenProductKey());
        ASSERT_TRUE(WriteRegistryDword(settings.ProductKey(), "StrictTls", 1));
        ASSERT_TRUE(WriteRegistryString(settings.ProductKey(), "TlsCaFile", caFile));
    }

    HOST_OPTIONS options = Options();
    options.immediateCheckIn = true;
    HOST_PARTS parts;
    const std::string server = api.HostPort();
    parts.checkIn = [server](const std::string&, const std::string& mac,
                             const std::string& uniqueDeviceId, CHECK_IN_RESULT*) {
        CHECK_IN_REPLY reply;
        return CheckIn(nullptr, mac, CHECK_IN_DEVICE{server, uniqueDeviceId, "Linux_x64"}, &reply);
    };
    SERVICE_HOST host(options, parts);
    ASSERT_TRUE(host.Initialise());
    ASSERT_TRUE(trickle.WaitForStart(1)) << "the check-in never reached the server";
    host.StopRequest("test");
    host.Shutdown();
    EXPECT_THAT(lines_.Lines(), Contains(HasSubstr("threads stopped normally in")));
    EXPECT_THAT(lines_.Lines(), Not(Contains(HasSubstr("Terminating"))));
    EXPECT_THAT(lines_.Lines(), Contains(HasSubstr("Request cancelled: the program is stopping")));
    // The host's stop is no longer the one later requests of the process are made under.
    EXPECT_EQ(GetHttpStop(), nullptr);

    trickle.Stop();
    api.Stop();
    SetHttpTlsPolicy({});
    std::filesystem::remove(caFile);
}

// A check-in that does not heed the stop (one that waits on something else) overruns the budget
// and is only logged as terminated; the host goes, and the thread then finds what it uses still
// there when it goes on (an address sanitizer run shows any use of freed memory).
TEST_F(ServiceStopTest, AThreadThatOverrunsTheBudgetKeepsWhatItUsesUntilItEnds) {
    os::VirtualClock clock;
    os::Event release(os::EventType::Notification);
    std::atomic<bool> returned{false};
    HOST_OPTIONS options = Options();
    options.immediateCheckIn = true;
    HOST_PARTS parts;
    parts.checkIn = [&](const std::string&, const std::string&, const std::string&,
                        CHECK_IN_RESULT* result) {
        os::WaitForSingleObject(release, os::INFINITE);
        result->servers = {"policy.test"};
        returned = true;
        return true;
    };
    auto host = std::make_unique<SERVICE_HOST>(options, parts);
    ASSERT_TRUE(host->Initialise());
    ASSERT_TRUE(clock.AdvanceSeconds(0.01));
    ASSERT_TRUE(lines_.WaitFor("Check-in timer elapsed"));
    host->StopRequest("test");

    std::atomic<bool> gone{false};
    std::thread stopping([&] {
        host.reset();
        gone = true;
    });
    while (!gone) {
        ASSERT_TRUE(clock.AdvanceSeconds(1));
        std::this_thread::yield();
    }
    stopping.join();
    EXPECT_THAT(lines_.Lines(), Contains("Terminating Check-in thread"));
    EXPECT_FALSE(returned);

    release.Set();
    ASSERT_TRUE(clock.Settle());
    EXPECT_TRUE(returned);
}

// Power and session controls keep coming while the service stops: each is handled whole before
// the channel goes, or finds it gone; none reaches a closed device.
TEST_F(ServiceStopTest, ControlsDuringTheStopAreOrderedWithIt) {
    HOST_PARTS parts;
    parts.cloudAccountDomain = [](uint32_t) { return std::string("school.example"); };
    SERVICE_HOST host(Options(), parts);
    ASSERT_TRUE(host.Initialise());
    std::atomic<bool> done{false};
    std::thread controls([&] {
        os::WTSSESSION_NOTIFICATION session{3, "pupil"};
        while (!done) {
            host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMSUSPEND, nullptr);
            host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMRESUMEAUTOMATIC,
                                nullptr);
            host.ControlHandler(os::SERVICE_CONTROL_SESSIONCHANGE, os::WTS_SESSION_LOGON, &session);
        }
    });
    ASSERT_TRUE(lines_.WaitFor("Service control: Standby"));
    host.StopRequest("test");
    host.Shutdown();
    done = true;
    controls.join();
    EXPECT_EQ(host.ControlHandler(os::SERVICE_CONTROL_POWEREVENT, os::PBT_APMSUSPEND, nullptr), 0u);
    for (const std::string& line : lines_.Lines()) {
        EXPECT_EQ(line.find("DeviceIoControl error"), std::string::npos) << line;
    }
}

std::string gRefused;

uint32_t RefuseGroup(const std::string& group) {
    return group == gRefused ? os::ERROR_NOT_ENOUGH_MEMORY : os::ERROR_SUCCESS;
}

// A worker group that cannot start ends the start, undone, with the event of a thread that could
// not be created naming the group.
TEST_F(ServiceStopTest, AWorkerGroupThatCannotStartEndsTheStartWithItsEvent) {
    const bool syslog = os::SetEventLogSyslogOutput(false);
    ServiceEventLog().Start("WexoSvc");
    for (const char* group : {"Settings", "Service Call", "HTTPS session reuse"}) {
        os::ClearEventLogRecords();
        lines_.Clear();
        gRefused = group;
        SetThreadStartCheckForTesting(&RefuseGroup);
        SERVICE_HOST host(Options(), {});
        EXPECT_FALSE(host.Initialise()) << group;
        SetThreadStartCheckForTesting(nullptr);
        bool reported = false;
        for (const os::EVENT_LOG_RECORD& record : os::EventLogRecords()) {
            reported = reported || (record.eventId == EVENT_CREATE_THREAD_FAILED &&
                                    record.strings.size() == 3 && record.strings[1] == "8" &&
                                    record.strings[2] == group);
        }
        EXPECT_TRUE(reported) << group;
        EXPECT_THAT(lines_.Lines(), Contains("Uninitializing service")) << group;
        EXPECT_THAT(lines_.Lines(), Not(Contains(HasSubstr("Terminating")))) << group;
    }
    ServiceEventLog().Stop();
    os::SetEventLogSyslogOutput(syslog);
}

}  // namespace
}  // namespace wexo::svc
