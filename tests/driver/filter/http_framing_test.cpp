#include "driver/filter/http_framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/filter/http_request.h"

namespace wexo::drv {
namespace {

using Bytes = std::vector<uint8_t>;
using Step = HTTP_FRAMING::Step;

Bytes ToBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string Repeat(std::string_view text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

// Feeds the bytes `piece` at a time until the reader reports something; the step and the offset
// in the whole input.
HTTP_FRAMING::RESULT FeedInPieces(HTTP_FRAMING& framing, std::string_view text, size_t piece) {
    Bytes bytes = ToBytes(text);
    for (size_t at = 0; at < bytes.size();) {
        size_t length = std::min(piece, bytes.size() - at);
        HTTP_FRAMING::RESULT step = framing.Feed(std::span(bytes).subspan(at, length));
        if (step.step != Step::Consumed) {
            return {step.step, at + step.consumed};
        }
        at += length;
    }
    return {Step::Consumed, bytes.size()};
}

const std::string kGet = "GET /x HTTP/1.1\r\nHost: h.test\r\n\r\n";

// Both where a connection's first request starts (after BeginRequest) and between requests, the
// reader must find the head where the request parse does, or a request would go unread.
TEST(HttpFramingTest, LeadingEmptyLinesOfAnyLengthAreSkippedAsTheParseSkipsThem) {
    for (const std::string& lead :
         {std::string(), Repeat("\r\n", 17), Repeat("\n", 17), Repeat("\r\n", 1000),
          Repeat("\r", 1000), Repeat("\r\r\n\n", 300)}) {
        SCOPED_TRACE(std::to_string(lead.size()) + " bytes of empty lines");
        const std::string head = lead + kGet;
        Bytes keep = ToBytes(head);
        HTTP_REQUEST request;
        HTTP_PARSE_OUTCOME parsed = ParseHttpRequest(keep, request);
        ASSERT_EQ(parsed.status, HttpParseStatus::Complete);
        for (size_t piece : {size_t{1}, size_t{7}, head.size()}) {
            HTTP_FRAMING first;
            first.BeginRequest();
            HTTP_FRAMING::RESULT step = FeedInPieces(first, head + "GET", piece);
            EXPECT_EQ(step.step, Step::HeadEnd);
            EXPECT_EQ(step.consumed, parsed.headLength);

            HTTP_FRAMING later;
            later.BeginRequest();
            step = FeedInPieces(later, kGet + head, piece);
            ASSERT_EQ(step.step, Step::HeadEnd);
            step = later.Feed(keep);
            EXPECT_EQ(step.step, Step::RequestStart);
            EXPECT_EQ(step.consumed, lead.size());
        }
    }
}

TEST(HttpFramingTest, EmptyLinesBeforeTheRequestLineCountTowardTheHeadBound) {
    HTTP_FRAMING framing;
    framing.BeginRequest();
    Bytes lines(kMaxHttpHeadBytes, '\n');
    EXPECT_EQ(framing.Feed(lines).step, Step::Consumed);
    Bytes more = ToBytes("G");
    EXPECT_EQ(framing.Feed(more).step, Step::Error);
}

// A server that ends a line at a bare CR reads other headers, chunk sizes or trailers than one
// that keeps the CR in the line: where the next request starts cannot be known.
TEST(HttpFramingTest, ABareCrInAHeaderChunkSizeOrTrailerLineIsAnError) {
    struct Case {
        const char* text;
        Step step;
    };
    for (Case c : {
             Case{"GET / HTTP/1.1\r\nX: a\rContent-Length: 5\r\n\r\n", Step::Error},
             Case{"GET / HTTP/1.1\r\n\rX: a\r\n\r\n", Step::Error},
             Case{"GET / HTTP/1.1\r\nX: a\r\r\n\r\n", Step::Error},
             Case{"GET / HTTP/1.1\r\n\r\r\n", Step::Error},
             Case{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;a\rb\r\nhello\r\n",
                  Step::Error},
             Case{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: a\rb\r\n\r\n",
                  Step::Error},
             // The request line is the parse's to read; CR LF line ends are no bare CRs.
             Case{"GET /a\r HTTP/1.1\r\nHost: h\r\n\r\n", Step::HeadEnd},
             Case{"GET / HTTP/1.1\r\nX: a\r\nY: b\n\r\n", Step::HeadEnd},
         }) {
        for (size_t piece : {size_t{1}, size_t{2}, size_t{1000}}) {
            HTTP_FRAMING framing;
            framing.BeginRequest();
            HTTP_FRAMING::RESULT step{Step::HeadEnd, 0};
            std::string_view rest = c.text;
            // Past the head, the body and the chunks are read on: the step that ends the run is
            // the one compared.
            while (step.step == Step::HeadEnd && !rest.empty()) {
                step = FeedInPieces(framing, rest, piece);
                rest.remove_prefix(step.step == Step::HeadEnd ? step.consumed : rest.size());
            }
            EXPECT_EQ(step.step == Step::Error, c.step == Step::Error)
                << c.text << " in pieces of " << piece;
        }
    }
}

// Non-HTTP bytes after a request are the protocol of a 101 only when the request offered one.
TEST(HttpFramingTest, UpgradeOfferedTellsWhetherTheLastHeadHadAnUpgradeHeader) {
    struct Case {
        const char* headers;
        bool offered;
    };
    for (Case c :
         {Case{"Upgrade: websocket\r\n", true}, Case{"upgrade: h2c\r\n", true},
          Case{"UPGRADE :x\r\n", true}, Case{"Upgrade \t: y\r\n", true}, Case{"Upgrade:\r\n", true},
          Case{"Host: h\r\nuPgRaDe: z\r\n", true}, Case{"X-Upgrade: y\r\n", false},
          Case{"Upgrades: y\r\n", false}, Case{"X: a\r\n Upgrade: folded\r\n", false},
          Case{"Connection: upgrade\r\n", false}, Case{"", false}}) {
        HTTP_FRAMING framing;
        framing.BeginRequest();
        const std::string head = std::string("GET / HTTP/1.1\r\n") + c.headers;
        ASSERT_EQ(FeedInPieces(framing, head, 1000).step, Step::Consumed) << c.headers;
        EXPECT_FALSE(framing.UpgradeOffered()) << "before the head ends: " << c.headers;
        ASSERT_EQ(FeedInPieces(framing, "\r\n", 1000).step, Step::HeadEnd) << c.headers;
        EXPECT_EQ(framing.UpgradeOffered(), c.offered) << c.headers;
        // The next request's head starts with nothing offered.
        ASSERT_EQ(FeedInPieces(framing, "GET", 1000).step, Step::RequestStart);
        framing.BeginRequest();
        EXPECT_FALSE(framing.UpgradeOffered()) << c.headers;
    }
}

// The reader takes for a CONNECT (a tunnel after its head) exactly what the parse does.
TEST(HttpFramingTest, ConnectIsReadAsTheParseReadsTheMethod) {
    for (const std::string& line : {
             std::string("CONNECT e.x:443 HTTP/1.1"),
             std::string("CONNECT\te.x:443\tHTTP/1.1"),
             std::string("CONNECT\x0b"
                         "e.x:443 HTTP/1.1"),
             std::string("CONNECT\x1f"
                         "e.x:443 HTTP/1.1"),
             std::string("CONNECT\xc2\xa0"
                         "e.x:443 HTTP/1.1"),
             std::string("CONNECT\xa0"
                         "e.x:443 HTTP/1.1"),
             std::string(" CONNECT e.x:443 HTTP/1.1"),
             std::string("\x1f"
                         "CONNECT e.x:443 HTTP/1.1"),
             std::string("\r\n\r\nCONNECT e.x:443 HTTP/1.1"),
             std::string("connect e.x:443 HTTP/1.1"),
             std::string("GET e.x:443 HTTP/1.1"),
             std::string("CONNECTS e.x:443 HTTP/1.1"),
         }) {
        const std::string head = line + "\r\nHost: e.x:443\r\n\r\n";
        Bytes keep = ToBytes(head);
        HTTP_REQUEST request;
        HTTP_PARSE_OUTCOME parsed = ParseHttpRequest(keep, request);
        ASSERT_EQ(parsed.status, HttpParseStatus::Complete) << line;
        HTTP_FRAMING framing;
        framing.BeginRequest();
        HTTP_FRAMING::RESULT step = framing.Feed(keep);
        EXPECT_EQ(step.step == Step::Tunnel, request.Method() == "CONNECT") << line;
        EXPECT_EQ(step.consumed, parsed.headLength) << line;
    }
}

}  // namespace
}  // namespace wexo::drv
