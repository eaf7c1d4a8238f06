// One-shot completion: when a sent query counts as answered (a terminal message, an optional
// idle finish, or the overall time-out), and the hint that tells the user how to continue.
//
//   auto outcome = co_await velmora::wait_for_query_completion(done, {.timeout_seconds = 30});
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "velmora/base/async.hpp"
#include "velmora/options.hpp"

namespace velmora {

enum class WaitOutcome { completed, timeout, idle_finish };

/// "completed", "timeout" or "idle_finish".
[[nodiscard]] std::string_view to_string(WaitOutcome outcome) noexcept;

/// True when `--query` holds text after trimming.
[[nodiscard]] bool is_one_shot_query(const Options& args);

/// `--idle-finish-seconds`, clamped below at 0; 0 (disabled) when not given.
[[nodiscard]] double resolve_idle_finish_seconds(const Options& args, bool non_interactive);

struct CompletionWaitOptions {
  double timeout_seconds = 1000000;
  double idle_finish_seconds = 0;
  bool allow_idle_finish = false;
  /// Read afresh on every check, so they see the receive loop's latest values.
  std::function<bool()> saw_completion_activity = [] { return false; };
  std::function<double()> last_activity_at = [] { return 0.0; };
};

/// Waits for `query_complete_event`, the deadline, or (when allowed and some completion
/// activity was seen) `idle_finish_seconds` of quiet. A completion present at a check wins
/// over a deadline reached at the same check.
velmora::base::awaitable<WaitOutcome> wait_for_query_completion(
    velmora::base::Event& query_complete_event, CompletionWaitOptions options);

/// Returns once either event is set.
velmora::base::awaitable<void> wait_for_interactive_turn_completion(
    velmora::base::Event& query_complete_event, velmora::base::Event& stop_event);

/// "thread_id=<id> | reuse with --thread-id <id> or /resume <id>".
[[nodiscard]] std::string build_one_shot_thread_hint(std::string_view thread_id);

}  // namespace velmora
