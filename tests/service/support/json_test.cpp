#include "service/support/json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/core/sync.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

JSON_TREE MustParse(std::string_view text) {
    std::string error;
    JSON_TREE tree = ParseJson(text, error);
    EXPECT_TRUE(tree) << error;
    return tree;
}

// ---- Parsing and typed look-up.

TEST(JsonParseTest, MalformedTextGivesTheLibraryMessage) {
    std::string error;
    EXPECT_FALSE(ParseJson("{\"a\": 1} x", error));
    EXPECT_THAT(error, HasSubstr("Trailing garbage"));
    EXPECT_FALSE(ParseJson("{\"a\": \"open", error));
    EXPECT_THAT(error, HasSubstr("Unexpected EOF in string"));
    EXPECT_FALSE(ParseJson("{\"a\" 1}", error));
    EXPECT_THAT(error, HasSubstr("1:"));
    error.clear();
    EXPECT_FALSE(ParseJson("", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(ParseJson(std::string_view(), error));
}

TEST(JsonParseTest, AsObjectAndAsStringCheckTheType) {
    JSON_TREE tree = MustParse(R"({"s": "text", "n": 3})");
    EXPECT_EQ(AsObject(tree.get()), tree.get());
    EXPECT_EQ(AsObject(nullptr), nullptr);
    const json_value* s = tree->u.object.values[0].value;
    const json_value* n = tree->u.object.values[1].value;
    EXPECT_EQ(AsObject(s), nullptr);
    ASSERT_TRUE(AsString(s).has_value());
    EXPECT_EQ(*AsString(s), "text");
    EXPECT_FALSE(AsString(n).has_value());
}

TEST(JsonLookupTest, EachLookUpReadsItsType) {
    JSON_TREE tree = MustParse(R"({"Servers": ["a.example", 7], "Dormant": false,
        "ServerMode": -1, "CustomerID": "C-1", "Big": 9223372036854775807})");
    std::span<const json_value* const> servers;
    ASSERT_TRUE(FindArray(tree.get(), "Servers", servers));
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(*AsString(servers[0]), "a.example");
    uint8_t dormant = 7;
    ASSERT_TRUE(FindBoolean(tree.get(), "Dormant", dormant));
    EXPECT_EQ(dormant, 0);
    int64_t mode = 0;
    ASSERT_TRUE(FindInteger(tree.get(), "ServerMode", mode));
    EXPECT_EQ(mode, -1);
    ASSERT_TRUE(FindInteger(tree.get(), "Big", mode));
    EXPECT_EQ(mode, INT64_MAX);
    std::string_view pointer;
    ASSERT_TRUE(FindStringPointer(tree.get(), "CustomerID", pointer));
    EXPECT_EQ(pointer, "C-1");
    EXPECT_EQ(pointer.data(), tree->u.object.values[3].value->u.string.ptr);  // inside the tree
    std::string copy;
    ASSERT_TRUE(FindString(tree.get(), "CustomerID", copy));
    EXPECT_EQ(copy, "C-1");
}

TEST(JsonLookupTest, FirstMemberOfTheNameDecides) {
    // A string "true" is not a boolean.
    JSON_TREE tree = MustParse(R"({"Dormant": "true"})");
    uint8_t dormant = 5;
    EXPECT_FALSE(FindBoolean(tree.get(), "Dormant", dormant));
    EXPECT_EQ(dormant, 5);  // untouched

    // The second CustomerID is never seen.
    tree = MustParse(R"({"CustomerID": 5, "CustomerID": "late"})");
    std::string id = "before";
    EXPECT_FALSE(FindString(tree.get(), "CustomerID", id));
    EXPECT_EQ(id, "before");
    int64_t number = 0;
    EXPECT_TRUE(FindInteger(tree.get(), "CustomerID", number));
    EXPECT_EQ(number, 5);

    // Names compare byte for byte: case matters.
    tree = MustParse(R"({"customerid": "lower"})");
    EXPECT_FALSE(FindString(tree.get(), "CustomerID", id));
}

TEST(JsonLookupTest, NamesAreComparedWithTheirWholeLength) {
    // A NUL inside a member name must not make a prefix of it match.
    JSON_TREE tree = MustParse(R"({"CustomerID\u0000x": "forged", "CustomerID": "real"})");
    std::string id;
    ASSERT_TRUE(FindString(tree.get(), "CustomerID", id));
    EXPECT_EQ(id, "real");
    EXPECT_FALSE(FindString(tree.get(), "Customer", id));
    // Strings may hold a NUL; the copy keeps all of it.
    tree = MustParse(R"({"s": "a\u0000b", "": 1})");
    ASSERT_TRUE(FindString(tree.get(), "s", id));
    EXPECT_EQ(id, std::string("a\0b", 3));
    int64_t empty = 0;
    EXPECT_TRUE(FindInteger(tree.get(), "", empty));
}

TEST(JsonLookupTest, NonObjectsHaveNoMembers) {
    JSON_TREE tree = MustParse(R"(["CustomerID", "x"])");
    std::string id;
    EXPECT_FALSE(FindString(tree.get(), "CustomerID", id));
    EXPECT_FALSE(FindString(nullptr, "CustomerID", id));
    int64_t n;
    EXPECT_FALSE(FindInteger(MustParse("{}").get(), "x", n));
}

// ---- The walk.

TEST(JsonWalkTest, StopsAtTheFirstRefusalAndClosesOpenContainers) {
    JSON_TREE tree = MustParse(R"({"a": [1, 2, 3], "b": {"c": null}})");
    std::vector<std::string> events;
    auto enter = [&](unsigned depth, bool, std::optional<std::string_view> name,
                     const json_value& value) {
        events.push_back("enter " + std::to_string(depth) + " " +
                         (name ? std::string(*name) : std::string("-")));
        return !(value.type == json_integer && value.u.integer == 2);
    };
    auto leave = [&](unsigned depth, bool, std::optional<std::string_view> name,
                     const json_value&) {
        events.push_back("leave " + std::to_string(depth) + " " +
                         (name ? std::string(*name) : std::string("-")));
        return true;
    };
    EXPECT_FALSE(VisitJson(*tree, enter, leave));
    EXPECT_THAT(events, ElementsAre("enter 0 -", "enter 1 a", "enter 2 -", "enter 2 -", "leave 1 a",
                                    "leave 0 -"));
}

TEST(JsonWalkTest, DeepNestingNeedsNoDeepStack) {
    const size_t depth = 200000;
    std::string text = std::string(depth, '[') + std::string(depth, ']');
    JSON_TREE tree = MustParse(text);
    size_t entered = 0;
    unsigned deepest = 0;
    auto enter = [&](unsigned d, bool, std::optional<std::string_view>, const json_value&) {
        ++entered;
        deepest = std::max(deepest, d);
        return true;
    };
    auto leave = [](unsigned, bool, std::optional<std::string_view>, const json_value&) {
        return true;
    };
    EXPECT_TRUE(VisitJson(*tree, enter, leave));
    EXPECT_EQ(entered, depth);
    EXPECT_EQ(deepest, depth - 1);
}

// ---- The printer.

class JsonPrintTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DebugReset();
        DebugSetOutputHook([this](uint32_t, std::string_view text) { lines_.emplace_back(text); });
    }
    void TearDown() override { DebugReset(); }

    std::vector<std::string> Print(std::string_view text) {
        lines_.clear();
        JSON_TREE tree = MustParse(text);
        if (tree) {
            PrintJson(*tree);
        }
        return lines_;
    }

    std::vector<std::string> lines_;
};

TEST_F(JsonPrintTest, PrintsTheExampleInEightLines) {
    EXPECT_THAT(Print(R"({"a": 1, "b": ["x", true]})"),
                ElementsAre("{\n", "  \"a\": 1,\n", "  \"b\":\n", "  [\n", "    \"x\",\n",
                            "    true\n", "  ]\n", "}\n"));
}

TEST_F(JsonPrintTest, PrintsEveryKindOfValue) {
    EXPECT_THAT(
        Print(R"({"i": -5, "d": 1.5, "s": "t", "t": true, "f": false, "n": null,
                         "o": {"e": [null, 2.25, {}]}})"),
        ElementsAre("{\n", "  \"i\": -5,\n", "  \"d\": 1.500000,\n", "  \"s\": \"t\",\n",
                    "  \"t\": true,\n", "  \"f\": false,\n", "  \"n\": null,\n", "  \"o\":\n",
                    "  {\n", "    \"e\":\n", "    [\n", "      null,\n", "      2.250000,\n",
                    "      {\n", "      }\n", "    ]\n", "  }\n", "}\n"));
}

TEST_F(JsonPrintTest, EmptyContainers) {
    EXPECT_THAT(Print("{}"), ElementsAre("{\n", "}\n"));
    EXPECT_THAT(Print(R"({"list": []})"),
                ElementsAre("{\n", "  \"list\":\n", "  [\n", "  ]\n", "}\n"));
    EXPECT_THAT(Print("7"), ElementsAre("7\n"));
}

TEST_F(JsonPrintTest, StringValuesAreEscapedButNamesAreNot) {
    EXPECT_THAT(Print(R"({"say \"hi\"": "a \"quote\" and a \\ backslash\n"})"),
                ElementsAre("{\n", "  \"say \"hi\"\": \"a \\\"quote\\\" and a \\\\ backslash\n\"\n",
                            "}\n"));
    EXPECT_EQ(EscapeJsonText(R"(a"b\c)"), R"(a\"b\\c)");
    EXPECT_EQ(EscapeJsonText("plain"), "plain");
}

TEST_F(JsonPrintTest, TheLinesGoOutAsOneBlock) {
    // Lines of another thread cannot land inside a printed tree.
    std::mutex lock;
    std::vector<std::string> lines;
    DebugSetOutputHook([&](uint32_t, std::string_view text) {
        std::lock_guard<std::mutex> guard(lock);
        lines.emplace_back(text);
    });
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    auto other = os::Thread::Start([&] {
        while (!stop) {
            DebugPrint("other");
            ++written;
        }
    });
    while (written == 0) {
        std::this_thread::yield();
    }
    std::string text = "{\"a\": [0";
    for (int i = 1; i < 100; ++i) {
        text += "," + std::to_string(i);
    }
    JSON_TREE tree = MustParse(text + "]}");
    for (int round = 0; round < 300; ++round) {
        PrintJson(*tree);
    }
    stop = true;
    os::WaitForSingleObject(*other, os::INFINITE);
    std::lock_guard<std::mutex> guard(lock);
    size_t trees = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != "{\n") {
            continue;
        }
        ++trees;
        ASSERT_LE(i + 105, lines.size());
        EXPECT_EQ(lines[i + 104], "}\n");
        for (size_t j = i; j < i + 105; ++j) {
            ASSERT_NE(lines[j], "other") << "at " << j - i;
        }
    }
    EXPECT_EQ(trees, 300u);
}

}  // namespace
}  // namespace wexo::svc
