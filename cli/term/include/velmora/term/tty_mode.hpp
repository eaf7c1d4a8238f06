// Raw terminal mode that is always undone.
//
// Raw mode here means: no echo, no line editing, keys such as Ctrl+C and Ctrl+Z arrive as
// bytes instead of signals, and output processing stays on (a "\n" still starts a new line).
// The saved mode comes back when the guard ends (normal return or exception), and also when
// the process is ended by SIGTERM, SIGHUP, SIGQUIT or SIGINT while those have their default
// handling, and at `exit`. A program that ends with `_exit` calls `restore_terminal()` first.
//
//   {
//     RawModeGuard raw(0, 1);
//     ... read keys ...
//   }   // cooked again
#pragma once

#include <termios.h>

#include <string_view>

namespace velmora::term {

class RawModeGuard {
 public:
  /// Throws velmora::base::OSError when `fd` is not a terminal. `out_fd` receives the bytes that
  /// reset the terminal (bracketed paste off, cursor shown) on an abnormal end.
  explicit RawModeGuard(int fd, int out_fd = 1);
  ~RawModeGuard();
  RawModeGuard(const RawModeGuard&) = delete;
  RawModeGuard& operator=(const RawModeGuard&) = delete;

  /// Back to the saved mode for a while (before the process stops itself).
  void suspend() noexcept;
  /// Raw again (after a suspend, or after a job-control shell reset the mode).
  void resume() noexcept;
  [[nodiscard]] const termios& saved() const noexcept { return saved_; }

 private:
  int fd_;
  termios saved_{};
  termios raw_{};
  /// True for the outermost guard, which owns the process-wide restore state.
  bool outermost_ = false;
};

/// Output that hides the cursor or draws an inline region without raw mode (a one-shot's live
/// status line): while one is alive, an end by SIGTERM, SIGHUP, SIGQUIT or SIGINT (while those
/// have their default handling) or by `exit` writes the restore prefix and the reset bytes to
/// `out_fd`, as it does under a RawModeGuard. Guards nest with each other and with RawModeGuard.
class OutputRestoreGuard {
 public:
  explicit OutputRestoreGuard(int out_fd);
  ~OutputRestoreGuard();
  OutputRestoreGuard(const OutputRestoreGuard&) = delete;
  OutputRestoreGuard& operator=(const OutputRestoreGuard&) = delete;
};

/// Puts back the mode saved by the outermost active RawModeGuard (if any) and writes the reset
/// bytes.
/// Safe in a signal handler and before `_exit`; does nothing when no guard of either kind is
/// active.
void restore_terminal() noexcept;

/// Bytes `restore_terminal` writes first, while a guard is active: what takes an inline region
/// off the screen, so an abnormal end leaves no prompt behind. Safe to call from any thread
/// that holds the writer's lock; too long a text is dropped (the modes are still restored).
void set_restore_prefix(std::string_view bytes) noexcept;

/// The raw variant of a mode (exposed for tests).
[[nodiscard]] termios make_raw(const termios& cooked) noexcept;

}  // namespace velmora::term
