// The JSON lines a persistent session reads on standard input (`--input-format stream-json`):
// split into numbered lines of bounded length, and each line read as a query, an interrupt, an
// answer or a problem to report. Pure logic: the reading and the file checks are the caller's.
//
//   InputLineSplitter lines(MAX_INPUT_LINE_BYTES);
//   for (auto& line : lines.feed(bytes)) handle(parse_input_line(line.number, line.text));
//   for (auto& line : lines.finish()) ...;   // a last line without its line break
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/json/object.hpp>

namespace velmora {

struct InputQuery {
  std::size_t line = 0;
  std::string text;
  /// Local paths to upload and attach to this query.
  std::vector<std::string> attachments;
  /// In place of the run's `--config` and `--system-prompt` for this query.
  std::optional<boost::json::object> config;
  std::optional<std::string> system_prompt;
};

struct InputInterrupt {
  std::size_t line = 0;
};

struct InputAnswer {
  std::size_t line = 0;
  /// The question answered; absent: the one open question.
  std::optional<std::string> message_id;
  /// Question text to answer text, sent as given.
  boost::json::object answers;
};

/// A line that cannot be taken: reported, and the session reads on.
struct InputProblem {
  std::size_t line = 0;
  /// input_not_json, input_unknown_type, input_invalid_query, input_attachment,
  /// input_invalid_answer, input_no_question or input_too_long.
  std::string code;
  /// "line N: " and what was wrong.
  std::string message;
};

using InputItem = std::variant<InputQuery, InputInterrupt, InputAnswer, InputProblem>;

/// One line of input, without its line break; `too_long` when it was over the limit (its text is
/// then empty: it was skipped, never held).
struct InputLine {
  std::size_t number = 0;
  std::string text;
  bool too_long = false;
};

/// Cuts a byte stream into lines. Memory stays within the limit whatever the input: a line over
/// it is dropped as it arrives and reported once its end is seen.
class InputLineSplitter {
 public:
  explicit InputLineSplitter(std::size_t max_line_bytes) : max_(max_line_bytes) {}
  /// The lines `bytes` completes. Blank lines are left out but counted.
  std::vector<InputLine> feed(std::string_view bytes);
  /// At the end of input: the last line when it had no line break.
  std::vector<InputLine> finish();

 private:
  void complete(std::vector<InputLine>& out);
  std::size_t max_;
  std::string partial_;
  bool skipping_ = false;
  std::size_t next_number_ = 1;
};

/// Reads one line as an item. A problem names the line and what was wrong. Attachment paths are
/// only checked for their form here.
[[nodiscard]] InputItem parse_input_line(std::size_t number, std::string_view text);

/// "line N: " + `what`.
[[nodiscard]] InputProblem input_problem(std::size_t number, std::string code,
                                         std::string_view what);

}  // namespace velmora
