// Recognises the part of a history replay that this session has already shown.
//
// After a broken connection the shell reconnects to the same thread, and the service replays
// the thread's whole history first. Without a filter every earlier turn would be printed again
// on each reconnect. The filter remembers what was seen on the thread, in order: whole messages
// by digest, streamed answer text (answer deltas) by its text per `message_id`,
// because a service may replay many deltas as one. A replayed message is skipped only when it
// repeats what was seen at the matching place; a replayed delta that goes on past the text seen
// is cut down to the unseen rest. So what was lost with the broken connection is still shown,
// and a service whose replay differs from what it streamed gets everything shown (repeated,
// never lost).
//
//   filter.observe(thread, event, /*historical=*/false); // live: recorded, never skipped
//   filter.expect_repeat();                              // before reconnecting
//   if (filter.observe(thread, replayed, true)) ...      // true: already shown, skip it
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>

#include "velmora/events/agent_event.hpp"

namespace velmora {

class ReplayFilter {
 public:
  /// Message digests kept per thread; older ones are forgotten (their replay is shown again).
  static constexpr std::size_t MAX_REMEMBERED = 50000;
  /// How far ahead of the last match a replayed message is looked for.
  static constexpr std::size_t LOOKAHEAD = 256;
  /// Streamed text kept per thread; deltas past it are not remembered (shown again).
  static constexpr std::size_t MAX_TEXT_BYTES = std::size_t{1} << 20;

  /// The next replay repeats what this session saw on the thread (a reconnect, not a resume).
  void expect_repeat() noexcept { repeat_expected_ = true; }

  /// Records a message shown on `thread_id`. True when it is a replayed repeat of what was shown
  /// before: the caller does not show it again. A replayed delta that only partly repeats has
  /// its "delta" cut to the unseen rest.
  bool observe(std::string_view thread_id, events::AgentEvent& event, bool historical);

  /// The digest that identifies a message: its compact JSON text, hashed.
  [[nodiscard]] static std::uint64_t digest(const boost::json::object& msg);

 private:
  struct StreamedText {
    std::string text;
    /// During a repeat replay: how much of `text` the replay has repeated so far.
    std::size_t replayed = 0;
    /// The text outgrew the bound, or a replay disagreed with it: never skip its deltas.
    bool unreliable = false;
  };

  void start_repeat();
  bool matches_earlier(std::uint64_t digest);
  bool observe_delta(const std::string& message_id, boost::json::object& msg,
                     std::string_view delta, bool repeating);
  void remember_text(StreamedText& stream, std::string_view delta);

  std::string thread_id_;
  /// Digests of the thread's messages in arrival order, at most MAX_REMEMBERED.
  std::deque<std::uint64_t> seen_;
  /// During a repeat replay: what had been seen before it, matched from `cursor_` on.
  std::deque<std::uint64_t> before_;
  std::size_t cursor_ = 0;
  /// Replayed messages not found in `before_` so far.
  std::size_t unmatched_ = 0;
  bool matched_any_ = false;
  /// Streamed answer text by message id; `text_bytes_` is the sum of their sizes.
  std::map<std::string, StreamedText, std::less<>> texts_;
  std::size_t text_bytes_ = 0;
  bool repeat_expected_ = false;
  bool repeating_ = false;
};

}  // namespace velmora
