// Whether what arrives now is a thread's replayed history, and when the prompt may show again.
//
// When the session resumes a thread, or reconnects to it after a drop, the server binds the
// thread with metadata and, for a known thread, replays its history before anything new. The
// replay holds the prompt (and a resumed one-shot's query), so old turns are never taken for
// the new answer, and is released by whichever comes first: "resume_complete", a binding that
// reports a new thread, or a quiet period after the last replayed message (short once the
// replay showed a turn's end or nothing visible, longer while a replayed turn may still be
// streaming).
//
//   none ─start(resumed)/reconnect─▶ awaiting_binding ─binding(is_new=false)─▶ replaying
//                                        │ any other binding                  │ resume_complete,
//                                        ▼                                    │ new thread, quiet
//                                     released ◀──────────────────────────────┘
//
// Threading: event-loop thread only; the idle timer is one task at a time, and a timer that
// fires after it was replaced does nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include <boost/asio/any_io_executor.hpp>

#include "velmora/events/agent_event.hpp"
#include "velmora/base/async.hpp"

namespace velmora {

class HistoryReplay {
 public:
  enum class State {
    /// No replay expected; the prompt is free.
    none,
    /// The prompt is held until the server binds the thread.
    awaiting_binding,
    /// History is arriving; the prompt is held.
    replaying,
    /// A replay (or the wait for one) ended; the prompt is free.
    released,
  };

  struct Hooks {
    /// A replay began: live output (the status line) is held back.
    std::function<void()> replay_started;
    /// The prompt is free again: what the replay recorded may be shown, live output resumes.
    std::function<void()> released;
  };

  HistoryReplay(const boost::asio::any_io_executor& executor, velmora::base::Event& prompt_ready,
                Hooks hooks);
  ~HistoryReplay();
  HistoryReplay(const HistoryReplay&) = delete;
  HistoryReplay& operator=(const HistoryReplay&) = delete;

  /// The session starts: a resumed thread waits for its binding, a new one is free at once.
  void start(bool resumed_thread);
  /// A reconnect begins: the prompt is held until the new connection's binding, which is
  /// followed by history when `expect_history`.
  void reconnect(bool expect_history);
  /// The server bound the thread; `is_new` as it said (absent: it did not say).
  void binding(std::optional<bool> is_new);
  /// Any other message; true when it belongs to the replayed history.
  bool message(const events::AgentEvent& event, bool plain_output);
  /// The server's end of the replay.
  void resume_complete();
  /// The armed quiet period passed without another replayed message.
  void idle_timeout();
  /// Stops the idle timer (the session is ending).
  void cancel_timer();

  [[nodiscard]] State state() const noexcept { return state_; }
  [[nodiscard]] bool replaying() const noexcept { return state_ == State::replaying; }
  /// The quiet period the armed timer waits for; absent when no timer is armed.
  [[nodiscard]] std::optional<double> armed_idle_seconds() const noexcept { return armed_; }
  /// The replay so far showed something visible / a turn's end.
  [[nodiscard]] bool visible_output_seen() const noexcept { return visible_seen_; }
  [[nodiscard]] bool turn_end_seen() const noexcept { return turn_end_seen_; }

 private:
  void enter_replay();
  void release();
  void arm(std::optional<double> seconds = std::nullopt);
  static velmora::base::awaitable<void> wait_idle(HistoryReplay& self, double seconds,
                                            std::uint64_t generation);

  boost::asio::any_io_executor executor_;
  velmora::base::Event& prompt_ready_;
  Hooks hooks_;
  State state_ = State::none;
  bool history_expected_ = false;
  bool visible_seen_ = false;
  bool turn_end_seen_ = false;
  std::optional<double> armed_;
  /// Tells the armed timer from the ones it replaced.
  std::uint64_t generation_ = 0;
  velmora::base::Task timer_;
};

}  // namespace velmora
