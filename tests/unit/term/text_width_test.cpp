#include "velmora/term/text_width.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velmora::term;

TEST(TextWidth, ColumnsOfTextAsTerminalsDrawIt) {
  struct Case {
    std::string text;
    int width;
  };
  const std::vector<Case> cases = {
      {"abc", 3},
      {"日本語", 6},
      {"e\xcc\x81", 1},                                     // e + combining acute
      {"\xf0\x9f\x91\x8d", 2},                              // thumbs up
      {"\xe2\x9d\xa4\xef\xb8\x8f", 2},                      // heart + VS16
      {"\xf0\x9f\x87\xa8\xf0\x9f\x87\xb3", 2},              // flag
      {"\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9", 2},  // ZWJ sequence
      {"\x1b", 0},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(display_width(c.text), c.width) << c.text;
}

TEST(TextWidth, ClustersMoveAsOneCharacter) {
  const std::string text =
      "ae\xcc\x81"
      "日\xf0\x9f\x87\xa8\xf0\x9f\x87\xb3z";
  const std::vector<std::string_view> expected = {"a", "e\xcc\x81", "日",
                                                  "\xf0\x9f\x87\xa8\xf0\x9f\x87\xb3", "z"};
  EXPECT_EQ(grapheme_clusters(text), expected);
  std::size_t at = text.size();
  std::vector<std::size_t> stops;
  while (at > 0) stops.push_back(at = prev_grapheme(text, at));
  EXPECT_EQ(stops, (std::vector<std::size_t>{15, 7, 4, 1, 0}));
}

TEST(TextWidth, PrintableTextNeutralisesControlBytes) {
  EXPECT_EQ(printable_text("a\x1b[31mb"), "a^[[31mb");
  EXPECT_EQ(printable_text("x\x7fy\xc2\x9bz"), "x^?y<9b>z");
  EXPECT_EQ(printable_text("l1\nl2\t!"), "l1^Jl2    !");
  EXPECT_EQ(printable_text("l1\nl2", true), "l1\nl2");
  EXPECT_EQ(printable_text("bad\xff"), "bad\xEF\xBF\xBD");
}

TEST(TextWidth, VisibleWidthAndFittingSkipEscapes) {
  const std::string styled = "\x1b[1;36mhello\x1b[0m \x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\";
  EXPECT_EQ(visible_width(styled), 10);
  EXPECT_EQ(fit_visible(styled, 20), styled);
  const std::string cut = fit_visible(styled, 3);
  EXPECT_EQ(visible_width(cut), 3);
  EXPECT_TRUE(cut.starts_with("\x1b[1;36mhel"));
  EXPECT_TRUE(cut.ends_with("\x1b[0m\x1b]8;;\x1b\\"));
  EXPECT_EQ(fit_width("日本語", 5), "日本");
  EXPECT_EQ(pad_right("日", 4), "日  ");
  EXPECT_EQ(pad_right("toolong", 3), "toolong");
}

}  // namespace
