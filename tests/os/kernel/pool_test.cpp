#include "os/kernel/pool.h"

#include <gtest/gtest.h>

#include "os/core/status.h"

namespace os {
namespace {

constexpr uint32_t kTag = MakePoolTag("Test");

TEST(PoolTest, TagReadsAsItsLettersInMemory) {
    uint32_t tag = MakePoolTag("TMPB");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&tag), 4), "TMPB");
}

TEST(PoolTest, FailureSwitchSkipsThenFailsTheCountedAllocations) {
    ScopedPoolFailure failure(kTag, 1, 2);
    void* first = ExAllocatePoolWithTag(PoolType::NonPaged, 16, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PoolType::NonPaged, 16, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PoolType::NonPaged, 16, kTag), nullptr);
    void* other = ExAllocatePoolWithTag(PoolType::NonPaged, 16, MakePoolTag("Othr"));
    EXPECT_NE(other, nullptr);  // another tag is not affected
    void* fourth = ExAllocatePoolWithTag(PoolType::NonPaged, 16, kTag);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(failure.Failed(), 2u);
    ExFreePoolWithTag(first, kTag);
    ExFreePoolWithTag(fourth, kTag);
    ExFreePoolWithTag(other, MakePoolTag("Othr"));
}

TEST(PoolTest, OutstandingCountsFollowAllocationsAndFrees) {
    size_t before = PoolOutstanding(kTag);
    void* a = ExAllocatePoolWithTag(PoolType::Paged, 8, kTag);
    EXPECT_EQ(PoolOutstanding(kTag), before + 1);
    ExFreePoolWithTag(a, kTag);
    EXPECT_EQ(PoolOutstanding(kTag), before);
    ExFreePoolWithTag(nullptr, kTag);
}

TEST(LookasideTest, ReusesEntriesAndHonoursTheFailureSwitch) {
    LookasideList list(PoolType::NonPaged, 64, kTag, 2);
    void* a = list.Allocate();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(list.InUse(), 1u);
    list.Free(a);
    EXPECT_EQ(list.Allocate(), a);
    {
        ScopedPoolFailure failure(kTag);
        EXPECT_EQ(list.Allocate(), nullptr);
    }
    list.Free(a);
    EXPECT_EQ(list.InUse(), 0u);
}

TEST(StatusTest, DriverStatusesMapToTheErrorsTheServiceSees) {
    EXPECT_EQ(NtStatusToWin32Error(STATUS_NOT_FOUND), ERROR_NOT_FOUND);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_BUFFER_TOO_SMALL), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_INVALID_PARAMETER), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_INVALID_DEVICE_REQUEST), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_ACCESS_DENIED), ERROR_ACCESS_DENIED);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_NO_MEMORY), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_UNSUCCESSFUL), ERROR_GEN_FAILURE);
    EXPECT_FALSE(NT_SUCCESS(STATUS_NOT_FOUND));
    EXPECT_TRUE(NT_SUCCESS(STATUS_TIMEOUT));
}

TEST(StatusTest, MessageTextsFitTheLogLineFormat) {
    EXPECT_EQ(SystemMessageText(ERROR_NOT_FOUND), "Element not found");
    EXPECT_EQ(SystemMessageText(ERROR_INVALID_DATATYPE), "The specified datatype is invalid");
    EXPECT_EQ(SystemMessageText(WSAHOST_NOT_FOUND), "No such host is known");
    EXPECT_EQ(SystemMessageText(424242), "Unknown error 424242");
    SetLastError(ERROR_MORE_DATA);
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
}

}  // namespace
}  // namespace os
