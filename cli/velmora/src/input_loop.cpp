#include "velmora/input_loop.hpp"

#include <cstdlib>
#include <memory>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>

#include "velmora/attachment_library.hpp"
#include "velmora/cli_errors.hpp"
#include "velmora/completion_wait.hpp"
#include "velmora/prompt_ask.hpp"
#include "velmora/shell_input.hpp"
#include "velmora/strip.hpp"
#include "velmora/term/tty_mode.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

namespace {

namespace json = boost::json;
using velmora::term::Console;

/// One line from the prompt shell, or from standard input on a worker thread.
velmora::base::awaitable<ShellReadResult> read_shell_line(SessionState& s) {
  const InteractivePromptState state{
      .language = s.cfg.language,
      .thread_id = non_empty(s.client.thread_id()),
      .pending_attachment_count = static_cast<int>(s.pending_attachments.size()),
      .hide_session_details = s.setup.hide_session_details};
  if (s.shell_input != nullptr) co_return co_await s.shell_input->read_line(state);
  auto read = [placeholder = build_interactive_placeholder()] {
    return read_raw_shell_input("\n> ", placeholder);
  };
  auto line = co_await velmora::base::run_blocking(std::move(read));
  if (!line) co_return ShellReadResult{ShellReadOutcome::end_of_input, {}};
  co_return ShellReadResult{ShellReadOutcome::accepted, std::move(*line)};
}

/// Errors of one shell line: the shell goes on while the connection can come back.
void report_line_error(SessionState& s, std::string_view summary, const std::exception& e) {
  if (!s.client.is_connected()) {
    // A reconnect of /new or /resume failed: there is no session left to continue.
    const auto info = classify_cli_error(e, /*during_connect=*/true);
    s.renderer.render_invocation_error(info.summary, info.hint, info.detail, s.args.debug);
    s.stop_event.set();
    return;
  }
  s.report_loop_error(summary, "The session continues; send the line again.", e);
}

}  // namespace

InteractiveCommandContext command_context(SessionState& s) {
  return {.console = s.setup.console,
          .renderer = s.renderer,
          .client = s.client,
          .session_store = s.session_store,
          .cfg = s.cfg,
          .hide_session_details = s.setup.hide_session_details,
          .show_shell_banner = s.setup.show_shell_banner,
          .pending_attachments = s.pending_attachments,
          .stop_event = s.stop_event,
          .debug = s.args.debug,
          .before_reconnect = [&s](bool expect_history) { s.begin_reconnect(expect_history); },
          .rerender_shell_banner_on_reconnect = !s.setup.use_prompt_shell};
}

velmora::base::awaitable<json::array> build_query_attachments(SessionState& s) {
  if (s.pending_attachments.empty()) co_return json::array{};
  const std::string file_api_url = strip(s.cfg.file_api_url.value_or(""));
  if (file_api_url.empty()) {
    throw velmora::base::RuntimeError(
        "no File API address is set; give it with --file-api-url or QUILLON_FILE_API_URL");
  }
  const std::string thread_id =
      co_await s.client.wait_for_thread_id(ATTACHMENT_THREAD_ID_TIMEOUT_SECONDS);
  s.console.print("[dim]uploading " + std::to_string(s.pending_attachments.size()) +
                  " attachment(s) via " + Console::escape(file_api_url) + "[/dim]");
  parcelon::UploadOptions options{
      .token = s.cfg.token,
      .debug = s.args.debug,
      .debug_sink = [sink = s.debug_sink()](const std::string& line) { sink(line); }};
  const std::string user_id = s.cfg.user_id.value_or("");
  const auto upload = attachment_uploader();
  const auto records =
      co_await upload(file_api_url, user_id, thread_id, s.pending_attachments, std::move(options));
  json::array uploaded(records.begin(), records.end());
  if (s.setup.headless) {
    std::vector<std::string> paths;
    for (const auto& attachment : s.pending_attachments) paths.push_back(attachment.path);
    s.setup.headless->attachments(paths, uploaded);
  }
  s.console.print("[green]uploaded " + std::to_string(uploaded.size()) + " attachment(s)[/green]");
  co_return uploaded;
}

velmora::base::awaitable<std::optional<json::array>> upload_query_attachments(SessionState& s) {
  try {
    co_return co_await build_query_attachments(s);
  } catch (const std::exception& e) {
    if (is_cancellation(e)) throw;
    s.console.print("[red]failed to upload attachments:[/red] " +
                    Console::escape(velmora::base::error_text_or_kind(e)));
    if (!s.one_shot && !s.persistent) {
      // The queue is sent with a query only, so nothing was dropped.
      const std::size_t count = s.pending_attachments.size();
      s.console.print("[dim]The question was not sent. " + std::to_string(count) +
                      (count == 1 ? " attachment stays" : " attachments stay") +
                      " queued for the next one (/attachments lists them, /detach removes "
                      "them).[/dim]");
    }
    if (s.setup.headless) {
      s.setup.headless->expect_error_kind("attachment");
      s.setup.headless->error("Failed to upload attachments.",
                              "Check the attachment paths and the File API address.",
                              velmora::base::error_text_or_kind(e));
    }
  }
  co_return std::nullopt;
}

velmora::base::awaitable<void> input_loop(SessionState& s) {
  using namespace boost::asio::experimental::awaitable_operators;
  while (!s.stop_event.is_set()) {
    if (!s.prompt_ready_event.is_set()) {
      // The prompt waits for a history replay to be released.
      (void)co_await (s.prompt_ready_event.wait() || s.stop_event.wait());
      continue;
    }
    s.renderer.stop_thinking_status();
    // The last turn's (or the replay's) code blocks still being coloured go out above the prompt.
    co_await s.renderer.settle_output();

    const ShellReadResult read = co_await read_shell_line(s);
    if (read.outcome == ShellReadOutcome::end_of_input) {
      s.stop_event.set();
      co_return;
    }
    if (read.outcome == ShellReadOutcome::interrupted) {
      s.handle_sigint();
      continue;
    }
    const std::string raw = strip(read.text);
    if (raw.empty()) continue;

    try {
      InteractiveCommandContext context = command_context(s);
      if (co_await handle_interactive_command(raw, std::move(context))) continue;
    } catch (const std::exception& e) {
      if (is_cancellation(e)) throw;
      report_line_error(s, "The command failed.", e);
      continue;
    }

    if (!s.prompt_ready_event.is_set()) {
      // A reconnect began while the line was typed: it goes out on the new connection, once
      // that connection's history replay is over.
      (void)co_await (s.prompt_ready_event.wait() || s.stop_event.wait());
      if (s.stop_event.is_set()) co_return;
    }
    s.query_complete_event.clear();
    std::optional<json::array> attachments = co_await upload_query_attachments(s);
    if (!attachments) continue;

    s.renderer.reset_turn_state();
    s.turn.reset();
    // Set before sending: a connection that breaks while the query is on its way must still
    // tell the user that the question went unanswered.
    s.turn_in_progress = true;
    try {
      wirelet::QueryOptions options = s.query_options(std::move(*attachments));
      co_await s.client.send_query(raw, std::move(options));
    } catch (const std::exception& e) {
      if (is_cancellation(e)) throw;
      s.turn_in_progress = false;
      // The connection broke under the send and is being replaced: the receive loop tells the
      // user once it is back. Otherwise the failure is this line's.
      if (!s.prompt_ready_event.is_set()) continue;
      report_line_error(s, "Failed to send the query.", e);
      continue;
    }
    s.pending_attachments.clear();

    co_await wait_for_interactive_turn_completion(s.query_complete_event, s.stop_event);
    s.renderer.stop_thinking_status();
  }
}

void SessionState::handle_sigint() {
  // A plain question or picker prompt ends as at the end of input; the press is handled below
  // like any other.
  (void)interrupt_plain_prompt();
  renderer.stop_thinking_status();
  const double now = velmora::base::monotonic_seconds();
  if (now - last_sigint_ts < DOUBLE_SIGINT_WINDOW_SECONDS) {
    print_console_notice(console, "\nExiting (double Ctrl+C)", "yellow");
    // The process ends before the session does: the result line goes out now.
    if (setup.headless) {
      setup.headless->interrupted();
      (void)setup.headless->finish(0);
    }
    // The process ends before this send can fail in any way worth reporting.
    terminate_task = velmora::base::Task::spawn(executor, client.send_terminate());
    query_complete_event.set();
    stop_event.set();
    auto timer = std::make_shared<boost::asio::steady_timer>(
        executor, velmora::base::seconds_to_duration(HARD_EXIT_DELAY_SECONDS));
    auto sink = setup.console->sink();
    timer->async_wait([timer, sink](boost::system::error_code) {
      velmora::term::restore_terminal();
      if (sink) sink->flush();
      std::_Exit(0);
    });
    return;
  }
  last_sigint_ts = now;
  if (!turn_in_progress) {
    print_console_notice(console, "\nNo active turn to interrupt. Press Ctrl+C again to exit.",
                         "yellow");
    return;
  }
  interrupt_turn(/*announce=*/true);
}

void SessionState::interrupt_turn(bool announce) {
  turn.interrupted = true;
  // What the turn showed so far stays above the notice.
  renderer.note_interrupt_sent();
  if (announce) {
    // Below the cut text, which may still wait for its colours: nothing waits for them here.
    renderer.after_output([console = setup.console] {
      print_console_notice(*console, "\nInterrupt sent. Press Ctrl+C again to exit.", "yellow");
    });
  }
  if (setup.headless) setup.headless->interrupted();
  // A failed send means the connection broke; its "_connection_error" reports that.
  velmora::base::Task::spawn(executor, client.send_interrupt());
}

}  // namespace velmora
