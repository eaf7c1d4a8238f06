// Choosing a saved session (thread) to resume: the searchable panel, its navigator, and the
// helpers that format a session's times and a topic message's title.
//
//   SessionPickerNavigator nav(store.list_sessions(url, user, 20));
//   nav.append_filter("main");
//   nav.move(1);
//   auto thread_id = nav.current_thread_id();
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "velmora/terminal_mode.hpp"
#include "velmora/session_store/session_store.hpp"
#include "velmora/term/fragments.hpp"
#include "velmora/term/screen.hpp"

namespace velmora {

using Clock = std::chrono::system_clock;

/// "just now", "N minute(s) ago", … "N year(s) ago" for an ISO 8601 time ("Z" or an offset
/// allowed, none means UTC); "-" when missing, empty or unreadable. Months are 30 days, years
/// 360. A time in the future is "just now".
[[nodiscard]] std::string format_relative_time(std::string_view value,
                                               Clock::time_point now = Clock::now());
[[nodiscard]] std::string format_relative_time(const boost::json::value* value,
                                               Clock::time_point now = Clock::now());

/// Seconds since the epoch of an ISO 8601 date-time; none when it cannot be read.
[[nodiscard]] std::optional<Clock::time_point> parse_iso_datetime(std::string_view text);

/// Thread id padded to 36 columns, updated-at padded to 14, created-at (two blanks between).
[[nodiscard]] std::string build_saved_session_label(
    const velmora::session_store::SessionRecord& session, Clock::time_point now = Clock::now());

/// The title of a topic message: the first non-empty "message", "topic", "title" or "name",
/// trimmed, looked up in the message and then in its "payload"; "" when there is none.
[[nodiscard]] std::string extract_topic_message_title(const boost::json::object& msg);

struct SessionPickerEntry {
  std::string thread_id;
  std::string created_at;
  std::string updated_at;
  std::string branch;
  std::string search_text;
  friend bool operator==(const SessionPickerEntry&, const SessionPickerEntry&) = default;
};

class SessionPickerNavigator {
 public:
  /// Sessions without a thread id are left out; the store's order is kept.
  explicit SessionPickerNavigator(
      const std::vector<velmora::session_store::SessionRecord>& sessions,
      Clock::time_point now = Clock::now());

  [[nodiscard]] const std::vector<SessionPickerEntry>& entries() const noexcept { return entries_; }
  [[nodiscard]] const std::string& filter_text() const noexcept { return filter_text_; }
  [[nodiscard]] int selected_index() const noexcept { return selected_index_; }

  /// Entries whose thread id, branch or search text contains the filter (any case).
  [[nodiscard]] std::vector<const SessionPickerEntry*> filtered_entries() const;
  void move(int delta);
  void append_filter(std::string_view value);
  void backspace_filter();
  [[nodiscard]] std::optional<std::string> current_thread_id() const;

  [[nodiscard]] velmora::term::Fragments render_fragments() const;

 private:
  std::vector<SessionPickerEntry> entries_;
  std::string filter_text_;
  /// Within the filtered entries whenever there are any (every change resets or wraps it).
  int selected_index_ = 0;
};

/// Configures the prompt runtime; false on a terminal that cannot move the cursor.
[[nodiscard]] bool load_prompt_toolkit_session_picker_components();

/// The panel needs an interactive input, ANSI and Unicode output, and its components.
[[nodiscard]] bool session_picker_panel_available(const TerminalFacts& facts);

/// Runs the picker panel (framed "Resume", erased when done) on an interactive terminal; the
/// chosen thread id, or none when it cannot be used, has nothing to list, or is left with
/// Escape, Ctrl+C or the end of input.
boost::asio::awaitable<std::optional<std::string>> pick_saved_session_with_prompt_toolkit(
    const std::vector<velmora::session_store::SessionRecord>& sessions);

/// The panel itself on `screen` (no checks of the terminal).
boost::asio::awaitable<std::optional<std::string>> run_session_picker_panel(
    velmora::term::Screen& screen,
    const std::vector<velmora::session_store::SessionRecord>& sessions,
    Clock::time_point now = Clock::now());

}  // namespace velmora
