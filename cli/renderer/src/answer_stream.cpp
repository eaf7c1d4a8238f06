#include "answer_stream.hpp"

#include <algorithm>
#include <optional>

#include "markdown.hpp"

namespace velmora::renderer {
namespace {

/// Pending text up to this size is re-parsed on every new line; above it only on lines that
/// may start a block, so a huge code block does not cost a parse per line.
constexpr std::size_t EAGER_CHECK_BYTES = 16 * 1024;
constexpr std::size_t MAX_DEFINITION_BYTES = 64 * 1024;
/// An open fenced code block longer than this is printed in pieces of complete lines, so a
/// huge one never has to be held, parsed and laid out whole.
constexpr std::size_t CODE_PIECE_BYTES = 256 * 1024;

std::string_view trim_indent(std::string_view line, std::size_t& indent) {
  indent = 0;
  while (indent < line.size() && line[indent] == ' ') ++indent;
  return line.substr(indent);
}

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

bool is_fence(std::string_view line) {
  std::size_t indent = 0;
  const auto rest = trim_indent(line, indent);
  return indent < 4 && (rest.starts_with("```") || rest.starts_with("~~~"));
}

bool may_start_block(std::string_view line) {
  std::size_t indent = 0;
  const auto rest = trim_indent(line, indent);
  if (indent >= 4 || rest.empty()) return false;
  const char c = rest.front();
  return std::string_view("#>-*+=_|`~<").find(c) != std::string_view::npos ||
         (c >= '0' && c <= '9');
}

struct Fence {
  char mark = 0;
  std::size_t length = 0;
};

/// The fence a line opens a code block with, if it does.
std::optional<Fence> opening_fence(std::string_view line) {
  std::size_t indent = 0;
  const auto rest = trim_indent(line, indent);
  if (indent >= 4 || rest.empty() || (rest.front() != '`' && rest.front() != '~')) return {};
  const Fence fence{rest.front(), rest.find_first_not_of(rest.front())};
  const std::size_t length = fence.length == std::string_view::npos ? rest.size() : fence.length;
  if (length < 3) return {};
  // A backtick fence's info string has no backtick (else the line is inline code).
  if (fence.mark == '`' && rest.find('`', length) != std::string_view::npos) return {};
  return Fence{fence.mark, length};
}

bool closes_fence(std::string_view line, const Fence& fence) {
  std::size_t indent = 0;
  const auto rest = trim_indent(line, indent);
  if (indent >= 4) return false;
  std::size_t length = 0;
  while (length < rest.size() && rest[length] == fence.mark) ++length;
  return length >= fence.length && rest.find_first_not_of(" \t", length) == std::string_view::npos;
}

bool is_definition(std::string_view line) {
  std::size_t indent = 0;
  const auto rest = trim_indent(line, indent);
  if (indent >= 4 || !rest.starts_with('[') || rest.starts_with("[^")) return false;
  const auto close = rest.find("]:");
  return close != std::string_view::npos && close > 1 &&
         rest.substr(1, close - 1).find_first_of("[]") == std::string_view::npos;
}

/// Where plain text can be cut: after its last blank or line feed, else before its last
/// character, so no character is split.
std::size_t plain_cut(std::string_view text) {
  const auto blank = text.find_last_of(" \n");
  if (blank != std::string_view::npos) return blank + 1;
  std::size_t cut = text.size() - 1;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

/// A release of text that ends the pending block (or all of it), which continued a code block
/// printed in pieces (`code`) or a paragraph printed in windows (`paragraph`, as plain text:
/// `plain`). The two never meet: a window's rest starts with a letter, never a fence line, and a
/// fence line stops a paragraph's cuts.
AnswerStream::Release closing_release(bool code, bool paragraph, bool plain) {
  using Kind = AnswerStream::Release::Kind;
  if (plain) return {.kind = Kind::plain, .continues = paragraph};
  if (paragraph) return {.kind = Kind::paragraph, .continues = true};
  if (code) return {.kind = Kind::code, .continues = true};
  return {};
}

}  // namespace

std::uint64_t fnv1a(std::string_view text, std::uint64_t hash) noexcept {
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

bool AnswerStream::worth_checking(std::size_t old_size) const {
  if (pending_.size() <= EAGER_CHECK_BYTES) return true;
  const std::string_view text = pending_;
  // The lines this delta completed, each judged with the line before it.
  std::size_t begin = 0;
  if (old_size > 0) {
    const auto newline = text.rfind('\n', old_size - 1);
    begin = newline == std::string_view::npos ? 0 : newline + 1;
  }
  std::string_view prev;
  if (begin >= 1) {
    const auto newline = begin >= 2 ? text.rfind('\n', begin - 2) : std::string_view::npos;
    const std::size_t prev_begin = newline == std::string_view::npos ? 0 : newline + 1;
    prev = text.substr(prev_begin, begin - 1 - prev_begin);
  }
  for (auto end = text.find('\n', begin); end != std::string_view::npos;
       end = text.find('\n', begin)) {
    const std::string_view line = text.substr(begin, end - begin);
    if (is_blank(prev) || is_fence(prev) || prev.starts_with('#') || may_start_block(line)) {
      return true;
    }
    prev = line;
    begin = end + 1;
  }
  return false;
}

std::string AnswerStream::append(std::string_view delta) {
  if (delta.empty()) return {};
  if (!split_blocks_) {
    mark_printed(delta);
    return std::string(delta);
  }
  const std::size_t old_size = pending_.size();
  pending_.append(delta);
  if (delta.find('\n') != std::string_view::npos) {
    // Nothing inside an open code block can begin another block: only its lines can go out.
    if (!paragraph_plain_ && in_open_code_block()) return release_code_lines();
    if (worth_checking(old_size)) {
      const std::size_t stable = stable_block_prefix(pending_);
      if (stable > 0) return release(stable);
    }
  }
  return release_paragraph_window();
}

std::string AnswerStream::release_paragraph_window() {
  if (pending_.size() < window_bytes_) return {};
  if (!paragraph_continued_ && !paragraph_plain_) {
    // Blocks that ended before the paragraph began go first: with the paragraph's first line
    // incomplete, the split into blocks has not seen it start.
    const auto newline = pending_.rfind('\n');
    if (newline != std::string::npos && newline != probed_newline_) {
      probed_newline_ = newline;
      std::string probe = pending_.substr(0, newline + 1);
      probe.append(std::string_view(pending_).substr(newline + 1, 64));
      probe += '\n';
      const std::size_t stable = stable_block_prefix(probe);
      if (stable > 0 && stable <= newline + 1) return release(stable);
    }
  }
  std::size_t cut = 0;
  if (!paragraph_plain_) {
    cuts_.scan(pending_, paragraph_continued_);
    cut = cuts_.last_cut();
    // Held whole, it would be laid out as plain text: it can go out so now, in windows.
    paragraph_plain_ = cut == 0 && pending_.size() > MAX_MARKDOWN_BYTES && cuts_.one_paragraph();
  }
  if (paragraph_plain_) cut = plain_cut(pending_);
  if (cut == 0) return {};
  std::string released = pending_.substr(0, cut);
  pending_.erase(0, cut);
  cuts_.cut(cut);
  release_ = {.kind = paragraph_plain_ ? Release::Kind::plain : Release::Kind::paragraph,
              .continues = paragraph_continued_,
              .leaves_open = true};
  paragraph_continued_ = true;
  fence_checked_ = 0;
  mark_printed(released);
  return released;
}

bool AnswerStream::in_open_code_block() {
  if (fence_checked_ == std::string::npos) return false;
  const std::string_view text = pending_;
  const auto fence_end = text.find('\n');
  if (fence_end == std::string_view::npos) return false;
  const auto fence = opening_fence(text.substr(0, fence_end));
  if (!fence) return false;
  const std::size_t complete = text.rfind('\n') + 1;
  for (std::size_t begin = std::max(fence_checked_, fence_end + 1); begin < complete;) {
    const auto end = text.find('\n', begin);
    if (closes_fence(text.substr(begin, end - begin), *fence)) {
      fence_checked_ = std::string::npos;
      return false;
    }
    begin = end + 1;
  }
  fence_checked_ = complete;
  return true;
}

std::string AnswerStream::release(std::size_t size) {
  std::string released;
  if (size == pending_.size()) {
    released = std::move(pending_);
    pending_.clear();
  } else {
    released = pending_.substr(0, size);
    pending_.erase(0, size);
  }
  release_ = closing_release(continued_prefix_ > 0, paragraph_continued_, paragraph_plain_);
  paragraph_continued_ = false;
  paragraph_plain_ = false;
  probed_newline_ = std::string::npos;
  cuts_.reset();
  mark_printed(std::string_view(released).substr(std::min(continued_prefix_, released.size())));
  continued_prefix_ = 0;
  fence_checked_ = 0;
  return released;
}

std::string AnswerStream::release_code_lines() {
  if (pending_.size() < CODE_PIECE_BYTES) return {};
  const std::size_t fence_end = pending_.find('\n');
  const std::size_t cut = pending_.rfind('\n') + 1;
  if (cut <= fence_end + 1) return {};
  std::string released = pending_.substr(0, cut);
  pending_.erase(fence_end + 1, cut - fence_end - 1);
  release_ = {.kind = Release::Kind::code, .continues = continued_prefix_ > 0, .leaves_open = true};
  mark_printed(std::string_view(released).substr(continued_prefix_));
  continued_prefix_ = fence_end + 1;
  fence_checked_ = fence_end + 1;
  return released;
}

std::string AnswerStream::take_pending() { return release(pending_.size()); }

std::string AnswerStream::settle(std::string_view content) {
  const std::string fence = pending_.substr(0, continued_prefix_);
  const bool paragraph = paragraph_continued_;
  const bool plain = paragraph_plain_;
  // Held whole, a paragraph that could not be cut may be large: its memory goes now.
  std::string().swap(pending_);
  continued_prefix_ = 0;
  fence_checked_ = 0;
  paragraph_continued_ = false;
  paragraph_plain_ = false;
  cuts_.reset();
  release_ = {};
  if (content.size() >= printed_size_ && fnv1a(content.substr(0, printed_size_)) == printed_hash_) {
    const std::string_view rest = content.substr(printed_size_);
    mark_printed(rest);
    // The rest of a code block or paragraph printed in pieces goes on from them.
    release_ = closing_release(!fence.empty(), paragraph, plain);
    return fence + std::string(rest);
  }
  printed_size_ = 0;
  printed_hash_ = fnv1a("");
  mark_printed(content);
  return std::string(content);
}

void AnswerStream::mark_printed(std::string_view text) {
  printed_size_ += text.size();
  printed_hash_ = fnv1a(text, printed_hash_);
  if (split_blocks_) collect_definitions(text);
}

void AnswerStream::collect_definitions(std::string_view text) {
  if (text.find("]:") == std::string_view::npos) return;
  std::size_t begin = 0;
  while (begin < text.size()) {
    auto end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    const auto line = text.substr(begin, end - begin);
    if (is_definition(line) && definitions_.size() + line.size() < MAX_DEFINITION_BYTES) {
      definitions_.append(line);
      definitions_ += '\n';
    }
    begin = end + 1;
  }
}

}  // namespace velmora::renderer
