// Script files: exact frames and delays that replace the demo behaviour, for tests.
//
//   {
//     "faults": {"drop_after_frames": 5},
//     "on_connect": [{"send": {"type": "commentary", "content": "hello"}}],
//     "turns": [
//       {"match": "weather", "once": true, "steps": [
//         {"send": {"type": "text_delta", "delta": "Sunny, {{user_id}}.", "message_id": "m1"}},
//         {"delay": 0.1},
//         {"complete": {}}]}
//     ],
//     "fallback": "demo"
//   }
//
// A query takes the first turn whose "match" text it contains (no "match": any query); a turn
// marked "once" is used only once. With no matching turn the demo behaviour answers, or an
// error frame with "fallback": "error". tools/agent-sim/README.md lists every step.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

#include "faults.hpp"
#include "turn_steps.hpp"

namespace velmora::agent_sim {

struct ScriptTurn {
  std::string match;
  bool once = false;
  Steps steps;
};

struct Script {
  Faults faults;
  Steps on_connect;
  std::vector<ScriptTurn> turns;
  /// With no matching turn: the demo answers (true) or an error frame ends the turn.
  bool fallback_demo = true;
};

/// Reads a script; throws velmora::base::RuntimeError naming the place of the first problem.
[[nodiscard]] Script parse_script(const boost::json::value& document);
/// Reads and parses a script file; throws velmora::base::RuntimeError (FileNotFoundError when
/// missing).
[[nodiscard]] Script load_script(const std::filesystem::path& path);
/// Reads one step object.
[[nodiscard]] Step parse_step(const boost::json::value& step, const std::string& where);

/// Chooses the turn for a query and marks a "once" turn as used; null when none matches.
class ScriptTurnPicker {
 public:
  explicit ScriptTurnPicker(const Script& script);
  const ScriptTurn* pick(std::string_view query);

 private:
  const Script& script_;
  std::vector<bool> used_;
};

}  // namespace velmora::agent_sim
