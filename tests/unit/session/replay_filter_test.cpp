#include "velmora/replay_filter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <boost/json/parse.hpp>

namespace {

using velmora::ReplayFilter;

struct Step {
  enum Kind { live, replayed, reconnect } kind;
  std::string text;  ///< tells the message apart ("" for reconnect)
  bool skipped = false;
  std::string thread = "t1";
};

/// A delta step: "<message id>:<text>", and the text it shows ("" when skipped).
struct DeltaStep {
  Step::Kind kind;
  std::string text;
  std::string shown;
};

/// A whole message (a tool line); `text` tells them apart.
velmora::events::AgentEvent tool(const std::string& text) {
  return velmora::events::server_event(
      boost::json::parse(R"({"type": "tool_execution", "tool_name": ")" + text + R"("})")
          .as_object());
}

/// A streamed answer piece: "<message id>:<text>".
velmora::events::AgentEvent delta(const std::string& spec) {
  const auto colon = spec.find(':');
  return velmora::events::server_event(boost::json::object{{"type", "text_delta"},
                                                           {"delta", spec.substr(colon + 1)},
                                                           {"message_id", spec.substr(0, colon)}});
}

std::vector<bool> run(const std::vector<Step>& steps) {
  ReplayFilter filter;
  std::vector<bool> skipped;
  for (const auto& step : steps) {
    if (step.kind == Step::reconnect) {
      filter.expect_repeat();
      continue;
    }
    auto message = tool(step.text);
    skipped.push_back(filter.observe(step.thread, message, step.kind == Step::replayed));
  }
  return skipped;
}

/// The text each delta step shows ("" when it is skipped).
std::vector<std::string> run_deltas(const std::vector<DeltaStep>& steps) {
  ReplayFilter filter;
  std::vector<std::string> shown;
  for (const auto& step : steps) {
    if (step.kind == Step::reconnect) {
      filter.expect_repeat();
      continue;
    }
    auto message = delta(step.text);
    const bool skipped = filter.observe("t1", message, step.kind == Step::replayed);
    shown.push_back(skipped ? "" : std::string(message.message.at("delta").as_string()));
  }
  return shown;
}

std::vector<bool> expected(const std::vector<Step>& steps) {
  std::vector<bool> out;
  for (const auto& step : steps) {
    if (step.kind != Step::reconnect) out.push_back(step.skipped);
  }
  return out;
}

TEST(ReplayFilter, SkipsOnlyWhatTheReconnectedThreadAlreadyShowed) {
  using enum Step::Kind;
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"a repeat replay is skipped, the part lost with the drop is shown",
       {{live, "a"},
        {live, "b"},
        {reconnect, ""},
        {replayed, "a", true},
        {replayed, "b", true},
        {replayed, "c"},
        {live, "d"}}},
      {"a resume (no reconnect) shows its whole replay",
       {{live, "a"}, {replayed, "a"}, {replayed, "b"}}},
      {"a replay of another thread is never matched",
       {{live, "a"}, {reconnect, ""}, {replayed, "a", false, "t2"}}},
      {"a service that replays other messages than it streamed gets everything shown",
       {{live, "a"}, {live, "b"}, {reconnect, ""}, {replayed, "ab"}, {replayed, "end"}}},
      {"a replay without its oldest turns still matches the rest",
       {{live, "a"},
        {live, "b"},
        {live, "c"},
        {reconnect, ""},
        {replayed, "b", true},
        {replayed, "c", true}}},
      {"messages the service does not replay (errors about bad frames) are stepped over",
       {{live, "a"},
        {live, "bad-frame"},
        {live, "b"},
        {reconnect, ""},
        {replayed, "a", true},
        {replayed, "b", true}}},
      {"a second reconnect skips what the first replay showed",
       {{live, "a"},
        {reconnect, ""},
        {replayed, "a", true},
        {replayed, "lost"},
        {live, "b"},
        {reconnect, ""},
        {replayed, "a", true},
        {replayed, "lost", true},
        {replayed, "b", true}}},
      {"a replay cut short by another drop keeps matching against the full record",
       {{live, "a"},
        {live, "b"},
        {live, "c"},
        {reconnect, ""},
        {replayed, "a", true},
        {reconnect, ""},
        {replayed, "a", true},
        {replayed, "b", true},
        {replayed, "c", true}}},
      {"equal messages match in order, a second copy is not taken for the first",
       {{live, "x"}, {reconnect, ""}, {replayed, "x", true}, {replayed, "x"}}},
      {"live output after a reconnect ends the expectation of a repeat",
       {{live, "a"}, {reconnect, ""}, {live, "b"}, {replayed, "a"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.steps), expected(c.steps)) << c.name;
  }
}

TEST(ReplayFilter, StreamedTextIsMatchedByContentWhateverTheReplaysPieces) {
  using enum Step::Kind;
  const struct {
    const char* name;
    std::vector<DeltaStep> steps;
  } cases[] = {
      {"deltas replayed as streamed are skipped",
       {{live, "m:ab", "ab"},
        {live, "m:cd", "cd"},
        {reconnect, "", ""},
        {replayed, "m:ab", ""},
        {replayed, "m:cd", ""}}},
      {"deltas replayed joined into one are skipped",
       {{live, "m:ab", "ab"}, {live, "m:cd", "cd"}, {reconnect, "", ""}, {replayed, "m:abcd", ""}}},
      {"a joined replay that goes on shows only the lost rest",
       {{live, "m:ab", "ab"},
        {reconnect, "", ""},
        {replayed, "m:abcd", "cd"},
        {live, "m:ef", "ef"}}},
      {"a replay that disagrees is shown whole",
       {{live, "m:ab", "ab"},
        {reconnect, "", ""},
        {replayed, "m:xy", "xy"},
        {replayed, "m:ab", "ab"}}},
      {"another answer's text is its own",
       {{live, "m:ab", "ab"},
        {reconnect, "", ""},
        {replayed, "m:ab", ""},
        {replayed, "n:ab", "ab"}}},
      {"a resume shows its replay", {{live, "m:ab", "ab"}, {replayed, "m:ab", "ab"}}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> want;
    for (const auto& step : c.steps) {
      if (step.kind != Step::reconnect) want.push_back(step.shown);
    }
    EXPECT_EQ(run_deltas(c.steps), want) << c.name;
  }
}

TEST(ReplayFilter, TextBeyondItsBoundIsShownAgainNeverLost) {
  ReplayFilter filter;
  const std::string chunk(ReplayFilter::MAX_TEXT_BYTES / 2 + 1, 'x');
  for (const char* id : {"m", "n"}) {
    auto message = delta(std::string(id) + ":" + chunk);
    EXPECT_FALSE(filter.observe("t1", message, false));
  }
  filter.expect_repeat();
  auto first = delta("m:" + chunk);
  EXPECT_TRUE(filter.observe("t1", first, true));
  // "n" did not fit: its replay is shown again.
  auto second = delta("n:" + chunk);
  EXPECT_FALSE(filter.observe("t1", second, true));
  EXPECT_EQ(second.message.at("delta").as_string().size(), chunk.size());
}

TEST(ReplayFilter, DigestFollowsContentAndKeyOrder) {
  const auto a = boost::json::parse(R"({"type": "text", "content": "hi"})").as_object();
  const auto same = boost::json::parse(R"({"type":"text","content":"hi"})").as_object();
  const auto other = boost::json::parse(R"({"type": "text", "content": "hj"})").as_object();
  EXPECT_EQ(ReplayFilter::digest(a), ReplayFilter::digest(same));
  EXPECT_NE(ReplayFilter::digest(a), ReplayFilter::digest(other));
  // Larger than the serialiser's buffer.
  boost::json::object big{{"delta", std::string(10000, 'x')}};
  boost::json::object bigger{{"delta", std::string(10000, 'x') + "y"}};
  EXPECT_NE(ReplayFilter::digest(big), ReplayFilter::digest(bigger));
}

TEST(ReplayFilter, ForgetsTheOldestMessagesBeyondItsBound) {
  ReplayFilter filter;
  const std::size_t total = ReplayFilter::MAX_REMEMBERED + 10;
  for (std::size_t i = 0; i < total; ++i) {
    auto message = tool(std::to_string(i));
    (void)filter.observe("t1", message, false);
  }
  filter.expect_repeat();
  // The first ten are forgotten and shown again; the rest are known.
  for (const auto& [name, known] : {std::pair{"0", false}, {"10", true}, {"11", true}}) {
    auto message = tool(name);
    EXPECT_EQ(filter.observe("t1", message, true), known) << name;
  }
}

}  // namespace
