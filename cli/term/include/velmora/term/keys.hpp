// Keys read from a terminal in raw mode, and the decoder that turns its bytes into them.
//
// The decoder is pure: feed it bytes as they arrive and take keys out. A lone escape byte is
// ambiguous (the Escape key, or the start of a sequence still on its way), so it stays pending
// until more bytes come or the reader decides the short wait is over and calls
// `flush_escape()`.
//
//   KeyDecoder decoder;
//   decoder.feed("\x1b[A" "x");
//   decoder.next();   // Key{KeyCode::up}
//   decoder.next();   // Key{KeyCode::character, "x"}
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::term {

enum class KeyCode : std::uint8_t {
  character,  ///< printable text in `text` (one grapheme or code point)
  paste,      ///< a bracketed paste; `text` holds it with line breaks as "\n"
  control,    ///< Ctrl + `letter` ('a'..'z'); Tab, Enter and Backspace have their own codes
  enter,
  tab,
  backtab,  ///< Shift+Tab
  backspace,
  escape,
  up,
  down,
  left,
  right,
  home,
  end,
  insert,
  delete_,
  page_up,
  page_down,
  unknown,  ///< a sequence we do not use (function keys, mouse reports); `text` holds it
};

struct Key {
  KeyCode code = KeyCode::unknown;
  std::string text;
  char letter = 0;    ///< for KeyCode::control
  bool alt = false;   ///< pressed with Alt (sent with a leading escape)
  bool ctrl = false;  ///< a cursor key pressed with Ctrl
  bool shift = false;

  friend bool operator==(const Key&, const Key&) = default;
};

/// Printable name for logs and test failures ("C-a", "M-enter", "up", "'x'").
[[nodiscard]] std::string describe(const Key& key);

class KeyDecoder {
 public:
  void feed(std::string_view bytes);
  /// The next complete key, if any.
  [[nodiscard]] std::optional<Key> next();
  /// True when a complete key is waiting to be taken.
  [[nodiscard]] bool ready() const noexcept { return !keys_.empty(); }
  /// True when the buffer ends in bytes that may still become a longer key (an escape, an
  /// unfinished sequence); the reader waits briefly, then calls `flush_escape`.
  [[nodiscard]] bool waiting() const noexcept;
  /// Ends the wait: a pending escape becomes the Escape key, an unfinished sequence is dropped
  /// and broken UTF-8 becomes U+FFFD.
  void flush_escape();
  /// True while inside a bracketed paste (no time limit applies then).
  [[nodiscard]] bool in_paste() const noexcept { return in_paste_; }

 private:
  void decode();
  /// Decodes one key at the start of buf_; returns the bytes used, 0 when more are needed.
  std::size_t decode_one(bool final);

  std::string buf_;
  std::deque<Key> keys_;
  bool in_paste_ = false;
  /// Text of the paste read so far (the end marker not yet seen).
  std::string paste_;
};

}  // namespace velmora::term
