#include "os/kernel/pool.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace os
