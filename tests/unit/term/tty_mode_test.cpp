#include "velmora/term/tty_mode.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "pty_harness.hpp"
#include "velmora/base/errors.hpp"

namespace {

using velmora::term::RawModeGuard;
using velmora::testing::Pty;
using velmora::testing::same_mode;

TEST(RawModeGuard, RawWhileAliveAndRestoredOnReturnAndOnException) {
  Pty pty;
  const termios before = pty.mode();
  {
    RawModeGuard raw(pty.slave(), pty.slave());
    const termios now = pty.mode();
    EXPECT_EQ(now.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(now.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_NE(now.c_oflag & OPOST, 0u) << "output processing stays on";
    raw.suspend();
    EXPECT_TRUE(same_mode(pty.mode(), before));
    raw.resume();
    EXPECT_FALSE(same_mode(pty.mode(), before));
  }
  EXPECT_TRUE(same_mode(pty.mode(), before));
  try {
    RawModeGuard raw(pty.slave(), pty.slave());
    throw std::runtime_error("boom");
  } catch (const std::runtime_error&) {
    // the guard has already run its destructor here
  }
  EXPECT_TRUE(same_mode(pty.mode(), before));
}

TEST(RawModeGuard, RefusesADescriptorThatIsNoTerminal) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_THROW(RawModeGuard(fds[0], fds[1]), velmora::base::OSError);
  ::close(fds[0]);
  ::close(fds[1]);
}

// The process ends in a child; the parent checks the terminal it leaves behind.
using RawModeDeathTest = ::testing::Test;

TEST_F(RawModeDeathTest, TerminalIsRestoredWhenTheProcessEndsAbruptly) {
  // "fast" forks without exec, so the child works on this very pty.
  GTEST_FLAG_SET(death_test_style, "fast");
  Pty pty;
  const termios before = pty.mode();
  static int slave = -1;
  slave = pty.slave();

  EXPECT_EXIT(
      {
        RawModeGuard raw(slave, slave);
        std::raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_TRUE(same_mode(pty.mode(), before)) << "SIGTERM";

  EXPECT_EXIT(
      {
        new RawModeGuard(slave, slave);
        std::exit(3);
      },
      ::testing::ExitedWithCode(3), "");
  EXPECT_TRUE(same_mode(pty.mode(), before)) << "exit";

  EXPECT_EXIT(
      {
        new RawModeGuard(slave, slave);
        velmora::term::restore_terminal();
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(same_mode(pty.mode(), before)) << "_exit after restore_terminal";
  const std::string written = pty.drain();
  EXPECT_NE(written.find("\x1b[?25h"), std::string::npos);
}

}  // namespace
