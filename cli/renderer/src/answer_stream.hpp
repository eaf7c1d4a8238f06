// One streamed answer message: its deltas joined, split into what can be printed for good and
// the part still growing.
//
// Printed text is remembered only as its length and hash, so a long session keeps no copy of
// answers already on screen, yet the message's final full text can still be matched against
// what was streamed and only its new part printed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "paragraph_cuts.hpp"

namespace velmora::renderer {

class AnswerStream {
 public:
  /// An open paragraph longer than this is released in windows where it can be cut (see
  /// ParagraphCuts), so a huge one never has to be held, parsed and laid out whole.
  static constexpr std::size_t PARAGRAPH_WINDOW_BYTES = 256 * 1024;

  /// With `split_blocks`, text is released only as complete Markdown blocks; without, every
  /// delta is released at once (plain text consumers).
  explicit AnswerStream(bool split_blocks, std::size_t window_bytes = PARAGRAPH_WINDOW_BYTES)
      : split_blocks_(split_blocks), window_bytes_(window_bytes) {}

  /// Adds a delta; returns the text that became final and should be printed now.
  std::string append(std::string_view delta);
  /// The text received but not yet released.
  [[nodiscard]] const std::string& pending() const noexcept { return pending_; }
  /// Releases the pending text (the message ended, or other output comes between).
  std::string take_pending();
  /// The message's full text arrived: returns the part not printed yet. When what was printed
  /// is not a prefix of it, the full text is authoritative and returned whole.
  std::string settle(std::string_view content);

  /// What the text last released is: complete blocks, or a part of a code block or paragraph
  /// printed in parts.
  struct Release {
    enum class Kind {
      /// Complete blocks (or all the pending text).
      blocks,
      /// A piece of a code block printed in pieces: when it continues, its opening fence line
      /// leads the text again, its top already on screen.
      code,
      /// A window of a paragraph: when the paragraph stays open, the text is one paragraph
      /// ending in blanks, cut where what follows cannot change how it reads.
      paragraph,
      /// A window of a paragraph that could not be cut and grew past what is ever parsed as
      /// Markdown (MAX_MARKDOWN_BYTES): laid out as plain text, as it would be laid out whole.
      plain,
    };
    Kind kind = Kind::blocks;
    /// It goes on from a piece or window released before.
    bool continues = false;
    /// The code block or paragraph goes on after it.
    bool leaves_open = false;

    /// A paragraph printed in windows, as Markdown or as plain text.
    [[nodiscard]] bool windowed() const noexcept {
      return kind == Kind::paragraph || kind == Kind::plain;
    }
  };
  [[nodiscard]] const Release& last_release() const noexcept { return release_; }
  /// The pending text continues a code block released in pieces.
  [[nodiscard]] bool continues() const noexcept { return continued_prefix_ > 0; }
  /// The pending text continues a paragraph released in windows.
  [[nodiscard]] bool continues_paragraph() const noexcept { return paragraph_continued_; }

  /// Link reference definitions seen in released text, to be put before later text so its
  /// references still resolve.
  [[nodiscard]] const std::string& definitions() const noexcept { return definitions_; }
  [[nodiscard]] std::size_t printed_size() const noexcept { return printed_size_; }

 private:
  /// Releases the first `size` bytes of the pending text: the last release, so far as it
  /// goes, of a code block printed in pieces.
  std::string release(std::size_t size);
  /// Whether the pending text is a fenced code block that none of its complete lines closes.
  bool in_open_code_block();
  /// Releases the complete lines of such a block once it is long, keeping its fence line in
  /// front of the rest.
  std::string release_code_lines();
  /// Releases the open paragraph up to its last safe cut once it is long.
  std::string release_paragraph_window();
  void mark_printed(std::string_view text);
  void collect_definitions(std::string_view text);
  [[nodiscard]] bool worth_checking(std::size_t old_size) const;

  bool split_blocks_;
  std::size_t window_bytes_;
  std::string pending_;
  std::string definitions_;
  /// While a code block is printed in pieces: the size of its fence line (with its line feed)
  /// that leads the pending text again; 0 otherwise.
  std::size_t continued_prefix_ = 0;
  /// Bytes of the pending text already looked through for a closing fence; npos once found.
  std::size_t fence_checked_ = 0;
  /// The pending text continues a paragraph released in windows.
  bool paragraph_continued_ = false;
  /// The pending text continues a paragraph released as plain text.
  bool paragraph_plain_ = false;
  Release release_;
  /// The last line feed of the pending text checked for blocks ending before the paragraph.
  std::size_t probed_newline_ = std::string::npos;
  ParagraphCuts cuts_;
  /// Length and FNV-1a hash of everything released so far.
  std::size_t printed_size_ = 0;
  std::uint64_t printed_hash_ = 14695981039346656037ull;
};

/// FNV-1a over `text`, continuing from `hash`.
[[nodiscard]] std::uint64_t fnv1a(std::string_view text,
                                  std::uint64_t hash = 14695981039346656037ull) noexcept;

}  // namespace velmora::renderer
