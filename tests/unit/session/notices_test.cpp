#include "velmora/notices.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

namespace {

namespace json = boost::json;
using wirelet::SessionBindingUpdate;

json::object obj(std::string_view text) { return json::parse(text).as_object(); }

TEST(SessionBindingNotice, OnlyForExplicitRequests) {
  const struct {
    SessionBindingUpdate binding;
    std::optional<std::string> expected;
  } cases[] = {
      {{"t1", "t1", true, false, false}, "reusing thread t1"},
      {{"t1", "t1", true, true, false}, "requested thread t1 started a new session"},
      {{"t1", "t1", true, std::nullopt, false}, std::nullopt},
      {{"t1", "t2", true, true, true}, "requested thread t1, server resumed t2"},
      {{"t1", "t2", true, false, true}, "requested thread t1, server resumed t2"},
      {{"t1", "t1", false, false, false}, std::nullopt},
      {{"t1", "t2", false, true, false}, std::nullopt},
      {{std::nullopt, "t2", true, false, false}, std::nullopt},
      {{"", "t2", true, false, false}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(velmora::build_session_binding_notice(c.binding), c.expected)
        << c.binding.active_thread_id;
  }
}

TEST(ResumeContext, ReadsTheReportedAndNestedConfiguration) {
  EXPECT_FALSE(velmora::extract_resume_context(obj(R"({"type": "config"})")));
  EXPECT_FALSE(velmora::extract_resume_context(obj(R"({"config": "text"})")));

  auto context = velmora::extract_resume_context(obj(
      R"({"thread_id": "outer", "config": {"scenario": "", "user_language": "", "language": "en",
          "config": {"scenario": "report", "x": 1}}})"));
  ASSERT_TRUE(context);
  EXPECT_EQ(context->thread_id, json::value("outer"));
  EXPECT_EQ(context->scenario, json::value("report"));
  EXPECT_EQ(context->language, json::value("en"));
  EXPECT_EQ(context->config_payload, obj(R"({"scenario": "report", "x": 1})"));

  // An empty nested object leaves the reported object itself as the configuration.
  context = velmora::extract_resume_context(
      obj(R"({"config": {"thread_id": "inner", "language": "", "config": {}}})"));
  ASSERT_TRUE(context);
  EXPECT_EQ(context->thread_id, json::value("inner"));
  EXPECT_TRUE(context->scenario.is_null());
  EXPECT_EQ(context->language, json::value(""));
  EXPECT_EQ(context->config_payload,
            obj(R"({"thread_id": "inner", "language": "", "config": {}})"));
}

TEST(NormalizeCompareValue, MakesObjectsComparable) {
  const auto normalize = [](std::string_view text) {
    const json::value value = json::parse(text);
    return velmora::normalize_compare_value(&value);
  };
  EXPECT_EQ(velmora::normalize_compare_value(nullptr), std::nullopt);
  EXPECT_EQ(normalize("null"), std::nullopt);
  EXPECT_EQ(normalize(R"("  ")"), std::nullopt);
  EXPECT_EQ(normalize(R"(" en ")"), "en");
  EXPECT_EQ(normalize("3"), "3");
  EXPECT_EQ(normalize(R"({"b": 1, "a": "é"})"), R"({"a": "é", "b": 1})");
  EXPECT_EQ(normalize(R"({"a": "é", "b": 1})"), normalize(R"({"b": 1, "a": "é"})"));
  EXPECT_EQ(normalize("[2, 1]"), "[2, 1]");
}

TEST(ResumeDriftNotice, ListsEachDifferenceInOrder) {
  const auto report = obj(
      R"({"type": "config", "config": {"scenario": "report", "user_language": "en",
          "config": {"b": 2, "a": 1}}})");
  const json::object same_config = obj(R"({"a": 1, "b": 2})");
  const json::object other_config = obj(R"({"a": 1, "b": 3})");
  const struct {
    std::optional<std::string> scenario;
    std::optional<std::string> language;
    std::optional<json::object> config;
    std::optional<std::string> expected;
  } cases[] = {
      {"keyword", "en", std::nullopt,
       "resumed context differs: scenario=report (requested keyword)"},
      {"report", "en", same_config, std::nullopt},
      {"report", "en", other_config, "resumed context differs: config differs from the request"},
      {"keyword", "zh", other_config,
       "resumed context differs: scenario=report (requested keyword), language=en (requested zh), "
       "config differs from the request"},
      {"", "", std::nullopt, std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(velmora::build_resume_drift_notice(report, c.scenario, c.language, c.config),
              c.expected);
  }
  EXPECT_EQ(velmora::build_resume_drift_notice(obj(R"({"config": 5})"), "a", "b", same_config),
            std::nullopt);
  // A server that reports no scenario or language says nothing about them.
  EXPECT_EQ(
      velmora::build_resume_drift_notice(obj(R"({"config": {"x": 1}})"), "a", "b", std::nullopt),
      std::nullopt);
}

}  // namespace
