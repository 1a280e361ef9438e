#include "driver/platform/driver_settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/platform/event_log.h"
#include "driver/platform/registry_values.h"
#include "os/core/allocation.h"
#include "os/core/event_log.h"

namespace wexo::drv {
namespace {

// UTF-16LE bytes of a text given as code units, NULs included as written.
std::vector<uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<uint8_t> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

std::vector<uint8_t> MultiString(const std::vector<std::string>& strings) {
    return *os::RegMultiStringData(strings);
}

std::vector<DNS_REMAP_ENTRY> EntriesOf(const DnsRemapList& list) {
    std::vector<DNS_REMAP_ENTRY> entries;
    uint32_t offset = 0;
    DNS_REMAP_ENTRY entry;
    while (NextDnsRemapEntry(list, &offset, &entry)) {
        entries.push_back(entry);
    }
    EXPECT_EQ(offset, list.entriesLength);
    return entries;
}

// Parses and frees; the entries as (source, target) text pairs, or nothing when refused.
std::optional<std::vector<std::pair<std::string, std::string>>> Parse(
    uint32_t type, const std::vector<uint8_t>& data) {
    DnsRemapList* list = ParseDnsRemapping(type, data);
    if (list == nullptr) {
        return std::nullopt;
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const DNS_REMAP_ENTRY& entry : EntriesOf(*list)) {
        pairs.emplace_back(entry.source, entry.target);
    }
    EXPECT_EQ(list->entryCount, pairs.size());
    EXPECT_EQ(list->referenceCount, 0);
    FreeDnsRemapList(list);
    return pairs;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(DnsRemappingParse, SplitsAtTheFirstCommaAndPacksTheEntries) {
    DnsRemapList* list =
        ParseDnsRemapping(os::REG_MULTI_SZ, MultiString({"alpha,beta,gamma", "www.v.test,safe.v"}));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->entryCount, 2u);
    // 5 + 10 + 6 and 10 + 6 + 6.
    EXPECT_EQ(list->entriesLength, 21u + 22u);
    const uint8_t expected[] = {5,   0,   10,  0,   'a', 'l', 'p', 'h', 'a', 0, 'b',
                                'e', 't', 'a', ',', 'g', 'a', 'm', 'm', 'a', 0};
    EXPECT_EQ(std::memcmp(list->Entries(), expected, sizeof expected), 0);
    auto entries = EntriesOf(*list);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].source, "www.v.test");
    EXPECT_EQ(entries[1].target, "safe.v");
    FreeDnsRemapList(list);
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 0u);
}

TEST(DnsRemappingParse, UnusableStringsAreSkippedInRegistryOrder) {
    EXPECT_EQ(Parse(os::REG_MULTI_SZ,
                    MultiString({"no-comma", "Alpha,alpha", ",target.test", "source.test,",
                                 "b.test,B.TEST", "first.test,one", "second.test,two"})),
              (Pairs{{"first.test", "one"}, {"second.test", "two"}}));
    // Only ASCII letters fold: the accented capital is another name.
    EXPECT_EQ(Parse(os::REG_MULTI_SZ, MultiString({"\xC3\xA9.test,\xC3\x89.TEST"})),
              (Pairs{{"\xC3\xA9.test", "\xC3\x89.TEST"}}));
}

TEST(DnsRemappingParse, TheTextIsConvertedToUtf8AsAWhole) {
    // U+00FC, U+4E2D and U+1F600 (a surrogate pair); a lone surrogate becomes U+FFFD.
    std::u16string text = u"b\u00FCcher.test,\u4E2D.test";
    text += u'\0';
    text += u"x.test,";
    text += char16_t(0xD83D);
    text += char16_t(0xDE00);
    text += u'\0';
    text += u"lone.test,";
    text += char16_t(0xDC00);
    text += u'\0';
    text += u'\0';
    EXPECT_EQ(Parse(os::REG_MULTI_SZ, Utf16Bytes(text)), (Pairs{{"b\xC3\xBC"
                                                                 "cher.test",
                                                                 "\xE4\xB8\xAD.test"},
                                                                {"x.test", "\xF0\x9F\x98\x80"},
                                                                {"lone.test", "\xEF\xBF\xBD"}}));
}

TEST(DnsRemappingParse, MalformedValuesAreRefused) {
    std::vector<uint8_t> good = MultiString({"a.test,b.test"});
    EXPECT_TRUE(Parse(os::REG_MULTI_SZ, good).has_value());
    // Another type, even with the same bytes.
    EXPECT_FALSE(Parse(os::REG_SZ, good).has_value());
    EXPECT_FALSE(Parse(os::REG_BINARY, good).has_value());
    // Odd length.
    std::vector<uint8_t> odd = good;
    odd.push_back(0);
    EXPECT_FALSE(Parse(os::REG_MULTI_SZ, odd).has_value());
    // No pair of NULs: the final NUL is missing.
    EXPECT_FALSE(
        Parse(os::REG_MULTI_SZ, std::vector<uint8_t>(good.begin(), good.end() - 2)).has_value());
    // The list ends before the data does.
    std::vector<uint8_t> trailing = good;
    for (uint8_t b : Utf16Bytes(u"c.test,d.test")) {
        trailing.push_back(b);
    }
    trailing.insert(trailing.end(), {0, 0, 0, 0});
    EXPECT_FALSE(Parse(os::REG_MULTI_SZ, trailing).has_value());
    // Zero bytes that straddle code units are no NUL characters: "b", NUL, U+0100 has the bytes
    // 62 00 00 00 00 01, four zero bytes, yet only one NUL character.
    EXPECT_EQ(Parse(os::REG_MULTI_SZ, Utf16Bytes(std::u16string(u"a,b\0\u0100,c\0\0", 9))),
              (Pairs{{"a", "b"}, {"\xC4\x80", "c"}}));
    // Empty data, one NUL, an empty list, and a list of nothing usable.
    EXPECT_FALSE(Parse(os::REG_MULTI_SZ, {}).has_value());
    EXPECT_FALSE(Parse(os::REG_MULTI_SZ, {0, 0}).has_value());
    EXPECT_FALSE(Parse(os::REG_MULTI_SZ, {0, 0, 0, 0}).has_value());
    EXPECT_FALSE(
        Parse(os::REG_MULTI_SZ, MultiString({"Alpha,alpha", "nothing", "x,"})).has_value());
}

TEST(DnsRemappingParse, NoMemoryRefusesTheValue) {
    std::vector<uint8_t> data = MultiString({"a.test,b.test"});
    {
        os::ScopedPoolFailure failure(kDnsRemapListTag);
        EXPECT_EQ(ParseDnsRemapping(os::REG_MULTI_SZ, data), nullptr);
    }
    {
        os::ScopedPoolFailure failure(os::MakePoolTag("DRMu"));
        EXPECT_EQ(ParseDnsRemapping(os::REG_MULTI_SZ, data), nullptr);
    }
    EXPECT_EQ(os::PoolOutstanding(os::MakePoolTag("DRMu")), 0u);
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 0u);
}

TEST(DnsRemappingParse, ListsAreEqualByTheirEntryBytes) {
    DnsRemapList* a = ParseDnsRemapping(os::REG_MULTI_SZ, MultiString({"a.test,b.test"}));
    DnsRemapList* same = ParseDnsRemapping(os::REG_MULTI_SZ, MultiString({"a.test,b.test", "x,x"}));
    DnsRemapList* cased = ParseDnsRemapping(os::REG_MULTI_SZ, MultiString({"A.test,b.test"}));
    ASSERT_TRUE(a && same && cased);
    EXPECT_TRUE(DnsRemapListsEqual(*a, *same));
    EXPECT_FALSE(DnsRemapListsEqual(*a, *cased));
    FreeDnsRemapList(a);
    FreeDnsRemapList(same);
    FreeDnsRemapList(cased);
}

// The settings over a registry of the test's own, with the product key open.
class DriverSettingsTest : public ::testing::Test {
  protected:
    DriverSettingsTest() : previousSyslog_(os::SetEventLogSyslogOutput(false)) {
        os::ClearEventLogRecords();
    }
    ~DriverSettingsTest() override {
        os::ClearEventLogRecords();
        os::SetEventLogSyslogOutput(previousSyslog_);
    }

    void SetUp() override {
        ASSERT_EQ(os::ZwCreateKey(key_, kProductKeyName), os::STATUS_SUCCESS);
        ASSERT_EQ(settings_.OpenProductKey(), os::STATUS_SUCCESS);
        settings_.SetChangeHook([this] { ++hookCalls_; });
    }

    void Set(const char* name, uint32_t type, const std::vector<uint8_t>& data) {
        ASSERT_EQ(os::ZwSetValueKey(key_, name, type, data), os::STATUS_SUCCESS);
    }
    void SetRemapping(const std::vector<std::string>& strings) {
        Set(kDnsRemappingValue, os::REG_MULTI_SZ, MultiString(strings));
    }
    bool ResolverWoken() {
        return os::WaitForSingleObject(settings_.ResolverEvent(), 0) == os::WAIT_OBJECT_0;
    }
    std::string Lookup(const char* host) {
        char* target = settings_.RemapLookup(host);
        std::string text = target != nullptr ? target : "(none)";
        FreeRemapTarget(target);
        return text;
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    os::RegKey key_;
    DRIVER_SETTINGS settings_;
    int hookCalls_ = 0;

  private:
    bool previousSyslog_;
};

TEST_F(DriverSettingsTest, BooleansAreFourByteDwords) {
    Set(kBlockOnFailureValue, os::REG_DWORD, os::RegDwordData(2));
    Set(kDormantValue, os::REG_DWORD, os::RegDwordData(1));
    Set(kUnencryptedSearchValue, os::REG_DWORD, os::RegDwordData(0x100));
    settings_.ReadProductSettings(false);
    EXPECT_TRUE(settings_.BlockOnFailure());
    EXPECT_TRUE(settings_.Dormant());
    EXPECT_TRUE(settings_.UnencryptedSearch());

    // An 8-byte QWORD, a 2-byte DWORD and a string all read as the default.
    Set(kBlockOnFailureValue, os::REG_QWORD, os::RegQwordData(1));
    Set(kDormantValue, os::REG_DWORD, {1, 0});
    Set(kUnencryptedSearchValue, os::REG_SZ, os::RegStringData("1"));
    settings_.ReadProductSettings(false);
    EXPECT_FALSE(settings_.BlockOnFailure());
    EXPECT_FALSE(settings_.Dormant());
    EXPECT_FALSE(settings_.UnencryptedSearch());
    Set(kDormantValue, os::REG_BINARY, os::RegDwordData(1));
    settings_.ReadProductSettings(false);
    EXPECT_FALSE(settings_.Dormant());
    // Wrong types and sizes are no failures to report.
    EXPECT_TRUE(os::EventLogRecords().empty());
}

TEST_F(DriverSettingsTest, TheHookRunsOnlyWhenABooleanChanged) {
    settings_.ReadProductSettings(true);
    settings_.ReadProductSettings(false);
    EXPECT_EQ(hookCalls_, 0);
    Set(kDormantValue, os::REG_DWORD, os::RegDwordData(1));
    Set(kBlockOnFailureValue, os::REG_DWORD, os::RegDwordData(1));
    settings_.ReadProductSettings(false);
    EXPECT_EQ(hookCalls_, 1);
    // Another non-zero value is the same setting; a new list is no boolean.
    Set(kDormantValue, os::REG_DWORD, os::RegDwordData(7));
    SetRemapping({"a.test,b.test"});
    settings_.ReadProductSettings(false);
    EXPECT_EQ(hookCalls_, 1);
    Set(kUnencryptedSearchValue, os::REG_DWORD, os::RegDwordData(1));
    settings_.ReadProductSettings(false);
    EXPECT_EQ(hookCalls_, 2);
    // Back to the defaults: every boolean changes, one call.
    settings_.ReadProductSettings(true);
    EXPECT_EQ(hookCalls_, 3);
    EXPECT_FALSE(settings_.Dormant() || settings_.BlockOnFailure() ||
                 settings_.UnencryptedSearch());
}

TEST_F(DriverSettingsTest, EncryptedDnsEndpointsAreReadAsStringsAndAChangeRunsTheHook) {
    Set(kEncryptedDnsEndpointsValue, os::REG_MULTI_SZ,
        MultiString({"198.51.100.53", "doh.resolver.test"}));
    settings_.ReadProductSettings(false);
    EXPECT_EQ(settings_.EncryptedDnsEndpoints(),
              (std::vector<std::string>{"198.51.100.53", "doh.resolver.test"}));
    EXPECT_EQ(hookCalls_, 1);
    settings_.ReadProductSettings(false);
    EXPECT_EQ(hookCalls_, 1);
    // A value of another type, or a malformed list, adds nothing.
    Set(kEncryptedDnsEndpointsValue, os::REG_SZ, os::RegStringData("198.51.100.53"));
    settings_.ReadProductSettings(false);
    EXPECT_TRUE(settings_.EncryptedDnsEndpoints().empty());
    EXPECT_EQ(hookCalls_, 2);
}

TEST_F(DriverSettingsTest, OnlyAChangedListIsInstalledAndWakesTheResolver) {
    settings_.ReadProductSettings(true);
    EXPECT_FALSE(ResolverWoken());  // no list before, none after
    SetRemapping({"www.search.test,safe.search.test"});
    settings_.ReadProductSettings(false);
    EXPECT_TRUE(ResolverWoken());
    EXPECT_EQ(Lookup("www.search.test"), "safe.search.test");

    // The service writes the same list again (it does at every start).
    const DnsRemapList* before = settings_.ReferenceRemapList();
    SetRemapping({"www.search.test,safe.search.test"});
    settings_.ReadProductSettings(false);
    EXPECT_FALSE(ResolverWoken());
    const DnsRemapList* after = settings_.ReferenceRemapList();
    EXPECT_EQ(before, after);
    settings_.ReleaseRemapList(after);
    settings_.ReleaseRemapList(before);
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 1u);

    SetRemapping({"www.search.test,strict.search.test"});
    settings_.ReadProductSettings(false);
    EXPECT_TRUE(ResolverWoken());
    EXPECT_EQ(Lookup("www.search.test"), "strict.search.test");
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 1u);

    // A refused value is no list: the installed one goes.
    SetRemapping({"nothing-usable"});
    settings_.ReadProductSettings(false);
    EXPECT_TRUE(ResolverWoken());
    EXPECT_EQ(Lookup("www.search.test"), "(none)");
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 0u);
    settings_.ReadProductSettings(false);
    EXPECT_FALSE(ResolverWoken());
}

TEST_F(DriverSettingsTest, AStringRemappingValueIsIgnoredAsIfMissing) {
    SetRemapping({"a.test,b.test"});
    settings_.ReadProductSettings(false);
    ASSERT_EQ(Lookup("a.test"), "b.test");
    Set(kDnsRemappingValue, os::REG_SZ, os::RegStringData("a.test,b.test"));
    settings_.ReadProductSettings(false);
    EXPECT_EQ(Lookup("a.test"), "(none)");
    EXPECT_TRUE(os::EventLogRecords().empty());
}

TEST_F(DriverSettingsTest, DefaultsOnlyDropsTheListAndTheFlags) {
    SetRemapping({"a.test,b.test"});
    Set(kDormantValue, os::REG_DWORD, os::RegDwordData(1));
    settings_.ReadProductSettings(false);
    ASSERT_TRUE(settings_.Dormant());
    ResolverWoken();
    settings_.ReadProductSettings(true);
    EXPECT_FALSE(settings_.Dormant());
    EXPECT_EQ(Lookup("a.test"), "(none)");
    EXPECT_TRUE(ResolverWoken());
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 0u);
}

TEST_F(DriverSettingsTest, AQueryFailureOtherThanNotFoundIsLoggedAsSETL) {
    settings_.ReadProductSettings(false);  // nothing set: missing values are no news
    EXPECT_TRUE(os::EventLogRecords().empty());

    Set(kDormantValue, os::REG_DWORD, os::RegDwordData(1));
    settings_.ReadProductSettings(false);
    ASSERT_TRUE(settings_.Dormant());
    // The key is deleted under the settings' handle: every query now fails.
    ASSERT_EQ(os::ZwDeleteKey(key_), os::STATUS_SUCCESS);
    settings_.ReadProductSettings(false);
    EXPECT_FALSE(settings_.Dormant());
    auto records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 5u);
    const char* names[] = {kDnsRemappingValue, kBlockOnFailureValue, kDormantValue,
                           kUnencryptedSearchValue, kEncryptedDnsEndpointsValue};
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].source, "WexoWfp");
        EXPECT_EQ(records[i].eventId, DRIVER_EVENT_QUERY_VALUE_FAILED);
        uint32_t unique = 0;
        ASSERT_GE(records[i].data.size(), kPacketUniqueValueOffset + 4);
        std::memcpy(&unique, records[i].data.data() + kPacketUniqueValueOffset, 4);
        EXPECT_EQ(unique, UniqueValue("SETL"));
        EXPECT_EQ(records[i].strings,
                  (std::vector<std::string>{"WexoWfp", names[i], "Ostrel", "C000017C"}));
    }
    EXPECT_EQ(FormatDriverEventMessage(records[2].eventId, records[2].strings),
              "Unable to query Dormant in registry key Ostrel. Status=0xC000017C.\r\n");
}

TEST_F(DriverSettingsTest, NoMemoryForAQueryIsLoggedAndGivesTheDefault) {
    SetRemapping({"a.test,b.test"});
    Set(kBlockOnFailureValue, os::REG_DWORD, os::RegDwordData(1));
    settings_.ReadProductSettings(false);
    {
        // The remap list's query is the first of the reading.
        os::ScopedPoolFailure failure(kRegistryValueTag, 0, 1);
        settings_.ReadProductSettings(false);
    }
    EXPECT_EQ(Lookup("a.test"), "(none)");
    EXPECT_TRUE(settings_.BlockOnFailure());
    auto records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].strings,
              (std::vector<std::string>{"WexoWfp", "DNSRemapping", "Ostrel", "C000009A"}));
    EXPECT_EQ(os::PoolOutstanding(kRegistryValueTag), 0u);
}

TEST_F(DriverSettingsTest, LookupComparesAsciiCaseAndTakesTheFirstMatch) {
    SetRemapping({"www.Search.test,first.test", "WWW.SEARCH.TEST,second.test",
                  "b\xC3\xBC"
                  "cher.test,books.test",
                  "search.test,bare.test"});
    settings_.ReadProductSettings(false);
    EXPECT_EQ(Lookup("www.search.test"), "first.test");
    EXPECT_EQ(Lookup("WWW.search.TEST"), "first.test");
    EXPECT_EQ(Lookup("search.test"), "bare.test");
    EXPECT_EQ(Lookup("b\xC3\xBC"
                     "cher.test"),
              "books.test");
    EXPECT_EQ(Lookup("B\xC3\x9C"
                     "CHER.test"),
              "(none)");  // U+00DC is not folded
    EXPECT_EQ(Lookup("www.search.tes"), "(none)");
    EXPECT_EQ(Lookup("www.search.test."), "(none)");
    EXPECT_EQ(Lookup(""), "(none)");
    EXPECT_EQ(settings_.RemapLookup(nullptr), nullptr);

    char* target = settings_.RemapLookup("search.test");
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(os::PoolOutstanding(kRemapTargetTag), 1u);
    FreeRemapTarget(target);
    EXPECT_EQ(os::PoolOutstanding(kRemapTargetTag), 0u);
    {
        os::ScopedPoolFailure failure(kRemapTargetTag);
        EXPECT_EQ(settings_.RemapLookup("search.test"), nullptr);
    }
}

TEST_F(DriverSettingsTest, AReaderKeepsAReplacedListUntilItReleases) {
    SetRemapping({"a.test,old.test"});
    settings_.ReadProductSettings(false);
    const DnsRemapList* held = settings_.ReferenceRemapList();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->referenceCount, 1);

    SetRemapping({"a.test,new.test"});
    settings_.ReadProductSettings(false);
    EXPECT_EQ(Lookup("a.test"), "new.test");
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 2u);
    // The holder's share is gone; the reader's is the last.
    EXPECT_EQ(held->referenceCount, 0);
    EXPECT_EQ(EntriesOf(*held)[0].target, "old.test");
    settings_.ReleaseRemapList(held);
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 1u);

    settings_.FreeRemapList();
    EXPECT_EQ(settings_.ReferenceRemapList(), nullptr);
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 0u);
}

}  // namespace
}  // namespace wexo::drv
