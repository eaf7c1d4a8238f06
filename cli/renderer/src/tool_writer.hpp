// Tool calls and nested-agent calls on the terminal: "● name(args)" when a call starts, and
// "  ⎿ result summary" under it when it ends (the call line is repeated first when other lines
// came in between). Progress shows in the live status line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "live_region.hpp"
#include "scrollback.hpp"
#include "tool_lines.hpp"
#include "velmora/events/agent_event.hpp"

namespace velmora::renderer {

class ToolWriter {
 public:
  ToolWriter(Scrollback& out, LiveRegion& live, std::function<int()> width);

  void tool(const events::AgentEvent& event, bool historical);
  void nested(const events::AgentEvent& event, bool historical);
  /// Forgets the calls of the turn.
  void clear();
  /// A result from now on repeats its call line first.
  void forget_last_call();

 private:
  struct Call {
    std::string name;
    std::string arguments;
    bool call_printed = false;
    bool result_printed = false;
  };

  Call& call_for(const std::string& key);
  void show_call(const std::string& key, Call& call);
  void show_result(const std::string& key, Call& call, const OutputSummary& summary, bool failed);

  Scrollback& out_;
  LiveRegion& live_;
  std::function<int()> width_;
  std::unordered_map<std::string, Call> calls_;
  /// The call whose "●" line was printed last, with the print count just after it.
  std::optional<std::string> last_call_;
  std::uint64_t last_call_print_ = 0;
};

}  // namespace velmora::renderer
