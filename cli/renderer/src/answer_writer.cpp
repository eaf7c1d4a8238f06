#include "answer_writer.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::renderer {
namespace {

/// The growing block shows at most its last lines, so the live region stays on screen.
constexpr std::size_t MAX_PREVIEW_LINES = 12;
/// Source enough for those lines at any usual width. A longer growing block is previewed from
/// its tail alone: rendering all of it on every redraw made long blocks quadratic.
constexpr std::size_t PREVIEW_SOURCE_BYTES = 32 * 1024;

bool opens_or_closes_fence(std::string_view line) {
  std::size_t indent = 0;
  while (indent < line.size() && indent < 4 && line[indent] == ' ') ++indent;
  const std::string_view rest = line.substr(indent);
  return indent < 4 && (rest.starts_with("```") || rest.starts_with("~~~"));
}

/// The part of a long growing block the preview renders: the tail from a line start (or a
/// character start, for one long line), behind the fence line still open before it, so code
/// stays code.
std::string preview_source(std::string_view pending) {
  if (pending.size() <= PREVIEW_SOURCE_BYTES) return std::string(pending);
  std::size_t cut = pending.size() - PREVIEW_SOURCE_BYTES;
  const auto newline = pending.find('\n', cut);
  if (newline != std::string_view::npos && newline + 1 < pending.size()) {
    cut = newline + 1;
  } else {
    while (cut < pending.size() && (static_cast<unsigned char>(pending[cut]) & 0xC0) == 0x80) {
      ++cut;
    }
  }
  std::string_view open_fence;
  for (std::size_t begin = 0; begin < cut;) {
    auto end = pending.find('\n', begin);
    if (end == std::string_view::npos || end > cut) end = cut;
    const std::string_view line = pending.substr(begin, end - begin);
    if (opens_or_closes_fence(line)) open_fence = open_fence.empty() ? line : std::string_view();
    begin = end + 1;
  }
  std::string source;
  if (!open_fence.empty()) {
    source.append(open_fence);
    source += '\n';
  }
  source.append(pending.substr(cut));
  return source;
}

}  // namespace

bool is_blank(std::string_view text) {
  return text.find_first_not_of(" \t\n") == std::string_view::npos;
}

std::string with_definitions(const AnswerStream& stream, std::string_view text) {
  if (stream.definitions().empty()) return std::string(text);
  return stream.definitions() + "\n" + std::string(text);
}

AnswerWriter::AnswerWriter(Scrollback& out, LiveRegion& live,
                           std::function<MarkdownOptions()> markdown, std::function<double()> now,
                           double redraw_seconds)
    : out_(out),
      live_(live),
      markdown_(std::move(markdown)),
      now_(std::move(now)),
      redraw_seconds_(redraw_seconds) {}

void AnswerWriter::print_markdown(const AnswerStream& stream, std::string_view text) {
  if (is_blank(text)) return;
  std::vector<Line> lines = stream.definitions().empty()
                                ? render_markdown(text, markdown_())
                                : render_markdown(with_definitions(stream, text), markdown_());
  // A code block printed in pieces: its top rule comes with the first, its bottom with the last.
  const bool continues = stream.release_continues();
  if (continues && !lines.empty()) lines.erase(lines.begin());
  if (stream.release_leaves_open() && !lines.empty()) lines.pop_back();
  out_.print_block(lines, continues);
}

void AnswerWriter::release_open() {
  if (!open_) return;
  const std::string key = *open_;
  open_.reset();
  AnswerStream& stream = streams_.at(key);
  const std::string text = stream.take_pending();
  live_.preview.clear();
  live_.preview_dirty = false;
  live_.refresh();
  print_markdown(stream, text);
}

AnswerStream& AnswerWriter::stream_for(const std::string& key) {
  if (streams_.size() >= MAX_TRACKED && !streams_.contains(key)) {
    release_open();
    streams_.clear();
  }
  return streams_.try_emplace(key, true).first->second;
}

void AnswerWriter::delta(const std::string& key, const std::string& delta, bool historical) {
  if (delta.empty()) return;
  if (open_ && *open_ != key) release_open();
  AnswerStream& stream = stream_for(key);
  open_ = key;
  const std::string released = stream.append(delta);
  if (!released.empty()) {
    live_.preview.clear();
    live_.refresh();
    print_markdown(stream, released);
  }
  // A replay arrives all at once: its blocks go straight to the scrollback, nothing live.
  if (!historical) draw_preview(false);
}

void AnswerWriter::whole(const std::string& key, const std::string& content) {
  if (open_ && *open_ != key) release_open();
  AnswerStream& stream = stream_for(key);
  if (open_ == key) {
    open_.reset();
    live_.preview.clear();
    live_.preview_dirty = false;
    live_.refresh();
  }
  print_markdown(stream, stream.settle(content));
}

void AnswerWriter::draw_preview(bool force) {
  if (!live_.capable() || !open_) {
    live_.preview_dirty = false;
    if (!live_.preview.empty()) {
      live_.preview.clear();
      live_.refresh();
    }
    return;
  }
  const double t = now_();
  if (!force && t - live_.preview_drawn_at < redraw_seconds_) {
    live_.preview_dirty = true;
    live_.refresh();
    return;
  }
  live_.preview_dirty = false;
  live_.preview_drawn_at = t;
  live_.preview.clear();
  const AnswerStream& stream = streams_.at(*open_);
  if (!is_blank(stream.pending())) {
    MarkdownOptions options = markdown_();
    options.highlight = false;
    std::vector<Line> lines =
        render_markdown(with_definitions(stream, preview_source(stream.pending())), options);
    if (stream.continues() && !lines.empty()) lines.erase(lines.begin());
    if (lines.size() > MAX_PREVIEW_LINES) {
      lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(MAX_PREVIEW_LINES));
    } else if (out_.last != Scrollback::Last::none && !stream.continues()) {
      live_.preview.emplace_back();  // the gap the block will get when printed
    }
    live_.preview.insert(live_.preview.end(), lines.begin(), lines.end());
  }
  live_.refresh();
}

void AnswerWriter::clear() {
  open_.reset();
  streams_.clear();
}

}  // namespace velmora::renderer
