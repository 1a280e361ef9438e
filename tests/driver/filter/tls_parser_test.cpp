#include "driver/filter/tls_parser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace wexo::drv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadData(const std::string& name) {
    std::ifstream in(std::string(WEXO_TEST_DATA_DIR) + "/tls/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes Text(std::string_view text) {
    return Bytes(text.begin(), text.end());
}
Bytes U16(size_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes U24(size_t v) {
    return {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes Slice(const Bytes& bytes, size_t from, size_t length) {
    return Bytes(bytes.begin() + static_cast<ptrdiff_t>(from),
                 bytes.begin() + static_cast<ptrdiff_t>(from + length));
}

Bytes Record(uint8_t type, const Bytes& content) {
    return Bytes{type, 3, 1} + U16(content.size()) + content;
}
Bytes Handshake(uint8_t type, const Bytes& body) {
    return Bytes{type} + U24(body.size()) + body;
}
Bytes Extension(uint16_t type, const Bytes& data) {
    return U16(type) + U16(data.size()) + data;
}
Bytes ServerNameExtension(std::string_view name) {
    Bytes entry = Bytes{0} + U16(name.size()) + Text(name);
    return Extension(0, U16(entry.size()) + entry);
}
const Bytes kAlpn = Extension(16, {0, 3, 2, 'h', '2'});

// Hello body: version, random, session ID, two cipher suites, null compression, extensions.
Bytes ClientHelloBody(const Bytes& sessionId, const Bytes& extensions, bool withExtensions = true) {
    Bytes body = Bytes{3, 3} + Bytes(32, 0xAA) + Bytes{static_cast<uint8_t>(sessionId.size())} +
                 sessionId + U16(4) + Bytes{0x13, 0x01, 0xC0, 0x2F} + Bytes{1, 0};
    return withExtensions ? body + U16(extensions.size()) + extensions : body;
}
Bytes ClientHello(const Bytes& sessionId, const Bytes& extensions) {
    return Record(22, Handshake(1, ClientHelloBody(sessionId, extensions)));
}

// Splits the first record's handshake bytes into records of the given content sizes (the last
// one takes the rest).
Bytes Refragment(const Bytes& hello, std::initializer_list<size_t> sizes) {
    Bytes message = Slice(hello, 5, hello.size() - 5);
    Bytes out;
    size_t at = 0;
    for (size_t size : sizes) {
        out = out + Record(22, Slice(message, at, size));
        at += size;
    }
    return out + Record(22, Slice(message, at, message.size() - at));
}

struct Hello {
    TLS_PARSE_OUTCOME outcome;
    TLS_CLIENT_HELLO hello;
};

// Each parse gets its own exact-size copy, so a sanitizer build sees any read past the end.
Hello ParseHello(const Bytes& bytes, Bytes& keep) {
    keep = Bytes(bytes.begin(), bytes.end());
    Hello result;
    result.outcome = ParseTlsClientHello(keep, result.hello);
    return result;
}

struct Flight {
    TLS_PARSE_OUTCOME outcome;
    TLS_SERVER_FLIGHT flight;
};

Flight ParseFlight(const Bytes& bytes, Bytes& keep) {
    keep = Bytes(bytes.begin(), bytes.end());
    Flight result;
    result.outcome = ParseTlsServerFlight(keep, result.flight);
    return result;
}

Bytes AsBytes(std::span<const uint8_t> span) {
    return Bytes(span.begin(), span.end());
}

// Session ID of a hello or server hello that sits alone in the first record.
Bytes SessionIdAt(const Bytes& message) {
    return Slice(message, 44, message[43]);
}

bool PointsInto(std::span<const uint8_t> range, const Bytes& bytes) {
    return range.data() >= bytes.data() &&
           range.data() + range.size() <= bytes.data() + bytes.size();
}

// --- Client hello: captured hellos ---

struct CapturedHello {
    const char* file;
    const char* serverName;
};
constexpr CapturedHello kCapturedHellos[] = {
    {"tls12_client_hello.bin", "capture.wexo-test.example"},
    {"tls12_resumed_client_hello.bin", "capture.wexo-test.example"},
    {"tls13_client_hello.bin", "capture.wexo-test.example"},
    {"padded_client_hello.bin", "www.capture.wexo-test.example"},
};

TEST(TlsClientHelloTest, CapturedHellosGiveServerNameAndSessionId) {
    for (const CapturedHello& captured : kCapturedHellos) {
        Bytes whole = ReadData(captured.file);
        Bytes keep;
        Hello h = ParseHello(whole, keep);
        ASSERT_EQ(h.outcome.status, TlsParseStatus::Complete) << captured.file;
        EXPECT_EQ(h.hello.serverName.Text(), captured.serverName);
        EXPECT_EQ(AsBytes(h.hello.sessionId.Bytes()), SessionIdAt(whole)) << captured.file;
        EXPECT_EQ(h.hello.major, 3);
        EXPECT_EQ(h.hello.minor, 3);
        EXPECT_FALSE(h.hello.ssl2Form);
        EXPECT_TRUE(PointsInto(h.hello.serverName.Bytes(), keep));
    }
}

TEST(TlsClientHelloTest, EveryTruncationOfCapturedHelloAsksForExactlyTheRest) {
    for (const CapturedHello& captured : kCapturedHellos) {
        Bytes whole = ReadData(captured.file);
        for (size_t length = 1; length < whole.size(); ++length) {
            Bytes keep;
            Hello h = ParseHello(Slice(whole, 0, length), keep);
            ASSERT_EQ(h.outcome.status, TlsParseStatus::Incomplete) << captured.file << length;
            size_t expected = length < 5 ? 5 - length : whole.size() - length;
            ASSERT_EQ(h.outcome.missing, expected) << captured.file << " at " << length;
        }
    }
}

// A client may cut its hello into several records anywhere, even inside the server name.
TEST(TlsClientHelloTest, HelloSplitIntoTwoRecordsAnywhereGivesTheSameFields) {
    Bytes whole = ReadData("padded_client_hello.bin");
    const size_t messageSize = whole.size() - 5;
    for (size_t split = 1; split < messageSize; ++split) {
        Bytes twoRecords = Refragment(whole, {split});
        Bytes keep;
        Hello h = ParseHello(twoRecords, keep);
        ASSERT_EQ(h.outcome.status, TlsParseStatus::Complete) << split;
        ASSERT_EQ(h.hello.serverName.Text(), "www.capture.wexo-test.example") << split;
        ASSERT_EQ(AsBytes(h.hello.sessionId.Bytes()), SessionIdAt(whole)) << split;

        // The first record alone yields what it holds, else asks for the second one.
        Hello first = ParseHello(Slice(twoRecords, 0, 5 + split), keep);
        if (first.outcome.status == TlsParseStatus::Complete) {
            ASSERT_EQ(first.hello.serverName.Text(), "www.capture.wexo-test.example") << split;
        } else {
            ASSERT_EQ(first.outcome.status, TlsParseStatus::Incomplete) << split;
            // Until the handshake header is whole, the hello's length is not known either.
            if (split >= 4) {
                ASSERT_EQ(first.outcome.missing, twoRecords.size() - (5 + split)) << split;
            } else {
                ASSERT_LE(first.outcome.missing, twoRecords.size() - (5 + split)) << split;
            }
        }
    }
}

TEST(TlsClientHelloTest, EveryTruncationOfAFragmentedHelloMakesProgress) {
    Bytes whole = ReadData("tls13_client_hello.bin");
    // Cut inside the session ID and again inside the server name.
    Bytes fragmented = Refragment(whole, {50, 60});
    for (size_t length = 1; length <= fragmented.size(); ++length) {
        Bytes keep;
        Hello h = ParseHello(Slice(fragmented, 0, length), keep);
        if (h.outcome.status == TlsParseStatus::Complete) {
            ASSERT_EQ(h.hello.serverName.Text(), "capture.wexo-test.example") << length;
            ASSERT_EQ(AsBytes(h.hello.sessionId.Bytes()), SessionIdAt(whole)) << length;
            continue;
        }
        ASSERT_EQ(h.outcome.status, TlsParseStatus::Incomplete) << length;
        ASSERT_GT(h.outcome.missing, 0u) << length;
        ASSERT_LE(length + h.outcome.missing, fragmented.size()) << length;
    }
}

TEST(TlsClientHelloTest, HelloInTinyRecordsIsReassembled) {
    Bytes whole = ReadData("tls13_client_hello.bin");
    Bytes message = Slice(whole, 5, whole.size() - 5);
    Bytes tiny;
    for (size_t at = 0; at < message.size(); at += 3) {
        tiny = tiny + Record(22, Slice(message, at, std::min<size_t>(3, message.size() - at)));
    }
    Bytes keep;
    Hello h = ParseHello(tiny, keep);
    ASSERT_EQ(h.outcome.status, TlsParseStatus::Complete);
    EXPECT_EQ(h.hello.serverName.Text(), "capture.wexo-test.example");
    EXPECT_EQ(AsBytes(h.hello.sessionId.Bytes()), SessionIdAt(whole));
    // Straddling fields are copies the result owns, and a copy of the result keeps them.
    TLS_CLIENT_HELLO copy = h.hello;
    keep.assign(keep.size(), 0);
    EXPECT_EQ(copy.serverName.Text(), "capture.wexo-test.example");
}

TEST(TlsClientHelloTest, ContinuationThatIsNotAHandshakeRecordIsNotRecognised) {
    Bytes whole = ReadData("tls12_client_hello.bin");
    Bytes first = Slice(Refragment(whole, {40}), 0, 45);
    Bytes keep;
    EXPECT_EQ(ParseHello(first + Record(23, Bytes(200, 1)), keep).outcome.status,
              TlsParseStatus::NotRecognised);
    EXPECT_EQ(ParseHello(first + Bytes{0x17, 3}, keep).outcome.status,
              TlsParseStatus::NotRecognised);
    Hello partHeader = ParseHello(first + Bytes{22, 3}, keep);
    EXPECT_EQ(partHeader.outcome.status, TlsParseStatus::Incomplete);
    EXPECT_EQ(partHeader.outcome.missing, 3 + (whole.size() - 5 - 40));
}

TEST(TlsClientHelloTest, TruncatedRecordOfLongerHelloCountsTheNextRecordToo) {
    Bytes whole = ReadData("tls12_client_hello.bin");
    Bytes twoRecords = Refragment(whole, {100});
    // 60 of the first record's 100 bytes are there; 40 more, then a header and the rest.
    Bytes keep;
    Hello h = ParseHello(Slice(twoRecords, 0, 65), keep);
    EXPECT_EQ(h.outcome.status, TlsParseStatus::Incomplete);
    EXPECT_EQ(h.outcome.missing, twoRecords.size() - 65);
}

// Framing a server's record layer accepts, and client versions it negotiates down from: each must
// give the name the server reads, or a client could frame its hello past the filter.
TEST(TlsClientHelloTest, FramingAServerAcceptsGivesTheName) {
    const Bytes hello = ClientHello({1, 2}, ServerNameExtension("a.test"));
    const Bytes message = Slice(hello, 5, hello.size() - 5);
    auto recordMinor = [](Bytes bytes, uint8_t minor) {
        bytes[2] = minor;
        return bytes;
    };
    Bytes clientVersion = hello;
    clientVersion[10] = 4;
    Bytes mixedMinors = Refragment(hello, {10, 30});
    mixedMinors[2] = 0;
    mixedMinors[5 + 10 + 2] = 4;
    const Bytes empty = Record(22, {});
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"RecordVersion0300", recordMinor(hello, 0)},
        {"RecordVersion0304", recordMinor(hello, 4)},
        {"RecordVersion03FF", recordMinor(hello, 0xFF)},
        {"RecordsOfMixedVersions", mixedMinors},
        {"ClientVersion0304", clientVersion},
        {"EmptyRecordsBeforeTheHello", empty + empty + hello},
        {"EmptyRecordsBetweenThePieces", Record(22, Slice(message, 0, 1)) + empty + empty +
                                             Record(22, Slice(message, 1, 50)) + empty +
                                             Record(22, Slice(message, 51, message.size() - 51))},
        {"HandshakeHeaderSplitOverRecords", Refragment(hello, {1, 1, 1, 1})},
        {"HelloAndALaterMessageInOneRecord", Record(22, message + Handshake(16, Bytes(20, 'x')))},
    };
    for (const Case& c : cases) {
        Bytes keep;
        Hello h = ParseHello(c.bytes, keep);
        ASSERT_EQ(h.outcome.status, TlsParseStatus::Complete) << c.name;
        EXPECT_EQ(h.hello.serverName.Text(), "a.test") << c.name;
        EXPECT_EQ(AsBytes(h.hello.sessionId.Bytes()), (Bytes{1, 2})) << c.name;
    }
    // An empty record where the next piece is due waits for that piece.
    Bytes keep;
    Hello waiting = ParseHello(Record(22, Slice(message, 0, 40)) + empty, keep);
    EXPECT_EQ(waiting.outcome.status, TlsParseStatus::Incomplete);
}

// A server reads the hello up to its handshake length: bytes after it in the record are another
// message, never the hello's extensions.
TEST(TlsClientHelloTest, TheHandshakeLengthEndsTheHello) {
    const Bytes message = Handshake(1, ClientHelloBody({}, kAlpn));
    Bytes keep;
    Hello h = ParseHello(Record(22, message + ServerNameExtension("b.test")), keep);
    EXPECT_EQ(h.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(h.hello.serverName.Empty());
}

// --- Client hello: rules for the fields ---

TEST(TlsClientHelloTest, ServerNameLengthIsTheLowByteOnly) {
    std::string name(300, 'n');
    for (size_t i = 0; i < name.size(); ++i) {
        name[i] = static_cast<char>('a' + i % 26);
    }
    Bytes keep;
    Hello h = ParseHello(ClientHello({}, ServerNameExtension(name)), keep);
    ASSERT_EQ(h.outcome.status, TlsParseStatus::Complete);
    EXPECT_EQ(h.hello.serverName.Text(), name.substr(0, 44));
}

TEST(TlsClientHelloTest, ServerNameExtensionRules) {
    Bytes keep;
    // An empty name ends the parse: a later server name is not looked at.
    Hello empty = ParseHello(
        ClientHello({}, ServerNameExtension("") + ServerNameExtension("later.test")), keep);
    EXPECT_EQ(empty.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(empty.hello.serverName.Empty());

    // Too short for its fields, or a name past the record's end: skipped like any extension.
    Bytes tooShort = Extension(0, Bytes{0, 1, 0});
    Hello skipped =
        ParseHello(ClientHello({}, kAlpn + tooShort + ServerNameExtension("b.test")), keep);
    EXPECT_EQ(skipped.outcome.status, TlsParseStatus::Complete);
    EXPECT_EQ(skipped.hello.serverName.Text(), "b.test");
    Bytes overlong = Extension(0, Bytes{0, 8, 0, 0, 200} + Text("abc"));
    Hello pastEnd = ParseHello(ClientHello({}, overlong + kAlpn), keep);
    EXPECT_EQ(pastEnd.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(pastEnd.hello.serverName.Empty());

    // The name is bounded by the record, not by the extension's own length.
    Bytes loose = Extension(0, Bytes{0, 8, 0, 0, 5} + Text("ab")) + Text("cdefg");
    Hello bounded = ParseHello(ClientHello({}, loose), keep);
    EXPECT_EQ(bounded.outcome.status, TlsParseStatus::Complete);
    EXPECT_EQ(bounded.hello.serverName.Text(), "abcde");
}

TEST(TlsClientHelloTest, RecordEndBoundsTheWalk) {
    Bytes keep;
    Hello noExtensions =
        ParseHello(Record(22, Handshake(1, ClientHelloBody({1, 2}, {}, false))), keep);
    EXPECT_EQ(noExtensions.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(noExtensions.hello.serverName.Empty());
    EXPECT_EQ(AsBytes(noExtensions.hello.sessionId.Bytes()), (Bytes{1, 2}));

    Hello onlyOthers = ParseHello(ClientHello({}, kAlpn), keep);
    EXPECT_EQ(onlyOthers.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(onlyOthers.hello.serverName.Empty());

    // An extension header, or an extension, that runs past the record end.
    EXPECT_EQ(ParseHello(ClientHello({}, kAlpn + Bytes{0, 5}), keep).outcome.status,
              TlsParseStatus::NotRecognised);
    EXPECT_EQ(ParseHello(ClientHello({}, kAlpn + U16(7) + U16(4) + Bytes{1}), keep).outcome.status,
              TlsParseStatus::NotRecognised);
    // A cipher-suite list longer than the record.
    Bytes body = Bytes{3, 3} + Bytes(32, 0) + Bytes{0} + U16(400) + Bytes(10, 0);
    EXPECT_EQ(ParseHello(Record(22, Handshake(1, body)), keep).outcome.status,
              TlsParseStatus::NotRecognised);
}

TEST(TlsClientHelloTest, SessionIdLongerThan32IsSkipped) {
    Bytes keep;
    Hello h = ParseHello(ClientHello(Bytes(33, 7), ServerNameExtension("a.test")), keep);
    ASSERT_EQ(h.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(h.hello.sessionId.Empty());
    EXPECT_EQ(h.hello.serverName.Text(), "a.test");
}

TEST(TlsClientHelloTest, OtherBytesAreNotRecognised) {
    Bytes hello = ClientHello({}, ServerNameExtension("a.test"));
    Bytes serverHello = hello;
    serverHello[5] = 2;
    Bytes oldVersion = hello;
    oldVersion[9] = 2;
    Bytes oldRecordVersion = hello;
    oldRecordVersion[1] = 2;
    Bytes keep;
    for (const Bytes& bytes :
         {serverHello, oldVersion, oldRecordVersion, Text("GET / HTTP/1.1\r\n\r\n"),
          Record(23, Bytes(40, 1)), Bytes{}, Bytes{0x17}, Bytes{0x16, 2}}) {
        Hello h = ParseHello(bytes, keep);
        EXPECT_EQ(h.outcome.status, TlsParseStatus::NotRecognised) << bytes.size();
        EXPECT_TRUE(h.hello.serverName.Empty());
    }
    // The first bytes of a handshake record header wait for the rest of it.
    for (size_t length = 1; length < 5; ++length) {
        Hello h = ParseHello(Slice(hello, 0, length), keep);
        EXPECT_EQ(h.outcome.status, TlsParseStatus::Incomplete);
        EXPECT_EQ(h.outcome.missing, 5 - length);
    }
}

// --- Client hello: Encrypted Client Hello ---

// An outer hello's encrypted_client_hello extension: type outer, an HPKE suite, a config ID, the
// encapsulated key and the sealed inner hello.
Bytes EchExtension() {
    Bytes body = Bytes{0} + U16(0x0001) + U16(0x0001) + Bytes{0x2A} + U16(32) + Bytes(32, 0xE1) +
                 U16(120) + Bytes(120, 0xE2);
    return Extension(0xfe0d, body);
}

TEST(TlsClientHelloTest, AnEchExtensionIsNoticedAndTheOuterNameIsKept) {
    Bytes keep;
    const Bytes name = ServerNameExtension("public.example.test");
    // Browsers shuffle their extensions: the extension counts before the name and after it.
    for (const Bytes& extensions : {name + kAlpn + EchExtension(), EchExtension() + name + kAlpn,
                                    kAlpn + name + EchExtension() + kAlpn}) {
        Hello h = ParseHello(ClientHello({9, 9}, extensions), keep);
        ASSERT_EQ(h.outcome.status, TlsParseStatus::Complete);
        EXPECT_TRUE(h.hello.offersEch);
        EXPECT_EQ(h.hello.serverName.Text(), "public.example.test");
        EXPECT_EQ(AsBytes(h.hello.sessionId.Bytes()), (Bytes{9, 9}));
    }
    Hello plain = ParseHello(ClientHello({}, name + kAlpn), keep);
    ASSERT_EQ(plain.outcome.status, TlsParseStatus::Complete);
    EXPECT_FALSE(plain.hello.offersEch);
    EXPECT_EQ(plain.hello.serverName.Text(), "public.example.test");
    // Without a server name at all, and after an empty one.
    Hello nameless = ParseHello(ClientHello({}, kAlpn + EchExtension()), keep);
    ASSERT_EQ(nameless.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(nameless.hello.offersEch);
    EXPECT_TRUE(nameless.hello.serverName.Empty());
    Hello empty = ParseHello(ClientHello({}, ServerNameExtension("") + EchExtension()), keep);
    ASSERT_EQ(empty.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(empty.hello.offersEch);
    EXPECT_TRUE(empty.hello.serverName.Empty());
    // The captured hellos have none.
    for (const CapturedHello& captured : kCapturedHellos) {
        Hello h = ParseHello(ReadData(captured.file), keep);
        EXPECT_FALSE(h.hello.offersEch) << captured.file;
    }
}

TEST(TlsClientHelloTest, LookingForEchAfterTheNameNeverChangesTheOutcome) {
    Bytes keep;
    const Bytes name = ServerNameExtension("a.test");
    // Whatever follows the name, malformed or cut, the name decides as it did.
    for (const Bytes& after : {Bytes{0, 5}, U16(7) + U16(40) + Bytes{1}, Bytes{0xfe}}) {
        Hello h = ParseHello(ClientHello({}, name + after), keep);
        EXPECT_EQ(h.outcome.status, TlsParseStatus::Complete);
        EXPECT_EQ(h.hello.serverName.Text(), "a.test");
        EXPECT_FALSE(h.hello.offersEch);
    }
    // A header of the extension is enough, even if its body runs past the record.
    Hello header = ParseHello(ClientHello({}, name + U16(0xfe0d) + U16(300) + Bytes{0}), keep);
    EXPECT_EQ(header.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(header.hello.offersEch);
    // A hello that is not recognised says nothing about ECH either.
    Hello broken = ParseHello(ClientHello({}, EchExtension() + kAlpn + Bytes{0, 5}), keep);
    EXPECT_EQ(broken.outcome.status, TlsParseStatus::NotRecognised);
    EXPECT_FALSE(broken.hello.offersEch);
}

TEST(TlsClientHelloTest, AnEchHelloSplitAcrossRecordsIsNoticed) {
    const Bytes whole =
        ClientHello({1, 2, 3}, ServerNameExtension("public.example.test") + kAlpn + EchExtension());
    const size_t messageSize = whole.size() - 5;
    const size_t echStart = messageSize - EchExtension().size();
    for (size_t split = 1; split < messageSize; ++split) {
        Bytes twoRecords = Refragment(whole, {split});
        Bytes keep;
        Hello h = ParseHello(twoRecords, keep);
        ASSERT_EQ(h.outcome.status, TlsParseStatus::Complete) << split;
        ASSERT_TRUE(h.hello.offersEch) << split;
        ASSERT_EQ(h.hello.serverName.Text(), "public.example.test") << split;

        // The first record alone: the name may already decide, and then the extension counts
        // only when its header is in that record.
        Hello first = ParseHello(Slice(twoRecords, 0, 5 + split), keep);
        if (first.outcome.status == TlsParseStatus::Complete) {
            ASSERT_EQ(first.hello.serverName.Text(), "public.example.test") << split;
            ASSERT_EQ(first.hello.offersEch, split >= echStart + 4) << split;
        }
    }
    // In tiny records too.
    const Bytes message = Slice(whole, 5, messageSize);
    Bytes tiny;
    for (size_t at = 0; at < message.size(); at += 5) {
        tiny = tiny + Record(22, Slice(message, at, std::min<size_t>(5, message.size() - at)));
    }
    Bytes keep;
    Hello h = ParseHello(tiny, keep);
    ASSERT_EQ(h.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(h.hello.offersEch);
    EXPECT_EQ(h.hello.serverName.Text(), "public.example.test");
}

// --- Client hello: SSL 2.0-compatible form ---

Bytes Ssl2Hello(size_t cipherSpecs, const Bytes& sessionId, size_t challenge) {
    Bytes body = Bytes{1, 3, 1} + U16(cipherSpecs * 3) + U16(sessionId.size()) + U16(challenge) +
                 Bytes(cipherSpecs * 3, 0x0A) + sessionId + Bytes(challenge, 0xCC);
    return U16(0x8000 | body.size()) + body;
}

TEST(TlsClientHelloTest, Ssl2HelloGivesSessionIdButNeverAServerName) {
    Bytes sessionId(16, 0x5A);
    Bytes whole = Ssl2Hello(3, sessionId, 16);
    Bytes keep;
    Hello h = ParseHello(whole, keep);
    ASSERT_EQ(h.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(h.hello.ssl2Form);
    EXPECT_EQ(h.hello.minor, 1);
    EXPECT_EQ(AsBytes(h.hello.sessionId.Bytes()), sessionId);
    EXPECT_TRUE(h.hello.serverName.Empty());

    const size_t needed = 11 + 9 + 16;  // the challenge is not needed
    for (size_t length = 5; length < whole.size(); ++length) {
        Hello part = ParseHello(Slice(whole, 0, length), keep);
        if (length >= needed) {
            ASSERT_EQ(part.outcome.status, TlsParseStatus::Complete) << length;
            continue;
        }
        ASSERT_EQ(part.outcome.status, TlsParseStatus::Incomplete) << length;
        ASSERT_EQ(part.outcome.missing, length < 11 ? 11 - length : needed - length) << length;
    }

    Hello noSession = ParseHello(Ssl2Hello(2, {}, 16), keep);
    EXPECT_EQ(noSession.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(noSession.hello.sessionId.Empty());
    // More than the 32 bytes a flow keeps is not recorded.
    Hello longSession = ParseHello(Ssl2Hello(2, Bytes(40, 1), 16), keep);
    EXPECT_EQ(longSession.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(longSession.hello.sessionId.Empty());

    for (size_t at : {2, 3, 4}) {
        Bytes wrong = whole;
        wrong[at] = at == 4 ? 4 : 2;
        EXPECT_EQ(ParseHello(wrong, keep).outcome.status, TlsParseStatus::NotRecognised) << at;
    }
}

// --- Server flight ---

Bytes ServerHelloBody(const Bytes& sessionId, const Bytes& extensions, bool withExtensions) {
    Bytes body = Bytes{3, 3} + Bytes(32, 0x11) + Bytes{static_cast<uint8_t>(sessionId.size())} +
                 sessionId + Bytes{0x13, 0x02, 0};
    return withExtensions ? body + U16(extensions.size()) + extensions : body;
}
Bytes ServerHello(const Bytes& sessionId, const Bytes& extensions = {},
                  bool withExtensions = false) {
    return Handshake(2, ServerHelloBody(sessionId, extensions, withExtensions));
}

Bytes Der(uint8_t tag, const Bytes& contents) {
    size_t n = contents.size();
    Bytes header{tag};
    if (n < 0x80) {
        header.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        header = header + Bytes{0x81, static_cast<uint8_t>(n)};
    } else {
        header = header + Bytes{0x82} + U16(n);
    }
    return header + contents;
}
const Bytes kCommonName{0x55, 4, 3};
const Bytes kOrganisation{0x55, 4, 10};
Bytes Attribute(const Bytes& oid, std::string_view value, uint8_t tag = 0x0C) {
    return Der(0x30, Der(0x06, oid) + Der(tag, Text(value)));
}
Bytes Name(std::initializer_list<Bytes> rdns) {
    Bytes sets;
    for (const Bytes& attributes : rdns) {
        sets = sets + Der(0x31, attributes);
    }
    return Der(0x30, sets);
}
Bytes CertificateDer(const Bytes& issuer, const Bytes& subject) {
    Bytes tbs = Der(0xA0, Der(0x02, {2})) + Der(0x02, {0x01, 0x02}) +
                Der(0x30, Der(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 1, 1, 0x0B})) + issuer +
                Der(0x30, Der(0x17, Text("250101000000Z")) + Der(0x17, Text("350101000000Z"))) +
                subject + Der(0x30, Bytes(200, 0x42));
    return Der(0x30, Der(0x30, tbs) + Der(0x30, Der(0x06, {1})) + Der(0x03, {0, 1, 2}));
}
Bytes CertificateMessage(const Bytes& certificate) {
    Bytes list = U24(certificate.size()) + certificate;
    return Handshake(11, U24(list.size()) + list);
}
const Bytes kDefaultCertificate =
    CertificateDer(Name({Attribute(kOrganisation, "Org"), Attribute(kCommonName, "Issuer CA")}),
                   Name({Attribute(kCommonName, "host.test")}));

struct CapturedFlight {
    const char* file;
    const char* clientHello;
    uint32_t records;
    bool tls13;
    const char* subject;
};
constexpr CapturedFlight kCapturedFlights[] = {
    {"tls12_server_flight.bin", "tls12_resumed_client_hello.bin", 4, false,
     "capture.wexo-test.example"},
    {"tls12_resumed_server_flight.bin", "tls12_resumed_client_hello.bin", 1, false, ""},
    {"tls13_server_flight.bin", "tls13_client_hello.bin", 1, true, ""},
};

// The TLS 1.2 server assigned a session ID that the client offers again to resume; the TLS 1.3
// server echoes whatever the client offered, which is no resumption.
TEST(TlsServerFlightTest, CapturedFlights) {
    for (const CapturedFlight& captured : kCapturedFlights) {
        Bytes whole = ReadData(captured.file);
        Bytes keep;
        Flight f = ParseFlight(whole, keep);
        ASSERT_EQ(f.outcome.status, TlsParseStatus::Complete) << captured.file;
        EXPECT_EQ(f.flight.recordCount, captured.records) << captured.file;
        EXPECT_TRUE(f.flight.serverHello);
        EXPECT_EQ(f.flight.tls13, captured.tls13) << captured.file;
        EXPECT_EQ(f.flight.subjectCommonName, captured.subject) << captured.file;
        EXPECT_EQ(f.flight.issuerCommonName.empty(), *captured.subject == '\0');
        Bytes helloKeep;
        Hello h = ParseHello(ReadData(captured.clientHello), helloKeep);
        EXPECT_EQ(AsBytes(f.flight.sessionId), AsBytes(h.hello.sessionId.Bytes())) << captured.file;
        EXPECT_EQ(f.flight.sessionId.size(), 32u);
    }
    Bytes keep;
    Flight tls12 = ParseFlight(ReadData("tls12_server_flight.bin"), keep);
    EXPECT_EQ(tls12.flight.issuerCommonName, "Wexo Capture Test CA");
}

// Record ends in the order they come: a cut at one of them is a complete flight so far, a cut
// elsewhere asks for the rest of that record (or of its header).
TEST(TlsServerFlightTest, EveryTruncationOfCapturedFlightIsIncompleteOrCompleteAtRecordEnd) {
    for (const CapturedFlight& captured : kCapturedFlights) {
        Bytes whole = ReadData(captured.file);
        std::vector<size_t> ends;
        for (size_t at = 0; at + 5 <= whole.size();
             at += 5 + (whole[at + 3] << 8 | whole[at + 4])) {
            ends.push_back(at + 5 + (whole[at + 3] << 8 | whole[at + 4]));
        }
        const size_t firstEnd = ends[0];
        for (size_t length = 1; length < whole.size(); ++length) {
            Bytes keep;
            Flight f = ParseFlight(Slice(whole, 0, length), keep);
            size_t record = 0;
            while (ends[record] < length) {
                ++record;
            }
            size_t start = record == 0 ? 0 : ends[record - 1];
            // Past the first record of a TLS 1.3 or resumed flight only non-handshake ones follow.
            bool handshake = record < captured.records;
            if (ends[record] == length || (!handshake && length > firstEnd)) {
                ASSERT_EQ(f.outcome.status, TlsParseStatus::Complete) << captured.file << length;
                ASSERT_EQ(f.flight.recordCount, std::min<size_t>(record + 1, captured.records));
                continue;
            }
            ASSERT_EQ(f.outcome.status, TlsParseStatus::Incomplete) << captured.file << length;
            size_t expectedEnd = length - start < 5 ? start + 5 : ends[record];
            ASSERT_EQ(length + f.outcome.missing, expectedEnd) << captured.file << length;
            // The certificate is the second record: once it is whole, its names are there.
            ASSERT_EQ(f.flight.subjectCommonName.empty(), record < 2 || !handshake)
                << captured.file << length;
        }
    }
}

TEST(TlsServerFlightTest, StopsAtFirstNonHandshakeRecordOnceOneWasRead) {
    Bytes hello = Record(22, ServerHello(Bytes(32, 9)));
    Bytes changeCipherSpec = Record(20, {1});
    Bytes keep;
    for (const Bytes& tail : {changeCipherSpec + Record(23, Bytes(300, 3)), Record(21, {2, 40}),
                              Record(22, {}), Bytes{20}, Bytes{22, 2}, Bytes{23, 3, 3, 0x10}}) {
        Flight f = ParseFlight(hello + tail, keep);
        EXPECT_EQ(f.outcome.status, TlsParseStatus::Complete) << tail.size();
        EXPECT_EQ(f.flight.recordCount, 1u);
        EXPECT_EQ(AsBytes(f.flight.sessionId), Bytes(32, 9));
    }
    // A record that begins like a handshake record is waited for.
    Flight partial = ParseFlight(hello + Bytes{22, 3, 3}, keep);
    EXPECT_EQ(partial.outcome.status, TlsParseStatus::Incomplete);
    EXPECT_EQ(partial.outcome.missing, 2u);

    for (const Bytes& first : {changeCipherSpec + hello, Record(23, Bytes(20, 1)), Record(22, {}),
                               Text("HTTP/1.1 200 OK\r\n"), Bytes{0x17, 3}, Bytes{}}) {
        Flight f = ParseFlight(first, keep);
        EXPECT_EQ(f.outcome.status, TlsParseStatus::NotRecognised) << first.size();
        EXPECT_EQ(f.flight.recordCount, 0u);
    }
}

TEST(TlsServerFlightTest, HelloCertificateAndDoneInOneRecord) {
    Bytes content =
        ServerHello(Bytes(32, 0x77)) + CertificateMessage(kDefaultCertificate) + Handshake(14, {});
    Bytes keep;
    Flight f = ParseFlight(Record(22, content), keep);
    ASSERT_EQ(f.outcome.status, TlsParseStatus::Complete);
    EXPECT_EQ(f.flight.recordCount, 1u);
    EXPECT_EQ(AsBytes(f.flight.sessionId), Bytes(32, 0x77));
    EXPECT_EQ(f.flight.subjectCommonName, "host.test");
    EXPECT_EQ(f.flight.issuerCommonName, "Issuer CA");
    EXPECT_TRUE(PointsInto({reinterpret_cast<const uint8_t*>(f.flight.subjectCommonName.data()),
                            f.flight.subjectCommonName.size()},
                           keep));
}

TEST(TlsServerFlightTest, ServerHelloRules) {
    Bytes keep;
    // Bodies of 34 bytes or less wait for the session-ID length.
    for (size_t size : {10u, 34u}) {
        Flight f = ParseFlight(Record(22, Handshake(2, Bytes(size, 3))), keep);
        EXPECT_EQ(f.outcome.status, TlsParseStatus::Incomplete);
        EXPECT_EQ(f.outcome.missing, 35 - size);
    }
    Flight none = ParseFlight(Record(22, ServerHello({})), keep);
    EXPECT_EQ(none.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(none.flight.sessionId.empty());
    EXPECT_TRUE(none.flight.serverHello);
    Flight tooLong = ParseFlight(Record(22, ServerHello(Bytes(33, 1))), keep);
    EXPECT_EQ(tooLong.outcome.status, TlsParseStatus::Complete);
    EXPECT_TRUE(tooLong.flight.sessionId.empty());
    // A session ID longer than its message.
    Bytes body = Bytes{3, 3} + Bytes(32, 0) + Bytes{20} + Bytes(5, 0);
    EXPECT_EQ(ParseFlight(Record(22, Handshake(2, body)), keep).outcome.status,
              TlsParseStatus::NotRecognised);
}

TEST(TlsServerFlightTest, SupportedVersionsDecideTls13) {
    struct Case {
        Bytes extensions;
        bool withExtensions;
        bool tls13;
    };
    const Bytes keyShare = Extension(51, Bytes(36, 5));
    for (const Case& c : {Case{keyShare + Extension(43, {3, 4}), true, true},
                          Case{Extension(43, {3, 3}), true, false},
                          Case{Extension(43, {0x7F, 0x1C}), true, true},  // a TLS 1.3 draft
                          Case{Extension(43, {3, 4, 0}), true, false}, Case{{}, false, false},
                          Case{Extension(0xFF01, {0}), true, false},
                          // Extension longer than the block, and a block longer than the message.
                          Case{U16(43) + U16(9) + Bytes{3, 4}, true, false}}) {
        Bytes keep;
        Flight f = ParseFlight(
            Record(22, ServerHello(Bytes(32, 2), c.extensions, c.withExtensions)), keep);
        EXPECT_EQ(f.outcome.status, TlsParseStatus::Complete);
        EXPECT_EQ(f.flight.tls13, c.tls13) << c.extensions.size();
        EXPECT_EQ(f.flight.sessionId.size(), 32u);
    }
    Bytes body = ServerHelloBody(Bytes(32, 2), Extension(43, {3, 4}), true);
    body[body.size() - 8] = 0x40;  // block length far past the message
    Bytes keep;
    Flight f = ParseFlight(Record(22, Handshake(2, body)), keep);
    EXPECT_EQ(f.outcome.status, TlsParseStatus::Complete);
    EXPECT_FALSE(f.flight.tls13);
}

// A server may fragment a message over records; the flight then ends with what came before it,
// and neither waits for bytes that are already there nor gives up on the connection.
TEST(TlsServerFlightTest, MessageContinuingInNextRecordEndsTheFlight) {
    Bytes captured = ReadData("tls12_server_flight.bin");
    const size_t helloEnd = 5 + (captured[3] << 8 | captured[4]);
    const size_t certificateLength = captured[helloEnd + 3] << 8 | captured[helloEnd + 4];
    Bytes certificate = Slice(captured, helloEnd + 5, certificateLength);
    Bytes rest = Slice(captured, helloEnd + 5 + certificateLength,
                       captured.size() - helloEnd - 5 - certificateLength);
    Bytes fragmented = Slice(captured, 0, helloEnd) + Record(22, Slice(certificate, 0, 1000)) +
                       Record(22, Slice(certificate, 1000, certificate.size() - 1000)) + rest;
    Bytes keep;
    for (size_t length : {fragmented.size(), helloEnd + 1005, helloEnd + 1010}) {
        Flight f = ParseFlight(Slice(fragmented, 0, length), keep);
        EXPECT_EQ(f.outcome.status, TlsParseStatus::Complete) << length;
        EXPECT_EQ(f.flight.recordCount, 2u);
        EXPECT_EQ(f.flight.sessionId.size(), 32u);
        EXPECT_TRUE(f.flight.subjectCommonName.empty());
    }

    // Only part of the next message's header is in the record.
    Bytes headerCut = Record(22, ServerHello({5}) + Bytes{14}) + Record(22, {0, 0, 0});
    Flight cut = ParseFlight(headerCut, keep);
    EXPECT_EQ(cut.outcome.status, TlsParseStatus::Complete);
    EXPECT_EQ(AsBytes(cut.flight.sessionId), Bytes{5});
    // Even the server hello itself.
    Bytes hello = ServerHello(Bytes(8, 1));
    Flight split = ParseFlight(
        Record(22, Slice(hello, 0, 30)) + Record(22, Slice(hello, 30, hello.size() - 30)), keep);
    EXPECT_EQ(split.outcome.status, TlsParseStatus::Complete);
    EXPECT_FALSE(split.flight.serverHello);
}

TEST(TlsServerFlightTest, MessageFramingRules) {
    Bytes keep;
    // Certificate message too short for the first certificate's length.
    Flight shortCertificate = ParseFlight(Record(22, Handshake(11, {0, 0, 3, 0})), keep);
    EXPECT_EQ(shortCertificate.outcome.status, TlsParseStatus::Incomplete);
    EXPECT_EQ(shortCertificate.outcome.missing, 2u);
    // First certificate longer than its message.
    Bytes message = Handshake(11, U24(40) + U24(37) + Slice(kDefaultCertificate, 0, 30));
    EXPECT_EQ(ParseFlight(Record(22, message), keep).outcome.status, TlsParseStatus::NotRecognised);
    // Other messages are skipped.
    Flight other = ParseFlight(Record(22, Handshake(12, Bytes(40, 1)) + ServerHello({4})), keep);
    EXPECT_EQ(other.outcome.status, TlsParseStatus::Complete);
    EXPECT_EQ(AsBytes(other.flight.sessionId), Bytes{4});
}

Flight ParseCertificate(const Bytes& certificate, Bytes& keep) {
    return ParseFlight(Record(22, ServerHello({}) + CertificateMessage(certificate)), keep);
}

TEST(TlsServerFlightTest, CommonNameRules) {
    Bytes keep;
    // Several common names: the last one wins; only the first attribute of a set is looked at.
    Bytes subject = Name({Attribute(kCommonName, "first.test"),
                          Attribute(kOrganisation, "Org") + Attribute(kCommonName, "hidden.test"),
                          Attribute(kCommonName, "last.test"), Attribute(kCommonName, "")});
    Flight several = ParseCertificate(CertificateDer(Name({}), subject), keep);
    ASSERT_EQ(several.outcome.status, TlsParseStatus::Complete);
    EXPECT_EQ(several.flight.subjectCommonName, "last.test");
    EXPECT_EQ(several.flight.issuerCommonName, "");

    // The string type is not decoded: a BMPString name comes back as its bytes.
    Bytes bmp = Name({Attribute(kCommonName, std::string_view("\0h\0i", 4), 0x1E)});
    Flight raw = ParseCertificate(CertificateDer(bmp, bmp), keep);
    EXPECT_EQ(raw.flight.subjectCommonName, std::string_view("\0h\0i", 4));

    // Long-form lengths (the 300-byte name needs two length bytes).
    std::string longName(300, 'x');
    Flight longForm =
        ParseCertificate(CertificateDer(bmp, Name({Attribute(kCommonName, longName)})), keep);
    EXPECT_EQ(longForm.flight.subjectCommonName, longName);
}

TEST(TlsServerFlightTest, VersionOneCertificateHasNoVersionElement) {
    Bytes keep;
    Flight f = ParseCertificate(ReadData("v1_certificate.der"), keep);
    ASSERT_EQ(f.outcome.status, TlsParseStatus::Complete);
    EXPECT_EQ(f.flight.subjectCommonName, "version1.wexo-test.example");
    EXPECT_EQ(f.flight.issuerCommonName, "Wexo Capture Test CA");
}

TEST(TlsServerFlightTest, CertificatesThatCannotBeWalkedAreNotRecognised) {
    Bytes good = kDefaultCertificate;
    ASSERT_EQ(good[1], 0x82);  // long form, two length bytes
    Bytes indefinite = Bytes{0x30, 0x80} + Slice(good, 4, good.size() - 4);
    Bytes fiveLengthBytes = Bytes{0x30, 0x85, 0, 0, 0} + Slice(good, 2, good.size() - 2);
    Bytes pastEnd = good;
    pastEnd[2] = static_cast<uint8_t>(pastEnd[2] + 1);
    Bytes badName =
        CertificateDer(Name({}), Der(0x30, Der(0x31, Der(0x30, Der(0x06, kCommonName)))));
    Bytes emptySet = CertificateDer(Name({}), Der(0x30, Der(0x31, {})));
    Bytes truncated = Slice(good, 0, 60);
    Bytes keep;
    for (const Bytes& certificate : {indefinite, fiveLengthBytes, pastEnd, badName, emptySet,
                                     truncated, Bytes{0x30}, Bytes{}}) {
        Flight f = ParseCertificate(certificate, keep);
        EXPECT_EQ(f.outcome.status, TlsParseStatus::NotRecognised) << certificate.size();
        EXPECT_FALSE(f.flight.serverHello) << "a result that is not recognised is empty";
    }
}

}  // namespace
}  // namespace wexo::drv
