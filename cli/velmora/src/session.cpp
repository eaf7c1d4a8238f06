#include "velmora/session.hpp"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <memory>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "velmora/banner.hpp"
#include "velmora/base/within.hpp"
#include "velmora/cli_errors.hpp"
#include "velmora/completion_wait.hpp"
#include "velmora/headless_run.hpp"
#include "velmora/input_loop.hpp"
#include "velmora/oauth/device_flow.hpp"
#include "velmora/persistent_session.hpp"
#include "velmora/program_exit.hpp"
#include "velmora/receive_loop.hpp"
#include "velmora/session_setup.hpp"
#include "velmora/session_state.hpp"
#include "velmora/shell_input.hpp"
#include "velmora/strip.hpp"
#include "velmora/term/screen.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

namespace {

namespace net = boost::asio;
using velmora::term::Console;

/// Lets the renderer be built before we know whether a terminal screen will draw its live
/// lines; without one, committed lines still reach the scrollback through the console.
class LiveDisplayRelay final : public velmora::term::LiveDisplay {
 public:
  void attach(std::shared_ptr<velmora::term::LiveDisplay> target,
              std::shared_ptr<Console> console) {
    target_ = std::move(target);
    console_ = std::move(console);
  }
  void update(std::vector<std::string> lines) override {
    if (target_) target_->update(std::move(lines));
  }
  void commit(std::vector<std::string> lines) override {
    if (target_) {
      target_->commit(std::move(lines));
      return;
    }
    if (!console_) return;
    for (const auto& line : lines) console_->write_raw(line + "\n");
  }

 private:
  std::shared_ptr<velmora::term::LiveDisplay> target_;
  std::shared_ptr<Console> console_;
};

/// Attachments of `--attachments` (comma-separated, blanks dropped) then every `--attachment`.
std::vector<parcelon::LocalAttachment> initial_attachments(const Options& args) {
  std::vector<parcelon::LocalAttachment> attachments;
  if (args.attachments && !args.attachments->empty()) {
    std::string_view rest = *args.attachments;
    while (true) {
      const auto comma = rest.find(',');
      std::string item = strip(rest.substr(0, comma));
      if (!item.empty()) attachments.push_back({.path = std::move(item)});
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  for (const auto& path : args.attachment) attachments.push_back({.path = path});
  return attachments;
}

void print_connect_debug_line(SessionState& s) {
  const std::string thread_id = s.client.thread_id();
  std::string url = s.cfg.url.value_or("");
  while (!url.empty() && url.back() == '/') url.pop_back();
  std::vector<std::string> parts;
  if (!thread_id.empty()) parts.push_back("thread_id=" + thread_id);
  if (s.cfg.language) parts.push_back("User_language=" + *s.cfg.language);
  // The debug form: a short token must not show whole.
  parts.push_back("userToken=" + (s.cfg.token ? velmora::oauth::mask_token(*s.cfg.token)
                                              : std::string("<none>…")));
  std::string query;
  for (std::size_t i = 0; i < parts.size(); ++i) query += (i > 0 ? "&" : "") + parts[i];
  s.console.print(
      "[dim]debug: session_id=" + Console::escape(thread_id) +
      "  user_id=" + Console::escape(s.cfg.user_id.value_or("")) +
      "\n  ws_url:  " + Console::escape(url + "/?" + query) +
      "\n  endpoints from: url=" + Console::escape(describe_setting_source(s.cfg, "url")) +
      "  file_api_url=" + Console::escape(describe_setting_source(s.cfg, "file_api_url")) +
      "  oauth_base_url=" + Console::escape(describe_setting_source(s.cfg, "oauth_base_url")) +
      "[/dim]");
}

/// The endpoint as the banner shows it: with where it came from, so an address a `.env` file
/// chose never passes for the user's own.
std::optional<std::string> endpoint_with_source(const RuntimeConfig& cfg) {
  if (!cfg.url) return std::nullopt;
  return *cfg.url + " (from " + describe_setting_source(cfg, "url") + ")";
}

/// Connects, refreshing the token once after an authentication failure. False after a
/// failure, which has been reported.
velmora::base::awaitable<bool> connect_with_refresh(SessionState& s) {
  std::exception_ptr failure;
  try {
    co_await s.client.connect();
  } catch (const std::exception& e) {
    if (is_cancellation(e)) throw;
    failure = std::current_exception();
  }
  if (failure) {
    bool auth = false;
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      auth = looks_like_auth_error(e.what());
    }
    if (auth) {
      try {
        const RuntimeConfig cfg = s.cfg;
        auto credentials = s.setup.credentials;
        auto refresh = [cfg, credentials] { return try_refresh_token(cfg, *credentials); };
        const auto new_token = co_await velmora::base::run_blocking(std::move(refresh));
        if (new_token && !new_token->empty()) {
          s.cfg.token = *new_token;
          s.client.config()->user_token = *new_token;
          co_await s.client.connect();
          failure = nullptr;
        }
      } catch (const std::exception& e) {
        if (is_cancellation(e)) throw;
        failure = std::current_exception();
      }
    }
  }
  if (!failure) co_return true;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    const auto info = classify_cli_error(e, /*during_connect=*/true);
    s.renderer.render_invocation_error(info.summary, info.hint, info.detail, s.args.debug);
  }
  co_return false;
}

/// `connect_with_refresh` within a one-shot's time limit: its attempts and their retries stop at
/// `deadline`. False after a failure or at the deadline, both reported.
velmora::base::awaitable<bool> connect_before(SessionState& s, double deadline) {
  const double left = std::max(deadline - velmora::base::monotonic_seconds(), 0.0);
  if (const auto connected = co_await velmora::base::within(left, connect_with_refresh(s))) {
    co_return *connected;
  }
  const velmora::base::TimeoutError timed_out("Timed out connecting: the --timeout limit (" +
                                              std::to_string(s.args.timeout) + "s) has passed");
  const auto info = classify_cli_error(timed_out, /*during_connect=*/true);
  s.renderer.render_invocation_error(info.summary, info.hint, info.detail, s.args.debug);
  co_return false;
}

/// Holds a resumed one-shot's query until the history replay is released, the deadline
/// passes, or (when the server never binds the thread) ten seconds pass. False at the deadline.
velmora::base::awaitable<bool> wait_for_replay_release(SessionState& s, double deadline) {
  const double binding_deadline =
      velmora::base::monotonic_seconds() + ATTACHMENT_THREAD_ID_TIMEOUT_SECONDS;
  while (!s.prompt_ready_event.is_set()) {
    const double now = velmora::base::monotonic_seconds();
    if (now >= deadline) co_return false;
    if (!s.replay.replaying() && now >= binding_deadline) break;
    (void)co_await s.prompt_ready_event.wait_for(std::min(deadline - now, 0.25));
  }
  co_return true;
}

void print_thread_hint(SessionState& s) {
  const std::string thread_id = s.client.thread_id();
  if (thread_id.empty() || s.setup.hide_session_details) return;
  s.renderer.render_session_notice(build_one_shot_thread_hint(thread_id));
}

/// The turn broke off (lost connection, or an error the receive loop reported): what arrived
/// is shown, the run fails, and the hint says how to continue the thread.
int finish_broken_turn(SessionState& s) {
  s.renderer.flush_deferred_output();
  if (s.connection_lost_detail) {
    s.renderer.render_invocation_error("Connection lost before the answer completed.",
                                       "Check the network connection and run the query again.",
                                       s.connection_lost_detail, s.args.debug);
  }
  print_thread_hint(s);
  s.stop_event.set();
  return 1;
}

velmora::base::awaitable<int> run_one_shot(SessionState& s, velmora::base::Task& receive_task,
                                           double deadline) {
  receive_task = velmora::base::Task::spawn(s.executor, receive_loop(s));
  s.query_complete_event.clear();

  const bool released = co_await wait_for_replay_release(s, deadline);
  if (s.connection_lost_detail || s.one_shot_failed) co_return finish_broken_turn(s);

  std::optional<WaitOutcome> outcome;
  if (!released) {
    outcome = WaitOutcome::timeout;
  } else {
    std::optional<boost::json::array> attachments = co_await upload_query_attachments(s);
    if (!attachments) {
      s.stop_event.set();
      co_return 1;
    }
    if (s.connection_lost_detail || s.one_shot_failed) co_return finish_broken_turn(s);

    s.renderer.reset_turn_state();
    s.turn.reset();
    // A replayed "complete" must not end the new turn.
    s.query_complete_event.clear();
    // Both before sending: the answer may end (or the connection break) before the send
    // returns.
    s.one_shot_query_sent = true;
    s.turn_in_progress = true;
    try {
      wirelet::QueryOptions options = s.query_options(std::move(*attachments));
      co_await s.client.send_query(*s.args.query, std::move(options));
    } catch (const std::exception& e) {
      if (is_cancellation(e)) throw;
      s.turn_in_progress = false;
      // A connection that ended between the binding and the send is a drop like any other:
      // the thread exists, so the user is told how to continue it.
      if (s.connection_lost_detail || !s.client.receiving()) {
        if (!s.connection_lost_detail)
          s.connection_lost_detail = velmora::base::error_text_or_kind(e);
        co_return finish_broken_turn(s);
      }
      s.report_loop_error("Failed to send the query.", "Check the connection and retry.", e);
      s.stop_event.set();
      co_return 1;
    }
    CompletionWaitOptions wait{
        .timeout_seconds = deadline - velmora::base::monotonic_seconds(),
        .idle_finish_seconds = s.setup.idle_finish_seconds,
        .allow_idle_finish = s.setup.non_interactive,
        .saw_completion_activity = [&s] { return s.saw_completion_activity; },
        .last_activity_at = [&s] { return s.last_activity_ts; }};
    outcome = co_await wait_for_query_completion(s.query_complete_event, std::move(wait));
  }
  // The run's last lines come after the answer, its code blocks coloured or past their wait.
  co_await s.renderer.settle_output();
  if (s.connection_lost_detail || s.one_shot_failed) co_return finish_broken_turn(s);

  int status = 0;
  if (*outcome == WaitOutcome::idle_finish) {
    if (s.setup.non_interactive && !s.saw_user_visible_output) {
      s.renderer.render_invocation_error(
          "No final answer received.",
          "The server stopped after internal activity without a user-visible reply. Retry with "
          "--debug to inspect raw events.",
          std::nullopt, s.args.debug);
      s.stop_event.set();
      co_return 1;
    }
    if (!s.setup.plain_output) {
      s.console.print(
          "[dim]No explicit complete received after idle period; returning latest output.[/dim]");
    }
  } else if (*outcome == WaitOutcome::timeout) {
    if (s.setup.non_interactive && s.saw_user_visible_output) {
      if (!s.setup.plain_output) {
        s.console.print("[dim]No explicit complete received; returning latest output.[/dim]");
      }
    } else {
      s.console.print("[red]Timed out waiting for complete (" + std::to_string(s.args.timeout) +
                      "s)[/red]");
    }
    if (s.setup.headless) s.setup.headless->timed_out();
    // Without anything shown the run has failed, whatever the mode.
    if (!s.saw_user_visible_output) status = 1;
  }

  // An agent error shown in place of an answer is a failed turn, however it ended.
  if (s.turn.failed_with_agent_error()) status = 1;

  s.renderer.flush_deferred_output();
  if (s.saw_user_visible_output) print_thread_hint(s);
  s.stop_event.set();
  co_return status;
}

/// Runs a loop as a task body: an error it lets out is reported, and an interactive session
/// whose loop ended is over.
velmora::base::awaitable<void> guarded(SessionState& s, velmora::base::awaitable<void> loop) {
  try {
    co_await std::move(loop);
  } catch (const std::exception& e) {
    if (is_cancellation(e)) throw;
    s.report_loop_error("The session stopped after an unexpected error.",
                        "Start the CLI again; --debug shows the raw events.", e);
    if (s.one_shot) {
      s.one_shot_failed = true;
      s.query_complete_event.set();
      s.prompt_ready_event.set();
    }
  }
  if (!s.one_shot) s.stop_event.set();
}

velmora::base::awaitable<void> watch_sigint(SessionState& s, net::signal_set& signals) {
  while (true) {
    auto [ec, signal_number] = co_await signals.async_wait(net::as_tuple(net::use_awaitable));
    if (ec) co_return;
    if (signal_number == SIGTERM) {
      // A persistent session ends cleanly: the open turn's result says it was cut short, and
      // shutdown sends terminate.
      if (s.setup.headless) s.setup.headless->interrupted();
      s.stop_event.set();
      continue;
    }
    s.handle_sigint();
  }
}

struct SessionTasks {
  velmora::base::Task receive;
  velmora::base::Task input;
  velmora::base::Task sigint;
};

velmora::base::awaitable<int> run_connected(SessionState& s, SessionTasks& tasks) {
  // A one-shot's time limit bounds the whole run from here on, connecting included; without
  // `--timeout` the default is far beyond what the connect attempts themselves allow.
  const double deadline =
      velmora::base::monotonic_seconds() + std::max(static_cast<double>(s.args.timeout), 0.0);
  const bool connected =
      s.one_shot ? co_await connect_before(s, deadline) : co_await connect_with_refresh(s);
  if (!connected) co_return 1;
  if (s.args.debug) print_connect_debug_line(s);
  render_shell_banner(s.renderer, s.setup.show_shell_banner,
                      {.endpoint = endpoint_with_source(s.cfg),
                       .user_id = s.cfg.user_id,
                       .thread_id = non_empty(s.client.thread_id()),
                       .language = s.cfg.language,
                       .hide_session_details = s.setup.hide_session_details});

  if (s.one_shot) co_return co_await run_one_shot(s, tasks.receive, deadline);

  // While the prompt shows, everything printed goes above it.
  const StdoutPatch patch =
      s.shell_input != nullptr ? s.shell_input->stdout_patch_context(s.console) : StdoutPatch();
  tasks.receive = velmora::base::Task::spawn(s.executor, guarded(s, receive_loop(s)));
  tasks.input = velmora::base::Task::spawn(
      s.executor, guarded(s, s.persistent ? persistent_input_loop(s) : input_loop(s)));
  co_await s.stop_event.wait();
  tasks.input.cancel();
  // A shell that lost its connection for good has failed, whoever reads its status.
  co_return s.reconnect_failed ? 1 : 0;
}

velmora::base::awaitable<void> shutdown(SessionState& s, SessionTasks& tasks) {
  s.turn_in_progress = false;
  s.replay.cancel_timer();
  for (velmora::base::Task* task : {&tasks.receive, &tasks.input, &tasks.sigint}) {
    if (!task->valid()) continue;
    task->cancel();
    co_await task->join();
  }
  // Whatever ended the session, blocks still being coloured are printed before it closes.
  co_await s.renderer.settle_output();
  // Its failure is no news: the program is ending either way.
  if (s.terminate_task.valid()) co_await s.terminate_task.join();
  try {
    co_await s.client.close(/*send_terminate=*/!s.terminate_task.valid());
  } catch (const std::exception& e) {
    // The session is over; a failed closing handshake changes nothing for the user.
    if (s.args.debug) {
      s.console.print("[dim]debug: close failed: " +
                      Console::escape(velmora::base::error_text_or_kind(e)) + "[/dim]");
    }
  }
}

velmora::base::awaitable<int> drive_session(SessionState& s, net::signal_set& signals) {
  SessionTasks tasks;
  tasks.sigint = velmora::base::Task::spawn(s.executor, watch_sigint(s, signals));
  int status = 0;
  try {
    status = co_await run_connected(s, tasks);
  } catch (const ProgramExit& e) {
    status = e.status();
  } catch (const std::exception& e) {
    if (is_cancellation(e)) throw;
    s.report_loop_error("The session stopped after an unexpected error.",
                        "Start the CLI again; --debug shows the raw events.", e);
    status = 1;
  }
  co_await shutdown(s, tasks);
  co_return status;
}

}  // namespace

int run_cli(const Options& given) {
  const HeadlessStart headless = start_headless(given);
  if (headless.exit_status) return *headless.exit_status;
  const Options& args = headless.args;
  net::io_context io;
  const auto relay = std::make_shared<LiveDisplayRelay>();
  SessionSetupDeps deps;
  deps.executor = io.get_executor();
  deps.live_display = relay;
  deps.headless = headless.report;
  auto outcome = prepare_session(args, std::move(deps));
  if (!outcome.setup) {
    if (headless.report) return headless.report->finish(outcome.exit_status);
    return outcome.exit_status;
  }
  SessionSetup& setup = *outcome.setup;

  // On a colour terminal the screen is the one writer: output prints above its live lines
  // and the prompt.
  std::shared_ptr<velmora::term::Screen> screen;
  if (!setup.plain_output && !setup.console->no_color() && ::isatty(STDOUT_FILENO) == 1) {
    screen = std::make_shared<velmora::term::Screen>(
        io.get_executor(), velmora::term::ScreenOptions{.colors = setup.console->color_system()});
    setup.console->set_sink(screen);
    relay->attach(screen, setup.console);
  } else {
    relay->attach(nullptr, setup.console);
  }

  auto ws_config = std::make_shared<wirelet::WireletConfig>(
      wirelet::WireletConfig{.base_url = setup.cfg.url.value_or(""),
                             .user_id = setup.cfg.user_id.value_or(""),
                             .user_token = setup.cfg.token.value_or(""),
                             .thread_id = setup.cfg.thread_id,
                             .explicit_thread_id = setup.cfg.explicit_thread_id,
                             .user_language = setup.cfg.language,
                             .debug = args.debug});
  wirelet::AgentWsV3Client client(io.get_executor(), ws_config);
  // Opened when first used (after the binding): the connection goes out first.
  velmora::session_store::VelmoraSessionStore session_store(
      [console = setup.console](const std::string& warning) {
        print_console_notice(*console, Console::escape(warning), "yellow");
      },
      std::nullopt, {}, velmora::session_store::VelmoraSessionStore::Opening::on_first_use);
  SessionState s(io.get_executor(), args, setup, client, session_store);
  client.set_debug_sink(s.debug_sink());

  s.one_shot = is_one_shot_query(args);
  s.persistent = headless.persistent;
  s.answers_from_input = headless.answers_from_input;
  s.started_with_explicit_thread = setup.cfg.explicit_thread_id;
  s.workspace_cwd = setup.workspace_cwd;
  s.workspace_branch = setup.workspace_branch;
  s.pending_attachments = initial_attachments(args);

  std::unique_ptr<InteractiveShellInput> shell_input;
  if (setup.show_shell_banner && setup.use_prompt_shell) {
    shell_input = std::make_unique<InteractiveShellInput>(screen);
    s.shell_input = shell_input.get();
  }
  s.interactive_live_status = stdout_supports_ansi() && stdout_supports_unicode();
  s.base_live_status_enabled = setup.show_shell_banner ? s.interactive_live_status : true;
  // Resuming a thread replays its history first: hold the prompt (and a one-shot's query)
  // until the replay is released, so the old turns are never taken for the new answer.
  s.binding_notice_pending = setup.cfg.explicit_thread_id;
  s.replay.start(/*resumed_thread=*/setup.cfg.explicit_thread_id);
  s.renderer.set_live_status_enabled(s.base_live_status_enabled);
  // Nobody reads the rest of a one-shot whose output cannot be written: the turn ends now and
  // the session closes.
  const auto end_unread_turn = [&s] {
    s.one_shot_failed = true;
    s.query_complete_event.set();
    s.prompt_ready_event.set();
    if (s.persistent) s.stop_event.set();
  };
  std::shared_ptr<WatchedStdout> stdout_watch;
  if (setup.headless) {
    setup.headless->on_output_failure(end_unread_turn);
  } else if (s.one_shot && !screen) {
    stdout_watch = std::make_shared<WatchedStdout>(end_unread_turn);
    setup.console->set_sink(stdout_watch);
  }

  net::signal_set signals(io);
  boost::system::error_code ec;
  // Without loop signal handling Ctrl+C keeps its default effect; the session still runs.
  signals.add(SIGINT, ec);
  if (s.persistent) signals.add(SIGTERM, ec);

  int status = 0;
  net::co_spawn(io, drive_session(s, signals), [&](std::exception_ptr e, int result) {
    status = e ? 1 : result;
    // The terminal screen keeps waiting for keys and window changes; the session is over.
    io.stop();
  });
  io.run();
  if (screen) setup.console->set_sink(std::make_shared<velmora::term::FdSink>(STDOUT_FILENO));
  return end_run(setup.headless.get(), stdout_watch.get(), status);
}

}  // namespace velmora
