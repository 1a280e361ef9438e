#include "driver/filter/http_request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "os/kernel/pool.h"

namespace wexo::drv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes ReadData(const std::string& name) {
    std::ifstream in(std::string(WEXO_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Parsed {
    HTTP_PARSE_OUTCOME outcome;
    HTTP_REQUEST request;
};

// The parse is given its own exact-size copy, so a sanitizer build sees any read past the end.
Parsed Parse(const Bytes& bytes, Bytes& keep) {
    keep = Bytes(bytes.begin(), bytes.end());
    Parsed parsed;
    parsed.outcome = ParseHttpRequest(keep, parsed.request);
    return parsed;
}

std::vector<std::string> ValuesOf(const HTTP_HEADER& header) {
    std::vector<std::string> values;
    for (const HTTP_HEADER_VALUE& value : header.Values()) {
        values.emplace_back(value.View());
    }
    return values;
}

// --- Request line and outcomes ---

TEST(HttpRequestTest, LowerCaseGetWithHostIsCompleteWithHostAndPath) {
    Bytes keep;
    Parsed p = Parse(ToBytes("get /a HTTP/1.1\r\nhost: Example.TEST\r\n\r\n"), keep);
    EXPECT_EQ(p.outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(p.request.Host(), "Example.TEST");
    EXPECT_EQ(p.request.Path(), "/a");
    EXPECT_EQ(p.request.ProxyPrefix(), "");
    EXPECT_EQ(FindHost(p.request), "Example.TEST");
}

TEST(HttpRequestTest, AbsoluteFormSplitsIntoProxyPrefixAndPath) {
    Bytes keep;
    Parsed p = Parse(ToBytes("GET HTTP://e.x/x?y=1 HTTP/1.1\r\nHost: e.x\r\n\r\n"), keep);
    ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(p.request.ProxyPrefix(), "HTTP://e.x");
    EXPECT_EQ(p.request.Path(), "/x?y=1");

    Parsed lower = Parse(ToBytes("GET http://a.test:8080/ HTTP/1.0\r\n\r\n"), keep);
    EXPECT_EQ(lower.request.ProxyPrefix(), "http://a.test:8080");
    EXPECT_EQ(lower.request.Path(), "/");
}

TEST(HttpRequestTest, AbsoluteFormWithoutAPathIsAllPrefix) {
    Bytes keep;
    // The "/" of the version is not part of the target; a proxy fetches the root of e.x, so the
    // target must still name the host and not leave it to the Host header.
    Parsed p = Parse(ToBytes("GET http://e.x HTTP/1.1\r\nHost: other.test\r\n\r\n"), keep);
    ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(p.request.ProxyPrefix(), "http://e.x");
    EXPECT_EQ(p.request.Path(), "");
    EXPECT_EQ(p.request.Host(), "other.test");

    Parsed query = Parse(ToBytes("GET HTTP://e.x?q=1 HTTP/1.1\r\n\r\n"), keep);
    EXPECT_EQ(query.request.ProxyPrefix(), "HTTP://e.x?q=1");
    EXPECT_EQ(query.request.Path(), "");
}

TEST(HttpRequestTest, IncompleteOnlyWhileItCanStillBecomeAnHttp1Head) {
    for (const char* text :
         {"G", "GET /a", "GET / HTTP/1.1\r", "GET / HTTP/1.1\r\nHost: a", "get / http/1.0 \r\n",
          "PROPFIND /x HTTP/1", "\r\n", "\r\nPOST", "GET / HTTP/1.1\nHost: a\n"}) {
        Bytes keep;
        Parsed p = Parse(ToBytes(text), keep);
        EXPECT_EQ(p.outcome.status, HttpParseStatus::Incomplete) << text;
        EXPECT_EQ(p.outcome.missing, 1u) << text;
        EXPECT_EQ(p.request.Path(), "") << "nothing is reported before the request is whole";
    }
    // Line protocols whose command is a token, no target, a banner, the HTTP/2 preface.
    for (const char* text : {"POST /a\r\n", "get /a\r\n", "GET key\r\n", "get key value\r\n",
                             "GET HTTP/\r\n", "GET\r\n\r\n", "SSH-2.0-OpenSSH_9.2\r\n", "PING\r\n",
                             "GET / HTTP/1.1 x\r\n\r\n", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n",
                             "GET / HTTP/1.1\r\n"
                             "\r\n"
                             "\r\n"}) {
        Bytes keep;
        Parsed p = Parse(ToBytes(text), keep);
        if (std::string_view(text).starts_with("GET / HTTP/1.1\r\n\r\n")) {
            EXPECT_EQ(p.outcome.status, HttpParseStatus::Complete) << text;
            continue;
        }
        EXPECT_EQ(p.outcome.status, HttpParseStatus::NotHttp) << text;
    }
    Bytes keep;
    EXPECT_EQ(Parse(Bytes{0x16, 0x03, 0x01, 0x00, 0x10}, keep).outcome.status,
              HttpParseStatus::NotHttp);
}

// nginx and Python's http.server answer a GET line without a version (HTTP/0.9): it is a request
// at its line end, with no headers.
TEST(HttpRequestTest, AnHttp09GetIsARequestWithoutHeaders) {
    struct Case {
        const char* text;
        const char* path;
        const char* prefix;
    } cases[] = {{"GET /a\r\n", "/a", ""},
                 {"GET /a  \n", "/a", ""},
                 {"GET\t/a\r\n", "/a", ""},
                 {"GET\x1f/a\r\n", "/a", ""},
                 {"GET http://h.test/a\r\n", "/a", "http://h.test"}};
    for (const Case& c : cases) {
        Bytes keep;
        Parsed p = Parse(ToBytes(std::string(c.text) + "more"), keep);
        ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete) << c.text;
        EXPECT_EQ(p.outcome.headLength, std::string_view(c.text).size()) << c.text;
        EXPECT_EQ(p.request.Method(), "GET");
        EXPECT_EQ(p.request.Path(), c.path);
        EXPECT_EQ(p.request.ProxyPrefix(), c.prefix);
        EXPECT_TRUE(p.request.Headers().empty());
    }
}

TEST(HttpRequestTest, EveryTokenMethodIsRecognisedWithItsHeadLength) {
    // Servers that split at SP only (Go's) take a token of any length for a method, and serve it.
    for (const std::string& method :
         {std::string("GET"), std::string("gEt"), std::string("POST"), std::string("HEAD"),
          std::string("PUT"), std::string("DELETE"), std::string("OPTIONS"), std::string("PATCH"),
          std::string("PROPFIND"), std::string("M-SEARCH"), std::string(33, 'A'),
          std::string(5000, 'A')}) {
        std::string text = method + " /a HTTP/1.1\r\nHost: h.test\r\n\r\nBODY";
        Bytes keep;
        Parsed p = Parse(ToBytes(text), keep);
        ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete) << method;
        EXPECT_EQ(p.request.Method(), method);
        EXPECT_EQ(p.request.Host(), "h.test");
        EXPECT_EQ(p.request.Path(), "/a");
        EXPECT_EQ(p.outcome.headLength, text.size() - 4) << method;
    }
    // Also when the line holds a byte that only lenient servers split at.
    Bytes keep;
    Parsed p =
        Parse(ToBytes(std::string(5000, 'A') + " /\xA0 HTTP/1.1\r\nHost: h.test\r\n\r\n"), keep);
    EXPECT_EQ(p.outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(p.request.Host(), "h.test");
}

TEST(HttpRequestTest, LeadingEmptyLinesAndBareLineFeedsAreReadAsServersDo) {
    Bytes keep;
    Parsed p = Parse(ToBytes("\r\n\r\nGET /x HTTP/1.1\nHost: lf.test\n\n"), keep);
    ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(p.request.Host(), "lf.test");
    EXPECT_EQ(p.request.Path(), "/x");
    Parsed mixed = Parse(ToBytes("GET /y HTTP/1.0\r\nHost: m.test\n\r\n"), keep);
    ASSERT_EQ(mixed.outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(mixed.request.Host(), "m.test");
    EXPECT_EQ(mixed.outcome.headLength, 32u);
}

std::string Repeat(std::string_view text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

// Servers skip any number of empty lines before the request line (nginx drops them as they come),
// so a count that ends the parse would pass a request no lookup saw.
TEST(HttpRequestTest, LeadingEmptyLinesOfAnyLengthAreSkipped) {
    const std::string get = "GET /x HTTP/1.1\r\nHost: h.test\r\n\r\n";
    for (const std::string& lead :
         {std::string(), Repeat("\r\n", 17), Repeat("\n", 17), Repeat("\r\n", 1000),
          Repeat("\n", 1000), Repeat("\r", 1000), Repeat("\r\r\n\n", 300)}) {
        Bytes keep;
        Parsed p = Parse(ToBytes(lead + get), keep);
        SCOPED_TRACE(std::to_string(lead.size()) + " bytes of empty lines");
        ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete);
        EXPECT_EQ(p.request.Method(), "GET");
        EXPECT_EQ(p.request.Host(), "h.test");
        EXPECT_EQ(p.request.Path(), "/x");
        EXPECT_EQ(p.outcome.headLength, lead.size() + get.size());
    }
    // Past the head-size bound there is still no telling it from a request: the caller's bound
    // decides, not the parse.
    Bytes keep;
    EXPECT_EQ(Parse(ToBytes(Repeat("\r\n", 1 << 20)), keep).outcome.status,
              HttpParseStatus::Incomplete);
}

TEST(HttpRequestTest, VersionSpellingsServersServeAreRequests) {
    // nginx and Python read leading zeros and more digits; Node serves 2.0 and 0.9 as well; no
    // server reads another protocol from "HTTP/" and digits.
    for (const char* version :
         {"HTTP/1.1", "HTTP/1.0", "HTTP/1.01", "HTTP/01.1", "HTTP/1.10", "HTTP/001.001", "HTTP/1.9",
          "http/1.1", "hTtP/1.0", "HTTP/2.0", "HTTP/0.9", "HTTP/3", "HTTP/1", "HTTP/11",
          "HTTP/1.1.1", "HTTP/1.", "HTTP/0000000001.0000000001"}) {
        Bytes keep;
        Parsed p =
            Parse(ToBytes(std::string("GET /v ") + version + "\r\nHost: v.test\r\n\r\n"), keep);
        ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete) << version;
        EXPECT_EQ(p.request.Host(), "v.test") << version;
        EXPECT_EQ(p.request.Path(), "/v") << version;
        EXPECT_FALSE(p.request.Ambiguous()) << version;
        Parsed open = Parse(ToBytes(std::string("GET /v ") + version), keep);
        EXPECT_EQ(open.outcome.status, HttpParseStatus::Incomplete) << version;
    }
    for (const char* version : {"HTTP/", "HTTP/.1", "HTTP/x.1", "HTTP/1.1x", "HTTPS/1.1",
                                "HTTP/1,1", "HTTP/-1", "HTTP\\1.1", "HTTP /1.1"}) {
        Bytes keep;
        Parsed p = Parse(ToBytes(std::string("GET /v ") + version + "\r\n\r\n"), keep);
        EXPECT_EQ(p.outcome.status, HttpParseStatus::NotHttp) << version;
    }
}

// Each blank a client could put where an SP goes, in each place of the request line. Servers split
// at SP (nginx, llhttp, Go), at SP and HTAB (Tomcat), at every ASCII blank (Apache without strict
// parsing), at Python's Latin-1 white space (http.server) or at a UTF-8 NBSP: where all of those
// that read a request line read the same one, it is judged; where they read different targets the
// head is ambiguous; where none does, it is not HTTP.
TEST(HttpRequestTest, BlanksInTheRequestLineAreSplitAsServersSplitThem) {
    struct Case {
        std::string line;
        HttpParseStatus status;
        const char* method;
        std::string path;
        bool ambiguous;
    };
    constexpr auto kComplete = HttpParseStatus::Complete;
    constexpr auto kNotHttp = HttpParseStatus::NotHttp;
    std::vector<Case> cases;
    struct BLANK {
        std::string bytes;
        bool keptInTargetBySome;  // a server that does not split there keeps it in the target
    };
    for (const BLANK& b : {BLANK{"\t", true}, BLANK{"\v", true}, BLANK{"\f", true},
                           BLANK{"\x1c", true}, BLANK{"\x1f", true}, BLANK{"\x85", true},
                           BLANK{"\xa0", true}, BLANK{"\xc2\xa0", true}, BLANK{"\xc2\x85", true},
                           BLANK{"\r", false}, BLANK{"   ", false}, BLANK{" \t\v ", false}}) {
        const std::string& x = b.bytes;
        // Where an SP would be: every server that reads a request line reads this one.
        cases.push_back({"GET" + x + "/x HTTP/1.1", kComplete, "GET", "/x", false});
        cases.push_back({x + "GET /x HTTP/1.1", kComplete, "GET", "/x", false});
        cases.push_back({"GET /x HTTP/1.1" + x, kComplete, "GET", "/x", false});
        // Beside an SP: one server keeps it in the target, another splits it off.
        cases.push_back({"GET /x" + x + " HTTP/1.1", kComplete, "GET",
                         b.keptInTargetBySome ? "/x" + x : "/x", b.keptInTargetBySome});
        cases.push_back({"GET " + x + "/x HTTP/1.1", kComplete, "GET",
                         b.keptInTargetBySome ? x + "/x" : "/x", b.keptInTargetBySome});
    }
    // Inside the target: a server that keeps the blank there reads a request, the splitting ones
    // find four parts and none; a bare CR is kept by no server.
    for (const std::string x : {"\t", "\v", "\x1f", "\x85", "\xa0", "\xc2\xa0"}) {
        cases.push_back({"GET /a" + x + "b HTTP/1.1", kComplete, "GET", "/a" + x + "b", false});
    }
    cases.push_back({"GET /a\rb HTTP/1.1", kNotHttp, "", "", false});
    // Between the target and the version: an SP-only server reads no version.
    for (const std::string x : {"\t", "\v", "\f", "\r", "\x1f", "\x85", "\xa0"}) {
        cases.push_back({"GET /x" + x + "HTTP/1.1", kComplete, "GET", "/x", false});
    }
    // Python keeps the 0xC2 of a UTF-8 NBSP in the target, a UTF-8 reader does not.
    cases.push_back({"GET /x\xc2\xa0HTTP/1.1", kComplete, "GET", "/x\xc2", true});
    cases.push_back({"GET\xc2\xa0/x\xc2\xa0HTTP/1.1", kComplete, "GET", "/x", false});
    // Bytes no server splits at, and a method no server reads.
    cases.push_back({"GET\xc2x/x HTTP/1.1", kNotHttp, "", "", false});
    cases.push_back({"GET\x01/x HTTP/1.1", kNotHttp, "", "", false});
    cases.push_back({"GET\xc2\xa0/x", kNotHttp, "", "", false});
    cases.push_back({"G\x0bT /x HTTP/1.1", kNotHttp, "", "", false});
    cases.push_back({"GET\t/x\tb\tHTTP/1.1", kNotHttp, "", "", false});
    cases.push_back({"GET\t/x HTTP/1.1\tx", kNotHttp, "", "", false});
    // The method and absolute form come out of the split the same way.
    cases.push_back(
        {"CONNECT\x1f"
         "e.x:443 HTTP/1.1",
         kComplete, "CONNECT", "", false});
    cases.push_back({"GET\thttp://e.x/p\tHTTP/1.1", kComplete, "GET", "/p", false});
    for (const Case& c : cases) {
        std::string escaped;
        for (unsigned char ch : c.line) {
            char hex[5];
            std::snprintf(hex, sizeof(hex), ch < 0x20 || ch >= 0x7f ? "\\x%02x" : "%c", ch);
            escaped += hex;
        }
        SCOPED_TRACE(escaped);
        Bytes keep;
        Parsed p = Parse(ToBytes(c.line + "\r\nHost: h.test\r\n\r\n"), keep);
        ASSERT_EQ(p.outcome.status, c.status);
        if (c.status != kComplete) {
            continue;
        }
        EXPECT_EQ(p.request.Method(), c.method);
        EXPECT_EQ(p.request.Path(), c.path);
        EXPECT_EQ(p.request.Ambiguous(), c.ambiguous);
        EXPECT_EQ(p.request.Host(), "h.test");
    }
}

// Servers that split at more than SP and HTAB read at most 65535 bytes of a request line; a longer
// one only they could split is no request. A long target an SP server reads keeps its odd blank.
TEST(HttpRequestTest, OnlyLinesLenientServersStillReadAreSplitTheirWay) {
    struct Case {
        std::string line;
        HttpParseStatus status;
        size_t pathLength;
    };
    const std::string lenient = "GET\x1f/";
    const std::string version = "\x1fHTTP/1.1";
    const size_t fits = 65535 - lenient.size() - version.size();
    const Case cases[] = {
        {lenient + std::string(fits, 'a') + version, HttpParseStatus::Complete, fits + 1},
        {lenient + std::string(fits + 1, 'a') + version, HttpParseStatus::NotHttp, 0},
        {std::string(70000, '\x1f') + "GET /a HTTP/1.1", HttpParseStatus::NotHttp, 0},
        {"GET /" + std::string(200000, 'a') + "\x0b HTTP/1.1", HttpParseStatus::Complete, 200002},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.size());
        Bytes keep;
        Parsed p = Parse(ToBytes(c.line + "\r\nHost: h.test\r\n\r\n"), keep);
        ASSERT_EQ(p.outcome.status, c.status);
        if (c.status == HttpParseStatus::Complete) {
            EXPECT_EQ(p.request.Path().size(), c.pathLength);
        }
    }
}

// Python's header parse ends a line at a bare CR, nginx and Node refuse it, most others keep it
// in the value: what follows may be a header only some servers see.
TEST(HttpRequestTest, ABareCrInAHeaderLineIsAmbiguous) {
    struct Case {
        const char* headers;
        bool ambiguous;
    };
    for (Case c :
         {Case{"Host: ok.test\r\nX: a\rHost: blocked.test\r\n", true},
          Case{"X: a\rHost: blocked.test\r\nHost: ok.test\r\n", true},
          Case{"Host: ok.test\r\n\rHost: blocked.test\r\n", true},
          Case{"Host: ok.test\r\nno colon\r here\r\n", true},
          Case{"Host: ok.test\r\n\r\r\n", true},  // an empty line to Python only
          Case{"Host: ok.test\r\nX: a\r\r\n", true}, Case{"Host: ok.test\r\nX: a\r\n", false},
          Case{"Host: ok.test\nX: a\n", false}}) {
        Bytes keep;
        Parsed p = Parse(ToBytes(std::string("GET / HTTP/1.1\r\n") + c.headers + "\r\n"), keep);
        ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete) << c.headers;
        EXPECT_EQ(p.request.Ambiguous(), c.ambiguous) << c.headers;
        EXPECT_EQ(p.request.Host(), "ok.test") << c.headers;
    }
    // Only whole lines count when the bytes are taken as they are.
    Bytes open = ToBytes("GET / HTTP/1.1\r\nHost: ok.test\r\nX: a\r");
    HTTP_REQUEST request;
    ASSERT_EQ(ParseHttpRequest(open, request, true).status, HttpParseStatus::Complete);
    EXPECT_FALSE(request.Ambiguous());
    Bytes whole = ToBytes("GET / HTTP/1.1\r\nX: a\rb\r\nHost: ok.test\r\nY: ");
    ASSERT_EQ(ParseHttpRequest(whole, request, true).status, HttpParseStatus::Complete);
    EXPECT_TRUE(request.Ambiguous());
}

TEST(HttpRequestTest, AnyUriSchemeMakesTheAbsoluteFormAndConnectTakesTheAuthority) {
    Bytes keep;
    Parsed https = Parse(ToBytes("GET HTTPS://e.x/p HTTP/1.1\r\n\r\n"), keep);
    EXPECT_EQ(https.request.ProxyPrefix(), "HTTPS://e.x");
    EXPECT_EQ(https.request.Path(), "/p");
    Parsed connect = Parse(ToBytes("CONNECT e.x:443 HTTP/1.1\r\nHost: e.x:443\r\n\r\n"), keep);
    EXPECT_EQ(connect.request.ProxyPrefix(), "e.x:443");
    EXPECT_EQ(connect.request.Path(), "");
    Parsed star = Parse(ToBytes("OPTIONS * HTTP/1.1\r\nHost: e.x\r\n\r\n"), keep);
    EXPECT_EQ(star.request.Path(), "");
    EXPECT_EQ(star.request.ProxyPrefix(), "");
}

TEST(HttpRequestTest, TruncatedHeadIsCompleteOnlyWhenAskedAndAfterAWholeRequestLine) {
    Bytes bytes = ToBytes("POST /up HTTP/1.1\r\nHost: t.test\r\nX-Pad: aaaa");
    HTTP_REQUEST request;
    EXPECT_EQ(ParseHttpRequest(bytes, request).status, HttpParseStatus::Incomplete);
    HTTP_PARSE_OUTCOME outcome = ParseHttpRequest(bytes, request, true);
    ASSERT_EQ(outcome.status, HttpParseStatus::Complete);
    EXPECT_TRUE(request.Truncated());
    EXPECT_EQ(outcome.headLength, 0u);
    EXPECT_EQ(request.Host(), "t.test");
    EXPECT_EQ(request.Headers().size(), 1u) << "the unfinished line is not read";
    Bytes line = ToBytes("POST /up HTT");
    EXPECT_EQ(ParseHttpRequest(line, request, true).status, HttpParseStatus::Incomplete);
}

TEST(HttpRequestTest, HostsThatDisagreeAreAConflict) {
    struct Case {
        const char* headers;
        bool conflict;
    };
    for (Case c :
         {Case{"Host: a.test, b.test\r\n", true}, Case{"Host: a.test\r\nHost: b.test\r\n", true},
          Case{"Host: a.test\r\nhost: A.TEST.\r\n", false}, Case{"Host: a.test, a.test\r\n", false},
          Case{"Host: a.test\r\nHost:\r\n", true},
          Case{"Host: a.test:80\r\nHost: a.test:8080\r\n", true},
          Case{"Host: a.test\r\n", false}}) {
        Bytes keep;
        Parsed p = Parse(ToBytes(std::string("GET / HTTP/1.1\r\n") + c.headers + "\r\n"), keep);
        ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete) << c.headers;
        EXPECT_EQ(p.request.HostConflict(), c.conflict) << c.headers;
        EXPECT_EQ(
            p.request.Host(),
            "a.test" + std::string(std::string_view(c.headers).find(":80") != std::string_view::npos
                                       ? ":80"
                                       : ""))
            << c.headers;
    }
}

TEST(HttpRequestTest, LoneCrDoesNotEndALine) {
    Bytes keep;
    Parsed p = Parse(ToBytes("GET /a HTTP/1.1\r\nX-A: 1\r2\r\nX-B: 3\r\n\r\n"), keep);
    ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete);
    ASSERT_EQ(p.request.Headers().size(), 2u);
    EXPECT_EQ(ValuesOf(p.request.Headers()[0]), std::vector<std::string>{"1\r2"});
}

// --- Header table and host ---

TEST(HttpRequestTest, HostIsFirstCommaSeparatedValueAfterBlanks) {
    Bytes keep;
    Parsed p = Parse(ToBytes("GET / HTTP/1.1\r\nHost:   a.test,b.test\r\n\r\n"), keep);
    EXPECT_EQ(p.request.Host(), "a.test");
    ASSERT_EQ(p.request.Headers().size(), 1u);
    EXPECT_EQ(ValuesOf(p.request.Headers()[0]), (std::vector<std::string>{"a.test", "b.test"}));
}

// Heads beyond what the parse records on its stack (32 lines, 64 values) are read the same way:
// every line and value kept, in order, and the Host found wherever it stands.
TEST(HttpRequestTest, LongHeadsBeyondTheStackScratchKeepEveryLineAndValue) {
    for (const size_t filler : {size_t{31}, size_t{32}, size_t{33}, size_t{60}}) {
        for (const size_t listed : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{100}}) {
            std::string head = "GET /p HTTP/1.1\r\n";
            std::vector<std::string> list;
            for (size_t i = 0; i < listed; ++i) {
                list.push_back("v" + std::to_string(i));
            }
            head += "X-List: ";
            for (size_t i = 0; i < listed; ++i) {
                head += (i ? "," : "") + list[i];
            }
            head += "\r\n";
            for (size_t i = 0; i < filler; ++i) {
                head += "X-" + std::to_string(i) + ": " + std::to_string(i) + "\r\n";
            }
            head += "Host: late.test, other.test\r\n\r\n";
            Bytes keep;
            Parsed p = Parse(ToBytes(head), keep);
            SCOPED_TRACE(std::to_string(filler) + " lines, " + std::to_string(listed) + " values");
            ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete);
            EXPECT_EQ(p.outcome.headLength, head.size());
            ASSERT_EQ(p.request.Headers().size(), filler + 2);
            EXPECT_EQ(ValuesOf(p.request.Headers()[0]), list);
            EXPECT_EQ(ValuesOf(p.request.Headers()[filler]),
                      (std::vector<std::string>{std::to_string(filler - 1)}));
            EXPECT_EQ(p.request.Headers()[filler + 1].Name(), "Host");
            EXPECT_EQ(p.request.Host(), "late.test");
            EXPECT_TRUE(p.request.HostConflict());
        }
    }
}

TEST(HttpRequestTest, ValuesKeepTrailingBlanksAndDropEmptyOnes) {
    Bytes keep;
    Parsed p = Parse(ToBytes("GET / HTTP/1.1\r\nAccept: a, b ,, \t,c  \r\nEmpty:\r\n"
                             "Blank:   \r\n\r\n"),
                     keep);
    ASSERT_EQ(p.request.Headers().size(), 3u);
    EXPECT_EQ(ValuesOf(p.request.Headers()[0]), (std::vector<std::string>{"a", "b ", "c  "}));
    EXPECT_EQ(p.request.Headers()[1].valueCount, 0u);
    EXPECT_EQ(p.request.Headers()[2].valueCount, 0u);
}

TEST(HttpRequestTest, LinesWithoutNameAreIgnoredAndBlanksBeforeTheColonDoNotHideTheHost) {
    Bytes keep;
    Parsed p = Parse(ToBytes("GET / HTTP/1.1\r\nno colon here\r\n: empty name\r\n"
                             "Host : spaced.test\r\n\r\n"),
                     keep);
    ASSERT_EQ(p.request.Headers().size(), 1u);
    EXPECT_EQ(p.request.Headers()[0].Name(), "Host ");
    // A server that takes "Host :" for the host must not see a different one judged.
    EXPECT_EQ(p.request.Host(), "spaced.test");
}

TEST(HttpRequestTest, FirstHostHeaderDecidesEvenWithoutValue) {
    Bytes keep;
    Parsed empty = Parse(ToBytes("GET / HTTP/1.1\r\nHost:  \r\nHost: later.test\r\n\r\n"), keep);
    EXPECT_EQ(empty.outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(empty.request.Host(), "");
    EXPECT_TRUE(empty.request.HostConflict());
    Parsed none = Parse(ToBytes("GET / HTTP/1.1\r\nHosts: a\r\nX-Host: b\r\n\r\n"), keep);
    EXPECT_EQ(none.outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(none.request.Host(), "");
}

TEST(HttpRequestTest, TableIsOnePoolBlockFreedWithTheResult) {
    const size_t before = os::PoolOutstanding(kHttpHeaderTableTag);
    Bytes keep = ToBytes("GET / HTTP/1.1\r\nHost: a\r\nAccept: x, y\r\n\r\n");
    {
        HTTP_REQUEST request;
        ASSERT_EQ(ParseHttpRequest(keep, request).status, HttpParseStatus::Complete);
        EXPECT_EQ(os::PoolOutstanding(kHttpHeaderTableTag), before + 1);
        // A second parse into the same result frees the first table.
        ASSERT_EQ(ParseHttpRequest(keep, request).status, HttpParseStatus::Complete);
        EXPECT_EQ(os::PoolOutstanding(kHttpHeaderTableTag), before + 1);

        HTTP_REQUEST moved(std::move(request));
        EXPECT_TRUE(request.Headers().empty());
        EXPECT_EQ(moved.Host(), "a");
        HTTP_REQUEST assigned;
        assigned = std::move(moved);
        EXPECT_EQ(assigned.Headers().size(), 2u);
        EXPECT_EQ(os::PoolOutstanding(kHttpHeaderTableTag), before + 1);

        // A failed parse leaves nothing behind either.
        EXPECT_EQ(ParseHttpRequest(ToBytes("PING\r\n"), assigned).status, HttpParseStatus::NotHttp);
        EXPECT_EQ(os::PoolOutstanding(kHttpHeaderTableTag), before);
        EXPECT_TRUE(assigned.Headers().empty());
    }
    EXPECT_EQ(os::PoolOutstanding(kHttpHeaderTableTag), before);

    // Without header lines nothing is allocated.
    HTTP_REQUEST bare;
    Bytes noHeaders = ToBytes("GET / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(ParseHttpRequest(noHeaders, bare).status, HttpParseStatus::Complete);
    EXPECT_EQ(os::PoolOutstanding(kHttpHeaderTableTag), before);
}

TEST(HttpRequestTest, NoMemoryForTableStillCompletesWithoutHeadersOrHost) {
    Bytes keep = ReadData("http/browser_get.bin");
    os::ScopedPoolFailure failure(kHttpHeaderTableTag);
    HTTP_REQUEST request;
    HTTP_PARSE_OUTCOME outcome = ParseHttpRequest(keep, request);
    EXPECT_EQ(outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(failure.Failed(), 1u);
    EXPECT_TRUE(request.Headers().empty());
    EXPECT_EQ(request.Host(), "");
    EXPECT_EQ(request.Path(), "/world/2024/article.html?ref=home");
}

// --- Looks at a head that grows ---

// What a look reports, in a form two looks can be compared by.
std::string Describe(const HTTP_PARSE_OUTCOME& outcome, const HTTP_REQUEST& request) {
    std::string text = std::to_string(static_cast<int>(outcome.status)) + "/" +
                       std::to_string(outcome.missing) + "/" + std::to_string(outcome.headLength);
    text += "|" + std::string(request.Method()) + "|" + std::string(request.Host()) + "|" +
            std::string(request.Path()) + "|" + std::string(request.ProxyPrefix()) + "|" +
            std::to_string(request.Headers().size()) + (request.Truncated() ? "T" : "") +
            (request.HostConflict() ? "C" : "") + (request.Ambiguous() ? "A" : "");
    return text;
}

// Heads that end each step of the reading in an unusual place: leading empty lines, a CR inside
// the line, bare LFs, runs of blanks, a line-end byte where the target should be, a version with
// blanks after it, a method too long, an empty line split between its CR and its LF.
const char* const kGrowingHeads[] = {
    "\r\n\n\r\nGET /a HTTP/1.1\r\nHost: lead.test\r\n\r\n",
    "GET    /spaced\t \t HTTP/1.1  \t \r\nHost: x\r\n\r\n",
    "GET /a\rb HTTP/1.1\r\nHost: cr.test\r\n\r\n",
    "GET /a HTTP/1.1\nHost: lf.test\n\n",
    "GET \x0b/a HTTP/1.1\r\n\r\n",
    "GET /a HTTP/1.1 x\r\n\r\n",
    "GET /a HTTP/2.0\r\n\r\n",
    "GET /a HTTP/1.1\r\r\n\r\n",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGH / HTTP/1.1\r\n\r\n",
    "CONNECT e.x:443 HTTP/1.1\r\nHost: e.x:443\r\nHost: other.x\r\n\r\n",
    "GET http://proxy.test/p?q HTTP/1.0\r\nA: 1\r\n\r\r\n\r\n",
    "GET / HTTP/1.1\r\nX: a\r\n \r\nHost: after.test\r\n\r\n",
    "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\nGET / HTTP/1.1\r\n\r\n",
    "get /x HTTP/1.1\r\n",
    "\x1f\tGET\v/a\xc2\xa0HTTP/1.01\f\r\nHost: split.test\r\n\r\n",
    "GET /a\xc2\xa0 HTTP/01.1\r\nHost: nbsp.test\r\n\r\n",
    "GET\t/a\tb\tHTTP/1.1\r\n\r\n",
    "GET /a HTTP/1.1\r\nX: a\rHost: b.test\r\nHost: a.test\r\n\r\n",
    "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\nGET / "
    "HTTP/2.0\r\n\r\n",
    "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n",
};

TEST(HttpRequestTest, AHeadLookedAtAsItGrowsReadsAsItDoesWhole) {
    std::vector<Bytes> heads;
    for (const char* head : kGrowingHeads) {
        heads.push_back(ToBytes(head));
    }
    heads.push_back(ReadData("http/browser_get.bin"));
    heads.push_back(ReadData("http/proxy_get.bin"));
    for (const Bytes& whole : heads) {
        const std::string name(whole.begin(), whole.begin() + std::min<size_t>(whole.size(), 24));
        for (size_t step : {1, 2, 3, 7, 64}) {
            HTTP_HEAD_SCAN scan;
            for (size_t length = std::min(step, whole.size());; length += step) {
                length = std::min(length, whole.size());
                Bytes prefix(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length));
                // The last look takes what is there; it is tried on a copy so the looks go on.
                HTTP_HEAD_SCAN last = scan;
                HTTP_REQUEST taken;
                HTTP_REQUEST takenAlone;
                std::string lastLook =
                    Describe(ParseHttpRequest(prefix, taken, true, &last), taken);
                ASSERT_EQ(lastLook,
                          Describe(ParseHttpRequest(prefix, takenAlone, true), takenAlone))
                    << name << " step " << step << " length " << length;

                HTTP_REQUEST grown;
                HTTP_REQUEST alone;
                HTTP_PARSE_OUTCOME outcome = ParseHttpRequest(prefix, grown, false, &scan);
                ASSERT_EQ(Describe(outcome, grown),
                          Describe(ParseHttpRequest(prefix, alone), alone))
                    << name << " step " << step << " length " << length;
                if (outcome.status != HttpParseStatus::Incomplete || length == whole.size()) {
                    break;
                }
            }
        }
    }
}

TEST(HttpRequestTest, ALookReadsOnlyWhatTheLastLookDidNotHave) {
    // Each case stops the first look in a long run of one step; the bytes that look read are then
    // spoiled so that reading them again would end the head (or show it is not HTTP). A parse
    // that goes on from where it stopped still finds the head unfinished.
    struct Case {
        const char* start;
        char run;
        char spoil;
        HttpParseStatus spoiledAlone;
    } cases[] = {
        {"GET", ' ', '\n', HttpParseStatus::NotHttp},              // blanks after the method
        {"GET /", 'a', '\n', HttpParseStatus::Complete},           // the target
        {"GET\t/", 'a', '\n', HttpParseStatus::Complete},          // a line split at other blanks
        {"GET /a HTTP/1.1", '\t', 'x', HttpParseStatus::NotHttp},  // blanks after the version
        {"\n", '\n', 'x', HttpParseStatus::NotHttp},               // empty lines first
        {"GET /a", ' ', 'x', HttpParseStatus::NotHttp},            // blanks after the target
        {"GET /a HTTP/1.1", ' ', 'x', HttpParseStatus::NotHttp},   // blanks after the version
        {"GET /a HTTP/1.1\r\nX: ", 'a', '\n', HttpParseStatus::Complete},  // one header line
    };
    constexpr size_t kRun = 4096;
    for (const Case& c : cases) {
        const size_t keep = std::string_view(c.start).size();
        Bytes bytes = ToBytes(c.start);
        bytes.insert(bytes.end(), kRun, static_cast<uint8_t>(c.run));
        HTTP_HEAD_SCAN scan;
        HTTP_REQUEST request;
        ASSERT_EQ(ParseHttpRequest(bytes, request, false, &scan).status,
                  HttpParseStatus::Incomplete)
            << c.start;
        std::fill(bytes.begin() + static_cast<ptrdiff_t>(keep + 1), bytes.end() - 1,
                  static_cast<uint8_t>(c.spoil));
        bytes.insert(bytes.end(), kRun, static_cast<uint8_t>(c.run));
        HTTP_REQUEST alone;
        ASSERT_EQ(ParseHttpRequest(bytes, alone).status, c.spoiledAlone) << c.start;
        EXPECT_EQ(ParseHttpRequest(bytes, request, false, &scan).status,
                  HttpParseStatus::Incomplete)
            << c.start;
    }
    // Header lines already read are not read again either, until the head is whole.
    Bytes lines = ToBytes("GET / HTTP/1.1\r\n");
    for (int i = 0; i < 200; ++i) {
        for (char c : std::string_view("X-Line: value\r\n")) {
            lines.push_back(static_cast<uint8_t>(c));
        }
    }
    HTTP_HEAD_SCAN scan;
    HTTP_REQUEST request;
    ASSERT_EQ(ParseHttpRequest(lines, request, false, &scan).status, HttpParseStatus::Incomplete);
    std::fill(lines.begin() + 16, lines.end(), static_cast<uint8_t>('\n'));
    lines.push_back('Y');
    EXPECT_EQ(ParseHttpRequest(lines, request, false, &scan).status, HttpParseStatus::Incomplete);
}

TEST(HttpRequestTest, ALookAtFewerBytesThanTheLastStartsAfresh) {
    Bytes first = ToBytes("GET /first-and-longer-target");
    HTTP_HEAD_SCAN scan;
    HTTP_REQUEST request;
    ASSERT_EQ(ParseHttpRequest(first, request, false, &scan).status, HttpParseStatus::Incomplete);
    Bytes other = ToBytes("PING\r\n");
    EXPECT_EQ(ParseHttpRequest(other, request, false, &scan).status, HttpParseStatus::NotHttp);
    // Emptied by an outcome that is not Incomplete: the next look reads from the start.
    Bytes next = ToBytes("POST /n HTTP/1.1\r\nHost: n.test\r\n\r\n");
    ASSERT_EQ(ParseHttpRequest(next, request, false, &scan).status, HttpParseStatus::Complete);
    EXPECT_EQ(request.Host(), "n.test");
    EXPECT_EQ(request.Method(), "POST");
}

// --- Captured requests ---

TEST(HttpRequestTest, CapturedBrowserRequest) {
    Bytes keep;
    Parsed p = Parse(ReadData("http/browser_get.bin"), keep);
    ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(p.request.Host(), "www.example-news.test");
    EXPECT_EQ(p.request.Path(), "/world/2024/article.html?ref=home");
    EXPECT_EQ(p.request.ProxyPrefix(), "");
    auto headers = p.request.Headers();
    ASSERT_EQ(headers.size(), 8u);
    EXPECT_EQ(headers[1].Name(), "User-Agent");
    // The user agent's own commas split it like any other value.
    EXPECT_EQ(ValuesOf(headers[1]),
              (std::vector<std::string>{"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:128.0) "
                                        "Gecko/20100101 Firefox/128.0"}));
    EXPECT_EQ(headers[2].valueCount, 6u);
    EXPECT_EQ(ValuesOf(headers[4]), (std::vector<std::string>{"gzip", "deflate"}));
    EXPECT_EQ(ValuesOf(headers[7]), (std::vector<std::string>{"u=0", "i"}));
    for (const HTTP_HEADER& header : headers) {
        EXPECT_GE(reinterpret_cast<const uint8_t*>(header.name), keep.data());
        EXPECT_LE(reinterpret_cast<const uint8_t*>(header.name) + header.nameLength,
                  keep.data() + keep.size());
    }
}

TEST(HttpRequestTest, CapturedProxyRequest) {
    Bytes keep;
    Parsed p = Parse(ReadData("http/proxy_get.bin"), keep);
    ASSERT_EQ(p.outcome.status, HttpParseStatus::Complete);
    EXPECT_EQ(p.request.ProxyPrefix(), "http://www.example-news.test");
    EXPECT_EQ(p.request.Path(), "/world/2024/article.html?ref=home");
    EXPECT_EQ(p.request.Host(), "www.example-news.test");
}

TEST(HttpRequestTest, EveryTruncationOfCapturedRequestIsIncomplete) {
    for (const char* name : {"http/browser_get.bin", "http/proxy_get.bin"}) {
        Bytes whole = ReadData(name);
        ASSERT_GT(whole.size(), 300u);
        for (size_t length = 1; length < whole.size(); ++length) {
            Bytes prefix(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length));
            HTTP_REQUEST request;
            HTTP_PARSE_OUTCOME outcome = ParseHttpRequest(prefix, request);
            ASSERT_EQ(outcome.status, HttpParseStatus::Incomplete) << name << " at " << length;
            ASSERT_EQ(outcome.missing, 1u) << name << " at " << length;
        }
    }
}

}  // namespace
}  // namespace wexo::drv
