#include "velmora/term/line_editor.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "pty_harness.hpp"
#include "velmora/term/editor_state.hpp"
#include "velmora/term/inline_app.hpp"

namespace {

using namespace velmora::term;
using velmora::testing::Pty;
using velmora::testing::run_until;
using velmora::testing::same_mode;
using velmora::testing::VirtualTerminal;

class Commands : public Completer {
 public:
  std::vector<Completion> complete(std::string_view text, std::size_t cursor) const override {
    std::vector<Completion> out;
    const auto before = text.substr(0, cursor);
    if (!before.starts_with("/")) return out;
    for (auto [insert, display, meta] :
         {std::tuple{"/help", "/help", "show help"},
          std::tuple{"/attach ", "/attach <path>", "queue a file"}}) {
      if (std::string_view(insert).starts_with(before)) {
        out.push_back({insert, 0, cursor, display, meta});
      }
    }
    return out;
  }
};

struct EditorFixture : ::testing::Test {
  boost::asio::io_context io;
  Pty pty{50, 16};
  VirtualTerminal vt{50, 16};
  std::unique_ptr<Screen> screen;
  std::unique_ptr<LineEditor> editor;
  Commands commands;
  PromptOptions options;
  std::optional<PromptResult> result;

  void SetUp() override {
    ScreenOptions o;
    o.in_fd = pty.slave();
    o.out_fd = pty.slave();
    o.colors = ColorSystem::none;
    screen = std::make_unique<Screen>(io.get_executor(), o);
    editor = std::make_unique<LineEditor>(*screen);
    options.message = {{"class:prompt", "> "}};
    options.placeholder = {{"class:placeholder", "Ask anything"}};
    options.bottom_toolbar = {{"class:bottom-toolbar", "language - | thread (new)"}};
    options.completer = &commands;
    options.reserve_space_for_menu = 4;
    options.style = StyleSheet{{"prompt", "bold ansibrightcyan"}};
  }

  static boost::asio::awaitable<void> read_one(LineEditor& editor, const PromptOptions& options,
                                               std::optional<PromptResult>& out) {
    out = co_await editor.prompt(options);
  }

  void start() {
    result.reset();
    boost::asio::co_spawn(io, read_one(*editor, options, result), boost::asio::detached);
    ASSERT_TRUE(run_until(io, [&] { return screen->attached(); }));
    sync();
  }
  void type(std::string_view keys) {
    pty.type(keys);
    ASSERT_TRUE(run_until(io, [&] {
      sync();
      return result.has_value() || !screen->key_ready();
    }));
    io.restart();
    io.run_for(std::chrono::milliseconds(30));
    sync();
  }
  PromptResult finish(std::string_view keys) {
    pty.type(keys);
    EXPECT_TRUE(run_until(io, [&] { return result.has_value(); }));
    sync();
    return result.value_or(PromptResult{});
  }
  void sync() { vt.feed(pty.drain()); }
};

TEST_F(EditorFixture, PromptShowsPlaceholderAndToolbarAndLeavesOnlyTheLine) {
  const termios before = pty.mode();
  start();
  EXPECT_EQ(vt.row(0), "> Ask anything");
  EXPECT_EQ(vt.row(4), "language - | thread (new)");
  EXPECT_EQ(vt.cursor_col(), 2);
  type("hello");
  EXPECT_EQ(vt.row(0), "> hello");
  const auto r = finish("\r");
  EXPECT_EQ(r.outcome, PromptOutcome::accepted);
  EXPECT_EQ(r.text, "hello");
  EXPECT_EQ(vt.text(), "> hello\n");
  EXPECT_EQ(vt.cursor_row(), 1);
  EXPECT_TRUE(same_mode(pty.mode(), before));
  EXPECT_FALSE(vt.paste_mode());
  EXPECT_FALSE(vt.asked_cursor_position());
}

TEST_F(EditorFixture, OutputPrintedMeanwhileAppearsAboveThePrompt) {
  start();
  type("half typed");
  screen->write("streamed answer\nsecond line\n");
  sync();
  EXPECT_EQ(vt.row(0), "streamed answer");
  EXPECT_EQ(vt.row(1), "second line");
  EXPECT_EQ(vt.row(2), "> half typed");
  EXPECT_EQ(vt.cursor_row(), 2);
  EXPECT_EQ(vt.cursor_col(), 12);
  EXPECT_EQ(finish("!\r").text, "half typed!");
}

TEST_F(EditorFixture, CtrlCAndCtrlDEndThePromptWithTheirOutcomes) {
  start();
  type("abc");
  EXPECT_EQ(finish("\x03").outcome, PromptOutcome::interrupted);
  start();
  EXPECT_EQ(finish("\x04").outcome, PromptOutcome::end_of_input);
}

TEST_F(EditorFixture, MenuShowsDisplayAndMetaColumnsAndTabInsertsTheEntry) {
  start();
  type("/");
  EXPECT_EQ(vt.row(0), "> /");
  EXPECT_EQ(vt.row(1), "  /help           show help");
  EXPECT_EQ(vt.row(2), "  /attach <path>  queue a file");
  type("\t\t");
  EXPECT_EQ(vt.row(0), "> /attach");
  EXPECT_EQ(vt.row(2), " >/attach <path>  queue a file");
  EXPECT_EQ(finish("x.pdf\r").text, "/attach x.pdf");
}

TEST_F(EditorFixture, PasteWithLineBreaksStaysOneInput) {
  start();
  type("\x1b[200~first line\r\nsecond line\x1b[201~");
  EXPECT_EQ(vt.row(0), "> first line");
  EXPECT_EQ(vt.row(1), "  second line");
  EXPECT_EQ(finish("\r").text, "first line\nsecond line");
}

TEST_F(EditorFixture, WideCharactersAndCursorMovement) {
  start();
  type("日本\x1b[D");
  EXPECT_EQ(vt.cursor_col(), 4);
  type("x");
  EXPECT_EQ(vt.row(0), "> 日x本");
  EXPECT_EQ(vt.cursor_col(), 5);
  EXPECT_EQ(finish("\r").text, "日x本");
}

TEST_F(EditorFixture, LongInputWrapsAndTheCursorFollows) {
  start();
  const std::string text(60, 'a');
  type(text);
  EXPECT_EQ(vt.row(0), "> " + std::string(48, 'a'));
  EXPECT_EQ(vt.row(1), std::string(12, 'a'));
  EXPECT_EQ(vt.cursor_row(), 1);
  EXPECT_EQ(vt.cursor_col(), 12);
  EXPECT_EQ(finish("\r").text, text);
}

TEST_F(EditorFixture, HistoryLastsBetweenPrompts) {
  start();
  finish("first\r");
  start();
  type("\x1b[A");
  EXPECT_EQ(vt.row(1), "> first");
  EXPECT_EQ(finish("\r").text, "first");
}

TEST_F(EditorFixture, CtrlLClearsTheScreenAndRedrawsThePromptAtTheTop) {
  screen->write("old output\nmore\n");
  start();
  type("q");
  type("\x0c");
  EXPECT_EQ(vt.row(0), "> q");
  EXPECT_EQ(vt.row(1), "");
  finish("\r");
}

struct Counter {
  int value = 0;
  Fragments render() const {
    return {{"class:title", "Count\n"}, {"", "value " + std::to_string(value) + "\n"}};
  }
};

boost::asio::awaitable<void> run_app(InlineApp& app, std::optional<bool>& done) {
  done = co_await app.run();
}

TEST_F(EditorFixture, InlineAppFramesTheNavigatorAndErasesWhenDone) {
  Counter counter;
  for (bool erase : {true, false}) {
    SCOPED_TRACE(erase);
    screen->write("above\n");
    InlineApp app(
        *screen, {.title = "Panel", .style = {}, .erase_when_done = erase},
        [&] { return counter.render(); },
        [&](const Key& key) {
          if (key.code == KeyCode::enter) return KeyResult::exit;
          if (key.code == KeyCode::up) {
            ++counter.value;
            return KeyResult::changed;
          }
          return KeyResult::ignored;
        });
    std::optional<bool> done;
    boost::asio::co_spawn(io, run_app(app, done), boost::asio::detached);
    ASSERT_TRUE(run_until(io, [&] { return screen->attached(); }));
    sync();
    const int top = vt.cursor_row() - 4;
    auto line = [](int n) {
      std::string out;
      for (int i = 0; i < n; ++i) out += "─";
      return out;
    };
    EXPECT_EQ(vt.row(top), "┌" + line(19) + "┤ Panel ├" + line(20) + "┐");
    EXPECT_EQ(vt.row(top + 1), "│Count                                           │");
    EXPECT_EQ(vt.row(top + 2), "│value 0                                         │");
    EXPECT_FALSE(vt.cursor_visible());
    type("\x1b[A\x1b[A");
    EXPECT_EQ(vt.row(top + 2), "│value 2                                         │");
    pty.type("\r");
    ASSERT_TRUE(run_until(io, [&] { return done.has_value(); }));
    sync();
    EXPECT_TRUE(*done);
    EXPECT_TRUE(vt.cursor_visible());
    if (erase) {
      EXPECT_EQ(vt.row(top), "");
      EXPECT_EQ(vt.row(top - 1), "above");
    } else {
      EXPECT_EQ(vt.row(top + 2), "│value 2                                         │");
    }
    counter.value = 0;
  }
}

/// A list with a search line under it, as the pickers draw it.
Fragments search_list(int selected) {
  Fragments out = {{"class:title", "Pick\n"}};
  for (int i = 0; i < 10; ++i) {
    out.push_back({i == selected ? "class:selected" : "", "item " + std::to_string(i) + "\n"});
  }
  out.push_back({"", "\n"});
  out.push_back({"class:label", "Search: "});
  out.push_back({"", "x\n"});
  return out;
}

/// A panel row without its frame: "┌", "└" for the borders, else the text inside.
std::string inner(const velmora::term::PaintRow& row) {
  if (row.bytes.starts_with("┌")) return "┌";
  if (row.bytes.starts_with("└")) return "└";
  std::string text = row.bytes.substr(std::string("│").size());
  text.resize(text.size() - std::string("│").size());
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

TEST_F(EditorFixture, InlineAppTallerThanTheTerminalKeepsItsSearchLineBelowTheFocus) {
  struct Case {
    int height;
    int selected;
    std::vector<std::string> shown;
  };
  std::vector<std::string> whole = {"┌", "Pick"};
  for (int i = 0; i < 10; ++i) whole.push_back("item " + std::to_string(i));
  whole.insert(whole.end(), {"", "Search: x", "", "└"});
  const std::vector<Case> cases = {
      {20, 0, whole},
      // The whole panel for the scrollback.
      {0, 9, whole},
      {8, 0, {"┌", "Pick", "item 0", "item 1", "item 2", "Search: x", "", "└"}},
      {8, 5, {"item 3", "item 4", "item 5", "item 6", "item 7", "Search: x", "", "└"}},
      {8, 9, {"item 6", "item 7", "item 8", "item 9", "", "Search: x", "", "└"}},
      // No room for the pinned rows and a list: left whole to the screen's own cropping.
      {3, 0, whole},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "height " << c.height << ", selected " << c.selected);
    InlineApp app(
        *screen, {.title = "Panel", .focus_style = "class:selected", .pinned_style = "class:label"},
        [&] { return search_list(c.selected); }, [](const Key&) { return KeyResult::ignored; });
    const AppView view = app.layout(30, c.height);
    std::vector<std::string> shown;
    for (const auto& row : view.rows) shown.push_back(inner(row));
    EXPECT_EQ(shown, c.shown);
    ASSERT_LT(view.focus_row, static_cast<int>(view.rows.size()));
    EXPECT_EQ(shown[static_cast<std::size_t>(view.focus_row)],
              "item " + std::to_string(c.selected));
  }
}

TEST(PromptLayout, InputWrapsByColumnsWithTheCursorWhereItsTextIs) {
  struct Case {
    const char* name;
    std::string text;
    int lefts;  ///< Left presses after pasting `text`.
    std::vector<std::string> rows;
    int cursor_row;
    int cursor_col;
  };
  const std::vector<Case> cases = {
      {"ascii wraps", "abcdefghijklmnop", 0, {"> abcdefgh", "ijklmnop"}, 1, 8},
      {"cursor inside a run", "abcdefghijklmnop", 13, {"> abcdefgh", "ijklmnop"}, 0, 5},
      {"cursor on the wrap", "abcdefghijklmnop", 8, {"> abcdefgh", "ijklmnop"}, 1, 0},
      {"full row, cursor below", "abcdefgh", 0, {"> abcdefgh", ""}, 1, 0},
      {"combining mark joins the letter before",
       "cafe\u0301 okay",
       0,
       {"> cafe\u0301 oka", "y"},
       1,
       1},
      {"combining mark, cursor after it", "cafe\u0301 okay", 5, {"> cafe\u0301 oka", "y"}, 0, 6},
      {"wide characters", "ab漢字cdefg", 0, {"> ab漢字cd", "efg"}, 1, 3},
      {"wide character moves to the next row", "abcdefg漢", 0, {"> abcdefg", "漢"}, 1, 2},
      {"lines and tabs", "x\ty\nz", 0, {"> x    y", "  z"}, 1, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    History history;
    EditorState state(history);
    state.handle(Key{.code = KeyCode::paste, .text = c.text});
    for (int i = 0; i < c.lefts; ++i) state.handle(Key{.code = KeyCode::left});
    PromptOptions options;
    options.message = {{"", "> "}};
    const AppView view = layout_prompt(state, options, 10, 24, ColorSystem::none);
    std::vector<std::string> rows;
    for (const auto& row : view.rows) rows.push_back(row.bytes);
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(view.cursor_row, c.cursor_row);
    EXPECT_EQ(view.cursor_col, c.cursor_col);
  }
}

}  // namespace
