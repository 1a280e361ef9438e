// What the driver learns from DNS answers about the names each address stands for, and how long
// and how much of it it keeps.
#include "driver/filter/address_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/service_domain.h"
#include "os/core/clock.h"

namespace wexo::drv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Name(const std::string& dotted) {
    Bytes out;
    size_t start = 0;
    while (start < dotted.size()) {
        size_t dot = dotted.find('.', start);
        if (dot == std::string::npos) {
            dot = dotted.size();
        }
        out.push_back(static_cast<uint8_t>(dot - start));
        out.insert(out.end(), dotted.begin() + static_cast<ptrdiff_t>(start),
                   dotted.begin() + static_cast<ptrdiff_t>(dot));
        start = dot + 1;
    }
    out.push_back(0);
    return out;
}

Bytes U16(size_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

struct RECORD {
    std::string owner;
    uint16_t type;  // 1 A, 5 CNAME, 28 AAAA
    Bytes data;     // the address, or the alias target's name
    uint32_t ttl = 60;
};

// A response (flags 81 80: no error) with one question and `records` as its answers.
Bytes Answer(const std::string& question, const std::vector<RECORD>& records) {
    Bytes out = {0x12, 0x34, 0x81, 0x80, 0, 1};
    Bytes answers = U16(records.size());
    out.insert(out.end(), answers.begin(), answers.end());
    out.insert(out.end(), {0, 0, 0, 0});
    Bytes q = Name(question);
    out.insert(out.end(), q.begin(), q.end());
    out.insert(out.end(), {0, 1, 0, 1});
    for (const RECORD& r : records) {
        Bytes owner = Name(r.owner);
        out.insert(out.end(), owner.begin(), owner.end());
        Bytes type = U16(r.type);
        out.insert(out.end(), type.begin(), type.end());
        out.insert(out.end(), {0, 1});
        out.insert(out.end(), {static_cast<uint8_t>(r.ttl >> 24), static_cast<uint8_t>(r.ttl >> 16),
                               static_cast<uint8_t>(r.ttl >> 8), static_cast<uint8_t>(r.ttl)});
        Bytes data = r.type == 5 ? Name(std::string(r.data.begin(), r.data.end())) : r.data;
        Bytes length = U16(data.size());
        out.insert(out.end(), length.begin(), length.end());
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

const Bytes kA1 = {198, 51, 100, 1};
const Bytes kA2 = {198, 51, 100, 2};
const Bytes kV6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

ADDRESS_KEY Key(const Bytes& address) {
    return MakeAddressKey(address.data(), static_cast<uint32_t>(address.size()));
}

std::vector<std::string> NamesOf(ADDRESS_NAMES& table, const Bytes& address) {
    ADDRESS_NAMES::NAME_LIST names;
    size_t count = table.NamesOf(Key(address), names);
    return {names.begin(), names.begin() + static_cast<ptrdiff_t>(count)};
}

using Names = std::vector<std::string>;

TEST(AddressNamesTest, AnswersGiveTheirAddressesTheNamesTheyWereAskedAndAnsweredFor) {
    Bytes answerWithError = Answer("err.test", {{"err.test", 1, kA1}});
    answerWithError[3] = 0x83;
    Bytes query = Answer("q.test", {{"q.test", 1, kA1}});
    query[2] = 0x01;
    Bytes cut = Answer("cut.test", {{"cut.test", 1, kA1}});
    cut.resize(cut.size() - 2);
    struct Case {
        const char* name;
        Bytes message;
        Names forA1;
        Names forV6;
    };
    const Case cases[] = {
        {"A", Answer("Www.Example.TEST", {{"www.example.test", 1, kA1}}), {"www.example.test"}, {}},
        {"AAAA", Answer("six.test", {{"six.test", 28, kV6}}), {}, {"six.test"}},
        {"AliasChain",
         Answer("site.test", {{"site.test", 5, Text("edge.cdn.test")},
                              {"edge.cdn.test", 5, Text("e1.cdn.test")},
                              {"e1.cdn.test", 1, kA1}}),
         {"site.test", "edge.cdn.test", "e1.cdn.test"},
         {}},
        {"AliasAfterTheAddress",
         Answer("late.test", {{"x.cdn.test", 1, kA1}, {"late.test", 5, Text("x.cdn.test")}}),
         {"late.test", "x.cdn.test"},
         {}},
        {"RecordsOfAnotherNameWithoutAnAlias",
         Answer("asked.test", {{"other.test", 1, kA1}}),
         {"asked.test", "other.test"},
         {}},
        {"AnErrorAnswer", answerWithError, {}, {}},
        {"AQuery", query, {}, {}},
        {"ACutAnswer", cut, {}, {}},
    };
    for (const Case& c : cases) {
        ADDRESS_NAMES table;
        table.LearnFromAnswer(c.message);
        EXPECT_EQ(NamesOf(table, kA1), c.forA1) << c.name;
        EXPECT_EQ(NamesOf(table, kV6), c.forV6) << c.name;
        EXPECT_TRUE(NamesOf(table, kA2).empty()) << c.name;
    }
}

TEST(AddressNamesTest, AnAddressKeepsItsFourMostRecentNames) {
    ADDRESS_NAMES table;
    for (const char* name : {"a.test", "b.test", "c.test", "d.test", "e.test"}) {
        table.Learn(Key(kA1), name, 60);
    }
    EXPECT_EQ(NamesOf(table, kA1), (Names{"e.test", "d.test", "c.test", "b.test"}));
    table.Learn(Key(kA1), "C.TEST.", 60);  // learnt again: to the front, not twice
    EXPECT_EQ(NamesOf(table, kA1), (Names{"c.test", "e.test", "d.test", "b.test"}));
    EXPECT_EQ(table.NameCount(), 4u);
}

TEST(AddressNamesTest, NamesLastTheirTtlBetweenAFloorAndACeiling) {
    os::VirtualClock clock;
    ADDRESS_NAMES table;
    table.Learn(Key(kA1), "short.test", 1);
    table.Learn(Key(kA2), "long.test", 7 * 24 * 3600);
    ASSERT_TRUE(clock.AdvanceSeconds(kAddressNameTtlFloorSeconds - 1));
    EXPECT_EQ(NamesOf(table, kA1), (Names{"short.test"}));
    ASSERT_TRUE(clock.AdvanceSeconds(2));
    EXPECT_TRUE(NamesOf(table, kA1).empty());
    ASSERT_TRUE(clock.AdvanceSeconds(kAddressNameTtlCeilingSeconds));
    EXPECT_TRUE(NamesOf(table, kA2).empty());
    EXPECT_EQ(table.NameCount(), 0u);
}

TEST(AddressNamesTest, TheOldestNamesGoPastTheBound) {
    ADDRESS_NAMES table;
    for (size_t i = 0; i <= kAddressNamesLimit; ++i) {
        const uint8_t address[4] = {10, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
                                    static_cast<uint8_t>(i)};
        table.Learn(MakeAddressKey(address, 4), "n" + std::to_string(i) + ".test", 60);
    }
    EXPECT_EQ(table.NameCount(), kAddressNamesLimit);
    const uint8_t first[4] = {10, 0, 0, 0};
    const uint8_t second[4] = {10, 0, 0, 1};
    ADDRESS_NAMES::NAME_LIST names;
    EXPECT_EQ(table.NamesOf(MakeAddressKey(first, 4), names), 0u);
    EXPECT_EQ(table.NamesOf(MakeAddressKey(second, 4), names), 1u);
}

TEST(AddressNamesTest, OnlyAnAddressAnsweredForTheServiceDomainIsOurs) {
    ADDRESS_NAMES table;
    table.Learn(Key(kA1), "api." + std::string(kServiceDomain), 60);
    table.Learn(Key(kA2), std::string(kServiceDomain) + ".evil.test", 60);
    EXPECT_TRUE(table.WasGivenForServiceDomain(Key(kA1)));
    EXPECT_FALSE(table.WasGivenForServiceDomain(Key(kA2)));
    EXPECT_FALSE(table.WasGivenForServiceDomain(Key(kV6)));
    // A shared address's other names push out each other, not ours.
    for (const char* name : {"a.test", "b.test", "c.test", "d.test", "e.test"}) {
        table.Learn(Key(kA1), name, 60);
    }
    EXPECT_EQ(NamesOf(table, kA1),
              (Names{"e.test", "d.test", "c.test", "api." + std::string(kServiceDomain)}));
    EXPECT_EQ(table.NameCount(), 5u);
}

}  // namespace
}  // namespace wexo::drv
