#include "velmora/term/line_buffer.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using velmora::term::LineBuffer;

/// "|" marks the cursor in both the starting and the expected text.
LineBuffer parse(std::string marked) {
  const auto bar = marked.find('|');
  marked.erase(bar, 1);
  LineBuffer b;
  b.set(marked, bar);
  return b;
}

std::string show(const LineBuffer& b) {
  std::string s = b.text();
  s.insert(b.cursor(), "|");
  return s;
}

TEST(LineBuffer, EditsAndMovesOnMultiLineText) {
  struct Case {
    const char* name;
    std::string start;
    std::function<void(LineBuffer&)> op;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"ctrl-k at a line end joins the next line", "ab|\ncd", [](auto& b) { b.kill_to_line_end(); },
       "ab|cd"},
      {"ctrl-k stops at the line break", "a|b\ncd", [](auto& b) { b.kill_to_line_end(); },
       "a|\ncd"},
      {"ctrl-u at a line start joins the previous line", "ab\n|cd",
       [](auto& b) { b.kill_to_line_start(); }, "ab|cd"},
      {"home and end stay on the line", "ab\nc|d\nef",
       [](auto& b) {
         b.move_line_end();
         b.insert("!");
         b.move_line_start();
       },
       "ab\n|cd!\nef"},
      {"down keeps the display column across wide characters", "ab|cd\n日本語",
       [](auto& b) { b.move_down(); }, "abcd\n日|本語"},
      {"up onto a shorter line goes to its end", "a\nbcde|", [](auto& b) { b.move_up(); },
       "a|\nbcde"},
      {"up on the first line does nothing", "a|b", [](auto& b) { EXPECT_FALSE(b.move_up()); },
       "a|b"},
      {"alt-backspace deletes the word before", "foo.bar|",
       [](auto& b) { b.kill_alnum_word_before(); }, "foo.|"},
      {"ctrl-w deletes back to the blank", "say foo.bar  |", [](auto& b) { b.kill_word_before(); },
       "say |"},
      {"insert normalises line breaks and drops controls", "|",
       [](auto& b) {
         b.insert(
             "a\r\nb\rc\x01\x7f\xc2\x85"
             "d\te");
       },
       "a\nb\ncd\te|"},
      {"delete at the end does nothing", "ab|", [](auto& b) { EXPECT_FALSE(b.delete_forward()); },
       "ab|"},
      {"a cursor inside a cluster snaps back to its start", "",
       [](auto& b) { b.set("e\xcc\x81x", 2); }, "|e\xcc\x81x"},
  };
  for (const auto& c : cases) {
    LineBuffer b = c.start.empty() ? LineBuffer() : parse(c.start);
    c.op(b);
    EXPECT_EQ(show(b), c.expected) << c.name;
  }
}

TEST(LineBuffer, LineAndColumnOfTheCursor) {
  const LineBuffer b = parse("one\n日本|x");
  EXPECT_EQ(b.line_count(), 2);
  EXPECT_EQ(b.cursor_line(), 1);
  EXPECT_EQ(b.cursor_column(), 4);
  EXPECT_EQ(b.text_before_cursor(), "one\n日本");
}

}  // namespace
