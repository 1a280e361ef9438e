// Ways of asking for a page that the policy blocks, each over the whole pipeline (a connection on
// the simulated network, the driver, the service and the reference policy server on loopback):
// every spelling of a blocked host or path that a browser, curl or a few lines of script can send
// must be redirected or closed with nothing of it reaching the server, and the same spelling of an
// allowed host or path must reach the server byte for byte, with nothing injected toward the
// client. A filter is judged by what gets past it, so each case says exactly what the server end
// may have received.
//
// Every case starts a pipeline of its own: a start costs a few milliseconds, and no case can then
// be decided (or passed) by what the caches learnt from another.
#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/pipeline/pipeline.h"

namespace wexo::integration {
namespace {

// A connection that names no host is looked up by its destination address as text, so the
// policy server decides it: 198.51.100.66 is blocked, 198.51.100.67 is not.
constexpr const char* kPolicy =
    "[settings]\n"
    "BlockOnFailure = true\n"
    "CacheTimeout = 300\n"
    "[rules]\n"
    "allow url news.test/world/weather/\n"
    "block url news.test/world/\n"
    "block host games.test\n"
    "block host 198.51.100.66\n";

constexpr uint8_t kSite = 10;  // 198.51.100.10: a web server that serves every host
constexpr uint8_t kBlockedAddress = 66;
constexpr uint8_t kAllowedAddress = 67;
// Real time. A lookup goes over loopback to the policy server and takes milliseconds, but the
// service's first one of a run may wait for its first refresh of the filter-server addresses,
// which can take the resolver's 5-second time-out: the bound stays above that.
constexpr uint32_t kBound = 10'000;
// For what follows from a verdict already seen.
constexpr uint32_t kFollowUp = 1000;

// What the test's server answers to each allowed request, and what either end sends once a
// connection has been judged.
constexpr const char* kResponse = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
constexpr const char* kLaterRequest = "GET /later HTTP/1.1\r\nHost: ok.test\r\n\r\n";
constexpr const char* kLaterResponse = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nlater";

enum class Verdict { Blocked, Allowed };

// ---- Building requests ----

std::string Join(const std::vector<std::string>& parts) {
    std::string all;
    for (const std::string& part : parts) {
        all += part;
    }
    return all;
}

std::vector<std::string> Split(const std::string& text, size_t size) {
    std::vector<std::string> parts;
    for (size_t at = 0; at < text.size(); at += size) {
        parts.push_back(text.substr(at, size));
    }
    return parts;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// "Games.Test": every label capitalised.
std::string Capitalised(std::string text) {
    bool start = true;
    for (char& c : text) {
        if (start) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        start = c == '.';
    }
    return text;
}

std::string ReadData(const std::string& name) {
    std::ifstream file(std::string(WEXO_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string Get(const std::string& host, const std::string& path = "/x") {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

std::string Post(const std::string& host, const std::string& body) {
    return "POST /form HTTP/1.1\r\nHost: " + host +
           "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string ChunkedPostHead(const std::string& host) {
    return "POST /upload HTTP/1.1\r\nHost: " + host + "\r\nTransfer-Encoding: chunked\r\n\r\n";
}

std::string Chunked(const std::string& body) {
    std::ostringstream chunk;
    chunk << std::hex << body.size();
    return chunk.str() + "\r\n" + body + "\r\n0\r\n\r\n";
}

// Header lines of about `bytes` bytes in all, as a large cookie jar makes them.
std::string Filler(size_t bytes) {
    std::string lines;
    for (int n = 0; lines.size() < bytes; ++n) {
        lines += "Cookie: c" + std::to_string(n) + "=" +
                 std::string(1000, static_cast<char>('a' + n % 26)) + "\r\n";
    }
    return lines;
}

std::string LargeHead(const std::string& host, size_t bytes, bool hostFirst) {
    const std::string hostLine = "Host: " + host + "\r\n";
    return "GET /x HTTP/1.1\r\n" + (hostFirst ? hostLine : "") + Filler(bytes) +
           (hostFirst ? "" : hostLine) + "\r\n";
}

// ---- HTTP/2 with prior knowledge ----

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

std::string Http2Frame(uint8_t type, uint8_t flags, uint32_t stream, const std::string& payload) {
    const auto length = static_cast<uint32_t>(payload.size());
    std::string frame = {static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                         static_cast<char>(length),       static_cast<char>(type),
                         static_cast<char>(flags),        static_cast<char>(stream >> 24),
                         static_cast<char>(stream >> 16), static_cast<char>(stream >> 8),
                         static_cast<char>(stream)};
    return frame + payload;
}

std::string Uint32(uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

// The header block as a client's HPACK encoder writes it (Huffman-coded where that is shorter).
std::string HeaderBlock(const HeaderFields& fields) {
    nghttp2_hd_deflater* deflater = nullptr;
    if (nghttp2_hd_deflate_new(&deflater, 4096) != 0) {
        return {};
    }
    std::vector<nghttp2_nv> list;
    for (const auto& [name, value] : fields) {
        list.push_back({const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(name.data())),
                        const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(value.data())),
                        name.size(), value.size(), NGHTTP2_NV_FLAG_NONE});
    }
    std::string block(nghttp2_hd_deflate_bound(deflater, list.data(), list.size()), '\0');
    const auto written = nghttp2_hd_deflate_hd(deflater, reinterpret_cast<uint8_t*>(block.data()),
                                               block.size(), list.data(), list.size());
    nghttp2_hd_deflate_del(deflater);
    block.resize(written < 0 ? 0 : static_cast<size_t>(written));
    return block;
}

struct H2_SHAPE {
    bool priorityAndPadding = false;  // HEADERS flags PRIORITY and PADDED, as some browsers send
    bool continuation = false;        // the header block split over HEADERS and CONTINUATION
};

HeaderFields H2Fields(const std::string& authority, const std::string& path) {
    return {{":method", "GET"}, {":scheme", "http"},          {":authority", authority},
            {":path", path},    {"user-agent", "curl/8.5.0"}, {"accept", "*/*"}};
}

// What curl --http2-prior-knowledge sends first: preface, SETTINGS, WINDOW_UPDATE, HEADERS.
std::string Http2Request(const HeaderFields& fields, H2_SHAPE shape = {}) {
    constexpr uint8_t kHeaders = 1, kSettings = 4, kWindowUpdate = 8, kContinuation = 9;
    constexpr uint8_t kEndStream = 0x1, kEndHeaders = 0x4, kPadded = 0x8, kPriority = 0x20;
    std::string settings = std::string("\x00\x03", 2) + Uint32(100) + std::string("\x00\x04", 2) +
                           Uint32(10485760) + std::string("\x00\x02", 2) + Uint32(0);
    std::string request = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" +
                          Http2Frame(kSettings, 0, 0, settings) +
                          Http2Frame(kWindowUpdate, 0, 0, Uint32(1048510465));
    const std::string block = HeaderBlock(fields);
    std::string first = block;
    std::string rest;
    if (shape.continuation) {
        first = block.substr(0, block.size() / 2);
        rest = block.substr(block.size() / 2);
    }
    uint8_t flags = kEndStream | (shape.continuation ? 0 : kEndHeaders);
    std::string payload = first;
    if (shape.priorityAndPadding) {
        flags |= kPadded | kPriority;
        payload = std::string(1, '\x07') + Uint32(0x80000000u) + std::string(1, '\xFF') + first +
                  std::string(7, '\0');
    }
    request += Http2Frame(kHeaders, flags, 1, payload);
    if (shape.continuation) {
        request += Http2Frame(kContinuation, kEndHeaders, 1, rest);
    }
    return request;
}

// ---- TLS ----

uint16_t Read16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>((static_cast<uint8_t>(bytes[at]) << 8) |
                                 static_cast<uint8_t>(bytes[at + 1]));
}

std::string Write16(size_t value) {
    return {static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string Extension(uint16_t type, const std::string& body) {
    return Write16(type) + Write16(body.size()) + body;
}

// A captured client hello rewritten: its server name replaced (none when `serverName` is empty),
// a padding extension of `padding` bytes added, and the handshake message cut into records of at
// most `recordSize` bytes (a hello over 16 KB spans records; a client may also fragment a small
// one).
std::string ClientHello(const std::string& capture, const std::string& serverName,
                        size_t padding = 0, size_t recordSize = 16384) {
    const std::string handshake = capture.substr(5, Read16(capture, 3));
    std::string body = handshake.substr(4);
    size_t at = 2 + 32;
    at += 1 + static_cast<uint8_t>(body[at]);  // session ID
    at += 2 + Read16(body, at);                // cipher suites
    at += 1 + static_cast<uint8_t>(body[at]);  // compression methods
    const size_t extensionsEnd = at + 2 + Read16(body, at);
    std::string extensions;
    if (!serverName.empty()) {
        const std::string entry = std::string(1, '\0') + Write16(serverName.size()) + serverName;
        extensions += Extension(0, Write16(entry.size()) + entry);
    }
    if (padding > 0) {
        extensions += Extension(21, std::string(padding, '\0'));
    }
    for (size_t e = at + 2; e + 4 <= extensionsEnd; e += 4 + Read16(body, e + 2)) {
        const uint16_t type = Read16(body, e);
        if (type != 0 && type != 21) {
            extensions += body.substr(e, 4 + Read16(body, e + 2));
        }
    }
    body = body.substr(0, at) + Write16(extensions.size()) + extensions;
    const std::string message =
        std::string(1, '\x01') + static_cast<char>(body.size() >> 16) + Write16(body.size()) + body;
    std::string records;
    for (const std::string& fragment : Split(message, recordSize)) {
        records +=
            std::string(1, '\x16') + capture.substr(1, 2) + Write16(fragment.size()) + fragment;
    }
    return records;
}

// The same records with every header's minor version set to `minor` (when not negative), and an
// empty handshake record before each when `emptyBefore`: framing a server's record layer takes.
std::string Reframed(const std::string& records, int minor, bool emptyBefore) {
    std::string out;
    for (size_t at = 0; at + 5 <= records.size();) {
        std::string record = records.substr(at, 5 + Read16(records, at + 3));
        if (minor >= 0) {
            record[2] = static_cast<char>(minor);
        }
        if (emptyBefore) {
            out += std::string("\x16\x03\x01\x00\x00", 5);
        }
        out += record;
        at += record.size();
    }
    return out;
}

// A hello whose handshake message is of a type no parse reads as a client hello.
std::string Mangled(std::string hello) {
    hello[5] = '\x63';
    return hello;
}

std::string TlsRecord(uint8_t type, const std::string& body) {
    return std::string(1, static_cast<char>(type)) + "\x03\x03" + Write16(body.size()) + body;
}

// What a client sends after the server's first flight (key exchange, change cipher spec,
// finished) and what either end sends once the handshake is done; the filter reads none of it.
const std::string kClientSecondFlight = TlsRecord(22, std::string(37, '\x10')) +
                                        TlsRecord(20, "\x01") + TlsRecord(22, std::string(40, 'f'));
const std::string kClientRecord = TlsRecord(23, "GET /x HTTP/1.1\r\nHost: games.test\r\n\r\n");
const std::string kServerRecord = TlsRecord(23, std::string(64, 's'));

// ---- Printing ----

std::string Printable(const std::string& bytes, size_t limit = 160) {
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            static constexpr char kDigits[] = "0123456789abcdef";
            text += std::string("\\x") + kDigits[c >> 4] + kDigits[c & 0xF];
        } else {
            text += static_cast<char>(c);
        }
    }
    if (bytes.size() > limit) {
        text += "... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return "\"" + text + "\"";
}

// Compares byte strings of up to 70 KB with a message that stays readable.
void ExpectBytes(const std::string& actual, const std::string& expected, const std::string& what) {
    if (actual == expected) {
        return;
    }
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
        ++at;
    }
    const size_t from = at < 40 ? 0 : at - 40;
    ADD_FAILURE() << what << ": received " << actual.size() << " bytes, expected "
                  << expected.size() << "; they differ from byte " << at << ":\n  received "
                  << Printable(actual.substr(from)) << "\n  expected "
                  << Printable(expected.substr(from));
}

// ---- The cases ----

struct HttpCase {
    std::string name;
    std::vector<std::string> segments;  // one client send each
    bool fin = false;                   // the last segment goes with the client's FIN
    uint8_t address = kSite;            // 198.51.100.<address>
    uint16_t port = 80;
    Verdict expected = Verdict::Allowed;
    // What the server end receives: for a blocked case the allowed requests of the connection
    // before the blocked one (nothing on a new connection); for an allowed one all the client sent.
    std::string server;
    // The server answers once it has the first `answeredAfter` segments, before the client sends
    // the rest: a browser that follows a link on a keep-alive connection.
    size_t answeredAfter = 0;
    // A blocked request on a new connection must get the block page, not only a close.
    bool redirected = false;
    // Framing that a server may read two ways: the filter may refuse the whole connection.
    bool mayRefuseWhole = false;

    HttpCase At(uint8_t remote, uint16_t remotePort = 80) && {
        address = remote;
        port = remotePort;
        return std::move(*this);
    }
    HttpCase WithFin() && {
        fin = true;
        return std::move(*this);
    }
    HttpCase ServerGets(std::string bytes) && {
        server = std::move(bytes);
        return std::move(*this);
    }
    HttpCase AnsweredAfter(size_t segmentCount) && {
        answeredAfter = segmentCount;
        return std::move(*this);
    }
    HttpCase Redirected() && {
        redirected = true;
        return std::move(*this);
    }
    HttpCase MayRefuseWhole() && {
        mayRefuseWhole = true;
        return std::move(*this);
    }
};

void PrintTo(const HttpCase& c, std::ostream* out) {
    *out << c.name;
}

HttpCase Blocked(std::string name, std::vector<std::string> segments) {
    HttpCase c;
    c.name = std::move(name);
    c.segments = std::move(segments);
    c.expected = Verdict::Blocked;
    return c;
}

HttpCase Allowed(std::string name, std::vector<std::string> segments) {
    HttpCase c;
    c.name = std::move(name);
    c.server = Join(segments);
    c.segments = std::move(segments);
    c.expected = Verdict::Allowed;
    return c;
}

std::vector<HttpCase> HttpCases() {
    std::vector<HttpCase> cases;
    using Make = std::function<std::vector<std::string>(const std::string& host)>;
    // The same spelling for the blocked host and for an allowed one.
    auto hosts = [&cases](const std::string& spelling, const Make& make) {
        cases.push_back(Blocked("BlockedHost" + spelling, make("games.test")));
        cases.push_back(Allowed("AllowedHost" + spelling, make("ok.test")));
    };
    auto one = [](std::string request) { return std::vector<std::string>{std::move(request)}; };

    // ---- Host names as servers read them
    cases.push_back(Blocked("BlockedHost", {Get("games.test")}).Redirected());
    cases.push_back(Allowed("AllowedHost", {Get("ok.test")}));
    cases.push_back(Blocked("BlockedSubdomain", {Get("www.games.test")}));
    hosts("InUpperCase", [&](const std::string& h) { return one(Get(Upper(h))); });
    hosts("InMixedCase", [&](const std::string& h) { return one(Get(Capitalised(h))); });
    hosts("WithATrailingDot", [&](const std::string& h) { return one(Get(h + ".")); });
    hosts("WithBlanksAroundIt", [&](const std::string& h) {
        return one("GET /x HTTP/1.1\r\nHost: \t " + h + " \t\r\n\r\n");
    });
    hosts("WithAPort", [&](const std::string& h) { return one(Get(h + ":80")); });
    hosts("InUpperCaseWithATrailingDotAndAPort",
          [&](const std::string& h) { return one(Get(Upper(h) + ".:80")); });
    hosts("WithAPortOfLeadingZeros", [&](const std::string& h) { return one(Get(h + ":0080")); });
    hosts("OnAnotherPort", [&](const std::string& h) { return one(Get(h + ":8080")); });
    for (size_t i = cases.size() - 2; i < cases.size(); ++i) {
        cases[i].port = 8080;
    }
    hosts("HeaderNameInLowerCase",
          [&](const std::string& h) { return one("GET /x HTTP/1.1\r\nhost: " + h + "\r\n\r\n"); });
    hosts("HeaderNameInUpperCase",
          [&](const std::string& h) { return one("GET /x HTTP/1.1\r\nHOST: " + h + "\r\n\r\n"); });
    hosts("HeaderAfterOtherHeaders", [&](const std::string& h) {
        return one("GET /x HTTP/1.1\r\nUser-Agent: curl/8.5.0\r\nAccept: */*\r\nHost: " + h +
                   "\r\n\r\n");
    });
    hosts("InHttp10",
          [&](const std::string& h) { return one("GET /x HTTP/1.0\r\nHost: " + h + "\r\n\r\n"); });
    hosts("WithAWebSocketUpgrade", [&](const std::string& h) {
        return one("GET /chat HTTP/1.1\r\nHost: " + h +
                   "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                   "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    });

    // ---- Absolute form: the target names the host, whatever the Host header says
    auto absolute = [](const std::string& target, const std::string& hostHeader) {
        return "GET " + target + " HTTP/1.1\r\nHost: " + hostHeader + "\r\n\r\n";
    };
    hosts("InAbsoluteForm",
          [&](const std::string& h) { return one(absolute("http://" + h + "/x", h)); });
    hosts("InAbsoluteFormWithTheSchemeInUpperCase",
          [&](const std::string& h) { return one(absolute("HTTP://" + h + "/x", h)); });
    hosts("InAbsoluteFormWithTheSchemeInMixedCase",
          [&](const std::string& h) { return one(absolute("hTtP://" + h + "/x", h)); });
    hosts("InAbsoluteFormWithTheHttpsScheme",
          [&](const std::string& h) { return one(absolute("https://" + h + "/x", h)); });
    hosts("InAbsoluteFormWithoutAPath",
          [&](const std::string& h) { return one(absolute("http://" + h, h)); });
    hosts("InAbsoluteFormWithAQueryAndNoPath",
          [&](const std::string& h) { return one(absolute("http://" + h + "?q=1", h)); });
    hosts("InAbsoluteFormWithUserInfo",
          [&](const std::string& h) { return one(absolute("http://u:p@" + h + "/", h)); });
    hosts("InAbsoluteFormWithAPort",
          [&](const std::string& h) { return one(absolute("http://" + h + ":80/x", h)); });
    hosts("InAbsoluteFormInUpperCaseWithATrailingDot",
          [&](const std::string& h) { return one(absolute("HTTP://" + Upper(h) + "./x", h)); });
    hosts("InAbsoluteFormWithAnEmptyAuthority",
          [&](const std::string& h) { return one(absolute("http:///x", h)); });
    // A proxy takes the target (RFC 9112 3.2.2), many servers the Host header: blocked if either
    // names a blocked host.
    cases.push_back(Blocked("BlockedHostInAbsoluteFormWithTheOtherHostInTheHostHeader",
                            {absolute("http://games.test/x", "ok.test")}));
    cases.push_back(Blocked("AllowedHostInAbsoluteFormWithABlockedHostInTheHostHeader",
                            {absolute("http://ok.test/x", "games.test")}));
    hosts("InAbsoluteFormWithTheOtherHostAsUserInfo", [&](const std::string& h) {
        const std::string other = h == "games.test" ? "ok.test" : "games.test";
        return one(absolute("http://" + other + "@" + h + "/", h));
    });

    // ---- Framing of the request line
    hosts("AfterLeadingEmptyLines", [&](const std::string& h) { return one("\r\n\r\n" + Get(h)); });
    hosts("AfterALeadingEmptyLineInASegmentOfItsOwn", [&](const std::string& h) {
        return std::vector<std::string>{"\r\n", Get(h)};
    });
    hosts("WithBareLineFeeds",
          [&](const std::string& h) { return one("GET /x HTTP/1.1\nHost: " + h + "\n\n"); });
    hosts("WithBareLineFeedsAfterALeadingEmptyLine",
          [&](const std::string& h) { return one("\nGET /x HTTP/1.1\nHost: " + h + "\n\n"); });

    // ---- Host values that name more than one host
    cases.push_back(Blocked("HostValueIsAListWithTheBlockedHostFirst",
                            {"GET /x HTTP/1.1\r\nHost: games.test, ok.test\r\n\r\n"}));
    cases.push_back(Blocked("HostValueIsAListWithTheBlockedHostLast",
                            {"GET /x HTTP/1.1\r\nHost: ok.test, games.test\r\n\r\n"}));
    cases.push_back(Blocked("RepeatedHostHeadersWithTheBlockedHostFirst",
                            {"GET /x HTTP/1.1\r\nHost: games.test\r\nHost: ok.test\r\n\r\n"}));
    cases.push_back(Blocked("RepeatedHostHeadersWithTheBlockedHostLast",
                            {"GET /x HTTP/1.1\r\nHost: ok.test\r\nHost: games.test\r\n\r\n"}));

    // ---- No host named: the destination address decides
    cases.push_back(Blocked("Http10WithoutAHostToABlockedAddress", {"GET /x HTTP/1.0\r\n\r\n"})
                        .At(kBlockedAddress));
    cases.push_back(Allowed("Http10WithoutAHostToAnAllowedAddress", {"GET /x HTTP/1.0\r\n\r\n"})
                        .At(kAllowedAddress));
    cases.push_back(Blocked("EmptyHostToABlockedAddress", {"GET /x HTTP/1.1\r\nHost: \r\n\r\n"})
                        .At(kBlockedAddress));
    cases.push_back(Allowed("EmptyHostToAnAllowedAddress", {"GET /x HTTP/1.1\r\nHost: \r\n\r\n"})
                        .At(kAllowedAddress));
    cases.push_back(Blocked("HostIsTheBlockedAddress", {Get("198.51.100.66")}).At(kBlockedAddress));
    cases.push_back(Blocked("AbsoluteFormNamesTheBlockedAddress",
                            {absolute("http://198.51.100.66/x", "198.51.100.66")})
                        .At(kBlockedAddress));

    // ---- Every method
    struct METHOD {
        const char* token;
        const char* name;
        bool body;
    };
    const METHOD methods[] = {
        {"GET", "Get", false},         {"HEAD", "Head", false},         {"DELETE", "Delete", false},
        {"OPTIONS", "Options", false}, {"PROPFIND", "Propfind", false}, {"POST", "Post", true},
        {"PUT", "Put", true},          {"PATCH", "Patch", true}};
    for (const METHOD& method : methods) {
        auto request = [&](const std::string& host) {
            return std::string(method.token) + " /x HTTP/1.1\r\nHost: " + host +
                   (method.body ? "\r\nContent-Type: text/plain\r\nContent-Length: 11\r\n\r\n"
                                  "hello world"
                                : "\r\n\r\n");
        };
        const std::string name = std::string("Method") + method.name;
        cases.push_back(Blocked(name + "ToABlockedHost", {request("games.test")}).Redirected());
        cases.push_back(Allowed(name + "ToAnAllowedHost", {request("ok.test")}));
    }
    cases.push_back(
        Blocked("MethodPostToABlockedPath", {"POST /world/x HTTP/1.1\r\nHost: news.test\r\n"
                                             "Content-Length: 3\r\n\r\na=1"})
            .Redirected());
    hosts("ThroughAProxyTunnel", [&](const std::string& h) {
        return one("CONNECT " + h + ":443 HTTP/1.1\r\nHost: " + h + ":443\r\n\r\n");
    });

    // ---- Inside an allowed tunnel: the connection a CONNECT opens is judged as a direct one
    auto connect = [](const std::string& h) {
        return "CONNECT " + h + ":80 HTTP/1.1\r\nHost: " + h + ":80\r\n\r\n";
    };
    const std::string tunnel = connect("ok.test");
    cases.push_back(Blocked("TunnelThenABlockedHostInTheSameSegment", {tunnel + Get("games.test")})
                        .ServerGets(tunnel));
    cases.push_back(Allowed("TunnelThenAnAllowedHostInTheSameSegment", {tunnel + Get("ok.test")}));
    cases.push_back(
        Blocked("TunnelThenABlockedHostBeforeTheProxyAnswered", {tunnel, Get("games.test")})
            .ServerGets(tunnel));
    cases.push_back(
        Blocked("TunnelThenABlockedHostAfterTheProxyAnswered", {tunnel, Get("games.test")})
            .ServerGets(tunnel)
            .AnsweredAfter(1));
    cases.push_back(
        Allowed("TunnelThenAnAllowedHostAfterTheProxyAnswered", {tunnel, Get("ok.test")})
            .AnsweredAfter(1));
    cases.push_back(
        Blocked("TunnelThenABlockedPathByteByByte", Split(tunnel + Get("news.test", "/world/x"), 1))
            .ServerGets(tunnel));
    cases.push_back(Blocked("TunnelInATunnelThenABlockedHost",
                            {tunnel + connect("ok2.test") + Get("games.test")})
                        .ServerGets(tunnel + connect("ok2.test")));
    cases.push_back(Blocked("TunnelKeptAliveAllowedThenABlockedHost",
                            {tunnel + Get("ok.test", "/a"), Get("games.test")})
                        .ServerGets(tunnel + Get("ok.test", "/a"))
                        .AnsweredAfter(1));
    // The preface and settings go on before the request is judged; its HEADERS do not.
    const std::string blockedH2 = Http2Request(H2Fields("games.test", "/x"));
    cases.push_back(Blocked("TunnelThenHttp2ToABlockedHost", {tunnel + blockedH2})
                        .ServerGets(tunnel + blockedH2.substr(0, 64)));
    cases.push_back(Allowed("TunnelThenHttp2ToAnAllowedHost",
                            {tunnel + Http2Request(H2Fields("ok.test", "/x"))}));

    // ---- Paths as servers read them (path rules compare without regard to letter case)
    struct PATH_SPELLING {
        const char* name;
        const char* blocked;  // names news.test/world/...
        const char* allowed;  // names news.test/world/weather/... or another section
    };
    const PATH_SPELLING paths[] = {
        {"", "/world/x", "/world/weather/x"},
        {"InUpperCase", "/WORLD/X", "/WORLD/WEATHER/X"},
        {"WithAnEncodedLetter", "/%77orld/x", "/%77orld/weather/x"},
        {"WithEveryLetterEncoded", "/%77%6F%72%6C%64/x", "/world/%77%65%61%74%68%65%72/x"},
        {"WithAnEncodedSlash", "/world%2Fx", "/world%2Fweather/x"},
        {"WithADotSegment", "/./world/x", "/world/./weather/x"},
        {"WithADotDotSegment", "/sport/../world/x", "/sport/../world/weather/x"},
        {"WithAnEncodedDotDotSegment", "/sport/%2e%2e/world/x", "/sport/%2e%2e/world/weather/x"},
        {"WithAnEncodedDotDotSegmentInUpperCase", "/sport/%2E%2E/world/x",
         "/sport/%2E%2E/world/weather/x"},
        {"WithADotDotAboveTheRoot", "/../world/x", "/../world/weather/x"},
        {"WithALeadingDoubleSlash", "//world/x", "//world/weather/x"},
        {"WithADoubleSlashInside", "/world//x", "/world//weather/x"},
        {"WithAQuery", "/world/x?page=2", "/world/weather/x?page=2"},
        {"ThatLeavesTheAllowedPath", "/world/weather/../x", "/world/x/../weather/y"},
        {"ThatLeavesTheAllowedPathEncoded", "/world/weather/%2e%2e/x", "/world/../sport/"},
        {"WithAFragmentThatClimbsOut", "/world/x#/../../sport/", "/sport/#/../world/"},
        {"WithBackslashes", "\\world\\x", "\\world\\weather\\x"},
        {"WithAnEncodedBackslash", "/world%5Cx", "/world%5Cweather/x"},
        {"WithPathParameters", "/world;v=1/x", "/sport;v=1/x"},
        {"WithAPathParameterAfterADotDot", "/sport/..;/world/x", "/sport/..;/sport/x"},
    };
    for (const PATH_SPELLING& path : paths) {
        cases.push_back(
            Blocked(std::string("BlockedPath") + path.name, {Get("news.test", path.blocked)}));
        // The plain spelling on a new connection gets the block page itself.
        cases.back().redirected = *path.name == '\0';
        cases.push_back(
            Allowed(std::string("AllowedPath") + path.name, {Get("news.test", path.allowed)}));
    }
    cases.push_back(Allowed("AllowedSection", {Get("news.test", "/sport/")}));
    cases.push_back(Allowed("AllowedSectionWithAnEncodedLetter", {Get("news.test", "/%73port/x")}));
    cases.push_back(Blocked("BlockedPathInAbsoluteForm",
                            {absolute("http://news.test/sport/../world/x", "news.test")}));
    cases.push_back(Allowed("AllowedPathInAbsoluteForm",
                            {absolute("http://news.test/world/./weather/x", "news.test")}));
    cases.push_back(
        Blocked("BlockedPathWithAHostInUpperCaseAndATrailingDot", {Get("NEWS.TEST.", "/world/x")}));

    // ---- Every request of a keep-alive connection
    const std::string first = Get("ok.test", "/a");
    cases.push_back(Blocked("KeepAliveAllowedThenBlockedHost", {first, Get("games.test")})
                        .ServerGets(first)
                        .AnsweredAfter(1));
    cases.push_back(Blocked("KeepAliveAllowedThenBlockedPath",
                            {Get("news.test", "/sport/"), Get("news.test", "/world/x")})
                        .ServerGets(Get("news.test", "/sport/"))
                        .AnsweredAfter(1));
    cases.push_back(Blocked("KeepAliveAllowedPathThenTheBlockedPathBeside",
                            {Get("news.test", "/world/weather/x"), Get("news.test", "/world/x")})
                        .ServerGets(Get("news.test", "/world/weather/x"))
                        .AnsweredAfter(1));
    cases.push_back(
        Blocked("KeepAliveThirdRequestBlocked", {first, Get("ok.test", "/b"), Get("GAMES.TEST.")})
            .ServerGets(first + Get("ok.test", "/b"))
            .AnsweredAfter(1));
    cases.push_back(
        Allowed("KeepAliveAllowedThenAllowed", {first, Get("ok.test", "/b")}).AnsweredAfter(1));
    cases.push_back(Allowed("KeepAliveAllowedThenAllowedPath",
                            {Get("news.test", "/sport/"), Get("news.test", "/world/weather/x")})
                        .AnsweredAfter(1));

    // ---- A proxy connection: every site through one connection
    const std::string viaProxy =
        "GET http://ok.test/ HTTP/1.1\r\nHost: ok.test\r\nProxy-Connection: keep-alive\r\n\r\n";
    cases.push_back(Blocked("ProxyConnectionAllowedThenBlockedHost",
                            {viaProxy,
                             "GET http://games.test/ HTTP/1.1\r\nHost: games.test\r\n"
                             "Proxy-Connection: keep-alive\r\n\r\n"})
                        .ServerGets(viaProxy)
                        .AnsweredAfter(1));
    cases.push_back(Blocked("ProxyConnectionAllowedThenBlockedPath",
                            {viaProxy,
                             "GET http://news.test/world/x HTTP/1.1\r\nHost: news.test\r\n"
                             "Proxy-Connection: keep-alive\r\n\r\n"})
                        .ServerGets(viaProxy)
                        .AnsweredAfter(1));
    cases.push_back(Allowed("ProxyConnectionAllowedThenAllowed",
                            {viaProxy,
                             "GET http://news.test/sport/ HTTP/1.1\r\nHost: news.test\r\n"
                             "Proxy-Connection: keep-alive\r\n\r\n"})
                        .AnsweredAfter(1));
    cases.push_back(Blocked("ProxyConnectionAllowedThenACapturedProxyRequestForABlockedHost",
                            {viaProxy, ReplaceAll(ReadData("http/proxy_get.bin"),
                                                  "www.example-news.test", "games.test")})
                        .ServerGets(viaProxy)
                        .AnsweredAfter(1));

    // ---- Pipelining: requests sent without waiting for the answers
    cases.push_back(Blocked("PipelinedAllowedAndBlockedInOneSegment", {first + Get("games.test")})
                        .ServerGets(first));
    cases.push_back(Blocked("PipelinedAllowedAndBlockedPathInOneSegment",
                            {Get("news.test", "/sport/") + Get("news.test", "/%77orld/x")})
                        .ServerGets(Get("news.test", "/sport/")));
    cases.push_back(
        Blocked("PipelinedWhileTheLookupIsPending", {first, Get("games.test")}).ServerGets(first));
    cases.push_back(Blocked("PipelinedWithTheClientsFin", {first + Get("games.test")})
                        .WithFin()
                        .ServerGets(first));
    cases.push_back(Allowed("PipelinedAllowedAndAllowedInOneSegment",
                            {first + Get("news.test", "/world/weather/x")}));

    // ---- Bodies: skipped by their framing, never read as requests
    const std::string post = Post("ok.test", "name=pupil&q=1");
    cases.push_back(Blocked("PostWithABodyThenABlockedGet", {post, Get("games.test")})
                        .ServerGets(post)
                        .AnsweredAfter(1));
    cases.push_back(Blocked("PostWithABodyAndABlockedGetInOneSegment", {post + Get("games.test")})
                        .ServerGets(post));
    const std::string postHead = post.substr(0, post.size() - 14);
    cases.push_back(Blocked("PostWithItsBodyInLaterSegmentsThenABlockedGet",
                            {postHead, "name=pu", "pil&q=1", Get("games.test")})
                        .ServerGets(post));
    cases.push_back(Allowed("PostWithItsBodyInLaterSegments", {postHead, "name=pu", "pil&q=1"}));
    cases.push_back(
        Blocked("PostBodyThenAnEmptyLineThenABlockedGet", {post + "\r\n" + Get("games.test")})
            .ServerGets(post + "\r\n"));
    const std::string chunked = ChunkedPostHead("ok.test") + Chunked("a=1&b=2");
    cases.push_back(Blocked("ChunkedPostThenABlockedGet", {chunked, Get("games.test")})
                        .ServerGets(chunked)
                        .AnsweredAfter(1));
    cases.push_back(Blocked("ChunkedPostAndABlockedGetInOneSegment", {chunked + Get("games.test")})
                        .ServerGets(chunked));
    const std::string chunkedWithTrailer = ChunkedPostHead("ok.test") +
                                           "3;name=value\r\nabc\r\nA\r\n0123456789\r\n0\r\n"
                                           "Checksum: 1\r\n\r\n";
    cases.push_back(Blocked("ChunkedPostWithExtensionsAndATrailerThenABlockedGet",
                            {chunkedWithTrailer + Get("games.test")})
                        .ServerGets(chunkedWithTrailer));
    std::vector<std::string> chunkedInPieces = Split(chunkedWithTrailer, 5);
    chunkedInPieces.push_back(Get("games.test"));
    cases.push_back(Blocked("ChunkedPostInSmallSegmentsThenABlockedGet", chunkedInPieces)
                        .ServerGets(chunkedWithTrailer));
    const std::string lookalike = Get("games.test");
    cases.push_back(Allowed("BodyThatLooksLikeABlockedRequest",
                            {Post("ok.test", lookalike), Get("ok.test", "/b")}));
    cases.push_back(Allowed(
        "BodyThatLooksLikeABlockedRequestInASegmentOfItsOwn",
        {Post("ok.test", lookalike).substr(0, Post("ok.test", lookalike).size() - lookalike.size()),
         lookalike}));
    cases.push_back(
        Allowed("ChunkedBodyThatLooksLikeABlockedRequest",
                {ChunkedPostHead("ok.test") + Chunked(lookalike), Get("ok.test", "/b")}));
    // Transfer-Encoding wins over Content-Length (RFC 9112 6.3): the GET after the empty chunk
    // is a request of its own to a server, though Content-Length would make it body.
    const std::string smuggledGet = Get("games.test");
    const std::string smugglingHead = "POST /form HTTP/1.1\r\nHost: ok.test\r\nContent-Length: " +
                                      std::to_string(5 + smuggledGet.size()) +
                                      "\r\nTransfer-Encoding: chunked\r\n\r\n";
    cases.push_back(Blocked("ChunkedAndContentLengthTogetherHideABlockedGet",
                            {smugglingHead + "0\r\n\r\n" + smuggledGet})
                        .ServerGets(smugglingHead + "0\r\n\r\n")
                        .MayRefuseWhole());

    // ---- A browser's own request
    const std::string browserGet = ReadData("http/browser_get.bin");
    cases.push_back(Blocked("BrowserRequestForABlockedHostAfterAnAllowedOne",
                            {first, ReplaceAll(browserGet, "www.example-news.test", "games.test")})
                        .ServerGets(first)
                        .AnsweredAfter(1));
    cases.push_back(Blocked("BrowserRequestForABlockedPathAfterAnAllowedOne",
                            {first, ReplaceAll(browserGet, "www.example-news.test", "news.test")})
                        .ServerGets(first)
                        .AnsweredAfter(1));
    cases.push_back(Allowed("BrowserRequestForAnAllowedHostAfterAnAllowedOne", {first, browserGet})
                        .AnsweredAfter(1));
    cases.push_back(Blocked("BrowserRequestForABlockedHost",
                            {ReplaceAll(browserGet, "www.example-news.test", "games.test")})
                        .Redirected());

    // ---- Heads over 16 KB, and heads in many segments
    for (const size_t kilobytes : {20, 70}) {
        for (const bool hostFirst : {true, false}) {
            const std::string shape = std::to_string(kilobytes) + "KB" +
                                      (hostFirst ? "WithTheHostFirst" : "WithTheHostLast");
            cases.push_back(
                Blocked("HeadOf" + shape + "ForABlockedHost",
                        Split(LargeHead("games.test", kilobytes * 1024, hostFirst), 1460)));
            cases.push_back(
                Allowed("HeadOf" + shape + "ForAnAllowedHost",
                        Split(LargeHead("ok.test", kilobytes * 1024, hostFirst), 1460)));
        }
    }
    cases.push_back(Blocked("HeadOf70KBInOneSegmentForABlockedHost",
                            {LargeHead("games.test", 70 * 1024, false)}));
    cases.push_back(Blocked(
        "HeadOf20KBForABlockedPath",
        Split("GET /world/x HTTP/1.1\r\n" + Filler(20 * 1024) + "Host: news.test\r\n\r\n", 1460)));
    hosts("ByteByByte", [&](const std::string& h) { return Split(Get(h), 1); });
    cases.push_back(Blocked("BlockedPathByteByByte", Split(Get("news.test", "/world/x"), 1)));
    cases.push_back(
        Allowed("AllowedPathByteByByte", Split(Get("news.test", "/world/weather/x"), 1)));
    hosts("WithTheFinalEmptyLineInASegmentOfItsOwn", [&](const std::string& h) {
        return std::vector<std::string>{"GET /x HTTP/1.1\r\n", "Host: " + h + "\r\n", "\r\n"};
    });
    hosts("SplitInsideTheHostName", [&](const std::string& h) {
        return std::vector<std::string>{"GET /x HTTP/1.1\r\nHost: " + h.substr(0, 2),
                                        h.substr(2) + "\r\n\r\n"};
    });

    // ---- The request sent with the client's FIN
    cases.push_back(Blocked("BlockedHostSentWithTheClientsFin", {Get("games.test")}).WithFin());
    cases.push_back(Allowed("AllowedHostSentWithTheClientsFin", {Get("ok.test")}).WithFin());
    cases.push_back(
        Blocked("BlockedPathSentWithTheClientsFin", {Get("news.test", "/world/x")}).WithFin());
    cases.push_back(Blocked("SplitRequestWithTheFinOnItsLastSegment",
                            {"GET /x HTTP/1.1\r\nHost: games.test", "\r\n\r\n"})
                        .WithFin());
    cases.push_back(Allowed("SplitAllowedRequestWithTheFinOnItsLastSegment",
                            {"GET /x HTTP/1.1\r\nHost: ok.test", "\r\n\r\n"})
                        .WithFin());

    // ---- HTTP/2 with prior knowledge
    hosts("OverHttp2", [&](const std::string& h) { return one(Http2Request(H2Fields(h, "/x"))); });
    cases.push_back(
        Blocked("BlockedPathOverHttp2", {Http2Request(H2Fields("news.test", "/world/x"))}));
    cases.push_back(
        Allowed("AllowedPathOverHttp2", {Http2Request(H2Fields("news.test", "/world/weather/x"))}));
    cases.push_back(Blocked("BlockedPathOverHttp2WithDotSegments",
                            {Http2Request(H2Fields("news.test", "/sport/../world/x"))}));
    cases.push_back(Blocked("BlockedHostOverHttp2InUpperCaseWithATrailingDot",
                            {Http2Request(H2Fields("GAMES.TEST.", "/x"))}));
    hosts("OverHttp2WithPriorityAndPadding", [&](const std::string& h) {
        return one(Http2Request(H2Fields(h, "/x"), {.priorityAndPadding = true}));
    });
    hosts("OverHttp2WithTheHeaderBlockContinued", [&](const std::string& h) {
        return one(Http2Request(H2Fields(h, "/x"), {.continuation = true}));
    });
    hosts("OverHttp2InSmallSegments",
          [&](const std::string& h) { return Split(Http2Request(H2Fields(h, "/x")), 7); });
    hosts("OverHttp2WithThePrefaceInASegmentOfItsOwn", [&](const std::string& h) {
        const std::string request = Http2Request(H2Fields(h, "/x"));
        return std::vector<std::string>{request.substr(0, 24), request.substr(24)};
    });
    hosts("OverHttp2WithAHostHeaderInsteadOfAnAuthority", [&](const std::string& h) {
        return one(
            Http2Request({{":method", "GET"}, {":scheme", "http"}, {":path", "/x"}, {"host", h}}));
    });
    const std::string anonymousH2 =
        Http2Request({{":method", "GET"}, {":scheme", "http"}, {":path", "/x"}});
    cases.push_back(
        Blocked("Http2WithoutAnyNameToABlockedAddress", {anonymousH2}).At(kBlockedAddress));
    cases.push_back(
        Allowed("Http2WithoutAnyNameToAnAllowedAddress", {anonymousH2}).At(kAllowedAddress));
    // A later stream of the connection is judged too (its own HEADERS, stream 3).
    auto laterStream = [](const std::string& authority, const std::string& path) {
        constexpr uint8_t kHeaders = 1, kEndStreamAndHeaders = 0x5;
        return Http2Frame(kHeaders, kEndStreamAndHeaders, 3,
                          HeaderBlock(H2Fields(authority, path)));
    };
    const std::string firstStream = Http2Request(H2Fields("ok.test", "/a"));
    cases.push_back(Blocked("LaterStreamOverHttp2ToABlockedHost",
                            {firstStream, laterStream("games.test", "/x")})
                        .ServerGets(firstStream)
                        .AnsweredAfter(1));
    cases.push_back(Blocked("LaterStreamOverHttp2ToABlockedPathInTheSameSegment",
                            {firstStream + laterStream("news.test", "/world/x")})
                        .ServerGets(firstStream.substr(0, firstStream.size())));
    cases.push_back(Allowed("LaterStreamOverHttp2ToAnAllowedPath",
                            {firstStream, laterStream("news.test", "/world/weather/x")}));
    return cases;
}

struct TlsCase {
    std::string name;
    std::vector<std::string> hello;   // the client's first flight, one send per segment
    std::vector<std::string> flight;  // the server's first flight, one send per segment
    uint8_t address = kSite;
    Verdict expected = Verdict::Allowed;
};

void PrintTo(const TlsCase& c, std::ostream* out) {
    *out << c.name;
}

std::vector<TlsCase> TlsCases() {
    const std::string hello12 = ReadData("tls/tls12_client_hello.bin");
    const std::string hello13 = ReadData("tls/tls13_client_hello.bin");
    const std::string flight12 = ReadData("tls/tls12_server_flight.bin");
    const std::string flight13 = ReadData("tls/tls13_server_flight.bin");
    // The same certificate made out to a blocked name of the same length, so that every DER
    // length stays right (the filter reads the name; it does not check the signature).
    const std::string blockedFlight12 =
        ReplaceAll(flight12, "capture.wexo-test.example", "cdn-capture-01.games.test");
    auto one = [](const std::string& bytes) { return std::vector<std::string>{bytes}; };
    const std::string tunnel = "CONNECT ok.test:443 HTTP/1.1\r\nHost: ok.test:443\r\n\r\n";
    const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
    const auto B = Verdict::Blocked;
    const auto A = Verdict::Allowed;
    return {
        {"BlockedServerName", one(ClientHello(hello13, "games.test")), one(flight13), kSite, B},
        {"AllowedServerName", one(ClientHello(hello13, "ok.test")), one(flight13), kSite, A},
        {"BlockedServerNameInUpperCaseWithATrailingDot", one(ClientHello(hello13, "GAMES.TEST.")),
         one(flight13), kSite, B},
        {"AllowedServerNameInUpperCaseWithATrailingDot", one(ClientHello(hello13, "OK.TEST.")),
         one(flight13), kSite, A},
        {"Tls12WithoutAServerNameAndABlockedCertificate", one(ClientHello(hello12, "")),
         one(blockedFlight12), kSite, B},
        {"Tls12WithoutAServerNameAndAnAllowedCertificate", one(ClientHello(hello12, "")),
         one(flight12), kSite, A},
        {"Tls12WithoutAServerNameAndABlockedCertificateInSmallSegments",
         one(ClientHello(hello12, "")), Split(blockedFlight12, 100), kSite, B},
        {"Tls13WithoutAServerNameToABlockedAddress", one(ClientHello(hello13, "")), one(flight13),
         kBlockedAddress, B},
        {"Tls13WithoutAServerNameToAnAllowedAddress", one(ClientHello(hello13, "")), one(flight13),
         kAllowedAddress, A},
        {"Tls13WithoutAServerNameToABlockedAddressInSmallSegments",
         Split(ClientHello(hello13, ""), 50), Split(flight13, 100), kBlockedAddress, B},
        {"HelloOver16KBForABlockedName", Split(ClientHello(hello13, "games.test", 20 * 1024), 1460),
         one(flight13), kSite, B},
        {"HelloOver16KBForAnAllowedName", Split(ClientHello(hello13, "ok.test", 20 * 1024), 1460),
         one(flight13), kSite, A},
        {"HelloByteByByteForABlockedName", Split(ClientHello(hello13, "games.test"), 1),
         one(flight13), kSite, B},
        {"HelloByteByByteForAnAllowedName", Split(ClientHello(hello13, "ok.test"), 1),
         one(flight13), kSite, A},
        {"HelloInSmallRecordsForABlockedName", one(ClientHello(hello13, "games.test", 0, 40)),
         one(flight13), kSite, B},
        {"HelloInSmallRecordsForAnAllowedName", one(ClientHello(hello13, "ok.test", 0, 40)),
         one(flight13), kSite, A},
        {"HelloFramedAs0304ForABlockedName",
         one(Reframed(ClientHello(hello13, "games.test"), 4, false)), one(flight13), kSite, B},
        {"HelloFramedAs0304ForAnAllowedName",
         one(Reframed(ClientHello(hello13, "ok.test"), 4, false)), one(flight13), kSite, A},
        {"HelloAfterAnEmptyRecordForABlockedName",
         one(Reframed(ClientHello(hello13, "games.test"), -1, true)), one(flight13), kSite, B},
        {"HelloInRecordsWithEmptyOnesBetweenForABlockedName",
         one(Reframed(ClientHello(hello13, "games.test", 0, 40), 0x7F, true)), one(flight13), kSite,
         B},
        {"HelloInRecordsWithEmptyOnesBetweenForAnAllowedName",
         one(Reframed(ClientHello(hello13, "ok.test", 0, 40), 0x7F, true)), one(flight13), kSite,
         A},
        {"HelloInOneByteRecordsForABlockedName", one(ClientHello(hello13, "games.test", 0, 1)),
         one(flight13), kSite, B},
        {"UnreadableHelloWithABlockedCertificate", one(Mangled(ClientHello(hello12, "ok.test"))),
         one(blockedFlight12), kSite, B},
        {"UnreadableHelloWithAnAllowedCertificate", one(Mangled(ClientHello(hello12, "ok.test"))),
         one(flight12), kSite, A},
        {"UnreadableHelloWithoutACertificate", one(Mangled(ClientHello(hello13, "ok.test"))),
         one(flight13), kBlockedAddress, B},
        {"InsideATunnelForABlockedName", one(tunnel + ClientHello(hello13, "games.test")),
         one(established + flight13), kSite, B},
        {"InsideATunnelForAnAllowedName", one(tunnel + ClientHello(hello13, "ok.test")),
         one(established + flight13), kSite, A},
        {"InsideATunnelInAnotherSegmentForABlockedName",
         {tunnel, ClientHello(hello13, "games.test")},
         {established, flight13},
         kSite,
         B},
        {"InsideATunnelWithoutANameToABlockedAddress", one(tunnel + ClientHello(hello13, "")),
         one(established + flight13), kBlockedAddress, B},
        {"PaddedHelloOfABrowserForABlockedName",
         one(ReplaceAll(ReadData("tls/padded_client_hello.bin"), "www.capture.wexo-test.example",
                        "www.capture-wexo-t.games.test")),
         one(flight13), kSite, B},
    };
}

// ---- The fixture ----

class BypassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pipeline::PIPELINE_OPTIONS options;
        options.policyText = kPolicy;
        options.serviceWorkers = 2;
        pipeline_ = std::make_unique<pipeline::PIPELINE>(options);
        std::string error;
        ASSERT_TRUE(pipeline_->Start(&error)) << error;
        pages_ = "http://" + pipeline_->Server().HostPort();
    }
    void TearDown() override { pipeline_.reset(); }

    std::shared_ptr<os::SimTcpConnection> Open(uint8_t address, uint16_t port) {
        return pipeline_->Network().OpenTcp(os::MakeIPv4Address(198, 51, 100, address), port,
                                            pipeline_->BrowserProcessId());
    }
    void Settle() { EXPECT_TRUE(pipeline_->Network().WaitSettled(kBound)); }

    // The block page's redirect, exactly as the driver injects it, to this server's block page
    // (any URL and rule) or to its block-on-failure page.
    bool IsBlockAnswer(const std::string& received) const {
        const std::string head = "HTTP/1.1 302 Other\r\nLocation: ";
        const std::string tail = "\r\nContent-Length:0\r\nConnection: close\r\n\r\n";
        if (received.size() < head.size() + tail.size() || received.rfind(head, 0) != 0 ||
            received.compare(received.size() - tail.size(), tail.size(), tail) != 0) {
            return false;
        }
        const std::string location =
            received.substr(head.size(), received.size() - head.size() - tail.size());
        if (location.find_first_of("\r\n ") != std::string::npos) {
            return false;
        }
        return location == pages_ + "/BlockOnFailure.html" ||
               (location.rfind(pages_ + "/blocked.html?url=", 0) == 0 &&
                location.find("&rule=") != std::string::npos);
    }

    void ExpectRedirectedOrClosed(const os::SIM_END_STATE& client, bool mustRedirect) {
        if (mustRedirect) {
            EXPECT_TRUE(IsBlockAnswer(client.received))
                << "the client did not get the block page: " << Printable(client.received)
                << (client.reset    ? " (reset)"
                    : client.sawFin ? " (FIN)"
                                    : "");
            return;
        }
        EXPECT_TRUE(IsBlockAnswer(client.received) ||
                    (client.received.empty() && (client.sawFin || client.reset)))
            << "neither redirected nor closed: the client received " << Printable(client.received)
            << (client.reset ? " and a reset" : "") << (client.sawFin ? " and a FIN" : "");
    }

    // After a close verdict nothing more passes, either way.
    void ExpectStaysBlocked(os::SimTcpConnection& connection, bool serverMaySend) {
        const std::string toServer = connection.ServerReceived();
        const std::string toClient = connection.ClientReceived();
        connection.ClientSend(kLaterRequest);
        if (serverMaySend) {
            connection.ServerSend(kLaterResponse);
        }
        Settle();
        ExpectBytes(connection.ServerReceived(), toServer,
                    "after the verdict, what the client sent reached the server");
        ExpectBytes(connection.ClientReceived(), toClient,
                    "after the verdict, what the server sent reached the client");
    }

    void Run(const HttpCase& c);
    void Run(const TlsCase& c);

    std::unique_ptr<pipeline::PIPELINE> pipeline_;
    std::string pages_;
};

using State = const os::SIM_END_STATE&;

void BypassTest::Run(const HttpCase& c) {
    auto connection = Open(c.address, c.port);
    std::string sent;
    std::string answers;       // what the server answered so far, in order
    size_t answeredBytes = 0;  // of the client's bytes, how many the server had when it answered
    for (size_t i = 0; i < c.segments.size(); ++i) {
        if (c.answeredAfter != 0 && i == c.answeredAfter) {
            const bool arrived = connection->WaitUntil(
                [&](State, State server) {
                    return server.received.size() >= sent.size() || server.reset;
                },
                kBound);
            EXPECT_TRUE(arrived) << "the first requests did not reach the server";
            ExpectBytes(connection->ServerReceived(), sent, "before the server answered");
            connection->ServerSend(kResponse);
            answers += kResponse;
            answeredBytes = sent.size();
            EXPECT_TRUE(connection->WaitUntil(
                [&](State client, State) {
                    return client.received.size() >= answers.size() || client.reset;
                },
                kBound))
                << "the answer to an allowed request did not reach the client";
        }
        const bool last = i + 1 == c.segments.size();
        if (last && c.fin) {
            connection->ClientSendAndClose(c.segments[i]);
        } else {
            connection->ClientSend(c.segments[i]);
        }
        sent += c.segments[i];
    }

    if (c.expected == Verdict::Allowed) {
        const bool arrived = connection->WaitUntil(
            [&](State client, State server) {
                // A FIN the client sent is delivered after the data, possibly a moment later.
                const bool delivered =
                    server.received.size() >= c.server.size() && (!c.fin || server.sawFin);
                return delivered || server.reset || client.sawFin ||
                       client.received.size() > answers.size();
            },
            kBound);
        Settle();
        const os::SIM_END_STATE client = connection->Client();
        const os::SIM_END_STATE server = connection->Server();
        EXPECT_TRUE(arrived) << "the allowed request did not reach the server in time";
        ExpectBytes(server.received, c.server, "the server end");
        ExpectBytes(client.received, answers, "toward the client");
        EXPECT_FALSE(client.reset) << "an allowed connection was reset";
        EXPECT_FALSE(client.sawFin) << "an allowed connection was closed toward the client";
        EXPECT_EQ(server.sawFin, c.fin);
        // The server's answer reaches the client untouched.
        connection->ServerSend(kResponse);
        answers += kResponse;
        connection->WaitUntil(
            [&](State end, State) { return end.received.size() >= answers.size() || end.reset; },
            kBound);
        Settle();
        ExpectBytes(connection->ClientReceived(), answers, "the server's answer at the client");
        return;
    }

    if (c.server.empty()) {
        // A blocked request on a new connection.
        const bool decided = connection->WaitUntil(
            [&](State client, State server) {
                return client.reset || client.sawFin || IsBlockAnswer(client.received) ||
                       !server.received.empty();
            },
            kBound);
        Settle();
        EXPECT_TRUE(decided) << "no verdict in time";
        ExpectBytes(connection->ServerReceived(), "", "the server end of a blocked request");
        ExpectRedirectedOrClosed(connection->Client(), c.redirected);
        ExpectStaysBlocked(*connection, true);
        return;
    }

    // A blocked request after allowed ones: the allowed ones reach the server, the blocked one
    // does not, the connection is closed toward the server, and the client gets the answers to
    // the allowed requests and then the close.
    connection->WaitUntil(
        [&](State client, State server) {
            return server.sawFin || server.reset || server.received.size() > c.server.size() ||
                   client.sawFin || client.received.size() > answers.size();
        },
        kBound);
    // Had the verdict shown at the client first, the close toward the server comes with it.
    const bool closed = connection->WaitUntil(
        [&](State, State server) {
            return server.sawFin || server.reset || server.received.size() > c.server.size();
        },
        kFollowUp);
    Settle();
    os::SIM_END_STATE server = connection->Server();
    if (c.mayRefuseWhole && server.received.empty()) {
        ExpectRedirectedOrClosed(connection->Client(), false);
        ExpectStaysBlocked(*connection, true);
        return;
    }
    ExpectBytes(server.received, c.server, "the server end (only the allowed requests)");
    EXPECT_TRUE(closed && server.sawFin && !server.reset)
        << "the connection was not closed toward the server"
        << (server.reset ? " (it was reset)" : "");
    connection->ClientSend(kLaterRequest);
    Settle();
    ExpectBytes(connection->ServerReceived(), c.server,
                "after the close toward the server, what the client sent");
    if (server.reset) {
        return;
    }
    // The server answers what it still owes, and closes as a server does after the client's FIN.
    const std::string owed = c.server.size() > answeredBytes ? kResponse : "";
    connection->ServerSendAndClose(owed);
    answers += owed;
    const bool clientClosed = connection->WaitUntil(
        [&](State client, State) { return client.sawFin || client.reset; }, kBound);
    Settle();
    const os::SIM_END_STATE client = connection->Client();
    EXPECT_TRUE(clientClosed && client.sawFin && !client.reset)
        << "the client did not see the connection close" << (client.reset ? " (it was reset)" : "");
    // No block page in the middle of the answers; after all of them it would still be read right.
    const bool answersThenBlockPage = client.received.size() > answers.size() &&
                                      client.received.rfind(answers, 0) == 0 &&
                                      IsBlockAnswer(client.received.substr(answers.size()));
    if (!answersThenBlockPage) {
        ExpectBytes(client.received, answers, "the client (the answers to the allowed requests)");
    }
}

void BypassTest::Run(const TlsCase& c) {
    auto connection = Open(c.address, 443);
    const std::string hello = Join(c.hello);
    const std::string flight = Join(c.flight);
    for (const std::string& segment : c.hello) {
        connection->ClientSend(segment);
    }
    for (const std::string& segment : c.flight) {
        connection->ServerSend(segment);
    }
    // The client goes on with the handshake while the lookup is pending.
    connection->ClientSend(kClientSecondFlight);

    if (c.expected == Verdict::Allowed) {
        const std::string toServer = hello + kClientSecondFlight;
        const bool arrived = connection->WaitUntil(
            [&](State client, State server) {
                return (server.received.size() >= toServer.size() &&
                        client.received.size() >= flight.size()) ||
                       client.reset || client.sawFin;
            },
            kBound);
        Settle();
        EXPECT_TRUE(arrived) << "the allowed handshake did not go through in time";
        ExpectBytes(connection->ServerReceived(), toServer, "the server end");
        ExpectBytes(connection->ClientReceived(), flight, "the client end");
        EXPECT_FALSE(connection->ClientWasReset() || connection->ClientSawFin());
        connection->ClientSend(kClientRecord);
        connection->ServerSend(kServerRecord);
        connection->WaitUntil(
            [&](State client, State server) {
                return (server.received.size() >= toServer.size() + kClientRecord.size() &&
                        client.received.size() >= flight.size() + kServerRecord.size()) ||
                       client.reset;
            },
            kBound);
        Settle();
        ExpectBytes(connection->ServerReceived(), toServer + kClientRecord, "the server end");
        ExpectBytes(connection->ClientReceived(), flight + kServerRecord, "the client end");
        return;
    }

    const bool decided = connection->WaitUntil(
        [&](State client, State server) {
            return client.reset || client.sawFin || server.received.size() > hello.size();
        },
        kBound);
    Settle();
    const os::SIM_END_STATE client = connection->Client();
    const os::SIM_END_STATE server = connection->Server();
    EXPECT_TRUE(decided && (client.sawFin || client.reset)) << "the connection was not closed";
    // The hello carries no content and may have passed (all of it, or what came before it) while
    // the name was not yet known; nothing after it may.
    if (server.received.size() != hello.size()) {
        EXPECT_EQ(hello.rfind(server.received, 0), 0u)
            << "the server end of a blocked handshake: " << Printable(server.received);
    } else {
        ExpectBytes(server.received, hello, "the server end of a blocked handshake");
    }
    EXPECT_EQ(flight.rfind(client.received, 0), 0u)
        << "the client received more than the server's first flight: "
        << Printable(client.received);
    ExpectStaysBlocked(*connection, true);
}

class BypassHttp : public BypassTest, public ::testing::WithParamInterface<HttpCase> {};
class BypassTls : public BypassTest, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(BypassHttp, Request) {
    Run(GetParam());
}

TEST_P(BypassTls, Handshake) {
    Run(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Bypass, BypassHttp, ::testing::ValuesIn(HttpCases()),
                         [](const ::testing::TestParamInfo<HttpCase>& test) {
                             return test.param.name;
                         });
INSTANTIATE_TEST_SUITE_P(Bypass, BypassTls, ::testing::ValuesIn(TlsCases()),
                         [](const ::testing::TestParamInfo<TlsCase>& test) {
                             return test.param.name;
                         });

// Case names are test names: two cases of one name would make the program refuse to start.
TEST(BypassTables, CaseNamesAreUnique) {
    std::set<std::string> names;
    for (const HttpCase& c : HttpCases()) {
        EXPECT_TRUE(names.insert(c.name).second) << c.name;
    }
    for (const TlsCase& c : TlsCases()) {
        EXPECT_TRUE(names.insert("Tls" + c.name).second) << c.name;
    }
}

// A browser that follows a blocked link on a keep-alive connection sees that connection closed
// after its page, retries on a new one, and gets the block page there.
TEST_F(BypassTest, ABlockedLinkOnAKeepAliveConnectionGetsTheBlockPageWhenTheBrowserRetries) {
    const std::string page = Get("ok.test", "/a");
    Run(Blocked("KeepAlive", {page, Get("games.test")}).ServerGets(page).AnsweredAfter(1));
    auto retry = Open(kSite, 80);
    retry->ClientSend(Get("games.test"));
    retry->WaitUntil(
        [&](State client, State) { return IsBlockAnswer(client.received) || client.reset; },
        kBound);
    Settle();
    EXPECT_EQ(retry->ClientReceived(),
              "HTTP/1.1 302 Other\r\nLocation: " + pages_ +
                  "/blocked.html?url=games.test%2Fx&rule=block%20host%20games.test\r\n"
                  "Content-Length:0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(retry->ServerReceived(), "");
}

}  // namespace
}  // namespace wexo::integration
