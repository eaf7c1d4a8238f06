#include "velmora/completion_wait.hpp"

#include <algorithm>

#include <boost/asio/experimental/awaitable_operators.hpp>

#include "velmora/strip.hpp"

namespace velmora {

namespace {

/// Checks between waits, so an idle finish is noticed within this long.
constexpr double POLL_SECONDS = 0.25;

}  // namespace

std::string_view to_string(WaitOutcome outcome) noexcept {
  switch (outcome) {
    case WaitOutcome::completed:
      return "completed";
    case WaitOutcome::timeout:
      return "timeout";
    case WaitOutcome::idle_finish:
      return "idle_finish";
  }
  return "completed";
}

bool is_one_shot_query(const Options& args) {
  return args.query && !strip_view(*args.query).empty();
}

double resolve_idle_finish_seconds(const Options& args, bool /*non_interactive*/) {
  if (!args.idle_finish_seconds) return 0.0;
  return std::max(*args.idle_finish_seconds, 0.0);
}

velmora::base::awaitable<WaitOutcome> wait_for_query_completion(
    velmora::base::Event& query_complete_event, CompletionWaitOptions options) {
  const double deadline =
      velmora::base::monotonic_seconds() + std::max(options.timeout_seconds, 0.0);
  while (true) {
    if (query_complete_event.is_set()) co_return WaitOutcome::completed;
    const double now = velmora::base::monotonic_seconds();
    if (now >= deadline) co_return WaitOutcome::timeout;
    if (options.allow_idle_finish && options.idle_finish_seconds > 0 &&
        options.saw_completion_activity() &&
        now - options.last_activity_at() >= options.idle_finish_seconds) {
      co_return WaitOutcome::idle_finish;
    }
    // Waiting on the event rather than sleeping ends the wait as soon as the turn does.
    (void)co_await query_complete_event.wait_for(std::min(deadline - now, POLL_SECONDS));
  }
}

velmora::base::awaitable<void> wait_for_interactive_turn_completion(
    velmora::base::Event& query_complete_event, velmora::base::Event& stop_event) {
  using namespace boost::asio::experimental::awaitable_operators;
  while (!query_complete_event.is_set() && !stop_event.is_set()) {
    (void)co_await (query_complete_event.wait() || stop_event.wait());
  }
}

std::string build_one_shot_thread_hint(std::string_view thread_id) {
  std::string id(thread_id);
  return "thread_id=" + id + " | reuse with --thread-id " + id + " or /resume " + id;
}

}  // namespace velmora
