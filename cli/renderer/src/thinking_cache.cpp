#include "thinking_cache.hpp"

#include <charconv>

namespace velmora::renderer {
namespace {

void extend(std::string& cached, std::string_view text) {
  if (text.starts_with(cached)) {
    cached.assign(text.substr(0, ThinkingCache::MAX_BLOCK_BYTES));
    return;
  }
  if (cached.size() >= ThinkingCache::MAX_BLOCK_BYTES) return;
  cached.append(text.substr(0, ThinkingCache::MAX_BLOCK_BYTES - cached.size()));
}

}  // namespace

void ThinkingCache::add(const std::optional<std::string>& id, std::string_view text,
                        std::chrono::system_clock::time_point at, bool continue_last) {
  if (id) {
    for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it) {
      if (it->id == *id) {
        extend(it->text, text);
        last_anonymous_ = false;
        return;
      }
    }
  } else if (continue_last && last_anonymous_ && !blocks_.empty()) {
    extend(blocks_.back().text, text);
    return;
  }
  if (text.empty()) return;
  ThinkingBlock block;
  block.id = id ? *id : "t" + std::to_string(++generated_);
  block.at = at;
  extend(block.text, text);
  blocks_.push_back(std::move(block));
  last_anonymous_ = !id;
  if (blocks_.size() > MAX_BLOCKS) blocks_.pop_front();
}

const ThinkingBlock* ThinkingCache::find(std::string_view key) const {
  for (const auto& block : blocks_) {
    if (block.id == key) return &block;
  }
  std::size_t position = 0;
  const auto res = std::from_chars(key.data(), key.data() + key.size(), position);
  if (res.ec == std::errc{} && res.ptr == key.data() + key.size() && position >= 1 &&
      position <= blocks_.size()) {
    return &blocks_[position - 1];
  }
  return nullptr;
}

}  // namespace velmora::renderer
