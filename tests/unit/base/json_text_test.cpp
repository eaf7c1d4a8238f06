#include "velmora/base/json_text.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

namespace {

using velmora::base::format_double;
using velmora::base::json_dumps;

TEST(JsonDumps, SeparatorsOrderAndNonAscii) {
  boost::json::object query;
  query["type"] = "query";
  query["query"] = "héllo 世界";
  query["user_id"] = "u1";
  query["attachments"] = boost::json::array{};
  query["config"] = boost::json::object{};
  EXPECT_EQ(json_dumps(query),
            R"({"type": "query", "query": "héllo 世界", "user_id": "u1", "attachments": [], )"
            R"("config": {}})");
}

TEST(JsonDumps, EscapesControlCharactersAndQuotes) {
  EXPECT_EQ(json_dumps(boost::json::string("a\"b\\c\n\t\r\b\f\x01\x1f\x7f")),
            "\"a\\\"b\\\\c\\n\\t\\r\\b\\f\\u0001\\u001f\x7f\"");
}

TEST(JsonDumps, ReplacesInvalidUtf8) {
  EXPECT_EQ(json_dumps(boost::json::string("a\xff"
                                           "b")),
            "\"a\xEF\xBF\xBD"
            "b\"");
  EXPECT_EQ(velmora::base::sanitize_utf8("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_FALSE(velmora::base::is_valid_utf8("\xED\xA0\x80"));  // a surrogate
  EXPECT_TRUE(velmora::base::is_valid_utf8("ok \xF0\x9F\x98\x80"));
}

TEST(JsonDumps, NumbersAsTheServiceExpects) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {1.0, "1.0"},          {0.1, "0.1"},       {1e16, "1e+16"}, {1e15, "1000000000000000.0"},
      {0.0001, "0.0001"},    {0.00001, "1e-05"}, {-2.5, "-2.5"},  {123.456, "123.456"},
      {1.5e300, "1.5e+300"}, {-0.0, "-0.0"},     {10.0, "10.0"},  {2.5e-7, "2.5e-07"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_double(c.value), c.text) << c.value;
  EXPECT_EQ(json_dumps(boost::json::value(std::int64_t{-9007199254740993})), "-9007199254740993");
  EXPECT_EQ(json_dumps(boost::json::value(std::uint64_t{18446744073709551615ULL})),
            "18446744073709551615");
}

TEST(JsonDumps, SortedKeysForComparisons) {
  auto v = boost::json::parse(R"({"b": 1, "a": {"d": [1, 2], "c": null}})");
  EXPECT_EQ(json_dumps(v, {.sort_keys = true}), R"({"a": {"c": null, "d": [1, 2]}, "b": 1})");
}

}  // namespace
