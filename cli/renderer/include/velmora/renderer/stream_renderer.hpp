// StreamRenderer: turns the agent's events, session notices, errors, help and the banner into
// terminal output (terminal profile) or clean text for a subprocess or chat gateway (IM
// profile), dispatching each event to the writer of its output, chosen once when it is built.
// Message shapes it understands are in protocol.md; any other shape is shown by its text field
// or not at all, never an error. Server text is cleaned before it is shown: invalid
// UTF-8 replaced, control characters made visible, so no message can move the cursor, retitle
// the window or clear the screen.
//
// Terminal profile: answers are Markdown; streamed deltas print each block once it is complete,
// while the block still growing, the sticky plan and the status line (spinner, current step,
// elapsed time) are the live lines, in that order. Without colour nothing is drawn live.
// IM profile: no escape codes and no live lines; Markdown is written as it came; tool traffic
// is left out except failures, as plain-output visibility has it; with `one_shot` the answer is
// held for flush_deferred_output and replayed history is not shown.
//
// Threading: every operation is called from the event-loop thread only. With an executor, code
// blocks are coloured on the worker pool and nothing here waits for them: the output keeps its
// order (what follows a block being coloured waits behind it), and the session awaits
// settle_output before it takes the terminal itself.
//
//   StreamRenderer renderer({.console = console, .plain_output = false,
//                            .render_profile = std::string(RENDER_PROFILE_TERMINAL)});
//   renderer.render(velmora::events::to_event(std::move(incoming)));
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "velmora/events/agent_event.hpp"
#include "velmora/term/console.hpp"
#include "velmora/term/live_display.hpp"

namespace velmora::renderer {

inline constexpr std::string_view RENDER_PROFILE_IM = "im";
inline constexpr std::string_view RENDER_PROFILE_TERMINAL = "terminal";

struct BannerInfo {
  std::optional<std::string> endpoint;
  std::optional<std::string> user_id;
  std::optional<std::string> thread_id;
  std::optional<std::string> language;
  bool hide_session_details = false;
};

struct RendererOptions {
  std::shared_ptr<term::Console> console;
  bool plain_output = false;
  std::string render_profile = std::string(RENDER_PROFILE_TERMINAL);
  bool sticky_collection_plan_live = false;
  /// Drives the live status line's redraws; without it the line is drawn only on events.
  std::optional<boost::asio::any_io_executor> executor;
  /// Where live lines (status, sticky plan) go; without one nothing is drawn live.
  std::shared_ptr<term::LiveDisplay> live_display;
  /// Rows of the slash-command help table: (usage, description), in menu order.
  std::vector<std::pair<std::string, std::string>> help_entries;
  /// Shown in the banner.
  std::string version;
  std::string workspace_cwd;
  std::string workspace_branch;
  /// `--debug`: undecodable frames ("_raw") are shown.
  bool debug = false;
  /// The run sends one query and ends (IM profile: the answer is held for
  /// flush_deferred_output; history replayed before it is not shown).
  bool one_shot = false;
  /// Columns to lay text out in; the console's width when absent.
  std::optional<int> width;
  /// Period of the live status redraw, also the shortest interval between two redraws of a
  /// growing answer block; 0 redraws on every event.
  double live_tick_seconds = 0.1;
  /// With an executor, code blocks are coloured on the worker pool: the longest a block's
  /// colours are waited for before it is printed plain.
  double highlight_wait_seconds = 2.0;
  /// Where the language definitions for code blocks are; beside the program when empty.
  std::filesystem::path language_dir;
  /// Clocks, replaceable for tests: monotonic seconds for elapsed times, wall time for the
  /// thinking history.
  std::function<double()> monotonic_clock;
  std::function<std::chrono::system_clock::time_point()> wall_clock;
  /// Told every failure render_invocation_error shows (a machine-readable report keeps it).
  std::function<void(std::string_view summary, std::string_view hint,
                     const std::optional<std::string>& detail)>
      on_invocation_error;
};

class StreamRenderer {
 public:
  explicit StreamRenderer(RendererOptions options);
  ~StreamRenderer();
  StreamRenderer(const StreamRenderer&) = delete;
  StreamRenderer& operator=(const StreamRenderer&) = delete;

  /// Draws one event. A live question is drawn, never answered (the session does that); with
  /// `historical` it is recorded instead (see flush_pending_historical_asks).
  void render(const events::AgentEvent& event, bool historical = false);
  /// Shows the questions recorded during a history replay, with their answers where seen.
  void flush_pending_historical_asks();
  /// Messages from now on are a history replay.
  void begin_historical_replay();
  void set_live_status_enabled(bool enabled);
  /// Removes a running thinking indicator.
  void stop_thinking_status();
  /// Starts a fresh turn; called before each query is sent.
  void reset_turn_state();
  /// The user interrupted the running turn: what it showed so far is printed (terminal profile:
  /// marked as cut), so a notice printed next comes after it; its summary says "interrupted".
  void note_interrupt_sent();
  /// True while output waits behind code blocks being coloured off the event loop.
  [[nodiscard]] bool output_pending() const;
  /// Returns once everything rendered before the call is on the terminal: each block being
  /// coloured comes with its colours, or plain once its wait (highlight_wait_seconds) is over.
  /// At once when nothing waits. The event loop runs on meanwhile; a cancelled wait ends with
  /// operation_aborted and changes nothing. Awaited before a prompt, a question panel or the
  /// run's last lines take the terminal.
  boost::asio::awaitable<void> settle_output();
  /// Runs `write` once everything rendered before is on the terminal, at once when nothing
  /// waits: for text the caller writes to the console itself, so it keeps its place. `write`
  /// must not print through the renderer.
  void after_output(std::function<void()> write);
  /// Writes the output held back during a one-shot turn (IM profile); once per turn.
  void flush_deferred_output();
  void render_session_notice(std::string_view text, bool warning = false);
  void render_invocation_error(std::string_view summary, std::string_view hint,
                               const std::optional<std::string>& detail, bool debug);
  /// The slash-command help table.
  void render_help();
  /// Lists cached thinking blocks, or prints the one with `thinking_id`.
  void render_thinking_history(const std::optional<std::string>& thinking_id = std::nullopt);
  void render_banner(const BannerInfo& info);

  [[nodiscard]] const std::shared_ptr<term::Console>& console() const noexcept;
  [[nodiscard]] bool plain_output() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::renderer
