#include "velmora/history_replay.hpp"

#include <utility>

#include "velmora/constants.hpp"

namespace velmora {
HistoryReplay::HistoryReplay(const boost::asio::any_io_executor& executor,
                             velmora::base::Event& prompt_ready, Hooks hooks)
    : executor_(executor), prompt_ready_(prompt_ready), hooks_(std::move(hooks)) {}

HistoryReplay::~HistoryReplay() { cancel_timer(); }

void HistoryReplay::start(bool resumed_thread) {
  if (resumed_thread) {
    reconnect(/*expect_history=*/true);
    return;
  }
  state_ = State::none;
  prompt_ready_.set();
}

void HistoryReplay::reconnect(bool expect_history) {
  cancel_timer();
  state_ = State::awaiting_binding;
  history_expected_ = expect_history;
  visible_seen_ = false;
  turn_end_seen_ = false;
  prompt_ready_.clear();
}

void HistoryReplay::binding(std::optional<bool> is_new) {
  switch (state_) {
    case State::awaiting_binding:
      if (history_expected_ && is_new == false) {
        enter_replay();
      } else {
        release();
      }
      return;
    case State::replaying:
      // Bound again during the replay: a known thread starts its history over, a new one has
      // none; a binding that does not say changes nothing.
      if (is_new == false) {
        enter_replay();
      } else if (is_new == true) {
        release();
      }
      return;
    case State::none:
    case State::released:
      return;
  }
}

bool HistoryReplay::message(const events::AgentEvent& event, bool plain_output) {
  // The boundary ends the history; it is no part of it.
  if (state_ != State::replaying || event.kind == events::EventKind::replay_boundary) return false;
  if (events::is_user_visible_output(event, plain_output)) visible_seen_ = true;
  if (events::ends_turn(event)) turn_end_seen_ = true;
  arm();
  return true;
}

void HistoryReplay::resume_complete() { release(); }

void HistoryReplay::idle_timeout() {
  armed_.reset();
  if (state_ == State::replaying) release();
}

void HistoryReplay::cancel_timer() {
  ++generation_;
  armed_.reset();
  if (timer_.valid() && !timer_.done()) timer_.cancel();
  timer_ = {};
}

void HistoryReplay::enter_replay() {
  state_ = State::replaying;
  visible_seen_ = false;
  turn_end_seen_ = false;
  prompt_ready_.clear();
  if (hooks_.replay_started) hooks_.replay_started();
  // A server that resumes an empty history without "resume_complete" must not hold the prompt
  // for ever; the first replayed message re-arms the shorter timer.
  arm(PROMPT_SHELL_REPLAY_HARD_IDLE_SECONDS);
}

void HistoryReplay::release() {
  cancel_timer();
  state_ = State::released;
  history_expected_ = false;
  visible_seen_ = false;
  turn_end_seen_ = false;
  if (hooks_.released) hooks_.released();
  prompt_ready_.set();
}

void HistoryReplay::arm(std::optional<double> seconds) {
  cancel_timer();
  // A replayed turn that has shown output but not its end may still be streaming: wait longer.
  const double wait =
      seconds.value_or(turn_end_seen_ || !visible_seen_ ? PROMPT_SHELL_REPLAY_IDLE_SECONDS
                                                        : PROMPT_SHELL_REPLAY_HARD_IDLE_SECONDS);
  armed_ = wait;
  const std::uint64_t generation = generation_;
  timer_ = velmora::base::Task::spawn(executor_, wait_idle(*this, wait, generation));
}

velmora::base::awaitable<void> HistoryReplay::wait_idle(HistoryReplay& self, double seconds,
                                                  std::uint64_t generation) {
  // A cancelled wait throws out of here before touching the replay.
  co_await velmora::base::sleep_for(seconds);
  if (self.generation_ == generation) self.idle_timeout();
}

}  // namespace velmora
