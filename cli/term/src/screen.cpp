#include "velmora/term/screen.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "signal_pipe.hpp"
#include "velmora/base/async.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/term/text_width.hpp"
#include "velmora/term/tty_mode.hpp"

namespace velmora::term {
namespace {

namespace net = boost::asio;
using namespace boost::asio::experimental::awaitable_operators;

/// How long a lone escape byte waits for the rest of a sequence.
constexpr auto ESCAPE_WAIT = std::chrono::milliseconds(50);
constexpr std::string_view PASTE_ON = "\x1b[?2004h";
constexpr std::string_view PASTE_OFF = "\x1b[?2004l";

std::atomic<Screen*> g_current{nullptr};

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        // Someone made the descriptor non-blocking; wait until it drains.
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        ::select(fd + 1, nullptr, &set, nullptr, nullptr);
        continue;
      }
      return;  // a closed terminal: nothing left to show output on
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// A descriptor of its own for the terminal, so that the non-blocking flag Asio sets does not
// leak into the standard input other code reads with blocking calls.
int open_own_input(int fd, bool& shared) {
  shared = false;
  char name[256];
  if (::ttyname_r(fd, name, sizeof name) == 0) {
    const int own = ::open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) return own;
  }
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  const int own = ::open(proc.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (own >= 0) return own;
  shared = true;
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

}  // namespace

struct Screen::Impl : std::enable_shared_from_this<Screen::Impl> {
  Impl(const net::any_io_executor& ex, ScreenOptions opts)
      : executor(ex), options(std::move(opts)), signals(ex), top_changed(ex) {}

  net::any_io_executor executor;
  ScreenOptions options;
  Screen* owner = nullptr;
  bool terminal = false;

  std::mutex mutex;
  RegionPainter painter;
  std::vector<std::string> live_lines;
  /// The app shown and given the keys; those it covers wait below it, newest last.
  ScreenApp* app = nullptr;
  std::vector<ScreenApp*> covered;
  AppView app_view;
  int width = 80;
  int height = 24;

  net::posix::stream_descriptor signals;
  bool closed = false;

  std::optional<RawModeGuard> raw;
  /// The live lines hide the cursor without any raw mode: a fatal signal still restores it.
  std::optional<OutputRestoreGuard> restore;
  std::unique_ptr<net::posix::stream_descriptor> input;
  /// The input descriptor shares its open file with standard input (flags restored at close).
  bool input_shared = false;
  int input_saved_flags = 0;
  KeyDecoder decoder;
  bool input_ended = false;
  /// Pulsed whenever another app comes on top, waking the readers of covered apps.
  velmora::base::Event top_changed;

  [[nodiscard]] bool holds(const ScreenApp* candidate) const {
    return candidate == app ||
           std::find(covered.begin(), covered.end(), candidate) != covered.end();
  }
  /// False when a wait for input failed: cut short (look again), or broken (input ended).
  bool input_usable(const boost::system::error_code& ec) {
    if (ec && ec != net::error::operation_aborted) {
      decoder.flush_escape();
      input_ended = true;
    }
    return !ec;
  }
  void pulse_top_changed() {
    top_changed.set();
    top_changed.clear();
  }

  void query_size() {
    winsize ws{};
    if (::ioctl(options.out_fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
      width = ws.ws_col;
      height = ws.ws_row > 0 ? ws.ws_row : 24;
    } else if (::ioctl(options.in_fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
      width = ws.ws_col;
      height = ws.ws_row > 0 ? ws.ws_row : 24;
    }
  }

  // Caller holds the mutex.
  RegionFrame compose() const {
    RegionFrame frame;
    for (const auto& line : live_lines) {
      std::string bytes = fit_visible(line, width);
      const int w = visible_width(bytes);
      frame.rows.push_back(PaintRow{std::move(bytes), w});
    }
    const int live_count = static_cast<int>(frame.rows.size());
    int focus = live_count > 0 ? live_count - 1 : 0;
    if (app != nullptr) {
      for (const auto& row : app_view.rows) {
        if (row.width > width) {
          std::string bytes = fit_visible(row.bytes, width);
          const int w = visible_width(bytes);
          frame.rows.push_back(PaintRow{std::move(bytes), w});
        } else {
          frame.rows.push_back(row);
        }
      }
      frame.cursor_row = live_count + app_view.cursor_row;
      frame.cursor_col = app_view.cursor_col;
      frame.cursor_visible = app_view.cursor_visible;
      focus = live_count + (app_view.cursor_visible ? app_view.cursor_row : app_view.focus_row);
    } else if (!frame.rows.empty()) {
      frame.cursor_row = static_cast<int>(frame.rows.size()) - 1;
      frame.cursor_col = frame.rows.back().width;
      frame.cursor_visible = false;
    }
    const int total = static_cast<int>(frame.rows.size());
    if (total > height && height > 0) {
      // Taller than the terminal: show the rows around the focus.
      const int start = std::clamp(focus - height / 2, 0, total - height);
      frame.rows.erase(frame.rows.begin() + start + height, frame.rows.end());
      frame.rows.erase(frame.rows.begin(), frame.rows.begin() + start);
      frame.cursor_row = std::clamp(frame.cursor_row - start, 0, height - 1);
      if (frame.cursor_row != focus - start) frame.cursor_visible = false;
    }
    return frame;
  }

  // Caller holds the mutex. From here on an abnormal end takes the region off the screen.
  void emit(std::string_view out) {
    write_all(options.out_fd, out);
    if (terminal) set_restore_prefix(painter.erase_bytes(width));
  }

  // Caller holds the mutex.
  std::string repaint() {
    if (!terminal) return {};
    return painter.paint(compose(), width);
  }

  void write_locked(std::string_view bytes) {
    if (!terminal) {
      write_all(options.out_fd, bytes);
      return;
    }
    std::string out = painter.erase(width);
    out.append(bytes);
    painter.note_output(bytes);
    out += repaint();
    emit(out);
  }

  /// `whole`: laid out without the height limit, as it is to stay in the scrollback.
  void refresh_app_view(bool whole = false) {
    if (app == nullptr) return;
    AppView view = app->layout(width, whole ? 0 : height);
    std::lock_guard lock(mutex);
    app_view = std::move(view);
  }

  void on_signal(int signo) {
    if (signo == SIGWINCH) {
      {
        std::lock_guard lock(mutex);
        query_size();
      }
      refresh_app_view();
      std::lock_guard lock(mutex);
      if (!terminal) return;
      // Terminals differ in what a size change does to the rows below the cursor (tmux drops
      // them): draw the region afresh instead of patching rows that may be gone.
      std::string out = painter.erase(width);
      out += repaint();
      emit(out);
    } else if (signo == SIGTSTP) {
      if (!raw) return;
      {
        std::lock_guard lock(mutex);
        std::string out = painter.erase(width);
        out.append(PASTE_OFF);
        emit(out);
        raw->suspend();
      }
      if (options.stop_process) {
        options.stop_process();
      } else {
        ::raise(SIGSTOP);
      }
      // Drawn again when SIGCONT arrives.
    } else if (signo == SIGCONT) {
      {
        std::lock_guard lock(mutex);
        query_size();
      }
      refresh_app_view();
      std::lock_guard lock(mutex);
      std::string out;
      if (raw) {
        // The shell may have put its own modes back while we were stopped.
        raw->resume();
        out.append(PASTE_ON);
      }
      painter.abandon();
      out += repaint();
      emit(out);
    }
  }

  static net::awaitable<void> watch_signals(std::shared_ptr<Impl> self);

  void close_input() {
    if (!input) return;
    if (input_shared) ::fcntl(input->native_handle(), F_SETFL, input_saved_flags);
    boost::system::error_code ignored;
    input->close(ignored);
    input.reset();
  }
};

net::awaitable<void> Screen::Impl::watch_signals(std::shared_ptr<Impl> self) {
  for (;;) {
    auto [ec] = co_await self->signals.async_wait(net::posix::stream_descriptor::wait_read,
                                                  net::as_tuple(net::use_awaitable));
    if (ec || self->closed) co_return;
    unsigned char buf[64];
    const ssize_t n = ::read(self->signals.native_handle(), buf, sizeof buf);
    for (ssize_t i = 0; i < n; ++i) self->on_signal(buf[i]);
  }
}

Screen::Screen(const boost::asio::any_io_executor& ex, ScreenOptions options)
    : impl_(std::make_shared<Impl>(ex, std::move(options))) {
  impl_->owner = this;
  impl_->terminal = ::isatty(impl_->options.out_fd) == 1;
  impl_->query_size();
  if (!impl_->terminal) return;
  impl_->restore.emplace(impl_->options.out_fd);
  g_current.store(this);
  const int pipe_fd = detail::signal_pipe_fd();
  if (pipe_fd >= 0) {
    const int own = ::fcntl(pipe_fd, F_DUPFD_CLOEXEC, 0);
    if (own >= 0) {
      impl_->signals.assign(own);
      detail::watch_signal(SIGWINCH);
      detail::watch_signal(SIGCONT);
      net::co_spawn(ex, Impl::watch_signals(impl_), net::detached);
    }
  }
}

Screen::~Screen() {
  while (impl_->app != nullptr) detach(false);
  {
    std::lock_guard lock(impl_->mutex);
    impl_->live_lines.clear();
    if (impl_->terminal) impl_->emit(impl_->painter.erase(impl_->width));
    impl_->owner = nullptr;
    impl_->restore.reset();
  }
  if (impl_->signals.is_open()) {
    detail::unwatch_signal(SIGWINCH);
    detail::unwatch_signal(SIGCONT);
    impl_->closed = true;
    boost::system::error_code ignored;
    impl_->signals.cancel(ignored);
  }
  impl_->close_input();
  Screen* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

Screen* Screen::current() noexcept { return g_current.load(); }

void Screen::write(std::string_view bytes) {
  std::lock_guard lock(impl_->mutex);
  impl_->write_locked(bytes);
}

void Screen::update(std::vector<std::string> lines) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->terminal) return;
  impl_->live_lines = std::move(lines);
  impl_->emit(impl_->repaint());
}

void Screen::commit(std::vector<std::string> lines) {
  std::lock_guard lock(impl_->mutex);
  impl_->live_lines.clear();
  std::string text;
  if (impl_->painter.output_column() > 0 && !lines.empty()) text += '\n';
  for (const auto& line : lines) {
    text += line;
    text += '\n';
  }
  impl_->write_locked(text);
}

void Screen::attach(ScreenApp& app) {
  if (impl_->holds(&app)) throw velmora::base::RuntimeError("the inline app is already shown");
  if (impl_->app != nullptr) {
    // A panel over the prompt (a question while the user types): the prompt waits below it.
    AppView view = app.layout(impl_->width, impl_->height);
    std::lock_guard lock(impl_->mutex);
    impl_->covered.push_back(impl_->app);
    impl_->app = &app;
    impl_->app_view = std::move(view);
    detail::watch_signal(SIGTSTP);
    impl_->emit(impl_->repaint());
    impl_->pulse_top_changed();
    return;
  }
  if (!impl_->terminal || ::isatty(impl_->options.in_fd) != 1) {
    throw velmora::base::OSError("the terminal is not interactive", ENOTTY);
  }
  if (!impl_->input) {
    const int fd = open_own_input(impl_->options.in_fd, impl_->input_shared);
    if (fd < 0) throw velmora::base::OSError(std::strerror(errno), errno);
    if (impl_->input_shared) impl_->input_saved_flags = ::fcntl(fd, F_GETFL);
    impl_->input = std::make_unique<net::posix::stream_descriptor>(impl_->executor, fd);
    impl_->input->non_blocking(true);
  }
  impl_->raw.emplace(impl_->options.in_fd, impl_->options.out_fd);
  detail::watch_signal(SIGTSTP);
  {
    std::lock_guard lock(impl_->mutex);
    impl_->query_size();
  }
  AppView view = app.layout(impl_->width, impl_->height);
  std::lock_guard lock(impl_->mutex);
  impl_->app = &app;
  impl_->app_view = std::move(view);
  std::string out(PASTE_ON);
  out += impl_->repaint();
  impl_->emit(out);
}

void Screen::invalidate() {
  impl_->refresh_app_view();
  std::lock_guard lock(impl_->mutex);
  impl_->emit(impl_->repaint());
}

void Screen::detach(bool keep) {
  if (impl_->app != nullptr) detach(*impl_->app, keep);
}

void Screen::detach(ScreenApp& app, bool keep) {
  if (impl_->app != &app) {
    // A covered app leaves unseen (its reader was cancelled under a panel).
    const auto found = std::find(impl_->covered.begin(), impl_->covered.end(), &app);
    if (found == impl_->covered.end()) return;
    impl_->covered.erase(found);
    detail::unwatch_signal(SIGTSTP);
    impl_->pulse_top_changed();
    return;
  }
  if (keep) impl_->refresh_app_view(true);
  ScreenApp* uncovered = nullptr;
  AppView uncovered_view;
  if (!impl_->covered.empty()) {
    uncovered = impl_->covered.back();
    uncovered_view = uncovered->layout(impl_->width, impl_->height);
  }
  {
    std::lock_guard lock(impl_->mutex);
    std::string out;
    impl_->app = nullptr;
    if (keep) {
      out = impl_->painter.erase(impl_->width);
      std::string text;
      if (impl_->painter.output_column() > 0) text += '\n';
      for (const auto& row : impl_->app_view.rows) {
        text += row.bytes;
        text += '\n';
      }
      out += text;
      impl_->painter.note_output(text);
    }
    if (uncovered != nullptr) {
      impl_->covered.pop_back();
      impl_->app = uncovered;
      impl_->app_view = std::move(uncovered_view);
    } else {
      impl_->app_view = {};
    }
    out += impl_->repaint();
    if (uncovered == nullptr) out.append(PASTE_OFF);
    impl_->emit(out);
  }
  detail::unwatch_signal(SIGTSTP);
  if (uncovered != nullptr) {
    boost::system::error_code ignored;
    // Wakes the uncovered reader if it is waiting for input, to take keys already decoded.
    impl_->input->cancel(ignored);
    impl_->pulse_top_changed();
    return;
  }
  impl_->raw.reset();
}

bool Screen::attached() const noexcept { return impl_->app != nullptr; }

boost::asio::awaitable<std::optional<Key>> Screen::read_key() {
  auto self = impl_;
  if (!self->input) throw velmora::base::RuntimeError("no inline app is reading keys");
  // Keys belong to the app on top; the reader of a covered app waits until it is uncovered.
  const ScreenApp* owner = self->app;
  net::steady_timer escape_timer(self->executor);
  for (;;) {
    while (self->app != owner) {
      if (!self->holds(owner)) co_return std::nullopt;
      co_await self->top_changed.wait();
    }
    if (auto key = self->decoder.next()) co_return key;
    if (self->input_ended) co_return std::nullopt;
    // A wait cut short (an app was uncovered: keys typed ahead may be waiting in the decoder)
    // starts the pass again; the coroutine's own cancellation still ends it.
    const auto readable = net::posix::stream_descriptor::wait_read;
    if (self->decoder.waiting()) {
      escape_timer.expires_after(ESCAPE_WAIT);
      auto which = co_await (self->input->async_wait(readable, net::as_tuple(net::use_awaitable)) ||
                             escape_timer.async_wait(net::as_tuple(net::use_awaitable)));
      co_await velmora::base::throw_if_cancelled();
      if (which.index() == 1) {
        if (!std::get<0>(std::get<1>(which))) self->decoder.flush_escape();
        continue;
      }
      if (!self->input_usable(std::get<0>(std::get<0>(which)))) continue;
    } else {
      auto [ec] = co_await self->input->async_wait(readable, net::as_tuple(net::use_awaitable));
      co_await velmora::base::throw_if_cancelled();
      if (!self->input_usable(ec)) continue;
    }
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(self->input->native_handle(), buf, sizeof buf);
      if (n > 0) {
        self->decoder.feed(std::string_view(buf, static_cast<std::size_t>(n)));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      // End of input, or a hang-up (EIO): what was typed still counts.
      self->decoder.flush_escape();
      self->input_ended = true;
      break;
    }
  }
}

bool Screen::key_ready() const noexcept { return impl_->decoder.ready(); }

void Screen::clear_screen() {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->terminal) return;
  // The region goes first: terminals that keep a cleared screen in their history (tmux, VTE)
  // would keep a copy of the prompt there.
  std::string out = impl_->painter.erase(impl_->width);
  out += "\x1b[H\x1b[2J";
  impl_->painter.abandon();
  out += impl_->repaint();
  impl_->emit(out);
}

int Screen::width() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->width;
}

int Screen::height() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->height;
}

ColorSystem Screen::colors() const noexcept { return impl_->options.colors; }

bool Screen::is_terminal() const noexcept { return impl_->terminal; }

bool Screen::input_is_terminal() const noexcept { return ::isatty(impl_->options.in_fd) == 1; }

}  // namespace velmora::term
