#include "velmora/term/tty_mode.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "velmora/base/errors.hpp"

namespace velmora::term {
namespace {

constexpr char RESET_BYTES[] = "\x1b[?2004l\x1b[?25h";
constexpr int FATAL_SIGNALS[] = {SIGTERM, SIGHUP, SIGQUIT, SIGINT};

// Written before `g_active` (and `g_raw`) are set, read by signal handlers after checking them.
termios g_saved{};
int g_fd = -1;
int g_out_fd = -1;
/// Something is to be restored: the fatal-signal handlers are in place.
volatile std::sig_atomic_t g_active = 0;
/// A raw mode is in force: `g_saved` goes back to `g_fd`.
volatile std::sig_atomic_t g_raw = 0;
/// Active raw-mode guards and output restore guards.
int g_depth = 0;
int g_output_depth = 0;

// Two slots: a handler reads the published one while the next is written into the other.
constexpr std::size_t PREFIX_CAPACITY = 4096;
char g_prefix[2][PREFIX_CAPACITY];
volatile std::sig_atomic_t g_prefix_length[2] = {0, 0};
volatile std::sig_atomic_t g_prefix_slot = 0;

void on_fatal_signal(int signo) {
  const int saved_errno = errno;
  restore_terminal();
  std::signal(signo, SIG_DFL);
  errno = saved_errno;
  ::raise(signo);
}

void install_fatal_handlers() {
  for (int signo : FATAL_SIGNALS) {
    struct sigaction current {};
    if (::sigaction(signo, nullptr, &current) != 0) continue;
    // A signal someone else handles (the session's SIGINT) is theirs to end with a restore.
    if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO)) continue;
    struct sigaction ours {};
    ours.sa_handler = on_fatal_signal;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = SA_RESTART;
    ::sigaction(signo, &ours, nullptr);
  }
}

void remove_fatal_handlers() {
  for (int signo : FATAL_SIGNALS) {
    struct sigaction current {};
    if (::sigaction(signo, nullptr, &current) != 0) continue;
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == on_fatal_signal) {
      std::signal(signo, SIG_DFL);
    }
  }
}

void restore_at_exit() { restore_terminal(); }

// Called after a guard count changed: the handlers are in place exactly while a guard is.
void update_active() {
  const bool wanted = g_depth > 0 || g_output_depth > 0;
  if (wanted && !g_active) {
    static const bool registered = [] {
      std::atexit(restore_at_exit);
      return true;
    }();
    (void)registered;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_active = 1;
    install_fatal_handlers();
  } else if (!wanted && g_active) {
    g_active = 0;
    remove_fatal_handlers();
  }
}

}  // namespace

termios make_raw(const termios& cooked) noexcept {
  termios raw = cooked;
  raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INLCR | IGNCR | INPCK | ISTRIP | IXON);
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | IEXTEN | ISIG);
  raw.c_cflag |= CS8;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  return raw;
}

RawModeGuard::RawModeGuard(int fd, int out_fd) : fd_(fd) {
  if (::tcgetattr(fd, &saved_) != 0) {
    throw velmora::base::OSError(std::strerror(errno), errno);
  }
  raw_ = make_raw(saved_);
  if (g_depth == 0) {
    g_raw = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_saved = saved_;
    g_fd = fd;
    g_out_fd = out_fd;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_raw = 1;
    outermost_ = true;
  }
  ++g_depth;
  update_active();
  // TCSANOW keeps keys typed ahead of the prompt.
  if (::tcsetattr(fd, TCSANOW, &raw_) != 0) {
    const int error = errno;
    --g_depth;
    if (outermost_) g_raw = 0;
    update_active();
    throw velmora::base::OSError(std::strerror(error), error);
  }
}

RawModeGuard::~RawModeGuard() {
  ::tcsetattr(fd_, TCSANOW, &saved_);
  --g_depth;
  if (outermost_) g_raw = 0;
  update_active();
}

OutputRestoreGuard::OutputRestoreGuard(int out_fd) {
  // Under a raw-mode guard its output descriptor is already the one restored.
  if (g_output_depth == 0 && g_depth == 0) g_out_fd = out_fd;
  ++g_output_depth;
  update_active();
}

OutputRestoreGuard::~OutputRestoreGuard() {
  --g_output_depth;
  update_active();
}

void RawModeGuard::suspend() noexcept { ::tcsetattr(fd_, TCSANOW, &saved_); }

void RawModeGuard::resume() noexcept { ::tcsetattr(fd_, TCSANOW, &raw_); }

void set_restore_prefix(std::string_view bytes) noexcept {
  const int slot = 1 - g_prefix_slot;
  const std::size_t length = bytes.size() <= PREFIX_CAPACITY ? bytes.size() : 0;
  if (length > 0) std::memcpy(g_prefix[slot], bytes.data(), length);
  g_prefix_length[slot] = static_cast<std::sig_atomic_t>(length);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_prefix_slot = slot;
}

void restore_terminal() noexcept {
  if (!g_active) return;
  if (g_raw) ::tcsetattr(g_fd, TCSANOW, &g_saved);
  if (g_out_fd >= 0) {
    // Best effort: the terminal may be gone.
    const int slot = g_prefix_slot;
    if (g_prefix_length[slot] > 0) {
      [[maybe_unused]] const auto m =
          ::write(g_out_fd, g_prefix[slot], static_cast<std::size_t>(g_prefix_length[slot]));
    }
    [[maybe_unused]] const auto n = ::write(g_out_fd, RESET_BYTES, sizeof(RESET_BYTES) - 1);
  }
}

}  // namespace velmora::term
