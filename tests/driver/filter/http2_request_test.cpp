#include "driver/filter/http2_request.h"

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "os/kernel/pool.h"

namespace wexo::drv {
namespace {

using Bytes = std::vector<uint8_t>;
using Fields = std::vector<std::pair<std::string, std::string>>;
using Step = HTTP2_REQUEST_READER::Step;
using Fault = HTTP2_REQUEST_READER::Fault;

constexpr uint8_t kData = 0x0;
constexpr uint8_t kHeaders = 0x1;
constexpr uint8_t kPriority = 0x2;
constexpr uint8_t kSettings = 0x4;
constexpr uint8_t kPushPromise = 0x5;
constexpr uint8_t kPing = 0x6;
constexpr uint8_t kWindowUpdate = 0x8;
constexpr uint8_t kContinuation = 0x9;
constexpr uint8_t kEndStream = 0x1;
constexpr uint8_t kEndHeaders = 0x4;
constexpr uint8_t kPadded = 0x8;
constexpr uint8_t kPriorityFlag = 0x20;

const std::string kPrefaceText = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

Bytes ToBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes Preface() {
    return ToBytes(kPrefaceText);
}

Bytes Frame(uint8_t type, uint8_t flags, uint32_t stream, const Bytes& payload) {
    Bytes frame = {static_cast<uint8_t>(payload.size() >> 16),
                   static_cast<uint8_t>(payload.size() >> 8),
                   static_cast<uint8_t>(payload.size()),
                   type,
                   flags,
                   static_cast<uint8_t>(stream >> 24),
                   static_cast<uint8_t>(stream >> 16),
                   static_cast<uint8_t>(stream >> 8),
                   static_cast<uint8_t>(stream)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

// What a client sends first: its SETTINGS (header table size, max concurrent streams, initial
// window) and a connection WINDOW_UPDATE.
Bytes ClientStart() {
    Bytes bytes = Preface();
    Bytes settings = {0, 1, 0, 0, 0x10, 0, 0, 3, 0, 0, 0, 100, 0, 4, 0, 0x60, 0, 0};
    Bytes start = Frame(kSettings, 0, 0, settings);
    bytes.insert(bytes.end(), start.begin(), start.end());
    Bytes window = Frame(kWindowUpdate, 0, 0, {0, 0xEF, 0, 1});
    bytes.insert(bytes.end(), window.begin(), window.end());
    return bytes;
}

void Append(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// The client's HPACK encoder: one per connection, as the dynamic table is.
class ENCODER {
  public:
    explicit ENCODER(size_t tableSize = 4096) {
        EXPECT_EQ(nghttp2_hd_deflate_new(&deflater_, tableSize), 0);
    }
    ~ENCODER() { nghttp2_hd_deflate_del(deflater_); }
    ENCODER(const ENCODER&) = delete;
    ENCODER& operator=(const ENCODER&) = delete;

    // A header block; fields marked `never` are sent as never-indexed literals.
    Bytes Encode(const Fields& fields, bool never = false) {
        std::vector<nghttp2_nv> nva;
        for (const auto& [name, value] : fields) {
            nva.push_back(
                {reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                 reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(),
                 value.size(),
                 static_cast<uint8_t>(never ? NGHTTP2_NV_FLAG_NO_INDEX : NGHTTP2_NV_FLAG_NONE)});
        }
        Bytes block(nghttp2_hd_deflate_bound(deflater_, nva.data(), nva.size()));
        ssize_t size =
            nghttp2_hd_deflate_hd(deflater_, block.data(), block.size(), nva.data(), nva.size());
        EXPECT_GE(size, 0);
        block.resize(size < 0 ? 0 : static_cast<size_t>(size));
        return block;
    }

    nghttp2_hd_deflater* Deflater() { return deflater_; }

  private:
    nghttp2_hd_deflater* deflater_ = nullptr;
};

Fields Request(std::string authority, std::string path, std::string method = "GET") {
    return {{":method", std::move(method)},       {":scheme", "http"},
            {":authority", std::move(authority)}, {":path", std::move(path)},
            {"user-agent", "curl/7.88.1"},        {"accept", "*/*"}};
}

struct REPORT {
    uint64_t offset;  // stream offset just past the bytes of the Feed that reported it
    std::string method, scheme, authority, path, host;
    uint32_t stream;
    uint64_t begin, end;
    bool endStream;
};

REPORT Describe(const HTTP2_REQUEST& r, uint64_t offset) {
    return {offset,
            std::string(r.Method()),
            std::string(r.Scheme()),
            std::string(r.Authority()),
            std::string(r.Path()),
            std::string(r.Host()),
            r.StreamId(),
            r.HeadersBegin(),
            r.HeadersEnd(),
            r.EndStream()};
}

bool operator==(const REPORT& a, const REPORT& b) {
    return a.offset == b.offset && a.method == b.method && a.scheme == b.scheme &&
           a.authority == b.authority && a.path == b.path && a.host == b.host &&
           a.stream == b.stream && a.begin == b.begin && a.end == b.end &&
           a.endStream == b.endStream;
}

std::ostream& operator<<(std::ostream& out, const REPORT& r) {
    return out << "{@" << r.offset << " " << r.method << " " << r.scheme << "://" << r.authority
               << r.path << " host=" << r.host << " stream " << r.stream << " [" << r.begin << ","
               << r.end << ") end=" << r.endStream << "}";
}

struct FED {
    std::vector<REPORT> requests;
    Step last = Step::NeedMore;
    Fault fault = Fault::None;
    uint64_t offset = 0;
};

// Feeds the stream in pieces of the given sizes (the last piece repeats), each piece from an
// exact-size copy, and feeds again after every Request until the piece is taken.
FED FeedAll(const Bytes& stream, std::vector<size_t> pieces = {SIZE_MAX}) {
    FED run;
    HTTP2_REQUEST_READER reader;
    size_t at = 0;
    size_t piece = 0;
    while (at < stream.size()) {
        size_t size = std::min(pieces[std::min(piece, pieces.size() - 1)], stream.size() - at);
        ++piece;
        Bytes copy(stream.begin() + static_cast<ptrdiff_t>(at),
                   stream.begin() + static_cast<ptrdiff_t>(at + size));
        size_t taken = 0;
        while (true) {
            auto result = reader.Feed(std::span<const uint8_t>(copy).subspan(taken));
            EXPECT_LE(result.consumed, copy.size() - taken);
            taken += result.consumed;
            run.last = result.step;
            if (result.step == Step::Request) {
                EXPECT_EQ(reader.Offset(), at + taken);
                run.requests.push_back(Describe(reader.Request(), reader.Offset()));
                if (taken < copy.size()) {
                    continue;
                }
            }
            break;
        }
        at += taken;
        if (run.last == Step::Error || run.last == Step::NotHttp2) {
            break;
        }
    }
    run.fault = reader.LastFault();
    run.offset = reader.Offset();
    return run;
}

struct CONNECTION {
    Bytes bytes = ClientStart();
    ENCODER encoder;
    std::vector<uint64_t> begins;
    std::vector<uint64_t> ends;

    // One HEADERS frame with END_HEADERS carrying the whole block.
    void Headers(uint32_t stream, const Fields& fields, uint8_t flags = kEndStream) {
        begins.push_back(bytes.size());
        Append(bytes, Frame(kHeaders, flags | kEndHeaders, stream, encoder.Encode(fields)));
        ends.push_back(bytes.size());
    }
};

// --- Preface ---

TEST(Http2RequestTest, PrefaceStartIsRecognisedFromTheFirstByte) {
    EXPECT_TRUE(IsHttp2PrefaceStart(ToBytes("P")));
    EXPECT_TRUE(IsHttp2PrefaceStart(ToBytes("PRI * HT")));
    EXPECT_TRUE(IsHttp2PrefaceStart(Preface()));
    EXPECT_TRUE(IsHttp2PrefaceStart(ClientStart()));
    EXPECT_FALSE(IsHttp2PrefaceStart({}));
    EXPECT_FALSE(IsHttp2PrefaceStart(ToBytes("POST / HTTP/1.1\r\n")));
    EXPECT_FALSE(IsHttp2PrefaceStart(ToBytes("PRI * HTTP/1.1\r\n\r\n")));
    // The last preface byte still counts.
    Bytes late = Preface();
    late[23] = 'X';
    EXPECT_FALSE(IsHttp2PrefaceStart(late));
}

TEST(Http2RequestTest, PrefaceThatDiffersIsReportedAtTheFirstDifferingByte) {
    Bytes bytes = Preface();
    bytes[5] = 'X';
    FED whole = FeedAll(bytes);
    EXPECT_EQ(whole.last, Step::NotHttp2);
    EXPECT_EQ(whole.offset, 5u);

    // One byte at a time: five bytes wait for more, the sixth ends it, and nothing after.
    HTTP2_REQUEST_READER reader;
    for (size_t i = 0; i < 5; ++i) {
        auto result = reader.Feed(std::span<const uint8_t>(&bytes[i], 1));
        EXPECT_EQ(result.step, Step::NeedMore);
        EXPECT_EQ(result.consumed, 1u);
        EXPECT_EQ(result.missing, 24u - (i + 1));
    }
    auto differs = reader.Feed(std::span<const uint8_t>(&bytes[5], 1));
    EXPECT_EQ(differs.step, Step::NotHttp2);
    EXPECT_EQ(differs.consumed, 0u);
    auto after = reader.Feed(std::span<const uint8_t>(bytes).subspan(6));
    EXPECT_EQ(after.step, Step::NotHttp2);
    EXPECT_EQ(after.consumed, 0u);

    EXPECT_EQ(FeedAll(ToBytes("GET / HTTP/1.1\r\nHost: a\r\n\r\n")).offset, 0u);
    EXPECT_EQ(FeedAll(ToBytes("PUT / HTTP/1.1\r\n")).offset, 1u);
}

// --- Requests ---

TEST(Http2RequestTest, OneRequestAfterSettingsIsReportedWithItsFieldsAndFrames) {
    CONNECTION c;
    Fields fields = Request("Blocked.Example.TEST", "/private/a?b=1");
    fields.push_back({"host", "other.test"});
    c.Headers(1, fields);
    HTTP2_REQUEST_READER reader;
    auto result = reader.Feed(c.bytes);
    ASSERT_EQ(result.step, Step::Request);
    EXPECT_EQ(result.consumed, c.bytes.size());
    const HTTP2_REQUEST& r = reader.Request();
    EXPECT_EQ(r.Method(), "GET");
    EXPECT_EQ(r.Scheme(), "http");
    EXPECT_EQ(r.Authority(), "Blocked.Example.TEST");
    EXPECT_EQ(r.Path(), "/private/a?b=1");
    EXPECT_EQ(r.Host(), "other.test");
    EXPECT_EQ(r.StreamId(), 1u);
    EXPECT_TRUE(r.EndStream());
    EXPECT_FALSE(r.Repeated());
    EXPECT_EQ(r.HeadersBegin(), c.begins[0]);
    EXPECT_EQ(r.HeadersEnd(), c.ends[0]);

    auto next = reader.Feed({});
    EXPECT_EQ(next.step, Step::NeedMore);
    EXPECT_EQ(next.missing, 9u);
    EXPECT_EQ(reader.HoldFrom(), reader.Offset());
    // The request stays until the next one replaces it; taking it leaves the reader empty.
    EXPECT_EQ(reader.Request().Path(), "/private/a?b=1");
    HTTP2_REQUEST taken = reader.TakeRequest();
    EXPECT_EQ(taken.Path(), "/private/a?b=1");
    EXPECT_EQ(reader.Request().Path(), "");
}

TEST(Http2RequestTest, AbsentFieldsAreEmptyAndCountedZero) {
    CONNECTION c;
    c.Headers(1, {{":method", "CONNECT"}, {":authority", "a.test:443"}});
    HTTP2_REQUEST_READER reader;
    ASSERT_EQ(reader.Feed(c.bytes).step, Step::Request);
    EXPECT_EQ(reader.Request().Authority(), "a.test:443");
    EXPECT_FALSE(reader.Request().Has(Http2Field::Path));
    EXPECT_FALSE(reader.Request().Has(Http2Field::Host));
    EXPECT_EQ(reader.Request().Path(), "");
}

TEST(Http2RequestTest, OneByteAtATimeGivesTheSameRequestAndHoldsFromItsFrame) {
    CONNECTION c;
    c.Headers(1, Request("a.test", "/x"));
    FED whole = FeedAll(c.bytes);
    ASSERT_EQ(whole.requests.size(), 1u);

    HTTP2_REQUEST_READER reader;
    for (size_t i = 0; i < c.bytes.size(); ++i) {
        auto result = reader.Feed(std::span<const uint8_t>(&c.bytes[i], 1));
        ASSERT_EQ(result.consumed, 1u) << i;
        if (i + 1 < c.bytes.size()) {
            ASSERT_EQ(result.step, Step::NeedMore) << i;
            EXPECT_GT(result.missing, 0u);
            // Once the HEADERS frame starts, everything from its first byte is to be held.
            if (i >= c.begins[0]) {
                EXPECT_EQ(reader.HoldFrom(), c.begins[0]) << i;
            } else if (i >= 24) {
                EXPECT_LE(reader.HoldFrom(), i + 1);
            }
        } else {
            ASSERT_EQ(result.step, Step::Request);
        }
    }
    EXPECT_EQ(Describe(reader.Request(), reader.Offset()), whole.requests[0]);
    EXPECT_EQ(FeedAll(c.bytes, {1}).requests, whole.requests);
}

TEST(Http2RequestTest, MissingCountsTheFrameStillDue) {
    CONNECTION c;
    c.Headers(1, Request("a.test", "/x"));
    HTTP2_REQUEST_READER reader;
    size_t headersPayload = c.ends[0] - c.begins[0] - 9;
    auto inHeader = reader.Feed(std::span<const uint8_t>(c.bytes).first(c.begins[0] + 4));
    EXPECT_EQ(inHeader.step, Step::NeedMore);
    EXPECT_EQ(inHeader.missing, 5u);
    auto inPayload = reader.Feed(std::span<const uint8_t>(c.bytes).subspan(c.begins[0] + 4, 7));
    EXPECT_EQ(inPayload.missing, headersPayload - 2);

    // A frame beyond the default maximum is legal once the server allows it, and is skipped.
    HTTP2_REQUEST_READER big;
    Bytes bytes = ClientStart();
    Append(bytes, Frame(kData, 0, 1, Bytes(100000, 'd')));
    auto skip = big.Feed(std::span<const uint8_t>(bytes).first(bytes.size() - 1000));
    EXPECT_EQ(skip.step, Step::NeedMore);
    EXPECT_EQ(skip.missing, 1000u);
    Bytes largest = Frame(kData, 0, 1, {});
    largest[0] = largest[1] = largest[2] = 0xFF;
    HTTP2_REQUEST_READER huge;
    Bytes start = ClientStart();
    Append(start, largest);
    EXPECT_EQ(huge.Feed(start).missing, 0xFFFFFFu);
}

TEST(Http2RequestTest, EverySplitOfTwoRequestsGivesTheSameReports) {
    CONNECTION c;
    c.Headers(1, Request("a.test", "/one"));
    Append(c.bytes, Frame(kPing, 0, 0, Bytes(8, 1)));
    c.Headers(3, Request("b.test", "/two", "POST"), 0);
    Append(c.bytes, Frame(kData, kEndStream, 3, ToBytes("x=1")));
    FED whole = FeedAll(c.bytes);
    ASSERT_EQ(whole.requests.size(), 2u);
    EXPECT_EQ(whole.requests[0].authority, "a.test");
    EXPECT_EQ(whole.requests[1].authority, "b.test");
    EXPECT_EQ(whole.requests[1].method, "POST");
    EXPECT_FALSE(whole.requests[1].endStream);
    EXPECT_EQ(whole.requests[1].begin, c.begins[1]);
    EXPECT_EQ(whole.requests[1].end, c.ends[1]);
    EXPECT_EQ(whole.offset, c.bytes.size());
    for (size_t split = 1; split < c.bytes.size(); ++split) {
        FED parts = FeedAll(c.bytes, {split, SIZE_MAX});
        ASSERT_EQ(parts.requests.size(), 2u) << split;
        for (size_t i = 0; i < 2; ++i) {
            // Offsets of the report differ only by where the piece ended.
            REPORT expected = whole.requests[i];
            expected.offset = parts.requests[i].offset;
            EXPECT_EQ(parts.requests[i], expected) << split;
            EXPECT_EQ(parts.requests[i].offset, parts.requests[i].end) << split;
        }
    }
}

TEST(Http2RequestTest, ContinuationFramesCarryTheRestOfTheBlock) {
    Bytes bytes = ClientStart();
    ENCODER encoder;
    Bytes block = encoder.Encode(Request("continued.test", "/long/path/of/the/request"));
    ASSERT_GT(block.size(), 10u);
    uint64_t begin = bytes.size();
    Append(bytes, Frame(kHeaders, kEndStream, 1, Bytes(block.begin(), block.begin() + 4)));
    Append(bytes, Frame(kContinuation, 0, 1, Bytes(block.begin() + 4, block.begin() + 9)));
    // An empty CONTINUATION is allowed and changes nothing.
    Append(bytes, Frame(kContinuation, 0, 1, {}));
    uint64_t lastFrame = bytes.size();
    Append(bytes, Frame(kContinuation, kEndHeaders, 1, Bytes(block.begin() + 9, block.end())));

    HTTP2_REQUEST_READER reader;
    auto first = reader.Feed(std::span<const uint8_t>(bytes).first(lastFrame));
    EXPECT_EQ(first.step, Step::NeedMore);
    EXPECT_EQ(first.missing, 9u);
    EXPECT_EQ(reader.HoldFrom(), begin);
    auto rest = reader.Feed(std::span<const uint8_t>(bytes).subspan(lastFrame));
    ASSERT_EQ(rest.step, Step::Request);
    EXPECT_EQ(reader.Request().Authority(), "continued.test");
    EXPECT_EQ(reader.Request().Path(), "/long/path/of/the/request");
    EXPECT_EQ(reader.Request().HeadersBegin(), begin);
    EXPECT_EQ(reader.Request().HeadersEnd(), bytes.size());
    EXPECT_TRUE(reader.Request().EndStream());
    EXPECT_EQ(FeedAll(bytes, {1}).requests.size(), 1u);
}

TEST(Http2RequestTest, PaddingAndPriorityFieldsAreSkipped) {
    struct CASE {
        uint8_t flags;
        uint8_t pad;
    };
    for (CASE k : {CASE{kPadded, 7}, CASE{kPriorityFlag, 0}, CASE{kPadded | kPriorityFlag, 200},
                   CASE{kPadded | kPriorityFlag, 0}}) {
        ENCODER encoder;
        Bytes block = encoder.Encode(Request("padded.test", "/p"));
        Bytes payload;
        if (k.flags & kPadded) {
            payload.push_back(k.pad);
        }
        if (k.flags & kPriorityFlag) {
            Append(payload, {0x80, 0, 0, 3, 0xFF});  // exclusive on stream 3, weight 256
        }
        Append(payload, block);
        payload.insert(payload.end(), k.pad, 0);
        Bytes bytes = ClientStart();
        uint64_t begin = bytes.size();
        Append(bytes, Frame(kHeaders, k.flags | kEndHeaders | kEndStream, 1, payload));
        for (std::vector<size_t> pieces : {std::vector<size_t>{SIZE_MAX}, std::vector<size_t>{1}}) {
            FED run = FeedAll(bytes, pieces);
            ASSERT_EQ(run.requests.size(), 1u) << int{k.flags};
            EXPECT_EQ(run.requests[0].authority, "padded.test");
            EXPECT_EQ(run.requests[0].path, "/p");
            EXPECT_EQ(run.requests[0].begin, begin);
            // The padding belongs to the frame that is held.
            EXPECT_EQ(run.requests[0].end, bytes.size());
        }
    }
}

// --- The dynamic table stays in step ---

TEST(Http2RequestTest, LaterRequestsDecodeAgainstTheTableEarlierBlocksFilled) {
    ENCODER encoder;
    Bytes first =
        Frame(kHeaders, kEndHeaders, 1, encoder.Encode(Request("blocked.test", "/secret/page")));
    // Trailers of stream 1 add an entry to the table, which shifts every later index by one.
    Bytes trailers = Frame(kHeaders, kEndHeaders | kEndStream, 1,
                           encoder.Encode({{"host", "via.test"}, {"x-checksum", "abc"}}));
    Bytes secondBlock = encoder.Encode(Request("blocked.test", "/secret/page"));
    Fields thirdFields = Request("blocked.test", "/secret/other");
    thirdFields.push_back({"host", "via.test"});
    Bytes third = Frame(kHeaders, kEndHeaders | kEndStream, 5, encoder.Encode(thirdFields));
    // The second request names its authority only by a reference into the table.
    ASSERT_LT(secondBlock.size(), first.size() - 9 - std::string_view("blocked.test").size());
    Bytes second = Frame(kHeaders, kEndHeaders | kEndStream, 3, secondBlock);

    Bytes bytes = ClientStart();
    Append(bytes, first);
    Append(bytes, Frame(kData, 0, 1, ToBytes("body")));
    Append(bytes, trailers);
    uint64_t secondBegin = bytes.size();
    Append(bytes, second);
    Append(bytes, third);
    for (std::vector<size_t> pieces : {std::vector<size_t>{SIZE_MAX}, std::vector<size_t>{1}}) {
        FED run = FeedAll(bytes, pieces);
        ASSERT_EQ(run.requests.size(), 3u);
        EXPECT_EQ(run.requests[1].authority, "blocked.test");
        EXPECT_EQ(run.requests[1].path, "/secret/page");
        EXPECT_EQ(run.requests[1].method, "GET");
        EXPECT_EQ(run.requests[1].stream, 3u);
        EXPECT_EQ(run.requests[1].begin, secondBegin);
        EXPECT_EQ(run.requests[2].authority, "blocked.test");
        EXPECT_EQ(run.requests[2].path, "/secret/other");
        EXPECT_EQ(run.requests[2].host, "via.test");
        EXPECT_EQ(run.requests[2].stream, 5u);
    }

    // The same requests read by a decoder that missed the trailers, or the first request, come
    // out wrong or not at all: the blocks cannot be judged alone.
    for (bool withFirst : {true, false}) {
        Bytes missed = ClientStart();
        if (withFirst) {
            Append(missed, first);
        }
        Append(missed, second);
        Append(missed, third);
        FED run = FeedAll(missed);
        bool same = run.requests.size() == (withFirst ? 3u : 2u) &&
                    run.requests.back().authority == "blocked.test" &&
                    run.requests.back().host == "via.test" &&
                    run.requests[run.requests.size() - 2].authority == "blocked.test";
        EXPECT_FALSE(same) << withFirst;
    }
}

TEST(Http2RequestTest, TrailersAreDecodedButNotReported) {
    CONNECTION c;
    c.Headers(1, Request("a.test", "/upload", "PUT"), 0);
    Append(c.bytes, Frame(kData, 0, 1, ToBytes("payload")));
    uint64_t trailers = c.bytes.size();
    Append(c.bytes, Frame(kHeaders, kEndHeaders | kEndStream, 1,
                          c.encoder.Encode({{":path", "/not-a-request"}, {"x-sum", "1"}})));
    HTTP2_REQUEST_READER reader;
    ASSERT_EQ(reader.Feed(c.bytes).step, Step::Request);
    auto rest = reader.Feed(std::span<const uint8_t>(c.bytes).subspan(reader.Offset()));
    EXPECT_EQ(rest.step, Step::NeedMore);
    EXPECT_EQ(reader.Offset(), c.bytes.size());
    EXPECT_EQ(reader.Request().Path(), "/upload");
    EXPECT_GT(c.bytes.size(), trailers);

    // A HEADERS frame on a stream below the highest opened cannot open a request either.
    c.Headers(5, Request("a.test", "/five"));
    c.Headers(3, Request("a.test", "/three"));
    FED run = FeedAll(c.bytes);
    ASSERT_EQ(run.requests.size(), 2u);
    EXPECT_EQ(run.requests[1].path, "/five");
    EXPECT_EQ(run.last, Step::NeedMore);
}

TEST(Http2RequestTest, HuffmanAndPlainLiteralsDecode) {
    std::string path = "/" + std::string(400, 'a');
    std::string raw = "/\x7f\x7e{}|^\x01";
    ENCODER encoder;
    Bytes block = encoder.Encode(Request("huffman.example.test", path), true);
    // Shorter than the path alone (five bits an "a"): the literal can only be Huffman-coded.
    ASSERT_LT(block.size(), path.size());
    Bytes bytes = ClientStart();
    Append(bytes, Frame(kHeaders, kEndHeaders | kEndStream, 1, block));
    Append(bytes, Frame(kHeaders, kEndHeaders | kEndStream, 3,
                        encoder.Encode(Request("raw.test", raw), true)));
    for (std::vector<size_t> pieces : {std::vector<size_t>{SIZE_MAX}, std::vector<size_t>{1}}) {
        FED run = FeedAll(bytes, pieces);
        ASSERT_EQ(run.requests.size(), 2u);
        EXPECT_EQ(run.requests[0].path, path);
        EXPECT_EQ(run.requests[0].authority, "huffman.example.test");
        EXPECT_EQ(run.requests[1].path, raw);
    }
}

TEST(Http2RequestTest, RepeatedAndMixedCaseFieldsAreCountedAndTheFirstKept) {
    CONNECTION c;
    c.Headers(1, {{":method", "GET"},
                  {":path", "/allowed"},
                  {":path", "/blocked"},
                  {":authority", "a.test"},
                  {"Host", "b.test"},
                  {"HOST", "c.test"}});
    HTTP2_REQUEST_READER reader;
    ASSERT_EQ(reader.Feed(c.bytes).step, Step::Request);
    const HTTP2_REQUEST& r = reader.Request();
    EXPECT_EQ(r.Path(), "/allowed");
    EXPECT_EQ(r.Count(Http2Field::Path), 2u);
    EXPECT_EQ(r.Host(), "b.test");
    EXPECT_EQ(r.Count(Http2Field::Host), 2u);
    EXPECT_EQ(r.Count(Http2Field::Authority), 1u);
    EXPECT_TRUE(r.Repeated());
}

TEST(Http2RequestTest, HeaderBlockUpToTheBoundIsTakenAndOneByteMoreIsAnError) {
    // A never-indexed literal of bytes that Huffman cannot shorten grows the block one byte per
    // value byte, so the block can be made exactly as long as wanted.
    auto blockOf = [](size_t size) {
        for (size_t length = size - 200; length < size; ++length) {
            ENCODER encoder;
            Fields fields = Request("big.test", "/b");
            fields.push_back({"x-fill", std::string(length, '\x01')});
            Bytes block = encoder.Encode(fields, true);
            if (block.size() == size) {
                return block;
            }
        }
        ADD_FAILURE() << size;
        return Bytes();
    };
    auto connection = [](const Bytes& block) {
        Bytes bytes = ClientStart();
        size_t at = 0;
        bool first = true;
        while (at < block.size()) {
            size_t size = std::min<size_t>(16384, block.size() - at);
            bool last = at + size == block.size();
            Append(bytes, Frame(first ? kHeaders : kContinuation, last ? kEndHeaders : 0, 1,
                                Bytes(block.begin() + static_cast<ptrdiff_t>(at),
                                      block.begin() + static_cast<ptrdiff_t>(at + size))));
            first = false;
            at += size;
        }
        return bytes;
    };
    FED fits = FeedAll(connection(blockOf(kMaxHttp2HeaderBlockBytes)));
    ASSERT_EQ(fits.requests.size(), 1u);
    EXPECT_EQ(fits.requests[0].authority, "big.test");
    FED over = FeedAll(connection(blockOf(kMaxHttp2HeaderBlockBytes + 1)));
    EXPECT_EQ(over.last, Step::Error);
    EXPECT_EQ(over.fault, Fault::HeaderBlockTooLarge);
    EXPECT_TRUE(over.requests.empty());
}

// --- Faults ---

TEST(Http2RequestTest, FramesAServerRejectsAreErrors) {
    ENCODER good;
    Bytes block = good.Encode(Request("a.test", "/"));
    struct CASE {
        const char* name;
        Bytes frames;
        Fault fault;
    };
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& part : parts) {
            Append(all, part);
        }
        return all;
    };
    Bytes half(block.begin(), block.begin() + 3);
    std::vector<CASE> cases = {
        {"continuation alone", Frame(kContinuation, kEndHeaders, 1, block),
         Fault::ContinuationUnexpected},
        {"data inside a block",
         cat({Frame(kHeaders, 0, 1, half), Frame(kData, 0, 1, ToBytes("x"))}),
         Fault::ContinuationExpected},
        {"priority inside a block",
         cat({Frame(kHeaders, 0, 1, half), Frame(kPriority, 0, 3, {0, 0, 0, 1, 16})}),
         Fault::ContinuationExpected},
        {"continuation of another stream",
         cat({Frame(kHeaders, 0, 1, half), Frame(kContinuation, kEndHeaders, 3, block)}),
         Fault::ContinuationExpected},
        {"headers on stream 0", Frame(kHeaders, kEndHeaders, 0, block), Fault::StreamId},
        {"headers on a server stream", Frame(kHeaders, kEndHeaders, 2, block), Fault::StreamId},
        {"push promise", Frame(kPushPromise, kEndHeaders, 1, cat({{0, 0, 0, 2}, block})),
         Fault::PushPromise},
        {"padded without a length", Frame(kHeaders, kEndHeaders | kPadded, 1, {}),
         Fault::FrameSize},
        {"priority too short", Frame(kHeaders, kEndHeaders | kPriorityFlag, 1, {0, 0, 0}),
         Fault::FrameSize},
        {"padding past the frame",
         Frame(kHeaders, kEndHeaders | kPadded, 1,
               cat({{static_cast<uint8_t>(block.size() + 1)}, block})),
         Fault::Padding},
        {"padding past priority",
         Frame(kHeaders, kEndHeaders | kPadded | kPriorityFlag, 1, {3, 0, 0, 0, 0, 16, 0, 0}),
         Fault::Padding},
        {"index 0", Frame(kHeaders, kEndHeaders, 1, {0x80}), Fault::Compression},
        {"index past the table", Frame(kHeaders, kEndHeaders, 1, {0xFE}), Fault::Compression},
        {"block ends inside a literal", Frame(kHeaders, kEndHeaders, 1, half), Fault::Compression},
        {"table size above 4096", Frame(kHeaders, kEndHeaders, 1, {0x3F, 0xE2, 0x1F}),
         Fault::Compression},
    };
    for (const CASE& k : cases) {
        Bytes bytes = ClientStart();
        Append(bytes, k.frames);
        for (std::vector<size_t> pieces : {std::vector<size_t>{SIZE_MAX}, std::vector<size_t>{1}}) {
            FED run = FeedAll(bytes, pieces);
            EXPECT_EQ(run.last, Step::Error) << k.name;
            EXPECT_EQ(run.fault, k.fault) << k.name;
            EXPECT_TRUE(run.requests.empty()) << k.name;
        }
        HTTP2_REQUEST_READER reader;
        EXPECT_EQ(reader.Feed(bytes).step, Step::Error) << k.name;
        auto again = reader.Feed(bytes);
        EXPECT_EQ(again.step, Step::Error) << k.name;
        EXPECT_EQ(again.consumed, 0u) << k.name;
    }
}

TEST(Http2RequestTest, AnEncoderThatGrowsItsTableBeyond4096FailsTheConnection) {
    // What a client would send after a server announced a 64 KiB table; the reader keeps its
    // table at 4096 bytes, so its memory stays bounded and it does not guess.
    ENCODER encoder(65536);
    ASSERT_EQ(nghttp2_hd_deflate_change_table_size(encoder.Deflater(), 65536), 0);
    Bytes bytes = ClientStart();
    Append(bytes,
           Frame(kHeaders, kEndHeaders | kEndStream, 1, encoder.Encode(Request("a.test", "/"))));
    FED run = FeedAll(bytes);
    EXPECT_EQ(run.last, Step::Error);
    EXPECT_EQ(run.fault, Fault::Compression);

    // Shrinking it is always allowed.
    ENCODER smaller;
    ASSERT_EQ(nghttp2_hd_deflate_change_table_size(smaller.Deflater(), 256), 0);
    Bytes fine = ClientStart();
    Append(fine, Frame(kHeaders, kEndHeaders | kEndStream, 1,
                       smaller.Encode(Request("a.test", "/small"))));
    FED ok = FeedAll(fine);
    ASSERT_EQ(ok.requests.size(), 1u);
    EXPECT_EQ(ok.requests[0].path, "/small");
}

// --- Memory ---

TEST(Http2RequestTest, MemoryIsPoolMemoryFreedWithTheReaderAndTheRequest) {
    CONNECTION c;
    c.Headers(1, Request("a.test", "/one"));
    size_t middle = c.bytes.size() - 3;
    c.Headers(3, Request("b.test", "/two"));
    {
        HTTP2_REQUEST_READER reader;
        EXPECT_GT(os::PoolOutstanding(kHttp2ReaderTag), 0u);
        ASSERT_EQ(reader.Feed(std::span<const uint8_t>(c.bytes).first(middle)).step,
                  Step::NeedMore);
        // The inflater keeps working for the reader it moved into, halfway through a block.
        HTTP2_REQUEST_READER moved(std::move(reader));
        EXPECT_EQ(reader.Feed(c.bytes).step, Step::Error);
        EXPECT_EQ(reader.LastFault(), Fault::NoMemory);
        ASSERT_EQ(moved.Feed(std::span<const uint8_t>(c.bytes).subspan(middle)).step,
                  Step::Request);
        EXPECT_EQ(moved.Request().Path(), "/one");
        HTTP2_REQUEST_READER assigned;
        assigned = std::move(moved);
        ASSERT_EQ(assigned.Feed(std::span<const uint8_t>(c.bytes).subspan(assigned.Offset())).step,
                  Step::Request);
        EXPECT_EQ(assigned.Request().Path(), "/two");
        EXPECT_GT(os::PoolOutstanding(kHttp2FieldTag), 0u);
    }
    EXPECT_EQ(os::PoolOutstanding(kHttp2ReaderTag), 0u);
    EXPECT_EQ(os::PoolOutstanding(kHttp2FieldTag), 0u);
}

TEST(Http2RequestTest, NoMemoryIsAnErrorAndLeaksNothing) {
    CONNECTION c;
    c.Headers(1, Request("a.test", "/one"));
    // Each allocation of the reader and its inflater in turn, until a run needs no more.
    bool completed = false;
    for (uint64_t skip = 0; skip < 1000 && !completed; ++skip) {
        std::optional<os::ScopedPoolFailure> failure;
        failure.emplace(kHttp2ReaderTag, skip, 1);
        FED run = FeedAll(c.bytes);
        bool failed = failure->Failed() > 0;
        failure.reset();
        if (!failed) {
            ASSERT_EQ(run.requests.size(), 1u);
            completed = true;
            continue;
        }
        EXPECT_EQ(run.last, Step::Error) << skip;
        EXPECT_EQ(run.fault, Fault::NoMemory) << skip;
        EXPECT_EQ(os::PoolOutstanding(kHttp2ReaderTag), 0u) << skip;
    }
    EXPECT_TRUE(completed);
    {
        os::ScopedPoolFailure failure(kHttp2FieldTag, 2, 1);
        FED run = FeedAll(c.bytes);
        EXPECT_EQ(failure.Failed(), 1u);
        EXPECT_EQ(run.last, Step::Error);
        EXPECT_EQ(run.fault, Fault::NoMemory);
    }
    EXPECT_EQ(os::PoolOutstanding(kHttp2FieldTag), 0u);
}

TEST(Http2RequestTest, TheMemoryBoundLeavesRoomForAFullTableAndTheLongestLiteral) {
    ENCODER encoder;
    Fields many = Request("a.test", "/");
    for (int i = 0; i < 200; ++i) {
        many.push_back({"x" + std::to_string(i), ""});
    }
    Bytes bytes = ClientStart();
    Append(bytes, Frame(kHeaders, kEndHeaders | kEndStream, 1, encoder.Encode(many)));
    // The longest Huffman literal a block can carry: five bits an "a", so 8/5 of the block.
    std::string path = "/" + std::string(kMaxHttp2HeaderBlockBytes * 8 / 5 - 200, 'a');
    Bytes block = encoder.Encode({{":method", "GET"}, {":path", path}}, true);
    ASSERT_LE(block.size(), kMaxHttp2HeaderBlockBytes);
    ASSERT_GT(block.size(), kMaxHttp2HeaderBlockBytes - 200);
    for (size_t at = 0; at < block.size(); at += 16384) {
        size_t size = std::min<size_t>(16384, block.size() - at);
        Append(bytes, Frame(at == 0 ? kHeaders : kContinuation,
                            at + size == block.size() ? kEndHeaders : 0, 3,
                            Bytes(block.begin() + static_cast<ptrdiff_t>(at),
                                  block.begin() + static_cast<ptrdiff_t>(at + size))));
    }
    FED run = FeedAll(bytes, {1000});
    EXPECT_EQ(run.fault, Fault::None);
    ASSERT_EQ(run.requests.size(), 2u);
    EXPECT_EQ(run.requests[1].path, path);
}

// --- A real client ---

Bytes ReadData(const std::string& name) {
    std::ifstream in(std::string(WEXO_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// curl 7.88.1 (nghttp2 1.52.0): curl --http2-prior-knowledge
//   --connect-to blocked.example.test:80:127.0.0.1:PORT
//   "http://blocked.example.test/private/page.html?q=1", as a local listener received it.
TEST(Http2RequestTest, CapturedCurlPriorKnowledgeRequest) {
    Bytes bytes = ReadData("http/h2c_prior_knowledge.bin");
    ASSERT_TRUE(IsHttp2PrefaceStart(bytes));
    for (std::vector<size_t> pieces : {std::vector<size_t>{SIZE_MAX}, std::vector<size_t>{1}}) {
        FED run = FeedAll(bytes, pieces);
        ASSERT_EQ(run.requests.size(), 1u);
        const REPORT& r = run.requests[0];
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.scheme, "http");
        EXPECT_EQ(r.authority, "blocked.example.test");
        EXPECT_EQ(r.path, "/private/page.html?q=1");
        EXPECT_EQ(r.host, "");
        EXPECT_EQ(r.stream, 1u);
        EXPECT_TRUE(r.endStream);
        // Preface, SETTINGS and WINDOW_UPDATE come first; the HEADERS frame ends the capture.
        EXPECT_EQ(r.begin, 24u + 9 + 18 + 9 + 4);
        EXPECT_EQ(r.end, bytes.size());
    }
    // Every truncation waits for more and reports nothing.
    for (size_t size = 1; size < bytes.size(); ++size) {
        FED cut = FeedAll(Bytes(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(size)));
        EXPECT_EQ(cut.last, Step::NeedMore) << size;
        EXPECT_TRUE(cut.requests.empty()) << size;
    }
}

}  // namespace
}  // namespace wexo::drv
