#include "velmora/receive_loop.hpp"

#include <algorithm>

#include "velmora/ask_prompt_basic.hpp"
#include "velmora/cli_errors.hpp"
#include "velmora/events/question.hpp"
#include "velmora/json_values.hpp"
#include "velmora/notices.hpp"
#include "velmora/session_picker.hpp"

namespace velmora {

namespace {

void handle_binding(SessionState& s, const events::Binding& binding) {
  const wirelet::SessionBindingUpdate update =
      s.client.bind_thread(binding.thread_id, binding.is_new);
  if (s.setup.headless) s.setup.headless->bound(s.client.thread_id(), update.is_new);
  if (s.binding_notice_pending) {
    s.emit_session_notice(build_session_binding_notice(update),
                          update.server_overrode_requested_thread);
    s.binding_notice_pending = false;
  }
  s.replay.binding(update.is_new);
  s.session_store.upsert_session({.thread_id = s.client.thread_id(),
                                  .endpoint = s.cfg.url,
                                  .user_id = s.cfg.user_id,
                                  .language = s.cfg.language,
                                  .cwd = s.workspace_cwd,
                                  .branch = s.workspace_branch});
}

// The server's id is not taken: the session goes on under its requested or generated id, which
// the hint names, and nothing of the server's id is stored or shown.
void refuse_binding(SessionState& s, const wirelet::Message& msg) {
  s.emit_session_notice("server named an unusable thread id (a control character or over " +
                            std::to_string(events::MAX_THREAD_ID_BYTES) +
                            " bytes); keeping thread " + s.client.thread_id(),
                        true);
  s.binding_notice_pending = false;
  const auto* is_new = msg.if_contains("is_new");
  s.replay.binding(is_new && is_new->is_bool() ? std::optional<bool>(is_new->get_bool())
                                               : std::nullopt);
}

/// Refreshes the saved login's token into the session; false when no new token came.
velmora::base::awaitable<bool> refresh_session_token(SessionState& s) {
  const RuntimeConfig cfg = s.cfg;
  auto credentials = s.setup.credentials;
  auto refresh = [cfg, credentials] { return try_refresh_token(cfg, *credentials); };
  const auto new_token = co_await velmora::base::run_blocking(std::move(refresh));
  if (!new_token || new_token->empty()) co_return false;
  s.cfg.token = *new_token;
  s.client.config()->user_token = *new_token;
  co_return true;
}

/// Reconnects; a refusal that looks like an authentication failure gets one token refresh and
/// one more connect, as at start-up: a token that expired while the connection was up is only
/// refused now.
velmora::base::awaitable<void> reconnect_with_refresh(SessionState& s, bool already_refreshed) {
  std::exception_ptr failure;
  bool auth = false;
  try {
    co_await s.client.reconnect();
  } catch (const std::exception& e) {
    if (is_cancellation(e)) throw;
    failure = std::current_exception();
    auth = !already_refreshed && looks_like_auth_error(velmora::base::error_text_or_kind(e));
  }
  if (!failure) co_return;
  if (!auth || !co_await refresh_session_token(s)) std::rethrow_exception(failure);
  co_await s.client.connect();
}

/// A reconnect notice: shown, and a `notice` line for programs.
void render_reconnect_notice(SessionState& s, const std::string& text) {
  if (s.setup.headless) s.setup.headless->notice(text, "reconnect");
  s.renderer.render_session_notice(text, true);
}

velmora::base::awaitable<bool> handle_connection_lost(SessionState& s,
                                                      const events::AgentEvent& event,
                                                      bool turn_cut_off) {
  s.turn_in_progress = false;
  std::string error_detail = truthy_text(event.message.if_contains("error_message"));
  if (error_detail.empty()) error_detail = "connection error";

  if (s.one_shot) {
    // A drop after the turn's terminal message loses nothing. Before it, the answer is
    // incomplete and reconnecting would not bring it back.
    if (turn_cut_off || !s.one_shot_query_sent) {
      s.connection_lost_detail = error_detail;
    }
    s.prompt_ready_event.set();
    co_return false;
  }

  if (s.persistent) {
    // Set before the waiting turn wakes: its result reports the lost answer.
    if (turn_cut_off) s.connection_lost_detail = error_detail;
    s.setup.headless->notice("connection lost (" + error_detail + "); reconnecting", "reconnect");
  }
  const double pause = s.connection_delivered_content ? 0.0 : s.reconnect_backoff_seconds;
  s.reconnect_backoff_seconds =
      s.connection_delivered_content
          ? 0.0
          : std::min(std::max(s.reconnect_backoff_seconds * 2, 1.0), MAX_RECONNECT_BACKOFF_SECONDS);
  try {
    // The new connection asks for the thread it had, and the server replays a known thread's
    // history first: recognise it, whether or not the thread was chosen explicitly, so old turns
    // are never shown as new output nor end the next turn. Begun before the token refresh waits,
    // so a line typed meanwhile goes out on the new connection instead of the dead one.
    s.begin_reconnect(/*expect_history=*/true);
    bool refreshed = false;
    if (looks_like_auth_error(error_detail)) refreshed = co_await refresh_session_token(s);
    if (pause > 0) {
      render_reconnect_notice(s, "connection dropped again before any reply; reconnecting in " +
                                     std::to_string(static_cast<int>(pause)) + "s");
      co_await velmora::base::sleep_for(pause);
    }
    s.connection_delivered_content = false;
    // The service replays the thread: what this session already showed is not shown again.
    s.replay_filter.expect_repeat();
    co_await reconnect_with_refresh(s, refreshed);
    if (turn_cut_off) {
      render_reconnect_notice(s,
                              "Connection lost before the answer completed. Reconnected; send the "
                              "question again to retry.");
    } else if (s.persistent) {
      render_reconnect_notice(s, "Reconnected.");
    }
  } catch (const std::exception& e) {
    if (is_cancellation(e)) throw;
    const auto info = classify_cli_error(e, /*during_connect=*/true);
    s.renderer.render_invocation_error(info.summary, info.hint, info.detail, s.args.debug);
    s.reconnect_failed = true;
    s.stop_event.set();
    co_return false;
  }
  co_return true;
}

}  // namespace

velmora::base::awaitable<bool> handle_incoming_message(SessionState& s, events::AgentEvent event) {
  using events::EventKind;
  const bool turn_was_running = s.turn_in_progress;

  switch (event.kind) {
    case EventKind::binding:
      if (event.binding) handle_binding(s, *event.binding);
      if (event.binding_refused) refuse_binding(s, event.message);
      co_return true;
    case EventKind::config:
      if (s.started_with_explicit_thread) {
        s.emit_session_notice(build_resume_drift_notice(event.message, s.cfg.scenario,
                                                        s.cfg.language, s.cfg.config_payload),
                              true);
      }
      co_return true;
    case EventKind::topic: {
      const std::string title = extract_topic_message_title(event.message);
      const std::string thread_id = s.client.thread_id();
      if (!title.empty() && !thread_id.empty()) {
        s.session_store.update_conversation(thread_id, title);
      }
      break;
    }
    default:
      break;
  }
  const bool historical = s.replay.message(event, s.setup.plain_output);
  const bool client_made = event.kind == EventKind::connection_lost || event.kind == EventKind::raw;
  // A connection that only replays history and drops again makes no progress: it must not
  // reset the reconnect back-off.
  if (!historical && event.kind != EventKind::connection_lost &&
      event.kind != EventKind::replay_boundary) {
    s.connection_delivered_content = true;
  }
  // Messages the client made itself are no part of the thread's history.
  const bool shown_before = !client_made && event.kind != EventKind::replay_boundary &&
                            s.replay_filter.observe(s.client.thread_id(), event, historical);
  if (!historical) {
    if (events::counts_as_completion_activity(event)) {
      s.saw_completion_activity = true;
      s.last_activity_ts = velmora::base::monotonic_seconds();
    }
    if (events::is_user_visible_output(event, s.setup.plain_output)) {
      s.saw_user_visible_output = true;
    }
    s.turn.observe(event);
  }

  if (!shown_before) {
    // The JSON output is the third consumer of the events, in place of the renderer's.
    if (s.setup.headless) {
      s.setup.headless->event(event, historical);
    } else {
      s.renderer.render(event, historical);
    }
    // Questions met in a replay were answered back then; only a live one is answered here.
    if (!historical) {
      if (auto question = events::open_question(event)) {
        // The panel takes the terminal: the answer so far is out first, code blocks coloured.
        co_await s.renderer.settle_output();
        co_await answer_question(s, *question);
      }
    }
  }

  if (event.kind == EventKind::replay_boundary) {
    s.replay.resume_complete();
    s.binding_notice_pending = false;
  }
  if (events::ends_turn(event)) {
    s.turn_in_progress = false;
    s.query_complete_event.set();
  }
  if (event.kind == EventKind::connection_lost) {
    co_return co_await handle_connection_lost(s, event, turn_was_running);
  }
  co_return true;
}

velmora::base::awaitable<void> answer_question(SessionState& s,
                                               const events::AskPromptRequest& question) {
  if (s.answer_from_input) {
    // The question line is out; its answer comes as a line of standard input.
    s.answer_from_input(question);
    co_return;
  }
  if (s.setup.headless) {
    // Automatic answers, reported as data instead of console lines.
    const AskAnswerOptions automatic{.non_interactive = true,
                                     .default_freeform_answer = s.default_freeform_answer(),
                                     .suppress_output = true};
    boost::json::object answers =
        co_await prompt_and_answer_with_basic_input(s.console, question, automatic);
    s.setup.headless->question_answered(question.message_id, question.questions, answers);
    if (question.message_id && !question.message_id->empty()) {
      co_await s.client.send_answer(*question.message_id, std::move(answers));
    }
    co_return;
  }
  AskAnswerOptions options{.non_interactive = s.setup.non_interactive,
                           .default_freeform_answer = s.default_freeform_answer(),
                           .suppress_output = s.setup.non_interactive && s.setup.plain_output};
  co_await prompt_and_answer(s.console, question, s.client, std::move(options));
}

velmora::base::awaitable<void> receive_loop(SessionState& s) {
  while (!s.stop_event.is_set()) {
    auto incoming = co_await s.client.incoming_queue().next();
    // Cancelled: every session ends its receive loop so, and returning costs no unwinding.
    if (!incoming) co_return;
    events::AgentEvent event = events::to_event(std::move(*incoming));
    try {
      if (!co_await handle_incoming_message(s, std::move(event))) co_return;
    } catch (const std::exception& e) {
      if (is_cancellation(e)) throw;
      // A failed answer send (the peer went away) or a store error: the connection error that
      // usually follows restores the session; a one-shot run cannot recover its turn.
      if (s.one_shot) {
        s.report_loop_error("Failed to handle a message from the agent.",
                            "Retry the query; --debug shows the raw events.", e);
        s.one_shot_failed = true;
      } else {
        s.report_loop_error("Failed to handle a message from the agent.",
                            "The session continues; --debug shows the raw events.", e);
      }
    }
    if (s.one_shot_failed) {
      s.query_complete_event.set();
      s.prompt_ready_event.set();
      co_return;
    }
  }
}

}  // namespace velmora
