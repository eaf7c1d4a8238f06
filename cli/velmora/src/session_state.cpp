#include "velmora/session_state.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/multiple_exceptions.hpp>
#include <boost/system/system_error.hpp>

#include "velmora/cli_errors.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

bool is_cancellation(const std::exception& e) noexcept {
  if (const auto* all = dynamic_cast<const boost::asio::multiple_exceptions*>(&e)) {
    // A race of waits (`a || b`) cancelled as a whole fails with its first branch's error.
    if (!all->first_exception()) return false;
    try {
      std::rethrow_exception(all->first_exception());
    } catch (const std::exception& first) {
      return is_cancellation(first);
    } catch (...) {
      return false;
    }
  }
  const auto* system = dynamic_cast<const boost::system::system_error*>(&e);
  return system != nullptr && system->code() == boost::asio::error::operation_aborted;
}

SessionState::SessionState(const boost::asio::any_io_executor& ex, const Options& options,
                           SessionSetup& session_setup, wirelet::AgentWsV3Client& ws_client,
                           velmora::session_store::SessionStore& store)
    : executor(ex),
      args(options),
      setup(session_setup),
      console(*session_setup.console),
      renderer(*session_setup.renderer),
      cfg(session_setup.cfg),
      client(ws_client),
      session_store(store),
      stop_event(ex),
      query_complete_event(ex),
      prompt_ready_event(ex),
      replay(ex, prompt_ready_event,
             {.replay_started = [this] { renderer.set_live_status_enabled(false); },
              .released =
                  [this] {
                    renderer.flush_pending_historical_asks();
                    renderer.set_live_status_enabled(base_live_status_enabled);
                  }}),
      last_activity_ts(velmora::base::monotonic_seconds()) {}

void SessionState::emit_session_notice(const std::optional<std::string>& message, bool warning) {
  if (!message || message->empty()) return;
  if (!emitted_session_notices.insert(*message).second) return;
  if (setup.headless) setup.headless->notice(*message, "resume");
  renderer.render_session_notice(*message, warning);
}

void SessionState::begin_reconnect(bool expect_history) {
  binding_notice_pending = true;
  turn_in_progress = false;
  query_complete_event.set();
  replay.reconnect(expect_history);
  renderer.stop_thinking_status();
  renderer.begin_historical_replay();
  renderer.set_live_status_enabled(false);
}

void SessionState::report_loop_error(std::string_view summary, std::string_view hint,
                                     const std::exception& e) {
  renderer.render_invocation_error(summary, hint, velmora::base::error_text_or_kind(e), args.debug);
}

std::string SessionState::default_freeform_answer() const {
  if (args.default_freeform_answer && !args.default_freeform_answer->empty()) {
    return *args.default_freeform_answer;
  }
  return std::string(DEFAULT_FREEFORM_ANSWER);
}

wirelet::QueryOptions SessionState::query_options(boost::json::array attachments) const {
  return {.attachments = std::move(attachments),
          .scenario = cfg.scenario,
          .config = cfg.config_payload,
          .system_prompt = clean_optional_str(setup.system_prompt),
          .language = cfg.language};
}

wirelet::DebugSink SessionState::debug_sink() const {
  // Frames are the service's text: shown, never obeyed (a frame may carry escape sequences).
  return [console = setup.console](std::string_view line) {
    console->print(velmora::term::Console::escape(line));
  };
}

}  // namespace velmora
