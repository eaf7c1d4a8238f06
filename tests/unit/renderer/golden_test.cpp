// Recorded turns rendered in both profiles and compared with expected text.
//
// Each golden/<name>.jsonl holds one message per line; a line with "_op" calls a renderer
// operation instead ("reset_turn_state", "flush_deferred_output", "begin_historical_replay",
// "flush_pending_historical_asks", "thinking" with optional "id", "advance" with "seconds");
// "_historical": true marks a replayed message; a first line {"_options": {...}} sets
// "one_shot", "sticky" and "width". Expected output is in <name>.terminal.txt and <name>.im.txt,
// colours as tags (renderer_harness.hpp). VELMORA_UPDATE_GOLDEN=1 rewrites them.
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string_view>

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include "renderer_harness.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::renderer::RendererOptions;
using velmora::renderer::testing::Harness;
using velmora::renderer::testing::tagged;

const fs::path GOLDEN_DIR = fs::path(VELMORA_TEST_SOURCE_DIR) / "unit" / "renderer" / "golden";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    auto end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin) lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

std::string render_recording(const std::vector<std::string>& lines, bool terminal) {
  RendererOptions options;
  std::size_t first = 0;
  if (!lines.empty()) {
    const auto head = boost::json::parse(lines[0]).as_object();
    if (const auto* set = head.if_contains("_options")) {
      const auto& o = set->as_object();
      if (const auto* v = o.if_contains("one_shot")) options.one_shot = v->as_bool();
      if (const auto* v = o.if_contains("sticky"))
        options.sticky_collection_plan_live = v->as_bool();
      if (const auto* v = o.if_contains("width")) options.width = static_cast<int>(v->as_int64());
      if (const auto* v = o.if_contains("debug")) options.debug = v->as_bool();
      first = 1;
    }
  }
  options.help_entries = {{"/help", "show available commands"}, {"/exit", "exit the shell"}};
  options.version = "0.1.0";
  options.workspace_cwd = "/work/project";
  options.workspace_branch = "main";
  Harness h(terminal, std::move(options));
  for (std::size_t i = first; i < lines.size(); ++i) {
    const auto msg = boost::json::parse(lines[i]).as_object();
    if (const auto* op = msg.if_contains("_op")) {
      const std::string name(op->as_string());
      if (name == "reset_turn_state") h.renderer->reset_turn_state();
      if (name == "flush_deferred_output") h.renderer->flush_deferred_output();
      if (name == "begin_historical_replay") h.renderer->begin_historical_replay();
      if (name == "flush_pending_historical_asks") h.renderer->flush_pending_historical_asks();
      if (name == "set_live_status_enabled")
        h.renderer->set_live_status_enabled(msg.at("enabled").as_bool());
      if (name == "help") h.renderer->render_help();
      if (name == "banner")
        h.renderer->render_banner(
            {.endpoint = "ws://127.0.0.1:8765/v3", .user_id = "u-1", .language = "en"});
      if (name == "thinking") {
        const auto* id = msg.if_contains("id");
        h.renderer->render_thinking_history(
            id ? std::optional<std::string>(std::string(id->as_string())) : std::nullopt);
      }
      if (name == "advance") h.clock += msg.at("seconds").to_number<double>();
      continue;
    }
    const auto* historical = msg.if_contains("_historical");
    const auto ask = h.feed_message(msg, historical && historical->as_bool());
    if (ask) {
      h.sink->write("«ask " + ask->message_id.value_or("-") + " (" +
                    std::to_string(ask->questions.size()) + " questions)»\n");
    }
  }
  std::string out = h.take();
  if (terminal) {
    out += "«live»\n";
    for (const auto& line : h.live->lines) out += tagged(line) + "\n";
  }
  return out;
}

// Only VELMORA_UPDATE_GOLDEN=1 rewrites the expected files; any other value (0, empty) compares
// them, so a stray setting cannot turn the test into one that always passes.
bool update_requested() {
  const char* value = std::getenv("VELMORA_UPDATE_GOLDEN");
  return value != nullptr && std::string_view(value) == "1";
}

TEST(Golden, OnlyTheValueOneRewritesTheExpectedFiles) {
  velmora::testing::ScopedEnv env;
  for (const char* value : {"0", "", "yes", "true", " 1"}) {
    env.set("VELMORA_UPDATE_GOLDEN", value);
    EXPECT_FALSE(update_requested()) << "'" << value << "'";
  }
  env.unset("VELMORA_UPDATE_GOLDEN");
  EXPECT_FALSE(update_requested());
  env.set("VELMORA_UPDATE_GOLDEN", "1");
  EXPECT_TRUE(update_requested());
}

TEST(Golden, RecordedTurnsRenderAsExpected) {
  velmora::testing::ScopedEnv env;
  env.set("TZ", "UTC");
  tzset();
  const bool update = update_requested();
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(GOLDEN_DIR)) {
    if (entry.path().extension() != ".jsonl") continue;
    const auto lines = lines_of(velmora::testing::read_file(entry.path()));
    for (const bool terminal : {true, false}) {
      const fs::path expected_path =
          fs::path(entry.path()).replace_extension(terminal ? ".terminal.txt" : ".im.txt");
      const std::string actual = render_recording(lines, terminal);
      if (update) {
        velmora::testing::write_file(expected_path, actual);
        continue;
      }
      ASSERT_TRUE(fs::exists(expected_path)) << expected_path;
      EXPECT_EQ(actual, velmora::testing::read_file(expected_path)) << expected_path;
      ++checked;
    }
  }
  if (!update) {
    EXPECT_GE(checked, 8);
  }
}

}  // namespace
