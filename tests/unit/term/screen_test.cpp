#include "velmora/term/screen.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "pty_harness.hpp"
#include "velmora/base/errors.hpp"

namespace {

using velmora::term::AppView;
using velmora::term::Key;
using velmora::term::KeyCode;
using velmora::term::PaintRow;
using velmora::term::Screen;
using velmora::term::ScreenApp;
using velmora::term::ScreenOptions;
using velmora::testing::Pty;
using velmora::testing::run_until;
using velmora::testing::same_mode;
using velmora::testing::VirtualTerminal;

/// An app that shows its rows with the cursor at the end of the first, and records the sizes
/// it was laid out for.
struct FakeApp : ScreenApp {
  std::vector<std::string> rows{"> typed", "-- toolbar --"};
  std::vector<int> widths_seen;
  AppView layout(int width, int) override {
    widths_seen.push_back(width);
    AppView view;
    for (const auto& r : rows) {
      const std::string shown = r.substr(0, static_cast<std::size_t>(width));
      view.rows.push_back(PaintRow{shown, static_cast<int>(shown.size())});
    }
    view.cursor_row = 0;
    view.cursor_col = static_cast<int>(view.rows[0].width);
    return view;
  }
};

struct ScreenFixture : ::testing::Test {
  boost::asio::io_context io;
  Pty pty{40, 12};
  VirtualTerminal vt{40, 12};

  ScreenOptions options() {
    ScreenOptions o;
    o.in_fd = pty.slave();
    o.out_fd = pty.slave();
    return o;
  }
  void sync() { vt.feed(pty.drain()); }
};

TEST_F(ScreenFixture, PrintsGoAboveLiveLinesWhichCommitIntoTheScrollback) {
  Screen screen(io.get_executor(), options());
  screen.update({"⠋ Thinking… 1s"});
  screen.write("first answer line\n");
  screen.write("second ");
  screen.write("half\n");
  sync();
  EXPECT_EQ(vt.text(), "first answer line\nsecond half\n⠋ Thinking… 1s\n");
  screen.update({"⠙ Thinking… 2s"});
  sync();
  EXPECT_EQ(vt.text(), "first answer line\nsecond half\n⠙ Thinking… 2s\n");
  screen.commit({"[x] plan done"});
  screen.write("after\n");
  sync();
  EXPECT_EQ(vt.text(), "first answer line\nsecond half\n[x] plan done\nafter\n");
  EXPECT_TRUE(vt.cursor_visible());
}

TEST_F(ScreenFixture, UpdateWithNoLinesLeavesNothingBehind) {
  Screen screen(io.get_executor(), options());
  screen.write("x\n");
  screen.update({"a", "b"});
  screen.update({});
  sync();
  EXPECT_EQ(vt.text(), "x\n");
  EXPECT_EQ(vt.cursor_row(), 1);
  EXPECT_EQ(vt.cursor_col(), 0);
}

TEST_F(ScreenFixture, AttachedAppTakesRawModeAndDetachRestoresTheTerminal) {
  const termios before = pty.mode();
  {
    Screen screen(io.get_executor(), options());
    FakeApp app;
    screen.attach(app);
    sync();
    EXPECT_FALSE(same_mode(pty.mode(), before));
    EXPECT_EQ(pty.mode().c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_TRUE(vt.paste_mode());
    EXPECT_EQ(vt.text(), "> typed\n-- toolbar --\n");
    screen.write("streamed\n");
    sync();
    EXPECT_EQ(vt.text(), "streamed\n> typed\n-- toolbar --\n");
    EXPECT_EQ(vt.cursor_row(), 1);
    EXPECT_EQ(vt.cursor_col(), 7);
    app.rows = {"> typed"};
    screen.detach(true);
    sync();
    EXPECT_EQ(vt.text(), "streamed\n> typed\n");
    EXPECT_TRUE(same_mode(pty.mode(), before));
    EXPECT_FALSE(vt.paste_mode());
  }
  EXPECT_FALSE(vt.used_alternate_screen());
  EXPECT_FALSE(vt.asked_cursor_position());
}

TEST_F(ScreenFixture, DestroyingTheScreenWhileAnAppIsAttachedRestoresTheTerminal) {
  const termios before = pty.mode();
  FakeApp app;
  {
    Screen screen(io.get_executor(), options());
    screen.attach(app);
  }
  sync();
  EXPECT_TRUE(same_mode(pty.mode(), before));
  EXPECT_EQ(vt.text(), "");
  EXPECT_TRUE(vt.cursor_visible());
}

struct TallPanel : ScreenApp {
  int focus = 25;
  AppView layout(int, int) override {
    AppView view;
    for (int i = 0; i < 30; ++i) {
      const std::string text = (i == focus ? "> row " : "  row ") + std::to_string(i);
      view.rows.push_back(PaintRow{text, static_cast<int>(text.size())});
    }
    view.cursor_visible = false;
    view.focus_row = focus;
    return view;
  }
};

TEST_F(ScreenFixture, PanelTallerThanTheTerminalKeepsItsFocusRowOnScreen) {
  Screen screen(io.get_executor(), options());
  TallPanel panel;
  screen.attach(panel);
  sync();
  EXPECT_NE(vt.text().find("> row 25"), std::string::npos);
  EXPECT_EQ(vt.text().find("row 0\n"), std::string::npos);
  panel.focus = 2;
  screen.invalidate();
  sync();
  EXPECT_NE(vt.text().find("> row 2\n"), std::string::npos);
  EXPECT_EQ(vt.text().find("row 25"), std::string::npos);
  screen.detach(false);
  sync();
  EXPECT_EQ(vt.text(), "");
}

TEST_F(ScreenFixture, WindowSizeChangeLaysTheAppOutAgain) {
  Screen screen(io.get_executor(), options());
  FakeApp app;
  app.rows = {"> " + std::string(30, 'x'), "bar"};
  screen.attach(app);
  pty.resize(20, 12);
  vt.resize(20, 12);
  ::raise(SIGWINCH);
  ASSERT_TRUE(run_until(io, [&] { return app.widths_seen.back() == 20; }));
  sync();
  EXPECT_EQ(vt.row(0), "> " + std::string(18, 'x'));
  EXPECT_EQ(vt.row(1), "bar");
  screen.detach(false);
}

TEST_F(ScreenFixture, ShorterWindowRedrawsRowsTheTerminalDropped) {
  Screen screen(io.get_executor(), options());
  FakeApp app;
  app.rows = {"> typed", "", "", "-- toolbar --"};
  screen.write("1\n2\n3\n4\n5\n6\n7\n8\n");
  screen.attach(app);
  sync();
  // The cursor is on the prompt row; the terminal drops the three rows below it.
  pty.resize(40, 9);
  vt.resize(40, 9);
  ::raise(SIGWINCH);
  ASSERT_TRUE(run_until(io, [&] {
    sync();
    return vt.row(8) == "-- toolbar --";
  }));
  EXPECT_EQ(vt.row(5), "> typed") << vt.text();
  EXPECT_EQ(vt.row(4), "8") << vt.text();
  screen.detach(false);
}

TEST_F(ScreenFixture, JobControlStopRestoresTheTerminalAndContinueRedraws) {
  const termios before = pty.mode();
  bool stopped_cooked = false;
  std::string shown_while_stopped = "unset";
  ScreenOptions o = options();
  o.stop_process = [&] {
    stopped_cooked = same_mode(pty.mode(), before);
    vt.feed(pty.drain());
    shown_while_stopped = vt.text();
  };
  Screen screen(io.get_executor(), o);
  FakeApp app;
  screen.attach(app);
  ::raise(SIGTSTP);
  ASSERT_TRUE(run_until(io, [&] { return shown_while_stopped != "unset"; }));
  EXPECT_TRUE(stopped_cooked);
  EXPECT_EQ(shown_while_stopped, "");
  EXPECT_FALSE(vt.paste_mode());
  // The shell printed its job line meanwhile.
  vt.feed("[1]+ Stopped\r\n");
  ::raise(SIGCONT);
  ASSERT_TRUE(run_until(io, [&] {
    sync();
    return vt.row(1) == "> typed";
  }));
  EXPECT_EQ(vt.row(2), "-- toolbar --");
  EXPECT_EQ(pty.mode().c_lflag & (ECHO | ICANON), 0u);
  EXPECT_TRUE(vt.paste_mode());
  screen.detach(false);
  EXPECT_TRUE(same_mode(pty.mode(), before));
}

TEST_F(ScreenFixture, WritesFromAnotherThreadInterleaveWithRepaintsWithoutLoss) {
  Screen screen(io.get_executor(), options());
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i) screen.write("line " + std::to_string(i) + "\n");
  });
  for (int i = 0; i < 200; ++i) screen.update({"status " + std::to_string(i)});
  worker.join();
  screen.update({});
  std::string all;
  // Keep the pty from filling while collecting.
  all += pty.drain();
  vt.feed(all);
  std::vector<std::string> seen = vt.scrollback();
  for (const auto& r : vt.rows()) {
    if (!r.empty()) seen.push_back(r);
  }
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(seen[static_cast<std::size_t>(i)], "line " + std::to_string(i));
}

TEST(ScreenPipe, OutputThatIsNoTerminalPassesThroughWithoutEscapes) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  boost::asio::io_context io;
  {
    ScreenOptions o;
    o.in_fd = fds[0];
    o.out_fd = fds[1];
    Screen screen(io.get_executor(), o);
    EXPECT_FALSE(screen.is_terminal());
    screen.update({"live"});
    screen.write("plain\n");
    FakeApp app;
    EXPECT_THROW(screen.attach(app), velmora::base::OSError);
  }
  ::close(fds[1]);
  char buf[256];
  const ssize_t n = ::read(fds[0], buf, sizeof buf);
  ::close(fds[0]);
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0))), "plain\n");
}

boost::asio::awaitable<void> read_keys(Screen& screen, std::vector<Key>& keys, bool& done) {
  while (auto key = co_await screen.read_key()) keys.push_back(*key);
  done = true;
}

TEST_F(ScreenFixture, KeysArriveDecodedAndALoneEscapeAfterItsWait) {
  Screen screen(io.get_executor(), options());
  FakeApp app;
  screen.attach(app);
  std::vector<Key> keys;
  bool done = false;
  boost::asio::co_spawn(io, read_keys(screen, keys, done), boost::asio::detached);
  pty.type("\x1b[Ah\xc3\xa9");
  ASSERT_TRUE(run_until(io, [&] { return keys.size() == 3; }));
  pty.type("\x1b");
  ASSERT_TRUE(run_until(io, [&] { return keys.size() == 4; }));
  EXPECT_EQ(keys[0].code, KeyCode::up);
  EXPECT_EQ(keys[1].text, "h");
  EXPECT_EQ(keys[2].text, "é");
  EXPECT_EQ(keys[3].code, KeyCode::escape);
  screen.detach(false);
  io.stop();
}

boost::asio::awaitable<void> read_one_key(Screen& screen, std::string& text) {
  const auto key = co_await screen.read_key();
  text = key ? key->text : "<none>";
}

TEST_F(ScreenFixture, ASecondAppCoversTheFirstAndTakesTheKeysUntilItLeaves) {
  Screen screen(io.get_executor(), options());
  FakeApp prompt;
  FakeApp panel;
  panel.rows = {"+- question -+", "| yes |"};
  screen.attach(prompt);
  std::string prompt_key;
  boost::asio::co_spawn(io, read_one_key(screen, prompt_key), boost::asio::detached);
  io.poll();
  screen.attach(panel);
  EXPECT_THROW(screen.attach(panel), velmora::base::RuntimeError);
  sync();
  EXPECT_EQ(vt.text(), "+- question -+\n| yes |\n");

  std::string panel_key;
  boost::asio::co_spawn(io, read_one_key(screen, panel_key), boost::asio::detached);
  // "b" is typed before the panel leaves: it is kept for the prompt.
  pty.type("ab");
  ASSERT_TRUE(run_until(io, [&] { return !panel_key.empty(); }));
  EXPECT_EQ(panel_key, "a");
  io.poll();
  EXPECT_EQ(prompt_key, "");
  screen.detach(panel, true);
  ASSERT_TRUE(run_until(io, [&] { return !prompt_key.empty(); }));
  EXPECT_EQ(prompt_key, "b");
  sync();
  EXPECT_EQ(vt.text(), "+- question -+\n| yes |\n> typed\n-- toolbar --\n");
  EXPECT_TRUE(screen.attached());
  screen.detach(prompt, false);
  EXPECT_FALSE(screen.attached());
  io.stop();
}

using ScreenDeathTest = ScreenFixture;

TEST_F(ScreenDeathTest, EndedBySignalTheProcessTakesThePromptOffTheScreen) {
  // "fast" forks without exec, so the child draws on this very pty.
  GTEST_FLAG_SET(death_test_style, "fast");
  const termios before = pty.mode();
  EXPECT_EXIT(
      {
        Screen screen(io.get_executor(), options());
        FakeApp app;
        screen.write("above\n");
        screen.attach(app);
        std::raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  sync();
  EXPECT_TRUE(same_mode(pty.mode(), before));
  EXPECT_EQ(vt.text(), "above\n");
  EXPECT_EQ(vt.cursor_row(), 1);
  EXPECT_EQ(vt.cursor_col(), 0);
  EXPECT_TRUE(vt.cursor_visible());
}

}  // namespace
