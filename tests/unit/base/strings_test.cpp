// The shared text helpers: trimming as users paste values, ASCII case folding.
#include "velmora/base/strings.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using velmora::base::ascii_lower;
using velmora::base::iequals;
using velmora::base::trim;

TEST(Trim, AsciiAndUnicodeSpacesButNeverBrokenOrOtherBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"  t1 ", "t1"},
      {"\t\n t \r\v\f", "t"},
      {"\xE3\x80\x80t\xC2\xA0", "t"},      // ideographic space, no-break space
      {"\xE2\x80\xAFt\xE2\x80\x8A", "t"},  // narrow no-break space, hair space
      {"a b", "a b"},
      {"   ", ""},
      {"", ""},
      {"\xE2\x80\x8Bt", "\xE2\x80\x8Bt"},  // zero-width space is not white space
      {"t\xA0", "t\xA0"},                  // a stray continuation byte is kept
      {"\xC2t", "\xC2t"},                  // so is a truncated sequence
      {"\xC0\xA0t", "\xC0\xA0t"},          // and an overlong space
      {"t \xC3\xA9 ", "t \xC3\xA9"},       // é ends the text, the space after it does not
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(trim(input), expected) << input;
}

TEST(AsciiCase, LowerAndCompareOnlyAsciiLetters) {
  EXPECT_EQ(ascii_lower("Content-Type \xC3\x89"), "content-type \xC3\x89");
  EXPECT_TRUE(iequals("Content-Length", "content-LENGTH"));
  EXPECT_FALSE(iequals("abc", "abd"));
  EXPECT_FALSE(iequals("abc", "abcd"));
  EXPECT_FALSE(iequals("\xC3\x89", "\xC3\xA9"));
  EXPECT_TRUE(velmora::base::istarts_with("HTTPS://h", "https://"));
  EXPECT_FALSE(velmora::base::istarts_with("http", "https://"));
}

}  // namespace
