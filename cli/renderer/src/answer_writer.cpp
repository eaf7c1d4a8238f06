#include "answer_writer.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "code_highlight.hpp"

namespace velmora::renderer {
namespace {

/// Code up to this size is coloured on the event loop: handing a few lines to a worker costs
/// the loop more than colouring them.
constexpr std::size_t INLINE_CODE_BYTES = 512;

/// A code block the highlighting library colours, as the Markdown layout asked for it.
struct CodeSample {
  std::string language;
  std::string code;
  CodePalette palette;
  /// Coloured already, on the event loop, into `lines`.
  bool ready = false;
  std::optional<std::vector<Line>> lines;
};

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
  MarkdownOptions options = markdown_();
  using Kind = AnswerStream::Release::Kind;
  const AnswerStream::Release& release = stream.last_release();
  // A paragraph printed in windows: each window's last line is laid out again with the next,
  // and its lines follow those already printed without a gap.
  const bool continues_paragraph = release.windowed() && release.continues;
  const bool joined = continues_paragraph && paragraph_printed_;
  if (continues_paragraph) options.lead_in = std::move(paragraph_tail_);
  paragraph_tail_.clear();
  paragraph_printed_ = false;
  if (is_blank(text) && options.lead_in.empty()) return;
  const bool plain_continues = plain_open_ && continues_paragraph;
  plain_open_ = release.kind == Kind::plain && release.leaves_open;
  if (release.kind == Kind::plain) {
    // Laid out as render_markdown lays out text too long to parse, window after window.
    if (!plain_continues) plain_column_ = 0;
    if (plain_open_) options.open_tail = &paragraph_tail_;
    const std::vector<Line> lines = render_plain(text, options, plain_column_);
    paragraph_printed_ = plain_open_ && (joined || !lines.empty());
    out_.print_block(lines, joined);
    return;
  }
  // Text too long to parse is laid out as it is: link definitions are not shown again.
  std::string source = text.size() + stream.definitions().size() < MAX_MARKDOWN_BYTES
                           ? with_definitions(stream, text)
                           : std::string(text);
  if (release.kind == Kind::paragraph && release.leaves_open) {
    options.open_tail = &paragraph_tail_;
    const std::vector<Line> lines = render_markdown(source, options);
    paragraph_printed_ = joined || !lines.empty();
    out_.print_block(lines, joined);
    return;
  }
  // A code block printed in pieces: its top rule comes with the first, its bottom with the last.
  const bool code_continues = release.kind == Kind::code && release.continues;
  const bool continues = code_continues || joined;
  const bool code_open = release.kind == Kind::code && release.leaves_open;
  const auto trim = [code_continues, code_open](std::vector<Line> lines) {
    if (code_continues && !lines.empty()) lines.erase(lines.begin());
    if (code_open && !lines.empty()) lines.pop_back();
    return lines;
  };
  if (!jobs_ || !options.color || !options.highlight) {
    out_.print_block(trim(render_markdown(source, options)), continues);
    report_definition_failures(options);
    return;
  }
  // Laid out first with the library's larger blocks plain, which shows whether it has any.
  auto samples = std::make_shared<std::vector<CodeSample>>();
  options.highlight_with = [samples, dir = options.language_dir](
                               const std::string& language, const std::string& code,
                               const CodePalette& palette) -> std::optional<std::vector<Line>> {
    if (!can_highlight(language, dir)) return std::nullopt;
    CodeSample sample{.language = language, .code = code, .palette = palette};
    // A few lines cost the loop less to colour than to hand over, unless a worker is busy.
    sample.ready = code.size() <= INLINE_CODE_BYTES &&
                   try_highlight_code(language, code, palette, dir, sample.lines);
    std::optional<std::vector<Line>> lines = sample.lines;
    samples->push_back(std::move(sample));
    return lines;
  };
  std::vector<Line> plain = trim(render_markdown(source, options));
  if (std::all_of(samples->begin(), samples->end(),
                  [](const CodeSample& sample) { return sample.ready; })) {
    out_.print_block(plain, continues);
    report_definition_failures(options);
    return;
  }
  const std::uint64_t held = out_.hold_block(std::move(plain), continues);
  HighlightJobs::Job job = [samples, dir = options.language_dir] {
    HighlightJobs::Result colours;
    for (const CodeSample& sample : *samples) {
      colours.push_back(sample.ready
                            ? std::nullopt
                            : highlight_code(sample.language, sample.code, sample.palette, dir));
    }
    return colours;
  };
  jobs_->start(std::move(job), [this, held, samples, source = std::move(source), options,
                                trim](std::optional<HighlightJobs::Result> colours) mutable {
    if (!colours) {
      out_.complete_held(held, std::nullopt);
      return;
    }
    // Laid out again, each block taking its colours in the order the first layout asked.
    auto given = std::make_shared<HighlightJobs::Result>(std::move(*colours));
    auto next = std::make_shared<std::size_t>(0);
    options.highlight_with = [samples, given, next](const std::string& language,
                                                    const std::string& code, const CodePalette&) {
      std::optional<std::vector<Line>> lines;
      if (*next < given->size() && (*samples)[*next].language == language &&
          (*samples)[*next].code == code) {
        CodeSample& sample = (*samples)[*next];
        lines = sample.ready ? std::move(sample.lines) : std::move((*given)[*next]);
        ++*next;
      }
      return lines;
    };
    out_.complete_held(held, trim(render_markdown(source, options)));
    report_definition_failures(options);
  });
}

void AnswerWriter::report_definition_failures(const MarkdownOptions& options) {
  for (const std::string& failure : take_definition_failures(options.language_dir)) {
    if (on_definition_failure_) on_definition_failure_(failure);
  }
}

void AnswerWriter::colour_in_background(std::unique_ptr<HighlightJobs> jobs) {
  jobs_ = std::move(jobs);
}

boost::asio::awaitable<void> AnswerWriter::colouring_done() {
  if (jobs_) co_await jobs_->finished();
}

void AnswerWriter::set_on_definition_failure(std::function<void(const std::string&)> report) {
  on_definition_failure_ = std::move(report);
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
    // The rest of a paragraph printed in windows goes on from the line still open.
    const bool joined = stream.continues_paragraph() && paragraph_printed_;
    if (stream.continues_paragraph() && stream.pending().size() <= PREVIEW_SOURCE_BYTES) {
      options.lead_in = paragraph_tail_;
    }
    std::vector<Line> lines =
        render_markdown(with_definitions(stream, preview_source(stream.pending())), options);
    if (stream.continues() && !lines.empty()) lines.erase(lines.begin());
    if (lines.size() > MAX_PREVIEW_LINES) {
      lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(MAX_PREVIEW_LINES));
    } else if (out_.last != Scrollback::Last::none && !stream.continues() && !joined) {
      live_.preview.emplace_back();  // the gap the block will get when printed
    }
    live_.preview.insert(live_.preview.end(), lines.begin(), lines.end());
  }
  live_.refresh();
}

void AnswerWriter::clear() {
  open_.reset();
  paragraph_tail_.clear();
  paragraph_printed_ = false;
  plain_open_ = false;
  streams_.clear();
}

}  // namespace velmora::renderer
