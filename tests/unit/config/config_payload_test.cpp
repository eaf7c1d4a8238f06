#include "velmora/config_payload.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/system/system_error.hpp>

#include "velmora/cli_errors.hpp"

namespace {

using velmora::CliInvocationError;
using velmora::parse_config_payload;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

boost::json::object object_of(const char* json) { return boost::json::parse(json).as_object(); }

TEST(ParseConfigPayload, AcceptsJsonAndLooseNotation) {
  struct Case {
    const char* input;
    const char* expected;  // as JSON
  } cases[] = {
      {R"({"devevaro_account":"123"})", R"({"devevaro_account":"123"})"},
      {"{devevaro_account:123}", R"({"devevaro_account":"123"})"},
      {"  {devevaro_account:123}  ", R"({"devevaro_account":"123"})"},
      {"a=1, b = 'x, y'", R"({"a":"1","b":"x, y"})"},
      {"{}", "{}"},
      {"{ }", "{}"},
      {"{flag:TRUE, other:None}", R"({"flag":true,"other":null})"},
      {"{a:'true', b:\"False\", c:NULL}", R"({"a":true,"b":false,"c":null})"},
      {"a=b:c", R"({"a=b":"c"})"},
      {"{a:{b:1,c:2}}", R"({"a":"{b:1","c":"2}"})"},
      {"{a:1,,b:2,}", R"({"a":"1","b":"2"})"},
      {"{a:1, a:2}", R"({"a":"2"})"},
      {"{'quoted key': \" keeps inner \"}", R"({"quoted key":" keeps inner "})"},
      {"{a:\"it's, fine\"}", R"({"a":"it's, fine"})"},
      {"{url:http://x.test:8080/p}", R"({"url":"http://x.test:8080/p"})"},
      {R"({"a": {"b": [1, 2]}, "a": 3})", R"({"a":3})"},
      {"{name:\u5f20\u4e09}", "{\"name\":\"\u5f20\u4e09\"}"},
      // Spaces a chat client may paste around the value are white space too.
      {"\u00a0{a:1}\u3000", R"({"a":"1"})"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_config_payload(std::string(c.input));
    ASSERT_TRUE(parsed.has_value()) << c.input;
    EXPECT_EQ(*parsed, object_of(c.expected)) << c.input;
  }
}

TEST(ParseConfigPayload, BlankMeansNoConfiguration) {
  for (const std::optional<std::string>& input :
       {std::optional<std::string>{}, std::optional<std::string>{""},
        std::optional<std::string>{"   \t\n"}}) {
    EXPECT_FALSE(parse_config_payload(input).has_value());
  }
}

TEST(ParseConfigPayload, RejectsWithTheRightHintAndDetail) {
  const std::string not_object_hint = "Pass a JSON object instead of an array, string, or number.";
  const std::string invalid_hint =
      "Pass a valid JSON object, for example --config '{\"devevaro_account\":\"123\"}' or use a "
      "PowerShell-friendly object like --config \"{devevaro_account:123}\".";
  struct Case {
    const char* input;
    std::string hint;
    bool has_detail;
  } cases[] = {
      {"[1,2]", not_object_hint, false}, {"\"text\"", not_object_hint, false},
      {"42", not_object_hint, false},    {"true", not_object_hint, false},
      {"null", not_object_hint, false},  {"abc", invalid_hint, true},
      {"{:1}", invalid_hint, true},      {"{a:1, b}", invalid_hint, true},
      {"{a:1, :2}", invalid_hint, true},
  };
  for (const auto& c : cases) {
    try {
      (void)parse_config_payload(std::string(c.input));
      ADD_FAILURE() << c.input << " was accepted";
    } catch (const CliInvocationError& e) {
      EXPECT_EQ(e.category(), "config") << c.input;
      EXPECT_EQ(e.summary(), "Invalid --config JSON.") << c.input;
      EXPECT_STREQ(e.what(), "Invalid --config JSON.");
      EXPECT_EQ(e.hint(), c.hint) << c.input;
      EXPECT_EQ(e.detail().has_value(), c.has_detail) << c.input;
      EXPECT_EQ(e.cause() != nullptr, c.has_detail) << c.input;
    }
  }
}

TEST(ParseConfigPayload, DetailSaysWhereTheDecoderStopped) {
  try {
    (void)parse_config_payload(std::string("{\"a\": 1,\n  oops}"));
    FAIL() << "accepted";
  } catch (const CliInvocationError& e) {
    ASSERT_TRUE(e.detail());
    EXPECT_THAT(*e.detail(), HasSubstr("line 2 column 3 (char 11)"));
    EXPECT_THROW(std::rethrow_exception(e.cause()), boost::system::system_error);
  }
}

TEST(SplitTopLevelPairs, OnlyQuotesProtectCommas) {
  using velmora::split_top_level_pairs;
  EXPECT_THAT(split_top_level_pairs("a:1, b:'x,y' ,c:\"p,'q\""),
              ElementsAre("a:1", "b:'x,y'", "c:\"p,'q\""));
  EXPECT_THAT(split_top_level_pairs("a:[1,2]"), ElementsAre("a:[1", "2]"));
  EXPECT_THAT(split_top_level_pairs(" , ,a , "), ElementsAre("a"));
  // An unclosed quote runs to the end.
  EXPECT_THAT(split_top_level_pairs("a:'x, b:y"), ElementsAre("a:'x, b:y"));
}

TEST(StripWrappingQuotes, RemovesOneMatchingLayer) {
  struct Case {
    const char* input;
    const char* expected;
  } cases[] = {
      {"'x'", "x"}, {"\"x\"", "x"}, {"\"'x'\"", "'x'"}, {"'x\"", "'x\""}, {"'", "'"},
      {"''", ""},   {"x", "x"},     {"' a '", " a "},   {"\"\"\"", "\""},
  };
  for (const auto& c : cases) EXPECT_EQ(velmora::strip_wrapping_quotes(c.input), c.expected);
}

}  // namespace
