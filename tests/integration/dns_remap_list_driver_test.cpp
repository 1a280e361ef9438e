// The remap list as the service writes it and the driver reads it: the built-in list and a list a
// policy server sent, written by WriteDnsRemapping and read back by the driver's own parser of
// "DNSRemapping".
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "driver/platform/driver_settings.h"
#include "os/registry/registry.h"
#include "service/checkin/dns_remap_list.h"
#include "service/support/registry_helpers.h"

namespace wexo::integration {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

class RemapListToDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(os::RegCreateKeyEx(os::HKEY_LOCAL_MACHINE, svc::kProductKeyPath, key_),
                  os::ERROR_SUCCESS);
    }

    // What the driver makes of the value now.
    Pairs DriverEntries() {
        os::REG_VALUE value;
        EXPECT_EQ(os::RegQueryValue(key_, drv::kDnsRemappingValue, value), os::ERROR_SUCCESS);
        drv::DnsRemapList* list = drv::ParseDnsRemapping(value.type, value.data);
        Pairs pairs;
        if (list == nullptr) {
            return pairs;
        }
        uint32_t offset = 0;
        drv::DNS_REMAP_ENTRY entry;
        while (drv::NextDnsRemapEntry(*list, &offset, &entry)) {
            pairs.emplace_back(std::string(entry.source), std::string(entry.target));
        }
        drv::FreeDnsRemapList(list);
        return pairs;
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    os::RegKey key_;
};

TEST_F(RemapListToDriverTest, TheBuiltInListReachesTheDriverEntryForEntry) {
    ASSERT_TRUE(svc::WriteDnsRemapping(key_, nullptr));
    const Pairs entries = DriverEntries();
    ASSERT_EQ(entries.size(), 8u);
    EXPECT_EQ(entries[0], (std::pair<std::string, std::string>("www.google.com",
                                                               "forcesafesearch.google.com")));
    EXPECT_EQ(entries[6], entries[7]);
    EXPECT_EQ(entries[7].second, "restrict.youtube.com");
}

TEST_F(RemapListToDriverTest, AReceivedListReachesTheDriverWithoutTheEntriesItCannotHold) {
    // What a reply may carry: an empty host, an entry without a comma (the driver skips it), a
    // second comma (the target is everything after the first), text beyond ASCII.
    const svc::DNS_REMAP_LIST received = {"www.search.test,safe.search.test", "", "no-comma.test",
                                          "a.test,b.test,c",
                                          "b\xC3\xBC"
                                          "cher.test,safe.test"};
    ASSERT_TRUE(svc::WriteDnsRemapping(key_, &received));
    EXPECT_EQ(DriverEntries(), (Pairs{{"www.search.test", "safe.search.test"},
                                      {"a.test", "b.test,c"},
                                      {"b\xC3\xBC"
                                       "cher.test",
                                       "safe.test"}}));
}

}  // namespace
}  // namespace wexo::integration
