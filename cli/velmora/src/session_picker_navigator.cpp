#include <algorithm>
#include <charconv>

#include "velmora/json_values.hpp"
#include "velmora/session_picker.hpp"
#include "velmora/strip.hpp"
#include "velmora/term/text_width.hpp"

namespace velmora {
namespace json = boost::json;

namespace {

constexpr int THREAD_COLUMN = 36;
constexpr int UPDATED_COLUMN = 14;

/// Reads exactly `digits` decimal digits at `at`.
std::optional<int> read_digits(std::string_view text, std::size_t& at, std::size_t digits) {
  if (at + digits > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  at += digits;
  return value;
}

bool skip(std::string_view text, std::size_t& at, char c) {
  if (at < text.size() && text[at] == c) {
    ++at;
    return true;
  }
  return false;
}

/// Offset in seconds of "+HH[:MM[:SS]]" / "-HHMM" / "Z"; none when malformed.
std::optional<long> read_offset(std::string_view text, std::size_t& at) {
  if (at >= text.size()) return 0;
  if (text[at] == 'Z' || text[at] == 'z') {
    ++at;
    return 0;
  }
  const char sign = text[at];
  if (sign != '+' && sign != '-') return std::nullopt;
  ++at;
  const auto hours = read_digits(text, at, 2);
  if (!hours || *hours > 23) return std::nullopt;
  long seconds = *hours * 3600L;
  const bool colon = skip(text, at, ':');
  if (at < text.size()) {
    const auto minutes = read_digits(text, at, 2);
    if (!minutes || *minutes > 59) return std::nullopt;
    seconds += *minutes * 60L;
    if (at < text.size()) {
      if (colon && !skip(text, at, ':')) return std::nullopt;
      const auto secs = read_digits(text, at, 2);
      if (!secs || *secs > 59) return std::nullopt;
      seconds += *secs;
      if (skip(text, at, '.')) {
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
      }
    }
  }
  return sign == '-' ? -seconds : seconds;
}

std::string plural(long n, std::string_view unit) {
  return std::to_string(n) + " " + std::string(unit) + (n == 1 ? "" : "s") + " ago";
}

std::string record_text(const velmora::session_store::SessionRecord& record, std::string_view key) {
  return truthy_text(record.if_contains(key));
}

std::string clean_branch(std::string_view branch) {
  std::string out;
  out.reserve(branch.size());
  for (std::size_t at = 0; at < branch.size();) {
    bool dash = false;
    for (std::string_view variant : {"—", "–", "―"}) {
      if (branch.substr(at, variant.size()) == variant) {
        out.push_back('-');
        at += variant.size();
        dash = true;
        break;
      }
    }
    if (!dash) out.push_back(branch[at++]);
  }
  std::string cleaned = strip(out);
  if (cleaned.empty()) cleaned.push_back('-');
  return cleaned;
}

std::string session_row(const std::string& thread_id, const std::string& updated,
                        const std::string& created) {
  return velmora::term::pad_right(thread_id, THREAD_COLUMN) + "  " +
         velmora::term::pad_right(updated, UPDATED_COLUMN) + "  " + created;
}

}  // namespace

std::optional<Clock::time_point> parse_iso_datetime(std::string_view text) {
  std::size_t at = 0;
  const auto year = read_digits(text, at, 4);
  if (!year) return std::nullopt;
  const bool extended = skip(text, at, '-');
  const auto month = read_digits(text, at, 2);
  if (!month || (extended && !skip(text, at, '-'))) return std::nullopt;
  const auto day = read_digits(text, at, 2);
  if (!day) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(*year),
                                         std::chrono::month(static_cast<unsigned>(*month)),
                                         std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok()) return std::nullopt;

  long seconds = 0;
  if (at < text.size() && (text[at] == 'T' || text[at] == 't' || text[at] == ' ')) {
    ++at;
    const auto hour = read_digits(text, at, 2);
    if (!hour || *hour > 23) return std::nullopt;
    seconds = *hour * 3600L;
    const bool colon = skip(text, at, ':');
    if (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      const auto minute = read_digits(text, at, 2);
      if (!minute || *minute > 59) return std::nullopt;
      seconds += *minute * 60L;
      if ((colon && skip(text, at, ':')) ||
          (!colon && at < text.size() && text[at] >= '0' && text[at] <= '9')) {
        const auto second = read_digits(text, at, 2);
        if (!second || *second > 59) return std::nullopt;
        seconds += *second;
        if (skip(text, at, '.') || skip(text, at, ',')) {
          const std::size_t start = at;
          while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
          if (at == start) return std::nullopt;
        }
      }
    } else if (colon) {
      return std::nullopt;
    }
  }
  const auto offset = read_offset(text, at);
  if (!offset || at != text.size()) return std::nullopt;
  const auto days = std::chrono::sys_days(date);
  return Clock::time_point(days) + std::chrono::seconds(seconds - *offset);
}

std::string format_relative_time(std::string_view value, Clock::time_point now) {
  if (value.empty()) return "-";
  const auto moment = parse_iso_datetime(value);
  if (!moment) return "-";
  const long seconds =
      std::max<long>(0, std::chrono::duration_cast<std::chrono::seconds>(now - *moment).count());
  if (seconds < 60) return "just now";
  const long minutes = seconds / 60;
  if (minutes < 60) return plural(minutes, "minute");
  const long hours = minutes / 60;
  if (hours < 24) return plural(hours, "hour");
  const long days = hours / 24;
  if (days < 30) return plural(days, "day");
  const long months = days / 30;
  if (months < 12) return plural(months, "month");
  return plural(months / 12, "year");
}

std::string format_relative_time(const json::value* value, Clock::time_point now) {
  return format_relative_time(truthy_text(value), now);
}

std::string build_saved_session_label(const velmora::session_store::SessionRecord& session,
                                      Clock::time_point now) {
  std::string thread_id = strip(record_text(session, "thread_id"));
  if (thread_id.empty()) thread_id.push_back('-');
  return session_row(thread_id, format_relative_time(session.if_contains("updated_at"), now),
                     format_relative_time(session.if_contains("created_at"), now));
}

std::string extract_topic_message_title(const json::object& msg) {
  auto search = [](const json::object& map) -> std::string {
    for (std::string_view key : {"message", "topic", "title", "name"}) {
      std::string text = strip(truthy_text(map.if_contains(key)));
      if (!text.empty()) return text;
    }
    return {};
  };
  std::string title = search(msg);
  if (!title.empty()) return title;
  if (const auto* payload = msg.if_contains("payload"); payload && payload->is_object()) {
    return search(payload->get_object());
  }
  return {};
}

SessionPickerNavigator::SessionPickerNavigator(
    const std::vector<velmora::session_store::SessionRecord>& sessions, Clock::time_point now) {
  for (const auto& session : sessions) {
    std::string thread_id = strip(record_text(session, "thread_id"));
    if (thread_id.empty()) continue;
    const std::string raw_branch = record_text(session, "branch");
    std::string search;
    for (const std::string& part : {thread_id, raw_branch, record_text(session, "conversation"),
                                    record_text(session, "cwd")}) {
      if (part.empty()) continue;
      if (!search.empty()) search += ' ';
      search += part;
    }
    entries_.push_back(SessionPickerEntry{
        .thread_id = std::move(thread_id),
        .created_at = format_relative_time(session.if_contains("created_at"), now),
        .updated_at = format_relative_time(session.if_contains("updated_at"), now),
        .branch = clean_branch(raw_branch),
        .search_text = std::move(search),
    });
  }
}

std::vector<const SessionPickerEntry*> SessionPickerNavigator::filtered_entries() const {
  std::vector<const SessionPickerEntry*> out;
  const std::string needle = velmora::term::unicode_lower(filter_text_);
  for (const auto& entry : entries_) {
    if (needle.empty() ||
        velmora::term::unicode_lower(entry.thread_id).find(needle) != std::string::npos ||
        velmora::term::unicode_lower(entry.branch).find(needle) != std::string::npos ||
        velmora::term::unicode_lower(entry.search_text).find(needle) != std::string::npos) {
      out.push_back(&entry);
    }
  }
  return out;
}

void SessionPickerNavigator::move(int delta) {
  const int count = static_cast<int>(filtered_entries().size());
  if (count == 0) {
    selected_index_ = 0;
    return;
  }
  selected_index_ = ((selected_index_ + delta) % count + count) % count;
}

void SessionPickerNavigator::append_filter(std::string_view value) {
  filter_text_.append(value);
  selected_index_ = 0;
}

void SessionPickerNavigator::backspace_filter() {
  if (!filter_text_.empty()) {
    filter_text_.erase(velmora::term::prev_grapheme(filter_text_, filter_text_.size()));
  }
  selected_index_ = 0;
}

std::optional<std::string> SessionPickerNavigator::current_thread_id() const {
  const auto filtered = filtered_entries();
  if (filtered.empty()) return std::nullopt;
  const int index = std::min(selected_index_, static_cast<int>(filtered.size()) - 1);
  return filtered[static_cast<std::size_t>(index)]->thread_id;
}

velmora::term::Fragments SessionPickerNavigator::render_fragments() const {
  velmora::term::Fragments out{
      {"class:ask-title", "Resume a previous session\n"},
      {"class:ask-hint", "Sort: Updated at\n"},
      {"class:ask-hint", "Type to search | ↑↓ select | Enter resume | Esc cancel\n\n"},
      {"class:ask-hint", "Thread ID                              Updated at      Created at\n"},
  };
  const auto filtered = filtered_entries();
  if (!filtered.empty()) {
    const int selected = std::min(selected_index_, static_cast<int>(filtered.size()) - 1);
    for (std::size_t i = 0; i < filtered.size(); ++i) {
      const bool is_selected = static_cast<int>(i) == selected;
      const auto* e = filtered[i];
      out.push_back({is_selected ? "class:ask-option-selected" : "class:ask-option",
                     std::string(is_selected ? "▶" : " ") + " " +
                         session_row(e->thread_id, e->updated_at, e->created_at) + "\n"});
    }
  } else {
    out.push_back({"class:ask-option", "  No saved sessions match your search\n"});
  }
  out.push_back({"", "\n"});
  out.push_back({"class:ask-custom-label", "Search: "});
  out.push_back({"class:ask-custom-text", filter_text_});
  out.push_back({"class:ask-custom-cursor", "█"});
  out.push_back({"", "\n"});
  return out;
}

}  // namespace velmora
