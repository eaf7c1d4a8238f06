#include "text_layout.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "velmora/events/text_clean.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using velmora::events::clean_line;
using velmora::events::clean_text;
using velmora::renderer::display_width;
using velmora::renderer::expand_tabs;
using velmora::renderer::hard_wrap_runs;
using velmora::renderer::Line;
using velmora::events::safe_link_target;
using velmora::renderer::truncate_text;
using velmora::renderer::wrap_runs;
using velmora::term::Segment;
using velmora::term::Style;

std::vector<std::string> texts(const std::vector<Line>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    std::string text;
    for (const auto& run : line) text += run.text;
    out.push_back(text);
  }
  return out;
}

Line plain(std::string text) { return Line{Segment{Style{}, std::move(text)}}; }

TEST(DisplayWidth, CountsTerminalColumns) {
  struct Case {
    std::string text;
    int width;
  };
  for (const Case& c : std::vector<Case>{{"abc", 3},
                                         {"", 0},
                                         {"日本語", 6},
                                         {"e\xcc\x81", 1},  // e + combining acute
                                         {"a☐b", 3},
                                         {"한국어 ok", 9}}) {
    EXPECT_EQ(display_width(c.text), c.width) << c.text;
  }
}

TEST(WrapRuns, BreaksAtBlanksWithinTheWidth) {
  struct Case {
    std::string text;
    int width;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases{
      {"the quick brown fox", 10, {"the quick", "brown fox"}},
      {"the quick brown fox", 19, {"the quick brown fox"}},
      {"abcdefghijkl", 5, {"abcde", "fghij", "kl"}},
      {"one\ntwo three", 20, {"one", "two three"}},
      {"a    b", 3, {"a", "b"}},
      {"日本語のテキスト", 6, {"日本語", "のテキ", "スト"}},
      {"trailing   ", 20, {"trailing"}},
      {"", 10, {}},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(texts(wrap_runs(plain(c.text), c.width)), ElementsAreArray(c.lines)) << c.text;
  }
}

TEST(WrapRuns, KeepsStylesAcrossBreaks) {
  const Style bold = *Style::parse("bold");
  const Line runs{Segment{Style{}, "plain "}, Segment{bold, "strong words"},
                  Segment{Style{}, " end"}};
  const auto lines = wrap_runs(runs, 12);
  ASSERT_EQ(lines.size(), 2u);
  ASSERT_EQ(lines[0].size(), 2u);
  EXPECT_EQ(lines[0][1].text, "strong");
  EXPECT_EQ(lines[0][1].style, bold);
  EXPECT_EQ(lines[1][0].text, "words");
  EXPECT_EQ(lines[1][0].style, bold);
}

TEST(HardWrapRuns, KeepsBlanksAndEmptyLines) {
  EXPECT_THAT(texts(hard_wrap_runs(plain("  indented code\n\nx"), 8)),
              ElementsAre("  indent", "ed code", "", "x"));
}

TEST(Truncate, CutsWithAnEllipsisOnlyWhenNeeded) {
  EXPECT_EQ(truncate_text("short", 10), "short");
  EXPECT_EQ(truncate_text("exactly10!", 10), "exactly10!");
  EXPECT_EQ(truncate_text("much too long", 8), "much to…");
  EXPECT_EQ(truncate_text("日本語日本語", 5), "日本…");
}

TEST(ExpandTabs, AlignsToTabStops) {
  EXPECT_EQ(expand_tabs("a\tb\n\tc"), "a   b\n    c");
  EXPECT_EQ(expand_tabs("abcd\te", 4), "abcd    e");
}

TEST(CleanText, NeutralisesTerminalControls) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"plain text\twith tab\n", "plain text\twith tab\n"},
      {"\x1b[2Jcleared", "\xe2\x90\x9b[2Jcleared"},              // ESC → ␛
      {"\x1b]0;title\x07", "\xe2\x90\x9b]0;title\xe2\x90\x87"},  // OSC title, BEL → ␇
      {"a\r\nb\rc", "a\nb\nc"},
      {"del\x7f", "del\xe2\x90\xa1"},
      {"c1 \xc2\x9b"
       "31m",
       "c1 \xef\xbf\xbd"
       "31m"},  // 8-bit CSI
      {"bad \xff utf8", "bad \xef\xbf\xbd utf8"},
      {"é ok", "é ok"},
  };
  for (const auto& c : cases) {
    const std::string cleaned = clean_text(c.input);
    EXPECT_EQ(cleaned, c.expected);
    EXPECT_EQ(cleaned.find('\x1b'), std::string::npos);
  }
  EXPECT_EQ(clean_line("two\nlines\tand tab"), "two lines and tab");
}

TEST(SafeLinkTarget, AcceptsOnlyPlainWebAddresses) {
  EXPECT_EQ(safe_link_target("https://example.test/a?b=1"), "https://example.test/a?b=1");
  EXPECT_EQ(safe_link_target("HTTP://EXAMPLE.TEST"), "HTTP://EXAMPLE.TEST");
  EXPECT_EQ(safe_link_target("mailto:a@b.test"), "mailto:a@b.test");
  for (const std::string bad :
       {"javascript:alert(1)", "file:///etc/passwd", "https://x.test/\x1b\\",
        "https://x.test/ space", "relative/path", ""}) {
    EXPECT_FALSE(safe_link_target(bad)) << bad;
  }
  EXPECT_FALSE(safe_link_target("https://x.test/" + std::string(5000, 'a')));
}

}  // namespace
