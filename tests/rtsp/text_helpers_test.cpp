#include "base/text_helpers.h"

#include <gtest/gtest.h>

namespace telvora {
namespace {

TEST(TextHelpers, TrimAndLower) {
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim("\t a b \t"), "a b");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(ToLower("Content-BASE: RTSP://X"), "content-base: rtsp://x");
  // Bytes above 0x7F pass unchanged.
  EXPECT_EQ(ToLower("\xC4Z"), "\xC4z");
}

struct ExtractCase {
  const char* text;
  const char* key;
  const char* separator;
  const char* terminators;
  const char* expected;
};

const ExtractCase kExtractCases[] = {
    {"Session: 1234;timeout=60", "Session:", " ", ";\r\n", "1234"},
    {"Session: 1234;timeout=60", "timeout", "=", ";\r\n", "60"},
    {"Session: 1234; timeout=60", "timeout", "=", ";\r\n", "60"},  // name is trimmed
    {"a=1;xtimeout=5;timeout=7", "timeout", "=", ";", "7"},         // inside another name
    {"timeout", "timeout", "=", ";", ""},                           // separator never follows
    {"timeout=", "timeout", "=", ";", ""},                          // empty value
    {"timeout=;timeout=3", "timeout", "=", ";", "3"},
    {"x=1", "", "=", ";", ""},
    {"x=1", "x", "", ";", ""},
    {"x=1", "x", "=", "", ""},
    {"RTP/AVP/TCP;unicast;interleaved=4-5", "interleaved", "=", ";-", "4"},
    {";;;=;=", ";", "=", ";", ""},  // a key made of a terminator ends the search
    {"==", "=", "=", ";", ""},
};

TEST(TextHelpers, ExtractValueTable) {
  for (const ExtractCase& c : kExtractCases) {
    EXPECT_EQ(ExtractValue(c.text, c.key, c.separator, c.terminators), c.expected)
        << "text=" << c.text << " key=" << c.key;
  }
}

TEST(TextHelpers, SplitKeepsInnerEmptiesButNoTrailingOne) {
  EXPECT_TRUE(Split("", ',').empty());
  EXPECT_EQ(Split("a,,b,", ','), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(Split(",a", ','), (std::vector<std::string>{"", "a"}));
  EXPECT_EQ(Split(",", ','), (std::vector<std::string>{""}));
}

TEST(TextHelpers, LeadingNumberSaturates) {
  size_t digits = 0;
  EXPECT_EQ(LeadingNumber("5004/2", 0xFFFF, &digits), 5004u);
  EXPECT_EQ(digits, 4u);
  EXPECT_EQ(LeadingNumber("x1", 0xFFFF, &digits), 0u);
  EXPECT_EQ(digits, 0u);
  EXPECT_EQ(LeadingNumber("99999999999999999999999", 0xFFFFFFFFull), 0xFFFFFFFFull);
}

}  // namespace
}  // namespace telvora
