#include "driver/platform/system_thread.h"

#include <gtest/gtest.h>

#include <vector>

#include "driver/platform/scratch_buffer.h"
#include "os/core/clock.h"
#include "os/kernel/pool.h"

namespace wexo::drv {
namespace {

// A loop as the driver's threads run it: sleep on the stop event, end when asked to.
void LoopUntilStopped(SystemThread* record) {
    while (!record->stopRequested) {
        SystemThreadWait(record, 5000);
    }
}

// Ignores the stop request for a long time: the overrun case.
void IgnoreStop(SystemThread* record) {
    os::Sleep(static_cast<uint32_t>(record->context));
}

TEST(SystemThreadTest, StopAllWithOwnEventsEndsEveryThread) {
    std::vector<SystemThread> records(70);  // more than one batch of 64
    for (auto& r : records) {
        ASSERT_EQ(SystemThreadStart(&r, nullptr, &LoopUntilStopped, 0), os::STATUS_SUCCESS);
        EXPECT_EQ(r.stopEvent, &r.ownEvent);
        EXPECT_NE(r.threadId, 0u);
    }
    for (auto& r : records) {
        r.stopRequested = true;
    }
    EXPECT_TRUE(SystemThreadStopAll(nullptr, records.data(), records.data() + records.size(), 30));
    for (auto& r : records) {
        EXPECT_EQ(r.thread, nullptr);
    }
}

TEST(SystemThreadTest, SharedStopEventAndSmallBatchesWhenTheWaitListCannotBeAllocated) {
    os::Event stop(os::EventType::Notification);
    std::vector<SystemThread> records(5);
    for (auto& r : records) {
        ASSERT_EQ(SystemThreadStart(&r, &stop, &LoopUntilStopped, 0), os::STATUS_SUCCESS);
        EXPECT_EQ(r.stopEvent, &stop);
        r.stopRequested = true;
    }
    os::ScopedPoolFailure failure(os::MakePoolTag("STwb"));
    EXPECT_TRUE(SystemThreadStopAll(&stop, records.data(), records.data() + records.size(), 30));
    EXPECT_EQ(failure.Failed(), 1u);
}

TEST(SystemThreadTest, AnOverrunningThreadIsLeftToEndOnItsOwn) {
    os::VirtualClock clock;
    SystemThread record;
    ASSERT_EQ(SystemThreadStart(&record, nullptr, &IgnoreStop, 60'000), os::STATUS_SUCCESS);
    auto thread = record.thread;  // keep a handle to see it end later
    bool ended = true;
    auto stopper =
        os::Thread::Start([&] { ended = SystemThreadStopAll(nullptr, &record, &record + 1, 30); });
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(30)));
    os::WaitForSingleObject(*stopper, os::INFINITE);
    EXPECT_FALSE(ended);
    EXPECT_FALSE(thread->HasEnded());
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(30)));
    EXPECT_TRUE(thread->HasEnded());
}

TEST(SystemThreadTest, CreationFailureClearsTheRecord) {
    ScopedSystemThreadFailure failure(1);
    SystemThread record;
    EXPECT_EQ(SystemThreadStart(&record, nullptr, &LoopUntilStopped, 0),
              os::STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(record.thread, nullptr);
    EXPECT_EQ(record.stopEvent, nullptr);
    EXPECT_TRUE(SystemThreadStopAll(nullptr, &record, &record + 1, 1));
}

TEST(ScratchBufferTest, StandardBlocksGrowAndEnsure) {
    ScratchBuffer::CreatePool();
    uint32_t capacity = 0;
    void* buffer = ScratchBuffer::Get(&capacity);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(capacity, 2048u);
    EXPECT_EQ(ScratchBuffer::Capacity(buffer), 2048u);
    buffer = ScratchBuffer::Grow(buffer, &capacity);
    EXPECT_EQ(capacity, 2048u + 4096u);
    EXPECT_EQ(ScratchBuffer::Ensure(buffer, 100), buffer);
    buffer = ScratchBuffer::Ensure(buffer, 10000);
    EXPECT_EQ(ScratchBuffer::Capacity(buffer), 10000u);
    ScratchBuffer::Release(buffer);
    ScratchBuffer::Release(nullptr);
    ScratchBuffer::DeletePool();
    EXPECT_EQ(os::PoolOutstanding(os::MakePoolTag("TMPB")), 0u);
}

TEST(ScratchBufferTest, FallsBackToPoolAndReportsFailure) {
    ScratchBuffer::CreatePool();
    uint32_t capacity = 0;
    {
        // The lookaside list cannot supply a block, nor can pool.
        os::ScopedPoolFailure failure(os::MakePoolTag("TMPB"));
        EXPECT_EQ(ScratchBuffer::Get(&capacity), nullptr);
        EXPECT_EQ(capacity, 0u);
    }
    {
        // Only the list fails: the block comes from pool.
        os::ScopedPoolFailure failure(os::MakePoolTag("TMPB"), 0, 1);
        void* buffer = ScratchBuffer::Get(&capacity);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(capacity, 2048u);
        ScratchBuffer::Release(buffer);
    }
    ScratchBuffer::DeletePool();
    EXPECT_EQ(os::PoolOutstanding(os::MakePoolTag("TMPB")), 0u);
}

}  // namespace
}  // namespace wexo::drv
