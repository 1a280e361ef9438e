// Query strings and form bodies of the HTTP clients: which bytes are encoded, how pairs are
// joined and logged, and the string-memory rule.
#include "service/support/http_query.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "service/support/http_api.h"
#include "service/support/string_no_memory.h"
#include "service/support/text.h"
#include "tests/service/support/http_test_support.h"

namespace wexo::svc {
namespace {

using testing_http::LogCapture;

TEST(HttpQueryTest, KeepsOnlyTheUnreservedBytesAndEncodesTheRestInUpperCaseHex) {
    const std::string kept = "-./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz~";
    for (int byte = 0; byte < 256; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        std::string encoded;
        HttpxAppendEncoded(encoded, one);
        if (kept.find(static_cast<char>(byte)) != std::string::npos) {
            EXPECT_EQ(encoded, one) << byte;
            EXPECT_EQ(HttpxEncodedLength(one), 1u);
        } else {
            char expected[4];
            std::snprintf(expected, sizeof(expected), "%%%02X", byte);
            EXPECT_EQ(encoded, expected) << byte;
            EXPECT_EQ(HttpxEncodedLength(one), 3u);
        }
    }
    std::string text;
    HttpxAppendEncoded(text, "x y/\xC3\xA9?&=+");
    EXPECT_EQ(text, "x%20y/%C3%A9%3F%26%3D%2B");
    EXPECT_EQ(HttpxEncodedLength("x y/\xC3\xA9?&=+"), text.size());
}

TEST(HttpQueryTest, PairsWithoutValueAreSkippedAndTheRestJoinedAndLogged) {
    LogCapture log;
    const std::string owned = "1/2";
    const HTTPX_NAME_VALUE pairs[] = {
        {"a", "x y"}, {"b", nullptr}, {"c", owned}, {"d", std::nullopt}, {"e", ""}};
    EXPECT_EQ(HttpxEncodePairs(pairs, "?"), "?a=x%20y&c=1/2&e=");
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"\"a\" = \"x y\"", "\"c\" = \"1/2\"", "\"e\" = \"\""}));
    EXPECT_EQ(log.FlagsOf("\"a\""), LINE_HTTP);

    log.Clear();
    EXPECT_EQ(HttpxEncodePairs(pairs, ""), "a=x%20y&c=1/2&e=");
    const HTTPX_NAME_VALUE names[] = {{"n m", "v"}};
    EXPECT_EQ(HttpxEncodePairs(names, "?"), "?n m=v") << "names are written as given";
}

TEST(HttpQueryTest, NoPairOrOnlyNullValuesGiveNothing) {
    EXPECT_EQ(HttpxEncodePairs({}, "?"), "");
    const HTTPX_NAME_VALUE pairs[] = {{"a", nullptr}};
    EXPECT_EQ(HttpxEncodePairs(pairs, "?"), "");
}

TEST(HttpQueryTest, PairsAreNotLoggedWhenHttpIsOff) {
    LogCapture log(DEBUG_OUTPUT_VERBOSE);
    const HTTPX_NAME_VALUE pairs[] = {{"a", "1"}};
    EXPECT_EQ(HttpxEncodePairs(pairs, "?"), "?a=1");
    EXPECT_TRUE(log.Lines().empty());
}

TEST(HttpQueryTest, FormatBuildsStringsOfAnyLength) {
    EXPECT_EQ(FormatText("%s://%s%s%s%s", "HTTP", "s", "/", "p", "?q=1"), "HTTP://s/p?q=1");
    EXPECT_EQ(FormatText("%s", ""), "");
    const std::string longText(5000, 'x');
    EXPECT_EQ(FormatText("<%s>", longText.c_str()), "<" + longText + ">");
}

TEST(StringNoMemoryTest, AllocationFailuresBecomeStringNoMemory) {
    EXPECT_THROW(WithStringMemory([]() -> int { throw std::bad_alloc(); }), STRING_NO_MEMORY);
    EXPECT_THROW(
        WithStringMemory([] { return std::string().assign(std::string().max_size() + 1, 'x'); }),
        STRING_NO_MEMORY);
    EXPECT_THROW(WithStringMemory([]() -> int { throw std::runtime_error("other"); }),
                 std::runtime_error);
    EXPECT_EQ(WithStringMemory([] { return 7; }), 7);
    EXPECT_STRNE(STRING_NO_MEMORY().what(), "");
}

TEST(ContentTypeTest, JsonIsFoundAsOneTokenOfTheValue) {
    EXPECT_TRUE(ContentTypeListsJson("application/json"));
    EXPECT_TRUE(ContentTypeListsJson("Application/JSON ;charset=utf-8"));
    EXPECT_TRUE(ContentTypeListsJson("application/json; charset=utf-8"));
    EXPECT_TRUE(ContentTypeListsJson("text/plain, application/json"));
    EXPECT_TRUE(ContentTypeListsJson("  application/json\t"));
    EXPECT_FALSE(ContentTypeListsJson("text/json"));
    EXPECT_FALSE(ContentTypeListsJson("text/html"));
    EXPECT_FALSE(ContentTypeListsJson("application/jsonp"));
    EXPECT_FALSE(ContentTypeListsJson("application/ json")) << "blanks inside a token stay";
    EXPECT_FALSE(ContentTypeListsJson(""));
    EXPECT_FALSE(ContentTypeListsJson(";,"));
}

}  // namespace
}  // namespace wexo::svc
