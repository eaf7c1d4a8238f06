// The shell's slash commands: a submitted line whose first word is a command is carried out
// here and never sent to the agent. Any other line (also an unknown "/word") goes back to the
// input loop as a query.
//
//   if (co_await handle_interactive_command(line, context)) continue;   // handled
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parcelon/upload.hpp"
#include "velmora/base/async.hpp"
#include "velmora/renderer/stream_renderer.hpp"
#include "velmora/runtime_config.hpp"
#include "velmora/session_store/session_store.hpp"
#include "velmora/term/console.hpp"
#include "wirelet/client.hpp"

namespace velmora {

/// (command, remainder): split at the first blank, both trimmed; no quoting, so
/// "/attach my file.pdf" has the argument "my file.pdf".
[[nodiscard]] std::pair<std::string, std::string> split_shell_command(std::string_view raw);

/// `/detach`'s index: decimal, optional sign, blanks around; nothing when it is not a number.
[[nodiscard]] std::optional<long long> parse_decimal_index(std::string_view text);

/// What the commands act on; everything belongs to the running session.
struct InteractiveCommandContext {
  std::shared_ptr<velmora::term::Console> console;
  velmora::renderer::StreamRenderer& renderer;
  wirelet::AgentWsV3Client& client;
  velmora::session_store::SessionStore& session_store;
  const RuntimeConfig& cfg;
  bool hide_session_details = false;
  bool show_shell_banner = false;
  /// The next query takes these.
  std::vector<parcelon::LocalAttachment>& pending_attachments;
  velmora::base::Event& stop_event;
  bool debug = false;
  /// Called just before a reconnect, with whether the new binding replays history.
  std::function<void(bool expect_history)> before_reconnect;
  bool rerender_shell_banner_on_reconnect = false;
  /// Runs the upgrade off the event loop; default: self_upgrade_async.
  std::function<velmora::base::awaitable<void>(std::string wheel_server_url,
                                               std::shared_ptr<velmora::term::Console>)>
      self_upgrade;
};

/// True when `raw` (already trimmed) was a command and has been handled, usage errors
/// included. Errors of the interrupt, reconnect and the session picker propagate.
velmora::base::awaitable<bool> handle_interactive_command(std::string raw,
                                                          InteractiveCommandContext context);

}  // namespace velmora
