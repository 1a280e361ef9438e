// Taking the "ech" parameter out of HTTPS and SVCB records: what goes, that the rest of the
// message reads the same (compressed names after the removed bytes included), and that anything
// that cannot be walked soundly comes back untouched.
#include "os/wfp/linux/svcb_strip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/os/wfp/linux/svcb_test_messages.h"

namespace os::wfplinux {
namespace {

using namespace wexo::test::svcb;

std::optional<Bytes> Strip(const Bytes& message) {
    // An exact-size copy, so that a sanitizer build sees any read past the end.
    const Bytes copy(message);
    return StripEchParams(copy);
}

std::vector<uint16_t> Keys(const RECORD& record) {
    std::vector<uint16_t> keys;
    for (const PARAM& p : record.params)
        keys.push_back(p.key);
    return keys;
}

TEST(SvcbStripTest, AnHttpsAnswerLosesEchAndReadsTheSameOtherwise) {
    const Bytes in = HttpsAnswer();
    std::optional<Bytes> out = Strip(in);
    ASSERT_TRUE(out);
    // Both records' parameters go (4 + 20 bytes each), and the key in the mandatory list.
    EXPECT_EQ(out->size(), in.size() - 2 * (4 + kEchConfig.size()) - 2);

    std::optional<READ_MESSAGE> before = ReadMessage(in);
    std::optional<READ_MESSAGE> after = ReadMessage(*out);
    ASSERT_TRUE(before && after);
    EXPECT_EQ(*after, WithoutEch(*before));
    ASSERT_EQ(after->records.size(), 5u);
    EXPECT_EQ(Keys(after->records[0]), (std::vector<uint16_t>{1, 4}));
    EXPECT_EQ(after->records[0].params[0].value, kAlpnH2H3);
    EXPECT_EQ(after->records[0].params[1].value, kIpv4Hint);
    EXPECT_EQ(Keys(after->records[1]), (std::vector<uint16_t>{0, 1, 3}));
    EXPECT_EQ(after->records[1].params[0].value, (Bytes{0, 1}));
    EXPECT_EQ(after->records[1].target, "svc.example.test.");
    // The names that point past the removed bytes still spell what they spelled.
    EXPECT_EQ(after->records[2].name, "www.svc.example.test.");
    EXPECT_EQ(after->records[3].name, "www.svc.example.test.");
    EXPECT_EQ(after->records[4].type, 41);

    // Byte for byte: the same up to the first parameter removed, but for that record's
    // RDLENGTH (at 40, after header, question, owner, type, class and TTL).
    const size_t firstEch = 12 + 18 + 12 + 2 + 1 + 4 + kAlpnH2H3.size() + 4 + kIpv4Hint.size();
    Bytes expected(in.begin(), in.begin() + static_cast<long>(firstEch));
    const size_t rdlength = size_t{in[40]} << 8 | in[41];
    expected[41] = static_cast<uint8_t>(rdlength - (4 + kEchConfig.size()));
    EXPECT_EQ(Bytes(out->begin(), out->begin() + static_cast<long>(firstEch)), expected);
    // Nothing is left to take out.
    EXPECT_FALSE(Strip(*out));
}

TEST(SvcbStripTest, SvcbRecordsAreStrippedTheSameWay) {
    const Bytes in = HttpsAnswer(64);
    std::optional<Bytes> out = Strip(in);
    ASSERT_TRUE(out);
    std::optional<READ_MESSAGE> before = ReadMessage(in);
    std::optional<READ_MESSAGE> after = ReadMessage(*out);
    ASSERT_TRUE(before && after);
    EXPECT_EQ(*after, WithoutEch(*before));
    EXPECT_EQ(after->records[0].type, 64);
    EXPECT_EQ(after->records[2].name, "www.svc.example.test.");

    // In the additional section too, after the answer that named it: a resolver's own
    // designation record, its alpn "dot", ech and port.
    MESSAGE m;
    m.Question(Name("_dns.resolver.arpa"), 64);
    m.Record(1, Pointer(12), 5, Name("dns.example.test"));
    const size_t alias = m.Here() - Name("dns.example.test").size();
    m.Record(3, Pointer(alias), 64,
             ServiceBinding(
                 1, Name(""),
                 Param(1, {3, 'd', 'o', 't'}) + Param(3, {0x03, 0x55}) + Param(5, kEchConfig)));
    m.Record(3, Bytes{2, 'n', 's'} + Pointer(alias), 1, {192, 0, 2, 53});
    std::optional<Bytes> additional = Strip(m.bytes);
    ASSERT_TRUE(additional);
    std::optional<READ_MESSAGE> read = ReadMessage(*additional);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, WithoutEch(*ReadMessage(m.bytes)));
    EXPECT_EQ(Keys(read->records[1]), (std::vector<uint16_t>{1, 3}));
    EXPECT_EQ(read->records[2].name, "ns.dns.example.test.");
}

// Pointers may lead forward too (no writer needs to, but a reader follows them): one before the
// removed bytes that points past them is re-aimed like the others, in owner names and in the
// names inside CNAME and MX data.
TEST(SvcbStripTest, PointersForwardPastTheRemovedBytesAreReaimed) {
    MESSAGE m;
    m.Question(Name("example.test"), 65);
    // The offsets of what follows are fixed by the layout: the CNAME record's owner points at
    // the A record's owner, which comes after the HTTPS record.
    const Bytes https = ServiceBinding(1, Name(""), Param(1, kAlpnH2H3) + Param(5, kEchConfig));
    const size_t cnameAt = m.Here();
    const size_t cnameSize = 2 + 10 + 2;
    const size_t mxAt = cnameAt + cnameSize;
    const size_t mxSize = 2 + 10 + 2 + 2;
    const size_t httpsAt = mxAt + mxSize;
    const size_t aOwner = httpsAt + 2 + 10 + https.size();
    m.Record(1, Pointer(aOwner), 5, Pointer(aOwner));
    m.Record(1, Pointer(12), 15, Bytes{0, 10} + Pointer(aOwner));
    ASSERT_EQ(m.Here(), httpsAt);
    m.Record(1, Pointer(12), 65, https);
    ASSERT_EQ(m.Here(), aOwner);
    m.Record(1, Name("late.example.test"), 1, {192, 0, 2, 9});

    std::optional<Bytes> out = Strip(m.bytes);
    ASSERT_TRUE(out);
    std::optional<READ_MESSAGE> after = ReadMessage(*out);
    ASSERT_TRUE(after);
    EXPECT_EQ(*after, WithoutEch(*ReadMessage(m.bytes)));
    EXPECT_EQ(after->records[0].name, "late.example.test.");
    EXPECT_EQ(after->records[0].target, "late.example.test.");
    EXPECT_EQ(after->records[1].target, "late.example.test.");
    EXPECT_EQ(after->records[3].name, "late.example.test.");
}

TEST(SvcbStripTest, MessagesWithoutEchAreLeftAsTheyAre) {
    // HTTPS records without the parameter, an alias-mode record, and plain answers.
    MESSAGE m;
    m.Question(Name("example.test"), 65);
    m.Record(1, Pointer(12), 65, ServiceBinding(0, Name("cdn.example.test"), {}));
    m.Record(1, Pointer(12), 65,
             ServiceBinding(1, Name(""), Param(1, kAlpnH2H3) + Param(4, kIpv4Hint)));
    m.Record(3, Name(""), 41, {}, 1232);
    EXPECT_FALSE(Strip(m.bytes));
    MESSAGE a;
    a.Question(Name("www.example.test"), 1);
    a.Record(1, Pointer(12), 1, {192, 0, 2, 1});
    EXPECT_FALSE(Strip(a.bytes));
    // A query, and a message of nothing but a header.
    MESSAGE query(0x1234, 0x0100);
    query.Question(Name("example.test"), 65);
    EXPECT_FALSE(Strip(query.bytes));
    EXPECT_FALSE(Strip(MESSAGE().bytes));
    // Key 5 only counts as a key: as a value it is just bytes.
    MESSAGE value;
    value.Question(Name("example.test"), 65);
    value.Record(1, Pointer(12), 65, ServiceBinding(1, Name(""), Param(1, {0, 5, 0, 5})));
    EXPECT_FALSE(Strip(value.bytes));
}

TEST(SvcbStripTest, AMandatoryListOfOnlyEchGoesWithIt) {
    MESSAGE m;
    m.Question(Name("example.test"), 65);
    m.Record(
        1, Pointer(12), 65,
        ServiceBinding(1, Name(""), Param(0, {0, 5}) + Param(1, kAlpnH2H3) + Param(5, kEchConfig)));
    std::optional<Bytes> out = Strip(m.bytes);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), m.bytes.size() - 6 - (4 + kEchConfig.size()));
    std::optional<READ_MESSAGE> after = ReadMessage(*out);
    ASSERT_TRUE(after);
    EXPECT_EQ(Keys(after->records[0]), (std::vector<uint16_t>{1}));
}

TEST(SvcbStripTest, WhatCannotBeWalkedSoundlyIsLeftAlone) {
    const Bytes good = HttpsAnswer();
    ASSERT_TRUE(Strip(good));
    // Every truncation: the counts promise more than is there.
    for (size_t size = 0; size < good.size(); ++size)
        EXPECT_FALSE(Strip(Bytes(good.begin(), good.begin() + static_cast<long>(size)))) << size;

    auto https = [](const Bytes& data, const Bytes& owner = Pointer(12)) {
        MESSAGE m;
        m.Question(Name("example.test"), 65);
        m.Record(1, owner, 65, data);
        return m;
    };
    const Bytes withEch = ServiceBinding(1, Name(""), Param(5, kEchConfig));
    ASSERT_TRUE(Strip(https(withEch).bytes));
    // A parameter running past the RDATA, or a stray byte after the last one.
    Bytes overrun = withEch;
    overrun[5] = 0xFF;  // the parameter's length
    EXPECT_FALSE(Strip(https(overrun).bytes));
    EXPECT_FALSE(Strip(https(withEch + Bytes{0}).bytes));
    // Keys out of order or named twice, an empty mandatory list, one naming the key twice.
    const Bytes alpn = Param(1, kAlpnH2H3);
    const Bytes ech = Param(5, kEchConfig);
    EXPECT_FALSE(Strip(https(ServiceBinding(1, Name(""), ech + alpn)).bytes));
    EXPECT_FALSE(Strip(https(ServiceBinding(1, Name(""), ech + ech)).bytes));
    EXPECT_FALSE(Strip(https(ServiceBinding(1, Name(""), Param(0, {}) + ech)).bytes));
    EXPECT_FALSE(Strip(https(ServiceBinding(1, Name(""), Param(0, {0, 5, 0, 5}) + ech)).bytes));
    ASSERT_TRUE(Strip(https(ServiceBinding(1, Name(""), Param(0, {0, 5}) + alpn + ech)).bytes));
    // An RDLENGTH past the message.
    MESSAGE longer = https(withEch);
    longer.bytes[12 + 18 + 2 + 8] = 0x7F;
    EXPECT_FALSE(Strip(longer.bytes));
    // A pointer loop in the owner, a pointer past the end, a label past the end.
    EXPECT_FALSE(Strip(https(withEch, Pointer(30)).bytes));
    EXPECT_FALSE(Strip(https(withEch, Pointer(0x3FFF)).bytes));
    EXPECT_FALSE(Strip(https(withEch, Bytes{63, 'a'}).bytes));
    // A name that leads into the removed bytes.
    MESSAGE into = https(withEch);
    const size_t echAt = into.Here() - kEchConfig.size();
    into.Record(1, Pointer(echAt), 1, {192, 0, 2, 1});
    EXPECT_FALSE(Strip(into.bytes));
    // A name that leads into the middle of a label, or into data taken as opaque.
    MESSAGE middle = https(withEch);
    const size_t odd = middle.Here();
    middle.Record(1, Bytes{3, 1, 'q', 0, 0}, 1, {192, 0, 2, 1});  // a label holding "\1q\0"
    middle.Record(1, Pointer(odd + 1), 1, {192, 0, 2, 2});
    EXPECT_FALSE(Strip(middle.bytes));
    MESSAGE opaque = https(withEch);
    const size_t text = opaque.Record(1, Pointer(12), 16, Bytes{4} + Name("in.txt"));
    opaque.Record(1, Pointer(text + 1), 1, {192, 0, 2, 1});
    EXPECT_FALSE(Strip(opaque.bytes));
    // A signed message: a change would break the signature.
    MESSAGE signedMessage = https(withEch);
    signedMessage.Record(3, Name("key.example.test"), 250, Bytes(30, 1), 255);
    EXPECT_FALSE(Strip(signedMessage.bytes));
    // A CNAME whose data is not one name.
    MESSAGE cname = https(withEch);
    cname.Record(1, Pointer(12), 5, Name("a.test") + Bytes{0});
    EXPECT_FALSE(Strip(cname.bytes));
}

// An answer at the size limit only shrinks.
TEST(SvcbStripTest, AFullSizeMessageStaysWithinTheLimit) {
    MESSAGE m;
    m.Question(Name("example.test"), 65);
    m.Record(1, Pointer(12), 65, ServiceBinding(1, Name(""), Param(5, Bytes(60000, 0x5A))));
    m.Record(1, Pointer(12), 16, Bytes(65535 - m.Here() - 12, 't'));
    ASSERT_EQ(m.bytes.size(), 65535u);
    std::optional<Bytes> out = Strip(m.bytes);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), 65535u - 60004u);
    std::optional<READ_MESSAGE> after = ReadMessage(*out);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->records[1].data.size(), 65535 - 12 - 18 - (12 + 3 + 60004) - 12);
}

// Random damage to real-looking answers: never a crash or a read past the end (sanitizer
// builds), never growth, and whatever comes out reads as the input did without its ECH keys.
TEST(SvcbStripTest, RandomMutationsAreHandledSafely) {
    std::mt19937 random(20260512);
    const Bytes seeds[] = {HttpsAnswer(), HttpsAnswer(64)};
    int stripped = 0;
    int unchanged = 0;
    for (int i = 0; i < 6000; ++i) {
        Bytes bytes = seeds[i % 2];
        const int kind = static_cast<int>(random() % 4);
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits; ++e) {
            const size_t at = random() % bytes.size();
            switch (kind) {
                case 0:
                    bytes[at] = static_cast<uint8_t>(random());
                    break;
                case 1:
                    bytes[at] ^= static_cast<uint8_t>(1u << (random() % 8));
                    break;
                case 2:  // a pointer somewhere
                    bytes[at] = static_cast<uint8_t>(0xC0);
                    if (at + 1 < bytes.size())
                        bytes[at + 1] = static_cast<uint8_t>(random() % bytes.size());
                    break;
                default:
                    bytes.resize(at + 1);
                    break;
            }
        }
        std::optional<Bytes> out = Strip(bytes);
        if (!out) {
            ++unchanged;
            continue;
        }
        ++stripped;
        ASSERT_LT(out->size(), bytes.size()) << i;
        ASSERT_FALSE(Strip(*out)) << i;
        std::optional<READ_MESSAGE> before = ReadMessage(bytes);
        if (before) {
            std::optional<READ_MESSAGE> after = ReadMessage(*out);
            ASSERT_TRUE(after) << i;
            ASSERT_EQ(after->records.size(), before->records.size()) << i;
            for (size_t r = 0; r < before->records.size(); ++r) {
                ASSERT_EQ(after->records[r].name, before->records[r].name) << i;
                ASSERT_EQ(
                    std::count_if(after->records[r].params.begin(), after->records[r].params.end(),
                                  [](const PARAM& p) { return p.key == 5; }),
                    0)
                    << i;
            }
        }
    }
    // Both ways were taken often: the mutations neither broke everything nor nothing.
    EXPECT_GT(stripped, 500);
    EXPECT_GT(unchanged, 500);

    // Random bytes with a plausible header.
    for (int i = 0; i < 3000; ++i) {
        Bytes bytes(12 + random() % 200);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(random());
        bytes[4] = 0;
        bytes[5] = static_cast<uint8_t>(random() % 2);
        bytes[6] = bytes[8] = bytes[10] = 0;
        bytes[7] = static_cast<uint8_t>(random() % 4);
        std::optional<Bytes> out = Strip(bytes);
        if (out) {
            ASSERT_LT(out->size(), bytes.size());
        }
    }
}

}  // namespace
}  // namespace os::wfplinux
