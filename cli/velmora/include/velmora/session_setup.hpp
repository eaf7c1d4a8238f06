// The start-up path of a session run, before any connection: output modes, console and
// renderer, runtime configuration, `--upgrade`, and the invocation contract. Every failure is
// rendered (summary, hint, detail) here; the caller only ends with the status returned.
//
//   auto outcome = prepare_session(args);
//   if (!outcome.setup) return outcome.exit_status;   // 1 after a reported failure, 0 after
//   --upgrade SessionSetup& s = *outcome.setup;                  // connect with s.cfg, render with
//   s.renderer
//
// Runs before the event loop does anything else: it blocks on the credentials service.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>

#include "velmora/headless_report.hpp"
#include "velmora/options.hpp"
#include "velmora/runtime_config.hpp"
#include "velmora/oauth/credentials.hpp"
#include "velmora/renderer/stream_renderer.hpp"
#include "velmora/term/console.hpp"
#include "velmora/term/live_display.hpp"

namespace velmora {

/// What a configured run holds when set-up succeeded.
struct SessionSetup {
  std::shared_ptr<velmora::term::Console> console;
  std::unique_ptr<velmora::renderer::StreamRenderer> renderer;
  RuntimeConfig cfg;
  /// Needed again for the token refresh after an authentication failure on connect.
  std::shared_ptr<velmora::oauth::Credentials> credentials;
  bool use_prompt_shell = false;
  bool non_interactive = false;
  bool plain_output = false;
  /// Interactive shell only (never for one-shot or non-interactive runs).
  bool show_shell_banner = false;
  bool hide_session_details = false;
  /// Zero: no idle finish.
  double idle_finish_seconds = 0.0;
  /// `--system-prompt` as given, sent with every query.
  std::optional<std::string> system_prompt;
  /// Saved with the session and shown in the banner.
  std::string workspace_cwd;
  std::string workspace_branch;
  /// The JSON output of `--output-format json|stream-json`; absent for text.
  std::shared_ptr<HeadlessReport> headless;
};

struct SetupOutcome {
  /// Absent when the run is over: then end with `exit_status`.
  std::optional<SessionSetup> setup;
  int exit_status = 0;
};

/// What set-up reaches outside the option record; empty members take the real ones.
struct SessionSetupDeps {
  std::shared_ptr<velmora::oauth::Credentials> credentials;
  /// A console for a plain-output decision; default build_console.
  std::function<std::shared_ptr<velmora::term::Console>(bool plain_output)> make_console;
  /// Runs the upgrade; default self_upgrade.
  std::function<void(const std::string& wheel_server_url, velmora::term::Console&)> self_upgrade;
  RuntimeDefaultsHooks runtime;
  /// Passed to the final renderer (live status line redraws and where live lines go).
  std::optional<boost::asio::any_io_executor> executor;
  std::shared_ptr<velmora::term::LiveDisplay> live_display;
  /// Default: the current folder and its git branch.
  std::optional<std::string> workspace_cwd;
  std::optional<std::string> workspace_branch;
  /// The JSON output: diagnostics go to standard error, failures into its result, and no
  /// browser login is started.
  std::shared_ptr<HeadlessReport> headless;
};

/// Set-up steps in order; never throws for a start-up failure (it is rendered instead).
[[nodiscard]] SetupOutcome prepare_session(const Options& args, SessionSetupDeps deps = {});

}  // namespace velmora
