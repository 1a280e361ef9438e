// The real driver channel (control device and service-call queue) and the real service workers in
// one process: registration, lookups and name resolutions end to end, failures in handlers, the
// heartbeat and standby rules on the virtual clock, and the stop of a service whose worker is
// still busy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "driver/platform/resolve_name.h"
#include "os/core/clock.h"
#include "os/core/event_log.h"
#include "os/win32/environment.h"
#include "service/calls/register_service.h"
#include "service/calls/service_call.h"
#include "service/checkin/identity.h"
#include "service/policy/https_session_map.h"
#include "service/policy/policy_lookup.h"
#include "service/support/event_log.h"
#include "tests/driver/channel/channel_fixture.h"
#include "tests/service/calls/service_test_support.h"
#include "tests/service/policy/rule_decision.h"

namespace wexo::integration {
namespace {

using drv::testing::LookupRecord;
using drv::testing::ServiceProcess;
using std::chrono::milliseconds;
using std::chrono::seconds;
using svc::testing::LOG_CAPTURE;
using svc::testing::RULE_DECISION;
using wexo::CallResult;

// A lookup worker of the driver: submits one lookup and keeps what came back.
class DriverLookup {
  public:
    DriverLookup(drv::SERVICE_CALL_QUEUE& queue, std::string host, std::string path = "/",
                 uint32_t code = SC_CODE_POLICY_LOOKUP)
        : record_(std::move(host), std::move(path)) {
        record_.record.userSid = reinterpret_cast<uint64_t>(sid_.data());
        record_.record.userSidLength = static_cast<uint32_t>(sid_.size());
        request_ = record_.Request();
        request_.code = code;
        thread_ = os::Thread::Start([this, &queue] { result_ = queue.Submit(request_); });
    }
    ~DriverLookup() { Join(); }

    CallResult Join() {
        thread_->Join();
        return result_;
    }
    bool Ended() const { return thread_->HasEnded(); }
    int32_t Status() const { return record_.status; }
    std::string Text() const { return record_.AnswerText(); }

  private:
    std::vector<uint8_t> sid_ = svc::UnixUserSid(static_cast<uint32_t>(getuid()));
    LookupRecord record_;
    drv::SERVICE_CALL_REQUEST request_;
    std::atomic<CallResult> result_{CallResult::Failed};
    std::shared_ptr<os::Thread> thread_;
};

class ServiceChannelTest : public drv::testing::ChannelTest {
  protected:
    void SetUp() override {
        ChannelTest::SetUp();
        deviceInfo.SetUniqueDeviceId("6B29FC40-CA47-1067-B31D-00DD010662DA");
        deviceInfo.SetReady();
    }
    void TearDown() override {
        StopService();
        ChannelTest::TearDown();
    }

    void StartService(uint32_t workers) {
        service.In([&] {
            deviceHandle = svc::OpenControlDevice();
            ASSERT_NE(deviceHandle, os::INVALID_HANDLE_VALUE);
            channel = svc::SERVICE_CALL_CHANNEL::Create();
            os::HANDLE input = channel->ServiceCallInitialize(
                deviceHandle, svc::MakeServiceCallDispatcher(context));
            ASSERT_NE(input, 0u);
            for (uint32_t i = 0; i < workers; ++i) {
                threads.push_back(channel->StartServiceCallThread(i));
            }
            ASSERT_TRUE(svc::RegisterService(deviceHandle, input, &version));
        });
    }
    // Workers first (they end at once on the stop event), so that no round of the bounded wait
    // is spent on them; then the channel, then the handle.
    void StopService() {
        if (!channel) {
            return;
        }
        channel->ServiceCallStop();
        for (auto& thread : threads) {
            thread->Join();
        }
        threads.clear();
        service.In([&] {
            channel->ServiceCallUninitialize();
            os::CloseHandle(deviceHandle);
        });
        channel.reset();
    }
    void AwaitInFlight(uint32_t n) {
        while (queue.InFlight() < n) {
            std::this_thread::yield();
        }
    }

    ServiceProcess service;
    LOG_CAPTURE log;
    RULE_DECISION decision;
    svc::HTTPS_SESSION_MAP sessions;
    svc::DEVICE_INFORMATION deviceInfo;
    os::Event stop{os::EventType::Notification, false};
    svc::POLICY_LOOKUP_CONTEXT context{decision, sessions, deviceInfo, stop};
    std::shared_ptr<svc::SERVICE_CALL_CHANNEL> channel;
    std::vector<std::shared_ptr<os::Thread>> threads;
    os::HANDLE deviceHandle = 0;
    svc::DRIVER_VERSION version;
};

TEST_F(ServiceChannelTest, TheServiceRegistersWithItsFolders) {
    StartService(2);
    EXPECT_EQ(version.major, kDriverMajorVersion);
    EXPECT_EQ(version.interfaceVersion, kInterfaceVersion);
    EXPECT_TRUE(queue.IsServiceActive());
    EXPECT_EQ(device.RegisteredProcessId(), service.Id());
    std::string module;
    ASSERT_TRUE(os::GetModuleFileName(module));
    // The service names its folder as "\??\C:\..."; the driver keeps it in device form.
    std::u16string folder = protection.ProtectedFolder();
    const std::u16string volume = u"\\Device\\HarddiskVolume1";
    EXPECT_EQ(folder.substr(0, volume.size()), volume);
    EXPECT_EQ(folder.size(), volume.size() + module.rfind('\\') - 2);
    EXPECT_TRUE(log.Has("Service registered"));
    EXPECT_TRUE(log.Has("RegisterService: Driver v6.2.9 interface v2\r\n"));

    // A second service cannot register while this one is.
    svc::ServiceEventLog().Start("WexoSvc");
    os::ClearEventLogRecords();
    ServiceProcess second;
    second.In([&] {
        os::HANDLE other = svc::OpenControlDevice();
        EXPECT_FALSE(svc::RegisterService(other, os::CreateEventA(false, false)));
        os::CloseHandle(other);
    });
    svc::ServiceEventLog().Stop();
    auto records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].eventId, svc::EVENT_DEVICE_IO_CONTROL_FAILED);
    EXPECT_EQ(records[0].strings,
              (std::vector<std::string>{"QRN_REGISTER", "Incorrect function", "1"}));
    EXPECT_EQ(device.RegisteredProcessId(), service.Id());
}

TEST_F(ServiceChannelTest, LookupsAreAllowedOrRedirectedWithTheExactResponse) {
    decision.Redirect("blocked.test", "http://block.example/page?from=blocked.test");
    StartService(2);
    DriverLookup allowed(queue, "www.example.test", "/index.html");
    DriverLookup blocked(queue, "blocked.test", "/news");
    EXPECT_EQ(allowed.Join(), CallResult::Answered);
    EXPECT_EQ(allowed.Status(), 1168);
    EXPECT_EQ(allowed.Text(), "");
    EXPECT_EQ(blocked.Join(), CallResult::Answered);
    EXPECT_EQ(blocked.Status(), 0);
    EXPECT_EQ(blocked.Text(),
              "HTTP/1.1 302 Other\r\nLocation: http://block.example/page?from=blocked.test\r\n"
              "Content-Length:0\r\nConnection: close\r\n\r\n");
    auto asked = decision.Asked();
    ASSERT_EQ(asked.size(), 2u);
    std::string domain, user;
    svc::GetAccountForSid(svc::UnixUserSid(static_cast<uint32_t>(getuid())), &domain, &user);
    EXPECT_EQ(asked[0].userName, user);
    EXPECT_EQ(asked[0].deviceId, "6B29FC40-CA47-1067-B31D-00DD010662DA");
    // The waiter may wake before the worker has put the call away; once the workers have ended,
    // no call is left outstanding.
    channel->ServiceCallStop();
    for (auto& thread : threads) {
        thread->Join();
    }
    EXPECT_EQ(channel->OutstandingCalls(), 0u);
}

TEST_F(ServiceChannelTest, ARequestLargerThanTheBufferIsHandledAndItsRegionReleased) {
    std::string path = "/search?q=" + std::string(3000, 'q');
    decision.Redirect("large.test/search?q=qqq", "http://block.example/");
    StartService(1);
    DriverLookup lookup(queue, "large.test", path);
    EXPECT_EQ(lookup.Join(), CallResult::Answered);
    EXPECT_EQ(lookup.Status(), 0);
    ASSERT_EQ(decision.Asked().size(), 1u);
    EXPECT_EQ(decision.Asked()[0].lookupUrl, "large.test" + path);
    // The worker releases the region after answering; once it has ended, nothing is left.
    StopService();
    EXPECT_EQ(service.Process().CommittedRegionCount(), 0u);
}

TEST_F(ServiceChannelTest, UnknownCodesAndBlocksThatDoNotAddUpAreAnsweredAtOnce) {
    StartService(1);
    DriverLookup unknown(queue, "x.test", "/", 3);
    EXPECT_EQ(unknown.Join(), CallResult::Answered);
    EXPECT_EQ(unknown.Status(), SC_STATUS_NO_HANDLER);
    EXPECT_EQ(log.Count(", Code=3, not handled"), 1u);

    // A name request sent as a lookup: far too short for a lookup record.
    LookupRecord record("x.test");
    // Padded: the copy engine reads kernel strings in chunks of up to 256 bytes.
    static const char kName[512] = "x.test";
    DNS_NAME_REQUEST name{reinterpret_cast<uint64_t>(kName)};
    static constexpr drv::BLOCK_DESCRIPTOR kNameParts[] = {{drv::BlockPart::String, 0},
                                                           {drv::BlockPart::End}};
    drv::SERVICE_CALL_REQUEST request = record.Request();
    request.record = &name;
    request.recordSize = sizeof name;
    request.requestParts = kNameParts;
    EXPECT_EQ(queue.Submit(request), CallResult::Answered);
    EXPECT_EQ(record.status, svc::SC_STATUS_BAD_REQUEST);
    EXPECT_EQ(log.Count("Malformed request block"), 1u);
    EXPECT_TRUE(decision.Asked().empty());
}

TEST_F(ServiceChannelTest, AHandlerThatThrowsIsAnsweredAndItsWorkerLivesOn) {
    decision.Fail("fail.test");
    StartService(1);  // one worker: the second lookup proves it survived
    DriverLookup failing(queue, "fail.test", "/");
    EXPECT_EQ(failing.Join(), CallResult::Answered);
    EXPECT_EQ(failing.Status(), svc::SC_STATUS_HANDLER_FAULT);
    EXPECT_EQ(
        log.Count("STANDARD_EXCEPTION code = 0xe06d7363,\n    decision failed for fail.test/"), 1u);
    DriverLookup next(queue, "fine.test", "/");
    EXPECT_EQ(next.Join(), CallResult::Answered);
    EXPECT_EQ(next.Status(), 1168);
    EXPECT_EQ(channel->LiveWorkers(), 1);
}

TEST_F(ServiceChannelTest, NamesAreResolvedForTheDriver) {
    svc::testing::TABLE_RESOLVER resolver;
    resolver.Add("dual.test",
                 {svc::IP_ADDRESS::V4(127, 0, 0, 1), svc::IP_ADDRESS::V4(192, 0, 2, 1),
                  svc::testing::V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2})});
    svc::ScopedNameResolver scoped(resolver);
    StartService(2);
    drv::RESOLVE_RESULT v4 = drv::ResolveName(queue, "dual.test", drv::NameFamily::V4);
    ASSERT_EQ(v4.outcome, drv::ResolveOutcome::Resolved);
    ASSERT_EQ(v4.addresses.Count(), 1u);
    EXPECT_EQ(std::memcmp(v4.addresses.Address(0), "\xC0\x00\x02\x01", 4), 0);
    drv::RESOLVE_RESULT v6 = drv::ResolveName(queue, "dual.test", drv::NameFamily::V6);
    ASSERT_EQ(v6.outcome, drv::ResolveOutcome::Resolved);
    ASSERT_EQ(v6.addresses.Count(), 1u);
    EXPECT_EQ(v6.addresses.Address(0)[15], 2);
    drv::RESOLVE_RESULT missing = drv::ResolveName(queue, "missing.test", drv::NameFamily::V6);
    EXPECT_EQ(missing.outcome, drv::ResolveOutcome::NotFound);
    EXPECT_EQ(missing.status, 11001);
}

TEST_F(ServiceChannelTest, LocalhostThroughTheSystemResolverIsResolvedButEmpty) {
    StartService(1);
    drv::RESOLVE_RESULT result = drv::ResolveName(queue, "localhost", drv::NameFamily::V4);
    EXPECT_EQ(result.outcome, drv::ResolveOutcome::Resolved);
    EXPECT_EQ(result.addresses.Count(), 0u);
}

TEST_F(ServiceChannelTest, AMismatchedInterfaceIsRefusedWithItsEvent) {
    // The real driver answers interface 2; a device that answers 3 stands in for a newer driver.
    device.Delete();
    svc::ServiceEventLog().Start("WexoSvc");
    os::ClearEventLogRecords();
    {
        svc::testing::SCRIPTED_DRIVER newer;
        newer.On(QRN_REGISTER, [](const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
            QRN_REGISTER_REPLY reply{7, 0, 1, 0, 3};
            args.caller.Write(args.outputBuffer, &reply, sizeof reply);
            return os::STATUS_SUCCESS;
        });
        service.In([&] {
            os::HANDLE handle = svc::OpenControlDevice();
            EXPECT_FALSE(svc::RegisterService(handle, os::CreateEventA(false, false), &version));
            os::CloseHandle(handle);
        });
    }
    svc::ServiceEventLog().Stop();
    EXPECT_EQ(version.interfaceVersion, 3);
    auto records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].eventId, svc::EVENT_DRIVER_INTERFACE_MISMATCH);
    EXPECT_EQ(records[0].strings, (std::vector<std::string>{"2", "3"}));
    EXPECT_EQ(log.Count("RegisterService: Driver v7.0.1, interface v3,"), 1u);
    EXPECT_EQ(log.Count("required interface v2\r\n"), 1u);
    ASSERT_EQ(device.Create(), os::STATUS_SUCCESS);
}

TEST_F(ServiceChannelTest, NoDeviceAndAFailingRegistrationAreReported) {
    device.Delete();
    svc::ServiceEventLog().Start("WexoSvc");
    os::ClearEventLogRecords();
    service.In([&] { EXPECT_EQ(svc::OpenControlDevice(), os::INVALID_HANDLE_VALUE); });
    {
        svc::testing::SCRIPTED_DRIVER refusing;
        refusing.On(QRN_REGISTER, [](const auto&) { return os::STATUS_INVALID_DEVICE_REQUEST; });
        service.In([&] {
            os::HANDLE handle = svc::OpenControlDevice();
            EXPECT_FALSE(svc::RegisterService(handle, os::CreateEventA(false, false)));
            os::CloseHandle(handle);
        });
    }
    svc::ServiceEventLog().Stop();
    auto records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].eventId, svc::EVENT_OPEN_DEVICE_FAILED);
    EXPECT_EQ(records[0].strings,
              (std::vector<std::string>{"The system cannot find the file specified", "2",
                                        "\\\\.\\Global\\WexoWfp"}));
    EXPECT_EQ(records[1].eventId, svc::EVENT_DEVICE_IO_CONTROL_FAILED);
    EXPECT_EQ(records[1].strings,
              (std::vector<std::string>{"QRN_REGISTER", "Incorrect function", "1"}));
    ASSERT_EQ(device.Create(), os::STATUS_SUCCESS);
}

// ---- Time rules, on the virtual clock.

TEST_F(ServiceChannelTest, HeartbeatsKeepTheLimitRunningForALongCall) {
    os::VirtualClock clock;
    decision.Hold("slow.test");
    StartService(1);
    DriverLookup lookup(queue, "slow.test");
    ASSERT_EQ(os::WaitForSingleObject(decision.Entered(), os::INFINITE), os::WAIT_OBJECT_0);
    // The service shows it is alive every 2 s, so the driver counts the call's time against its
    // limit: the 25th ten-second round takes it past 240 s.
    for (int second = 0; second < 248 && !lookup.Ended(); second += 2) {
        ASSERT_TRUE(clock.Advance(seconds(2)));
    }
    EXPECT_FALSE(lookup.Ended());
    EXPECT_EQ(log.Count("ServiceCallHeartbeat") - 1, 124u);  // less the thread's start line
    ASSERT_TRUE(clock.Advance(seconds(2)));
    EXPECT_EQ(lookup.Join(), CallResult::TimedOut);
    EXPECT_FALSE(queue.IsServiceActive());
    // The handler's late answer is dropped quietly; the worker is free again.
    decision.Release();
    ASSERT_TRUE(clock.Settle());
    EXPECT_EQ(channel->OutstandingCalls(), 0u);
    EXPECT_EQ(log.Count("ServiceCallOutput: DeviceIoControl error"), 0u);
    StopService();
}

TEST_F(ServiceChannelTest, AStoppedHeartbeatPausesTheLimit) {
    os::VirtualClock clock;
    decision.Hold("slow.test");
    StartService(1);
    DriverLookup lookup(queue, "slow.test");
    ASSERT_EQ(os::WaitForSingleObject(decision.Entered(), os::INFINITE), os::WAIT_OBJECT_0);
    ASSERT_TRUE(clock.Advance(seconds(100)));
    // The heartbeat ends with the stop; the worker stays in its handler.
    channel->ServiceCallStop();
    ASSERT_TRUE(clock.Settle());
    EXPECT_FALSE(channel->IsHeartbeatRunning());
    ASSERT_TRUE(clock.Advance(std::chrono::minutes(30)));
    EXPECT_FALSE(lookup.Ended());
    decision.Release();
    EXPECT_EQ(lookup.Join(), CallResult::Answered);
    EXPECT_EQ(lookup.Status(), 1168);
    StopService();
}

TEST_F(ServiceChannelTest, StandbyPausesTheLimitAndResumeRestartsIt) {
    os::VirtualClock clock;
    decision.Hold("slow.test");
    StartService(1);
    DriverLookup lookup(queue, "slow.test");
    ASSERT_EQ(os::WaitForSingleObject(decision.Entered(), os::INFINITE), os::WAIT_OBJECT_0);
    EXPECT_TRUE(channel->ServiceCallStandby());
    ASSERT_TRUE(clock.Advance(std::chrono::minutes(20)));
    EXPECT_FALSE(lookup.Ended());
    EXPECT_TRUE(channel->ServiceCallResume());
    for (int second = 0; second < 300 && !lookup.Ended(); second += 2) {
        ASSERT_TRUE(clock.Advance(seconds(2)));
    }
    EXPECT_EQ(lookup.Join(), CallResult::TimedOut);
    decision.Release();
    StopService();
}

TEST_F(ServiceChannelTest, UninitializeWithAWorkerBlockedInAHandlerWaitsTenRoundsAtMost) {
    os::VirtualClock clock;
    decision.Hold("slow.test");
    StartService(1);
    DriverLookup lookup(queue, "slow.test");
    ASSERT_EQ(os::WaitForSingleObject(decision.Entered(), os::INFINITE), os::WAIT_OBJECT_0);

    auto uninitialize = service.In(
        [&] { return os::Thread::Start([this] { channel->ServiceCallUninitialize(); }); });
    ASSERT_TRUE(clock.Settle());
    EXPECT_TRUE(log.Has("ServiceCallUninitialize: Heartbeat thread stopped"));
    for (int round = 0; round < 9; ++round) {
        ASSERT_TRUE(clock.Advance(milliseconds(500)));
    }
    EXPECT_FALSE(uninitialize->HasEnded());
    ASSERT_TRUE(clock.Advance(milliseconds(500)));
    uninitialize->Join();
    EXPECT_EQ(
        log.Count("ServiceCallUninitialize: Waiting for 1 Service threads to terminate; wait #"),
        10u);
    EXPECT_TRUE(
        log.Has("ServiceCallUninitialize: Waiting for 1 Service threads to terminate; wait #10"));
    EXPECT_EQ(channel->LiveWorkers(), 1);

    // The worker finishes its call after all, answers it and ends.
    decision.Release();
    EXPECT_EQ(lookup.Join(), CallResult::Answered);
    threads[0]->Join();
    EXPECT_EQ(channel->LiveWorkers(), 0);
    threads.clear();
    service.In([&] { os::CloseHandle(deviceHandle); });
    channel.reset();
}

}  // namespace
}  // namespace wexo::integration
