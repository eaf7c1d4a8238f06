// A long paragraph printed in windows reads exactly as the paragraph laid out whole: same
// lines, same breaks, same styles, whatever inline constructs, widths and delta sizes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "answer_stream.hpp"
#include "answer_writer.hpp"
#include "markdown.hpp"
#include "renderer_harness.hpp"

namespace {

using velmora::renderer::AnswerStream;
using velmora::renderer::Line;
using velmora::renderer::MarkdownOptions;
using velmora::renderer::render_markdown;
using velmora::term::ColorSystem;
using velmora::term::render_segments;

std::string shown(const std::vector<Line>& lines) {
  std::string out;
  for (const auto& line : lines) {
    out += velmora::renderer::testing::tagged(render_segments(line, ColorSystem::standard)) + "\n";
  }
  return out;
}

struct Piecewise {
  std::string text;
  int windows = 0;
  std::size_t window_bytes = 0;
};

/// `text` streamed in deltas of up to `max_delta` bytes, every release laid out as the terminal
/// writer lays it out: a window's open last line leads the next, blocks apart by a blank line.
Piecewise piecewise(const std::string& text, int width, std::size_t window, std::mt19937& random,
                    bool settle) {
  AnswerStream stream(true, window);
  Piecewise out;
  Line tail;
  bool printed = false;
  const auto print = [&](const std::string& released) {
    MarkdownOptions options{.width = width};
    const AnswerStream::Release& release = stream.last_release();
    const bool continues_paragraph = release.windowed() && release.continues;
    const bool leaves_paragraph_open = release.windowed() && release.leaves_open;
    const bool joined = continues_paragraph && printed;
    if (continues_paragraph) options.lead_in = std::move(tail);
    tail.clear();
    printed = false;
    if (velmora::renderer::is_blank(released) && options.lead_in.empty()) return;
    if (leaves_paragraph_open) {
      options.open_tail = &tail;
      ++out.windows;
      out.window_bytes += released.size();
    }
    const std::vector<Line> lines = render_markdown(released, options);
    if (!lines.empty() && !joined && !out.text.empty()) out.text += "\n";
    out.text += shown(lines);
    printed = leaves_paragraph_open && (joined || !lines.empty());
  };
  std::uniform_int_distribution<std::size_t> size(1, 23);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = std::min(size(random), text.size() - at);
    const std::string released = stream.append(std::string_view(text).substr(at, n));
    if (!released.empty()) print(released);
    at += n;
  }
  print(settle ? stream.settle(text) : stream.take_pending());
  return out;
}

std::string generated_paragraph(std::mt19937& random) {
  static const std::vector<std::string> pieces{
      "plain",
      "words",
      "here",
      "and",
      "there",
      "*emphasis*",
      "**strong text**",
      "`code span`",
      "``a ` b``",
      "_under_",
      "~~struck~~",
      "[a link](https://l.test/a)",
      "![an image](https://l.test/i.png)",
      "[x](https://l.test/(p))",
      "<https://auto.test/x>",
      "www.example.test",
      "mail@example.test",
      "snake_case",
      "2 * 3",
      "&amp;",
      "\\*not\\*",
      "漢字のことば",
      "ｗｉｄｅ",
      "naïve",
      "a<b",
      "<span>tag</span>",
      "<!-- note -->",
      "x",
      "longlonglonglonglonglonglonglongword",
      "***both***",
      "*a **b** c*",
      "[ref]",
      "end.",
      "(paren)",
      "[open",
      "*lone",
      "lone*",
      "_a",
      "b_",
      "`",
      "~",
      "**x",
      "~~y",
      "]",
      "a > b",
  };
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> gap(0, 19);
  std::uniform_int_distribution<int> length(5, 40);
  std::string text = "Start";
  const int count = length(random);
  for (int i = 0; i < count; ++i) {
    const int g = gap(random);
    text += g == 0 ? "\n" : g == 1 ? "  \n" : g < 5 ? "  " : " ";
    text += pieces[pick(random)];
  }
  return text;
}

TEST(ParagraphWindows, ReadAsTheWholeParagraphAtAnyWidth) {
  std::mt19937 random(19);
  int windows = 0;
  for (int n = 0; n < 100; ++n) {
    const std::string paragraph = generated_paragraph(random);
    const std::string text = n % 3 == 0 ? "Intro.\n\n" + paragraph + "\n\nAfter.\n" : paragraph;
    for (const int width : {8, 29, 80}) {
      const std::string whole = shown(render_markdown(text, {.width = width}));
      for (const std::size_t window : {16u, 64u}) {
        const Piecewise pieces = piecewise(text, width, window, random, n % 2 == 0);
        ASSERT_EQ(pieces.text, whole) << "width " << width << ", window " << window << ":\n"
                                      << text;
        windows += pieces.windows;
      }
    }
  }
  EXPECT_GT(windows, 300) << "paragraphs are cut where they can be";
}

TEST(ParagraphWindows, AnOpenConstructHoldsTheRestAndItStillReadsRight) {
  std::mt19937 random(7);
  std::string tail;
  for (int i = 0; i < 200; ++i) tail += " word" + std::to_string(i);
  const std::vector<std::string> held{
      "Starts *open" + tail + " closed*",
      "Starts **open" + tail + " closed**",
      "Starts `open" + tail + " closed`",
      "Starts [open" + tail + "](https://l.test)",
      "Starts <a href=\"x" + tail + "\">",
      "Starts ~~open" + tail + " closed~~",
      "Starts a*b" + tail + " c*d",
      "Starts *never closed" + tail,
      "Starts [a](https://l.test \"t" + tail + "\")",
  };
  for (const std::string& text : held) {
    const Piecewise pieces = piecewise(text, 30, 64, random, false);
    EXPECT_EQ(pieces.text, shown(render_markdown(text, {.width = 30}))) << text;
    EXPECT_LE(pieces.window_bytes, std::string_view("Starts ").size()) << text;
  }
}

TEST(ParagraphWindows, OnlyAParagraphIsCutAndALineThatEndsItStopsTheCuts) {
  std::mt19937 random(11);
  std::string words;
  for (int i = 0; i < 100; ++i) words += " word" + std::to_string(i);
  for (const std::string& text :
       {"# Heading" + words, "- item" + words, "> quote" + words, "    code" + words,
        "1. item" + words, "| a" + words, "<div>" + words, "[ref]: https://l.test" + words}) {
    EXPECT_EQ(piecewise(text, 30, 64, random, true).windows, 0) << text;
  }
  // A line that ends the paragraph stops the cuts; what came before still reads as whole.
  for (const std::string_view next : {"\n- item\n", "\n\nNext.\n", "\n# Heading\n"}) {
    const std::string text = "Para" + words + std::string(next) + "More" + words;
    const Piecewise pieces = piecewise(text, 30, 64, random, false);
    EXPECT_GT(pieces.windows, 0) << next;
    EXPECT_EQ(pieces.text, shown(render_markdown(text, {.width = 30}))) << next;
  }
  // An underline or a table's delimiter row would change the paragraph printed already: its
  // windows stay as they were, and nothing of the text is lost.
  for (const std::string_view next : {"\n===\n", "\n|---|---|\n"}) {
    const std::string text = "Para" + words + std::string(next) + "More" + words;
    const Piecewise pieces = piecewise(text, 30, 64, random, true);
    std::size_t count = 0;
    for (auto at = pieces.text.find("word"); at != std::string::npos;
         at = pieces.text.find("word", at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, 200u) << next;
    EXPECT_NE(pieces.text.find("More"), std::string::npos) << next;
  }
}

}  // namespace
