// A turn's answer text per answer message, in the order the messages began: deltas append to
// their message's text, a whole block replaces it. What the plain output defers and the JSON
// result reports.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::events {

/// Text held in fixed-size chunks: it grows without the doubling and copying of one string, so
/// a huge answer costs its own size, not up to three times it while it grows. Chunks are cut
/// between UTF-8 characters, so each one is valid text on its own when the whole is.
class ChunkedText {
 public:
  static constexpr std::size_t CHUNK_BYTES = std::size_t{256} << 10;

  void append(std::string_view text);
  void assign(std::string_view text);
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  /// The text without leading and trailing blanks (space, tab, line feed), as views into the
  /// chunks; nothing when it is only blanks.
  [[nodiscard]] std::vector<std::string_view> trimmed_pieces() const;
  /// The whole text joined: for small texts.
  [[nodiscard]] std::string str() const;

 private:
  std::vector<std::string> chunks_;
  std::size_t size_ = 0;
};

using AnswerTexts = std::vector<std::pair<std::string, ChunkedText>>;

/// Adds `text` to message `key`'s entry (replacing it when `whole`), or starts a new entry.
void add_answer_text(AnswerTexts& texts, const std::string& key, std::string_view text, bool whole);

/// The answer as one reads it: each message's text trimmed, blank ones left out, "\n\n"
/// between them. `emit` receives its pieces in order.
template <typename Emit>
void for_each_answer_piece(const AnswerTexts& texts, Emit&& emit) {
  bool first = true;
  for (const auto& [key, text] : texts) {
    const std::vector<std::string_view> pieces = text.trimmed_pieces();
    if (pieces.empty()) continue;
    if (!first) emit(std::string_view("\n\n"));
    first = false;
    for (const std::string_view piece : pieces) emit(piece);
  }
}

/// Whether any message has text other than blanks.
[[nodiscard]] bool has_answer(const AnswerTexts& texts);

}  // namespace velmora::events
