// Host names and paths in the form servers read them: each table row is a spelling a client could
// send and the one form the lookup, the caches and the policy server must see.
#include "common/url_normalize.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace wexo {
namespace {

struct CASE {
    const char* input;
    const char* expected;
};

TEST(NormalizeHostTest, NamesAsServersReadThem) {
    const CASE cases[] = {
        // Letter case, blanks, the trailing dot.
        {"Example.COM", "example.com"},
        {"  example.com\t", "example.com"},
        {"\r\nexample.com \r", "example.com"},
        {"example.com.", "example.com"},
        {" WWW.Example.Com. ", "www.example.com"},
        {"example.com..", "example.com."},  // one dot only: the name is not valid anyway
        // Ports: the scheme's own one is the same site; any other stays.
        {"Example.COM.:8080", "example.com:8080"},
        {"example.com:80", "example.com"},
        {"example.com.:80", "example.com"},
        {"example.com:080", "example.com"},
        {"example.com:", "example.com"},
        {"example.com:0080", "example.com"},
        {"example.com:443", "example.com:443"},
        {"example.com:08080", "example.com:8080"},
        {"example.com:0", "example.com:0"},
        {"example.com:99999999999999999999", "example.com:99999999999999999999"},
        {"example.com:HTTP", "example.com:http"},
        // IPv6 literals and addresses.
        {"[2001:DB8::1]:8080", "[2001:db8::1]:8080"},
        {"[2001:DB8::1]:80", "[2001:db8::1]"},
        {"[2001:DB8::1]", "[2001:db8::1]"},
        {"[::1]:", "[::1]"},
        {"[2001:DB8::1", "[2001:db8::1"},
        {"[::1]x", "[::1]x"},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8:0:0:0:0:0:1"},
        {"::FFFF:192.0.2.1", "::ffff:192.0.2.1"},
        // Colons that no address has: the name before the first one is what servers read.
        {"Blocked.test:1:1", "blocked.test"},
        {"blocked.test:80:", "blocked.test"},
        {"blocked.test::", "blocked.test"},
        // Bytes that are not ASCII letters are kept.
        {"B\xC3\x9C"
         "CHER.test",
         "b\xC3\x9C"
         "cher.test"},
        {"192.168.0.1:80", "192.168.0.1"},
        // No name at all.
        {"", ""},
        {"   ", ""},
        {".", ""},
        {":8080", ""},
        {" .:80 ", ""},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(NormalizeHost(c.input), c.expected) << '"' << c.input << '"';
    }
}

TEST(NormalizeHostTest, TheDefaultPortIsTheCallersScheme) {
    EXPECT_EQ(NormalizeHost("Secure.Test:443", kHttpsDefaultPort), "secure.test");
    EXPECT_EQ(NormalizeHost("secure.test:80", kHttpsDefaultPort), "secure.test:80");
    EXPECT_EQ(NormalizeHost("[::1]:443", kHttpsDefaultPort), "[::1]");
}

TEST(NormalizeHostTest, TheFormWithoutAllocationWritesIntoItsBuffer) {
    std::array<char, 32> buffer{};
    const std::string_view host = NormalizeHostInto(" Api.Example.TEST.:080 ", buffer);
    EXPECT_EQ(host, "api.example.test");
    EXPECT_EQ(host.data(), buffer.data());
    // Exactly the input's size is enough; less names no host.
    std::array<char, 4> exact{};
    EXPECT_EQ(NormalizeHostInto("A.B.", exact), "a.b");
    std::array<char, 3> small{};
    EXPECT_EQ(NormalizeHostInto("A.B.", small), "");
}

TEST(NormalizePathTest, PercentEncodings) {
    const CASE cases[] = {
        // Unreserved characters are decoded, in either case of hex digit.
        {"/%77orld/", "/world/"},
        {"/%57%4F%52%4c%44", "/WORLD"},
        {"/%7e%5F%2D%2e%30%41", "/~_-.0A"},
        // Others keep their encoding with upper-case digits.
        {"/a%2fb", "/a/b"},  // "%2F" is a "/" to nginx, so it is one here
        {"/a%2Fb%2f%2F/c", "/a/b/c"},
        {"/caf%c3%a9", "/caf%C3%A9"},
        {"/a%3fb", "/a%3Fb"},  // an encoded "?" is not the query
        {"/a%23b", "/a%23b"},
        {"/%25", "/%25"},
        {"/%252e%252E", "/%252e%252E"},  // one level of decoding, as a server does
        {"/%5c", "/%5C"},
        {"/%00", "/%00"},
        // Invalid sequences are kept literally.
        {"/%", "/%"},
        {"/a%4", "/a%4"},
        {"/%G0x", "/%G0x"},
        {"/%%41", "/%A"},
        {"/100%", "/100%"},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(NormalizePath(c.input), c.expected) << '"' << c.input << '"';
    }
}

TEST(NormalizePathTest, DotSegmentsAndSlashes) {
    const CASE cases[] = {
        {"", "/"},
        {"/", "/"},
        {"a/b", "/a/b"},
        // Dot segments at the start, in the middle and at the end.
        {"/./a", "/a"},
        {"/../a", "/a"},
        {"/a/./b", "/a/b"},
        {"/a/x/../b", "/a/b"},
        {"/a/.", "/a/"},
        {"/a/b/..", "/a/"},
        {"/a/b/../", "/a/"},
        {"/..", "/"},
        {"/a/b/../../../c", "/c"},
        {"/a/b/c/./../../g", "/a/g"},
        // Decoded before the segments are looked at.
        {"/%2e%2e/x", "/x"},
        {"/world/%2E/x", "/world/x"},
        {"/a/.%2e/b", "/b"},
        {"/a%2f..%2f..%2fb", "/b"},
        // Dots that are not whole segments.
        {"/.well-known/a", "/.well-known/a"},
        {"/.../a", "/.../a"},
        {"/a./b", "/a./b"},
        {"/.a/..b", "/.a/..b"},
        // Runs of slashes, also around dot segments.
        {"//a///b", "/a/b"},
        {"//", "/"},
        {"/a//", "/a/"},
        {"/a//../b", "/b"},
        {"/a/.//b", "/a/b"},
        // A backslash is an ordinary byte.
        {"/a\\..\\b", "/a\\..\\b"},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(NormalizePath(c.input), c.expected) << '"' << c.input << '"';
    }
}

TEST(NormalizePathTest, TheQueryAndWhatFollowsAreKeptAsTheyAre) {
    const CASE cases[] = {
        {"/a/../b?x=/../%2e&y=%7e//", "/b?x=/../%2e&y=%7e//"},
        {"/a/b?x=/../%2e&y=%7e//", "/a/b?x=/../%2e&y=%7e//"},
        {"?q=1", "/?q=1"},
        {"//?q", "/?q"},
        {"/a?", "/a?"},
        {"/a/%2e%2e?%41", "/?%41"},
        // Servers end the path at a "#": what follows never reaches it.
        {"/blocked/#/../../open", "/blocked/#/../../open"},
        {"/a#b?c", "/a#b?c"},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(NormalizePath(c.input), c.expected) << '"' << c.input << '"';
    }
}

// The reading of servers that take a backslash for "/" (IIS, nginx on Windows) or split off path
// parameters (Tomcat, Jetty, Spring): each row is a spelling a client could send to one of them
// and the path it serves.
TEST(ServerReadPathTest, BackslashesAndPathParametersAsLooseServersReadThem) {
    const CASE cases[] = {
        // Backslashes, alone and mixed with slashes, then normalised as any path is.
        {"\\blocked\\page", "/blocked/page"},
        {"\\\\blocked", "/blocked"},
        {"/a\\b/c\\\\d", "/a/b/c/d"},
        {"/a\\..\\blocked\\", "/blocked/"},
        // Those servers decode "%5C" before they map the path: a backslash too.
        {"/blocked%5Cpage", "/blocked/page"},
        {"/blocked%5cpage", "/blocked/page"},
        {"/a%5C..%5Cblocked", "/blocked"},
        // Path parameters, in one segment or several, also hiding a dot segment.
        {"/blocked;x=1/page", "/blocked/page"},
        {"/a;jsessionid=1", "/a"},
        {"/a;x=1/b;y=2;z=3/c;", "/a/b/c"},
        {"/;x/blocked", "/blocked"},
        {"/open/..;/blocked/", "/blocked/"},
        // The split is on the bytes as sent: an encoded "/" inside a parameter goes with it...
        {"/a;x%2F..%2Fb/c", "/a/c"},
        // ...and an encoded ";" is part of the segment's name.
        {"/blocked%3Bx=1/page", "/blocked%3Bx=1/page"},
        {"/blocked%3bx", "/blocked%3Bx"},
        // The query and the fragment are the application's: never touched.
        {"/a;x=1?q=a;b\\c", "/a?q=a;b\\c"},
        {"/a?x=%5C;y", "/a?x=%5C;y"},
        {"/a#;b\\c", "/a#;b\\c"},
        // Everything else as NormalizePath reads it.
        {"", "/"},
        {"/%77orld//./x", "/world/x"},
        {"/%5", "/%5"},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(ServerReadPath(c.input), c.expected) << '"' << c.input << '"';
    }
}

// The service normalises, and the policy server normalises what it is sent once more: the
// second pass must not change anything.
TEST(NormalizeTest, ANormalisedFormStaysAsItIs) {
    for (const char* path :
         {"/%2e%2e/%7Ex//y/./z/..", "/a%2fb%c3%a9/%25%32%65/", "/x/%%41%4", "//?a=%2e", "a/b/.."}) {
        const std::string once = NormalizePath(path);
        EXPECT_EQ(NormalizePath(once), once) << path;
    }
    for (const char* host : {" A.B.:080", "[::ABC]:8080", "x.test:"}) {
        const std::string once = NormalizeHost(host);
        EXPECT_EQ(NormalizeHost(once), once) << host;
    }
}

TEST(NormalizePathTest, TheFormWithoutAllocationNeedsOneByteMore) {
    std::array<char, 4> buffer{};
    EXPECT_EQ(NormalizePathInto("a/b", buffer), "/a/b");
    EXPECT_EQ(NormalizePathInto("a/bc", buffer), "");
    std::array<char, 1> one{};
    EXPECT_EQ(NormalizePathInto("", one), "/");
}

}  // namespace
}  // namespace wexo
