// Thinking blocks of the session, kept for "/thinking".
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::renderer {

struct ThinkingBlock {
  std::string id;
  std::chrono::system_clock::time_point at;
  std::string text;
};

/// Bounded in blocks and bytes per block, so a long session's memory stays flat.
class ThinkingCache {
 public:
  static constexpr std::size_t MAX_BLOCKS = 500;
  static constexpr std::size_t MAX_BLOCK_BYTES = 256 * 1024;

  /// Adds thinking text. A known `id` extends its block: text that begins with the cached text
  /// replaces it (the whole was resent), other text is appended. Without an id the text starts
  /// a new block, unless `continue_last` (the previous message was id-less thinking too).
  void add(const std::optional<std::string>& id, std::string_view text,
           std::chrono::system_clock::time_point at, bool continue_last);

  [[nodiscard]] const std::deque<ThinkingBlock>& blocks() const noexcept { return blocks_; }
  /// The block with this id, else the one at this 1-based position of the list.
  [[nodiscard]] const ThinkingBlock* find(std::string_view key) const;

 private:
  std::deque<ThinkingBlock> blocks_;
  std::size_t generated_ = 0;
  /// The last block was started without an id from the server.
  bool last_anonymous_ = false;
};

}  // namespace velmora::renderer
