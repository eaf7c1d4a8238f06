// Answers on the terminal: Markdown printed a block at a time. A streamed answer's complete
// blocks go to the scrollback as they close; the block still growing is shown in the live
// region (its last lines only) until it closes or something else is printed.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "answer_stream.hpp"
#include "highlight_jobs.hpp"
#include "live_region.hpp"
#include "markdown.hpp"
#include "scrollback.hpp"

namespace velmora::renderer {

class AnswerWriter {
 public:
  AnswerWriter(Scrollback& out, LiveRegion& live, std::function<MarkdownOptions()> markdown,
               std::function<double()> now, double redraw_seconds);

  void delta(const std::string& key, const std::string& delta, bool historical);
  void whole(const std::string& key, const std::string& content);
  /// Prints the growing block, if any, as it stands.
  void release_open();
  /// Redraws the growing block in the live region; `force` ignores the redraw interval.
  void draw_preview(bool force);
  /// Forgets the answers of the turn.
  void clear();

  /// Code blocks are coloured by `jobs`, off the event loop: a block waits in the scrollback,
  /// shown plain in the live region, until its colours come. Without, blocks are coloured
  /// where they are printed.
  void colour_in_background(std::unique_ptr<HighlightJobs> jobs);
  /// Returns once the blocks being coloured at the call are printed (plain where their colours
  /// come too late); the event loop runs on meanwhile.
  boost::asio::awaitable<void> colouring_done();
  /// Told each language definition that fails to load ("<file>: <reason>"), once per run.
  void set_on_definition_failure(std::function<void(const std::string&)> report);

 private:
  AnswerStream& stream_for(const std::string& key);
  void print_markdown(const AnswerStream& stream, std::string_view text);
  void report_definition_failures(const MarkdownOptions& options);

  Scrollback& out_;
  LiveRegion& live_;
  std::function<MarkdownOptions()> markdown_;
  std::function<double()> now_;
  double redraw_seconds_;
  std::map<std::string, AnswerStream> streams_;
  /// The stream whose pending text is the growing block; at most one at a time.
  std::optional<std::string> open_;
  /// The last line of the paragraph window printed last, not yet final.
  Line paragraph_tail_;
  /// Lines of that paragraph are on screen.
  bool paragraph_printed_ = false;
  /// That window was plain text (AnswerStream::Release::Kind::plain), its line at this column.
  bool plain_open_ = false;
  int plain_column_ = 0;
  std::function<void(const std::string&)> on_definition_failure_;
  /// Last: its jobs' completions refer to the members above.
  std::unique_ptr<HighlightJobs> jobs_;
};

/// `text` with the stream's link reference definitions in front, so its links resolve.
[[nodiscard]] std::string with_definitions(const AnswerStream& stream, std::string_view text);

/// Only blanks (space, tab, line feed), or nothing.
[[nodiscard]] bool is_blank(std::string_view text);

/// Per-turn bookkeeping (streams, tool calls, steps) is dropped beyond this many entries.
inline constexpr std::size_t MAX_TRACKED = 1024;

}  // namespace velmora::renderer
