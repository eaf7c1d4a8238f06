// A pseudo-terminal for driving the screen, panels and editor in-process, and a small terminal
// emulator that replays what they wrote so tests assert on what a user would see.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "velmora/term/text_width.hpp"

namespace velmora::testing {

/// A pseudo-terminal pair; the program side is `slave`, the test plays the terminal on `master`.
class Pty {
 public:
  explicit Pty(int cols = 60, int rows = 20) {
    winsize ws{};
    ws.ws_col = static_cast<unsigned short>(cols);
    ws.ws_row = static_cast<unsigned short>(rows);
    if (::openpty(&master_, &slave_, nullptr, nullptr, &ws) != 0) {
      throw std::runtime_error("openpty failed");
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::tcgetattr(slave_, &initial_);
  }
  ~Pty() {
    ::close(slave_);
    ::close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  [[nodiscard]] int master() const { return master_; }
  [[nodiscard]] int slave() const { return slave_; }
  [[nodiscard]] const termios& initial_mode() const { return initial_; }

  [[nodiscard]] termios mode() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return t;
  }

  void resize(int cols, int rows) {
    winsize ws{};
    ws.ws_col = static_cast<unsigned short>(cols);
    ws.ws_row = static_cast<unsigned short>(rows);
    ::ioctl(master_, TIOCSWINSZ, &ws);
  }

  /// Types bytes as the user would.
  void type(std::string_view bytes) const {
    while (!bytes.empty()) {
      const ssize_t n = ::write(master_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        throw std::runtime_error("write to pty failed");
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  /// Everything the program has written so far (writes are synchronous, so nothing is late).
  std::string drain() {
    std::string out;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    return out;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  termios initial_{};
};

inline bool same_mode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::equal(std::begin(a.c_cc), std::end(a.c_cc), b.c_cc);
}

/// Interprets the subset of control sequences our terminal code writes: text with auto-wrap
/// (and the pending-wrap column), CR, LF, BS, cursor moves (A B C D G H), erase (J K), cursor
/// visibility and bracketed paste modes; SGR and OSC are ignored. Clearing the screen from its
/// top-left corner keeps a copy in the scrollback, as tmux does.
class VirtualTerminal {
 public:
  VirtualTerminal(int cols, int rows) : cols_(cols), rows_(rows), grid_(rows, blank_row()) {}

  void feed(std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
      const char c = bytes[at];
      if (c == '\x1b') {
        at = escape(bytes, at);
      } else if (c == '\r') {
        col_ = 0;
        wrap_pending_ = false;
        ++at;
      } else if (c == '\n') {
        line_feed();
        ++at;
      } else if (c == '\b') {
        col_ = std::max(0, col_ - 1);
        wrap_pending_ = false;
        ++at;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        ++at;
      } else {
        const std::size_t end = term::next_grapheme(bytes, at);
        std::size_t stop = end;
        const auto esc = bytes.find('\x1b', at);
        if (esc != std::string_view::npos && esc < stop) stop = esc;
        put(std::string(bytes.substr(at, stop - at)));
        at = stop;
      }
    }
  }

  /// Row text with trailing blanks removed.
  [[nodiscard]] std::string row(int r) const {
    std::string out;
    for (const auto& cell : grid_[static_cast<std::size_t>(r)]) out += cell;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
  }
  [[nodiscard]] std::vector<std::string> rows() const {
    std::vector<std::string> out;
    for (int r = 0; r < rows_; ++r) out.push_back(row(r));
    return out;
  }
  /// Non-empty rows joined with line breaks (empty rows in between kept).
  [[nodiscard]] std::string text() const {
    auto all = rows();
    while (!all.empty() && all.back().empty()) all.pop_back();
    std::string out;
    for (const auto& r : all) out += r + "\n";
    return out;
  }
  [[nodiscard]] const std::vector<std::string>& scrollback() const { return scrollback_; }
  [[nodiscard]] int cursor_row() const { return row_; }
  [[nodiscard]] int cursor_col() const { return col_; }
  [[nodiscard]] bool cursor_visible() const { return cursor_visible_; }
  [[nodiscard]] bool paste_mode() const { return paste_mode_; }
  [[nodiscard]] bool used_alternate_screen() const { return alternate_; }
  [[nodiscard]] bool asked_cursor_position() const { return asked_position_; }

  void resize(int cols, int rows) {
    // Like tmux: rows are cut or padded (reflow is not modelled).
    cols_ = cols;
    for (auto& r : grid_) r.resize(static_cast<std::size_t>(cols), " ");
    while (static_cast<int>(grid_.size()) > rows) {
      scrollback_.push_back(row(0));
      grid_.erase(grid_.begin());
      row_ = std::max(0, row_ - 1);
    }
    while (static_cast<int>(grid_.size()) < rows) grid_.push_back(blank_row());
    rows_ = rows;
    col_ = std::min(col_, cols_ - 1);
  }

 private:
  [[nodiscard]] std::vector<std::string> blank_row() const {
    return std::vector<std::string>(static_cast<std::size_t>(cols_), " ");
  }

  void line_feed() {
    wrap_pending_ = false;
    if (row_ + 1 < rows_) {
      ++row_;
      return;
    }
    scrollback_.push_back(row(0));
    grid_.erase(grid_.begin());
    grid_.push_back(blank_row());
  }

  void put(const std::string& cluster) {
    const int w = term::cluster_width(cluster);
    if (wrap_pending_ || col_ + w > cols_) {
      col_ = 0;
      line_feed();
    }
    auto& line = grid_[static_cast<std::size_t>(row_)];
    line[static_cast<std::size_t>(col_)] = cluster;
    if (w == 2 && col_ + 1 < cols_) line[static_cast<std::size_t>(col_ + 1)] = "";
    col_ += std::max(w, 1);
    if (col_ >= cols_) {
      col_ = cols_ - 1;
      wrap_pending_ = true;
    }
  }

  void clear_cells(int r, int from, int to) {
    auto& line = grid_[static_cast<std::size_t>(r)];
    for (int c = from; c < to && c < cols_; ++c) line[static_cast<std::size_t>(c)] = " ";
  }

  std::size_t escape(std::string_view bytes, std::size_t at) {
    ++at;
    if (at >= bytes.size()) return at;
    if (bytes[at] == ']') {
      while (at < bytes.size() && bytes[at] != '\a' &&
             !(bytes[at] == '\x1b' && at + 1 < bytes.size() && bytes[at + 1] == '\\')) {
        ++at;
      }
      return at < bytes.size() ? at + (bytes[at] == '\a' ? 1 : 2) : at;
    }
    if (bytes[at] != '[') return at + 1;
    ++at;
    const std::size_t start = at;
    while (at < bytes.size() && !(bytes[at] >= 0x40 && bytes[at] <= 0x7E)) ++at;
    if (at >= bytes.size()) return at;
    const std::string params(bytes.substr(start, at - start));
    const char final_byte = bytes[at];
    csi(params, final_byte);
    return at + 1;
  }

  static int number(const std::string& params, int fallback) {
    if (params.empty()) return fallback;
    return std::stoi(params);
  }

  void csi(const std::string& params, char f) {
    if (!params.empty() && params[0] == '?') {
      const bool on = f == 'h';
      if (params == "?25") cursor_visible_ = on;
      if (params == "?2004") paste_mode_ = on;
      if (params == "?1049" || params == "?47" || params == "?1047") alternate_ = alternate_ || on;
      return;
    }
    if (f == 'm') return;
    wrap_pending_ = false;
    switch (f) {
      case 'A':
        row_ = std::max(0, row_ - number(params, 1));
        break;
      case 'B':
        row_ = std::min(rows_ - 1, row_ + number(params, 1));
        break;
      case 'C':
        col_ = std::min(cols_ - 1, col_ + number(params, 1));
        break;
      case 'D':
        col_ = std::max(0, col_ - number(params, 1));
        break;
      case 'G':
        col_ = std::clamp(number(params, 1) - 1, 0, cols_ - 1);
        break;
      case 'H': {
        const auto semi = params.find(';');
        const int r =
            semi == std::string::npos ? number(params, 1) : number(params.substr(0, semi), 1);
        const int c = semi == std::string::npos ? 1 : number(params.substr(semi + 1), 1);
        row_ = std::clamp(r - 1, 0, rows_ - 1);
        col_ = std::clamp(c - 1, 0, cols_ - 1);
        break;
      }
      case 'J': {
        const int mode = number(params, 0);
        if (mode == 0) {
          // Like tmux (scroll-on-clear): a screen cleared from its top-left corner goes to the
          // scrollback first.
          if (row_ == 0 && col_ == 0) {
            int used = 0;
            for (int r = 0; r < rows_; ++r) {
              if (!row(r).empty()) used = r + 1;
            }
            for (int r = 0; r < used; ++r) scrollback_.push_back(row(r));
          }
          clear_cells(row_, col_, cols_);
          for (int r = row_ + 1; r < rows_; ++r) clear_cells(r, 0, cols_);
        } else if (mode == 2 || mode == 3) {
          for (int r = 0; r < rows_; ++r) clear_cells(r, 0, cols_);
        }
        break;
      }
      case 'K': {
        const int mode = number(params, 0);
        if (mode == 0) clear_cells(row_, col_, cols_);
        if (mode == 2) clear_cells(row_, 0, cols_);
        break;
      }
      case 'n':
        asked_position_ = true;
        break;
      default:
        break;
    }
  }

  int cols_;
  int rows_;
  std::vector<std::vector<std::string>> grid_;
  std::vector<std::string> scrollback_;
  int row_ = 0;
  int col_ = 0;
  bool wrap_pending_ = false;
  bool cursor_visible_ = true;
  bool paste_mode_ = false;
  bool alternate_ = false;
  bool asked_position_ = false;
};

/// Runs the loop until `done()` holds (or a generous limit passes, to keep a broken test from
/// hanging).
template <class Pred>
bool run_until(boost::asio::io_context& io, Pred done) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    io.restart();
    io.run_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace velmora::testing
