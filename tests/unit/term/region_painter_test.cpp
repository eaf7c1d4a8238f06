#include "velmora/term/region_painter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pty_harness.hpp"

namespace {

using velmora::term::PaintRow;
using velmora::term::RegionFrame;
using velmora::term::RegionPainter;
using velmora::testing::VirtualTerminal;

PaintRow row(const std::string& text) { return PaintRow{text, static_cast<int>(text.size())}; }

RegionFrame frame(std::vector<std::string> rows, int cursor_row, int cursor_col,
                  bool visible = true) {
  RegionFrame f;
  for (auto& r : rows) f.rows.push_back(row(r));
  f.cursor_row = cursor_row;
  f.cursor_col = cursor_col;
  f.cursor_visible = visible;
  return f;
}

// One step of a scenario: output text, or a region to show.
struct Step {
  std::string output;
  std::vector<std::string> region;
  int cursor_row = 0;
  int cursor_col = 0;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::string> screen;  ///< expected rows from the top
  int cursor_row;
  int cursor_col;
};

TEST(RegionPainter, OutputAppearsAboveTheRegionAndTheRegionFollowsIt) {
  const std::vector<Scenario> scenarios = {
      {"region below output",
       {{"one\n", {}}, {"", {"> abc", "toolbar"}, 0, 5}},
       {"one", "> abc", "toolbar"},
       1,
       5},
      {"output while shown goes above",
       {{"", {"> abc", "toolbar"}, 0, 5}, {"two\nthree\n", {"> abc", "toolbar"}, 0, 5}},
       {"two", "three", "> abc", "toolbar"},
       2,
       5},
      {"unfinished output line keeps its line",
       {{"", {"live"}, 0, 4}, {"abc", {"live"}, 0, 4}, {"def\n", {"live"}, 0, 4}},
       {"abcdef", "live"},
       1,
       4},
      {"shorter region clears leftover rows",
       {{"", {"a", "b", "c"}, 0, 1}, {"", {"a"}, 0, 1}},
       {"a"},
       0,
       1},
      {"changed middle row only",
       {{"", {"a", "b", "c"}, 2, 0}, {"", {"a", "X", "c"}, 0, 1}},
       {"a", "X", "c"},
       0,
       1},
      {"empty region erases everything",
       {{"out\n", {"> x", "bar"}, 0, 3}, {"", {}, 0, 0}},
       {"out"},
       1,
       0},
  };
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    VirtualTerminal vt(20, 8);
    RegionPainter painter;
    RegionFrame last;
    for (const auto& step : s.steps) {
      if (!step.output.empty()) {
        vt.feed(painter.erase(20));
        // The pty turns "\n" into CR LF.
        std::string shown;
        for (char c : step.output) shown += c == '\n' ? std::string("\r\n") : std::string(1, c);
        vt.feed(shown);
        painter.note_output(step.output);
      }
      last = frame(step.region, step.cursor_row, step.cursor_col);
      vt.feed(painter.paint(last, 20));
    }
    const auto all = vt.rows();
    const std::vector<std::string> top(all.begin(),
                                       all.begin() + static_cast<long>(s.screen.size()));
    EXPECT_EQ(top, s.screen);
    for (std::size_t r = s.screen.size(); r < 8; ++r) EXPECT_EQ(vt.row(static_cast<int>(r)), "");
    EXPECT_EQ(vt.cursor_row(), s.cursor_row);
    EXPECT_EQ(vt.cursor_col(), s.cursor_col);
  }
}

TEST(RegionPainter, RepaintOfAnUnchangedRegionOnlyMovesTheCursor) {
  RegionPainter painter;
  (void)painter.paint(frame({"> hello", "bar"}, 0, 7), 40);
  const std::string again = painter.paint(frame({"> hello", "bar"}, 0, 3), 40);
  EXPECT_EQ(again.find("hello"), std::string::npos);
  EXPECT_EQ(again.find("\x1b[J"), std::string::npos);
}

TEST(RegionPainter, OnlyChangedRowsAreRewritten) {
  VirtualTerminal vt(40, 10);
  RegionPainter painter;
  vt.feed(painter.paint(frame({"> a", "  /help", "  /new", "toolbar text"}, 0, 3), 40));
  const std::string update =
      painter.paint(frame({"> ab", "  /help", "  /new", "toolbar text"}, 0, 4), 40);
  EXPECT_EQ(update.find("toolbar"), std::string::npos);
  EXPECT_EQ(update.find("/help"), std::string::npos);
  vt.feed(update);
  EXPECT_EQ(vt.text(), "> ab\n  /help\n  /new\ntoolbar text\n");
  vt.feed(painter.paint(frame({"> ab", "  /new", "toolbar text"}, 0, 4), 40));
  EXPECT_EQ(vt.text(), "> ab\n  /new\ntoolbar text\n");
  vt.feed(painter.paint(frame({"> ab", "  /new", "toolbar text", "extra"}, 3, 5), 40));
  EXPECT_EQ(vt.text(), "> ab\n  /new\ntoolbar text\nextra\n");
  EXPECT_EQ(vt.cursor_row(), 3);
  EXPECT_EQ(vt.cursor_col(), 5);
}

TEST(RegionPainter, HiddenCursorIsShownAgainWhenTheRegionGoes) {
  VirtualTerminal vt(20, 5);
  RegionPainter painter;
  vt.feed(painter.paint(frame({"panel"}, 0, 0, false), 20));
  EXPECT_FALSE(vt.cursor_visible());
  vt.feed(painter.erase(20));
  EXPECT_TRUE(vt.cursor_visible());
  EXPECT_EQ(vt.row(0), "");
}

TEST(RegionPainter, NarrowerTerminalErasesTheRewrappedRows) {
  // A terminal that re-wraps on resize: model it by replaying the rows at the new width.
  RegionPainter painter;
  (void)painter.paint(frame({"0123456789abcdef", "second row", "> input"}, 2, 7), 20);
  // At width 8 the first row takes two lines, the second two, so the cursor is 4 rows down.
  VirtualTerminal vt(8, 10);
  vt.feed("01234567");
  vt.feed("89abcdef\r\n");
  vt.feed("second r");
  vt.feed("ow\r\n> input");
  ASSERT_EQ(vt.cursor_row(), 4);
  vt.feed(painter.erase(8));
  EXPECT_EQ(vt.cursor_row(), 0);
  EXPECT_EQ(vt.text(), "");
}

TEST(RegionPainter, ARegionAtTheTopOfTheScreenLeavesNoCopyInTheScrollback) {
  for (const int rows : {1, 3}) {
    SCOPED_TRACE(rows);
    VirtualTerminal vt(20, 3);
    RegionPainter painter;
    std::vector<std::string> region;
    for (int i = 0; i < rows; ++i) region.push_back("panel row " + std::to_string(i));
    vt.feed(painter.paint(frame(region, 0, 0), 20));
    vt.feed(painter.erase(20));
    vt.feed("out\r\n");
    painter.note_output("out\n");
    EXPECT_TRUE(vt.scrollback().empty());
    EXPECT_EQ(vt.text(), "out\n");
  }
}

}  // namespace
