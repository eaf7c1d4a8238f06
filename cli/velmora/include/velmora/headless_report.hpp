// The machine-readable output of a run (`--output-format json|stream-json`): a third consumer
// of the agent events beside the terminal and the plain writers. It turns events into JSON
// lines (stream-json) and gathers the run's `result` object, written once when the run ends,
// also after a start-up failure. Standard output carries these lines only, each written whole
// and at once; a failed write is remembered, reported by `finish` and ends the run.
// The line shapes are documented by schema/headless-output.schema.json.
//
// Threading: event-loop thread only (and the start-up path before the loop runs).
//
//   HeadlessReport report(OutputFormat::stream_json, {.version = version_text()});
//   report.event(event, /*historical=*/false);     // an answer_delta line, say
//   return report.finish(status);                  // the result line; the final exit status
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "velmora/events/agent_event.hpp"
#include "velmora/events/answer_texts.hpp"
#include "velmora/term/console.hpp"

namespace velmora {

enum class OutputFormat { text, json, stream_json };

/// "text", "json" or "stream-json"; nothing for any other text.
[[nodiscard]] std::optional<OutputFormat> parse_output_format(std::string_view text);

/// The stream-json line of an event, or nothing for events the stream leaves out (binding,
/// heartbeat, the end of a turn, the end of a replay). Server text is carried as sent.
[[nodiscard]] std::optional<boost::json::object> stream_event(const events::AgentEvent& event);

/// The session the `init` line describes.
struct HeadlessSessionInfo {
  std::string version;
  std::optional<std::string> user_id;
  std::optional<std::string> language;
  std::optional<std::string> scenario;
  /// The websocket endpoint; shown without its query and credentials.
  std::optional<std::string> endpoint;
};

class HeadlessReport {
 public:
  /// Writes to `fd` (standard output by default).
  HeadlessReport(OutputFormat format, HeadlessSessionInfo info, int fd = 1);
  HeadlessReport(const HeadlessReport&) = delete;
  HeadlessReport& operator=(const HeadlessReport&) = delete;

  [[nodiscard]] OutputFormat format() const noexcept { return format_; }
  /// Completes what the `init` line says once the configuration is known.
  void set_session_info(HeadlessSessionInfo info) { info_ = std::move(info); }
  /// Called once, at the first failed write (the run should end).
  void on_output_failure(std::function<void()> handler) { on_failure_ = std::move(handler); }

  /// An event of the receive loop. Replayed history is never reported.
  void event(const events::AgentEvent& event, bool historical);
  /// The session's thread was bound; the first binding writes the `init` line.
  void bound(const std::string& thread_id, std::optional<bool> is_new);
  /// Answers sent for a question (automatically or from the caller).
  void question_answered(const std::optional<std::string>& message_id,
                         const boost::json::array& questions, const boost::json::object& answers);
  /// A session notice (binding, resume drift, reconnect).
  void notice(std::string_view text, std::string_view kind);
  /// Uploaded attachments: local paths and the records the query carries, in the same order.
  void attachments(const std::vector<std::string>& paths, const boost::json::array& records);
  /// A failure as the user is told it; the first one is the run's error.
  void error(std::string_view summary, std::string_view hint,
             const std::optional<std::string>& detail);
  /// The kind of the next `error` (the classification's category, or "usage" …).
  void expect_error_kind(std::string kind) { pending_kind_ = std::move(kind); }
  void timed_out() { timed_out_ = true; }
  void interrupted() { interrupted_ = true; }

  /// A persistent session: one result line per turn (`begin_turn` … `end_turn`); `finish`
  /// writes one only for a turn still open or for a failure outside any turn.
  void set_persistent() { persistent_ = true; }
  /// Runs `callback` once the session is bound (at once when it is already).
  void when_bound(std::function<void()> callback);
  /// A turn of a persistent session starts: its answer, questions, errors and time begin anew.
  void begin_turn();
  /// Writes the turn's result line and returns the turn's status (as `finish` computes it).
  int end_turn(int exit_status);
  /// A line of standard input that could not be taken (persistent session): an `error` line
  /// naming it; the session goes on.
  void input_error(std::size_t line, std::string_view code, std::string_view message);

  /// Writes the result line (once; later calls only return the status) and returns the status
  /// the process ends with: `exit_status`, or 1 when the turn's only outcome was an agent error
  /// or when standard output could not be written.
  int finish(int exit_status);

  /// Why standard output could not be written, once a write failed.
  [[nodiscard]] const std::optional<std::string>& output_failure() const noexcept {
    return output_failure_;
  }

 private:
  struct ErrorInfo {
    std::string kind;
    std::string summary;
    std::string hint;
    std::optional<std::string> detail;
  };

  /// The result line's members before and after its answer.
  struct ResultLine {
    boost::json::object head;
    boost::json::object tail;
  };

  void write_line(const boost::json::object& line);
  /// The `init` line, at the first binding (stream-json).
  void write_init(const std::string& thread_id, std::optional<bool> is_new);
  void write_text(std::string_view text);
  void write_result(const ResultLine& line);
  void add_answer(const std::string& key, const std::string& text, bool whole);
  [[nodiscard]] ResultLine result(std::string_view status, int exit_code) const;
  /// The result's status word; `exit_status` becomes 1 when the outcome was a failure.
  [[nodiscard]] std::string_view verdict(int& exit_status) const;
  void reset_turn();

  OutputFormat format_;
  HeadlessSessionInfo info_;
  velmora::term::FdSink out_;
  double started_at_;
  std::function<void()> on_failure_;
  std::optional<std::string> output_failure_;
  bool finished_ = false;
  bool persistent_ = false;
  bool turn_open_ = false;
  int final_status_ = 0;

  std::optional<std::string> thread_id_;
  std::optional<bool> is_new_thread_;
  bool init_written_ = false;
  std::function<void()> on_bound_;
  /// Answer text per message, in first-seen order, as the plain one-shot output holds it.
  events::AnswerTexts answers_;
  std::size_t anonymous_answers_ = 0;
  std::optional<boost::json::value> usage_;
  std::optional<boost::json::value> server_duration_ms_;
  boost::json::array questions_;
  boost::json::array attachments_;
  boost::json::array notices_;
  std::optional<ErrorInfo> error_;
  std::optional<std::string> pending_kind_;
  /// The agent's own error message, when it sent one.
  std::optional<std::string> agent_error_;
  bool timed_out_ = false;
  bool interrupted_ = false;
};

}  // namespace velmora
