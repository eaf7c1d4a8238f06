// What the renderer's dispatcher asks of an output: one implementation per output, chosen once
// when the renderer is built (terminal_writer.hpp, plain_writer.hpp). The dispatcher reads the
// events and keeps what both outputs share (thinking cache, recorded questions, the plan); a
// writer decides how things look and what its output leaves out.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "collection_plan.hpp"
#include "scrollback.hpp"
#include "thinking_cache.hpp"
#include "velmora/events/agent_event.hpp"

namespace velmora::renderer {

/// (question, answer) pairs; an empty question stands for "the answer".
using AnswerPairs = std::vector<std::pair<std::string, std::string>>;

class Writer {
 public:
  virtual ~Writer() = default;

  [[nodiscard]] virtual Scrollback& out() = 0;
  /// Columns to lay text out in.
  [[nodiscard]] virtual int width() const = 0;
  /// Whether panels (banner) may use styles and frames.
  [[nodiscard]] virtual bool styled() const = 0;

  /// Signs of a live turn for the status line ("Writing…").
  virtual void activity(std::string_view label) = 0;
  /// A piece of the answer `key`; `historical` ones come from a replay.
  virtual void answer_delta(const std::string& key, const std::string& delta, bool historical) = 0;
  /// The whole (or settled) text of the answer `key`.
  virtual void answer(const std::string& key, const std::string& content, bool historical) = 0;
  virtual void commentary(const std::string& text) = 0;
  virtual void step(const events::AgentEvent& event, bool historical) = 0;
  virtual void tool(const events::AgentEvent& event, bool historical) = 0;
  virtual void nested(const events::AgentEvent& event, bool historical) = 0;
  /// A question asked live: drawn, and the screen's bottom left clear for its answer.
  virtual void question(const events::AgentEvent& event) = 0;
  /// Lines telling what was asked and answered.
  [[nodiscard]] virtual std::vector<Line> asked_lines(std::vector<std::string> questions,
                                                      const AnswerPairs& answers) = 0;
  /// The plan changed from `before` to `plan` (`new_plan`: another plan, not a status change).
  virtual void plan(const std::vector<PlanItem>& plan, const std::vector<PlanItem>& before,
                    bool new_plan) = 0;
  /// After the turn's "complete" ended it.
  virtual void turn_complete(const events::AgentEvent& event) = 0;
  /// The agent reported an error during the turn (the error line is already printed).
  virtual void turn_error() {}
  /// The user interrupted the running turn; the session prints its notice right after.
  virtual void interrupt_sent() {}
  /// After the connection's end ended the turn.
  virtual void connection_lost(const events::AgentEvent& event) = 0;
  virtual void topic(const events::AgentEvent& event) = 0;
  /// The replayed history is over: a block it left open is printed.
  virtual void replay_boundary() = 0;
  /// The body of a cached thinking block, for /thinking.
  [[nodiscard]] virtual std::vector<Line> thinking_body(const ThinkingBlock& block) = 0;

  /// Closes what the turn left open; the live status ends. What still waits for work off the
  /// event loop goes out when that work is done: see settle.
  virtual void end_turn() = 0;
  /// Returns once what waits in out() at the call is printed; at once for an output that never
  /// holds anything back.
  virtual boost::asio::awaitable<void> settle() { co_return; }
  /// A new query goes out: per-turn state starts afresh.
  virtual void start_turn() = 0;
  /// Messages from now on are a history replay.
  virtual void begin_replay() = 0;
  /// Writes what was held back during a one-shot turn.
  virtual void flush_deferred() = 0;
  virtual void set_live_status_enabled(bool enabled) = 0;
  /// Hides the status line until the next sign of activity.
  virtual void suspend_status() = 0;
};

}  // namespace velmora::renderer
