#include "service/support/xml_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kPolicyReply =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Ostrel>\n"
    "  <BlockOnFailure>TRUE</BlockOnFailure>\n"
    "  <UnencryptedSearch>false</UnencryptedSearch>\n"
    "  <DisableFiltering>False</DisableFiltering>\n"
    "  <CacheTimeout>300</CacheTimeout>\n"
    "  <RedirectURL>http://block.example/page?u=1&amp;c=2</RedirectURL>\n"
    "</Ostrel>\n";

class XmlParserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DebugReset();
        DebugSetMode(DEBUG_OUTPUT_XML);
        DebugSetOutputHook([this](uint32_t, std::string_view text) { lines_.emplace_back(text); });
    }
    void TearDown() override { DebugReset(); }

    // A document <Ostrel><Value>text</Value></Ostrel> positioned on its root.
    void ParseValue(XML_PARSER& parser, const std::string& text) {
        ASSERT_TRUE(parser.Parse("<Ostrel><Value>" + text + "</Value></Ostrel>"));
        ASSERT_TRUE(parser.FindRoot("Ostrel"));
        lines_.clear();
    }

    std::vector<std::string> lines_;
};

TEST_F(XmlParserTest, ReadsAPolicyReplyFieldByField) {
    XML_PARSER parser;
    EXPECT_EQ(parser.LastResult(), 0);
    ASSERT_TRUE(parser.Parse(kPolicyReply));
    ASSERT_TRUE(parser.FindRoot("Ostrel"));
    uint8_t blockOnFailure = 0, unencrypted = 1, disable = 1;
    int32_t timeout = 0;
    std::string redirect;
    EXPECT_TRUE(parser.GetBoolean("BlockOnFailure", blockOnFailure));
    EXPECT_TRUE(parser.GetBoolean("UnencryptedSearch", unencrypted));
    EXPECT_TRUE(parser.GetBoolean("DisableFiltering", disable));
    EXPECT_TRUE(parser.GetInteger("CacheTimeout", timeout));
    EXPECT_TRUE(parser.GetString("RedirectURL", redirect));
    EXPECT_EQ(blockOnFailure, 1);
    EXPECT_EQ(unencrypted, 0);
    EXPECT_EQ(disable, 0);
    EXPECT_EQ(timeout, 300);
    EXPECT_EQ(redirect, "http://block.example/page?u=1&c=2");
    EXPECT_THAT(
        lines_,
        ElementsAre("XML_PARSER: <BlockOnFailure> = true",
                    "XML_PARSER: <UnencryptedSearch> = false",
                    "XML_PARSER: <DisableFiltering> = false", "XML_PARSER: <CacheTimeout> = 300",
                    "XML_PARSER: <RedirectURL> = \"http://block.example/page?u=1&c=2\""));
}

TEST_F(XmlParserTest, IntegerText) {
    XML_PARSER parser;
    int32_t value = 99;
    ParseValue(parser, "12abc");
    EXPECT_FALSE(parser.GetInteger("Value", value));
    EXPECT_EQ(value, 12);
    EXPECT_THAT(lines_, ElementsAre("XML_PARSER: <Value> = invalid integer (\"12abc\")"));

    ParseValue(parser, "");
    value = 99;
    EXPECT_TRUE(parser.GetInteger("Value", value));
    EXPECT_EQ(value, 0);
    EXPECT_THAT(lines_, ElementsAre("XML_PARSER: <Value> = 0"));

    ParseValue(parser, "-42");
    EXPECT_TRUE(parser.GetInteger("Value", value));
    EXPECT_EQ(value, -42);

    ParseValue(parser, "12 ");
    EXPECT_FALSE(parser.GetInteger("Value", value));
    ParseValue(parser, "0x10");
    EXPECT_FALSE(parser.GetInteger("Value", value));
    EXPECT_EQ(value, 0);

    // Beyond 32 bits the value is held at the limit rather than wrapped.
    ParseValue(parser, "99999999999");
    EXPECT_TRUE(parser.GetInteger("Value", value));
    EXPECT_EQ(value, INT32_MAX);
    ParseValue(parser, "-99999999999999999999999");
    EXPECT_TRUE(parser.GetInteger("Value", value));
    EXPECT_EQ(value, INT32_MIN);
}

TEST_F(XmlParserTest, BooleanText) {
    XML_PARSER parser;
    for (const char* text : {"true", "True", "TRUE", "tRuE"}) {
        uint8_t value = 0;
        ParseValue(parser, text);
        EXPECT_TRUE(parser.GetBoolean("Value", value)) << text;
        EXPECT_EQ(value, 1) << text;
    }
    for (const char* text : {"1", "yes", "", " true", "truee"}) {
        uint8_t value = 7;
        ParseValue(parser, text);
        EXPECT_FALSE(parser.GetBoolean("Value", value)) << text;
        EXPECT_EQ(value, 7) << text;
        EXPECT_THAT(lines_, ElementsAre("XML_PARSER: <Value> = invalid boolean (\"" +
                                        std::string(text) + "\")"));
    }
}

TEST_F(XmlParserTest, MissingElementsLeaveTheOutValueAlone) {
    XML_PARSER parser;
    ASSERT_TRUE(parser.Parse("<Other><A>1</A></Other>"));
    EXPECT_FALSE(parser.FindRoot("DNSRemap"));
    EXPECT_THAT(lines_, ElementsAre("XML_PARSER: Path = \"/DNSRemap\" not found"));
    EXPECT_EQ(parser.LastResult(), XML_PARSER::kPathNotFound);
    // A child of the root is not a root.
    EXPECT_FALSE(parser.FindRoot("A"));

    ASSERT_TRUE(parser.FindRoot("Other"));
    EXPECT_EQ(parser.LastResult(), 0);
    lines_.clear();
    std::string text = "kept";
    EXPECT_FALSE(parser.GetString("B", text));
    EXPECT_EQ(text, "kept");
    EXPECT_THAT(lines_, ElementsAre("XML_PARSER: Path = \"B\" not found"));
    // Still on the root: the next read by child name works.
    int32_t a = 0;
    EXPECT_TRUE(parser.GetInteger("A", a));
    EXPECT_EQ(a, 1);
    EXPECT_FALSE(parser.GetString("", text));
}

TEST_F(XmlParserTest, PathsAbsoluteRelativeAndParent) {
    XML_PARSER parser;
    ASSERT_TRUE(parser.Parse("<R><A><B>deep</B></A><C>c</C></R>"));
    ASSERT_TRUE(parser.FindRoot("R"));
    std::string value;
    EXPECT_TRUE(parser.GetString("A/B", value));
    EXPECT_EQ(value, "deep");
    EXPECT_TRUE(parser.GetString("/R/C", value));
    EXPECT_EQ(value, "c");
    // Every read comes back to where it started.
    EXPECT_TRUE(parser.GetString("C", value));
    EXPECT_EQ(value, "c");
    EXPECT_TRUE(parser.GetString("A/B/../../C", value));
    EXPECT_EQ(value, "c");
}

TEST_F(XmlParserTest, OnlyXmlCategoryLinesNeedTheCategory) {
    DebugSetMode(0);
    XML_PARSER parser;
    uint8_t value = 0;
    ParseValue(parser, "TRUE");
    EXPECT_TRUE(parser.GetBoolean("Value", value));
    EXPECT_FALSE(parser.GetBoolean("Missing", value));
    EXPECT_THAT(lines_, IsEmpty());
    ParseValue(parser, "maybe");
    EXPECT_FALSE(parser.GetBoolean("Value", value));
    EXPECT_THAT(lines_, ElementsAre("XML_PARSER: <Value> = invalid boolean (\"maybe\")"));
}

TEST_F(XmlParserTest, ChildEnumeration) {
    XML_PARSER parser;
    ASSERT_TRUE(
        parser.Parse("<DNSRemap><!-- list "
                     "--><Host>a.example</Host>text<Host>b.example</Host><Empty/></DNSRemap>"));
    ASSERT_TRUE(parser.FindRoot("DNSRemap"));
    lines_.clear();
    ASSERT_EQ(parser.ChildCount(), 3u);
    EXPECT_EQ(parser.ChildName(0), "Host");
    EXPECT_EQ(parser.ChildText(0), "a.example");
    EXPECT_EQ(parser.ChildText(1), "b.example");
    EXPECT_EQ(parser.ChildName(2), "Empty");
    EXPECT_EQ(parser.ChildText(2), "");
    EXPECT_EQ(parser.ChildName(3), "");
    EXPECT_EQ(parser.ChildText(99), "");
    EXPECT_THAT(lines_, IsEmpty());
}

TEST_F(XmlParserTest, RepliesThatAreNotXml) {
    const std::string replies[] = {
        "",
        "not xml",
        "<Ostrel>",
        "<Ostrel></Other>",
        "<a><b></a>",
        std::string("\x00\xff\xfe<\x01", 5),
        "<?xml version=\"1.0\"?>",
        "<!-- only -->",
        std::string(100000, '<'),
    };
    for (const std::string& reply : replies) {
        XML_PARSER parser;
        lines_.clear();
        EXPECT_FALSE(parser.Parse(reply)) << reply.substr(0, 20);
        EXPECT_NE(parser.LastResult(), 0);
        ASSERT_EQ(lines_.size(), 1u);
        EXPECT_EQ(lines_[0],
                  "XML_PARSER: Cannot parse text. Error = " + std::to_string(parser.LastResult()));
        // Reads after a failed parse fail cleanly.
        EXPECT_FALSE(parser.FindRoot("Ostrel"));
        std::string text;
        EXPECT_FALSE(parser.GetString("BlockOnFailure", text));
        EXPECT_EQ(parser.ChildCount(), 0u);
    }
    // Whatever follows a NUL is not part of the reply.
    XML_PARSER parser;
    EXPECT_TRUE(parser.Parse(std::string("<Ostrel/>\0<junk", 15)));
    EXPECT_TRUE(parser.FindRoot("Ostrel"));
}

TEST_F(XmlParserTest, DeeplyNestedRepliesDoNotExhaustTheStack) {
    std::string reply;
    for (int i = 0; i < 100000; ++i) {
        reply += "<a>";
    }
    for (int i = 0; i < 100000; ++i) {
        reply += "</a>";
    }
    XML_PARSER parser;
    EXPECT_TRUE(parser.Parse(reply));
    EXPECT_TRUE(parser.FindRoot("a"));
    EXPECT_EQ(parser.ChildCount(), 1u);
}

}  // namespace
}  // namespace wexo::svc
