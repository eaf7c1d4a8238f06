// How one turn went, as far as the user could see: whether answer text was shown, whether the
// agent reported an error, whether the user interrupted it. The receive loop feeds it the live
// events of the turn; a one-shot run's exit status (and any other report of the run's result)
// reads it once the turn is over.
//
//   TurnOutcome turn;
//   turn.observe(event);                       // every live event of the turn
//   if (turn.failed_with_agent_error()) ...    // an error and no answer: the turn failed
#pragma once

#include <optional>
#include <string>

#include "velmora/events/agent_event.hpp"

namespace velmora {

struct TurnOutcome {
  /// Text of the turn's first agent error ("unknown error" when it carried none).
  std::optional<std::string> agent_error;
  /// Answer text (not only blanks) arrived during the turn.
  bool answer_shown = false;
  /// The user interrupted the turn.
  bool interrupted = false;

  /// Forgets the previous turn; called before a query is sent.
  void reset() { *this = TurnOutcome{}; }
  void observe(const events::AgentEvent& event);
  /// The agent reported an error and no answer came with it: the turn failed, whatever message
  /// ended it.
  [[nodiscard]] bool failed_with_agent_error() const noexcept {
    return agent_error.has_value() && !answer_shown;
  }
};

}  // namespace velmora
