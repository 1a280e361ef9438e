// The caller's memory as the driver probes and copies it: ranges that are implausible, unmapped,
// readable only, or readable and writable.
#include "os/kernel/caller_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

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
