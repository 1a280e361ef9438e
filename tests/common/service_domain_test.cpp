#include "common/service_domain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace wexo {
namespace {

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 32);
        }
    }
    return out;
}

const std::string kDomain(kServiceDomain);
const std::string kFirstLabel = kDomain.substr(0, kDomain.find('.'));
const std::string kLastLabel = kDomain.substr(kDomain.find('.') + 1);

TEST(ServiceDomainTest, ConstantIsTwoLabels) {
    ASSERT_EQ(std::count(kDomain.begin(), kDomain.end(), '.'), 1);
    EXPECT_FALSE(kFirstLabel.empty());
    EXPECT_FALSE(kLastLabel.empty());
}

TEST(ServiceDomainTest, DomainAndAnyHostBelowItInAnyCase) {
    for (const std::string& host :
         {kDomain, Upper(kDomain), "api." + kDomain,
          "a.b.c." + Upper(kFirstLabel) + "." + kLastLabel,
          "x-1." + kFirstLabel + "." + Upper(kLastLabel), "." + kDomain}) {
        EXPECT_TRUE(IsServiceDomain(host)) << host;
    }
}

TEST(ServiceDomainTest, OtherHostsAreNot) {
    std::string changedFirst = kDomain;
    changedFirst[0] = changedFirst[0] == 'z' ? 'y' : 'z';
    for (const std::string& host :
         {std::string(), kLastLabel, kFirstLabel, "evil" + kDomain, "api.evil" + kDomain,
          kDomain + ".evil.test", "api." + kDomain + ".", "api." + changedFirst,
          kFirstLabel + "-" + kLastLabel, kDomain.substr(0, kDomain.size() - 1), kDomain + "x",
          // A port: the name servers read is the one before it.
          "blocked.test:." + kDomain, "blocked.test:x." + kDomain, "api." + kDomain + ":8443"}) {
        EXPECT_FALSE(IsServiceDomain(host)) << host;
    }
}

TEST(ServiceDomainTest, OnlyAsciiLettersFoldCase) {
    std::string flippedLetters = kDomain;
    for (char& c : flippedLetters) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            c = static_cast<char>(c ^ 0x20);
        }
    }
    EXPECT_TRUE(IsServiceDomain("www." + flippedLetters));
    // The case bit of a non-letter is part of the byte: the dot (0x2E) is not 0x0E.
    std::string flippedDot = kDomain;
    flippedDot[kDomain.find('.')] = static_cast<char>('.' ^ 0x20);
    EXPECT_FALSE(IsServiceDomain(flippedDot));
}

}  // namespace
}  // namespace wexo
