// The caller's memory as the driver probes and copies it: ranges that are implausible, unmapped,
// readable only, or readable and writable.
#include "os/kernel/caller_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "os/core/process.h"

namespace os {
namespace {

// Pages mapped for one test, with the protection it asks for.
class Pages {
  public:
    Pages(size_t count, int protection)
        : size_(count * static_cast<size_t>(sysconf(_SC_PAGESIZE))),
          base_(mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {
        EXPECT_NE(base_, MAP_FAILED);
        std::memset(base_, 0x5A, size_);
        EXPECT_EQ(mprotect(base_, size_, protection), 0);
    }
    ~Pages() { munmap(base_, size_); }
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;

    uint64_t Address(size_t offset = 0) const { return reinterpret_cast<uint64_t>(base_) + offset; }
    size_t Size() const { return size_; }
    void Protect(size_t offset, size_t length, int protection) {
        ASSERT_EQ(mprotect(static_cast<char*>(base_) + offset, length, protection), 0);
    }

  private:
    size_t size_;
    void* base_;
};

class CallerMemoryTest : public ::testing::Test {
  protected:
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    CallerMemory caller{CurrentProcess()};
};

TEST_F(CallerMemoryTest, ReadOnlyMemoryIsReadableButNotWritable) {
    Pages readOnly(1, PROT_READ);
    EXPECT_TRUE(caller.ProbeForRead(readOnly.Address(), 8));
    EXPECT_FALSE(caller.ProbeForWrite(readOnly.Address(), 8));
    EXPECT_FALSE(caller.ProbeForWrite(readOnly.Address(100), 1));
    uint64_t value = 0;
    EXPECT_TRUE(caller.ReadValue(readOnly.Address(), &value));
    EXPECT_FALSE(caller.WriteValue(readOnly.Address(), value));
}

TEST_F(CallerMemoryTest, AWriteProbeChangesNothing) {
    Pages writable(2, PROT_READ | PROT_WRITE);
    EXPECT_TRUE(caller.ProbeForWrite(writable.Address(10), writable.Size() - 20));
    auto* bytes = reinterpret_cast<const uint8_t*>(writable.Address());
    for (size_t i = 0; i < writable.Size(); ++i) {
        ASSERT_EQ(bytes[i], 0x5A) << i;
    }
    EXPECT_TRUE(caller.WriteValue(writable.Address(8), uint32_t{7}));
}

TEST_F(CallerMemoryTest, EveryPageOfTheRangeMustBeWritable) {
    Pages pages(3, PROT_READ | PROT_WRITE);
    pages.Protect(2 * page, page, PROT_READ);
    EXPECT_TRUE(caller.ProbeForWrite(pages.Address(), 2 * page));
    // The same request goes on into the read-only third page.
    EXPECT_FALSE(caller.ProbeForWrite(pages.Address(page), page + 1));
    EXPECT_TRUE(caller.ProbeForRead(pages.Address(page), page + 1));
    // A page unmapped altogether fails both probes.
    pages.Protect(page, page, PROT_NONE);
    CallerMemory fresh{CurrentProcess()};
    EXPECT_FALSE(fresh.ProbeForRead(pages.Address(page), 1));
    EXPECT_FALSE(fresh.ProbeForWrite(pages.Address(page), 1));
}

// Pages of [address, address + size) that are in memory.
size_t ResidentPages(uint64_t address, size_t size, size_t page) {
    std::vector<unsigned char> resident((size + page - 1) / page);
    EXPECT_EQ(mincore(reinterpret_cast<void*>(address), size, resident.data()), 0);
    size_t count = 0;
    for (unsigned char flags : resident) {
        count += flags & 1;
    }
    return count;
}

TEST_F(CallerMemoryTest, AProbeOfALargeReserveTouchesNoneOfItsPages) {
    // A caller can name gigabytes it reserved and never used: walking them a page at a time would
    // keep the request busy for seconds, and a write probe would make every page real.
    constexpr size_t kReserve = size_t{1} << 30;
    void* base = mmap(nullptr, kReserve, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(base, MAP_FAILED);
    const auto address = reinterpret_cast<uint64_t>(base);
    EXPECT_TRUE(caller.ProbeForRead(address, kReserve));
    EXPECT_TRUE(caller.ProbeForWrite(address + 1, kReserve - 2));
    EXPECT_EQ(ResidentPages(address, kReserve, page), 0u);

    // The same judgement as page by page: a read-only stretch fails the write probe only, a hole
    // (unmapped, or mapped without access) fails both, also at the range's very end.
    ASSERT_EQ(mprotect(static_cast<char*>(base) + 512 * page, page, PROT_READ), 0);
    EXPECT_TRUE(caller.ProbeForRead(address, kReserve));
    EXPECT_FALSE(caller.ProbeForWrite(address, kReserve));
    EXPECT_TRUE(caller.ProbeForWrite(address + 513 * page, kReserve - 513 * page));
    ASSERT_EQ(mprotect(static_cast<char*>(base) + kReserve - page, page, PROT_NONE), 0);
    EXPECT_FALSE(caller.ProbeForRead(address + 513 * page, kReserve - 513 * page));
    EXPECT_TRUE(caller.ProbeForRead(address + 513 * page, kReserve - 514 * page));
    ASSERT_EQ(munmap(static_cast<char*>(base) + 4096 * page, page), 0);
    EXPECT_FALSE(caller.ProbeForRead(address, kReserve / 2));
    EXPECT_FALSE(caller.ProbeForRead(address + 4096 * page, 100 * page));
    EXPECT_TRUE(caller.ProbeForRead(address + 4097 * page, 100 * page));
    EXPECT_EQ(ResidentPages(address, 4096 * page, page), 0u);
    munmap(base, kReserve);
}

TEST_F(CallerMemoryTest, ImplausibleRangesFailWithoutLooking) {
    Pages writable(1, PROT_READ | PROT_WRITE);
    EXPECT_TRUE(caller.ProbeForWrite(0, 0));
    EXPECT_FALSE(caller.ProbeForWrite(0, 4));
    EXPECT_FALSE(caller.ProbeForWrite(writable.Address(1), 4, 4));
    EXPECT_FALSE(caller.ProbeForWrite(writable.Address(), ~0ull));
    EXPECT_FALSE(caller.ProbeForWrite(kUserProbeAddress - 2, 4));
}

}  // namespace
}  // namespace os
