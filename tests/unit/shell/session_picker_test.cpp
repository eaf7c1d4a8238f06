#include "velmora/session_picker.hpp"

#include <fmt/chrono.h>
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include "../term/pty_harness.hpp"
#include "test_support.hpp"

namespace {

using namespace velmora;
namespace json = boost::json;
using velmora::session_store::SessionRecord;

const Clock::time_point NOW = *parse_iso_datetime("2025-06-15T12:00:00Z");

std::string ago(long seconds) {
  const auto t = std::chrono::floor<std::chrono::seconds>(NOW - std::chrono::seconds(seconds));
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}", t);
}

TEST(RelativeTime, Boundaries) {
  struct Case {
    long seconds;
    std::string text;
  };
  const long day = 86400;
  const std::vector<Case> cases = {
      {0, "just now"},
      {59, "just now"},
      {60, "1 minute ago"},
      {119, "1 minute ago"},
      {120, "2 minutes ago"},
      {3599, "59 minutes ago"},
      {3600, "1 hour ago"},
      {7200, "2 hours ago"},
      {day - 1, "23 hours ago"},
      {day, "1 day ago"},
      {29 * day, "29 days ago"},
      {30 * day, "1 month ago"},
      {359 * day, "11 months ago"},
      {360 * day, "1 year ago"},
      {720 * day, "2 years ago"},
      {-500, "just now"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_relative_time(ago(c.seconds) + "Z", NOW), c.text) << c.seconds;
  }
}

TEST(RelativeTime, ZonesAndUnreadableValues) {
  struct Case {
    std::string value;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"2025-06-15T11:00:00Z", "1 hour ago"},
      {"2025-06-15T11:00:00", "1 hour ago"},
      {"2025-06-15 11:00:00.123456", "1 hour ago"},
      {"2025-06-15T13:00:00+02:00", "1 hour ago"},
      {"2025-06-15T06:30:00-0430", "1 hour ago"},
      {"2025-06-14", "1 day ago"},
      {"20250615T1100", "1 hour ago"},
      {"", "-"},
      {"yesterday", "-"},
      {"2025-02-30T00:00:00", "-"},
      {"2025-06-15T25:00:00", "-"},
      {"2025-06-15T11:00:00Zjunk", "-"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_relative_time(c.value, NOW), c.text) << c.value;
  const json::value number = 12;
  EXPECT_EQ(format_relative_time(&number, NOW), "-");
  EXPECT_EQ(format_relative_time(static_cast<const json::value*>(nullptr), NOW), "-");
}

SessionRecord record(std::string_view json_text) { return json::parse(json_text).as_object(); }

TEST(SessionLabel, PaddedColumns) {
  EXPECT_EQ(build_saved_session_label(
                record(R"({"thread_id": " t-1 ", "updated_at": "2025-06-15T11:59:30Z",
                           "created_at": "2025-06-13T12:00:00Z"})"),
                NOW),
            "t-1" + std::string(33, ' ') + "  just now        2 days ago");
  EXPECT_EQ(build_saved_session_label(record(R"({})"), NOW),
            "-" + std::string(35, ' ') + "  -               -");
  const std::string long_id(40, 'x');
  EXPECT_EQ(build_saved_session_label(record(R"({"thread_id": ")" + long_id + R"("})"), NOW),
            long_id + "  -               -");
}

TEST(TopicTitle, FirstNonEmptyFieldThenPayload) {
  struct Case {
    const char* msg;
    std::string title;
  };
  const std::vector<Case> cases = {
      {R"({"type": "topic_message", "message": "  Plan trip  ", "topic": "x"})", "Plan trip"},
      {R"({"message": "", "topic": null, "title": "T"})", "T"},
      {R"({"name": 42})", "42"},
      {R"({"message": "   ", "payload": {"title": "From payload"}})", "From payload"},
      {R"({"payload": {"topic": " inner "}})", "inner"},
      {R"({"payload": "not a map"})", ""},
      {R"({})", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(extract_topic_message_title(json::parse(c.msg).as_object()), c.title) << c.msg;
  }
}

std::vector<SessionRecord> sample() {
  return {
      record(R"({"thread_id": "alpha-1111", "branch": "main", "cwd": "/src/app",
                 "updated_at": "2025-06-15T11:00:00Z", "created_at": "2025-06-01T00:00:00Z"})"),
      record(R"({"thread_id": "  ", "branch": "ignored"})"),
      record(R"({"thread_id": "beta-2222", "branch": " — ", "conversation": "Fix Login Bug"})"),
      record(R"({"thread_id": "gamma-3333", "branch": "feature–x"})"),
  };
}

TEST(SessionPickerNavigator, EntriesSkipMissingIdsAndCleanBranches) {
  SessionPickerNavigator nav(sample(), NOW);
  ASSERT_EQ(nav.entries().size(), 3u);
  EXPECT_EQ(nav.entries()[0], (SessionPickerEntry{"alpha-1111", "14 days ago", "1 hour ago", "main",
                                                  "alpha-1111 main /src/app"}));
  EXPECT_EQ(nav.entries()[1].branch, "-");
  EXPECT_EQ(nav.entries()[1].search_text, "beta-2222  —  Fix Login Bug");
  EXPECT_EQ(nav.entries()[2].branch, "feature-x");
}

TEST(SessionPickerNavigator, FilteringMovingAndChoosing) {
  struct Case {
    const char* name;
    std::function<void(SessionPickerNavigator&)> steps;
    std::optional<std::string> chosen;
  };
  const std::vector<Case> cases = {
      {"first by default", [](auto&) {}, "alpha-1111"},
      {"down", [](auto& n) { n.move(1); }, "beta-2222"},
      {"down on the last wraps", [](auto& n) { n.move(1), n.move(1), n.move(1); }, "alpha-1111"},
      {"up on the first wraps", [](auto& n) { n.move(-1); }, "gamma-3333"},
      {"filter matches any case in the search text", [](auto& n) { n.append_filter("LOGIN"); },
       "beta-2222"},
      {"filter on the cleaned branch", [](auto& n) { n.append_filter("feature-x"); }, "gamma-3333"},
      {"typing resets the selection", [](auto& n) { n.move(2), n.append_filter("a"); },
       "alpha-1111"},
      {"no match chooses nothing", [](auto& n) { n.append_filter("zzz"); }, std::nullopt},
      {"backspace widens again",
       [](auto& n) {
         n.append_filter("zzz");
         n.backspace_filter(), n.backspace_filter(), n.backspace_filter();
         n.move(1);
       },
       "beta-2222"},
  };
  for (const auto& c : cases) {
    SessionPickerNavigator nav(sample(), NOW);
    c.steps(nav);
    EXPECT_EQ(nav.current_thread_id(), c.chosen) << c.name;
  }
}

TEST(SessionPickerNavigator, RenderFragments) {
  SessionPickerNavigator nav(sample(), NOW);
  nav.move(1);
  const auto f = nav.render_fragments();
  ASSERT_EQ(f.size(), 4u + 3u + 5u);
  EXPECT_EQ(f[0], (velmora::term::Fragment{"class:ask-title", "Resume a previous session\n"}));
  EXPECT_EQ(f[2].text, "Type to search | ↑↓ select | Enter resume | Esc cancel\n\n");
  EXPECT_EQ(f[3].text, "Thread ID                              Updated at      Created at\n");
  EXPECT_EQ(f[4],
            (velmora::term::Fragment{"class:ask-option", "  alpha-1111" + std::string(26, ' ') +
                                                             "  1 hour ago      14 days ago\n"}));
  EXPECT_EQ(f[5].style, "class:ask-option-selected");
  EXPECT_TRUE(f[5].text.starts_with("▶ beta-2222 "));
  EXPECT_EQ(f[9], (velmora::term::Fragment{"class:ask-custom-text", ""}));
  EXPECT_EQ(f[10], (velmora::term::Fragment{"class:ask-custom-cursor", "█"}));

  nav.append_filter("nothing");
  const auto none = nav.render_fragments();
  EXPECT_EQ(none[4], (velmora::term::Fragment{"class:ask-option",
                                              "  No saved sessions match your search\n"}));
  EXPECT_EQ(none[7], (velmora::term::Fragment{"class:ask-custom-text", "nothing"}));
}

TEST(SessionPickerPanel, AvailableOnlyOnAnInteractiveUnicodeAnsiTerminal) {
  velmora::testing::ScopedEnv env;
  env.unset("NO_COLOR");
  env.set("TERM", "xterm");
  EXPECT_TRUE(
      session_picker_panel_available({.stdin_tty = true, .stdout_tty = true, .stdout_utf8 = true}));
  EXPECT_FALSE(session_picker_panel_available(
      {.stdin_tty = false, .stdout_tty = true, .stdout_utf8 = true}));
  EXPECT_FALSE(session_picker_panel_available(
      {.stdin_tty = true, .stdout_tty = true, .stdout_utf8 = false}));
  env.set("NO_COLOR", "1");
  EXPECT_FALSE(
      session_picker_panel_available({.stdin_tty = true, .stdout_tty = true, .stdout_utf8 = true}));
}

struct PickerFixture : ::testing::Test {
  boost::asio::io_context io;
  velmora::testing::Pty pty{90, 24};
  velmora::testing::VirtualTerminal vt{90, 24};
  std::unique_ptr<velmora::term::Screen> screen;
  std::optional<std::optional<std::string>> result;
  void SetUp() override {
    velmora::term::ScreenOptions o;
    o.in_fd = pty.slave();
    o.out_fd = pty.slave();
    screen = std::make_unique<velmora::term::Screen>(io.get_executor(), o);
  }
  static boost::asio::awaitable<void> pick(velmora::term::Screen& screen,
                                           std::vector<SessionRecord> sessions,
                                           std::optional<std::optional<std::string>>& out) {
    out = co_await run_session_picker_panel(screen, sessions, NOW);
  }
  void start() {
    boost::asio::co_spawn(io, pick(*screen, sample(), result), boost::asio::detached);
    ASSERT_TRUE(velmora::testing::run_until(io, [&] { return screen->attached(); }));
    vt.feed(pty.drain());
  }
  void finish(std::string_view keys) {
    pty.type(keys);
    ASSERT_TRUE(velmora::testing::run_until(io, [&] { return result.has_value(); }));
    vt.feed(pty.drain());
  }
};

TEST_F(PickerFixture, SearchAndEnterResumeAndThePanelIsErased) {
  screen->write("before\n");
  start();
  EXPECT_NE(vt.text().find("┤ Resume ├"), std::string::npos);
  EXPECT_NE(vt.text().find("▶ alpha-1111"), std::string::npos);
  finish("gam\r");
  EXPECT_EQ(*result, "gamma-3333");
  EXPECT_EQ(vt.text(), "before\n");
  EXPECT_TRUE(vt.cursor_visible());
}

TEST_F(PickerFixture, EscapeAndUnmatchedEnterChooseNothing) {
  start();
  finish("\x1b[B\x1b");
  EXPECT_EQ(*result, std::nullopt);
  result.reset();
  start();
  finish("zzz\r");
  EXPECT_EQ(*result, std::nullopt);
}

}  // namespace
