#include "velmora/events/answer_texts.hpp"

#include <algorithm>

namespace velmora::events {
namespace {

constexpr std::string_view BLANKS = " \t\n";

bool continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

void ChunkedText::append(std::string_view text) {
  size_ += text.size();
  while (!text.empty()) {
    if (chunks_.empty() || chunks_.back().size() >= CHUNK_BYTES) chunks_.emplace_back();
    std::string& last = chunks_.back();
    std::size_t take = std::min(text.size(), CHUNK_BYTES - last.size());
    if (take < text.size()) {
      // Back to the start of the character that does not fit (at most three bytes back).
      for (int i = 0; i < 3 && take > 0 && continuation_byte(text[take]); ++i) --take;
      if (take == 0) {
        chunks_.emplace_back();
        continue;
      }
    }
    if (last.capacity() < last.size() + take) {
      last.reserve(std::min(CHUNK_BYTES, std::max(last.capacity() * 2, last.size() + take)));
    }
    last.append(text.substr(0, take));
    text.remove_prefix(take);
  }
}

void ChunkedText::assign(std::string_view text) {
  chunks_.clear();
  size_ = 0;
  append(text);
}

std::vector<std::string_view> ChunkedText::trimmed_pieces() const {
  std::vector<std::string_view> pieces;
  for (const std::string& chunk : chunks_) {
    std::string_view piece = chunk;
    if (pieces.empty()) {
      const auto begin = piece.find_first_not_of(BLANKS);
      if (begin == std::string_view::npos) continue;
      piece.remove_prefix(begin);
    }
    pieces.push_back(piece);
  }
  while (!pieces.empty()) {
    std::string_view& piece = pieces.back();
    const auto end = piece.find_last_not_of(BLANKS);
    if (end != std::string_view::npos) {
      piece = piece.substr(0, end + 1);
      break;
    }
    pieces.pop_back();
  }
  return pieces;
}

std::string ChunkedText::str() const {
  std::string text;
  text.reserve(size_);
  for (const std::string& chunk : chunks_) text += chunk;
  return text;
}

void add_answer_text(AnswerTexts& texts, const std::string& key, std::string_view text,
                     bool whole) {
  // The latest entry of the key: a key seen again after others began is still the same message.
  for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
    if (it->first != key) continue;
    if (whole) {
      it->second.assign(text);
    } else {
      it->second.append(text);
    }
    return;
  }
  texts.emplace_back(key, ChunkedText{}).second.append(text);
}

bool has_answer(const AnswerTexts& texts) {
  return std::any_of(texts.begin(), texts.end(),
                     [](const auto& entry) { return !entry.second.trimmed_pieces().empty(); });
}

}  // namespace velmora::events
