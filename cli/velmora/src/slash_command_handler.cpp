#include "velmora/slash_command_handler.hpp"

#include <boost/algorithm/string/predicate.hpp>

#include "velmora/banner.hpp"
#include "velmora/notices.hpp"
#include "velmora/pick_saved_session.hpp"
#include "velmora/self_upgrade.hpp"
#include "velmora/strip.hpp"

namespace velmora {

namespace {

using velmora::term::Console;

void redraw_banner(const InteractiveCommandContext& c) {
  const std::string thread_id = c.client.thread_id();
  render_shell_banner(
      c.renderer, c.show_shell_banner,
      {.endpoint = c.cfg.url,
       .user_id = c.cfg.user_id,
       .thread_id = thread_id.empty() ? std::nullopt : std::optional<std::string>(thread_id),
       .language = c.cfg.language,
       .hide_session_details = c.hide_session_details});
}

void redraw_after_reconnect(const InteractiveCommandContext& c) {
  if (!c.show_shell_banner || !c.rerender_shell_banner_on_reconnect) return;
  c.console->clear();
  redraw_banner(c);
}

velmora::base::awaitable<void> run_upgrade(InteractiveCommandContext& c) {
  try {
    if (c.self_upgrade) {
      co_await c.self_upgrade(c.cfg.wheel_server_url, c.console);
    } else {
      co_await self_upgrade_async(c.cfg.wheel_server_url, c.console);
    }
  } catch (const std::exception& e) {
    c.renderer.render_invocation_error(
        "Upgrade failed.", "Check the wheel server URL and network connectivity, then retry.",
        velmora::base::error_text_or_kind(e), c.debug);
  }
}

void list_attachments(const InteractiveCommandContext& c) {
  if (c.pending_attachments.empty()) {
    c.console->print("[dim]no queued attachments[/dim]");
    return;
  }
  c.console->print("[bold cyan]Queued attachments[/bold cyan]");
  for (std::size_t i = 0; i < c.pending_attachments.size(); ++i) {
    c.console->print("  " + std::to_string(i + 1) + ". " +
                     Console::escape(c.pending_attachments[i].path));
  }
}

void detach(const InteractiveCommandContext& c, const std::string& argument) {
  if (argument.empty()) {
    c.console->print("[red]Usage: /detach <index|all>[/red]");
    return;
  }
  if (boost::algorithm::iequals(argument, "all")) {
    c.pending_attachments.clear();
    c.console->print("[green]cleared queued attachments[/green]");
    return;
  }
  const auto index = parse_decimal_index(argument);
  if (!index) {
    c.console->print("[red]Usage: /detach <index|all>[/red]");
    return;
  }
  if (*index < 1 || *index > static_cast<long long>(c.pending_attachments.size())) {
    c.console->print("[red]attachment index out of range[/red]");
    return;
  }
  const auto position = c.pending_attachments.begin() + (*index - 1);
  const std::string path = position->path;
  c.pending_attachments.erase(position);
  c.console->print("[green]removed attachment[/green] " + Console::escape(path));
}

}  // namespace

std::pair<std::string, std::string> split_shell_command(std::string_view raw) {
  const auto blank = raw.find(' ');
  if (blank == std::string_view::npos) return {strip(raw), {}};
  return {strip(raw.substr(0, blank)), strip(raw.substr(blank + 1))};
}

std::optional<long long> parse_decimal_index(std::string_view text) {
  text = strip_view(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '_' || text.back() == '_') return std::nullopt;
  // Past this many digits every index is out of range; saturating keeps that answer.
  constexpr long long LARGE = 1'000'000'000'000LL;
  long long value = 0;
  char previous = 0;
  for (const char ch : text) {
    if (ch == '_') {
      if (previous == '_') return std::nullopt;  // digits may be grouped by single underscores
    } else if (ch >= '0' && ch <= '9') {
      value = std::min(value * 10 + (ch - '0'), LARGE);
    } else {
      return std::nullopt;
    }
    previous = ch;
  }
  return negative ? -value : value;
}

velmora::base::awaitable<bool> handle_interactive_command(std::string raw,
                                                          InteractiveCommandContext c) {
  const auto [command, argument] = split_shell_command(raw);
  if (!command.starts_with('/')) co_return false;

  if (command == "/quit" || command == "/exit") {
    c.stop_event.set();
  } else if (command == "/help" || command == "/") {
    c.renderer.render_help();
  } else if (command == "/upgrade") {
    co_await run_upgrade(c);
  } else if (command == "/thread") {
    const std::string thread_id = c.client.thread_id();
    c.console->print(
        "[dim]thread_id=" +
        (thread_id.empty() ? std::string("(not yet assigned)") : Console::escape(thread_id)) +
        "[/dim]");
  } else if (command == "/thinking") {
    c.renderer.render_thinking_history(argument.empty() ? std::nullopt
                                                        : std::optional<std::string>(argument));
  } else if (command == "/clear") {
    c.console->clear();
    redraw_banner(c);
  } else if (command == "/interrupt") {
    co_await c.client.send_interrupt();
  } else if (command == "/new") {
    if (c.before_reconnect) c.before_reconnect(false);
    co_await c.client.reconnect(/*new_thread=*/true);
    redraw_after_reconnect(c);
    const std::string thread_id = c.client.thread_id();
    c.renderer.render_session_notice(build_new_session_notice(thread_id));
  } else if (command == "/resume") {
    std::optional<std::string> target;
    if (!argument.empty()) {
      target = argument;
    } else {
      target = co_await pick_saved_session(c.console, c.session_store, c.cfg.url, c.cfg.user_id);
      if (!target) co_return true;
    }
    c.renderer.render_session_notice(build_resume_request_notice(*target));
    if (c.before_reconnect) c.before_reconnect(true);
    std::optional<std::string> thread_id = *target;
    co_await c.client.reconnect(/*new_thread=*/false, std::move(thread_id));
    redraw_after_reconnect(c);
  } else if (command == "/attach") {
    if (argument.empty()) {
      c.console->print("[red]Usage: /attach <local_file_path>[/red]");
    } else {
      c.pending_attachments.push_back(parcelon::LocalAttachment{.path = argument});
      c.console->print("[green]queued attachment[/green] #" +
                       std::to_string(c.pending_attachments.size()) + ": " +
                       Console::escape(argument));
    }
  } else if (command == "/attachments") {
    list_attachments(c);
  } else if (command == "/detach") {
    detach(c, argument);
  } else {
    co_return false;
  }
  co_return true;
}

}  // namespace velmora
