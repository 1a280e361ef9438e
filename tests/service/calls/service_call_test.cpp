// The service-call channel against a scripted control device, which can hand the service what the
// real driver never would: blocks that do not add up, failing device calls, unknown codes.
#include "service/calls/service_call.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

#include "os/core/clock.h"
#include "os/core/process.h"
#include "os/win32/handles.h"
#include "os/win32/heap.h"
#include "service/checkin/identity.h"
#include "service/policy/https_session_map.h"
#include "service/policy/policy_lookup.h"
#include "service/support/string_no_memory.h"
#include "service_test_support.h"

namespace wexo::svc::testing {
namespace {

TEST(ServiceCallTest, SixteenThreadsPerProcessor) {
    EXPECT_EQ(SERVICE_CALL_CHANNEL::ServiceCallThreadCountFor(4), 64u);
    EXPECT_EQ(SERVICE_CALL_CHANNEL::ServiceCallThreadCountFor(0), 16u);
    LOG_CAPTURE log;
    uint32_t count = SERVICE_CALL_CHANNEL::ServiceCallThreadCount();
    EXPECT_EQ(count % 16, 0u);
    EXPECT_EQ(log.Count("ServiceCallThreadCount = " + std::to_string(count)), 1u);
}

TEST(ServiceCallTest, EveryFailureBecomesAStandardException) {
    auto translate = [](auto&& thrower) {
        try {
            thrower();
        } catch (...) {
            return STANDARD_EXCEPTION::FromCurrent();
        }
        return STANDARD_EXCEPTION(0, "none");
    };
    auto e = translate([] { throw std::runtime_error("bad reply"); });
    EXPECT_EQ(e.Code(), STANDARD_EXCEPTION::kCppExceptionCode);
    EXPECT_EQ(e.Information(), "bad reply");
    EXPECT_EQ(translate([] { throw STRING_NO_MEMORY(); }).Code(),
              STANDARD_EXCEPTION::kNoMemoryCode);
    EXPECT_EQ(translate([] { throw std::bad_alloc(); }).Code(), STANDARD_EXCEPTION::kNoMemoryCode);
    EXPECT_EQ(translate([] { throw STANDARD_EXCEPTION(0xC0000005, "access violation"); }).Code(),
              0xC0000005u);
    EXPECT_EQ(translate([] { throw 42; }).Code(), STANDARD_EXCEPTION::kCppExceptionCode);
}

TEST(ServiceCallTest, OnlyTheFirstCompletionReachesTheDriver) {
    LOG_CAPTURE log;
    CALL_RECORDER recorder;
    SERVICE_CALL call(recorder, MakeCallHandle(1, 5), 0);
    call.Complete(nullptr, 0, 1168);
    call.Complete(nullptr, 0, 0);
    ASSERT_EQ(recorder.Answers().size(), 1u);
    EXPECT_EQ(recorder.Last().status, 1168);
    EXPECT_EQ(log.Count("SC#5, Code=0, already completed"), 1u);
}

// A decision that must not be reached.
class UNREACHED_DECISION final : public POLICY_DECISION {
  public:
    bool Decide(const POLICY_QUERY& query, std::string*) override {
        ADD_FAILURE() << "decided " << query.lookupUrl;
        return false;
    }
};

TEST(ServiceCallTest, TheDispatcherHandlesOnlyItsThreeCodes) {
    CALL_RECORDER recorder;
    UNREACHED_DECISION decision;
    HTTPS_SESSION_MAP sessions;
    DEVICE_INFORMATION device;
    os::Event stop(os::EventType::Notification, false);
    POLICY_LOOKUP_CONTEXT context{decision, sessions, device, stop};
    SERVICE_CALL_DISPATCHER dispatcher = MakeServiceCallDispatcher(context);
    SERVICE_CALL call(recorder, MakeCallHandle(0, 1), 3);
    uint8_t block[8] = {};
    EXPECT_FALSE(dispatcher(3, call, block, sizeof block));
    EXPECT_FALSE(dispatcher(0xFFFFFFFF, call, block, sizeof block));
    EXPECT_FALSE(call.Completed());
    // A block too short for its code is answered, not read.
    LOG_CAPTURE log;
    EXPECT_TRUE(dispatcher(0, call, block, sizeof block));
    EXPECT_EQ(recorder.Last().status, SC_STATUS_BAD_REQUEST);
    EXPECT_EQ(log.Count("SC_PolicyLookup: SC#1, Malformed request block: a block of 8 bytes is "
                        "shorter than the request record"),
              1u);
}

// One call the scripted driver hands out on QRN_SC_INPUT.
struct SCRIPTED_CALL {
    uint64_t handle;
    uint32_t code;
    std::vector<uint8_t> block;
    enum class Where { Buffer, Region, Lie } where = Where::Buffer;
};

struct SENT_ANSWER {
    SC_OUTPUT_REQUEST request;
    std::vector<uint8_t> answer;
};

class ChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        process = os::CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 0, "svc.exe");
        driver.On(QRN_SC_INPUT,
                  [this](const os::FAST_IO_DEVICE_CONTROL_ARGS& args) { return Input(args); });
        driver.On(QRN_SC_OUTPUT, [this](const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
            SENT_ANSWER sent{};
            args.caller.Read(args.inputBuffer, &sent.request, sizeof sent.request);
            if (sent.request.answer != 0) {
                sent.answer.resize(sent.request.answerSize);
                args.caller.Read(sent.request.answer, sent.answer.data(), sent.answer.size());
            }
            std::lock_guard guard(lock);
            answers.push_back(sent);
            return outputStatus;
        });
        os::ScopedProcessContext context(process->Id());
        device = os::CreateFileA(kDeviceOpenPath, os::GENERIC_READ | os::GENERIC_WRITE, 0,
                                 os::OPEN_EXISTING, 0);
        ASSERT_NE(device, os::INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (channel) {
            os::ScopedProcessContext context(process->Id());
            channel->ServiceCallUninitialize();
        }
        os::TerminateProcess(process->Id());
    }

    os::NTSTATUS Input(const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
        SC_INPUT_REQUEST in{};
        args.caller.Read(args.inputBuffer, &in, sizeof in);
        std::lock_guard guard(lock);
        if (inputStatus != os::STATUS_SUCCESS) {
            return inputStatus;
        }
        if (calls.empty()) {
            return os::STATUS_NOT_FOUND;
        }
        SCRIPTED_CALL call = calls.front();
        calls.pop_front();
        uint64_t address = in.buffer;
        uint32_t size = static_cast<uint32_t>(call.block.size());
        if (call.where == SCRIPTED_CALL::Where::Region) {
            address = args.caller.Commit(call.block.size());
        } else if (call.where == SCRIPTED_CALL::Where::Lie) {
            size = in.bufferSize + 1;
        }
        args.caller.Write(address, call.block.data(), call.block.size());
        uint32_t timeout = 240;
        args.caller.Write(in.callHandleOut, &call.handle, 8);
        args.caller.Write(in.codeOut, &call.code, 4);
        args.caller.Write(in.timeoutOut, &timeout, 4);
        args.caller.Write(in.requestSizeOut, &size, 4);
        args.caller.Write(in.requestAddressOut, &address, 8);
        return os::STATUS_SUCCESS;
    }

    void Start(SERVICE_CALL_DISPATCHER dispatcher) {
        os::ScopedProcessContext context(process->Id());
        channel = SERVICE_CALL_CHANNEL::Create();
        input = channel->ServiceCallInitialize(device, std::move(dispatcher));
        ASSERT_NE(input, 0u);
    }
    bool Drain() {
        os::ScopedProcessContext context(process->Id());
        alignas(8) uint8_t buffer[kServiceRequestBufferSize];
        return channel->ServiceCallInput(buffer);
    }
    void Queue(SCRIPTED_CALL call) {
        std::lock_guard guard(lock);
        calls.push_back(std::move(call));
    }
    std::vector<SENT_ANSWER> Answers() {
        std::lock_guard guard(lock);
        return answers;
    }

    LOG_CAPTURE log;
    SCRIPTED_DRIVER driver;
    std::shared_ptr<os::PROCESS> process;
    os::HANDLE device = 0;
    os::HANDLE input = 0;
    std::shared_ptr<SERVICE_CALL_CHANNEL> channel;
    std::mutex lock;
    std::deque<SCRIPTED_CALL> calls;
    std::vector<SENT_ANSWER> answers;
    os::NTSTATUS inputStatus = os::STATUS_SUCCESS;
    os::NTSTATUS outputStatus = os::STATUS_SUCCESS;
};

TEST_F(ChannelTest, CallsAreDispatchedAnsweredAndTheirRegionsReleased) {
    std::vector<std::string> seen;
    Start([&](uint32_t code, SERVICE_CALL& call, const uint8_t* block, uint32_t size) {
        if (code != 0) {
            return false;
        }
        seen.emplace_back(reinterpret_cast<const char*>(block), size);
        static const char kAnswer[] = "answer";
        call.Complete(kAnswer, sizeof kAnswer, 0);
        return true;
    });
    Queue({MakeCallHandle(0, 11), 0, {'s', 'm', 'a', 'l', 'l'}});
    Queue(
        {MakeCallHandle(1, 12), 0, std::vector<uint8_t>(3000, 'L'), SCRIPTED_CALL::Where::Region});
    Queue({MakeCallHandle(2, 13), 3, {1, 2, 3}});
    EXPECT_TRUE(Drain());

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "small");
    EXPECT_EQ(seen[1], std::string(3000, 'L'));
    EXPECT_EQ(process->CommittedRegionCount(), 0u);
    auto sent = Answers();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].request.callHandle, MakeCallHandle(0, 11));
    EXPECT_EQ(sent[0].request.status, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sent[0].answer.data())), "answer");
    EXPECT_EQ(sent[2].request.status, SC_STATUS_NO_HANDLER);
    EXPECT_EQ(sent[2].request.answer, 0u);
    EXPECT_TRUE(log.Has("ServiceCallThreadHelper: SC#13, Code=3, not handled"));
    EXPECT_EQ(channel->OutstandingCalls(), 0u);
}

TEST_F(ChannelTest, AFailingHandlerIsAnsweredAndTheNextCallStillServed) {
    Start([&](uint32_t, SERVICE_CALL& call, const uint8_t* block, uint32_t) -> bool {
        switch (block[0]) {
            case 't':
                throw std::runtime_error("policy reply unreadable");
            case 'm':
                throw STRING_NO_MEMORY();
            case 'n':
                return true;  // claims the call and never answers it
            default:
                call.Complete(nullptr, 0, 1168);
                return true;
        }
    });
    Queue({MakeCallHandle(0, 21), 0, {'t'}});
    Queue({MakeCallHandle(0, 22), 0, {'m'}});
    Queue({MakeCallHandle(0, 23), 0, {'n'}});
    Queue({MakeCallHandle(0, 24), 0, {'o', 'k'}});
    EXPECT_TRUE(Drain());
    auto sent = Answers();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].request.status, SC_STATUS_HANDLER_FAULT);
    EXPECT_EQ(sent[1].request.status, SC_STATUS_NO_MEMORY);
    EXPECT_EQ(sent[2].request.status, SC_STATUS_HANDLER_FAULT);
    EXPECT_EQ(sent[3].request.status, 1168);
    EXPECT_EQ(log.Count("SC#21, Code=0, STANDARD_EXCEPTION code = 0xe06d7363,\n    policy reply "
                        "unreadable"),
              1u);
    EXPECT_EQ(log.Count("SC#23, Code=0, not completed by its handler"), 1u);
    EXPECT_EQ(channel->OutstandingCalls(), 0u);
}

TEST_F(ChannelTest, ACallWithoutMemoryForItsRecordIsAnsweredAtOnceAndItsRegionReleased) {
    int handled = 0;
    Start([&](uint32_t, SERVICE_CALL& call, const uint8_t*, uint32_t) {
        ++handled;
        call.Complete(nullptr, 0, 0);
        return true;
    });
    Queue(
        {MakeCallHandle(0, 41), 0, std::vector<uint8_t>(2000, 'x'), SCRIPTED_CALL::Where::Region});
    Queue({MakeCallHandle(1, 42), 0, {'o', 'k'}});
    {
        // Only the first record is refused.
        os::ScopedPoolFailure failure(os::kProcessHeapTag, 0, 1);
        EXPECT_TRUE(Drain());
        EXPECT_EQ(failure.Failed(), 1u);
    }
    EXPECT_EQ(handled, 1);
    auto sent = Answers();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].request.callHandle, MakeCallHandle(0, 41));
    EXPECT_EQ(sent[0].request.status, SC_STATUS_NO_MEMORY);
    EXPECT_EQ(sent[1].request.status, 0);
    EXPECT_EQ(process->CommittedRegionCount(), 0u);
    EXPECT_EQ(channel->OutstandingCalls(), 0u);
    EXPECT_EQ(os::PoolOutstanding(os::kProcessHeapTag), 0u);
}

TEST_F(ChannelTest, TheOutstandingListHoldsEveryCallInAHandler) {
    // Handlers on several workers stay inside until released; the list counts them, in any order
    // of completion, and is empty again at the end.
    constexpr int kCalls = 6;
    os::Event release(os::EventType::Notification);
    os::Event allInside(os::EventType::Notification);
    std::atomic<int> inside{0};
    Start([&](uint32_t, SERVICE_CALL& call, const uint8_t*, uint32_t) {
        if (inside.fetch_add(1) + 1 == kCalls) {
            allInside.Set();
        }
        os::WaitForSingleObject(release, 5000);
        call.Complete(nullptr, 0, 0);
        return true;
    });
    for (int i = 0; i < kCalls; ++i) {
        Queue({MakeCallHandle(i, 50 + i), 0, {'c'}});
    }
    std::vector<std::shared_ptr<os::Thread>> workers;
    for (int i = 0; i < kCalls; ++i) {
        workers.push_back(os::Thread::Start([this] {
            os::ScopedProcessContext context(process->Id());
            alignas(8) uint8_t buffer[kServiceRequestBufferSize];
            channel->ServiceCallInput(buffer);
        }));
    }
    ASSERT_EQ(os::WaitForSingleObject(allInside, 5000), os::WAIT_OBJECT_0);
    EXPECT_EQ(channel->OutstandingCalls(), static_cast<size_t>(kCalls));
    release.Set();
    for (auto& worker : workers) {
        worker->Join();
    }
    EXPECT_EQ(channel->OutstandingCalls(), 0u);
    EXPECT_EQ(Answers().size(), static_cast<size_t>(kCalls));
    EXPECT_EQ(os::PoolOutstanding(os::kProcessHeapTag), 0u);
}

TEST_F(ChannelTest, ABlockLargerThanTheBufferItIsInIsRefusedUnread) {
    bool called = false;
    Start([&](uint32_t, SERVICE_CALL&, const uint8_t*, uint32_t) { return called = true; });
    Queue({MakeCallHandle(0, 31), 0, {1, 2, 3}, SCRIPTED_CALL::Where::Lie});
    EXPECT_TRUE(Drain());
    EXPECT_FALSE(called);
    ASSERT_EQ(Answers().size(), 1u);
    EXPECT_EQ(Answers()[0].request.status, SC_STATUS_BAD_REQUEST);
    EXPECT_EQ(log.Count("SC#31, Code=0, request block of 1025 bytes"), 1u);
}

TEST_F(ChannelTest, DeviceCallFailuresAreLoggedAndNeverFatal) {
    Start([](uint32_t, SERVICE_CALL& call, const uint8_t*, uint32_t) {
        call.Complete(nullptr, 0, 1168);
        return true;
    });
    inputStatus = os::STATUS_INVALID_PARAMETER;
    EXPECT_TRUE(Drain());
    EXPECT_TRUE(
        log.Has("ServiceCallInput: DeviceIoControl error. The parameter is incorrect. Error "
                "code = 87."));
    EXPECT_TRUE(log.Has("ServiceCallThreadHelper: Unable to get service call input. Error = 87"));

    inputStatus = os::STATUS_SUCCESS;
    log.Clear();
    EXPECT_TRUE(Drain());  // an empty queue is quiet
    EXPECT_EQ(log.Count("ServiceCallInput"), 0u);

    // A late answer (the driver gave up on the call) is dropped quietly; others are logged.
    {
        os::ScopedProcessContext context(process->Id());
        outputStatus = os::STATUS_NOT_FOUND;
        EXPECT_EQ(channel->ServiceCallOutput(MakeCallHandle(0, 1), nullptr, 0, 1168), 0u);
        EXPECT_EQ(log.Count("ServiceCallOutput"), 0u);
        outputStatus = os::STATUS_UNSUCCESSFUL;
        EXPECT_EQ(channel->ServiceCallOutput(MakeCallHandle(0, 1), nullptr, 0, 1168),
                  os::ERROR_GEN_FAILURE);
    }
    EXPECT_TRUE(
        log.Has("ServiceCallOutput: DeviceIoControl error. A device attached to the system "
                "is not functioning. Error code = 31."));
}

TEST_F(ChannelTest, StandbyAndResume) {
    Start(nullptr);
    EXPECT_TRUE(channel->ServiceCallStandby());
    EXPECT_TRUE(channel->ServiceCallResume());
    EXPECT_EQ(driver.Count(QRN_SC_STANDBY), 1);
    EXPECT_EQ(driver.Count(QRN_SC_RESUME), 1);
    EXPECT_TRUE(log.Has("ServiceCallStandby"));
    driver.On(QRN_SC_STANDBY, [](const auto&) { return os::STATUS_ACCESS_DENIED; });
    driver.On(QRN_SC_RESUME, [](const auto&) { return os::STATUS_ACCESS_DENIED; });
    EXPECT_FALSE(channel->ServiceCallStandby());
    EXPECT_FALSE(channel->ServiceCallResume());
    EXPECT_TRUE(
        log.Has("ServiceCallStandby: DeviceIoControl error. Access is denied. Error code = 5."));
    EXPECT_TRUE(
        log.Has("ServiceCallResume: DeviceIoControl error. Access is denied. Error code = 5."));
}

TEST_F(ChannelTest, HeartbeatsEveryTwoSecondsUntilStopped) {
    os::VirtualClock clock;
    Start(nullptr);
    ASSERT_TRUE(clock.Settle());
    ASSERT_TRUE(clock.Advance(std::chrono::milliseconds(1999)));
    EXPECT_EQ(driver.Count(QRN_SC_HEARTBEAT), 0);
    ASSERT_TRUE(clock.Advance(std::chrono::milliseconds(1)));
    EXPECT_EQ(driver.Count(QRN_SC_HEARTBEAT), 1);
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(10)));
    EXPECT_EQ(driver.Count(QRN_SC_HEARTBEAT), 6);
    EXPECT_EQ(log.Count("ServiceCallHeartbeat"), 6u + 1u);  // and the start line
    // A failing heartbeat is logged and the next one still goes out.
    driver.On(QRN_SC_HEARTBEAT, [](const auto&) { return os::STATUS_INVALID_DEVICE_REQUEST; });
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(4)));
    EXPECT_EQ(driver.Count(QRN_SC_HEARTBEAT), 8);
    EXPECT_EQ(
        log.Count(
            "ServiceCallHeartbeat: DeviceIoControl error. Incorrect function. Error code = 1."),
        2u);

    {
        os::ScopedProcessContext context(process->Id());
        channel->ServiceCallUninitialize();
    }
    EXPECT_TRUE(log.Has("ServiceCallHeartbeatThread: Stop signaled"));
    EXPECT_TRUE(log.Has("ServiceCallHeartbreatThread: stopped"));
    EXPECT_TRUE(log.Has("ServiceCallUninitialize: Heartbeat thread stopped"));
    EXPECT_FALSE(channel->IsHeartbeatRunning());
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(10)));
    EXPECT_EQ(driver.Count(QRN_SC_HEARTBEAT), 8);
}

// A heartbeat stuck in its device call is waited for 5 seconds, then left to end on its own.
TEST_F(ChannelTest, AHeartbeatThatOverrunsIsLeftToEndOnItsOwn) {
    os::VirtualClock clock;
    os::Event hold(os::EventType::Notification, false);
    driver.On(QRN_SC_HEARTBEAT, [&](const auto&) {
        os::WaitForSingleObject(hold, os::INFINITE);
        return os::STATUS_SUCCESS;
    });
    Start(nullptr);
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
    ASSERT_EQ(driver.Count(QRN_SC_HEARTBEAT), 1);
    auto uninitialize = os::Thread::Start([this] {
        os::ScopedProcessContext context(process->Id());
        channel->ServiceCallUninitialize();
    });
    ASSERT_TRUE(clock.Advance(std::chrono::milliseconds(4999)));
    EXPECT_FALSE(uninitialize->HasEnded());
    ASSERT_TRUE(clock.Advance(std::chrono::milliseconds(1)));
    uninitialize->Join();
    EXPECT_TRUE(log.Has("ServiceCallUninitialize: Heartbeat thread time-out after 5 seconds"));
    EXPECT_FALSE(channel->IsInitialized());
    // Released, it sees the stop and ends.
    hold.Set();
    ASSERT_TRUE(clock.Settle());
    EXPECT_TRUE(log.Has("ServiceCallHeartbreatThread: stopped"));
    EXPECT_EQ(driver.Count(QRN_SC_HEARTBEAT), 1);
}

// The driver host ended: its device's requests fail and it cannot be opened until a new host runs.
// The channel opens it again with growing pauses and registers the same input event there.
TEST_F(ChannelTest, ADeviceThatWentAwayIsOpenedAgainWithABoundedBackOff) {
    os::VirtualClock clock;
    std::vector<os::HANDLE> registered;
    driver.On(QRN_REGISTER, [&](const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
        QRN_REGISTER_REQUEST request{};
        args.caller.Read(args.inputBuffer, &request, sizeof request);
        registered.push_back(request.inputEvent);
        QRN_REGISTER_REPLY reply{6, 2, 9, 0, 2};
        args.caller.Write(args.outputBuffer, &reply, sizeof reply);
        return os::STATUS_SUCCESS;
    });
    Start([](uint32_t, SERVICE_CALL& call, const uint8_t*, uint32_t) {
        call.Complete(nullptr, 0, 0);
        return true;
    });
    const size_t handles = process->HandleCount();
    driver.On(QRN_SC_HEARTBEAT, [](const auto&) { return os::STATUS_DEVICE_DOES_NOT_EXIST; });
    driver.SetCreateStatus(os::STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
    EXPECT_TRUE(
        log.Has("ServiceCallHeartbeat: DeviceIoControl error. The specified network "
                "resource or device is no longer available. Error code = 55."));
    EXPECT_TRUE(log.Has("ServiceCallHeartbeat: The driver's device went away; opening it again"));
    EXPECT_TRUE(
        log.Has("ServiceCallHeartbeat: Device not opened (attempt 1); next attempt in 1000 ms"));
    // 1, 2, 4, 8 and 16 seconds, then every 30 seconds; no heartbeat meanwhile.
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(1 + 2 + 4 + 8 + 16 + 30 + 30) -
                              std::chrono::milliseconds(1)));
    EXPECT_EQ(log.Count("(attempt 6); next attempt in 30000 ms"), 1u);
    EXPECT_EQ(log.Count("(attempt 7); next attempt in 30000 ms"), 1u);
    EXPECT_EQ(log.Count("(attempt 8)"), 0u);
    EXPECT_EQ(driver.Count(QRN_SC_HEARTBEAT), 1);
    EXPECT_TRUE(registered.empty());

    // A new host: the next attempt opens the device and registers the same input event.
    driver.SetCreateStatus(os::STATUS_SUCCESS);
    driver.On(QRN_SC_HEARTBEAT, [](const auto&) { return os::STATUS_SUCCESS; });
    ASSERT_TRUE(clock.Advance(std::chrono::milliseconds(1)));
    EXPECT_TRUE(
        log.Has("ServiceCallHeartbeat: Device opened again and service registered "
                "(attempt 8)"));
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0], input);
    EXPECT_EQ(process->HandleCount(), handles + 1);
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
    EXPECT_EQ(driver.Count(QRN_SC_HEARTBEAT), 2);
    // Calls are fetched through the new open.
    Queue({MakeCallHandle(0, 1), 3, {1, 2, 3}});
    EXPECT_TRUE(Drain());
    EXPECT_EQ(Answers().size(), 1u);

    {
        os::ScopedProcessContext context(process->Id());
        channel->ServiceCallUninitialize();
    }
    // The input event and the channel's own open are closed; the first open is its opener's.
    EXPECT_EQ(process->HandleCount(), handles - 1);
}

// A device that does not come back never holds up the stop.
TEST_F(ChannelTest, StoppingWhileTheDeviceIsAwayEndsTheHeartbeatAtOnce) {
    os::VirtualClock clock;
    Start(nullptr);
    driver.On(QRN_SC_HEARTBEAT, [](const auto&) { return os::STATUS_INVALID_HANDLE; });
    driver.SetCreateStatus(os::STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(2 + 1 + 2)));
    EXPECT_EQ(log.Count("(attempt 3); next attempt in 4000 ms"), 1u);
    {
        os::ScopedProcessContext context(process->Id());
        channel->ServiceCallUninitialize();
    }
    EXPECT_TRUE(log.Has("ServiceCallUninitialize: Heartbeat thread stopped"));
    EXPECT_EQ(log.Count("time-out"), 0u);
    EXPECT_EQ(log.Count("(attempt 4)"), 0u);
}

TEST_F(ChannelTest, WorkersEndOnStopAndUninitializeClosesTheInputEvent) {
    Start([](uint32_t, SERVICE_CALL& call, const uint8_t*, uint32_t) {
        call.Complete(nullptr, 0, 1168);
        return true;
    });
    std::vector<std::shared_ptr<os::Thread>> workers;
    {
        os::ScopedProcessContext context(process->Id());
        for (uint32_t i = 0; i < 3; ++i) {
            workers.push_back(channel->StartServiceCallThread(i));
        }
    }
    EXPECT_EQ(workers[2]->Name(), "Service Call thread #2");
    channel->ServiceCallStop();
    for (auto& worker : workers) {
        worker->Join();
    }
    EXPECT_EQ(channel->LiveWorkers(), 0);
    EXPECT_TRUE(log.Has("ServiceCallThreadHelper: Service Call thread #0 started"));
    EXPECT_TRUE(log.Has("Service Call thread #1 stopped"));
    {
        os::ScopedProcessContext context(process->Id());
        channel->ServiceCallUninitialize();
    }
    EXPECT_EQ(log.Count("Waiting for"), 0u);
    EXPECT_FALSE(channel->IsInitialized());
    // Only the device handle is left: the channel closed its input event.
    EXPECT_EQ(process->HandleCount(), 1u);
}

}  // namespace
}  // namespace wexo::svc::testing
