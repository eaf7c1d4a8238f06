// Code blocks coloured by language and diffs by line: the text is always exactly the code, the
// colours follow the terminal's colour system, and broken or missing definitions leave the block
// plain instead of failing the answer.
#include "code_highlight.hpp"

#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "diff_lines.hpp"
#include "markdown.hpp"
#include "renderer_harness.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::renderer::CodeHighlighter;
using velmora::renderer::Line;
using velmora::renderer::render_markdown;
using velmora::renderer::styles;
using velmora::term::ColorSystem;
using velmora::term::render_segments;

std::string text_of(const std::vector<Line>& lines) {
  std::string out;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    if (k > 0) out += '\n';
    for (const auto& segment : lines[k]) out += segment.text;
  }
  return out;
}

std::string fenced(std::string_view language, std::string_view code) {
  return "```" + std::string(language) + "\n" + std::string(code) + "\n```\n";
}

// Samples with multi-byte text inside strings, comments and names, where a rule matching bytes
// could end in the middle of a character.
const std::vector<std::pair<std::string, std::string>> SAMPLES{
    {"py", "déf = 'naïve ünïcode'  # 日本語のコメント\nclass Ä(object):\n    pass\n\n"},
    {"bash", "echo \"$HOME/日本\" && ls -la | grep é  # ok"},
    {"json", "{\"clé\": [1, 2.5e3, \"valeur – ok\"], \"b\": null}"},
    {"cpp", "auto s = u8\"ñ\"; /* ünterminated\ncomment */ int x = 0x1F;"},
    {"rs", "fn main() { println!(\"{}\", \"€\"); } // ✓"},
    {"golang", "func f() string { return `raw ☃` }"},
    {"ts", "const x: number = 1; // typed"},
};

TEST(CodeHighlight, ColoursWithoutChangingTheText) {
  for (const auto& [language, code] : SAMPLES) {
    SCOPED_TRACE(language);
    const auto lines = velmora::renderer::highlight_code(language, code, styles().code_palette);
    ASSERT_TRUE(lines.has_value());
    EXPECT_EQ(text_of(*lines), code);
    bool colored = false;
    for (const auto& line : *lines) {
      for (const auto& segment : line) {
        colored = colored || !segment.style.plain();
        // A run never starts inside a multi-byte character.
        ASSERT_FALSE(segment.text.empty());
        EXPECT_NE(static_cast<unsigned char>(segment.text[0]) & 0xC0, 0x80) << segment.text;
      }
    }
    EXPECT_TRUE(colored);
  }
}

TEST(CodeHighlight, FollowsTheTerminalsColourSystem) {
  const std::string md = fenced("python", "def f():\n    return 1");
  const auto render = [&](bool many, ColorSystem system) {
    std::string out;
    for (const auto& line : render_markdown(md, {.width = 40, .many_colors = many})) {
      out += render_segments(line, system) + "\n";
    }
    return out;
  };
  // 256 colours: the palette's cube colours; true colour: the same colours as RGB.
  EXPECT_THAT(render(true, ColorSystem::eight_bit), HasSubstr("\x1b[38;5;134mdef"));
  EXPECT_THAT(render(true, ColorSystem::truecolor), HasSubstr("\x1b[38;2;175;95;215mdef"));
  // 16 colours: named colours chosen for the roles, not the nearest grey of a mid-tone.
  EXPECT_THAT(velmora::renderer::testing::tagged(render(false, ColorSystem::standard)),
              HasSubstr("{magenta}def{/} {blue}f{/}"));
  // No colour (NO_COLOR, a pipe): the code as it is, nothing else.
  std::string plain;
  for (const auto& line : render_markdown(md, {.width = 40, .hyperlinks = false, .color = false})) {
    plain += render_segments(line, ColorSystem::none) + "\n";
  }
  EXPECT_THAT(plain, Not(HasSubstr("\x1b")));
  EXPECT_THAT(plain, HasSubstr("\ndef f():\n    return 1\n"));
}

TEST(CodeHighlight, LanguagesByFenceNameAndAlias) {
  CodeHighlighter highlighter(velmora::renderer::default_language_dir());
  const std::vector<std::pair<std::string, std::string>> names{
      {"py", "python.lang"},     {"Python", "python.lang"}, {"js", "javascript.lang"},
      {"ts", "javascript.lang"}, {"sh", "sh.lang"},         {"console", "sh.lang"},
      {"shell", "sh.lang"},      {"zsh", "zsh.lang"},       {"c++", "cpp.lang"},
      {"cxx", "cpp.lang"},       {"rs", "rust.lang"},       {"rust", "rust.lang"},
      {"golang", "go.lang"},     {"json", "json.lang"},     {"patch", "diff.lang"}};
  for (const auto& [name, file] : names) {
    EXPECT_EQ(highlighter.definition_for(name), file) << name;
  }
  for (const char* unknown : {"", "brainfuck", "yml", "../etc/passwd", "text"}) {
    EXPECT_EQ(highlighter.definition_for(unknown), std::nullopt) << unknown;
  }
}

TEST(CodeHighlight, BrokenOrMissingDefinitionsLeaveTheBlockPlain) {
  velmora::testing::TempDir dir;
  std::ofstream(dir.path() / "lang.map") << "py = python.lang\nbroken = broken.lang\n"
                                            "gone = missing.lang\nloop = loop.lang\n";
  std::ofstream(dir.path() / "broken.lang") << "keyword = \"unterminated\nstate x = begin\n";
  std::ofstream(dir.path() / "loop.lang") << "include \"loop.lang\"\n";
  std::ofstream(dir.path() / "python.lang") << "keyword = \"def\"\n";
  CodeHighlighter highlighter(dir.path());
  for (const char* language : {"broken", "gone", "loop", "broken"}) {
    EXPECT_EQ(highlighter.highlight(language, "def x", styles().code_palette), std::nullopt)
        << language;
  }
  // The folder's other definitions still work.
  const auto lines = highlighter.highlight("py", "def x", styles().code_palette);
  ASSERT_TRUE(lines.has_value());
  EXPECT_EQ(text_of(*lines), "def x");

  // A hostile-sized block is not run through the expressions at all.
  EXPECT_EQ(highlighter.highlight("py", std::string(300 * 1024, 'x'), styles().code_palette),
            std::nullopt);

  // No lang.map at all: every language is unknown.
  velmora::testing::TempDir empty;
  CodeHighlighter none(empty.path());
  EXPECT_EQ(none.highlight("py", "def x", styles().code_palette), std::nullopt);
}

std::vector<std::string> diff_roles(std::string_view code) {
  std::vector<std::string> out;
  for (const auto& line : velmora::renderer::highlight_diff(code)) {
    const auto& style = line.empty() ? velmora::term::Style{} : line[0].style;
    out.push_back(style == styles().diff_added     ? "+"
                  : style == styles().diff_removed ? "-"
                  : style == styles().diff_hunk    ? "@"
                  : style == styles().diff_file    ? "F"
                                                   : ".");
  }
  return out;
}

TEST(DiffLines, HunkCountsTellRemovedLinesFromFileHeaders) {
  // "--- x" inside a hunk is a removed line; after the hunk it is the next file's header.
  const std::string two_files =
      "--- a/one\n+++ b/one\n@@ -1,2 +1,1 @@\n--- removed\n keep\n"
      "--- a/two\n+++ b/two\n@@ -1 +1 @@\n-old\n+new";
  EXPECT_THAT(diff_roles(two_files),
              ::testing::ElementsAre("F", "F", "@", "-", ".", "F", "F", "@", "-", "+"));
  // Counts too small (hand-written diffs): the extra lines still go by their first character.
  EXPECT_THAT(diff_roles("@@ -1 +1 @@\n-a\n+b\n+c\n-d"),
              ::testing::ElementsAre("@", "-", "+", "+", "-"));
  EXPECT_EQ(text_of(velmora::renderer::highlight_diff(two_files)), two_files);
}

TEST(DiffLines, RecognisesUnlabelledUnifiedDiffs) {
  EXPECT_TRUE(velmora::renderer::looks_like_unified_diff("--- a\n+++ b\n@@ -1 +1 @@\n-x\n+y"));
  EXPECT_TRUE(velmora::renderer::looks_like_unified_diff("@@ -3,2 +3,2 @@ f()\n a\n-b\n+c\n"));
  // A list of changes or a hunk header followed by prose is no diff.
  EXPECT_FALSE(velmora::renderer::looks_like_unified_diff("- removed a\n+ added b"));
  EXPECT_FALSE(velmora::renderer::looks_like_unified_diff("@@ -1 +1 @@\nSome prose here"));
  EXPECT_FALSE(velmora::renderer::looks_like_unified_diff("@@ not a hunk @@\n-x"));
}

}  // namespace
