// A session state over fakes: a console that collects its output, an unconnected client whose
// incoming queue the test fills, and a saved-session store that records its calls.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include "velmora/events/agent_event.hpp"
#include "velmora/renderer/stream_renderer.hpp"
#include "velmora/session_state.hpp"
#include "velmora/slash_commands.hpp"
#include "velmora/term/console.hpp"

namespace session_testing {

namespace json = boost::json;

class FakeSessionStore final : public velmora::session_store::SessionStore {
 public:
  std::vector<velmora::session_store::SessionRecord> sessions;
  std::vector<velmora::session_store::SessionUpsert> upserts;
  std::vector<std::pair<std::string, std::string>> conversations;
  /// Filtered look-ups return nothing, so the picker falls back to the unfiltered list.
  bool filtered_empty = false;

  using SessionStore::list_sessions;
  std::vector<velmora::session_store::SessionRecord> list_sessions(
      const std::optional<std::string>& endpoint, const std::optional<std::string>& user_id,
      int limit) override {
    if (filtered_empty && (endpoint || user_id)) return {};
    std::vector<velmora::session_store::SessionRecord> out(sessions.begin(), sessions.end());
    if (static_cast<int>(out.size()) > limit) out.resize(limit);
    return out;
  }
  void upsert_session(const velmora::session_store::SessionUpsert& session) override {
    upserts.push_back(session);
  }
  void update_conversation(const std::string& thread_id, const std::string& title) override {
    conversations.emplace_back(thread_id, title);
  }
};

struct Harness {
  boost::asio::io_context io;
  std::shared_ptr<velmora::term::StringSink> sink = std::make_shared<velmora::term::StringSink>();
  velmora::Options args;
  velmora::SessionSetup setup;
  std::shared_ptr<wirelet::WireletConfig> ws_config;
  std::unique_ptr<wirelet::AgentWsV3Client> client;
  FakeSessionStore store;
  std::unique_ptr<velmora::SessionState> state;

  /// `thread_id` is requested explicitly when `explicit_thread` holds. `colour`: a colour
  /// terminal whose code blocks are coloured on the worker pool, as in a session.
  explicit Harness(std::optional<std::string> thread_id = std::nullopt,
                   bool explicit_thread = false, bool plain_output = true, bool colour = false) {
    setup.console = std::make_shared<velmora::term::Console>(
        colour ? velmora::term::ConsoleOptions{.force_terminal = true,
                                               .no_color = false,
                                               .color_system = "standard"}
               : velmora::term::ConsoleOptions{.force_terminal = false, .no_color = true},
        sink);
    velmora::renderer::RendererOptions options;
    if (colour) options.executor = io.get_executor();
    options.console = setup.console;
    options.plain_output = plain_output;
    options.help_entries = velmora::slash_command_help_rows();
    options.render_profile = std::string(plain_output ? velmora::renderer::RENDER_PROFILE_IM
                                                      : velmora::renderer::RENDER_PROFILE_TERMINAL);
    setup.renderer = std::make_unique<velmora::renderer::StreamRenderer>(std::move(options));
    setup.plain_output = plain_output;
    setup.cfg.url = "ws://127.0.0.1:9/v3";
    setup.cfg.user_id = "u1";
    setup.cfg.token = "tok";
    setup.cfg.language = "en";
    setup.cfg.thread_id = thread_id;
    setup.cfg.explicit_thread_id = explicit_thread;
    // Nowhere to refresh a token: the refresh yields nothing without calling anything.
    setup.cfg.oauth_base_url = "";
    ws_config = std::make_shared<wirelet::WireletConfig>(
        wirelet::WireletConfig{.base_url = *setup.cfg.url,
                               .user_id = "u1",
                               .user_token = "tok",
                               .thread_id = thread_id,
                               .explicit_thread_id = explicit_thread,
                               .user_language = "en",
                               .connect_timeout_seconds = 5,
                               .reconnect_attempts = 1,
                               .reconnect_backoff_seconds = 0});
    client = std::make_unique<wirelet::AgentWsV3Client>(io.get_executor(), ws_config);
    state = std::make_unique<velmora::SessionState>(io.get_executor(), args, setup, *client, store);
    state->started_with_explicit_thread = explicit_thread;
    state->workspace_cwd = "/work";
    state->workspace_branch = "main";
    state->binding_notice_pending = explicit_thread;
    state->replay.start(/*resumed_thread=*/explicit_thread);
  }

  [[nodiscard]] std::string output() const { return sink->text(); }

  /// Runs `body` to its end on the harness loop; rethrows what it throws.
  template <class Awaitable>
  void run(Awaitable body) {
    std::exception_ptr failure;
    boost::asio::co_spawn(io, std::move(body), [&](std::exception_ptr e) { failure = e; });
    io.run();
    io.restart();
    if (failure) std::rethrow_exception(failure);
  }
};

inline json::object msg(std::string_view text) { return json::parse(text).as_object(); }

/// A server message's event.
inline velmora::events::AgentEvent server(std::string_view text) {
  return velmora::events::server_event(msg(text));
}

/// A message of the client's own ("_connection_error", "_raw"), as the client queues it.
inline wirelet::Incoming from_client(std::string_view text) {
  return {msg(text), wirelet::Origin::client};
}

}  // namespace session_testing
