#include "driver/platform/text_conversions.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace wexo::drv {
namespace {

template <typename Char>
std::basic_string<Char> Written(const Char* start, const Char* end) {
    return std::basic_string<Char>(start, end);
}

TEST(TextConversionsTest, ValuesToHexHaveNoLeadingZeros) {
    char out[16];
    EXPECT_EQ(Written(out, ValueToHex(out, 0)), "0");
    EXPECT_EQ(Written(out, ValueToHex(out, 31)), "1F");
    EXPECT_EQ(Written(out, ValueToHex(out, 0xC0000022)), "C0000022");
    char16_t wide[16];
    wide[2] = u'#';
    char16_t* end = ValueToHexZ(wide, 31);
    EXPECT_EQ(Written(wide, end), u"1F");
    EXPECT_EQ(*end, u'\0');
}

TEST(TextConversionsTest, BytesAndWordsKeepEveryDigit) {
    const uint8_t bytes[] = {0x00, 0x0A, 0xFF, 0x3C};
    char out[32];
    EXPECT_EQ(Written(out, BytesToHex(out, bytes, 4)), "000AFF3C");
    EXPECT_EQ(Written(out, BytesToSpacedHex(out, bytes, 4)), "00 0A FF 3C");
    EXPECT_EQ(Written(out, BytesToSpacedHex(out, bytes, 0)), "");
    char16_t wide[32];
    EXPECT_EQ(Written(wide, BytesToHex(wide, bytes, 2)), u"000A");
    EXPECT_EQ(Written(wide, BytesToSpacedHex(wide, bytes, 2)), u"00 0A");
    const uint32_t words[] = {0x1, 0xDEADBEEF};
    EXPECT_EQ(Written(out, WordsToHex(out, words, 2)), "00000001 DEADBEEF");
    EXPECT_EQ(Written(wide, WordsToHex(wide, words, 1)), u"00000001");
}

TEST(TextConversionsTest, DecimalsCarryTheSignAndChain) {
    char out[32];
    EXPECT_EQ(Written(out, SignedToDecimal(out, -42)), "-42");
    EXPECT_EQ(Written(out, SignedToDecimal(out, INT32_MIN)), "-2147483648");
    EXPECT_EQ(Written(out, UnsignedToDecimal(out, UINT32_MAX)), "4294967295");
    // A "Z" variant returns its NUL, where the next call goes on.
    char* at = SignedToDecimalZ(out, 7);
    EXPECT_EQ(*at, '\0');
    at = UnsignedToDecimalZ(at, 0);
    EXPECT_EQ(std::string(out), "70");
    char16_t wide[32];
    char16_t* wideAt = SignedToDecimal(wide, -1);
    *wideAt++ = u'/';
    wideAt = UnsignedToDecimalZ(wideAt, 12);
    EXPECT_EQ(std::u16string(wide), u"-1/12");
    EXPECT_EQ(Written(wide, SignedToDecimalZ(wide, 5)), u"5");
    EXPECT_EQ(Written(wide, UnsignedToDecimal(wide, 10)), u"10");
}

TEST(TextConversionsTest, DigitsAreReadUpToTheFirstOther) {
    const std::string text = "1234x5";
    const char* stop = nullptr;
    EXPECT_EQ(DecimalToValue(text.data(), text.data() + text.size(), &stop), 1234u);
    EXPECT_EQ(*stop, 'x');
    EXPECT_EQ(DecimalToValue(text.data(), text.data() + 2), 12u);
    const std::string sign = "-5";
    EXPECT_EQ(DecimalToValue(sign.data(), sign.data() + sign.size()), 0u);
    const std::string hex = "1f A0 zz";
    EXPECT_EQ(HexToValue(hex.data(), hex.data() + hex.size(), &stop), 0x1FA0u);
    EXPECT_EQ(*stop, 'z');
    const std::string empty;
    EXPECT_EQ(HexToValue(empty.data(), empty.data()), 0u);
}

TEST(TextConversionsTest, WhiteSpaceIsSpaceAndNineToThirteen) {
    const std::string text = "ab\tc";
    EXPECT_EQ(FindWhiteSpace(text.data(), text.data() + text.size()), text.data() + 2);
    EXPECT_EQ(FindWhiteSpace(text.data(), text.data() + 2), nullptr);
    const std::string lead = " \r\n\v\f\tx ";
    EXPECT_EQ(SkipWhiteSpace(lead.data(), lead.data() + lead.size()), lead.data() + 6);
    EXPECT_EQ(SkipWhiteSpace(lead.data(), lead.data() + 3), lead.data() + 3);
    const std::string other = "\x08\x0E";
    EXPECT_EQ(FindWhiteSpace(other.data(), other.data() + other.size()), nullptr);
}

}  // namespace
}  // namespace wexo::drv
