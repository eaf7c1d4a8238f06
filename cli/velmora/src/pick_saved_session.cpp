#include "velmora/pick_saved_session.hpp"

#include <algorithm>

#include "velmora/json_values.hpp"
#include "velmora/session_picker.hpp"
#include "velmora/strip.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

namespace {

using velmora::session_store::SessionRecord;
using velmora::term::Console;

std::string trimmed_thread_id(const SessionRecord& session) {
  return strip(truthy_text(session.if_contains("thread_id")));
}

/// The reply to the numbered list: empty is the first, 1..n by position, else an exact id.
std::optional<std::string> choose_from_reply(const std::vector<SessionRecord>& sessions,
                                             const std::string& reply) {
  if (reply.empty()) return non_empty(trimmed_thread_id(sessions.front()));
  if (std::all_of(reply.begin(), reply.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
    // More digits than any list could need are simply out of range.
    if (reply.size() <= 6) {
      const std::size_t index = std::stoul(reply);
      if (index >= 1 && index <= sessions.size()) {
        return non_empty(trimmed_thread_id(sessions[index - 1]));
      }
    }
  }
  for (const auto& session : sessions) {
    if (trimmed_thread_id(session) == reply) return reply;
  }
  return std::nullopt;
}

}  // namespace

velmora::base::awaitable<std::optional<std::string>> pick_saved_session(
    std::shared_ptr<Console> console, velmora::session_store::SessionStore& session_store,
    std::optional<std::string> endpoint, std::optional<std::string> user_id,
    BlockingLineReader reader) {
  auto sessions = session_store.list_sessions(endpoint, user_id, 20);
  if (sessions.empty()) sessions = session_store.list_sessions(20);
  if (sessions.empty()) {
    print_console_notice(*console, "No saved sessions found.", "yellow");
    co_return std::nullopt;
  }

  if (auto picked = co_await pick_saved_session_with_prompt_toolkit(sessions);
      picked && !picked->empty()) {
    co_return picked;
  }

  console->print("[bold cyan]Resume a previous session[/bold cyan]");
  console->print("[dim]Sort: Updated at[/dim]");
  console->print("[dim]Thread ID                              Updated at      Created at[/dim]");
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    console->print("  " + std::to_string(i + 1) + ". " +
                   Console::escape(build_saved_session_label(sessions[i])));
  }
  std::optional<std::string> first_session = "1";
  const auto reply =
      co_await prompt_ask(*console, "Resume session", std::move(first_session), std::move(reader));
  if (!reply) co_return std::nullopt;
  co_return choose_from_reply(sessions, strip(*reply));
}

}  // namespace velmora
