#include "velmora/term/console.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using velmora::term::Console;
using velmora::term::ConsoleOptions;
using velmora::term::StringSink;

struct Printed {
  std::shared_ptr<StringSink> sink = std::make_shared<StringSink>();
  Console console;
  explicit Printed(bool color)
      : console(color ? ConsoleOptions{.force_terminal = true,
                                       .no_color = false,
                                       .color_system = "standard"}
                      : ConsoleOptions{.force_terminal = false, .no_color = true},
                sink) {}
};

TEST(ConsoleMarkup, ColourOffRemovesTagsAndWritesNoEscapes) {
  Printed p(false);
  p.console.print("[bold cyan]Queued attachments[/bold cyan] and [dim]x[/]");
  p.console.print("[link]https://example.test/a?b=1[/link]");
  EXPECT_EQ(p.sink->text(), "Queued attachments and x\nhttps://example.test/a?b=1\n");
  EXPECT_EQ(p.sink->text().find('\x1b'), std::string::npos);
}

TEST(ConsoleMarkup, ColourOnWritesSgrAndHyperlinks) {
  Printed p(true);
  p.console.print("[red]no[/red] ok", "");
  EXPECT_EQ(p.sink->text(), "\x1b[31mno\x1b[0m ok");
  p.sink->clear();
  p.console.print("[link]http://h/x[/link]", "");
  EXPECT_EQ(p.sink->text(), "\x1b]8;;http://h/x\x1b\\http://h/x\x1b]8;;\x1b\\");
}

TEST(ConsoleMarkup, EscapedValuesPrintLiterally) {
  for (const std::string value :
       {"arr[0]", "[red]", "[/]", "a\\[b", "trailing\\", "[link]x[/link]"}) {
    Printed p(true);
    p.console.print("[green]v:[/green] " + Console::escape(value), "");
    EXPECT_EQ(velmora::term::strip_markup("[green]v:[/green] " + Console::escape(value)),
              "v: " + value);
    EXPECT_NE(p.sink->text().find(value), std::string::npos) << value;
  }
}

TEST(ConsoleMarkup, UnknownTagsAndStrayClosersStayLiteral) {
  EXPECT_EQ(velmora::term::strip_markup("arr[0] [notastyle]x[/nope] [/]"),
            "arr[0] [notastyle]x[/nope] [/]");
  EXPECT_EQ(velmora::term::strip_markup("[Feishu] [ok"), "[Feishu] [ok");
}

}  // namespace

namespace {

TEST(ConsoleMarkup, EscapedLinkTargetsKeepTheirBrackets) {
  for (const std::string url : {"https://h/a[0]", "https://h/[/link]x", "https://h/\\[b"}) {
    Printed plain(false);
    plain.console.print("[link]" + Console::escape(url) + "[/link] after", "");
    EXPECT_EQ(plain.sink->text(), url + " after");
    Printed colour(true);
    colour.console.print("[link]" + Console::escape(url) + "[/link]", "");
    EXPECT_EQ(colour.sink->text(), "\x1b]8;;" + url + "\x1b\\" + url + "\x1b]8;;\x1b\\") << url;
  }
}

TEST(ConsoleMarkup, EscapedValuesCannotSendTerminalControls) {
  // A value is shown, never obeyed: ESC, BEL and the like appear in caret form.
  EXPECT_EQ(velmora::term::strip_markup(Console::escape("a\x1b[31mb\x07\r\n\tc\x7f")),
            "a^[[31mb^G\n\tc^?");
  // The caret forms of ESC and FS end in "[" and "\\": a following tag or escape stays text.
  EXPECT_EQ(
      velmora::term::strip_markup("[bold]" + Console::escape("\x1b[red]x\x1b\x1c\\[y") + "[/bold]"),
      "^[[red]x^[^\\\\[y");
  Printed caret(true);
  caret.console.print(Console::escape("\x1bred]x\x1c[b]\u009bblue]y"), "");
  EXPECT_EQ(caret.sink->text(), "^[red]x^\\[b]M-^[blue]y");
  // A dropped carriage return does not close "\xc2" and "\x9b" up into a CSI.
  EXPECT_EQ(velmora::term::strip_markup(Console::escape("a\xc2\r\x9b"
                                                        "2J\xc2\r\r\x85")),
            "aM-^[2JM-^E");
  // C1 controls, U+009B (an 8-bit CSI) among them; other two-byte characters stay.
  EXPECT_EQ(velmora::term::strip_markup(Console::escape("\u009b2J\u0085\u00a0\u00e9\xc2")),
            "M-^[2JM-^E\u00a0\u00e9\xc2");
  const std::string url = "https://h/\x1b]0;title\x07x";
  Printed plain(false);
  plain.console.print("[link]" + Console::escape(url) + "[/link]", "");
  EXPECT_EQ(plain.sink->text(), "https://h/^[]0;title^Gx");
  Printed colour(true);
  colour.console.print("[link]" + Console::escape(url) + "[/link]", "");
  EXPECT_EQ(colour.sink->text(),
            "\x1b]8;;https://h/^[]0;title^Gx\x1b\\https://h/^[]0;title^Gx\x1b]8;;\x1b\\");
}

TEST(ConsoleMarkup, RawLinkTargetsWithControlBytesAreNotHyperlinked) {
  Printed colour(true);
  colour.console.print("[link]https://h/\x07x[/link]", "");
  EXPECT_EQ(colour.sink->text().find("\x1b]8;;"), std::string::npos);
}

TEST(ConsoleColours, AutoDetectionGivesDumbTerminalsNoColour) {
  velmora::testing::ScopedEnv env;
  env.unset("COLORTERM");
  const std::vector<std::pair<const char*, velmora::term::ColorSystem>> cases = {
      {"dumb", velmora::term::ColorSystem::none},
      {"unknown", velmora::term::ColorSystem::none},
      {"xterm-256color", velmora::term::ColorSystem::eight_bit},
      {"xterm", velmora::term::ColorSystem::standard}};
  for (const auto& [term, expected] : cases) {
    env.set("TERM", term);
    auto sink = std::make_shared<StringSink>();
    Console console({.force_terminal = true, .color_system = "auto"}, sink);
    EXPECT_EQ(console.color_system(), expected) << term;
    console.print("[red]x[/red]", "");
    EXPECT_EQ(sink->text() == "x", expected == velmora::term::ColorSystem::none) << term;
  }
}

}  // namespace
