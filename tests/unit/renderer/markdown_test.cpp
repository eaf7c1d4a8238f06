#include "markdown.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "renderer_harness.hpp"

namespace {

using ::testing::ElementsAreArray;
using velmora::renderer::Line;
using velmora::renderer::MarkdownOptions;
using velmora::renderer::render_markdown;
using velmora::renderer::stable_block_prefix;
using velmora::term::ColorSystem;
using velmora::term::render_segments;

std::vector<std::string> plain_lines(std::string_view md, int width = 40) {
  std::vector<std::string> out;
  for (const auto& line :
       render_markdown(md, {.width = width, .hyperlinks = false, .color = false})) {
    out.push_back(render_segments(line, ColorSystem::none));
  }
  return out;
}

std::string colored(std::string_view md, int width = 40) {
  std::string out;
  for (const auto& line : render_markdown(md, {.width = width})) {
    out += velmora::renderer::testing::tagged(render_segments(line, ColorSystem::standard)) + "\n";
  }
  return out;
}

TEST(RenderMarkdown, LaysOutBlocks) {
  struct Case {
    std::string name;
    std::string markdown;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases{
      {"paragraphs",
       "One two three four five six seven eight nine.\n\nSecond.",
       {"One two three four five six seven eight", "nine.", "", "Second."}},
      {"bullets nest", "- a\n- b\n  - c\n- d", {"• a", "• b", "  ◦ c", "• d"}},
      {"ordered pads numbers", "9. nine\n10. ten", {" 9. nine", "10. ten"}},
      {"loose list", "- a\n\n- b", {"• a", "", "• b"}},
      {"item wraps under its text",
       "- a long item that wraps onto a second line",
       {"• a long item that wraps onto a second", "  line"}},
      {"tasks", "- [ ] todo\n- [x] done", {"☐ todo", "☑ done"}},
      {"quote", "> quoted\n>\n> more", {"│ quoted", "│", "│ more"}},
      {"code fence",
       "```py\nx = 1\n\n```",
       {"── py ──────────────────────────────────", "x = 1", "",
        "────────────────────────────────────────"}},
      {"rule", "a\n\n---\n\nb", {"a", "", "────────────────────────────────────────", "", "b"}},
      {"inline code keeps backticks without colour", "run `make` now", {"run `make` now"}},
      {"named link shows its address without hyperlinks",
       "see [docs](https://d.test/x)",
       {"see docs (https://d.test/x)"}},
      {"autolink", "at https://d.test/x ok", {"at https://d.test/x ok"}},
      {"heading", "## Title\ntext", {"Title", "", "text"}},
      {"hard break", "a  \nb", {"a", "b"}},
      {"html block", "<div>\nx\n</div>", {"<div>", "x", "</div>"}},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(plain_lines(c.markdown), ElementsAreArray(c.lines)) << c.name;
  }
}

TEST(RenderMarkdown, AlignsTableColumns) {
  EXPECT_THAT(plain_lines("| name | n |\n|:-----|--:|\n| 日本 | 1 |\n| b | 200 |"),
              ElementsAreArray({"┌──────┬─────┐", "│ name │   n │", "├──────┼─────┤",
                                "│ 日本 │   1 │", "│ b    │ 200 │", "└──────┴─────┘"}));
}

TEST(RenderMarkdown, ShrinksWideTablesByWrappingCells) {
  const auto lines = plain_lines(
      "| a | description |\n|---|---|\n| x | a long cell that has to wrap somewhere |", 30);
  for (const auto& line : lines) {
    EXPECT_LE(velmora::renderer::display_width(line), 30) << line;
  }
  EXPECT_GT(lines.size(), 5u);
}

TEST(RenderMarkdown, TooManyColumnsBecomeAList) {
  std::string header = "|", rule = "|", row = "|";
  for (int i = 0; i < 12; ++i) {
    header += " h" + std::to_string(i) + " |";
    rule += "---|";
    row += " v" + std::to_string(i) + " |";
  }
  const auto lines = plain_lines(header + "\n" + rule + "\n" + row, 30);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("• h0: v0; h1: v1", 0), 0u) << lines[0];
}

TEST(RenderMarkdown, StylesInlineText) {
  EXPECT_EQ(colored("**bold** *it* ~~gone~~ `code`"),
            "{bold}bold{/} {italic}it{/} {strike}gone{/} {cyan}code{/}\n");
  EXPECT_EQ(colored("[docs](https://d.test/x)"),
            "{link=https://d.test/x}{underline}docs{/}{/link}\n");
  EXPECT_EQ(colored("# Big"), "{bold underline}Big{/}\n");
}

TEST(RenderMarkdown, UnsafeLinkTargetsAreNotHyperlinked) {
  EXPECT_EQ(colored("[x](javascript:alert%281%29)"),
            "{underline}x{/}{dim} (javascript:alert%281%29){/}\n");
}

TEST(RenderMarkdown, DeepNestingStaysBoundedAndKeepsText) {
  const std::string quotes(5000, '>');
  const auto lines = plain_lines(quotes + " deep text", 40);
  std::string all;
  for (const auto& line : lines) all += line;
  EXPECT_NE(all.find("deep"), std::string::npos);
  EXPECT_NE(all.find("text"), std::string::npos);
}

TEST(StableBlockPrefix, ReleasesOnlyBlocksLaterTextCannotChange) {
  struct Case {
    std::string name;
    std::string text;
    std::size_t stable;
  };
  const std::vector<Case> cases{
      {"one block", "para one\n", 0},
      {"two paragraphs", "para one\n\npara two", 0},  // second block's line not complete
      {"two paragraphs, second line complete", "para one\n\npara two\n", 10},
      {"open fence swallows blank lines", "```\ncode\n\nmore\n", 0},
      {"closed fence then text", "```\ncode\n```\nafter\n", 13},
      {"heading marker on a partial line", "para\n#", 0},
      {"setext underline pending", "Title\n", 0},
      {"list continues", "- a\n- b\n", 0},
      {"paragraph after list", "- a\n\nnext\n", 5},
      {"table header pending", "| a | b |\n", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stable_block_prefix(c.text), c.stable) << c.name;
  }
}

}  // namespace
