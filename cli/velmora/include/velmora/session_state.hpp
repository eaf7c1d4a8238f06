// The state one session run shares between its receive loop, input loop, Ctrl+C handler and
// slash commands, and the small operations on it (notices, reconnect preparation). Created by
// `run_cli`, lives for one run.
//
// Threading: everything runs on the session's event-loop thread; state changes happen between
// awaits only, so nothing is locked.
//
// The session's coroutines receive class-type arguments inside `co_await` only as named values:
// g++ 12 destroys a temporary argument of a coroutine call there twice.
#pragma once

#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "parcelon/upload.hpp"
#include "velmora/constants.hpp"
#include "velmora/events/question.hpp"
#include "velmora/history_replay.hpp"
#include "velmora/options.hpp"
#include "velmora/replay_filter.hpp"
#include "velmora/session_setup.hpp"
#include "velmora/session_store/session_store.hpp"
#include "velmora/turn_outcome.hpp"
#include "velmora/base/async.hpp"
#include "wirelet/client.hpp"

namespace velmora {

class InteractiveShellInput;

inline constexpr double DOUBLE_SIGINT_WINDOW_SECONDS = 2.0;
inline constexpr double HARD_EXIT_DELAY_SECONDS = 0.15;
inline constexpr double ATTACHMENT_THREAD_ID_TIMEOUT_SECONDS = 10.0;
/// Longest pause before reconnecting to a server that keeps dropping fresh connections.
inline constexpr double MAX_RECONNECT_BACKOFF_SECONDS = 30.0;

/// True for the error a coroutine gets when its task is cancelled; it must propagate.
[[nodiscard]] bool is_cancellation(const std::exception& e) noexcept;

struct SessionState {
  SessionState(const boost::asio::any_io_executor& executor, const Options& args,
               SessionSetup& setup, wirelet::AgentWsV3Client& client,
               velmora::session_store::SessionStore& session_store);
  SessionState(const SessionState&) = delete;
  SessionState& operator=(const SessionState&) = delete;

  boost::asio::any_io_executor executor;
  const Options& args;
  SessionSetup& setup;
  velmora::term::Console& console;
  velmora::renderer::StreamRenderer& renderer;
  RuntimeConfig& cfg;
  wirelet::AgentWsV3Client& client;
  velmora::session_store::SessionStore& session_store;
  /// Present only for the interactive prompt shell with its banner.
  InteractiveShellInput* shell_input = nullptr;

  /// A `--query` run: one turn, no reconnects.
  bool one_shot = false;
  /// `--input-format stream-json`: turns come as JSON lines on standard input.
  bool persistent = false;
  /// A persistent session without `--non-interactive`: questions are answered by input lines.
  bool answers_from_input = false;
  /// When set, a live question is handed here to wait for its answer from standard input.
  std::function<void(const events::AskPromptRequest&)> answer_from_input;
  /// The run began with `--thread-id` (the client's own flag changes with /new and /resume).
  bool started_with_explicit_thread = false;
  std::string workspace_cwd;
  std::string workspace_branch;
  std::vector<parcelon::LocalAttachment> pending_attachments;

  /// Ends the whole run.
  velmora::base::Event stop_event;
  /// Cleared when a turn starts, set when it ends (terminal message, reconnect, double Ctrl+C).
  velmora::base::Event query_complete_event;
  /// Clear while a history replay holds the prompt (and a resumed one-shot's query); `replay`
  /// sets and clears it.
  velmora::base::Event prompt_ready_event;
  /// Whether history is replaying, and when the prompt is free again.
  HistoryReplay replay;

  bool saw_user_visible_output = false;
  bool saw_completion_activity = false;
  double last_activity_ts = 0;
  bool turn_in_progress = false;
  /// How the current (or last) turn went; reset when a query is sent.
  TurnOutcome turn;
  std::set<std::string, std::less<>> emitted_session_notices;
  double last_sigint_ts = -std::numeric_limits<double>::infinity();

  bool interactive_live_status = false;
  bool base_live_status_enabled = true;

  /// The next binding metadata is reported as a notice.
  bool binding_notice_pending = false;

  /// Something other than binding metadata arrived since the current connection opened.
  bool connection_delivered_content = false;
  /// Pause before the next reconnect after a connection that delivered nothing; 0 after one
  /// that did.
  double reconnect_backoff_seconds = 0;
  /// The one-shot query went out: a drop after its turn ended loses nothing.
  bool one_shot_query_sent = false;
  /// Keeps a reconnect's history replay from showing again what was shown already.
  ReplayFilter replay_filter;
  /// A one-shot (or persistent session's) turn ended because the connection broke; its text.
  std::optional<std::string> connection_lost_detail;
  /// An error escaped a loop of a one-shot run; the run ends with status 1.
  bool one_shot_failed = false;
  /// The shell's connection broke and could not be restored; the run ends with status 1.
  bool reconnect_failed = false;
  /// The double Ctrl+C sends terminate itself; shutdown waits for it instead of sending again.
  velmora::base::Task terminate_task;

  /// Shows each distinct notice text once per run.
  void emit_session_notice(const std::optional<std::string>& message, bool warning = false);
  /// Prepares the replay tracking and ends a waiting turn before a reconnect.
  void begin_reconnect(bool expect_history);
  /// Ctrl+C: interrupt a running turn; a second press within 2 s ends the program.
  void handle_sigint();
  /// Asks the service to stop the running turn (Ctrl+C's first press, an interrupt line).
  void interrupt_turn(bool announce);

  /// Reports an error that escaped a loop without ending the session by itself.
  void report_loop_error(std::string_view summary, std::string_view hint, const std::exception& e);

  [[nodiscard]] std::string default_freeform_answer() const;
  /// The optional parts of a query: scenario, configuration, system prompt and language.
  [[nodiscard]] wirelet::QueryOptions query_options(boost::json::array attachments) const;
  /// Debug lines of the client and the upload, printed through the console so they never
  /// tear a prompt.
  [[nodiscard]] wirelet::DebugSink debug_sink() const;
};

}  // namespace velmora
