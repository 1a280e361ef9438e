#include "driver/channel/service_call_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <vector>

#include "channel_fixture.h"
#include "os/core/clock.h"
#include "os/core/sync.h"

namespace wexo::drv::testing {
namespace {

// A driver thread that submits one lookup and keeps what came back.
class Submitter {
  public:
    explicit Submitter(SERVICE_CALL_QUEUE& queue, std::string host = "example.test",
                       std::string path = "/", uint32_t limit = kServiceCallTimeoutSeconds)
        : record_(std::move(host), std::move(path)) {
        request_ = record_.Request(limit);
        thread_ = os::Thread::Start([this, &queue] { result_ = queue.Submit(request_); });
    }
    ~Submitter() { Join(); }

    CallResult Join() {
        os::WaitForSingleObject(*thread_, os::INFINITE);
        return result_;
    }
    bool Ended() const { return thread_->HasEnded(); }
    LookupRecord& Record() { return record_; }

  private:
    LookupRecord record_;
    SERVICE_CALL_REQUEST request_;
    std::atomic<CallResult> result_{CallResult::Failed};
    std::shared_ptr<os::Thread> thread_;
};

class ServiceCallQueueTest : public ChannelTest {
  protected:
    void SetUp() override {
        ChannelTest::SetUp();
        ASSERT_EQ(service.Register(&handle), 0u);
    }

    // Waits (without sleeping) until n calls are queued or in progress.
    void AwaitInFlight(uint32_t n) {
        while (queue.InFlight() < n) {
            std::this_thread::yield();
        }
    }

    ServiceProcess service;
    os::HANDLE handle = 0;
};

TEST(ServiceCallQueueStandaloneTest, SubmitWithoutAServiceReturnsAtOnce) {
    SERVICE_CALL_QUEUE queue;
    ASSERT_TRUE(queue.Initialise());
    LookupRecord record("a.test");
    auto request = record.Request();
    EXPECT_EQ(queue.Submit(request), CallResult::ServiceUnavailable);
    EXPECT_EQ(queue.InFlight(), 0u);
}

TEST_F(ServiceCallQueueTest, EmptyQueueIsNotFoundAndWritesNothing) {
    auto fetched = service.Fetch(handle);
    EXPECT_EQ(fetched.error, os::ERROR_NOT_FOUND);
    EXPECT_EQ(fetched.handle, 0u);
    EXPECT_EQ(fetched.address, 0u);
}

TEST_F(ServiceCallQueueTest, LookupRoundTripWithARedirectText) {
    Submitter submitter(queue, "blocked.test", "/page?x=1");
    AwaitInFlight(1);
    auto fetched = service.Fetch(handle);
    ASSERT_EQ(fetched.error, 0u);
    EXPECT_EQ(fetched.code, SC_CODE_POLICY_LOOKUP);
    EXPECT_EQ(fetched.timeout, 240u);
    EXPECT_EQ(CallHandleSequence(fetched.handle) != 0, true);
    ASSERT_TRUE(service.InBuffer(fetched.address));
    auto* request = reinterpret_cast<const POLICY_LOOKUP_REQUEST*>(fetched.address);
    EXPECT_EQ(fetched.size, sizeof(POLICY_LOOKUP_REQUEST) + 12 + 9 + 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(request->host), request->hostLength),
              "blocked.test");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(request->urlPath), request->urlPathLength),
              "/page?x=1");
    EXPECT_EQ(request->tlsSessionId, 0u);  // empty parts are null
    EXPECT_EQ(request->proxyPrefix, 0u);
    EXPECT_TRUE(service.InBuffer(request->remoteAddress));

    std::string text = "HTTP/1.1 302 Other\r\nLocation: http://block.test/\r\n\r\n";
    EXPECT_EQ(service.Answer(handle, fetched.handle, 0, &text), 0u);
    EXPECT_EQ(submitter.Join(), CallResult::Answered);
    EXPECT_EQ(submitter.Record().status, 0);
    EXPECT_EQ(submitter.Record().AnswerText(), text);
    EXPECT_EQ(submitter.Record().answer, submitter.Record().answerBuffer);
    // A second answer to the same call is late.
    EXPECT_EQ(service.Answer(handle, fetched.handle, 0, &text), os::ERROR_NOT_FOUND);
}

TEST_F(ServiceCallQueueTest, AllowAndCloseAnswers) {
    {
        Submitter allow(queue);
        AwaitInFlight(1);
        auto fetched = service.Fetch(handle);
        // A non-zero status ignores the answer record even when one is sent.
        std::string text = "ignored";
        EXPECT_EQ(service.Answer(handle, fetched.handle, 1168, &text), 0u);
        EXPECT_EQ(allow.Join(), CallResult::Answered);
        EXPECT_EQ(allow.Record().status, 1168);
        EXPECT_EQ(allow.Record().answer, nullptr);
        EXPECT_EQ(allow.Record().answerSize, 0u);
    }
    Submitter close(queue);
    AwaitInFlight(1);
    auto fetched = service.Fetch(handle);
    EXPECT_EQ(service.Answer(handle, fetched.handle, 0, nullptr), 0u);
    EXPECT_EQ(close.Join(), CallResult::Answered);
    EXPECT_EQ(close.Record().status, 0);
    EXPECT_EQ(close.Record().AnswerText(), "");
}

TEST_F(ServiceCallQueueTest, ALargeRequestArrivesInACommittedRegion) {
    std::string longPath = "/" + std::string(2000, 'p');
    Submitter submitter(queue, "big.test", longPath);
    AwaitInFlight(1);
    auto fetched = service.Fetch(handle);
    ASSERT_EQ(fetched.error, 0u);
    EXPECT_FALSE(service.InBuffer(fetched.address));
    EXPECT_EQ(service.Process().CommittedRegionCount(), 1u);
    auto* request = reinterpret_cast<const POLICY_LOOKUP_REQUEST*>(fetched.address);
    // Every pointer points into the block itself.
    for (uint64_t part : {request->host, request->urlPath, request->remoteAddress}) {
        EXPECT_GE(part, fetched.address);
        EXPECT_LT(part, fetched.address + fetched.size);
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(request->urlPath), request->urlPathLength),
              longPath);
    EXPECT_TRUE(
        service.In([&] { return os::VirtualFree(reinterpret_cast<void*>(fetched.address)); }));
    EXPECT_EQ(service.Process().CommittedRegionCount(), 0u);
    service.Answer(handle, fetched.handle, 1168, nullptr);
    EXPECT_EQ(submitter.Join(), CallResult::Answered);
}

TEST_F(ServiceCallQueueTest, ALongAnswerTextIsCopiedToPool) {
    Submitter submitter(queue);
    AwaitInFlight(1);
    auto fetched = service.Fetch(handle);
    std::string text(3000, 't');
    EXPECT_EQ(service.Answer(handle, fetched.handle, 0, &text), 0u);
    EXPECT_EQ(submitter.Join(), CallResult::Answered);
    LookupRecord& record = submitter.Record();
    EXPECT_NE(record.answer, record.answerBuffer);
    EXPECT_EQ(record.AnswerText(), text);
    EXPECT_EQ(os::PoolOutstanding(SERVICE_CALL_QUEUE::kAnswerTag), 1u);
    SERVICE_CALL_QUEUE::FreeAnswer(record.Request(), record.answer);
    EXPECT_EQ(os::PoolOutstanding(SERVICE_CALL_QUEUE::kAnswerTag), 0u);
}

TEST_F(ServiceCallQueueTest, MalformedAnswersFailTheCallAndNeverReadOutside) {
    Submitter submitter(queue);
    AwaitInFlight(1);
    auto fetched = service.Fetch(handle);
    // The answer record itself is unreadable: refused before anything changes.
    SC_OUTPUT_REQUEST output{fetched.handle, 0x30, sizeof(POLICY_LOOKUP_ANSWER), 0};
    EXPECT_EQ(service.Control(handle, QRN_SC_OUTPUT, &output, sizeof output, nullptr, 0),
              os::ERROR_INVALID_PARAMETER);
    // A record shorter than its fixed size fails the call.
    POLICY_LOOKUP_ANSWER answer{};
    output = SC_OUTPUT_REQUEST{fetched.handle, reinterpret_cast<uint64_t>(&answer), 8, 0};
    EXPECT_EQ(service.Control(handle, QRN_SC_OUTPUT, &output, sizeof output, nullptr, 0),
              os::ERROR_GEN_FAILURE);
    EXPECT_EQ(submitter.Join(), CallResult::Failed);

    // A text pointer outside the caller's memory fails the next call too.
    Submitter second(queue);
    AwaitInFlight(1);
    fetched = service.Fetch(handle);
    answer = POLICY_LOOKUP_ANSWER{0x40, 100, 0};
    output =
        SC_OUTPUT_REQUEST{fetched.handle, reinterpret_cast<uint64_t>(&answer), sizeof answer, 0};
    EXPECT_EQ(service.Control(handle, QRN_SC_OUTPUT, &output, sizeof output, nullptr, 0),
              os::ERROR_GEN_FAILURE);
    EXPECT_EQ(second.Join(), CallResult::Failed);
    EXPECT_EQ(os::PoolOutstanding(SERVICE_CALL_QUEUE::kAnswerTag), 0u);
}

TEST_F(ServiceCallQueueTest, ForgedAndStaleHandlesAreNotFound) {
    Submitter first(queue);
    AwaitInFlight(1);
    auto fetched = service.Fetch(handle);
    uint64_t forged =
        MakeCallHandle(CallHandleSlot(fetched.handle), CallHandleSequence(fetched.handle) + 1);
    EXPECT_EQ(service.Answer(handle, forged, 0, nullptr), os::ERROR_NOT_FOUND);
    EXPECT_EQ(service.Answer(handle, MakeCallHandle(100000, 1), 0, nullptr), os::ERROR_NOT_FOUND);
    SC_EXTEND_REQUEST extend{forged, 0};
    EXPECT_EQ(service.Control(handle, QRN_SC_EXTEND, &extend, sizeof extend, nullptr, 0),
              os::ERROR_NOT_FOUND);
    EXPECT_EQ(service.Control(handle, QRN_SC_EXTEND, &extend, 11, nullptr, 0),
              os::ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(service.Answer(handle, fetched.handle, 1168, nullptr), 0u);
    first.Join();

    // The slot is reused by the next call; the old handle names nothing.
    Submitter second(queue);
    AwaitInFlight(1);
    auto next = service.Fetch(handle);
    EXPECT_EQ(CallHandleSlot(next.handle), CallHandleSlot(fetched.handle));
    EXPECT_EQ(service.Answer(handle, fetched.handle, 0, nullptr), os::ERROR_NOT_FOUND);
    EXPECT_EQ(service.Answer(handle, next.handle, 1168, nullptr), 0u);
    EXPECT_EQ(second.Join(), CallResult::Answered);
}

TEST_F(ServiceCallQueueTest, InputRecordsThatLieAreRefusedWithoutTakingACall) {
    Submitter submitter(queue);
    AwaitInFlight(1);
    SC_INPUT_REQUEST request{};
    uint64_t handleOut = 0, addressOut = 0;
    uint32_t codeOut = 0, timeoutOut = 0, sizeOut = 0;
    request.callHandleOut = reinterpret_cast<uint64_t>(&handleOut);
    request.codeOut = reinterpret_cast<uint64_t>(&codeOut);
    request.timeoutOut = reinterpret_cast<uint64_t>(&timeoutOut);
    request.requestSizeOut = reinterpret_cast<uint64_t>(&sizeOut);
    request.requestAddressOut = 0x50;  // not the caller's memory
    EXPECT_EQ(service.Control(handle, QRN_SC_INPUT, &request, sizeof request, nullptr, 0),
              os::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(service.Control(handle, QRN_SC_INPUT, &request, 55, nullptr, 0),
              os::ERROR_INSUFFICIENT_BUFFER);
    request.requestAddressOut = reinterpret_cast<uint64_t>(&addressOut);
    request.bufferSize = 1024;  // a size without a buffer
    EXPECT_EQ(service.Control(handle, QRN_SC_INPUT, &request, sizeof request, nullptr, 0),
              os::ERROR_INVALID_PARAMETER);
    // The call is still there for a proper fetch.
    auto fetched = service.Fetch(handle);
    ASSERT_EQ(fetched.error, 0u);
    service.Answer(handle, fetched.handle, 1168, nullptr);
    EXPECT_EQ(submitter.Join(), CallResult::Answered);
}

// The driver takes a call off the queue only when it can hand it over: a fetch into memory the
// service cannot write is refused, and the call waits for the next fetch.
TEST_F(ServiceCallQueueTest, AFetchIntoUnwritableMemoryLeavesTheCallQueued) {
    Submitter submitter(queue);
    AwaitInFlight(1);
    ReadOnlyPage readOnly;
    std::vector<uint8_t> buffer(kServiceRequestBufferSize);
    for (int field = 0; field < 6; ++field) {
        SC_INPUT_RESULTS results;
        SC_INPUT_REQUEST request =
            MakeScInputRequest(results, buffer.data(), static_cast<uint32_t>(buffer.size()));
        uint64_t* targets[] = {&request.callHandleOut,     &request.codeOut,
                               &request.timeoutOut,        &request.requestSizeOut,
                               &request.requestAddressOut, &request.buffer};
        *targets[field] = readOnly.Address();
        EXPECT_EQ(service.Control(handle, QRN_SC_INPUT, &request, sizeof request, nullptr, 0),
                  os::ERROR_INVALID_PARAMETER)
            << field;
        EXPECT_EQ(results.callHandle, 0u) << field;
        EXPECT_FALSE(submitter.Ended()) << field;
    }
    auto fetched = service.Fetch(handle);
    ASSERT_EQ(fetched.error, 0u);
    auto* record = reinterpret_cast<const POLICY_LOOKUP_REQUEST*>(fetched.address);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record->host), record->hostLength),
              "example.test");
    EXPECT_EQ(service.Answer(handle, fetched.handle, 1168, nullptr), 0u);
    EXPECT_EQ(submitter.Join(), CallResult::Answered);
}

TEST_F(ServiceCallQueueTest, CallsAreFetchedInSubmissionOrder) {
    std::vector<std::unique_ptr<Submitter>> submitters;
    for (int i = 0; i < 3; ++i) {
        submitters.push_back(std::make_unique<Submitter>(queue, "h" + std::to_string(i) + ".test"));
        AwaitInFlight(static_cast<uint32_t>(i + 1));
    }
    for (int i = 0; i < 3; ++i) {
        auto fetched = service.Fetch(handle);
        auto* request = reinterpret_cast<const POLICY_LOOKUP_REQUEST*>(fetched.address);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(request->host), request->hostLength),
                  "h" + std::to_string(i) + ".test");
        service.Answer(handle, fetched.handle, 1168, nullptr);
    }
    for (auto& s : submitters) {
        EXPECT_EQ(s->Join(), CallResult::Answered);
    }
}

TEST_F(ServiceCallQueueTest, TheInputEventIsSignalledForEveryQueuedCall) {
    Submitter submitter(queue);
    EXPECT_EQ(service.In([&] { return os::WaitForSingleObject(service.InputEvent(), 5000); }),
              os::WAIT_OBJECT_0);
    auto fetched = service.Fetch(handle);
    service.Answer(handle, fetched.handle, 1168, nullptr);
}

// Heartbeats every 2 seconds keep the limit running: the 25th round of 10 seconds takes the
// elapsed time to 250, past 240.
TEST_F(ServiceCallQueueTest, ACallTimesOutAfter250SecondsAndCancelsTheRest) {
    os::VirtualClock clock;
    Submitter inProgress(queue, "first.test");
    AwaitInFlight(1);
    Submitter queued(queue, "second.test");
    AwaitInFlight(2);
    auto first = service.Fetch(handle);  // the queue is first in, first out
    ASSERT_EQ(first.error, 0u);
    for (int second = 0; second < 248; second += 2) {
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
        ASSERT_EQ(service.Simple(handle, QRN_SC_HEARTBEAT), 0u);
    }
    EXPECT_FALSE(inProgress.Ended());
    EXPECT_FALSE(queued.Ended());
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
    // Both were submitted at the same instant and reach the limit in the same round: whichever
    // gets there first times out and cancels the other.
    std::multiset<CallResult> results{inProgress.Join(), queued.Join()};
    EXPECT_EQ(results, (std::multiset<CallResult>{CallResult::TimedOut, CallResult::Cancelled}));
    EXPECT_FALSE(queue.IsServiceActive());
    LookupRecord later("later.test");
    auto request = later.Request();
    EXPECT_EQ(queue.Submit(request), CallResult::ServiceUnavailable);
    EXPECT_EQ(service.Answer(handle, first.handle, 1168, nullptr), os::ERROR_NOT_FOUND);
}

TEST_F(ServiceCallQueueTest, StaleHeartbeatOrStandbyStopsTheCount) {
    os::VirtualClock clock;
    Submitter submitter(queue);
    AwaitInFlight(1);
    // No heartbeat: after 4 s the last one is stale and time is not counted.
    ASSERT_TRUE(clock.Advance(std::chrono::minutes(30)));
    EXPECT_FALSE(submitter.Ended());
    ASSERT_EQ(service.Simple(handle, QRN_SC_STANDBY), 0u);
    for (int second = 0; second < 600; second += 2) {
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
        ASSERT_EQ(service.Simple(handle, QRN_SC_HEARTBEAT), 0u);
    }
    EXPECT_FALSE(submitter.Ended());
    ASSERT_EQ(service.Simple(handle, QRN_SC_RESUME), 0u);
    for (int second = 0; second < 250 && !submitter.Ended(); second += 2) {
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
        ASSERT_EQ(service.Simple(handle, QRN_SC_HEARTBEAT), 0u);
    }
    EXPECT_EQ(submitter.Join(), CallResult::TimedOut);
}

TEST_F(ServiceCallQueueTest, AStandbyEndsWithTheServiceThatAskedForIt) {
    os::VirtualClock clock;
    ASSERT_EQ(service.Simple(handle, QRN_SC_STANDBY), 0u);
    // The service goes away in standby; its successor never asked for one.
    service.Close(handle);
    ServiceProcess next;
    os::HANDLE nextHandle = 0;
    ASSERT_EQ(next.Register(&nextHandle), 0u);
    Submitter submitter(queue);
    AwaitInFlight(1);
    for (int second = 0; second < 300 && !submitter.Ended(); second += 2) {
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
        ASSERT_EQ(next.Simple(nextHandle, QRN_SC_HEARTBEAT), 0u);
    }
    EXPECT_TRUE(submitter.Ended());
    if (!submitter.Ended()) {
        queue.ShutDown();  // lets the waiter go, so that a failure does not hang the test
    }
    EXPECT_EQ(submitter.Join(), CallResult::TimedOut);
}

TEST_F(ServiceCallQueueTest, AFetchedCallAnsweredAfterThirtySecondsIsAnswered) {
    os::VirtualClock clock;
    Submitter submitter(queue);
    AwaitInFlight(1);
    auto fetched = service.Fetch(handle);
    for (int second = 0; second < 30; second += 2) {
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
        service.Simple(handle, QRN_SC_HEARTBEAT);
    }
    EXPECT_EQ(service.Answer(handle, fetched.handle, 1168, nullptr), 0u);
    EXPECT_EQ(submitter.Join(), CallResult::Answered);
}

TEST_F(ServiceCallQueueTest, ExtendRestartsTheCount) {
    os::VirtualClock clock;
    Submitter submitter(queue);
    AwaitInFlight(1);
    auto fetched = service.Fetch(handle);
    SC_EXTEND_REQUEST extend{fetched.handle, 0};
    for (int second = 0; second < 400; second += 2) {
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
        service.Simple(handle, QRN_SC_HEARTBEAT);
        if (second % 200 == 198) {
            ASSERT_EQ(service.Control(handle, QRN_SC_EXTEND, &extend, sizeof extend, nullptr, 0),
                      0u);
        }
    }
    EXPECT_FALSE(submitter.Ended());
    service.Answer(handle, fetched.handle, 1168, nullptr);
    EXPECT_EQ(submitter.Join(), CallResult::Answered);
}

TEST_F(ServiceCallQueueTest, DetachAndCloseCancelEverything) {
    Submitter queued(queue);
    AwaitInFlight(1);
    Submitter inProgress(queue);
    AwaitInFlight(2);
    auto fetched = service.Fetch(handle);
    ASSERT_EQ(fetched.error, 0u);
    service.Close(handle);
    EXPECT_EQ(queued.Join(), CallResult::Cancelled);
    EXPECT_EQ(inProgress.Join(), CallResult::Cancelled);
    EXPECT_EQ(queue.InFlight(), 0u);
    EXPECT_TRUE(queue.IdleEvent().IsSet());
}

TEST_F(ServiceCallQueueTest, FiveHundredAndOneCallsGrowTheTableWithStableSlots) {
    std::vector<std::unique_ptr<Submitter>> submitters;
    std::vector<uint64_t> handles;
    for (int i = 0; i < 501; ++i) {
        submitters.push_back(std::make_unique<Submitter>(queue));
        AwaitInFlight(static_cast<uint32_t>(i + 1));
        auto fetched = service.Fetch(handle);
        ASSERT_EQ(fetched.error, 0u);
        handles.push_back(fetched.handle);
    }
    EXPECT_EQ(queue.SlotTableSize(), 750u);
    // Calls fetched before the growth keep their slots and can still be answered by them.
    for (size_t i = 0; i < handles.size(); ++i) {
        EXPECT_EQ(CallHandleSlot(handles[i]), i);
        ASSERT_EQ(service.Answer(handle, handles[i], 1168, nullptr), 0u);
    }
    for (auto& s : submitters) {
        EXPECT_EQ(s->Join(), CallResult::Answered);
    }
}

TEST_F(ServiceCallQueueTest, SequenceNumbersSkipZero) {
    queue.SetNextSequenceForTest(0xFFFFFFFF);
    std::vector<uint32_t> sequences;
    for (int i = 0; i < 2; ++i) {
        Submitter submitter(queue);
        AwaitInFlight(1);
        auto fetched = service.Fetch(handle);
        sequences.push_back(CallHandleSequence(fetched.handle));
        service.Answer(handle, fetched.handle, 1168, nullptr);
        submitter.Join();
    }
    EXPECT_EQ(sequences[0], 0xFFFFFFFFu);
    EXPECT_EQ(sequences[1], 1u);
}

TEST_F(ServiceCallQueueTest, NoMemoryPaths) {
    {
        // No call record: as if no service were there.
        os::ScopedPoolFailure failure(SERVICE_CALL_QUEUE::kCallTag);
        LookupRecord record("a.test");
        auto request = record.Request();
        EXPECT_EQ(queue.Submit(request), CallResult::ServiceUnavailable);
    }
    {
        // The request block cannot be committed in the service.
        Submitter submitter(queue, "big.test", "/" + std::string(2000, 'x'));
        AwaitInFlight(1);
        os::ScopedCommitFailure failure;
        EXPECT_EQ(service.Fetch(handle).error, os::ERROR_GEN_FAILURE);
        EXPECT_EQ(submitter.Join(), CallResult::Failed);
    }
    {
        // The answer cannot be copied to pool.
        Submitter submitter(queue);
        AwaitInFlight(1);
        auto fetched = service.Fetch(handle);
        std::string text(3000, 'x');
        os::ScopedPoolFailure failure(SERVICE_CALL_QUEUE::kAnswerTag);
        EXPECT_EQ(service.Answer(handle, fetched.handle, 0, &text), os::ERROR_GEN_FAILURE);
        EXPECT_EQ(submitter.Join(), CallResult::Failed);
    }
    // The queue still works.
    Submitter submitter(queue);
    AwaitInFlight(1);
    auto fetched = service.Fetch(handle);
    EXPECT_EQ(service.Answer(handle, fetched.handle, 1168, nullptr), 0u);
    EXPECT_EQ(submitter.Join(), CallResult::Answered);
}

TEST_F(ServiceCallQueueTest, SlotTableThatCannotGrowFailsTheFetchedCall) {
    std::vector<std::unique_ptr<Submitter>> submitters;
    std::vector<uint64_t> handles;
    for (int i = 0; i < 500; ++i) {
        submitters.push_back(std::make_unique<Submitter>(queue));
        AwaitInFlight(static_cast<uint32_t>(i + 1));
        handles.push_back(service.Fetch(handle).handle);
    }
    auto extra = std::make_unique<Submitter>(queue);
    AwaitInFlight(501);
    {
        os::ScopedPoolFailure failure(SERVICE_CALL_QUEUE::kSlotTag);
        EXPECT_EQ(service.Fetch(handle).error, os::ERROR_NOT_ENOUGH_MEMORY);
    }
    EXPECT_EQ(extra->Join(), CallResult::Failed);
    EXPECT_EQ(queue.SlotTableSize(), 500u);
    for (uint64_t h : handles) {
        service.Answer(handle, h, 1168, nullptr);
    }
}

}  // namespace
}  // namespace wexo::drv::testing
